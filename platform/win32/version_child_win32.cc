// The child side of the version probe: started by the run with a restricted
// token, it loads the installation's library, calls its version entry,
// writes the answer to the pipe it was handed and ends. It shows nothing and
// runs nothing of the application.
#include "platform/win32/version_child_win32.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrune::win32 {
namespace {

// Not a switch of the public command line: the run alone writes it.
constexpr wchar_t kChildSwitch[] = L"/kestrune-version-child";
constexpr wchar_t kLibraryName[] = L"VoUInfo.dll";
constexpr WORD kVersionOrdinal = 18;
using VersionEntry = int(WINAPI*)(void* buffer, int size, int flags);
// The most a caller may ask the library to write, far beyond the 39 bytes.
constexpr int32_t kLargestSize = 4096;

// Newer than the oldest system declared; the values are fixed by the API.
constexpr DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
constexpr DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

struct ChildArguments {
  HANDLE pipe = nullptr;
  int32_t size = 0;
  int32_t flags = 0;
  std::wstring library;
};

bool TakeText(std::wstring_view* rest, std::wstring_view text) {
  if (rest->substr(0, text.size()) != text) return false;
  rest->remove_prefix(text.size());
  return true;
}

// A decimal number, with a sign where `low` allows one, within [low, high].
bool TakeNumber(std::wstring_view* rest, int64_t low, int64_t high, int64_t* value) {
  const bool negative = low < 0 && TakeText(rest, L"-");
  int64_t number = 0;
  size_t digits = 0;
  while (digits < rest->size() && (*rest)[digits] >= L'0' && (*rest)[digits] <= L'9' &&
         digits < 10) {
    number = number * 10 + ((*rest)[digits] - L'0');
    ++digits;
  }
  if (digits == 0) return false;
  rest->remove_prefix(digits);
  *value = negative ? -number : number;
  return *value >= low && *value <= high;
}

bool ParseChildLine(std::wstring_view line, ChildArguments* out) {
  // The program's own path, quoted as VersionChildCommandLine quotes it.
  if (!TakeText(&line, L"\"")) return false;
  const size_t end = line.find(L'"');
  if (end == std::wstring_view::npos) return false;
  line.remove_prefix(end + 1);
  int64_t pipe = 0, size = 0, flags = 0;
  if (!TakeText(&line, L" ") || !TakeText(&line, kChildSwitch) || !TakeText(&line, L" ") ||
      !TakeNumber(&line, 1, UINT32_MAX, &pipe) || !TakeText(&line, L" ") ||
      !TakeNumber(&line, 0, kLargestSize, &size) || !TakeText(&line, L" ") ||
      !TakeNumber(&line, INT32_MIN, INT32_MAX, &flags) || !TakeText(&line, L" \"") ||
      line.size() < 2 || line.back() != L'"') {
    return false;
  }
  line.remove_suffix(1);
  if (line.find(L'"') != std::wstring_view::npos) return false;
  out->pipe = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(pipe));
  out->size = static_cast<int32_t>(size);
  out->flags = static_cast<int32_t>(flags);
  out->library = std::wstring(line);
  return true;
}

// A fault in the library ends the child at once with the fault's code, for
// the run's log, whatever the system's crash settings say.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The run ends the child at its deadline; this ends it where the run could
// not hold it in a job and was itself ended first.
DWORD WINAPI EndAfterTheProbe(void*) {
  Sleep(kVersionProbeMs + 1000);
  TerminateProcess(GetCurrentProcess(), WAIT_TIMEOUT);
  return 0;
}

VersionLibrary::Outcome LoadAndCall(const ChildArguments& args, bool system_search_only,
                                    uint8_t* buffer, DWORD* error) {
  // The library's own dependencies live beside it in the installation, so
  // they are searched for there and in the system folder, never in the
  // package folder the program started from.
  const DWORD search = system_search_only ? kSearchDllLoadDir | kSearchSystem32
                                          : LOAD_WITH_ALTERED_SEARCH_PATH;
  HMODULE loaded = LoadLibraryExW(args.library.c_str(), nullptr, search);
  if (loaded == nullptr) {
    *error = GetLastError();
    return VersionLibrary::Outcome::kNotLoaded;
  }
  HMODULE module = GetModuleHandleW(kLibraryName);
  if (module == nullptr) module = loaded;
  auto entry = ProcAddress<VersionEntry>(module, MAKEINTRESOURCEA(kVersionOrdinal));
  if (entry == nullptr) {
    FreeLibrary(module);
    return VersionLibrary::Outcome::kNoEntry;
  }
  entry(buffer, args.size, args.flags);
  FreeLibrary(module);
  return VersionLibrary::Outcome::kCalled;
}

}  // namespace

std::wstring VersionChildCommandLine(const std::wstring& program, HANDLE pipe, int32_t size,
                                     int32_t flags, const std::wstring& library) {
  return L"\"" + program + L"\" " + kChildSwitch + L" " +
         std::to_wstring(reinterpret_cast<uintptr_t>(pipe)) + L" " + std::to_wstring(size) +
         L" " + std::to_wstring(flags) + L" \"" + library + L"\"";
}

bool RunAsVersionChild(const wchar_t* command_line, bool system_search_only, int* status) {
  ChildArguments args;
  if (command_line == nullptr || !ParseChildLine(command_line, &args)) return false;
  // A file that is no library, one missing a dependency, or one whose code
  // faults must fail quietly instead of raising a system error box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndOnFault);
  // Nothing the library starts shares the pipe.
  SetHandleInformation(args.pipe, HANDLE_FLAG_INHERIT, 0);
  if (HANDLE watchdog = CreateThread(nullptr, 0, EndAfterTheProbe, nullptr, 0, nullptr)) {
    CloseHandle(watchdog);
  }
  // Room beyond the size for a library that writes its terminator past it
  // or a little too much.
  const size_t returned = static_cast<size_t>(args.size) + 1;
  std::string answer(kVersionAnswerHead + returned + 512, '\0');
  DWORD error = 0;
  const VersionLibrary::Outcome outcome = LoadAndCall(
      args, system_search_only, reinterpret_cast<uint8_t*>(&answer[kVersionAnswerHead]),
      &error);
  answer[0] = static_cast<char>(outcome);
  const uint32_t code = error;
  std::memcpy(&answer[1], &code, sizeof code);
  const DWORD length = static_cast<DWORD>(kVersionAnswerHead + returned);
  DWORD written = 0;
  *status = WriteFile(args.pipe, answer.data(), length, &written, nullptr) && written == length
                ? 0
                : 1;
  return true;
}

}  // namespace kestrune::win32
