#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/posix/io_posix.h"
#include "platform/posix/places_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// Closes a descriptor on every path out of a copy.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  friend void swap(Descriptor& a, Descriptor& b) { std::swap(a.fd_, b.fd_); }
  // Closing reports write-back errors that the copy must not ignore.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

bool CopyBytes(int in, int out, off_t size) {
  off_t left = size;
  bool kernel_copy = true;
  while (left > 0) {
    const size_t chunk = left > (1 << 30) ? (1 << 30) : static_cast<size_t>(left);
    ssize_t n = -1;
    if (kernel_copy) {
      n = copy_file_range(in, nullptr, out, nullptr, chunk, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                    errno == EOPNOTSUPP)) {
        kernel_copy = false;
        continue;
      }
    } else {
      n = sendfile(out, in, nullptr, chunk);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // the source shrank while being copied
    left -= n;
  }
  return true;
}

// The outcome of a call that failed with `error`.
FileStatus StatusOf(int error) {
  switch (error) {
    case EEXIST:
      return FileStatus(FileResult::kTargetExists, EEXIST);
    case ENOENT:
      return FileStatus(FileResult::kMissing, ENOENT);
    case ETXTBSY:
    case EBUSY:
      return FileStatus(FileResult::kInUse, static_cast<uint32_t>(error));
    default:
      return FileStatus(FileResult::kFailed, static_cast<uint32_t>(error));
  }
}

// Only regular files are read: a FIFO or a device in their place could stall
// the run or never end.
FileStatus RegularFile(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return StatusOf(errno);
  return S_ISREG(st->st_mode) ? FileStatus() : FileStatus(FileResult::kFailed, EINVAL);
}

// The move that, like MoveFileW, never replaces an existing target, for file
// systems without RENAME_NOREPLACE.
FileStatus LinkThenUnlink(const Place& from, const Place& to) {
  if (linkat(from.folder, from.name.c_str(), to.folder, to.name.c_str(), 0) != 0) {
    return StatusOf(errno);
  }
  if (unlinkat(from.folder, from.name.c_str(), 0) != 0) {
    const int error = errno;
    unlinkat(to.folder, to.name.c_str(), 0);
    return StatusOf(error);
  }
  return FileStatus();
}

// Removes the entry at `place` itself: a link is never followed, and a
// folder goes only while it is empty.
FileStatus UnlinkEntry(const Place& place) {
  struct stat st;
  if (fstatat(place.folder, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      unlinkat(place.folder, place.name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
    return StatusOf(errno);
  }
  return FileStatus();
}

// The real path of what `fd` is open on; "" when the kernel cannot spell it.
std::string RealPathOf(int fd) {
  std::string real;
  return ReadLink("/proc/self/fd/" + std::to_string(fd), &real) ? real : std::string();
}

// A folder held by its own descriptor, reached as Locate reaches folders.
class PosixFolder final : public Folder {
 public:
  PosixFolder(std::wstring prefix, int fd, bool below_root)
      : Folder(std::move(prefix)), fd_(fd), below_root_(below_root) {}
  ~PosixFolder() override { close(fd_); }
  int fd() const { return fd_; }
  // Below the installation, where writes go; otherwise in the package,
  // reached from it with no link on the way.
  bool below_root() const { return below_root_; }

 private:
  const int fd_;
  const bool below_root_;
};

// Reads the file open on `fd` whole, from its start.
FileStatus ReadAll(int fd, size_t limit, std::string* bytes) {
  struct stat st;
  const FileStatus regular = RegularFile(fd, &st);
  if (!regular.ok()) return regular;
  // Read whole, a file of any size would be a way to exhaust memory.
  const FileStatus too_large(FileResult::kFailed, EFBIG);
  if (static_cast<uint64_t>(st.st_size) > limit) return too_large;
  if (lseek(fd, 0, SEEK_SET) != 0) return StatusOf(errno);
  bytes->clear();
  // One block of the size it has, not twice that at the last step of growth.
  bytes->reserve(static_cast<size_t>(st.st_size));
  std::vector<char> block(1 << 16);
  bool over = false;
  if (!ReadEach(fd, &block, [bytes, limit, &over](const char* data, size_t size) {
        over = over || size > limit - bytes->size();
        if (!over) bytes->append(data, size);
      })) {
    return StatusOf(errno);
  }
  if (over) {
    bytes->clear();
    return too_large;
  }
  return FileStatus();
}

// A file of the run's own state, held by its descriptor beside one of its
// folder's. Nothing here opens the name again: it is only looked at
// (fstatat), so a pipe put there can never hold the run.
class PosixOwnFile final : public OwnFile {
 public:
  // `prefix`: the folder's path and a separator, for the log.
  PosixOwnFile(std::wstring prefix, int folder, std::string name, int fd)
      : prefix_(std::move(prefix)), folder_(folder), name_(std::move(name)), fd_(fd),
        path_(prefix_ + WideFromUtf8(name_)) {}
  ~PosixOwnFile() override {
    close(fd_);
    close(folder_);
  }
  const std::wstring& path() const override { return path_; }
  FileStatus AppendDurably(const std::string& bytes) override {
    if (!WriteAll(fd_, bytes) || fsync(fd_) != 0) return StatusOf(errno);
    return FileStatus();
  }
  FileStatus ReadWhole(size_t limit, std::string* bytes) override {
    return ReadAll(fd_, limit, bytes);
  }
  FileStatus OwnershipOf(Ownership* ownership) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return StatusOf(errno);
    *ownership = OwnershipOfMode(st.st_uid, st.st_gid, st.st_mode, geteuid());
    return FileStatus();
  }
  FileStatus StillNamed() override {
    struct stat held;
    struct stat named;
    if (fstat(fd_, &held) != 0) return StatusOf(errno);
    if (fstatat(folder_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return StatusOf(errno);
    return SameFile(held, named) ? FileStatus() : FileStatus(FileResult::kChanged);
  }
  FileStatus Rename(const std::wstring& name) override {
    // A rename goes by name: only while the name holds this file, and
    // looked at again after it, as another file may have taken the old
    // name in between.
    const FileStatus before = StillNamed();
    if (!before.ok()) return before;
    const std::string to = Utf8FromWide(name);
    if (renameat(folder_, name_.c_str(), folder_, to.c_str()) != 0) return StatusOf(errno);
    name_ = to;
    path_ = prefix_ + name;
    return StillNamed();
  }
  FileStatus Remove() override {
    const FileStatus named = StillNamed();
    if (!named.ok()) return named;
    return unlinkat(folder_, name_.c_str(), 0) == 0 ? FileStatus() : StatusOf(errno);
  }

 private:
  const std::wstring prefix_;
  const int folder_;
  std::string name_;
  const int fd_;
  std::wstring path_;
};

FileStatus RenamePlaces(const Place& from, const Place& to, bool replace) {
  if (replace) {
    return renameat(from.folder, from.name.c_str(), to.folder, to.name.c_str()) == 0
               ? FileStatus()
               : StatusOf(errno);
  }
  if (renameat2(from.folder, from.name.c_str(), to.folder, to.name.c_str(), RENAME_NOREPLACE) ==
      0) {
    return FileStatus();
  }
  if (errno == EINVAL || errno == ENOSYS) return LinkThenUnlink(from, to);
  return StatusOf(errno);
}

FileStatus LinkPlaces(const Place& source, const Place& target) {
  // Without AT_SYMLINK_FOLLOW the entry itself gets the second name, never
  // what a symbolic link there points to.
  if (linkat(source.folder, source.name.c_str(), target.folder, target.name.c_str(), 0) == 0) {
    return FileStatus();
  }
  const int error = errno;
  // File systems without hard links (FAT, some network ones) say so in
  // several ways; the step then renames instead.
  if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK ||
      error == EXDEV) {
    return FileStatus(FileResult::kUnsupported, static_cast<uint32_t>(error));
  }
  return StatusOf(error);
}

class PosixFileLock : public FileLock {
 public:
  PosixFileLock(int folder, std::string name, int fd)
      : folder_(folder), name_(std::move(name)), fd_(fd) {}
  ~PosixFileLock() override {
    // Removed while still held, so that no run can take a lock on a file
    // that is on its way out.
    unlinkat(folder_, name_.c_str(), 0);
    close(fd_);
    if (folder_ >= 0) close(folder_);
  }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  const int folder_;  // its own descriptor of the lock's folder
  const std::string name_;
  const int fd_;
};

}  // namespace

mode_t PosixFileSystem::CurrentUmask() {
  // Reading the umask means setting it; it is put back at once.
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

FileStatus PosixFileSystem::Confine(const std::wstring& package,
                                    const std::wstring& installation) {
  char* real = realpath(Utf8FromWide(package).c_str(), nullptr);
  package_real_ = real != nullptr ? real : "";
  free(real);
  if (package_real_.empty() || stat(package_real_.c_str(), &package_id_) != 0) {
    package_real_.clear();
  }
  if (!package_real_.empty()) places_.OpenPackage(Utf8FromWide(package));
  if (installation.empty()) return FileStatus();
  return places_.Confine(Utf8FromWide(installation));
}

std::wstring PosixFileSystem::ComparablePath(const std::wstring& path) {
  char* real = realpath(Utf8FromWide(path).c_str(), nullptr);
  if (real == nullptr) return path;
  const std::wstring resolved = WideFromUtf8(real);
  free(real);
  return resolved;
}

FileStatus PosixFileSystem::LocateBoth(const std::wstring& a, bool writing_a, Place* place_a,
                                       const std::wstring& b, bool writing_b, Place* place_b) {
  const FileStatus status = places_.Locate(Utf8FromWide(a), writing_a, place_a);
  return status.ok() ? places_.Locate(Utf8FromWide(b), writing_b, place_b) : status;
}

bool PosixFileSystem::InPackage(const std::string& real) const {
  return package_real_.empty() || real == package_real_ ||
         (real.compare(0, package_real_.size(), package_real_) == 0 &&
          real.size() > package_real_.size() &&
          (real[package_real_.size()] == '/' || package_real_ == "/"));
}

int PosixFileSystem::OpenPackaged(const Place& place, bool* in_package) const {
  // Non-blocking, so that a FIFO put in place of a packaged file cannot hold
  // the run; regular files ignore the flag.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  // Below the installation (a rollback reads its backups, and compares the
  // installed files) every folder on the way was opened without following a
  // link, as the file is: it is the installation's own.
  if (place.link_free || place.below_root) {
    // Reached from the package folder without a link, and no link itself:
    // inside the package, with nothing more to ask.
    const int fd = openat(place.folder, place.name.c_str(), kFlags | O_NOFOLLOW);
    if (fd >= 0 || errno != ELOOP) {
      *in_package = true;
      return fd;
    }
  }
  // What is read is what was opened: a link swapped in after the listing
  // cannot make the run read from outside its package.
  const int fd = openat(place.folder, place.name.c_str(), kFlags);
  *in_package = fd >= 0 && OpenedInPackage(fd, place);
  return fd;
}

bool PosixFileSystem::OpenedInPackage(int fd, const Place& place) const {
  if (package_real_.empty()) return true;
  const std::string real = RealPathOf(fd);
  if (!real.empty()) return InPackage(real);
  // Too deep for the kernel to spell out: the folder it was opened in is
  // followed up, ".." by "..", to the package folder; the file must be no
  // link itself.
  struct stat st;
  if (fstatat(place.folder, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      S_ISLNK(st.st_mode)) {
    return false;
  }
  Descriptor folder(fcntl(place.folder, F_DUPFD_CLOEXEC, 0));
  for (int up = 0; folder.get() >= 0 && up < 4096; ++up) {
    struct stat here;
    if (fstat(folder.get(), &here) != 0) return false;
    if (SameFile(here, package_id_)) return true;
    Descriptor parent(openat(folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat above;
    if (parent.get() < 0 || fstat(parent.get(), &above) != 0 ||
        SameFile(above, here)) {
      return false;  // the top of the tree, the package not met
    }
    swap(folder, parent);
  }
  return false;
}

PathKind PosixFileSystem::Probe(const std::wstring& path) {
  FileIdentity unused;
  return Identify(path, &unused);
}

PathKind PosixFileSystem::Identify(const std::wstring& path, FileIdentity* identity) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), false, &place);
  if (!located.ok()) {
    if (located.code == ELOOP) return PathKind::kLink;
    return located.code == ENOENT || located.code == ENOTDIR ? PathKind::kMissing
                                                             : PathKind::kError;
  }
  return IdentifyPlace(place, identity);
}

PathKind PosixFileSystem::IdentifyPlace(const Place& place, FileIdentity* identity) {
  struct stat st;
  // Below the installation a link is named as such, not followed.
  if (fstatat(place.folder, place.name.c_str(), &st,
              place.below_root ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
    // A name the system cannot hold cannot name an existing file either.
    return (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) ? PathKind::kMissing
                                                                          : PathKind::kError;
  }
  if (S_ISLNK(st.st_mode)) return PathKind::kLink;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  if (!S_ISREG(st.st_mode)) return PathKind::kOther;
  *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                           static_cast<uint64_t>(st.st_size),
                           static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                               st.st_mtim.tv_nsec};
  return PathKind::kFile;
}

bool PosixFileSystem::ListFolder(const std::wstring& folder, FolderListing* listing) {
  const int fd = places_.OpenFolder(Utf8FromWide(folder));
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  const int dir_fd = dirfd(dir);
  struct stat st;
  listing->has_id = fstat(dir_fd, &st) == 0;
  if (listing->has_id) {
    listing->id.volume = static_cast<uint64_t>(st.st_dev);
    listing->id.index = static_cast<uint64_t>(st.st_ino);
  }
  listing->entries.clear();
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    FolderEntry listed{WideFromUtf8(name), false, false};
    switch (entry->d_type) {
      case DT_REG:
        break;
      case DT_DIR:
        listed.is_folder = true;
        break;
      case DT_LNK:
      case DT_UNKNOWN: {
        // Links are followed, as folder links are on Windows, but only
        // while they stay inside the package; a dangling link has nothing
        // to copy.
        if (fstatat(dir_fd, name, &st, 0) != 0) {
          listed.special = true;
          break;
        }
        if (S_ISDIR(st.st_mode)) {
          listed.is_folder = true;
        } else if (!S_ISREG(st.st_mode)) {
          listed.special = true;
          break;
        }
        struct stat own;
        if (fstatat(dir_fd, name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode)) {
          Descriptor target(openat(dir_fd, name, O_PATH | O_CLOEXEC));
          listed.leads_outside = target.get() < 0 || !InPackage(RealPathOf(target.get()));
        }
        break;
      }
      default:
        // FIFOs, sockets and devices: opening one could block or read
        // without end.
        listed.special = true;
        break;
    }
    listing->entries.push_back(std::move(listed));
  }
  // A listing cut short by an error is no listing.
  const bool complete = errno == 0;
  closedir(dir);
  return complete;
}

FileStatus PosixFileSystem::ListNames(const std::wstring& folder,
                                      std::vector<std::wstring>* names) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(folder), false, &place);
  if (!located.ok()) return located;
  // Below the installation a link at the folder's own name is not listed
  // through: the caller then looks at each name and meets the link.
  const int fd = openat(place.folder, place.name.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC | (place.below_root ? O_NOFOLLOW : 0));
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return StatusOf(error);
  }
  names->clear();
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    names->push_back(WideFromUtf8(name));
  }
  // A listing cut short could call a taken name free.
  const int error = errno;
  closedir(dir);
  return error == 0 ? FileStatus() : StatusOf(error);
}

FileStatus PosixFileSystem::Move(const std::wstring& from, const std::wstring& to) {
  Place source;
  Place target;
  const FileStatus status = LocateBoth(from, true, &source, to, true, &target);
  if (!status.ok()) return status;
  return RenamePlaces(source, target, false);
}

FileStatus PosixFileSystem::CopyNew(const std::wstring& from, const std::wstring& to,
                                    Sha256Digest* digest) {
  Place source;
  Place target;
  const FileStatus status = LocateBoth(from, false, &source, to, true, &target);
  if (!status.ok()) return status;
  return CopyPlaces(source, target, digest);
}

FileStatus PosixFileSystem::CopyPlaces(const Place& source, const Place& target,
                                       Sha256Digest* digest) {
  bool in_package = false;
  Descriptor in(OpenPackaged(source, &in_package));
  if (in.get() < 0) return StatusOf(errno);
  if (!in_package) return FileStatus(FileResult::kLeadsOut, EACCES);
  struct stat st;
  const FileStatus regular = RegularFile(in.get(), &st);
  if (!regular.ok()) return regular;
  const mode_t mode = st.st_mode & 07777;
  Descriptor out(openat(target.folder, target.name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (out.get() < 0) return StatusOf(errno);
  // The umask filters the mode given to open; fchmod, needed only when it
  // did, sets the source's bits exactly.
  // Bytes that are hashed pass through this process; the kernel copies the
  // others.
  // A hash is set up only for a copy that is hashed: each costs the crypto
  // library a context.
  std::optional<Sha256> hash;
  if (digest != nullptr) hash.emplace();
  const bool copied =
      digest != nullptr
          ? ReadEach(in.get(), Block(),
                     [&hash, &out](const char* data, size_t size) {
                       hash->Update(data, size);
                       return WriteAll(out.get(), std::string_view(data, size));
                     })
          : CopyBytes(in.get(), out.get(), st.st_size);
  if (!copied || ((mode & umask_) != 0 && fchmod(out.get(), mode) != 0) || !out.Close()) {
    return StatusOf(errno);
  }
  if (digest != nullptr && !hash->Finish(digest)) return FileStatus(FileResult::kFailed, EIO);
  return FileStatus();
}

FileStatus PosixFileSystem::Remove(const std::wstring& path) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), true, &place);
  if (!located.ok()) return located;
  if (unlinkat(place.folder, place.name.c_str(), 0) == 0) return FileStatus();
  return StatusOf(errno);
}

FileStatus PosixFileSystem::Link(const std::wstring& existing, const std::wstring& name) {
  Place source;
  Place target;
  const FileStatus status = LocateBoth(existing, true, &source, name, true, &target);
  if (!status.ok()) return status;
  return LinkPlaces(source, target);
}

FileStatus PosixFileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  Place source;
  Place target;
  const FileStatus status = LocateBoth(from, true, &source, to, true, &target);
  if (!status.ok()) return status;
  return RenamePlaces(source, target, true);
}

FileStatus PosixFileSystem::ClearName(const std::wstring& path) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), true, &place);
  if (!located.ok()) return located;
  return UnlinkEntry(place);
}

FileStatus PosixFileSystem::WriteNew(const std::wstring& path, const std::string& bytes) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), true, &place);
  if (!located.ok()) return located;
  Descriptor fd(openat(place.folder, place.name.c_str(),
                       O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) return StatusOf(errno);
  if (!WriteAll(fd.get(), bytes) || fsync(fd.get()) != 0 || !fd.Close()) return StatusOf(errno);
  return FileStatus();
}

FileStatus PosixFileSystem::OpenOwnAt(const std::wstring& path, int flags,
                                      std::unique_ptr<OwnFile>* file) {
  Place place;
  const std::string utf8 = Utf8FromWide(path);
  const FileStatus located = places_.Locate(utf8, true, &place);
  if (!located.ok()) return located;
  // The file keeps a folder descriptor of its own for its later calls;
  // a short path outside any tree held has none yet.
  std::string name = place.name;
  int folder = -1;
  if (place.folder == AT_FDCWD) {
    const size_t slash = utf8.rfind('/');
    folder = places_.OpenFolder(slash == std::string::npos ? std::string(".")
                                                           : utf8.substr(0, slash == 0 ? 1 : slash));
    if (slash != std::string::npos) name = utf8.substr(slash + 1);
  } else {
    folder = fcntl(place.folder, F_DUPFD_CLOEXEC, 0);
  }
  if (folder < 0) return StatusOf(errno);
  // Never through a link at the name, and never waiting on a pipe there.
  const int fd = openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat st;
  const FileStatus opened = fd < 0 ? StatusOf(errno) : RegularFile(fd, &st);
  if (!opened.ok()) {
    if (fd >= 0) close(fd);
    close(folder);
    return opened;
  }
  const size_t leaf = std::min(path.size(), WideFromUtf8(name).size());
  *file = std::make_unique<PosixOwnFile>(path.substr(0, path.size() - leaf), folder, name, fd);
  return FileStatus();
}

FileStatus PosixFileSystem::CreateOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) {
  // Made here, where nothing stood; its owner's alone.
  return OpenOwnAt(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL, file);
}

FileStatus PosixFileSystem::OpenOwn(const std::wstring& path, std::unique_ptr<OwnFile>* file) {
  return OpenOwnAt(path, O_RDONLY, file);
}

FileStatus PosixFileSystem::ReadWhole(const std::wstring& path, size_t limit,
                                      std::string* bytes) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), false, &place);
  if (!located.ok()) return located;
  Descriptor fd(openat(place.folder, place.name.c_str(),
                       O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return StatusOf(errno);
  return ReadAll(fd.get(), limit, bytes);
}

FileStatus PosixFileSystem::HashFile(const std::wstring& path, Sha256Digest* digest) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), false, &place);
  if (!located.ok()) return located;
  bool in_package = false;
  Descriptor fd(OpenPackaged(place, &in_package));
  if (fd.get() < 0) return StatusOf(errno);
  if (!in_package) return FileStatus(FileResult::kLeadsOut, EACCES);
  struct stat st;
  const FileStatus regular = RegularFile(fd.get(), &st);
  if (!regular.ok() || digest == nullptr) return regular;
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 hash;
  if (!ReadEach(fd.get(), Block(),
                [&hash](const char* data, size_t size) { hash.Update(data, size); })) {
    return StatusOf(errno);
  }
  return hash.Finish(digest) ? FileStatus() : FileStatus(FileResult::kFailed, EIO);
}

std::vector<char>* PosixFileSystem::Block() {
  if (block_.empty()) block_.resize(1 << 20);
  return &block_;
}

int PosixFileSystem::OpenFolderForFlush(const std::wstring& folder) {
  Place place;
  if (!places_.Locate(Utf8FromWide(folder), false, &place).ok()) return -1;
  return openat(place.folder, place.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

FileStatus PosixFileSystem::FlushFolder(const std::wstring& folder) {
  Descriptor fd(OpenFolderForFlush(folder));
  if (fd.get() < 0 || fsync(fd.get()) != 0) return StatusOf(errno);
  return FileStatus();
}

FileStatus PosixFileSystem::FlushVolume(const std::wstring& folder) {
  // One flush of the whole file system the installation lives on: far
  // cheaper than a flush per file on a real disk.
  Descriptor fd(OpenFolderForFlush(folder));
  if (fd.get() < 0 || syncfs(fd.get()) != 0) return StatusOf(errno);
  // And every other file system mounted below it that the run reached.
  for (int other : places_.other_devices()) {
    if (syncfs(other) != 0) return StatusOf(errno);
  }
  return FileStatus();
}

FileStatus PosixFileSystem::FlushFile(const std::wstring& path) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), false, &place);
  if (!located.ok()) return located;
  Descriptor fd(openat(place.folder, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 || fsync(fd.get()) != 0) return StatusOf(errno);
  return FileStatus();
}

FileStatus PosixFileSystem::Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) {
  Place place;
  const FileStatus located = places_.Locate(Utf8FromWide(path), true, &place);
  if (!located.ok()) return located;
  // The lock may be on a file another run has just removed on its way out;
  // it counts only while the name still leads to the locked file.
  for (int tries = 0; tries < 8; ++tries) {
    const int fd = openat(place.folder, place.name.c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
      const int error = errno;
      // A link or a folder planted at the name: a lock taken through it
      // would lock nothing this run owns, and one on a folder none at all.
      // It goes (an empty folder only), never followed, and the lock is
      // taken in its place.
      if (error != ELOOP && error != EISDIR) return StatusOf(error);
      const FileStatus cleared = UnlinkEntry(place);
      if (!cleared.ok()) return cleared;
      continue;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      // A FIFO or a device at the name holds no lock either.
      close(fd);
      return FileStatus(FileResult::kFailed, EINVAL);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      return error == EWOULDBLOCK ? FileStatus(FileResult::kInUse, static_cast<uint32_t>(error))
                                  : StatusOf(error);
    }
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) == 0 &&
        fstatat(place.folder, place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(held, named)) {
      const int folder = place.folder == AT_FDCWD ? AT_FDCWD : fcntl(place.folder, F_DUPFD_CLOEXEC, 0);
      *lock = std::make_unique<PosixFileLock>(folder, place.name, fd);
      return FileStatus();
    }
    close(fd);
  }
  return FileStatus(FileResult::kInUse, EWOULDBLOCK);
}

std::unique_ptr<Folder> PosixFileSystem::HoldFolder(const std::wstring& prefix) {
  if (prefix.empty() || prefix.back() != L'/') return FileSystem::HoldFolder(prefix);
  std::string path = Utf8FromWide(prefix);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  bool below_root = false;
  const int fd = places_.HoldFolder(path, &below_root);
  if (fd < 0) return FileSystem::HoldFolder(prefix);
  return std::make_unique<PosixFolder>(prefix, fd, below_root);
}

bool PosixFileSystem::PlaceIn(const Folder& folder, const std::wstring& name, bool writing,
                              Place* place) {
  // Asked several times a file: the type is compared, not searched for as
  // a dynamic_cast would.
  if (typeid(folder) != typeid(PosixFolder)) return false;
  const auto* held = static_cast<const PosixFolder*>(&folder);
  // A separator in a name, or a name of dots, would walk on from the
  // folder unchecked.
  const bool dots = name.size() <= 2 && name.find_first_not_of(L'.') == std::wstring::npos;
  if ((writing && !held->below_root()) || dots || name.find(L'/') != std::wstring::npos) {
    return false;
  }
  place->folder = held->fd();
  if (!spare_names_.empty()) {
    place->name = std::move(spare_names_.back());
    spare_names_.pop_back();
    place->name.clear();
  }
  AppendUtf8FromWide(name, &place->name);
  place->spares = &spare_names_;
  place->below_root = held->below_root();
  place->link_free = !held->below_root();
  return true;
}

FileStatus PosixFileSystem::CopyNewIn(const Folder& from_folder, const std::wstring& from,
                                      const Folder& to_folder, const std::wstring& to,
                                      Sha256Digest* digest) {
  Place source;
  Place target;
  if (!PlaceIn(from_folder, from, false, &source) || !PlaceIn(to_folder, to, true, &target)) {
    return FileSystem::CopyNewIn(from_folder, from, to_folder, to, digest);
  }
  return CopyPlaces(source, target, digest);
}

FileStatus PosixFileSystem::LinkIn(const Folder& folder, const std::wstring& existing,
                                   const std::wstring& name) {
  Place source;
  Place target;
  if (!PlaceIn(folder, existing, true, &source) || !PlaceIn(folder, name, true, &target)) {
    return FileSystem::LinkIn(folder, existing, name);
  }
  return LinkPlaces(source, target);
}

FileStatus PosixFileSystem::LinkAsideIn(const Folder& folder, const std::wstring& existing,
                                        const std::wstring& name, const FileIdentity& expected) {
  Place source;
  Place target;
  if (!PlaceIn(folder, existing, true, &source) || !PlaceIn(folder, name, true, &target)) {
    return FileSystem::LinkAsideIn(folder, existing, name, expected);
  }
  if (!StillThere(source, expected)) return FileStatus(FileResult::kChanged);
  return LinkPlaces(source, target);
}

FileStatus PosixFileSystem::MoveAsideIn(const Folder& folder, const std::wstring& from,
                                        const std::wstring& to, const FileIdentity& expected) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::MoveAsideIn(folder, from, to, expected);
  }
  if (!StillThere(source, expected)) return FileStatus(FileResult::kChanged);
  return RenamePlaces(source, target, false);
}

bool PosixFileSystem::StillThere(const Place& place, const FileIdentity& expected) {
  // Anything but a file is left to the call itself to refuse.
  FileIdentity now;
  return IdentifyPlace(place, &now) != PathKind::kFile || now == expected;
}

FileStatus PosixFileSystem::ReplaceIn(const Folder& folder, const std::wstring& from,
                                      const std::wstring& to) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::ReplaceIn(folder, from, to);
  }
  return RenamePlaces(source, target, true);
}

FileStatus PosixFileSystem::MoveIn(const Folder& folder, const std::wstring& from,
                                   const std::wstring& to) {
  Place source;
  Place target;
  if (!PlaceIn(folder, from, true, &source) || !PlaceIn(folder, to, true, &target)) {
    return FileSystem::MoveIn(folder, from, to);
  }
  return RenamePlaces(source, target, false);
}

PathKind PosixFileSystem::IdentifyIn(const Folder& folder, const std::wstring& name,
                                     FileIdentity* identity) {
  Place place;
  if (!PlaceIn(folder, name, false, &place)) return FileSystem::IdentifyIn(folder, name, identity);
  return IdentifyPlace(place, identity);
}

// Older C libraries know statx's attributes by number alone.
#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

FileStatus PosixFileSystem::TryRenameIn(const Folder& folder, const std::wstring& name) {
  Place place;
  if (!PlaceIn(folder, name, true, &place)) return FileStatus(FileResult::kUnsupported);
  // A rename needs write and search rights in the folder (root lacks them
  // only on a file system mounted read-only).
  if (faccessat(place.folder, ".", W_OK | X_OK, AT_EACCESS) != 0) return StatusOf(errno);
  struct statx facts;
  if (statx(place.folder, place.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &facts) != 0) {
    return StatusOf(errno);
  }
  // The kernel refuses to rename a file that something is mounted on, or
  // one marked immutable or append-only, even for root.
  const auto has = [&facts](uint64_t attribute) {
    return (facts.stx_attributes_mask & attribute) != 0 && (facts.stx_attributes & attribute) != 0;
  };
  if (has(STATX_ATTR_MOUNT_ROOT)) return FileStatus(FileResult::kInUse, EBUSY);
  if (has(STATX_ATTR_IMMUTABLE) || has(STATX_ATTR_APPEND)) {
    return FileStatus(FileResult::kFailed, EPERM);
  }
  return FileStatus();
}

FileStatus PosixFileSystem::FreeSpace(const std::wstring& folder, uint64_t* bytes) {
  Descriptor fd(OpenFolderForFlush(folder));
  struct statvfs facts;
  if (fd.get() < 0 || fstatvfs(fd.get(), &facts) != 0) return StatusOf(errno);
  // What an unprivileged writer may use: the run's own copies never count
  // on the blocks kept for root.
  *bytes = static_cast<uint64_t>(facts.f_bavail) * facts.f_frsize;
  return FileStatus();
}

namespace {

constexpr int64_t kNanoseconds = 1000000000;

}  // namespace

FileStatus PosixFileSystem::ReadFolderTimes(const std::wstring& folder, FolderTimes* times) {
  Descriptor fd(OpenFolderForFlush(folder));
  struct stat facts;
  if (fd.get() < 0 || fstat(fd.get(), &facts) != 0) return StatusOf(errno);
  times->accessed = facts.st_atim.tv_sec * kNanoseconds + facts.st_atim.tv_nsec;
  times->modified = facts.st_mtim.tv_sec * kNanoseconds + facts.st_mtim.tv_nsec;
  return FileStatus();
}

FileStatus PosixFileSystem::PutFolderTimes(const std::wstring& folder, const FolderTimes& times) {
  Descriptor fd(OpenFolderForFlush(folder));
  const timespec both[2] = {
      {static_cast<time_t>(times.accessed / kNanoseconds),
       static_cast<long>(times.accessed % kNanoseconds)},
      {static_cast<time_t>(times.modified / kNanoseconds),
       static_cast<long>(times.modified % kNanoseconds)}};
  if (fd.get() < 0 || futimens(fd.get(), both) != 0) return StatusOf(errno);
  return FileStatus();
}

}  // namespace kestrune::posix
