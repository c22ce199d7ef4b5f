#include <string.h>

#include <vector>

#include "platform/text.h"
#include "platform/trust.h"
#include "platform/win32/ntdll_win32.h"
#include "platform/win32/paths_win32.h"
#include "platform/win32/trust_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"
// Needs the declarations of <windows.h> before it.
#include <commctrl.h>

namespace kestrune::win32 {
namespace {

// A byte far past the end of any log: Windows' locks are mandatory, and
// one on the text itself would stop a person reading the log meanwhile.
constexpr DWORD kHoldOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kHoldOffsetLow = 0xFFFFFFFE;
// Every run holds the log for a moment, so a wait longer than a second
// means some other program holds it: the run then writes unheld.
constexpr DWORD kHoldWaitMs = 1000;
constexpr int kHoldYields = 100;

class Win32LogFile : public LogFile {
 public:
  Win32LogFile(HANDLE file, bool can_hold) : file_(file), unheld_(!can_hold) {}
  void Hold() override {
    const DWORD start = GetTickCount();
    for (int tries = 0; !unheld_; ++tries) {
      OVERLAPPED at = HoldAt();
      if (LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &at)) {
        held_ = true;
        return;
      }
      // A file system without locks, or a holder that does not let go.
      if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount() - start > kHoldWaitMs) {
        unheld_ = true;
        return;
      }
      ::Sleep(tries < kHoldYields ? 0 : 1);
    }
  }
  bool Append(const std::string& utf8) override {
    // The handle appends only, so each write lands at the end of the file
    // even when another run appends to it at the same time.
    DWORD written = 0;
    const bool whole = WriteFile(file_.get(), utf8.data(), static_cast<DWORD>(utf8.size()),
                                 &written, nullptr) &&
                       written == utf8.size();
    if (held_) {
      OVERLAPPED at = HoldAt();
      UnlockFileEx(file_.get(), 0, 1, 0, &at);
    }
    held_ = false;
    return whole;
  }

 private:
  static OVERLAPPED HoldAt() {
    OVERLAPPED at{};
    at.Offset = kHoldOffsetLow;
    at.OffsetHigh = kHoldOffsetHigh;
    return at;
  }

  ScopedHandle file_;
  bool held_ = false;
  bool unheld_;
};

// Set once the run has asked for the controls; both on the run's thread.
bool controls_wanted = false;

}  // namespace

// Asked for at the start of every run, registered only when a window is about
// to show: under Wine the registration starts the desktop's own process,
// about 45 ms of a quiet run that never shows a window, and so does loading
// the library.
void Win32Environment::InitCommonControls() { controls_wanted = true; }

void RegisterCommonControls() {
  if (!controls_wanted) return;
  // Loaded here, not imported: the library starts that process as it loads.
  // By name: the manifest's dependency sends the name to version 6 of the
  // controls, side by side, before any folder is searched. Again before each
  // window: loading and registering twice is harmless, and no window can
  // come before the classes it needs.
  using InitControls = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init =
      ProcAddress<InitControls>(LoadLibraryW(L"comctl32.dll"), "InitCommonControlsEx");
  if (init == nullptr) return;
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  init(&controls);
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

std::vector<std::wstring> Win32Environment::Arguments() {
  // The shell's rules, so that quoted paths with spaces arrive whole. shell32
  // is loaded from the system folder by full path, never from beside the
  // program.
  using SplitFn = LPWSTR*(WINAPI*)(LPCWSTR line, int* count);
  std::vector<std::wstring> arguments;
  const wchar_t* line = GetCommandLineW();
  auto split = ProcAddress<SplitFn>(LoadSystemLibrary(L"shell32.dll"), "CommandLineToArgvW");
  int count = 0;
  LPWSTR* argv = split != nullptr ? split(line, &count) : nullptr;
  for (int i = 1; argv != nullptr && i < count; ++i) arguments.emplace_back(argv[i]);
  if (argv != nullptr) LocalFree(argv);
  return arguments;
}

std::wstring Win32Environment::CommandLine() { return GetCommandLineW(); }

LocalTime Win32Environment::Now() {
  FILETIME utc;
  FILETIME local;
  GetSystemTimeAsFileTime(&utc);
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME time;
  FileTimeToSystemTime(&local, &time);
  auto ticks = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  LocalTime now;
  now.year = time.wYear;
  now.month = time.wMonth;
  now.day = time.wDay;
  now.hour = time.wHour;
  now.minute = time.wMinute;
  now.second = time.wSecond;
  now.millisecond = time.wMilliseconds;
  now.utc_offset_minutes = static_cast<int>((ticks(local) - ticks(utc)) / 600000000LL);
  return now;
}

void Win32Environment::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }

std::wstring Win32Environment::ErrorText(uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
  if (text != nullptr) LocalFree(text);
  // The system's texts end in a line break, which a log line cannot hold.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ')) {
    message.pop_back();
  }
  return message.empty() ? L"unknown error" : message;
}

std::unique_ptr<LogFile> Win32Environment::OpenLog(const std::wstring& path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end.
  // Locking needs read or write access besides; a log the account may only
  // append to is opened without and written unheld.
  DWORD access = FILE_APPEND_DATA | FILE_READ_DATA;
  auto open = [&path, &access] {
    return CreateFileW(ExtendedPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = open();
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    // Each folder on the way, outermost first; the drive, the server and the
    // share refuse harmlessly, as does a folder that exists.
    const std::wstring full = FullPath(path);
    for (size_t end = full.find(L'\\'); end != std::wstring::npos;
         end = full.find(L'\\', end + 1)) {
      if (end > 0 && full[end - 1] != L'\\') {
        CreateDirectoryW(ExtendedPath(full.substr(0, end)).c_str(), nullptr);
      }
    }
    file = open();
  }
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    access = FILE_APPEND_DATA;
    file = open();
    if (file != INVALID_HANDLE_VALUE) return std::make_unique<Win32LogFile>(file, false);
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(file, true);
}

namespace {

// The machine's program-data folder: through the known-folder call where the
// system has it (Vista on), else the older CSIDL one; "" when neither tells.
std::wstring ProgramDataFolder() {
  const HMODULE shell = LoadSystemLibrary(L"shell32.dll");
  using KnownFn = HRESULT(WINAPI*)(const GUID& id, DWORD flags, HANDLE token, PWSTR* path);
  using FreeFn = void(WINAPI*)(void* memory);
  const auto known = ProcAddress<KnownFn>(shell, "SHGetKnownFolderPath");
  const auto free_memory = ProcAddress<FreeFn>(LoadSystemLibrary(L"ole32.dll"), "CoTaskMemFree");
  if (known != nullptr && free_memory != nullptr) {
    // FOLDERID_ProgramData, spelt out: the XP headers do not have it.
    static const GUID kProgramData = {
        0x62ab5d82, 0xfdc1, 0x4dc3, {0xa9, 0xdd, 0x07, 0x0d, 0x1d, 0x49, 0x5d, 0x97}};
    PWSTR path = nullptr;
    if (SUCCEEDED(known(kProgramData, 0, nullptr, &path)) && path != nullptr) {
      std::wstring folder = path;
      free_memory(path);
      return folder;
    }
  }
  using FolderFn = HRESULT(WINAPI*)(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
  const auto older = ProcAddress<FolderFn>(shell, "SHGetFolderPathW");
  wchar_t path[MAX_PATH];
  constexpr int kCommonAppData = 0x23;  // CSIDL_COMMON_APPDATA
  if (older != nullptr && SUCCEEDED(older(nullptr, kCommonAppData, nullptr, 0, path))) return path;
  return std::wstring();
}

// The handle holds what `path` names itself: no reparse point (a junction,
// a link, a mount point), and under Wine, which follows a host symbolic
// link whatever it is asked, nothing a link led to either.
bool HoldsItself(HANDLE handle, const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  const std::wstring final_path = FinalPathOf(handle);
  return final_path.empty() || FoldCase(final_path) == FoldCase(PlainPath(FullPath(path)));
}

// The journal's rule, asked of the open handle (READ_CONTROL).
bool Trusted(HANDLE handle) {
  Ownership ownership;
  return OwnershipOfHandle(handle, &ownership) == ERROR_SUCCESS &&
         JudgeOwnership(ownership).trusted;
}

}  // namespace

std::unique_ptr<LogFile> Win32Environment::OpenDefaultLog(uint64_t limit) {
  const std::wstring data = ProgramDataFolder();
  if (data.empty()) return nullptr;
  const std::wstring folder = JoinPath(data, L"Kestrune", L'\\');
  // Made the run's own where missing; one that is there is used only when
  // an administrator could have made it and nobody else may change it.
  SECURITY_ATTRIBUTES own{sizeof own, OwnFileSecurity(), FALSE};
  CreateDirectoryW(ExtendedPath(folder).c_str(), own.lpSecurityDescriptor != nullptr ? &own : nullptr);
  ScopedHandle held(CreateFileW(ExtendedPath(folder).c_str(),
                                READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                                    FILE_ADD_FILE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!held.valid() || !HoldsItself(held.get(), folder) || !Trusted(held.get())) return nullptr;
  const std::wstring name = L"Kestrune.log";
  // Read access besides appending, so that runs sharing it can lock it;
  // delete access and delete sharing, so that the one that finds it long
  // can move it to its old name while another still writes.
  const DWORD access = FILE_APPEND_DATA | FILE_READ_DATA | READ_CONTROL | DELETE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  for (int round = 0; round < 2; ++round) {
    HANDLE opened = INVALID_HANDLE_VALUE;
    DWORD error = OpenIn(held.get(), name, access, share, OPEN_EXISTING, 0, OpenKind::kFile, false,
                         &opened);
    if (error == ERROR_FILE_NOT_FOUND) {
      error = OpenIn(held.get(), name, access, share, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                     OpenKind::kFile, false, &opened, false, OwnFileSecurity());
    }
    ScopedHandle log(opened);
    if (error != ERROR_SUCCESS || !HoldsItself(log.get(), JoinPath(folder, name, L'\\')) ||
        !Trusted(log.get())) {
      return nullptr;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(log.get(), &size)) return nullptr;
    if (static_cast<uint64_t>(size.QuadPart) < limit || round == 1) {
      return std::make_unique<Win32LogFile>(log.release(), true);
    }
    // Another run may have moved it already: a new one is made all the same.
    RenameInto(log.get(), held.get(), L"Kestrune.old.log", true);
  }
  return nullptr;
}

uint32_t Win32Environment::ProcessId() { return GetCurrentProcessId(); }

namespace {

// The token's user as "DOMAIN\name"; "" when it cannot be told.
std::wstring AccountOf(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return std::wstring();
  std::vector<BYTE> user(size);
  if (!GetTokenInformation(token, TokenUser, user.data(), size, &size)) return std::wstring();
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = ARRAYSIZE(name);
  DWORD domain_size = ARRAYSIZE(domain);
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return std::wstring();
  }
  return domain_size == 0 ? std::wstring(name, name_size)
                          : std::wstring(domain, domain_size) + L"\\" + std::wstring(name, name_size);
}

Elevation ElevationOf(HANDLE token) {
  // Vista and later tell it, also for an administrator whose rights are
  // filtered until elevated; earlier systems know no such class and fail.
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
    return elevation.TokenIsElevated != 0 ? Elevation::kElevated : Elevation::kNotElevated;
  }
  // Before Vista an administrator's rights are the Administrators group's.
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, &administrators)) {
    return Elevation::kUnknown;
  }
  BOOL member = FALSE;
  const BOOL told = CheckTokenMembership(nullptr, administrators, &member);
  FreeSid(administrators);
  if (!told) return Elevation::kUnknown;
  return member ? Elevation::kElevated : Elevation::kNotElevated;
}

}  // namespace

RunAccount Win32Environment::Account() {
  RunAccount account;
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = ARRAYSIZE(computer);
  if (GetComputerNameW(computer, &size)) account.computer.assign(computer, size);
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ScopedHandle held(token);
    account.account = AccountOf(token);
    account.elevation = ElevationOf(token);
  }
  if (account.account.empty()) {
    wchar_t name[257];
    DWORD length = ARRAYSIZE(name);
    if (GetUserNameW(name, &length) && length > 0) account.account.assign(name, length - 1);
  }
  return account;
}

}  // namespace kestrune::win32
