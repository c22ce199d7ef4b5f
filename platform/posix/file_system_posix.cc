#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// The move that, like MoveFileW, never replaces an existing target, for file
// systems without RENAME_NOREPLACE.
FileStatus LinkThenUnlink(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) != 0) return StatusOf(errno);
  if (unlink(from.c_str()) != 0) {
    const int error = errno;
    unlink(to.c_str());
    return StatusOf(error);
  }
  return FileStatus();
}

}  // namespace

mode_t PosixFileSystem::CurrentUmask() {
  // Reading the umask means setting it; it is put back at once.
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

PathKind PosixFileSystem::Probe(const std::wstring& path) {
  struct stat st;
  if (stat(Utf8FromWide(path).c_str(), &st) != 0) {
    // A name the system cannot hold cannot name an existing file either.
    return (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
               ? PathKind::kMissing
               : PathKind::kError;
  }
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kFile;
}

bool PosixFileSystem::ListFolder(const std::wstring& folder, FolderListing* listing) {
  DIR* dir = opendir(Utf8FromWide(folder).c_str());
  if (dir == nullptr) return false;
  const int dir_fd = dirfd(dir);
  struct stat st;
  listing->has_id = fstat(dir_fd, &st) == 0;
  if (listing->has_id) {
    listing->id.volume = static_cast<uint64_t>(st.st_dev);
    listing->id.index = static_cast<uint64_t>(st.st_ino);
  }
  listing->entries.clear();
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    bool is_folder = false;
    switch (entry->d_type) {
      case DT_REG:
        break;
      case DT_DIR:
        is_folder = true;
        break;
      case DT_LNK:
      case DT_UNKNOWN:
        // Links are followed, as folder links are on Windows; a dangling
        // link has nothing to copy.
        if (fstatat(dir_fd, name, &st, 0) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
          is_folder = true;
        } else if (!S_ISREG(st.st_mode)) {
          continue;
        }
        break;
      default:
        // FIFOs, sockets and devices: opening one could block or read
        // without end.
        continue;
    }
    listing->entries.push_back(FolderEntry{WideFromUtf8(name), is_folder});
  }
  closedir(dir);
  return true;
}

FileStatus PosixFileSystem::Move(const std::wstring& from, const std::wstring& to) {
  const std::string from_path = Utf8FromWide(from);
  const std::string to_path = Utf8FromWide(to);
  if (renameat2(AT_FDCWD, from_path.c_str(), AT_FDCWD, to_path.c_str(),
                RENAME_NOREPLACE) == 0) {
    return FileStatus();
  }
  if (errno == EINVAL || errno == ENOSYS) return LinkThenUnlink(from_path, to_path);
  return StatusOf(errno);
}

FileStatus PosixFileSystem::CopyNew(const std::wstring& from, const std::wstring& to) {
  // Non-blocking, so that a FIFO put in place of a packaged file cannot hold
  // the run; regular files ignore the flag.
  Descriptor in(open(Utf8FromWide(from).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) return StatusOf(errno);
  struct stat st;
  if (fstat(in.get(), &st) != 0) return StatusOf(errno);
  if (!S_ISREG(st.st_mode)) return FileStatus(FileResult::kFailed, EINVAL);
  const mode_t mode = st.st_mode & 07777;
  Descriptor out(
      open(Utf8FromWide(to).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (out.get() < 0) return StatusOf(errno);
  // The umask filters the mode given to open; fchmod, needed only when it
  // did, sets the source's bits exactly.
  if (!CopyBytes(in.get(), out.get(), st.st_size) ||
      ((mode & umask_) != 0 && fchmod(out.get(), mode) != 0) || !out.Close()) {
    return StatusOf(errno);
  }
  return FileStatus();
}

FileStatus PosixFileSystem::Remove(const std::wstring& path) {
  if (unlink(Utf8FromWide(path).c_str()) == 0) return FileStatus();
  return StatusOf(errno);
}

FileStatus PosixFileSystem::Link(const std::wstring& existing, const std::wstring& name) {
  // linkat without AT_SYMLINK_FOLLOW names the entry itself, never what a
  // symbolic link there points to.
  if (linkat(AT_FDCWD, Utf8FromWide(existing).c_str(), AT_FDCWD, Utf8FromWide(name).c_str(),
             0) == 0) {
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

FileStatus PosixFileSystem::Replace(const std::wstring& from, const std::wstring& to) {
  if (rename(Utf8FromWide(from).c_str(), Utf8FromWide(to).c_str()) == 0) return FileStatus();
  return StatusOf(errno);
}

FileStatus PosixFileSystem::SameFile(const std::wstring& a, const std::wstring& b, bool* same) {
  struct stat first;
  struct stat second;
  if (lstat(Utf8FromWide(a).c_str(), &first) != 0 ||
      lstat(Utf8FromWide(b).c_str(), &second) != 0) {
    return StatusOf(errno);
  }
  *same = first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  return FileStatus();
}

namespace {

FileStatus WriteAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return StatusOf(errno);
    written += static_cast<size_t>(n);
  }
  return FileStatus();
}

FileStatus WriteDurably(const std::string& path, int flags, const std::string& bytes) {
  Descriptor fd(open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) return StatusOf(errno);
  const FileStatus written = WriteAll(fd.get(), bytes);
  if (!written.ok()) return written;
  if (fsync(fd.get()) != 0 || !fd.Close()) return StatusOf(errno);
  return FileStatus();
}

class PosixFileLock : public FileLock {
 public:
  PosixFileLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~PosixFileLock() override {
    // Removed while still held, so that no run can take a lock on a file
    // that is on its way out.
    unlink(path_.c_str());
    close(fd_);
  }
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  const std::string path_;
  const int fd_;
};

}  // namespace

FileStatus PosixFileSystem::WriteNew(const std::wstring& path, const std::string& bytes) {
  return WriteDurably(Utf8FromWide(path), O_CREAT | O_EXCL, bytes);
}

FileStatus PosixFileSystem::AppendDurably(const std::wstring& path, const std::string& bytes) {
  return WriteDurably(Utf8FromWide(path), O_APPEND, bytes);
}

FileStatus PosixFileSystem::ReadWhole(const std::wstring& path, std::string* bytes) {
  Descriptor fd(open(Utf8FromWide(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return StatusOf(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return StatusOf(errno);
  if (!S_ISREG(st.st_mode)) return FileStatus(FileResult::kFailed, EINVAL);
  bytes->clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return StatusOf(errno);
    if (n == 0) return FileStatus();
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

FileStatus PosixFileSystem::FlushFolder(const std::wstring& folder) {
  Descriptor fd(open(Utf8FromWide(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || fsync(fd.get()) != 0) return StatusOf(errno);
  return FileStatus();
}

FileStatus PosixFileSystem::FlushWritten(const std::wstring& folder,
                                         const std::vector<std::wstring>& /*written*/) {
  // One flush of the whole file system the installation lives on: far
  // cheaper than a flush per file on a real disk.
  Descriptor fd(open(Utf8FromWide(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || syncfs(fd.get()) != 0) return StatusOf(errno);
  return FileStatus();
}

FileStatus PosixFileSystem::Lock(const std::wstring& path, std::unique_ptr<FileLock>* lock) {
  const std::string name = Utf8FromWide(path);
  // The lock may be on a file another run has just removed on its way out;
  // it counts only while the name still leads to the locked file.
  for (int tries = 0; tries < 8; ++tries) {
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return StatusOf(errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      return error == EWOULDBLOCK ? FileStatus(FileResult::kInUse, static_cast<uint32_t>(error))
                                  : StatusOf(error);
    }
    struct stat held;
    struct stat named;
    if (fstat(fd, &held) == 0 && stat(name.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      *lock = std::make_unique<PosixFileLock>(name, fd);
      return FileStatus();
    }
    close(fd);
  }
  return FileStatus(FileResult::kInUse, EWOULDBLOCK);
}

}  // namespace kestrune::posix
