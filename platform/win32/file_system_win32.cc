#include "platform/win32/paths_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

// Every path reaches the system in its "\\?\" form, so that folders deeper
// than MAX_PATH are searched and replaced like any other.

namespace kestrune::win32 {
namespace {

bool MeansAbsent(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

FileStatus StatusOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileStatus(FileResult::kTargetExists, error);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FileStatus(FileResult::kMissing, error);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileStatus(FileResult::kInUse, error);
    default:
      return FileStatus(FileResult::kFailed, error);
  }
}

FileStatus ResultOf(BOOL ok) { return ok ? FileStatus() : StatusOf(GetLastError()); }

}  // namespace

PathKind Win32FileSystem::Probe(const std::wstring& path) {
  // Not PathFileExistsW: it cannot tell a missing file from one that may not
  // be looked at, and the replacement must stop on the latter.
  const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    // A file held open by the system without sharing still exists.
    if (error == ERROR_SHARING_VIOLATION) return PathKind::kFile;
    return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
}

bool Win32FileSystem::ListFolder(const std::wstring& folder, FolderListing* listing) {
  const std::wstring extended = ExtendedPath(folder);
  const std::wstring pattern = extended + L"\\*";
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  listing->entries.clear();
  do {
    const wchar_t* name = data.cFileName;
    if (name[0] == L'.' &&
        (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) {
      continue;
    }
    listing->entries.push_back(
        FolderEntry{name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search, &data));
  FindClose(search);

  // A folder reached through a junction or link opens as its real self,
  // whose volume and file index identify it.
  ScopedHandle handle(CreateFileW(extended.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  listing->has_id = handle.valid() && GetFileInformationByHandle(handle.get(), &info);
  if (listing->has_id) {
    listing->id.volume = info.dwVolumeSerialNumber;
    listing->id.index =
        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  return true;
}

FileStatus Win32FileSystem::Move(const std::wstring& from, const std::wstring& to) {
  return ResultOf(MoveFileW(ExtendedPath(from).c_str(), ExtendedPath(to).c_str()));
}

FileStatus Win32FileSystem::CopyNew(const std::wstring& from, const std::wstring& to) {
  return ResultOf(CopyFileW(ExtendedPath(from).c_str(), ExtendedPath(to).c_str(), TRUE));
}

FileStatus Win32FileSystem::Remove(const std::wstring& given) {
  const std::wstring path = ExtendedPath(given);
  if (DeleteFileW(path.c_str())) return FileStatus();
  const DWORD error = GetLastError();
  // Only files this run made or set aside are removed; a read-only one
  // (CopyFileW carries the attribute over) refuses deletion until the
  // attribute is cleared.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return StatusOf(error);
  }
  if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return StatusOf(GetLastError());
  }
  if (DeleteFileW(path.c_str())) return FileStatus();
  const FileStatus failed = StatusOf(GetLastError());
  SetFileAttributesW(path.c_str(), attributes);
  return failed;
}

}  // namespace kestrune::win32
