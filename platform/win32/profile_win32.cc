#include <wchar.h>

#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

std::wstring Win32ProfileReader::ReadString(const std::wstring& section,
                                            const std::wstring& key,
                                            const std::wstring& path,
                                            size_t capacity) {
  // The profile reader cannot open a file whose path is MAX_PATH long or
  // longer, in any form; its short (8.3) path, where the volume has one, is
  // the same file.
  std::wstring file = path;
  if (file.size() >= MAX_PATH) {
    std::wstring short_form(file.size() + 1, L'\0');
    const DWORD length = GetShortPathNameW(file.c_str(), &short_form[0],
                                           static_cast<DWORD>(short_form.size()));
    if (length > 0 && length < short_form.size()) file.assign(short_form.c_str(), length);
  }
  std::wstring value(capacity, L'\0');
  GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", &value[0],
                           static_cast<DWORD>(capacity), file.c_str());
  // The text left in the buffer is what counts; the returned count differs
  // between versions of the call when a value is cut.
  value.resize(wcsnlen(value.c_str(), capacity));
  return value;
}

}  // namespace kestrune::win32
