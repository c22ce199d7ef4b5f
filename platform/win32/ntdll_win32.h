// The one door to ntdll: the few native file calls that the Win32 API lacks
// on the oldest supported system, looked up at run time, their statuses
// mapped to Win32 error codes so that the rest of the back-end speaks only
// the Win32 error vocabulary.
#ifndef KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_
#define KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_

#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// Marks the file or folder open on `handle` (opened with DELETE access) for
// deletion when its last handle closes, which the system does for a process
// however it ends. What is removed is what the handle names: checked first,
// a link is never followed to its target by this call. A Win32 error code,
// ERROR_SUCCESS when marked.
DWORD DeleteOnClose(HANDLE handle);

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_NTDLL_WIN32_H_
