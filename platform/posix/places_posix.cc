#include "platform/posix/places_posix.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune::posix {
namespace {

constexpr size_t kRecentFolders = 8;

// The components of `relative`, empty ones (doubled separators) left out.
std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (end > start) parts.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Opens `path` below the folder `base` (or the current folder), however
// long: a path past PATH_MAX is opened a part that fits at a time.
int OpenBelow(int base, const std::string& path, int flags) {
  if (path.size() < PATH_MAX) return openat(base, path.c_str(), flags | O_CLOEXEC);
  size_t cut = path.rfind('/', PATH_MAX - 1);
  if (cut == std::string::npos || cut == 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int folder = OpenBelow(base, path.substr(0, cut), O_RDONLY | O_DIRECTORY);
  if (folder < 0) return -1;
  const int fd = OpenBelow(folder, path.substr(cut + 1), flags);
  const int error = errno;
  close(folder);
  errno = error;
  return fd;
}

}  // namespace

Place::~Place() {
  if (owned >= 0) close(owned);
}

Places::~Places() {
  for (const auto& entry : recent_) close(entry.second);
  if (root_ >= 0) close(root_);
}

FileStatus Places::Confine(const std::string& installation) {
  // Once asked for, writes are refused everywhere until the folder opens.
  confined_ = true;
  const int fd = OpenFolder(installation);
  if (fd < 0) return FileStatus(FileResult::kFailed, static_cast<uint32_t>(errno));
  if (root_ >= 0) close(root_);
  for (const auto& entry : recent_) close(entry.second);
  recent_.clear();
  root_ = fd;
  root_path_ = installation;
  while (root_path_.size() > 1 && root_path_.back() == '/') root_path_.pop_back();
  return FileStatus();
}

int Places::OpenFolder(const std::string& path) {
  return OpenBelow(AT_FDCWD, path.empty() ? "." : path, O_RDONLY | O_DIRECTORY);
}

int Places::Remember(const std::string& relative_folder, int fd) {
  if (recent_.size() == kRecentFolders) {
    close(recent_.front().second);
    recent_.erase(recent_.begin());
  }
  recent_.emplace_back(relative_folder, fd);
  return fd;
}

int Places::WalkBelowRoot(const std::string& relative_folder) {
  if (relative_folder.empty()) return root_;
  for (const auto& entry : recent_) {
    if (entry.first == relative_folder) return entry.second;
  }
  int folder = root_;
  for (const std::string& part : Components(relative_folder)) {
    // Each step is taken from the folder before it and refuses a link:
    // nothing that a user planted below the installation can send the
    // writes elsewhere, and no name on the way is looked up twice.
    const int next = openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    if (next < 0 && error == ENOTDIR) {
      // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link as for a file.
      struct stat st;
      if (fstatat(folder, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
    }
    if (folder != root_) close(folder);
    if (next < 0) {
      errno = error;
      return -1;
    }
    folder = next;
  }
  return Remember(relative_folder, folder);
}

FileStatus Places::Locate(const std::string& path, bool writing, Place* place) {
  place->below_root = false;
  const bool under = root_ >= 0 && path.compare(0, root_path_.size(), root_path_) == 0 &&
                     (path.size() == root_path_.size() || path[root_path_.size()] == '/' ||
                      root_path_ == "/");
  if (!under) {
    if (confined_ && writing) return FileStatus(FileResult::kFailed, EACCES);
    const size_t slash = path.rfind('/');
    if (path.size() < PATH_MAX || slash == std::string::npos) {
      place->folder = AT_FDCWD;
      place->name = path;
      return FileStatus();
    }
    place->owned = OpenFolder(path.substr(0, slash == 0 ? 1 : slash));
    if (place->owned < 0) return FileStatus(FileResult::kFailed, static_cast<uint32_t>(errno));
    place->folder = place->owned;
    place->name = path.substr(slash + 1);
    return FileStatus();
  }
  place->below_root = true;
  const std::vector<std::string> parts = Components(path.substr(root_path_.size()));
  for (const std::string& part : parts) {
    if (part == "." || part == "..") return FileStatus(FileResult::kFailed, EINVAL);
  }
  if (parts.empty()) {
    place->folder = root_;
    place->name = ".";
    return FileStatus();
  }
  std::string folder;
  for (size_t i = 0; i + 1 < parts.size(); ++i) folder += (i ? "/" : "") + parts[i];
  const int fd = WalkBelowRoot(folder);
  if (fd < 0) {
    const int error = errno;
    return FileStatus(error == ENOENT ? FileResult::kMissing : FileResult::kFailed,
                      static_cast<uint32_t>(error));
  }
  place->folder = fd;
  place->name = parts.back();
  return FileStatus();
}

}  // namespace kestrune::posix
