#include <string_view>
#include <vector>

#include "platform/text.h"
#include "platform/win32/paths_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

// Every path reaches the system in its "\\?\" form, so that folders deeper
// than MAX_PATH are searched and replaced like any other. Once confined,
// paths below the installation go through its real folder, resolved once,
// and each folder on the way is checked to be no link.

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

// The status of a path that passes a link below the installation.
constexpr DWORD kLinkOnTheWay = ERROR_CANT_RESOLVE_FILENAME;

// Wine shows a host link to a file as the file itself and follows it
// whatever the flags it is opened with: only where the opened file really
// is tells. True when what is at `system` (an existing name) is elsewhere.
bool LeadsElsewhere(const std::wstring& system) {
  const std::wstring real = FinalPath(system);
  if (real.empty()) return false;  // the system cannot tell: attributes decide
  std::wstring named = system.compare(0, 4, L"\\\\?\\") == 0 ? system.substr(4) : system;
  if (named.compare(0, 4, L"UNC\\") == 0) named = L"\\" + named.substr(3);
  return FoldCase(real) != FoldCase(named);
}

}  // namespace

FileStatus Win32FileSystem::Confine(const std::wstring& package,
                                    const std::wstring& installation) {
  const std::wstring package_final = FinalPath(package);
  package_real_ = FoldCase(package_final.empty() ? LongPath(package) : package_final);
  checked_.clear();
  root_given_.clear();
  if (installation.empty()) return FileStatus();
  // Once asked for, writes are refused everywhere until the folder is found.
  refuse_writes_ = true;
  const DWORD attributes = GetFileAttributesW(ExtendedPath(installation).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return StatusOf(attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY);
  }
  // The installation folder itself may be reached through links: resolved
  // here, once.
  const std::wstring real = FinalPath(installation);
  root_real_ = real.empty() ? FullPath(installation) : real;
  while (root_real_.size() > 3 && root_real_.back() == L'\\') root_real_.pop_back();
  root_given_ = installation;
  return FileStatus();
}

std::wstring Win32FileSystem::ComparablePath(const std::wstring& path) {
  const std::wstring real = FinalPath(path);
  std::wstring comparable = FoldCase(real.empty() ? LongPath(path) : real);
  while (comparable.size() > 3 && comparable.back() == L'\\') comparable.pop_back();
  return comparable;
}

FileStatus Win32FileSystem::SystemPath(const std::wstring& path, bool writing,
                                       std::wstring* system, bool* below_root) {
  *below_root = false;
  const bool under = !root_given_.empty() &&
                     (path == root_given_ || IsBelowFolder(path, root_given_, L'\\'));
  if (!under) {
    if (refuse_writes_ && writing) return FileStatus(FileResult::kFailed, ERROR_ACCESS_DENIED);
    *system = ExtendedPath(path);
    return FileStatus();
  }
  *below_root = true;
  std::wstring relative = path.substr(root_given_.size());
  for (wchar_t& c : relative) {
    if (c == L'/') c = L'\\';
  }
  if (!relative.empty() && relative[0] != L'\\') relative.insert(relative.begin(), L'\\');
  // "..", and names of dots and spaces that the system trims to it, would be
  // collapsed after this check and could lead out of the installation; a
  // ":" names a stream or a device.
  for (size_t start = 0; start < relative.size();) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    const std::wstring_view part = std::wstring_view(relative).substr(start, end - start);
    if ((!part.empty() && part.find_first_not_of(L". ") == std::wstring_view::npos) ||
        part.find(L':') != std::wstring_view::npos) {
      return FileStatus(FileResult::kFailed, ERROR_INVALID_NAME);
    }
    start = end + 1;
  }
  // Each folder on the way, checked once a run: no junction, symbolic link
  // or mount point may send a write elsewhere. What remains is the moment
  // between this check and the call that uses the path.
  for (size_t end = relative.find(L'\\', 1); end != std::wstring::npos;
       end = relative.find(L'\\', end + 1)) {
    const std::wstring folder = relative.substr(0, end);
    if (folder.empty() || folder.back() == L'\\' || checked_.count(folder)) continue;
    const std::wstring real = root_real_ + folder;
    const DWORD attributes = GetFileAttributesW(ExtendedPath(real).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) break;  // nothing further exists
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return FileStatus(FileResult::kFailed, kLinkOnTheWay);
    }
    const std::wstring final_path = FinalPath(real);
    if (!final_path.empty() && FoldCase(final_path) != FoldCase(FullPath(real))) {
      return FileStatus(FileResult::kFailed, kLinkOnTheWay);
    }
    checked_.insert(folder);
  }
  *system = ExtendedPath(root_real_ + relative);
  return FileStatus();
}

PathKind Win32FileSystem::Probe(const std::wstring& path) {
  std::wstring system;
  bool below_root = false;
  const FileStatus located = SystemPath(path, false, &system, &below_root);
  if (!located.ok()) return located.code == kLinkOnTheWay ? PathKind::kLink : PathKind::kError;
  // Not PathFileExistsW: it cannot tell a missing file from one that may not
  // be looked at, and the replacement must stop on the latter.
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    // A file held open by the system without sharing still exists.
    if (error == ERROR_SHARING_VIOLATION) return PathKind::kFile;
    return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
  }
  if (below_root && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
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
    FolderEntry entry{name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, false};
    // A link is followed while it stays inside the package. Files are asked
    // too: Wine shows a link to a file as a plain file, and only the final
    // path of the opened file tells where it is.
    if (!package_real_.empty() && ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                                   !entry.is_folder)) {
      const std::wstring real = FinalPath(extended + L"\\" + name);
      if (!real.empty() || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        const std::wstring folded = FoldCase(real);
        entry.leads_outside =
            folded != package_real_ && !IsBelowFolder(folded, package_real_, L'\\');
      }
    }
    listing->entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &data));
  // A listing cut short by an error is no listing.
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  if (!complete) return false;

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

FileStatus Win32FileSystem::Paths(const std::wstring& from, bool writing_from,
                                   const std::wstring& to, std::wstring* system_from,
                                   std::wstring* system_to) {
  FileStatus status = SystemPath(from, writing_from, system_from);
  if (status.ok()) status = SystemPath(to, true, system_to);
  return status;
}

FileStatus Win32FileSystem::Move(const std::wstring& from, const std::wstring& to) {
  std::wstring source, target;
  const FileStatus located = Paths(from, true, to, &source, &target);
  if (!located.ok()) return located;
  return ResultOf(MoveFileW(source.c_str(), target.c_str()));
}

FileStatus Win32FileSystem::CopyNew(const std::wstring& from, const std::wstring& to) {
  std::wstring source, target;
  const FileStatus located = Paths(from, false, to, &source, &target);
  if (!located.ok()) return located;
  return ResultOf(CopyFileW(source.c_str(), target.c_str(), TRUE));
}

FileStatus Win32FileSystem::Remove(const std::wstring& given) {
  std::wstring path;
  const FileStatus located = SystemPath(given, true, &path);
  if (!located.ok()) return located;
  // Deleting through a link Wine follows would delete what it leads to.
  if (LeadsElsewhere(path)) return FileStatus(FileResult::kFailed, kLinkOnTheWay);
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

FileStatus Win32FileSystem::Link(const std::wstring& /*existing*/,
                                 const std::wstring& /*name*/) {
  // Windows refuses to replace a file that another process has open or
  // mapped (a loaded library, say), where it lets it be renamed; so the step
  // keeps the installed file aside by a rename here, never by a second name.
  return FileStatus(FileResult::kUnsupported);
}

FileStatus Win32FileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  std::wstring source, target;
  const FileStatus located = Paths(from, true, to, &source, &target);
  if (!located.ok()) return located;
  return ResultOf(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
}

namespace {

// Opens what is at `system` (a path in the system's form) for the calls
// that need a handle, whatever it is.
HANDLE OpenAny(const std::wstring& system, DWORD access, DWORD disposition = OPEN_EXISTING,
               DWORD flags = FILE_FLAG_BACKUP_SEMANTICS) {
  return CreateFileW(system.c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     flags, nullptr);
}

// Reads `file` to its end in blocks of `block`'s size, handing each to `take`.
template <typename Take>
FileStatus ReadEach(HANDLE file, std::vector<char>* block, Take take) {
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, block->data(), static_cast<DWORD>(block->size()), &got, nullptr)) {
      return StatusOf(GetLastError());
    }
    if (got == 0) return FileStatus();
    take(block->data(), got);
  }
}

FileStatus WriteAll(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(file)) {
    return StatusOf(GetLastError());
  }
  return FileStatus();
}

class Win32FileLock : public FileLock {
 public:
  explicit Win32FileLock(HANDLE file) : file_(file) {}

 private:
  ScopedHandle file_;  // deleted on close, which the system does for a dead process
};

}  // namespace

PathKind Win32FileSystem::Identify(const std::wstring& given, FileIdentity* identity) {
  const PathKind kind = Probe(given);
  if (kind != PathKind::kFile) return kind;
  std::wstring path;
  if (!SystemPath(given, false, &path).ok()) return PathKind::kError;
  // The link itself, were one there: its target is not the file named.
  ScopedHandle file(OpenAny(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) {
    return MeansAbsent(GetLastError()) ? PathKind::kMissing : PathKind::kError;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || LeadsElsewhere(path)) {
    return PathKind::kLink;
  }
  *identity = FileIdentity{
      info.dwVolumeSerialNumber,
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
      (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime)};
  return PathKind::kFile;
}

FileStatus Win32FileSystem::ClearName(const std::wstring& given) {
  std::wstring path;
  const FileStatus located = SystemPath(given, true, &path);
  if (!located.ok()) return located;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return StatusOf(GetLastError());
  // A link the system would follow even to remove it is left alone.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && LeadsElsewhere(path)) {
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  // A link to a folder is removed as a folder, the link itself and not what
  // it leads to; a real folder only while it is empty.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (RemoveDirectoryW(path.c_str())) return FileStatus();
    const FileStatus failed = StatusOf(GetLastError());
    // Wine shows a host link to a folder as one, yet removes it only as the
    // file it is on the host.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && DeleteFileW(path.c_str())) {
      return FileStatus();
    }
    return failed;
  }
  return Remove(given);
}

FileStatus Win32FileSystem::Open(const std::wstring& given, bool writing, DWORD access,
                                  DWORD share, DWORD disposition, DWORD flags,
                                  ScopedHandle* file) {
  std::wstring path;
  const FileStatus located = SystemPath(given, writing, &path);
  if (!located.ok()) return located;
  file->reset(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
  return file->valid() ? FileStatus() : StatusOf(GetLastError());
}

FileStatus Win32FileSystem::WriteNew(const std::wstring& given, const std::string& bytes) {
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, true, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &file);
  return opened.ok() ? WriteAll(file.get(), bytes) : opened;
}

FileStatus Win32FileSystem::AppendDurably(const std::wstring& given, const std::string& bytes) {
  // GENERIC_WRITE, not append access alone: the flush needs it.
  ScopedHandle file(nullptr);
  const FileStatus opened = Open(given, true, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (!opened.ok()) return opened;
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return StatusOf(GetLastError());
  return WriteAll(file.get(), bytes);
}

FileStatus Win32FileSystem::ReadWhole(const std::wstring& given, size_t limit,
                                      std::string* bytes) {
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, false, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (!opened.ok()) return opened;
  // Read whole, a file of any size would be a way to exhaust memory.
  const FileStatus too_large(FileResult::kFailed, ERROR_FILE_TOO_LARGE);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return StatusOf(GetLastError());
  if (static_cast<uint64_t>(size.QuadPart) > limit) return too_large;
  bytes->clear();
  std::vector<char> block(1 << 16);
  bool over = false;
  const FileStatus read =
      ReadEach(file.get(), &block, [bytes, limit, &over](const char* data, DWORD got) {
        over = over || got > limit - bytes->size();
        if (!over) bytes->append(data, got);
      });
  if (read.ok() && over) {
    bytes->clear();
    return too_large;
  }
  return read;
}

FileStatus Win32FileSystem::HashFile(const std::wstring& given, Sha256Digest* digest) {
  ScopedHandle file(nullptr);
  const FileStatus opened = Open(given, false, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, &file);
  if (!opened.ok()) return opened;
  Sha256 hash;
  std::vector<char> block(1 << 20);
  const FileStatus read = ReadEach(file.get(), &block, [&hash](const char* data, DWORD size) {
    hash.Update(data, size);
  });
  if (!read.ok()) return read;
  return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, ERROR_INVALID_FUNCTION);
}

FileStatus Win32FileSystem::FlushFolder(const std::wstring& folder) {
  // NTFS logs its renames and new names itself; flushing the folder is a
  // further step that older systems refuse, so it is tried, never required.
  std::wstring path;
  if (SystemPath(folder, false, &path).ok()) {
    ScopedHandle handle(OpenAny(path, GENERIC_WRITE));
    if (handle.valid()) FlushFileBuffers(handle.get());
  }
  return FileStatus();
}

FileStatus Win32FileSystem::FlushVolume(const std::wstring& folder) {
  // One flush of the whole volume, which an administrator may ask for.
  wchar_t volume[MAX_PATH];
  const std::wstring full = FullPath(root_real_.empty() ? folder : root_real_);
  if (!full.empty() && GetVolumePathNameW(full.c_str(), volume, MAX_PATH)) {
    const std::wstring device = volume;
    if (device.size() == 3 && device[1] == L':') {
      ScopedHandle handle(CreateFileW((L"\\\\.\\" + device.substr(0, 2)).c_str(),
                                      GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
      if (handle.valid() && FlushFileBuffers(handle.get())) return FileStatus();
    }
  }
  return FileStatus(FileResult::kUnsupported, GetLastError());
}

FileStatus Win32FileSystem::FlushFile(const std::wstring& given) {
  std::wstring path;
  const FileStatus located = SystemPath(given, false, &path);
  if (!located.ok()) return located;
  // A file that cannot be opened for writing (it carries the read-only
  // attribute) is left to the system's own write-back.
  ScopedHandle file(OpenAny(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (file.valid() && !FlushFileBuffers(file.get())) return StatusOf(GetLastError());
  return FileStatus();
}

FileStatus Win32FileSystem::Lock(const std::wstring& given, std::unique_ptr<FileLock>* lock) {
  std::wstring path;
  const FileStatus located = SystemPath(given, true, &path);
  if (!located.ok()) return located;
  // A link or a folder planted at the name is removed first, never
  // followed: the lock must be a file of this run's own.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
       LeadsElsewhere(path))) {
    // Opened with delete-on-close, a link's target would go with the run.
    const FileStatus cleared = ClearName(given);
    if (!cleared.ok()) return cleared;
  }
  // No sharing: a second run cannot open it. Deleted on close, which the
  // system does for a process however it ends, so no lock outlives its run.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return StatusOf(GetLastError());
  *lock = std::make_unique<Win32FileLock>(file);
  return FileStatus();
}

}  // namespace kestrune::win32
