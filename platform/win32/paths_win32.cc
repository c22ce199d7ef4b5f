#include "platform/win32/paths_win32.h"

#include "platform/win32/windows_h.h"

namespace kestrune::win32 {
namespace {

// Fills `out` from a call that answers with the length it wrote, or with the
// size it needs when the buffer is too small; false when it fails.
template <typename Call>
bool GrowingCall(Call call, std::wstring* out) {
  DWORD size = MAX_PATH;
  for (int tries = 0; tries < 4; ++tries) {
    out->assign(size, L'\0');
    const DWORD length = call(&(*out)[0], size);
    if (length == 0) return false;
    if (length < size) {
      out->resize(length);
      return true;
    }
    size = length + 1;
  }
  return false;
}

}  // namespace

std::wstring FullPath(const std::wstring& path) {
  std::wstring full;
  if (path.empty() || !GrowingCall(
                          [&path](wchar_t* buffer, DWORD size) {
                            return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
                          },
                          &full)) {
    return std::wstring();
  }
  return full;
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  const std::wstring full = FullPath(path);
  if (full.empty()) return path;
  if (full.compare(0, 2, L"\\\\") != 0) return L"\\\\?\\" + full;
  if (full.compare(0, 4, L"\\\\.\\") == 0) return full;  // a device, not a file
  return L"\\\\?\\UNC\\" + full.substr(2);
}

std::wstring LongPath(const std::wstring& path) {
  std::wstring full = FullPath(path);
  if (full.empty()) return path;
  // GetLongPathNameW needs the whole path to exist; a file that does not
  // (the product not yet started from there) keeps its name after the long
  // form of its folder.
  std::wstring tail;
  for (int parts = 0; parts < 2; ++parts) {
    std::wstring long_form;
    if (GrowingCall(
            [&full](wchar_t* buffer, DWORD size) {
              return GetLongPathNameW(full.c_str(), buffer, size);
            },
            &long_form)) {
      return long_form + tail;
    }
    const size_t slash = full.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 == full.size()) break;
    tail = full.substr(slash) + tail;
    full.resize(slash);
  }
  return FullPath(path);
}

std::wstring FinalPathOf(HANDLE handle) {
  using FinalPathFn = DWORD(WINAPI*)(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
  static const FinalPathFn final_path = ProcAddress<FinalPathFn>(
      GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW");
  std::wstring found;
  if (final_path == nullptr || !GrowingCall(
                                   [handle](wchar_t* buffer, DWORD size) {
                                     return final_path(handle, buffer, size, 0);
                                   },
                                   &found)) {
    return std::wstring();
  }
  return PlainPath(found);
}

std::wstring PlainPath(const std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
  return path;
}

std::wstring FinalPath(const std::wstring& path) {
  ScopedHandle handle(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  return handle.valid() ? FinalPathOf(handle.get()) : std::wstring();
}

std::wstring FoldCase(const std::wstring& path) {
  if (path.empty()) return path;
  // Upper case, as NTFS compares names through its upcase table; the
  // invariant locale keeps the result the same on every machine.
  std::wstring folded(path.size(), L'\0');
  const int length =
      LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                   static_cast<int>(path.size()), &folded[0], static_cast<int>(folded.size()));
  if (length == static_cast<int>(path.size())) return folded;
  folded = path;
  CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
  return folded;
}

}  // namespace kestrune::win32
