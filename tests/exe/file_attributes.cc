// Checks the Windows back-end's attribute call from inside, on files in the
// current folder: prints each failure and exits 1, or exits 0. Run under Wine
// by the win32 build's tests. Wine reports the archive bit on every file, so
// no file there has the read-only attribute alone and the end-to-end suite
// never asks for "none left"; these rows ask for it directly.
#include <cstdio>

#include "platform/win32/ntdll_win32.h"
#include "platform/win32/windows_h.h"

namespace {

struct Row {
  const char* label;
  bool read_only_before;
  DWORD given;
  bool read_only_after;
};

const Row kRows[] = {
    // What the removal of a read-only file asks when it was its only
    // attribute: none left. Zero passed as it is leaves them all.
    {"none, from read-only", true, 0, false},
    {"archive alone, from read-only", true, FILE_ATTRIBUTE_ARCHIVE, false},
    {"read-only, from none", false, FILE_ATTRIBUTE_READONLY, true},
};

}  // namespace

int wmain() {
  int failures = 0;
  for (const Row& row : kRows) {
    const wchar_t* name = L"attributes.tmp";
    SetFileAttributesW(name, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(name);
    HANDLE made = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (made == INVALID_HANDLE_VALUE) {
      std::printf("FAIL: %s: cannot create the file (%lu)\n", row.label, GetLastError());
      return 1;
    }
    CloseHandle(made);
    if (row.read_only_before) SetFileAttributesW(name, FILE_ATTRIBUTE_READONLY);
    HANDLE file = CreateFileW(name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    const DWORD set = kestrune::win32::SetAttributes(file, row.given);
    CloseHandle(file);
    const DWORD after = GetFileAttributesW(name);
    const bool read_only = after != INVALID_FILE_ATTRIBUTES && (after & FILE_ATTRIBUTE_READONLY);
    if (set != ERROR_SUCCESS || read_only != row.read_only_after) {
      std::printf("FAIL: %s: set %lu, attributes now 0x%lx\n", row.label, set, after);
      ++failures;
    }
  }
  SetFileAttributesW(L"attributes.tmp", FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(L"attributes.tmp");
  std::printf("%d attribute failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
