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
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length < MAX_PATH ? length : MAX_PATH);
}

bool Win32Environment::SetCurrentFolder(const std::wstring& path) {
  return SetCurrentDirectoryW(path.c_str()) != 0;
}

std::wstring Win32ProfileReader::ReadString(const std::wstring& section,
                                            const std::wstring& key,
                                            const std::wstring& path,
                                            size_t capacity) {
  std::wstring value(capacity, L'\0');
  GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", &value[0],
                           static_cast<DWORD>(capacity), path.c_str());
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
