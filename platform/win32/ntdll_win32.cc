#include "platform/win32/ntdll_win32.h"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

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

struct CountedString {
  USHORT length;          // in bytes, no terminator
  USHORT maximum_length;  // in bytes
  const wchar_t* buffer;
};

struct ObjectAttributes {
  ULONG length;
  HANDLE root_directory;
  const CountedString* object_name;
  ULONG attributes;
  void* security_descriptor;
  void* security_quality_of_service;
};

// Values fixed since Windows NT.
constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE, as CreateFileW asks
constexpr ULONG kOpen = 1;                // FILE_OPEN
constexpr ULONG kCreate = 2;              // FILE_CREATE
constexpr ULONG kDirectoryFile = 0x1;
constexpr ULONG kSequentialOnly = 0x4;
constexpr ULONG kSynchronousIo = 0x20;  // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectoryFile = 0x40;
constexpr ULONG kOpenForBackupIntent = 0x4000;
constexpr ULONG kOpenReparsePoint = 0x200000;

// FILE_INFORMATION_CLASS values.
constexpr int kFileDirectoryInformation = 1;
constexpr int kFileIdFullDirectoryInformation = 38;
constexpr int kFileBasicInformation = 4;
constexpr int kFileStandardInformation = 5;
constexpr int kFileInternalInformation = 6;
constexpr int kFileRenameInformation = 10;
constexpr int kFileLinkInformation = 11;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileAttributeTagInformation = 35;

// Entries follow one another at next_entry_offset, each name running on
// past the end.
struct FileDirectoryInformation {
  ULONG next_entry_offset;
  ULONG file_index;
  LARGE_INTEGER creation_time;
  LARGE_INTEGER last_access_time;
  LARGE_INTEGER last_write_time;
  LARGE_INTEGER change_time;
  LARGE_INTEGER end_of_file;
  LARGE_INTEGER allocation_size;
  ULONG file_attributes;
  ULONG file_name_length;  // in bytes
  wchar_t file_name[1];
};

// The same with the file's index, which the oldest systems may not tell.
struct FileIdFullDirectoryInformation {
  ULONG next_entry_offset;
  ULONG file_index;
  LARGE_INTEGER creation_time;
  LARGE_INTEGER last_access_time;
  LARGE_INTEGER last_write_time;
  LARGE_INTEGER change_time;
  LARGE_INTEGER end_of_file;
  LARGE_INTEGER allocation_size;
  ULONG file_attributes;
  ULONG file_name_length;  // in bytes
  ULONG ea_size;
  LARGE_INTEGER file_id;
  wchar_t file_name[1];
};

constexpr NtStatus kNoMoreFiles = static_cast<NtStatus>(0x80000006);
constexpr NtStatus kInvalidInfoClass = static_cast<NtStatus>(0xC0000003);

struct FileInternalInformation {
  LARGE_INTEGER index_number;
};

struct FileStandardInformation {
  LARGE_INTEGER allocation_size;
  LARGE_INTEGER end_of_file;
  ULONG number_of_links;
  BOOLEAN delete_pending;
  BOOLEAN directory;
};

struct FileDispositionInformation {
  BOOLEAN delete_file;
};

struct FileBasicInformation {
  LARGE_INTEGER creation_time;  // zero: left as it is
  LARGE_INTEGER last_access_time;
  LARGE_INTEGER last_write_time;
  LARGE_INTEGER change_time;
  ULONG file_attributes;
};

struct FileAttributeTagInformation {
  ULONG file_attributes;
  ULONG reparse_tag;
};

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION share this layout; the
// name runs on past the end.
struct FileRenameInformation {
  BOOLEAN replace_if_exists;
  HANDLE root_directory;
  ULONG file_name_length;  // in bytes
  wchar_t file_name[1];
};

using CreateFileFn = NtStatus(NTAPI*)(HANDLE* file, ACCESS_MASK access,
                                      ObjectAttributes* attributes, IoStatusBlock* io,
                                      LARGE_INTEGER* allocation_size, ULONG file_attributes,
                                      ULONG share, ULONG disposition, ULONG options,
                                      void* ea_buffer, ULONG ea_length);
using SetInformationFileFn = NtStatus(NTAPI*)(HANDLE file, IoStatusBlock* io, void* information,
                                              ULONG length, int information_class);
using QueryInformationFileFn = NtStatus(NTAPI*)(HANDLE file, IoStatusBlock* io,
                                                void* information, ULONG length,
                                                int information_class);
using QueryDirectoryFileFn = NtStatus(NTAPI*)(HANDLE file, HANDLE event, void* apc_routine,
                                              void* apc_context, IoStatusBlock* io,
                                              void* information, ULONG length,
                                              int information_class, BOOLEAN single_entry,
                                              CountedString* file_name, BOOLEAN restart_scan);
using StatusToErrorFn = ULONG(NTAPI*)(NtStatus status);

struct Ntdll {
  CreateFileFn create_file = nullptr;
  SetInformationFileFn set_information_file = nullptr;
  QueryInformationFileFn query_information_file = nullptr;
  QueryDirectoryFileFn query_directory_file = nullptr;
  StatusToErrorFn status_to_error = nullptr;
  bool wine = false;
};

const Ntdll& Calls() {
  static const Ntdll calls = [] {
    // ntdll is mapped into every process; no load, no search.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    Ntdll found;
    found.create_file = ProcAddress<CreateFileFn>(ntdll, "NtCreateFile");
    found.set_information_file =
        ProcAddress<SetInformationFileFn>(ntdll, "NtSetInformationFile");
    found.query_information_file =
        ProcAddress<QueryInformationFileFn>(ntdll, "NtQueryInformationFile");
    found.query_directory_file =
        ProcAddress<QueryDirectoryFileFn>(ntdll, "NtQueryDirectoryFile");
    found.status_to_error = ProcAddress<StatusToErrorFn>(ntdll, "RtlNtStatusToDosError");
    // Wine's ntdll alone exports its version.
    found.wine = GetProcAddress(ntdll, "wine_get_version") != nullptr;
    return found;
  }();
  return calls;
}

bool windows_checks_forced = false;

DWORD ErrorOf(NtStatus status) {
  if (status >= 0) return ERROR_SUCCESS;
  const Ntdll& calls = Calls();
  return calls.status_to_error != nullptr ? calls.status_to_error(status) : ERROR_GEN_FAILURE;
}

DWORD SetInformation(HANDLE handle, void* information, ULONG length, int information_class) {
  const Ntdll& calls = Calls();
  if (calls.set_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  IoStatusBlock io{};
  return ErrorOf(calls.set_information_file(handle, &io, information, length, information_class));
}

}  // namespace

bool UnderWine() { return Calls().wine && !windows_checks_forced; }

void ForceWindowsChecksForTests(bool forced) { windows_checks_forced = forced; }

DWORD DeleteOnClose(HANDLE handle) {
  FileDispositionInformation information{TRUE};
  return SetInformation(handle, &information, sizeof information, kFileDispositionInformation);
}

DWORD OpenIn(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
             DWORD disposition, DWORD attributes, OpenKind kind, bool sequential,
             HANDLE* file, bool follow, SECURITY_DESCRIPTOR* security) {
  *file = INVALID_HANDLE_VALUE;
  const Ntdll& calls = Calls();
  if (calls.create_file == nullptr) return ERROR_PROC_NOT_FOUND;
  // A counted string holds at most 32,767 units.
  if (name.empty() || name.size() > 0x7FFF) return ERROR_INVALID_NAME;
  const CountedString counted{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                              static_cast<USHORT>(name.size() * sizeof(wchar_t)), name.c_str()};
  ObjectAttributes object{sizeof(ObjectAttributes), folder, &counted, kCaseInsensitive,
                          security, nullptr};
  ULONG options = follow ? kSynchronousIo : kSynchronousIo | kOpenReparsePoint;
  if (kind == OpenKind::kFolder) options |= kDirectoryFile;
  if (kind == OpenKind::kFile) options |= kNonDirectoryFile;
  // As CreateFileW's FILE_FLAG_BACKUP_SEMANTICS: folders open too.
  if (kind != OpenKind::kFile) options |= kOpenForBackupIntent;
  if (sequential) options |= kSequentialOnly;
  IoStatusBlock io{};
  HANDLE opened = nullptr;
  const NtStatus status = calls.create_file(
      &opened, access | SYNCHRONIZE, &object, &io, nullptr,
      disposition == CREATE_NEW ? (attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) : 0,
      share, disposition == CREATE_NEW ? kCreate : kOpen, options, nullptr, 0);
  if (status < 0) return ErrorOf(status);
  *file = opened;
  return ERROR_SUCCESS;
}

namespace {

// Every entry in `folder` as the listing class `information_class` gives
// it, that class's structure being `Entry`.
template <typename Entry>
NtStatus ListAs(HANDLE folder, int information_class, std::vector<ListedEntry>* entries) {
  entries->clear();
  const Ntdll& calls = Calls();
  // ULONGLONG elements: the entries are 8-byte aligned within the buffer.
  std::vector<ULONGLONG> buffer((64 << 10) / sizeof(ULONGLONG));
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IoStatusBlock io{};
    const NtStatus status = calls.query_directory_file(
        folder, nullptr, nullptr, nullptr, &io, buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), information_class, FALSE,
        nullptr, restart);
    if (status == kNoMoreFiles) return 0;
    if (status < 0) return status;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const Entry*>(bytes + offset);
      const std::wstring_view name(entry->file_name, entry->file_name_length / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        ListedEntry listed;
        listed.name = std::wstring(name);
        listed.attributes = entry->file_attributes;
        listed.size = static_cast<uint64_t>(entry->end_of_file.QuadPart);
        listed.last_write = entry->last_write_time.QuadPart;
        if constexpr (std::is_same_v<Entry, FileIdFullDirectoryInformation>) {
          listed.has_facts = true;
          listed.index = static_cast<uint64_t>(entry->file_id.QuadPart);
        }
        entries->push_back(std::move(listed));
      }
      if (entry->next_entry_offset == 0) break;
      offset += entry->next_entry_offset;
    }
  }
}

}  // namespace

DWORD ListIn(HANDLE folder, std::vector<ListedEntry>* entries) {
  if (Calls().query_directory_file == nullptr) return ERROR_PROC_NOT_FOUND;
  NtStatus status = ListAs<FileIdFullDirectoryInformation>(folder, kFileIdFullDirectoryInformation,
                                                           entries);
  if (status == kInvalidInfoClass) {
    status = ListAs<FileDirectoryInformation>(folder, kFileDirectoryInformation, entries);
  }
  if (status < 0) entries->clear();
  return ErrorOf(status);
}

DWORD RenameInto(HANDLE handle, HANDLE folder, const std::wstring& name, bool replace,
                 bool link) {
  if (name.empty() || name.size() > 0x7FFF) return ERROR_INVALID_NAME;
  const size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FileRenameInformation, file_name) + bytes +
                                    sizeof(wchar_t));
  FileRenameInformation information{};
  information.replace_if_exists = replace ? TRUE : FALSE;
  information.root_directory = folder;
  information.file_name_length = static_cast<ULONG>(bytes);
  std::memcpy(buffer.data(), &information, offsetof(FileRenameInformation, file_name));
  std::memcpy(buffer.data() + offsetof(FileRenameInformation, file_name), name.data(), bytes);
  return SetInformation(handle, buffer.data(), static_cast<ULONG>(buffer.size()),
                        link ? kFileLinkInformation : kFileRenameInformation);
}

DWORD AttributesOf(HANDLE handle, DWORD* attributes, DWORD* reparse_tag) {
  const Ntdll& calls = Calls();
  if (calls.query_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  FileAttributeTagInformation information{};
  IoStatusBlock io{};
  const NtStatus status = calls.query_information_file(handle, &io, &information,
                                                       sizeof information,
                                                       kFileAttributeTagInformation);
  if (status < 0) return ErrorOf(status);
  *attributes = information.file_attributes;
  *reparse_tag = information.reparse_tag;
  return ERROR_SUCCESS;
}

DWORD FactsOf(HANDLE handle, HandleFacts* facts) {
  const Ntdll& calls = Calls();
  if (calls.query_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  // Not FileNetworkOpenInformation, which Wine answers from the file's path
  // rather than from the open file.
  FileInternalInformation internal{};
  FileStandardInformation standard{};
  FileBasicInformation basic{};
  IoStatusBlock io{};
  NtStatus status = calls.query_information_file(handle, &io, &internal, sizeof internal,
                                                 kFileInternalInformation);
  if (status >= 0) {
    status = calls.query_information_file(handle, &io, &standard, sizeof standard,
                                          kFileStandardInformation);
  }
  if (status >= 0) {
    status = calls.query_information_file(handle, &io, &basic, sizeof basic,
                                          kFileBasicInformation);
  }
  if (status < 0) return ErrorOf(status);
  facts->index = static_cast<uint64_t>(internal.index_number.QuadPart);
  facts->size = static_cast<uint64_t>(standard.end_of_file.QuadPart);
  facts->last_write = basic.last_write_time.QuadPart;
  facts->attributes = basic.file_attributes;
  return ERROR_SUCCESS;
}

DWORD WrittenAndAttributesOf(HANDLE handle, HandleFacts* facts) {
  const Ntdll& calls = Calls();
  if (calls.query_information_file == nullptr) return ERROR_PROC_NOT_FOUND;
  FileBasicInformation basic{};
  IoStatusBlock io{};
  const NtStatus status = calls.query_information_file(handle, &io, &basic, sizeof basic,
                                                       kFileBasicInformation);
  if (status < 0) return ErrorOf(status);
  facts->last_write = basic.last_write_time.QuadPart;
  facts->attributes = basic.file_attributes;
  return ERROR_SUCCESS;
}

DWORD SetAttributes(HANDLE handle, DWORD attributes) {
  FileBasicInformation information{};
  // Zero would mean "leave them": a file with none is a normal one.
  information.file_attributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return SetInformation(handle, &information, sizeof information, kFileBasicInformation);
}

}  // namespace kestrune::win32
