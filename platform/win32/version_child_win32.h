// The version library's own process: the run starts its own program again,
// with no rights, to load and call the library, and reads one answer from
// it through a pipe.
#ifndef KESTRUNE_PLATFORM_WIN32_VERSION_CHILD_WIN32_H_
#define KESTRUNE_PLATFORM_WIN32_VERSION_CHILD_WIN32_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// The whole probe, from the child's start to its answer.
constexpr DWORD kVersionProbeMs = 10000;

// The answer: the outcome (one byte), the system's error code of a load that
// failed (four), then the size given to the library and its terminator's
// byte from the buffer.
constexpr size_t kVersionAnswerHead = 1 + sizeof(uint32_t);

// The command line that makes the program the child: it writes its answer
// to the inherited handle `pipe`.
std::wstring VersionChildCommandLine(const std::wstring& program, HANDLE pipe, int32_t size,
                                     int32_t flags, const std::wstring& library);

// When `command_line` is one made by VersionChildCommandLine, loads and
// calls the library, answers, and gives the process's exit status in
// `status`; false, touching nothing, for any other command line.
// `system_search_only` as HardenLibrarySearch answered.
bool RunAsVersionChild(const wchar_t* command_line, bool system_search_only, int* status);

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_VERSION_CHILD_WIN32_H_
