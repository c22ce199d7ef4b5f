// Who owns a file and who else may change it, read from an open handle in
// the terms of platform/trust.h; and the security descriptor the run gives
// the files of its own state.
#ifndef KESTRUNE_PLATFORM_WIN32_TRUST_WIN32_H_
#define KESTRUNE_PLATFORM_WIN32_TRUST_WIN32_H_

#include "platform/trust.h"
#include "platform/win32/windows_h.h"

namespace kestrune::win32 {

// The owner and access list of the file or folder open on `handle` (opened
// with READ_CONTROL), each principal told against the run's own token. A
// Win32 error code, ERROR_SUCCESS when read.
DWORD OwnershipOfHandle(HANDLE handle, Ownership* ownership);

// A descriptor that makes a new file the run's own: owned by the
// administrators when the run is elevated (else by its user), full access
// for that owner, the administrators and the system, and nothing inherited
// from the folder. Built once; null, with the last error set, when the
// run's token cannot be read.
SECURITY_DESCRIPTOR* OwnFileSecurity();

}  // namespace kestrune::win32

#endif  // KESTRUNE_PLATFORM_WIN32_TRUST_WIN32_H_
