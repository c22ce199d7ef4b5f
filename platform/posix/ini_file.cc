#include "platform/posix/ini_file.h"

#include "platform/posix/text_file.h"
#include "platform/text.h"

namespace kestrune::posix {
std::wstring ProfileStringFromBytes(std::string_view file_bytes,
                                    std::wstring_view section,
                                    std::wstring_view key, size_t capacity) {
  if (capacity == 0) return {};
  const std::wstring text = DecodeText(file_bytes);
  section = TrimSpaceView(section);
  key = TrimSpaceView(key);
  // Lines before the first section header belong to no section.
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const std::wstring_view line = TrimSpaceView(NextLine(text, &pos));
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      const size_t close = line.find(L']');
      // A '[' line without ']' is no header; it is read as a key line below.
      if (close != std::wstring_view::npos) {
        // Only the first section of a name is searched.
        if (in_section) return {};
        in_section =
            EqualsIgnoreAsciiCase(TrimSpaceView(line.substr(1, close - 1)), section);
        continue;
      }
    }
    if (!in_section) continue;
    const size_t equals = line.find(L'=');
    if (!EqualsIgnoreAsciiCase(TrimSpaceView(line.substr(0, equals)), key)) continue;
    std::wstring_view value;
    if (equals != std::wstring_view::npos) {
      value = TrimSpaceView(line.substr(equals + 1));
    }
    if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
        value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    // The Windows call fills a C string buffer: a NUL ends the value there.
    value = value.substr(0, value.find(L'\0'));
    return std::wstring(value.substr(0, capacity - 1));
  }
  return {};
}

std::wstring ReadProfileString(const std::string& path,
                               std::wstring_view section, std::wstring_view key,
                               size_t capacity) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return {};
  return ProfileStringFromBytes(bytes, section, key, capacity);
}

}  // namespace kestrune::posix
