// Conversions between the program's wide text and the byte encodings that
// files, the registry and POSIX system calls use. They never consult a locale.
#ifndef KESTRUNE_PLATFORM_UTF_H_
#define KESTRUNE_PLATFORM_UTF_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// Decodes UTF-8. A byte that does not start a valid sequence becomes the lone
// code unit U+DC80 + byte ("surrogate escape"), so that any POSIX file name
// survives a round trip through Utf8FromWide unchanged.
std::wstring WideFromUtf8(std::string_view bytes);

// Encodes as UTF-8; the escape code units U+DC80..U+DCFF turn back into their
// byte, any other lone surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// The same, appended to `out`.
void AppendUtf8FromWide(std::wstring_view text, std::string* out);

// Decodes UTF-16LE code units (an odd trailing byte is ignored). Where wchar_t
// holds UTF-16 the units are copied; where it holds code points, surrogate pairs
// are joined and lone surrogates kept as their unit.
std::wstring WideFromUtf16Le(const uint8_t* bytes, size_t count);

// Encodes as UTF-16LE code units, without a terminator.
std::vector<uint8_t> Utf16LeFromWide(std::wstring_view text);

}  // namespace kestrune

#endif  // KESTRUNE_PLATFORM_UTF_H_
