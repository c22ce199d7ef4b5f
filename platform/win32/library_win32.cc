#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/paths_win32.h"
#include "platform/win32/version_child_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {
namespace {

// Newer than the oldest system declared; the values are fixed by the API.
constexpr DWORD kSearchSystem32 = 0x00000800;             // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD kExtendedStartupInfoPresent = 0x00080000;  // EXTENDED_STARTUPINFO_PRESENT
constexpr DWORD_PTR kHandleListAttribute = 0x00020002;    // PROC_THREAD_ATTRIBUTE_HANDLE_LIST
struct StartupInfoEx {  // STARTUPINFOEXW
  STARTUPINFOW info;
  PPROC_THREAD_ATTRIBUTE_LIST attributes;
};
using InitializeAttributesFn = BOOL(WINAPI*)(PPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, SIZE_T*);
using UpdateAttributeFn = BOOL(WINAPI*)(PPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, void*,
                                        SIZE_T, void*, SIZE_T*);
using DeleteAttributesFn = void(WINAPI*)(PPROC_THREAD_ATTRIBUTE_LIST);

// The program asks to run elevated (its manifest), and the system refuses
// to start it with a token that is not (ERROR_ELEVATION_REQUIRED) unless
// told to run it as the token allows.
constexpr wchar_t kCompatibilityName[] = L"__COMPAT_LAYER";
constexpr wchar_t kRunAsInvoker[] = L"RunAsInvoker";

std::wstring Failed(const wchar_t* call, DWORD code) {
  return std::wstring(call) + L" failed: error " + std::to_wstring(code) + L" (" +
         Win32Environment{}.ErrorText(code) + L")";
}

// The run's own token with every privilege removed, the Administrators
// group good only to deny access, and, where the system has integrity
// levels, the lowest level a process can run at.
bool MakeRestrictedToken(ScopedHandle* restricted, std::wstring* cause) {
  HANDLE own_handle = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                        &own_handle)) {
    *cause = Failed(L"OpenProcessToken", GetLastError());
    return false;
  }
  ScopedHandle own(own_handle);
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof administrators;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sid_size)) {
    *cause = Failed(L"CreateWellKnownSid", GetLastError());
    return false;
  }
  SID_AND_ATTRIBUTES deny_only{administrators, 0};
  HANDLE token = nullptr;
  if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &deny_only, 0, nullptr, 0,
                             nullptr, &token)) {
    *cause = Failed(L"CreateRestrictedToken", GetLastError());
    return false;
  }
  restricted->reset(token);
  // XP has no integrity levels and refuses the information class it does
  // not know; there the token stays at that.
  DWORD needed = 0;
  if (!GetTokenInformation(own.get(), TokenIntegrityLevel, nullptr, 0, &needed) &&
      GetLastError() == ERROR_INVALID_PARAMETER) {
    return true;
  }
  SID_IDENTIFIER_AUTHORITY label_authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID low = nullptr;
  if (!AllocateAndInitializeSid(&label_authority, 1, SECURITY_MANDATORY_LOW_RID, 0, 0, 0, 0, 0,
                                0, 0, &low)) {
    *cause = Failed(L"AllocateAndInitializeSid", GetLastError());
    return false;
  }
  TOKEN_MANDATORY_LABEL level{};
  level.Label.Sid = low;
  level.Label.Attributes = SE_GROUP_INTEGRITY;
  const BOOL lowered = SetTokenInformation(token, TokenIntegrityLevel, &level,
                                           sizeof level + GetLengthSid(low));
  const DWORD error = GetLastError();
  FreeSid(low);
  if (!lowered) *cause = Failed(L"SetTokenInformation(TokenIntegrityLevel)", error);
  return lowered != FALSE;
}

// A job that ends every process in it when the run closes it or ends, and
// lets them touch nothing of the desktop's beyond their own windows.
bool MakeJob(ScopedHandle* job) {
  job->reset(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!job->valid() || !SetInformationJobObject(job->get(), JobObjectExtendedLimitInformation,
                                                &limits, sizeof limits)) {
    return false;
  }
  // Best effort: the token already keeps the child from the run's windows
  // where the system has integrity levels.
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{
      JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS |
      JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS |
      JOB_OBJECT_UILIMIT_HANDLES | JOB_OBJECT_UILIMIT_READCLIPBOARD |
      JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS | JOB_OBJECT_UILIMIT_WRITECLIPBOARD};
  SetInformationJobObject(job->get(), JobObjectBasicUIRestrictions, &ui, sizeof ui);
  return true;
}

// The run's environment with the compatibility setting above, in the
// sorted order the system keeps.
std::wstring ChildEnvironment() {
  const std::wstring ours = std::wstring(kCompatibilityName) + L"=" + kRunAsInvoker;
  std::wstring block;
  bool placed = false;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry != nullptr && *entry != 0;
       entry += std::wcslen(entry) + 1) {
    const std::wstring name = std::wstring(kCompatibilityName) + L"=";
    if (_wcsnicmp(entry, name.c_str(), name.size()) == 0) continue;
    // The run's current folder of each drive: the child has its own.
    if (entry[0] == L'=') continue;
    if (!placed && _wcsicmp(entry, ours.c_str()) > 0) {
      block.append(ours).push_back(L'\0');
      placed = true;
    }
    block.append(entry).push_back(L'\0');
  }
  if (strings != nullptr) FreeEnvironmentStringsW(strings);
  if (!placed) block.append(ours).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// Inherits exactly `handle` where the system can say so (Vista and later);
// on older systems every inheritable handle is inherited, and the run makes
// no other one.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto initialize =
        ProcAddress<InitializeAttributesFn>(kernel, "InitializeProcThreadAttributeList");
    auto update = ProcAddress<UpdateAttributeFn>(kernel, "UpdateProcThreadAttribute");
    remove_ = ProcAddress<DeleteAttributesFn>(kernel, "DeleteProcThreadAttributeList");
    SIZE_T bytes = 0;
    if (initialize == nullptr || update == nullptr || remove_ == nullptr) return;
    initialize(nullptr, 1, 0, &bytes);
    storage_.resize(bytes);
    auto list = reinterpret_cast<PPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (bytes == 0 || !initialize(list, 1, 0, &bytes)) return;
    if (!update(list, 0, kHandleListAttribute, &handle_, sizeof handle_, nullptr, nullptr)) {
      remove_(list);
      return;
    }
    list_ = list;
  }
  ~InheritOnly() {
    if (list_ != nullptr) remove_(list_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  PPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  HANDLE handle_;
  std::vector<BYTE> storage_;
  PPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  DeleteAttributesFn remove_ = nullptr;
};

// Sets the compatibility setting in the run's own environment while the
// child is made, as the system may read it there rather than in the block.
class RunAsInvokerHere {
 public:
  RunAsInvokerHere() {
    const DWORD length = GetEnvironmentVariableW(kCompatibilityName, nullptr, 0);
    had_ = length > 0;
    if (had_) {
      old_.resize(length);
      old_.resize(GetEnvironmentVariableW(kCompatibilityName, &old_[0], length));
    }
    SetEnvironmentVariableW(kCompatibilityName, kRunAsInvoker);
  }
  ~RunAsInvokerHere() { SetEnvironmentVariableW(kCompatibilityName, had_ ? old_.c_str() : nullptr); }
  RunAsInvokerHere(const RunAsInvokerHere&) = delete;
  RunAsInvokerHere& operator=(const RunAsInvokerHere&) = delete;

 private:
  bool had_ = false;
  std::wstring old_;
};

// This program's path as CreateProcess takes it: the system refuses one of
// MAX_PATH or more, in any form, so a package that deep is reached by its
// short (8.3) names, where the volume has them.
std::wstring ChildProgramPath() {
  const std::wstring program = Win32Environment{}.ModulePath();
  if (program.size() < MAX_PATH) return program;
  const std::wstring extended = ExtendedPath(program);
  std::wstring shorter(extended.size() + 1, L'\0');
  const DWORD length = GetShortPathNameW(extended.c_str(), &shorter[0],
                                         static_cast<DWORD>(shorter.size()));
  if (length == 0 || length >= shorter.size()) return program;
  shorter.resize(length);
  return PlainPath(shorter);
}

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
                                                              int32_t flags,
                                                              std::wstring* cause) {
  // The library is the installation's, and anyone who may write there may
  // have put it there: it runs in a process of its own, with no rights, so
  // that neither its code nor a crash or hang of a damaged copy reaches the
  // elevated run.
  const DWORD started = GetTickCount();
  if (size < 0) {
    *cause = L"no room for the answer";
    return Outcome::kFailed;
  }
  const size_t returned = static_cast<size_t>(size) + 1;
  // The search flags of the child refuse a path that is not fully
  // qualified, and a relative installation folder is as good as any: it is
  // taken against the current folder, as the existence test took it.
  const std::wstring library = FullPath(path);
  const std::wstring program = ChildProgramPath();

  ScopedHandle token(nullptr);
  if (!MakeRestrictedToken(&token, cause)) return Outcome::kFailed;
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) {
    *cause = Failed(L"CreatePipe", GetLastError());
    return Outcome::kFailed;
  }
  ScopedHandle answer_pipe(read_end);
  ScopedHandle child_end(write_end);
  SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

  std::wstring line = VersionChildCommandLine(program, write_end, size, flags, library);
  std::wstring environment = ChildEnvironment();
  // The run's current folder may be the package's; the system folder is
  // one no one but an administrator can change.
  wchar_t system[MAX_PATH];
  const UINT system_length = GetSystemDirectoryW(system, MAX_PATH);
  InheritOnly inherit(write_end);
  StartupInfoEx startup{};
  startup.info.cb = sizeof startup.info;
  DWORD creation = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_BREAKAWAY_FROM_JOB;
  if (inherit.list() != nullptr) {
    startup.info.cb = sizeof startup;
    startup.attributes = inherit.list();
    creation |= kExtendedStartupInfoPresent;
  }
  PROCESS_INFORMATION child{};
  BOOL created = FALSE;
  {
    RunAsInvokerHere invoker;
    for (int attempt = 0; attempt < 2 && !created; ++attempt) {
      created = CreateProcessAsUserW(token.get(), program.c_str(), &line[0], nullptr, nullptr,
                                     TRUE, creation, &environment[0],
                                     system_length > 0 && system_length < MAX_PATH ? system
                                                                                   : nullptr,
                                     &startup.info, &child);
      // A run in a job that lets nothing break away (Windows before 8 has
      // no jobs within jobs): the child stays in that job too.
      if (created || GetLastError() != ERROR_ACCESS_DENIED) break;
      creation &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    }
  }
  if (!created) {
    *cause = Failed(L"CreateProcessAsUserW", GetLastError());
    return Outcome::kFailed;
  }
  child_end.reset(nullptr);  // the child's copy is the only writer now
  ScopedHandle process(child.hProcess);
  ScopedHandle thread(child.hThread);
  ScopedHandle job(nullptr);
  const bool held = MakeJob(&job) && AssignProcessToJobObject(job.get(), process.get());
  const DWORD hold_error = GetLastError();
  ResumeThread(thread.get());

  const DWORD spent = GetTickCount() - started;
  const DWORD waited =
      WaitForSingleObject(process.get(), spent < kVersionProbeMs ? kVersionProbeMs - spent : 0);
  // The probe ends whole: the child, and anything the library started in
  // its job.
  if (held) TerminateJobObject(job.get(), WAIT_TIMEOUT);
  TerminateProcess(process.get(), WAIT_TIMEOUT);
  WaitForSingleObject(process.get(), kVersionProbeMs);
  if (waited != WAIT_OBJECT_0) {
    *cause = L"no answer within " + std::to_wstring(kVersionProbeMs / 1000) + L" s";
    return Outcome::kFailed;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  std::string answer(kVersionAnswerHead + returned, '\0');
  DWORD available = 0, got = 0;
  if (!PeekNamedPipe(answer_pipe.get(), nullptr, 0, nullptr, &available, nullptr) ||
      available < answer.size() ||
      !ReadFile(answer_pipe.get(), &answer[0], static_cast<DWORD>(answer.size()), &got,
                nullptr) ||
      got != answer.size() || code != 0) {
    wchar_t ended[16];
    std::swprintf(ended, 16, L"0x%08lX", static_cast<unsigned long>(code));
    *cause = std::wstring(L"the probe ended with ") + ended + L" without an answer";
    return Outcome::kFailed;
  }
  // Only the answer's shape is trusted: the library may have written to
  // the pipe itself.
  const auto outcome = static_cast<Outcome>(static_cast<uint8_t>(answer[0]));
  if (outcome != Outcome::kCalled && outcome != Outcome::kNotLoaded &&
      outcome != Outcome::kNoEntry) {
    *cause = L"the probe's answer is malformed";
    return Outcome::kFailed;
  }
  uint32_t error = 0;
  std::memcpy(&error, answer.data() + 1, sizeof error);
  if (outcome == Outcome::kNotLoaded) *cause = Failed(L"LoadLibraryExW", error);
  if (!held) {
    // Noted, not refused: the child ends itself after the probe's time.
    *cause = Failed(L"AssignProcessToJobObject", hold_error) +
             (cause->empty() ? L"" : L"; " + *cause);
  }
  std::memcpy(buffer, answer.data() + kVersionAnswerHead, returned);
  return outcome;
}

}  // namespace kestrune::win32
