#include "platform/text.h"
#include "platform/win32/paths_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {
namespace {

using EnumProcessesFn = BOOL(WINAPI*)(DWORD* ids, DWORD bytes, DWORD* returned);
using ImageFileNameFn = DWORD(WINAPI*)(HANDLE process, LPWSTR name, DWORD size);

struct ProcessStatus {
  EnumProcessesFn enum_processes = nullptr;
  ImageFileNameFn image_file_name = nullptr;
};

// Newer systems export the process-status calls from kernel32; older ones
// only from psapi.dll, which is loaded from the system folder by full path
// rather than imported, so a copy planted beside the program is never used.
const ProcessStatus& Status() {
  static const ProcessStatus status = [] {
    ProcessStatus found;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    found.enum_processes = ProcAddress<EnumProcessesFn>(kernel, "K32EnumProcesses");
    found.image_file_name =
        ProcAddress<ImageFileNameFn>(kernel, "K32GetProcessImageFileNameW");
    if (found.enum_processes == nullptr || found.image_file_name == nullptr) {
      HMODULE psapi = LoadSystemLibrary(L"psapi.dll");
      found.enum_processes = ProcAddress<EnumProcessesFn>(psapi, "EnumProcesses");
      found.image_file_name = ProcAddress<ImageFileNameFn>(psapi, "GetProcessImageFileNameW");
    }
    return found;
  }();
  return status;
}

}  // namespace

std::vector<DriveDevice> Win32ProcessList::DriveDevices() {
  std::vector<DriveDevice> devices;
  const DWORD drives = GetLogicalDrives();
  wchar_t target[1024];
  for (int letter = 0; letter < 26; ++letter) {
    if ((drives & (1u << letter)) == 0) continue;
    const wchar_t drive[3] = {static_cast<wchar_t>(L'A' + letter), L':', L'\0'};
    // The first of the returned names is the one the drive currently maps to.
    if (QueryDosDeviceW(drive, target, 1024) == 0) continue;
    devices.push_back(DriveDevice{target, drive});
  }
  return devices;
}

bool Win32ProcessList::Enumerate(std::vector<uint32_t>* ids) {
  const ProcessStatus& status = Status();
  if (status.enum_processes == nullptr) return false;
  // The call gives no count of its own: a full array may mean more processes,
  // so it grows until the answer leaves room to spare.
  std::vector<DWORD> buffer(1024);
  for (;;) {
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    DWORD returned = 0;
    if (!status.enum_processes(buffer.data(), bytes, &returned)) return false;
    if (returned < bytes) {
      ids->assign(buffer.begin(), buffer.begin() + returned / sizeof(DWORD));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool Win32ProcessList::ImagePath(uint32_t id, std::wstring* path) {
  const ProcessStatus& status = Status();
  if (status.image_file_name == nullptr) return false;
  HANDLE handle = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  if (handle == nullptr) {
    // Protected processes refuse the access above but grant this one (Vista
    // and later), which is all the image path needs.
    constexpr DWORD kQueryLimitedInformation = 0x1000;
    handle = OpenProcess(kQueryLimitedInformation, FALSE, id);
  }
  ScopedHandle process(handle);
  if (!process.valid()) return false;
  // Room for long device paths, which a 260-unit buffer would cut off.
  buffer_.resize(32768);
  const DWORD length = status.image_file_name(process.get(), buffer_.data(),
                                              static_cast<DWORD>(buffer_.size()));
  if (length == 0) return false;
  path->assign(buffer_.data(), length);
  return true;
}

std::wstring Win32ProcessList::ComparableProductPath(const std::wstring& folder,
                                                    const std::wstring& name) {
  // The folder's real path where the system tells it, so that a folder
  // reached through a link is seen where the product really runs from.
  const std::wstring real = FinalPath(folder);
  return FoldCase(LongPath(JoinPath(real.empty() ? folder : real, name, L'\\')));
}

std::wstring Win32ProcessList::ComparableImagePath(const std::wstring& image_path) {
  // A program started by its short name shows that name in its image path.
  return FoldCase(LongPath(image_path));
}

std::wstring Win32ProcessList::DisplayPath(const std::wstring& path) {
  // The handle's final path spells each part as the disk does (Vista and
  // later); elsewhere the long form, which has the case of the parts it
  // looked up.
  const std::wstring real = FinalPath(path);
  return real.empty() ? LongPath(path) : real;
}

}  // namespace kestrune::win32
