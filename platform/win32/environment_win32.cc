#include <wchar.h>

#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"
// Needs the declarations of <windows.h> before it.
#include <commctrl.h>

namespace kestrune::win32 {

bool HardenLibrarySearch() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  // Both arrived after the oldest system the program declares.
  if (auto set_dll_directory =
          ProcAddress<BOOL(WINAPI*)(LPCWSTR)>(kernel, "SetDllDirectoryW")) {
    set_dll_directory(L"");
  }
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  auto set_default_directories =
      ProcAddress<BOOL(WINAPI*)(DWORD)>(kernel, "SetDefaultDllDirectories");
  return set_default_directories != nullptr && set_default_directories(kSearchSystem32);
}

void Win32Environment::InitCommonControls() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
}

std::wstring Win32Environment::ModulePath() {
  // A package deep in the folder tree has a longer path than MAX_PATH, and a
  // cut one names another folder and settings file: the buffer grows until
  // the whole path fits. XP fills a short buffer without saying so; the
  // length that equals the size is the sign on every version.
  constexpr DWORD kLongest = 32768;
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], size);
    if (length == 0) return std::wstring();
    if (length < size) {
      path.resize(length);
      return path;
    }
    if (size >= kLongest) return std::wstring();
    path.resize(size * 2 < kLongest ? size * 2 : kLongest);
  }
}

bool Win32Environment::SetCurrentFolder(const std::wstring& path) {
  return SetCurrentDirectoryW(path.c_str()) != 0;
}

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

void Win32Messages::Show(const std::wstring& text, const std::wstring& caption,
                         Style style) {
  const UINT type = style == Style::kFramework ? MB_OK | MB_ICONEXCLAMATION : MB_OK;
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), type);
}

}  // namespace kestrune::win32
