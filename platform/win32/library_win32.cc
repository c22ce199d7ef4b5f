#include "platform/win32/paths_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {
namespace {

constexpr wchar_t kLibraryName[] = L"VoUInfo.dll";
constexpr WORD kVersionOrdinal = 18;
using VersionEntry = int(WINAPI*)(void* buffer, int size, int flags);

// Newer than the oldest system declared; the values are fixed by the API.
constexpr DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
constexpr DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

}  // namespace

HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  // The altered search path makes the library's own imports come from its
  // folder, the system folder, too.
  return LoadLibraryExW((std::wstring(system, length) + L"\\" + name).c_str(), nullptr,
                        LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool HardenLibrarySearch() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  // Both arrived after the oldest system the program declares.
  if (auto set_dll_directory =
          ProcAddress<BOOL(WINAPI*)(LPCWSTR)>(kernel, "SetDllDirectoryW")) {
    set_dll_directory(L"");
  }
  auto set_default_directories =
      ProcAddress<BOOL(WINAPI*)(DWORD)>(kernel, "SetDefaultDllDirectories");
  if (set_default_directories != nullptr && set_default_directories(kSearchSystem32)) {
    return true;
  }
  // Without it (XP, Vista, 7 without its update) the program's own folder,
  // the package, is still searched before the system folder for a library
  // the system loads late: for the message boxes (themes, text services,
  // COM), for the hash provider, for the command line. Each is loaded now,
  // by full path, so that a later load by name finds it already there. The
  // list is what a loader trace of every kind of run showed; a library a
  // system lacks is simply not loaded.
  static const wchar_t* const kLateLibraries[] = {
      L"uxtheme.dll",  L"msimg32.dll", L"dwmapi.dll",  L"msctf.dll",    L"version.dll",
      L"imm32.dll",    L"rpcrt4.dll",  L"combase.dll", L"ole32.dll",    L"oleaut32.dll",
      L"cryptbase.dll", L"cryptsp.dll", L"bcrypt.dll", L"rsaenh.dll",   L"crypt32.dll",
      L"shlwapi.dll",  L"shcore.dll",  L"shell32.dll", L"psapi.dll"};
  const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  for (const wchar_t* name : kLateLibraries) LoadSystemLibrary(name);
  SetErrorMode(old_mode);
  return false;
}

VersionLibrary::Outcome Win32VersionLibrary::CallVersionEntry(const std::wstring& path,
                                                              uint8_t* buffer,
                                                              int32_t size,
                                                              int32_t flags) {
  // The library's own dependencies live beside it in the installation, so
  // they are searched for there and in the system folder, never in the
  // package folder the program started from.
  const DWORD search = system_search_only_ ? kSearchDllLoadDir | kSearchSystem32
                                           : LOAD_WITH_ALTERED_SEARCH_PATH;
  // A file that is no library, or one missing a dependency, must fail
  // quietly instead of raising a system error box.
  const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // The search flags refuse a path that is not fully qualified, and a
  // relative installation folder is as good as any: it is taken against the
  // current folder, as the existence test took it.
  const std::wstring full = FullPath(path);
  HMODULE loaded = LoadLibraryExW(full.c_str(), nullptr, search);
  SetErrorMode(old_mode);
  if (loaded == nullptr) return Outcome::kNotLoaded;

  HMODULE module = GetModuleHandleW(kLibraryName);
  if (module == nullptr) module = loaded;
  auto entry = ProcAddress<VersionEntry>(module, MAKEINTRESOURCEA(kVersionOrdinal));
  if (entry == nullptr) {
    FreeLibrary(module);
    return Outcome::kNoEntry;
  }
  entry(buffer, size, flags);
  FreeLibrary(module);
  return Outcome::kCalled;
}

}  // namespace kestrune::win32
