#include <string_view>
#include <vector>

#include "platform/text.h"
#include "platform/win32/ntdll_win32.h"
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

// Of the file renamed over a name to clear it.
constexpr wchar_t kClearingSuffix[] = L".~kestrune-clear";

// Wine follows a host symbolic link even when asked not to
// (FILE_FLAG_OPEN_REPARSE_POINT), and then deletes, renames or writes its
// target: only the final path of the open handle tells where a name led.
bool SameName(HANDLE handle, const std::wstring& system) {
  const std::wstring final_path = FinalPathOf(handle);
  return final_path.empty() || FoldCase(final_path) == FoldCase(PlainPath(system));
}

// The handle holds the very file or folder named, no link and nothing a
// link led to.
bool WhereNamed(HANDLE handle, const std::wstring& system) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && SameName(handle, system);
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

FileStatus Win32FileSystem::Remove(const std::wstring& given) {
  std::wstring path;
  bool below_root = false;
  const FileStatus located = SystemPath(given, true, &path, &below_root);
  if (!located.ok()) return located;
  // Removed through a handle checked to name the file itself: a removal by
  // path would, under Wine, remove the target of a link planted at the name.
  ScopedHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return StatusOf(GetLastError());
  if (below_root && !SameName(file.get(), path)) {
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  DWORD error = DeleteOnClose(file.get());
  if (error != ERROR_ACCESS_DENIED) return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
  // Only files this run made or set aside are removed; a read-only one (an
  // installed file set aside) refuses deletion until the attribute is cleared.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(path.c_str(), info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY)) {
    return StatusOf(error);
  }
  error = DeleteOnClose(file.get());
  if (error == ERROR_SUCCESS) return FileStatus();
  SetFileAttributesW(path.c_str(), info.dwFileAttributes);
  return StatusOf(error);
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

// Reads `file` to its end in blocks of `block`'s size, handing each to
// `take`, which answers false, with the last error set, to stop on a failure.
template <typename Take>
FileStatus ReadEach(HANDLE file, std::vector<char>* block, Take take) {
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, block->data(), static_cast<DWORD>(block->size()), &got, nullptr)) {
      return StatusOf(GetLastError());
    }
    if (got == 0) return FileStatus();
    if (!take(block->data(), got)) return StatusOf(GetLastError());
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

FileStatus Win32FileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                    Sha256Digest* digest) {
  ScopedHandle in(nullptr);
  FileStatus status = Open(from, false, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, &in);
  if (!status.ok()) return status;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in.get(), &info)) return StatusOf(GetLastError());
  // Not CopyFileW: it carries the read-only attribute over, and a read-only
  // copy could not be renamed over by the undo nor removed after a failure.
  // An installed file is never read-only, whatever the package held.
  DWORD attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                              FILE_ATTRIBUTE_ARCHIVE |
                                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  ScopedHandle out(nullptr);
  status = Open(to, true, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                attributes | FILE_FLAG_SEQUENTIAL_SCAN, &out);
  if (!status.ok()) return status;
  std::vector<char> block(1 << 20);
  Sha256 hash;
  status = ReadEach(in.get(), &block, [&out, &hash, digest](const char* data, DWORD size) {
    if (digest != nullptr) hash.Update(data, size);
    DWORD written = 0;
    return WriteFile(out.get(), data, size, &written, nullptr) && written == size;
  });
  if (status.ok() && digest != nullptr && !hash.Finish(digest)) {
    status = FileStatus(FileResult::kFailed, ERROR_INVALID_FUNCTION);
  }
  // The packaged file's time, as a copy by the system would have it; then
  // the copy is made durable on its own handle before it is renamed in, as
  // the volume may not be flushable. A flush that fails fails the copy.
  if (status.ok() && (!SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime) ||
                      !FlushFileBuffers(out.get()))) {
    status = StatusOf(GetLastError());
  }
  // A copy broken off is this call's own to remove.
  if (!status.ok()) DeleteOnClose(out.get());
  return status;
}

PathKind Win32FileSystem::Identify(const std::wstring& given, FileIdentity* identity) {
  const PathKind kind = Probe(given);
  if (kind != PathKind::kFile) return kind;
  // The link itself, were one there: its target is not the file named.
  ScopedHandle file(nullptr);
  const FileStatus opened = Open(given, false, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (opened.code == kLinkOnTheWay) return PathKind::kLink;
  BY_HANDLE_FILE_INFORMATION info;
  if (!opened.ok() || !GetFileInformationByHandle(file.get(), &info)) {
    return MeansAbsent(opened.ok() ? GetLastError() : opened.code) ? PathKind::kMissing
                                                                    : PathKind::kError;
  }
  *identity = FileIdentity{
      info.dwVolumeSerialNumber,
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
      (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime)};
  return PathKind::kFile;
}

FileStatus Win32FileSystem::OwnFileAt(const std::wstring& system) {
  // A rename replaces whatever stands at the name, a link itself included
  // (also under Wine, where every call through a handle on a host link acts
  // on its target); so a file of this run's own is renamed over it.
  const std::wstring draft = system + kClearingSuffix;
  ScopedHandle file(CreateFileW(draft.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return StatusOf(GetLastError());
  if (!WhereNamed(file.get(), draft)) {
    DeleteOnClose(file.get());  // made by this call where a link led: ours to remove
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  file.reset(nullptr);
  if (MoveFileExW(draft.c_str(), system.c_str(), MOVEFILE_REPLACE_EXISTING)) return FileStatus();
  const FileStatus failed = StatusOf(GetLastError());
  DeleteFileW(draft.c_str());
  return failed;
}

FileStatus Win32FileSystem::ClearName(const std::wstring& given) {
  std::wstring path;
  bool below_root = false;
  const FileStatus located = SystemPath(given, true, &path, &below_root);
  if (!located.ok()) return located;
  // The link itself where the system opens links (a junction or symbolic
  // link on Windows); an empty folder only while it is empty.
  ScopedHandle handle(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  if (!handle.valid()) return StatusOf(GetLastError());
  if (!below_root || SameName(handle.get(), path)) {
    const DWORD error = DeleteOnClose(handle.get());
    if (error == ERROR_SUCCESS) return FileStatus();
    handle.reset(nullptr);
    // A read-only file of the updater's own name.
    return error == ERROR_ACCESS_DENIED ? Remove(given) : StatusOf(error);
  }
  // Wine opened what a host link leads to. A link to a folder cannot be
  // removed from Windows code there without touching the folder.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  handle.reset(nullptr);
  const FileStatus replaced = OwnFileAt(path);
  return replaced.ok() ? Remove(given) : replaced;
}

FileStatus Win32FileSystem::Open(const std::wstring& given, bool writing, DWORD access,
                                  DWORD share, DWORD disposition, DWORD flags,
                                  ScopedHandle* file) {
  std::wstring path;
  bool below_root = false;
  const FileStatus located = SystemPath(given, writing, &path, &below_root);
  if (!located.ok()) return located;
  file->reset(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
  if (!file->valid()) return StatusOf(GetLastError());
  if (below_root && !WhereNamed(file->get(), path)) {
    // A file this call made where a link led is this run's own to remove
    // (the caller asks for DELETE access); one that was there is left alone.
    if (disposition == CREATE_NEW) DeleteOnClose(file->get());
    file->reset(nullptr);
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  return FileStatus();
}

FileStatus Win32FileSystem::WriteNew(const std::wstring& given, const std::string& bytes) {
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, true, GENERIC_WRITE | DELETE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &file);
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
        return true;
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
    return true;
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
  // A file that cannot be opened for the flush is not durable: that is a
  // failure, never a success. Installed copies are never read-only.
  ScopedHandle file(nullptr);
  const FileStatus opened = Open(given, false, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (!opened.ok()) return opened;
  return FlushFileBuffers(file.get()) ? FileStatus() : StatusOf(GetLastError());
}

FileStatus Win32FileSystem::Lock(const std::wstring& given, std::unique_ptr<FileLock>* lock) {
  std::wstring path;
  bool below_root = false;
  const FileStatus located = SystemPath(given, true, &path, &below_root);
  if (!located.ok()) return located;
  // A link or a folder planted at the name is removed first, never
  // followed: the lock must be a file of this run's own.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    const FileStatus cleared = ClearName(given);
    if (!cleared.ok()) return cleared;
  }
  // Not opened with FILE_FLAG_DELETE_ON_CLOSE: under Wine that would delete
  // the target of a host link to a file, which shows as a plain file. The
  // handle is checked first, and only then marked for deletion.
  for (int tries = 0; tries < 3; ++tries) {
    // No sharing: a second run cannot open it.
    const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    ScopedHandle file(CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    bool made = false;
    if (!file.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
      // Not OPEN_ALWAYS: that would create a file where a dangling link
      // leads. A name that holds nothing yet exists is such a link.
      file.reset(CreateFileW(path.c_str(), access, 0, nullptr, CREATE_NEW, flags, nullptr));
      made = file.valid();
      if (!made && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
        const FileStatus replaced = OwnFileAt(path);
        if (!replaced.ok()) return replaced;
        continue;
      }
    }
    if (!file.valid()) return StatusOf(GetLastError());
    if (below_root && !WhereNamed(file.get(), path)) {
      if (made) DeleteOnClose(file.get());
      file.reset(nullptr);
      const FileStatus cleared = ClearName(given);
      if (!cleared.ok() && cleared != FileResult::kMissing) return cleared;
      continue;
    }
    // Deleted on close, which the system does for a process however it
    // ends, so no lock outlives its run.
    const DWORD error = DeleteOnClose(file.get());
    if (error != ERROR_SUCCESS) return StatusOf(error);
    *lock = std::make_unique<Win32FileLock>(file.release());
    return FileStatus();
  }
  return FileStatus(FileResult::kFailed, kLinkOnTheWay);
}

}  // namespace kestrune::win32
