#include "platform/text.h"
#include "platform/win32/paths_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"
// These need the declarations of <windows.h> before them.
#include <restartmanager.h>
#include <tlhelp32.h>

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

// The Restart Manager (Vista and later) knows every process that has a file
// open, not only those that loaded it; it is looked up at run time, so that
// the program still starts on XP, and loaded by full path from the system
// folder.
using RmStartSessionFn = DWORD(WINAPI*)(DWORD* session, DWORD flags, WCHAR* key);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD session, UINT files, LPCWSTR* names,
                                             UINT processes, RM_UNIQUE_PROCESS* ids,
                                             UINT services, LPCWSTR* service_names);
using RmGetListFn = DWORD(WINAPI*)(DWORD session, UINT* needed, UINT* count,
                                   RM_PROCESS_INFO* infos, DWORD* reasons);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD session);

// The layout the system fills, the same in every 32-bit build.
static_assert(sizeof(RM_PROCESS_INFO) == 668, "RM_PROCESS_INFO as the system lays it out");

struct RestartManager {
  RmStartSessionFn start = nullptr;
  RmRegisterResourcesFn register_files = nullptr;
  RmGetListFn get_list = nullptr;
  RmEndSessionFn end = nullptr;
};

const RestartManager& Rm() {
  static const RestartManager rm = [] {
    RestartManager found;
    HMODULE library = LoadSystemLibrary(L"rstrtmgr.dll");
    found.start = ProcAddress<RmStartSessionFn>(library, "RmStartSession");
    found.register_files = ProcAddress<RmRegisterResourcesFn>(library, "RmRegisterResources");
    found.get_list = ProcAddress<RmGetListFn>(library, "RmGetList");
    found.end = ProcAddress<RmEndSessionFn>(library, "RmEndSession");
    if (found.start == nullptr || found.register_files == nullptr || found.get_list == nullptr ||
        found.end == nullptr) {
      found = RestartManager();
    }
    return found;
  }();
  return rm;
}

// The processes the Restart Manager names for `path`; none where it is
// missing (XP) or answers nothing (Wine's is stubs).
std::vector<FileHolder> HoldersByRestartManager(const std::wstring& path) {
  std::vector<FileHolder> holders;
  const RestartManager& rm = Rm();
  if (rm.start == nullptr) return holders;
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (rm.start(&session, 0, key) != ERROR_SUCCESS) return holders;
  LPCWSTR names[] = {path.c_str()};
  std::vector<RM_PROCESS_INFO> infos(4);
  if (rm.register_files(session, 1, names, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
    // The list may grow between the call that sizes it and the next.
    for (int tries = 0; tries < 4; ++tries) {
      UINT needed = 0;
      UINT count = static_cast<UINT>(infos.size());
      DWORD reasons = 0;
      const DWORD listed = rm.get_list(session, &needed, &count, infos.data(), &reasons);
      if (listed == ERROR_MORE_DATA) {
        infos.resize(needed + 4);
        continue;
      }
      if (listed != ERROR_SUCCESS) break;
      const DWORD self = GetCurrentProcessId();
      for (UINT i = 0; i < count && i < infos.size(); ++i) {
        if (infos[i].Process.dwProcessId == self) continue;
        infos[i].strAppName[CCH_RM_MAX_APP_NAME] = L'\0';
        holders.push_back(FileHolder{infos[i].Process.dwProcessId, infos[i].strAppName});
      }
      break;
    }
  }
  rm.end(session);
  return holders;
}

// The processes that have `path` loaded as a module: what XP (and Wine) can
// tell, from snapshots that exist there. A file only held open is not seen.
std::vector<FileHolder> HoldersByModules(const std::wstring& path) {
  std::vector<FileHolder> holders;
  // Module paths come as the loader was given them: compared folded, with
  // the file's own path in its long form.
  const std::wstring wanted = FoldCase(LongPath(PlainPath(path)));
  ScopedHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes.valid()) return holders;
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W process = {};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(processes.get(), &process); more;
       more = Process32NextW(processes.get(), &process)) {
    if (process.th32ProcessID == 0 || process.th32ProcessID == self) continue;
    // Refused for processes this one may not read, and for 64-bit ones.
    ScopedHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID));
    if (!modules.valid()) continue;
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    for (BOOL found = Module32FirstW(modules.get(), &module); found;
         found = Module32NextW(modules.get(), &module)) {
      if (FoldCase(PlainPath(module.szExePath)) == wanted) {
        holders.push_back(FileHolder{process.th32ProcessID, process.szExeFile});
        break;
      }
    }
  }
  return holders;
}

}  // namespace

std::vector<FileHolder> Win32ProcessList::Holders(const std::wstring& path) {
  std::vector<FileHolder> holders = HoldersByRestartManager(PlainPath(path));
  if (holders.empty()) holders = HoldersByModules(path);
  return holders;
}

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
