#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "platform/win32/ntdll_win32.h"
#include "platform/win32/paths_win32.h"
#include "platform/win32/trust_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

// Every path reaches the system in its "\\?\" form, so that folders deeper
// than MAX_PATH are searched and replaced like any other. Once confined,
// nothing below the installation is reached by its path: each folder is
// opened relative to its parent's handle, checked to be no link and held
// so that it cannot be renamed or replaced, and each file is opened,
// renamed and removed by its single name in its folder's handle.

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
bool FinalPathIs(HANDLE handle, const std::wstring& system) {
  const std::wstring final_path = FinalPathOf(handle);
  return final_path.empty() || FoldCase(final_path) == FoldCase(PlainPath(system));
}

// The folder held on `held` is still the one at `path`: the same volume
// and file index. Wine keeps giving a moved folder's old path as its final
// path, so only the identity of what stands at the path now tells.
bool StillAt(HANDLE held, const std::wstring& path) {
  ScopedHandle now(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION a, b;
  return now.valid() && GetFileInformationByHandle(held, &a) &&
         GetFileInformationByHandle(now.get(), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// What a held folder may be opened for: listing and passing through, and
// its attributes, never DELETE; and what others may do meanwhile: anything
// but rename or remove it.
constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A junction, symbolic link or mount point opened as itself.
bool IsLink(HANDLE handle) {
  DWORD attributes = 0;
  DWORD tag = 0;
  if (AttributesOf(handle, &attributes, &tag) != ERROR_SUCCESS) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return true;  // cannot tell: refused
    attributes = info.dwFileAttributes;
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// What a name opened as itself (by its folder's handle, or with
// FILE_FLAG_OPEN_REPARSE_POINT) gave is that name's entry. On Windows it is
// the entry itself, so only a reparse point, a link opened as itself, needs
// its final path looked at; under Wine every handle does.
bool SameName(HANDLE handle, const std::wstring& system) {
  return (!UnderWine() && !IsLink(handle)) || FinalPathIs(handle, system);
}

// The handle, opened as itself, holds the very file or folder named, no
// link and nothing a link led to.
bool WhereNamed(HANDLE handle, const std::wstring& system) {
  return !IsLink(handle) && (!UnderWine() || FinalPathIs(handle, system));
}

// A single part that names an entry of a folder and nothing else: no
// separator, no stream, and no name of dots and spaces that a path would
// collapse to another.
bool SinglePart(std::wstring_view name) {
  return !name.empty() && name.find_first_of(L"\\/:") == std::wstring_view::npos &&
         name.find_first_not_of(L". ") != std::wstring_view::npos;
}

// A folder held open for the calls on the names in it.
class Win32Folder : public Folder {
 public:
  // `real`: its real path, which each name in it is checked against.
  Win32Folder(std::wstring prefix, std::shared_ptr<ScopedHandle> handle, std::wstring real,
              bool below_root)
      : Folder(std::move(prefix)),
        handle_(std::move(handle)),
        real_(std::move(real)),
        below_root_(below_root) {}
  HANDLE handle() const { return handle_->get(); }
  const std::wstring& real() const { return real_; }
  bool below_root() const { return below_root_; }
  // The entry `name` (letter case aside, as the file system matches
  // names) in the folder's listing, read once when first asked; null when
  // there is no such entry. `listed` is false where the folder cannot be
  // listed, and nothing is told.
  const ListedEntry* Find(const std::wstring& name, bool* listed) const {
    if (!asked_) {
      asked_ = true;
      std::vector<ListedEntry> raw;
      listed_ = ListIn(handle(), &raw) == ERROR_SUCCESS;
      entries_.reserve(raw.size());
      for (ListedEntry& entry : raw) {
        std::wstring key = FoldCase(entry.name);
        entries_.emplace_back(std::move(key), std::move(entry));
      }
      std::sort(entries_.begin(), entries_.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    *listed = listed_;
    if (!listed_) return nullptr;
    const std::wstring key = FoldCase(name);
    const auto found = std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [](const std::pair<std::wstring, ListedEntry>& entry, const std::wstring& k) {
          return entry.first < k;
        });
    return found != entries_.end() && found->first == key ? &found->second : nullptr;
  }

 private:
  const std::shared_ptr<ScopedHandle> handle_;
  const std::wstring real_;
  const bool below_root_;
  mutable bool asked_ = false;
  mutable bool listed_ = false;
  mutable std::vector<std::pair<std::wstring, ListedEntry>> entries_;  // by case folded name
};

}  // namespace

FileStatus Win32FileSystem::Confine(const std::wstring& package,
                                    const std::wstring& installation) {
  DropKeptCopy();
  volume_asked_ = false;
  volume_.reset(nullptr);
  copies_left_to_volume_ = false;
  const std::wstring package_final = FinalPath(package);
  package_real_ = FoldCase(package_final.empty() ? LongPath(package) : package_final);
  folders_.clear();
  root_given_.clear();
  if (installation.empty()) return FileStatus();
  // Once asked for, writes are refused everywhere until the folder is found.
  refuse_writes_ = true;
  // The installation folder itself may be reached through links: resolved
  // here, once, and held; no FILE_SHARE_DELETE, so it stays where it is.
  auto root = std::make_shared<ScopedHandle>(
      CreateFileW(ExtendedPath(installation).c_str(), kFolderAccess, kFolderShare, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!root->valid()) return StatusOf(GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(root->get(), &info)) return StatusOf(GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return StatusOf(ERROR_DIRECTORY);
  root_volume_ = info.dwVolumeSerialNumber;
  const std::wstring real = FinalPathOf(root->get());
  root_real_ = real.empty() ? FullPath(installation) : real;
  while (root_real_.size() > 3 && root_real_.back() == L'\\') root_real_.pop_back();
  root_given_ = installation;
  folders_[std::wstring()] = std::move(root);
  return FileStatus();
}

std::wstring Win32FileSystem::ComparablePath(const std::wstring& path) {
  const std::wstring real = FinalPath(path);
  std::wstring comparable = FoldCase(real.empty() ? LongPath(path) : real);
  while (comparable.size() > 3 && comparable.back() == L'\\') comparable.pop_back();
  return comparable;
}

FileStatus Win32FileSystem::Locate(const std::wstring& path, bool writing, Place* place) {
  // A call by path is no step's rename: the copy is closed, so that an undo
  // can remove it.
  DropKeptCopy();
  *place = Place();
  const bool under = !root_given_.empty() &&
                     (path == root_given_ || IsBelowFolder(path, root_given_, L'\\'));
  if (!under) {
    if (refuse_writes_ && writing) return FileStatus(FileResult::kFailed, ERROR_ACCESS_DENIED);
    place->system = ExtendedPath(path);
    return FileStatus();
  }
  place->below_root = true;
  std::wstring relative = path.substr(root_given_.size());
  for (wchar_t& c : relative) {
    if (c == L'/') c = L'\\';
  }
  while (!relative.empty() && relative.back() == L'\\') relative.pop_back();
  if (!relative.empty() && relative[0] != L'\\') relative.insert(relative.begin(), L'\\');
  // "..", and names of dots and spaces that the system trims to it, would be
  // collapsed by a path and could lead out of the installation; a ":" names
  // a stream or a device; an empty part has no name to open.
  for (size_t start = 1; start < relative.size();) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    if (!SinglePart(std::wstring_view(relative).substr(start, end - start))) {
      return FileStatus(FileResult::kFailed, ERROR_INVALID_NAME);
    }
    start = end + 1;
  }
  place->expected = root_real_ + relative;
  place->system = ExtendedPath(place->expected);
  if (relative.empty()) return FileStatus();  // the installation folder itself
  const size_t slash = relative.find_last_of(L'\\');
  place->name = relative.substr(slash + 1);
  return FolderAt(relative.substr(0, slash), &place->folder);
}

FileStatus Win32FileSystem::FolderAt(const std::wstring& relative, HANDLE* folder) {
  *folder = nullptr;
  const std::wstring key = FoldCase(relative);
  const auto known = folders_.find(key);
  if (known != folders_.end()) {
    *folder = known->second->get();
    return FileStatus();
  }
  const size_t slash = relative.find_last_of(L'\\');
  HANDLE parent = nullptr;
  const FileStatus found = FolderAt(relative.substr(0, slash), &parent);
  if (!found.ok()) return found;
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD error = OpenIn(parent, relative.substr(slash + 1), kFolderAccess, kFolderShare,
                             OPEN_EXISTING, 0, OpenKind::kFolder, false, &opened);
  auto handle = std::make_shared<ScopedHandle>(opened);
  // A file where a folder should be: nothing further exists.
  if (error == ERROR_DIRECTORY) return FileStatus(FileResult::kMissing, ERROR_PATH_NOT_FOUND);
  if (error != ERROR_SUCCESS) return StatusOf(error);
  // A junction, symbolic link or mount point is opened as itself and
  // refused; Wine opens what a host link leads to, which only its final
  // path tells apart from the folder named.
  if (!WhereNamed(handle->get(), root_real_ + relative)) {
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  *folder = handle->get();
  folders_[key] = std::move(handle);
  return FileStatus();
}

DWORD Win32FileSystem::OpenRaw(const Place& place, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags, ScopedHandle* file, SECURITY_DESCRIPTOR* security) {
  if (place.folder == nullptr) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    file->reset(CreateFileW(place.system.c_str(), access, share,
                            security != nullptr ? &attributes : nullptr, disposition, flags,
                            nullptr));
    return file->valid() ? ERROR_SUCCESS : GetLastError();
  }
  HANDLE opened = INVALID_HANDLE_VALUE;
  const OpenKind kind =
      (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 ? OpenKind::kAny : OpenKind::kFile;
  const DWORD error =
      OpenIn(place.folder, place.name, access | FILE_READ_ATTRIBUTES, share, disposition,
             flags & 0xFFFF, kind, (flags & FILE_FLAG_SEQUENTIAL_SCAN) != 0, &opened, false,
             security);
  file->reset(opened);
  return error;
}

FileStatus Win32FileSystem::OpenAt(const Place& place, DWORD access, DWORD share,
                                   DWORD disposition, DWORD flags, ScopedHandle* file,
                                   SECURITY_DESCRIPTOR* security) {
  const DWORD error = OpenRaw(place, access, share, disposition, flags, file, security);
  if (error != ERROR_SUCCESS) return StatusOf(error);
  // The installation folder itself is opened by its path, where a folder on
  // the way renamed and replaced by a link would lead elsewhere on Windows
  // too; every other name by its folder's handle, as itself.
  const bool named = place.folder != nullptr
                         ? WhereNamed(file->get(), place.expected)
                         : !IsLink(file->get()) && FinalPathIs(file->get(), place.expected);
  if (place.below_root && !named) {
    // A file this call made where a link led is this run's own to remove
    // (the caller asks for DELETE access); one that was there is left alone.
    // But Wine lets the host move a held folder, and then removes a file in
    // it by its old path, through whatever link was put there since: a file
    // made in a folder no longer at its path stays where it is.
    if (disposition == CREATE_NEW &&
        (place.folder == nullptr ||
         StillAt(place.folder,
                 place.expected.substr(0, place.expected.size() - place.name.size() - 1)))) {
      DeleteOnClose(file->get());
    }
    file->reset(nullptr);
    return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  }
  return FileStatus();
}

FileStatus Win32FileSystem::Open(const std::wstring& given, bool writing, DWORD access,
                                 DWORD share, DWORD disposition, DWORD flags,
                                 ScopedHandle* file) {
  Place place;
  const FileStatus located = Locate(given, writing, &place);
  return located.ok() ? OpenAt(place, access, share, disposition, flags, file) : located;
}

PathKind Win32FileSystem::Probe(const std::wstring& path) {
  Place place;
  const FileStatus located = Locate(path, false, &place);
  if (!located.ok()) {
    if (located.code == kLinkOnTheWay) return PathKind::kLink;
    return MeansAbsent(located.code) ? PathKind::kMissing : PathKind::kError;
  }
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (place.folder == nullptr) {
    // Not PathFileExistsW: it cannot tell a missing file from one that may
    // not be looked at, and the replacement must stop on the latter.
    attributes = GetFileAttributesW(place.system.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      // A file held open by the system without sharing still exists.
      if (error == ERROR_SHARING_VIOLATION) return PathKind::kFile;
      return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
    }
  } else {
    ScopedHandle handle(nullptr);
    const DWORD error =
        OpenRaw(place, FILE_READ_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS, &handle);
    if (error == ERROR_SHARING_VIOLATION) return PathKind::kFile;
    if (error != ERROR_SUCCESS) return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
    // Wine shows a host link to a file as a plain file and opens its
    // target: only the final path of what opened tells it from the name.
    if (!SameName(handle.get(), place.expected)) return PathKind::kLink;
    DWORD tag = 0;
    if (AttributesOf(handle.get(), &attributes, &tag) != ERROR_SUCCESS) {
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(handle.get(), &info)) return PathKind::kError;
      attributes = info.dwFileAttributes;
    }
  }
  if (place.below_root && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
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
    // A link is followed while it stays inside the package. Wine shows a
    // host link to a file as a plain file: that one is told by the open that
    // reads it (the copy's, the hash's), which checks the very handle it
    // reads from, so no file is opened here.
    if (!package_real_.empty() && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      const std::wstring folded = FoldCase(FinalPath(extended + L"\\" + name));
      entry.leads_outside =
          folded != package_real_ && !IsBelowFolder(folded, package_real_, L'\\');
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

FileStatus Win32FileSystem::Rename(const std::wstring& from, const std::wstring& to,
                                   bool replace) {
  Place source, target;
  FileStatus status = Locate(from, true, &source);
  if (status.ok()) status = Locate(to, true, &target);
  if (!status.ok()) return status;
  if (source.folder == nullptr || target.folder == nullptr) {
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    return ResultOf(MoveFileExW(source.system.c_str(), target.system.c_str(), flags));
  }
  return RenamePlaces(source, target, replace);
}

FileStatus Win32FileSystem::RenamePlaces(const Place& source, const Place& target,
                                         bool replace, const FileIdentity* expected) {
  ScopedHandle file(nullptr);
  if (kept_copy_.valid() && kept_folder_ == source.folder && kept_name_ == source.name) {
    // The copy this run just made, on the handle that made it: opened
    // without sharing, so that it is still the file at that name.
    file.reset(kept_copy_.release());
  } else {
    // Through the file's own handle into the target folder's: neither a
    // link planted at a folder's name nor one at the file's name sends it
    // elsewhere. A link opened as itself is renamed as itself, never what
    // it leads to; only Wine, which follows a host link whatever it is
    // asked, needs the handle's final path looked at.
    const DWORD error = OpenRaw(source, DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file);
    if (error != ERROR_SUCCESS) return StatusOf(error);
    if (source.below_root && !SameName(file.get(), source.expected)) {
      return FileStatus(FileResult::kFailed, kLinkOnTheWay);
    }
    if (expected != nullptr) {
      HandleFacts facts;
      const DWORD asked = FactsOf(file.get(), &facts);
      if (asked != ERROR_SUCCESS) return StatusOf(asked);
      if (FileIdentity{root_volume_, facts.index, facts.size, facts.last_write} != *expected) {
        return FileStatus(FileResult::kChanged);
      }
    }
  }
  const DWORD error = RenameInto(file.get(), target.folder, target.name, replace);
  return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
}

FileStatus Win32FileSystem::Move(const std::wstring& from, const std::wstring& to) {
  return Rename(from, to, false);
}

FileStatus Win32FileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  return Rename(from, to, true);
}

FileStatus Win32FileSystem::Remove(const std::wstring& given) {
  // Removed through a handle checked to name the file itself: a removal by
  // path would, under Wine, remove the target of a link planted at the name.
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, true, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
           FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (!opened.ok()) return opened;
  DWORD error = DeleteOnClose(file.get());
  if (error != ERROR_ACCESS_DENIED) return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
  // Only files this run made or set aside are removed; a read-only one (an
  // installed file set aside) refuses deletion until the attribute is cleared.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      SetAttributes(file.get(), info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) !=
          ERROR_SUCCESS) {
    return StatusOf(error);
  }
  error = DeleteOnClose(file.get());
  if (error == ERROR_SUCCESS) return FileStatus();
  SetAttributes(file.get(), info.dwFileAttributes);
  return StatusOf(error);
}

FileStatus Win32FileSystem::Link(const std::wstring& /*existing*/,
                                 const std::wstring& /*name*/) {
  // Windows refuses to replace a file that another process has open or
  // mapped (a loaded library, say), where it lets it be renamed; and a
  // second name of such a file cannot be removed again either, so an undo
  // of a link there could never finish, where two renames fail before
  // anything changes. The step keeps the installed file aside by a rename
  // here, never by a second name.
  return FileStatus(FileResult::kUnsupported);
}

namespace {

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

// Reads the file open on `file` from where it stands to its end; kFailed,
// with nothing read, when it holds more than `limit` bytes.
FileStatus ReadAll(HANDLE file, size_t limit, std::string* bytes) {
  // Read whole, a file of any size would be a way to exhaust memory.
  const FileStatus too_large(FileResult::kFailed, ERROR_FILE_TOO_LARGE);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return StatusOf(GetLastError());
  if (static_cast<uint64_t>(size.QuadPart) > limit) return too_large;
  bytes->clear();
  // One block of the size it has: grown step by step, a large journal would
  // need twice its size at the last step, which a 32-bit process may lack.
  bytes->reserve(static_cast<size_t>(size.QuadPart));
  std::vector<char> block(1 << 16);
  bool over = false;
  const FileStatus read =
      ReadEach(file, &block, [bytes, limit, &over](const char* data, DWORD got) {
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

// A file of the run's own state, held by its handle beside its folder's.
// Held without FILE_SHARE_WRITE or FILE_SHARE_DELETE, so that on Windows no
// one else can write, rename or remove it while the run holds it; Wine
// cannot stop the host, which the checks of the name here are for.
class Win32OwnFile final : public OwnFile {
 public:
  // `prefix`: the folder as the run names it, and a separator; `real`: its
  // real path, which the name's final path must match.
  Win32OwnFile(std::wstring prefix, std::wstring real, std::shared_ptr<ScopedHandle> folder,
               std::wstring name, HANDLE file)
      : prefix_(std::move(prefix)), real_(std::move(real)), folder_(std::move(folder)),
        name_(std::move(name)), file_(file), path_(prefix_ + name_) {}
  const std::wstring& path() const override { return path_; }
  FileStatus AppendDurably(const std::string& bytes) override {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) return StatusOf(GetLastError());
    return WriteAll(file_.get(), bytes);
  }
  FileStatus ReadWhole(size_t limit, std::string* bytes) override {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN)) return StatusOf(GetLastError());
    return ReadAll(file_.get(), limit, bytes);
  }
  FileStatus OwnershipOf(Ownership* ownership) override {
    const DWORD error = OwnershipOfHandle(file_.get(), ownership);
    return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
  }
  FileStatus StillNamed() override {
    // Opened as itself for its attributes alone, which no sharing refuses;
    // a link (or, under Wine, a host link whose final path leads elsewhere)
    // is not this file, whatever it leads to.
    HANDLE opened = INVALID_HANDLE_VALUE;
    const DWORD error =
        OpenIn(folder_->get(), name_, FILE_READ_ATTRIBUTES,
               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0,
               OpenKind::kAny, false, &opened);
    ScopedHandle named(opened);
    if (error != ERROR_SUCCESS) {
      return MeansAbsent(error) ? FileStatus(FileResult::kMissing, error) : StatusOf(error);
    }
    if (!WhereNamed(named.get(), JoinPath(real_, name_, L'\\'))) {
      return FileStatus(FileResult::kChanged);
    }
    HandleFacts held;
    HandleFacts there;
    DWORD asked = FactsOf(file_.get(), &held);
    if (asked == ERROR_SUCCESS) asked = FactsOf(named.get(), &there);
    if (asked != ERROR_SUCCESS) return StatusOf(asked);
    return held.index == there.index ? FileStatus() : FileStatus(FileResult::kChanged);
  }
  FileStatus Rename(const std::wstring& name) override {
    // Through the handle: this file is renamed, whatever stands at its
    // name. Wine renames by the name it opened, so the new name is looked
    // at after.
    const DWORD error = RenameInto(file_.get(), folder_->get(), name, true);
    if (error != ERROR_SUCCESS) return StatusOf(error);
    name_ = name;
    path_ = prefix_ + name_;
    return StillNamed();
  }
  FileStatus Remove() override {
    // Marked through this handle, the file itself goes when it closes, now;
    // looked at first, as Wine removes by the name it opened.
    const FileStatus named = StillNamed();
    if (!named.ok()) return named;
    const DWORD error = DeleteOnClose(file_.get());
    if (error != ERROR_SUCCESS) return StatusOf(error);
    file_.reset(nullptr);
    return FileStatus();
  }

 private:
  const std::wstring prefix_;
  const std::wstring real_;
  const std::shared_ptr<ScopedHandle> folder_;
  std::wstring name_;
  ScopedHandle file_;
  std::wstring path_;
};

}  // namespace

FileStatus Win32FileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                    Sha256Digest* digest) {
  ScopedHandle in(nullptr);
  const FileStatus opened = Open(from, false, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, &in);
  return opened.ok() ? CopyOpen(in.get(), to, nullptr, digest) : opened;
}

FileStatus Win32FileSystem::CopyOpen(HANDLE in, const std::wstring& to, const Place* to_place,
                                     Sha256Digest* digest, bool installed) {
  // The bytes come from this handle, so it is this handle that is checked:
  // the walk does not open files, and a link it could not tell is passed
  // over here, with nothing made.
  if (!installed && !InPackage(in)) return FileStatus(FileResult::kLeadsOut, kLinkOnTheWay);
  HandleFacts info;
  const DWORD asked = WrittenAndAttributesOf(in, &info);
  if (asked != ERROR_SUCCESS) return StatusOf(asked);
  // Not CopyFileW: it carries the read-only attribute over, and a read-only
  // copy could not be renamed over by the undo nor removed after a failure.
  // An installed file is never read-only, whatever the package held.
  DWORD attributes = info.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                        FILE_ATTRIBUTE_ARCHIVE |
                                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  ScopedHandle out(nullptr);
  FileStatus status;
  if (to_place != nullptr) {
    // Made by its name in a held folder, and only where nothing stands at
    // the name: no link there can be followed, so none is looked for.
    const DWORD error = OpenRaw(*to_place, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                                attributes | FILE_FLAG_SEQUENTIAL_SCAN, &out);
    if (error != ERROR_SUCCESS) return StatusOf(error);
  } else {
    status = Open(to, true, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                  attributes | FILE_FLAG_SEQUENTIAL_SCAN, &out);
    if (!status.ok()) return status;
  }
  // Hashed only when asked: even a hash that is never finished costs.
  std::optional<Sha256> hash;
  if (digest != nullptr) hash.emplace();
  status = ReadEach(in, &Block(), [&out, &hash](const char* data, DWORD size) {
    if (hash) hash->Update(data, size);
    DWORD written = 0;
    return WriteFile(out.get(), data, size, &written, nullptr) && written == size;
  });
  if (status.ok() && hash && !hash->Finish(digest)) {
    status = FileStatus(FileResult::kFailed, ERROR_INVALID_FUNCTION);
  }
  // The packaged file's time, as a copy by the system would have it; then
  // the copy is made durable on its own handle before it is renamed in where
  // the volume cannot be flushed. Where it can, the commit's one flush of the
  // volume covers every copy: until then the undo goes by identities, never
  // by a copy's bytes. A flush that fails fails the copy.
  FILETIME last_write;
  last_write.dwLowDateTime = static_cast<DWORD>(info.last_write);
  last_write.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(info.last_write) >> 32);
  if (status.ok() && !SetFileTime(out.get(), nullptr, nullptr, &last_write)) {
    status = StatusOf(GetLastError());
  }
  if (status.ok()) {
    if (to_place != nullptr && Volume() != nullptr) {
      copies_left_to_volume_ = true;
    } else if (!FlushFileBuffers(out.get())) {
      status = StatusOf(GetLastError());
    }
  }
  if (!status.ok()) {
    // A copy broken off is this call's own to remove.
    DeleteOnClose(out.get());
  } else if (to_place != nullptr) {
    kept_copy_.reset(out.release());
    kept_folder_ = to_place->folder;
    kept_name_ = to_place->name;
  }
  return status;
}

PathKind Win32FileSystem::Identify(const std::wstring& given, FileIdentity* identity) {
  // One open tells both what is there and, for a file, which one: the link
  // itself, were one there, as its target is not the file named.
  ScopedHandle file(nullptr);
  const FileStatus opened = Open(given, false, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (opened.code == kLinkOnTheWay) return PathKind::kLink;
  if (!opened.ok()) return MeansAbsent(opened.code) ? PathKind::kMissing : PathKind::kError;
  HandleFacts facts;
  const DWORD error = FactsOf(file.get(), &facts);
  if (error != ERROR_SUCCESS) return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
  if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
  if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kFolder;
  // Below the installation every file is on its volume (a mount point on
  // the way is refused as a link), whose serial number was asked once.
  uint32_t volume = root_volume_;
  if (root_given_.empty() || !(given == root_given_ || IsBelowFolder(given, root_given_, L'\\'))) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) return PathKind::kError;
    volume = info.dwVolumeSerialNumber;
  }
  *identity = FileIdentity{volume, facts.index, facts.size, facts.last_write};
  return PathKind::kFile;
}

FileStatus Win32FileSystem::OwnFileAt(const Place& place) {
  // A rename replaces whatever stands at the name, a link itself included
  // (also under Wine, where every call through a handle on a host link acts
  // on its target); so a file of this run's own is renamed over it.
  Place draft = place;
  draft.name += kClearingSuffix;
  draft.system += kClearingSuffix;
  draft.expected += kClearingSuffix;
  ScopedHandle file(nullptr);
  const FileStatus made = OpenAt(draft, GENERIC_WRITE | DELETE, 0, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (!made.ok()) return made;
  DWORD error = ERROR_SUCCESS;
  if (place.folder != nullptr) {
    error = RenameInto(file.get(), place.folder, place.name, true);
  } else {
    file.reset(nullptr);
    if (MoveFileExW(draft.system.c_str(), place.system.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return FileStatus();
    }
    error = GetLastError();
    DeleteFileW(draft.system.c_str());
    return StatusOf(error);
  }
  if (error != ERROR_SUCCESS) DeleteOnClose(file.get());
  return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
}

FileStatus Win32FileSystem::ClearName(const std::wstring& given) {
  Place place;
  const FileStatus located = Locate(given, true, &place);
  if (!located.ok()) return located;
  // The link itself where the system opens links (a junction or symbolic
  // link on Windows); an empty folder only while it is empty.
  ScopedHandle handle(nullptr);
  const DWORD opened = OpenRaw(place, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &handle);
  if (MeansAbsent(opened) && place.folder != nullptr) {
    // Wine follows a host link even to open it, so one that leads nowhere
    // opens as nothing, and its folder's listing leaves it out too: only a
    // file made at the name tells whether it is taken. One made is gone
    // again at once; a taken name is cleared as the lock's is, by a file
    // of the run's own renamed over it and then removed.
    ScopedHandle made(nullptr);
    const DWORD error =
        OpenRaw(place, DELETE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &made);
    if (error == ERROR_SUCCESS) {
      DeleteOnClose(made.get());
      return StatusOf(opened);
    }
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return StatusOf(opened);
    const FileStatus replaced = OwnFileAt(place);
    return replaced.ok() ? Remove(given) : replaced;
  }
  if (opened != ERROR_SUCCESS) return StatusOf(opened);
  if (place.folder != nullptr) {
    // A folder at the name is held no longer, nor anything below it.
    const std::wstring key = FoldCase(place.expected.substr(root_real_.size()));
    for (auto it = folders_.lower_bound(key); it != folders_.end() &&
                                              it->first.compare(0, key.size(), key) == 0;) {
      const bool below = it->first.size() == key.size() || it->first[key.size()] == L'\\';
      it = below ? folders_.erase(it) : std::next(it);
    }
  }
  if (!place.below_root || SameName(handle.get(), place.expected)) {
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
  const FileStatus replaced = OwnFileAt(place);
  return replaced.ok() ? Remove(given) : replaced;
}

FileStatus Win32FileSystem::WriteNew(const std::wstring& given, const std::string& bytes) {
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, true, GENERIC_WRITE | DELETE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &file);
  return opened.ok() ? WriteAll(file.get(), bytes) : opened;
}

FileStatus Win32FileSystem::OpenOwnAt(const std::wstring& given, DWORD access, DWORD disposition,
                                      std::unique_ptr<OwnFile>* own) {
  Place place;
  const FileStatus located = Locate(given, true, &place);
  if (!located.ok()) return located;
  // Only in a folder held below the installation, whose handle the file's
  // later calls go through.
  if (place.folder == nullptr || place.name.empty()) {
    return FileStatus(FileResult::kFailed, ERROR_ACCESS_DENIED);
  }
  const std::wstring real =
      place.expected.substr(0, place.expected.size() - place.name.size() - 1);
  const auto held = folders_.find(FoldCase(real.substr(root_real_.size())));
  if (held == folders_.end()) return FileStatus(FileResult::kFailed, ERROR_PATH_NOT_FOUND);
  SECURITY_DESCRIPTOR* security = nullptr;
  if (disposition == CREATE_NEW) {
    security = OwnFileSecurity();
    if (security == nullptr) return StatusOf(GetLastError());
  }
  ScopedHandle file(nullptr);
  const FileStatus opened =
      OpenAt(place, access | DELETE | READ_CONTROL, FILE_SHARE_READ, disposition,
             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file, security);
  if (!opened.ok()) return opened;
  HandleFacts facts;
  const DWORD asked = FactsOf(file.get(), &facts);
  if (asked != ERROR_SUCCESS) return StatusOf(asked);
  if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileStatus(FileResult::kFailed, ERROR_DIRECTORY);
  }
  *own = std::make_unique<Win32OwnFile>(given.substr(0, given.size() - place.name.size()), real,
                                        held->second, place.name, file.release());
  return FileStatus();
}

FileStatus Win32FileSystem::CreateOwn(const std::wstring& given, std::unique_ptr<OwnFile>* file) {
  return OpenOwnAt(given, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, file);
}

FileStatus Win32FileSystem::OpenOwn(const std::wstring& given, std::unique_ptr<OwnFile>* file) {
  return OpenOwnAt(given, GENERIC_READ, OPEN_EXISTING, file);
}

FileStatus Win32FileSystem::ReadWhole(const std::wstring& given, size_t limit,
                                      std::string* bytes) {
  ScopedHandle file(nullptr);
  const FileStatus opened =
      Open(given, false, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  return opened.ok() ? ReadAll(file.get(), limit, bytes) : opened;
}

bool Win32FileSystem::InPackage(HANDLE file) const {
  if (package_real_.empty()) return true;
  const std::wstring real = FinalPathOf(file);
  // Without the call (Windows XP, which has no links to files) the walk's
  // checks of links to folders are all there is.
  if (real.empty()) return true;
  return IsBelowFolder(FoldCase(real), package_real_, L'\\');
}

std::vector<char>& Win32FileSystem::Block() {
  if (block_.empty()) block_.resize(1 << 20);
  return block_;
}

FileStatus Win32FileSystem::HashFile(const std::wstring& given, Sha256Digest* digest) {
  Place place;
  const FileStatus located = Locate(given, false, &place);
  if (!located.ok()) return located;
  ScopedHandle file(nullptr);
  const FileStatus opened = OpenAt(place, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, &file);
  if (!opened.ok()) return opened;
  // A packaged file is read from the handle checked to be inside the
  // package; an installed one (a rollback compares them) is the name's own.
  if (!place.below_root && !InPackage(file.get())) {
    return FileStatus(FileResult::kLeadsOut, kLinkOnTheWay);
  }
  if (digest == nullptr) return FileStatus();
  Sha256 hash;
  const FileStatus read = ReadEach(file.get(), &Block(), [&hash](const char* data, DWORD size) {
    hash.Update(data, size);
    return true;
  });
  if (!read.ok()) return read;
  return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, ERROR_INVALID_FUNCTION);
}

FileStatus Win32FileSystem::FlushFolder(const std::wstring& folder) {
  // NTFS logs its renames and new names itself; flushing the folder is a
  // further step that older systems refuse, so it is tried, never required.
  Place place;
  if (Locate(folder, false, &place).ok()) {
    ScopedHandle handle(nullptr);
    if (OpenRaw(place, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, &handle) == ERROR_SUCCESS) {
      FlushFileBuffers(handle.get());
    }
  }
  return FileStatus();
}

namespace {

// The volume that holds `folder`, opened for a flush; invalid where it
// cannot be (not an administrator, a network share).
HANDLE OpenVolume(const std::wstring& folder) {
  wchar_t volume[MAX_PATH];
  const std::wstring full = FullPath(folder);
  if (full.empty() || !GetVolumePathNameW(full.c_str(), volume, MAX_PATH)) {
    return INVALID_HANDLE_VALUE;
  }
  const std::wstring device = volume;
  if (device.size() != 3 || device[1] != L':') return INVALID_HANDLE_VALUE;
  return CreateFileW((L"\\\\.\\" + device.substr(0, 2)).c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

HANDLE Win32FileSystem::Volume() {
  if (!volume_asked_) {
    volume_asked_ = true;
    if (!UnderWine() && !root_real_.empty()) volume_.reset(OpenVolume(root_real_));
  }
  return volume_.valid() ? volume_.get() : nullptr;
}

FileStatus Win32FileSystem::FlushVolume(const std::wstring& folder) {
  // One flush of the whole volume, which an administrator may ask for: on
  // the handle the copies were left to, or on one opened now.
  ScopedHandle opened(Volume() == nullptr ? OpenVolume(root_real_.empty() ? folder : root_real_)
                                          : nullptr);
  const HANDLE handle = opened.valid() ? opened.get() : Volume();
  if (handle != nullptr && FlushFileBuffers(handle)) return FileStatus();
  return FileStatus(FileResult::kUnsupported, GetLastError());
}

FileStatus Win32FileSystem::FlushFile(const std::wstring& given) {
  // A file that cannot be opened for the flush is not durable: that is a
  // failure, never a success.
  Place place;
  const FileStatus located = Locate(given, false, &place);
  if (!located.ok()) return located;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  ScopedHandle file(nullptr);
  FileStatus opened =
      OpenAt(place, GENERIC_WRITE, share, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (opened.ok()) return FlushFileBuffers(file.get()) ? FileStatus() : StatusOf(GetLastError());
  if (opened.code != ERROR_ACCESS_DENIED) return opened;
  // A read-only file (one moved back by the undo) opens for writing only
  // while the attribute is cleared; it is set again, flushed or not.
  ScopedHandle attributes(nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (!OpenAt(place, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share, OPEN_EXISTING,
              FILE_FLAG_OPEN_REPARSE_POINT, &attributes)
           .ok() ||
      !GetFileInformationByHandle(attributes.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      SetAttributes(attributes.get(), info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) !=
          ERROR_SUCCESS) {
    return opened;
  }
  opened = OpenAt(place, GENERIC_WRITE, share, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (opened.ok() && !FlushFileBuffers(file.get())) opened = StatusOf(GetLastError());
  const DWORD restored = SetAttributes(attributes.get(), info.dwFileAttributes);
  if (opened.ok() && restored != ERROR_SUCCESS) opened = StatusOf(restored);
  return opened;
}

FileStatus Win32FileSystem::Lock(const std::wstring& given, std::unique_ptr<FileLock>* lock) {
  Place place;
  const FileStatus located = Locate(given, true, &place);
  if (!located.ok()) return located;
  // A link or a folder planted at the name is removed first, never
  // followed: the lock must be a file of this run's own.
  const PathKind there = Probe(given);
  if (there == PathKind::kLink || there == PathKind::kFolder) {
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
    ScopedHandle file(nullptr);
    DWORD error = OpenRaw(place, access, 0, OPEN_EXISTING, flags, &file);
    bool made = false;
    if (error == ERROR_FILE_NOT_FOUND) {
      // Not OPEN_ALWAYS: that would create a file where a dangling link
      // leads. A name that holds nothing yet exists is such a link.
      // The run's own alone, as its journal is.
      SECURITY_DESCRIPTOR* own = OwnFileSecurity();
      if (own == nullptr) return StatusOf(GetLastError());
      error = OpenRaw(place, access, 0, CREATE_NEW, flags, &file, own);
      made = error == ERROR_SUCCESS;
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        const FileStatus replaced = OwnFileAt(place);
        if (!replaced.ok()) return replaced;
        continue;
      }
    }
    if (error != ERROR_SUCCESS) return StatusOf(error);
    if (place.below_root && !WhereNamed(file.get(), place.expected)) {
      if (made) DeleteOnClose(file.get());
      file.reset(nullptr);
      const FileStatus cleared = ClearName(given);
      if (!cleared.ok() && cleared != FileResult::kMissing) return cleared;
      continue;
    }
    // Deleted on close, which the system does for a process however it
    // ends, so no lock outlives its run.
    error = DeleteOnClose(file.get());
    if (error != ERROR_SUCCESS) return StatusOf(error);
    *lock = std::make_unique<Win32FileLock>(file.release());
    return FileStatus();
  }
  return FileStatus(FileResult::kFailed, kLinkOnTheWay);
}

std::unique_ptr<Folder> Win32FileSystem::HoldFolder(const std::wstring& prefix) {
  if (prefix.empty() || (prefix.back() != L'\\' && prefix.back() != L'/')) {
    return FileSystem::HoldFolder(prefix);
  }
  Place place;
  if (!Locate(prefix, false, &place).ok()) return FileSystem::HoldFolder(prefix);
  if (place.below_root) {
    // Opened part by part from the installation's own handle, and held
    // with it until the next Confine.
    const std::wstring relative = place.expected.substr(root_real_.size());
    HANDLE unused = nullptr;
    if (!FolderAt(relative, &unused).ok()) return FileSystem::HoldFolder(prefix);
    return std::make_unique<Win32Folder>(prefix, folders_.at(FoldCase(relative)), place.expected,
                                         true);
  }
  // A package folder, where links that stay inside are followed: held once
  // it is known to be inside the package, and never renamed meanwhile.
  std::wstring path = prefix;
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  auto handle = std::make_shared<ScopedHandle>(
      CreateFileW(ExtendedPath(path).c_str(), kFolderAccess, kFolderShare, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle->valid()) return FileSystem::HoldFolder(prefix);
  const std::wstring real = FinalPathOf(handle->get());
  const std::wstring folded = FoldCase(real);
  if (real.empty() || (!package_real_.empty() && folded != package_real_ &&
                       !IsBelowFolder(folded, package_real_, L'\\'))) {
    return FileSystem::HoldFolder(prefix);
  }
  return std::make_unique<Win32Folder>(prefix, std::move(handle), real, false);
}

bool Win32FileSystem::PlaceIn(const Folder& folder, const std::wstring& name, bool writing,
                              Place* place) {
  const auto* held = dynamic_cast<const Win32Folder*>(&folder);
  if (held == nullptr || (writing && !held->below_root()) || !SinglePart(name)) return false;
  *place = Place();
  place->below_root = held->below_root();
  place->folder = held->handle();
  place->name = name;
  place->expected = JoinPath(held->real(), name, L'\\');
  return true;
}

FileStatus Win32FileSystem::CopyNewIn(const Folder& from_folder, const std::wstring& from,
                                      const Folder& to_folder, const std::wstring& to,
                                      Sha256Digest* digest) {
  const auto* source = dynamic_cast<const Win32Folder*>(&from_folder);
  Place target;
  if (source == nullptr || !SinglePart(from) || !PlaceIn(to_folder, to, true, &target)) {
    return FileSystem::CopyNewIn(from_folder, from, to_folder, to, digest);
  }
  DropKeptCopy();
  // A link in the package is followed, as a copy by path follows it; the
  // check of the open handle tells whether it stayed inside. A rollback's
  // backup, below the installation, is opened as itself and must be the
  // file named there.
  const bool installed = source->below_root();
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD error = OpenIn(source->handle(), from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                             0, OpenKind::kFile, true, &opened, !installed);
  ScopedHandle in(opened);
  if (error != ERROR_SUCCESS) return StatusOf(error);
  if (installed && !WhereNamed(in.get(), JoinPath(source->real(), from, L'\\'))) {
    return StatusOf(kLinkOnTheWay);
  }
  return CopyOpen(in.get(), to_folder.PathOf(to), &target, digest, installed);
}

FileStatus Win32FileSystem::ReplaceIn(const Folder& folder, const std::wstring& from,
                                      const std::wstring& to) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::ReplaceIn(folder, from, to);
  }
  return RenamePlaces(source, target, true);
}

FileStatus Win32FileSystem::MoveAsideIn(const Folder& folder, const std::wstring& from,
                                        const std::wstring& to, const FileIdentity& expected) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::MoveAsideIn(folder, from, to, expected);
  }
  return RenamePlaces(source, target, false, &expected);
}

FileStatus Win32FileSystem::MoveIn(const Folder& folder, const std::wstring& from,
                                   const std::wstring& to) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::MoveIn(folder, from, to);
  }
  return RenamePlaces(source, target, false);
}

PathKind Win32FileSystem::IdentifyIn(const Folder& folder, const std::wstring& name,
                                     FileIdentity* identity) {
  Place place;
  if (!PlaceIn(folder, name, false, &place) || !place.below_root) {
    return FileSystem::IdentifyIn(folder, name, identity);
  }
  // Whether anything stands at the name, and a link or a folder, from the
  // folder's one listing: Wine tells a host link to a folder there, where an
  // open of it would follow it.
  bool listed = false;
  const ListedEntry* entry = static_cast<const Win32Folder&>(folder).Find(name, &listed);
  if (listed) {
    if (entry == nullptr) return PathKind::kMissing;
    if ((entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
    if ((entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kFolder;
    // Which file, as the listing tells it. A folder's listing may lag behind
    // a file that another process is writing; the step checks the file it
    // moves against this, on the handle that moves it (MoveAsideIn).
    if (entry->has_facts) {
      *identity = FileIdentity{root_volume_, entry->index, entry->size, entry->last_write};
      return PathKind::kFile;
    }
  }
  // Otherwise asked of the file itself. A host link that Wine shows as a
  // plain file is not told apart here, nor in the listing: the step's own
  // open of the name refuses it, and the update is undone.
  ScopedHandle file(nullptr);
  const DWORD opened = OpenRaw(place, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (opened != ERROR_SUCCESS) return MeansAbsent(opened) ? PathKind::kMissing : PathKind::kError;
  HandleFacts facts;
  const DWORD error = FactsOf(file.get(), &facts);
  if (error != ERROR_SUCCESS) return MeansAbsent(error) ? PathKind::kMissing : PathKind::kError;
  if ((facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kLink;
  if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kFolder;
  *identity = FileIdentity{root_volume_, facts.index, facts.size, facts.last_write};
  return PathKind::kFile;
}

FileStatus Win32FileSystem::TryRenameIn(const Folder& folder, const std::wstring& name) {
  Place place;
  if (!PlaceIn(folder, name, true, &place)) return FileStatus(FileResult::kUnsupported);
  // Opened as the step's rename opens it, sharing everything: a holder that
  // does not share delete (or runs the file as an image) refuses it with
  // error 32, as it would refuse the rename. Closed at once.
  ScopedHandle file(nullptr);
  const DWORD error = OpenRaw(place, DELETE | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, &file);
  if (error != ERROR_SUCCESS) return StatusOf(error);
  if (!SameName(file.get(), place.expected)) return FileStatus(FileResult::kFailed, kLinkOnTheWay);
  return FileStatus();
}

FileStatus Win32FileSystem::FreeSpace(const std::wstring& folder, uint64_t* bytes) {
  // Of the real installation folder, with a final separator as the call
  // wants a folder named; the quota of the run's account counted.
  std::wstring full = FullPath(root_real_.empty() ? folder : root_real_);
  if (full.empty()) return StatusOf(GetLastError());
  if (full.back() != L'\\') full += L'\\';
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(full.c_str(), &available, nullptr, nullptr)) {
    return StatusOf(GetLastError());
  }
  *bytes = available.QuadPart;
  return FileStatus();
}

namespace {

int64_t Int64Of(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

FILETIME FileTimeOf(int64_t time) {
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(time));
  out.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(time) >> 32);
  return out;
}

}  // namespace

FileStatus Win32FileSystem::ReadFolderTimes(const std::wstring& folder, FolderTimes* times) {
  ScopedHandle handle(nullptr);
  const FileStatus opened = OpenFolderTimes(folder, FILE_READ_ATTRIBUTES, &handle);
  if (!opened.ok()) return opened;
  FILETIME accessed, modified;
  if (!GetFileTime(handle.get(), nullptr, &accessed, &modified)) return StatusOf(GetLastError());
  times->accessed = Int64Of(accessed);
  times->modified = Int64Of(modified);
  return FileStatus();
}

FileStatus Win32FileSystem::PutFolderTimes(const std::wstring& folder, const FolderTimes& times) {
  ScopedHandle handle(nullptr);
  const FileStatus opened = OpenFolderTimes(folder, FILE_WRITE_ATTRIBUTES, &handle);
  if (!opened.ok()) return opened;
  const FILETIME accessed = FileTimeOf(times.accessed);
  const FILETIME modified = FileTimeOf(times.modified);
  if (!SetFileTime(handle.get(), nullptr, &accessed, &modified)) return StatusOf(GetLastError());
  return FileStatus();
}

FileStatus Win32FileSystem::OpenFolderTimes(const std::wstring& folder, DWORD access,
                                            ScopedHandle* handle) {
  // As itself, never through a link at its name; the folder is held open
  // without delete sharing for the run, so this is the one it holds.
  Place place;
  const FileStatus located = Locate(folder, false, &place);
  if (!located.ok()) return located;
  const DWORD error = OpenRaw(place, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, handle);
  return error == ERROR_SUCCESS ? FileStatus() : StatusOf(error);
}

}  // namespace kestrune::win32
