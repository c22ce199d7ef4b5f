#include "platform/text.h"

namespace kestrune {

bool IsSpace(wchar_t c) {
  if (c == L' ' || (c >= L'\t' && c <= L'\r')) return true;
  // The Windows runtime's wide test also takes the Unicode space separators;
  // a location pasted from a document can carry any of them.
  switch (c) {
    case 0x00A0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

wchar_t ToLowerAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring ToLowerAscii(std::wstring_view text) {
  std::wstring lowered(text);
  for (wchar_t& c : lowered) c = ToLowerAscii(c);
  return lowered;
}

bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

std::wstring_view TrimSpaceView(std::wstring_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::wstring TrimSpace(std::wstring_view text) {
  return std::wstring(TrimSpaceView(text));
}

bool IsSeparator(wchar_t c, wchar_t separator) {
  return c == separator || (separator == L'\\' && c == L'/');
}

std::wstring_view WithoutLeadingSeparators(std::wstring_view path, wchar_t separator) {
  size_t start = 0;
  while (start < path.size() && IsSeparator(path[start], separator)) ++start;
  return path.substr(start);
}

bool IsBelowFolder(std::wstring_view path, std::wstring_view folder, wchar_t separator) {
  return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
         (IsSeparator(path[folder.size()], separator) ||
          (!folder.empty() && IsSeparator(folder.back(), separator)));
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name,
                      wchar_t separator) {
  std::wstring joined;
  joined.reserve(folder.size() + 1 + name.size());
  joined += folder;
  if (folder.empty() || !IsSeparator(folder.back(), separator)) {
    joined += separator;
  }
  joined += name;
  return joined;
}

}  // namespace kestrune
