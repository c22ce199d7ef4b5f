#include "platform/win32/ntdll_win32.h"

// Only declarations that MinGW's headers lack live here, in the layout of
// ntdll's own; every native call goes through this file.

namespace kestrune::win32 {
namespace {

using NtStatus = LONG;

struct IoStatusBlock {
  union {
    NtStatus status;
    void* pointer;
  };
  ULONG_PTR information;
};

// FILE_INFORMATION_CLASS values, fixed since Windows NT.
constexpr int kFileDispositionInformation = 13;

struct FileDispositionInformation {
  BOOLEAN delete_file;
};

using SetInformationFileFn = NtStatus(NTAPI*)(HANDLE file, IoStatusBlock* io, void* information,
                                              ULONG length, int information_class);
using StatusToErrorFn = ULONG(NTAPI*)(NtStatus status);

struct Ntdll {
  SetInformationFileFn set_information_file = nullptr;
  StatusToErrorFn status_to_error = nullptr;
};

const Ntdll& Calls() {
  static const Ntdll calls = [] {
    // ntdll is mapped into every process; no load, no search.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    Ntdll found;
    found.set_information_file =
        ProcAddress<SetInformationFileFn>(ntdll, "NtSetInformationFile");
    found.status_to_error = ProcAddress<StatusToErrorFn>(ntdll, "RtlNtStatusToDosError");
    return found;
  }();
  return calls;
}

DWORD ErrorOf(NtStatus status) {
  if (status >= 0) return ERROR_SUCCESS;
  const Ntdll& calls = Calls();
  return calls.status_to_error != nullptr ? calls.status_to_error(status) : ERROR_GEN_FAILURE;
}

}  // namespace

DWORD DeleteOnClose(HANDLE handle) {
  const Ntdll& calls = Calls();
  if (calls.set_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  IoStatusBlock io{};
  FileDispositionInformation information{TRUE};
  return ErrorOf(calls.set_information_file(handle, &io, &information, sizeof information,
                                            kFileDispositionInformation));
}


}  // namespace kestrune::win32
