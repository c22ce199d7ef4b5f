// Text rules shared by every stage. Lower-casing and white space follow the
// runtime's default ("C") locale on both builds, so they never depend on where
// the program runs.
#ifndef KESTRUNE_PLATFORM_TEXT_H_
#define KESTRUNE_PLATFORM_TEXT_H_

#include <string>
#include <string_view>

namespace kestrune {

// Space, tab, line feed, vertical tab, form feed, carriage return, and the
// Unicode spaces the Windows runtime's wide-character test accepts (U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool IsSpace(wchar_t c);

// A-Z become a-z; every other code unit stays.
wchar_t ToLowerAscii(wchar_t c);
std::wstring ToLowerAscii(std::wstring_view text);

// ASCII-case-insensitive equality, as section, key and registry names match.
bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b);

// White space removed at both ends, as a view into `text`.
std::wstring_view TrimSpaceView(std::wstring_view text);
std::wstring TrimSpace(std::wstring_view text);

// True for `separator`, and for '/' where the separator is '\\', since
// Windows accepts both between path parts.
bool IsSeparator(wchar_t c, wchar_t separator);

// `path` without the separators it starts with: a relative path as a list
// of hashes or a walk spells it.
std::wstring_view WithoutLeadingSeparators(std::wstring_view path, wchar_t separator);

// True when `path` names something below `folder`: it starts with it, and a
// separator stands between them.
bool IsBelowFolder(std::wstring_view path, std::wstring_view folder, wchar_t separator);

// `folder` and `name` with one separator between them, unless `folder`
// already ends in one.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name,
                      wchar_t separator);

}  // namespace kestrune

#endif  // KESTRUNE_PLATFORM_TEXT_H_
