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
  if (spares != nullptr) spares->push_back(std::move(name));
}

bool Places::Tree::Holds(const std::string& target) const {
  return root >= 0 && target.compare(0, path.size(), path) == 0 &&
         (target.size() == path.size() || target[path.size()] == '/' || path == "/");
}

void Places::Tree::Close() {
  for (const auto& entry : recent) close(entry.second);
  recent.clear();
  if (root >= 0) close(root);
  root = -1;
}

Places::~Places() {
  installation_.Close();
  package_.Close();
  for (int fd : other_devices_) close(fd);
}

void Places::NoteDevice(int folder) {
  struct stat st;
  if (fstat(folder, &st) != 0 || st.st_dev == root_device_) return;
  for (dev_t seen : devices_seen_) {
    if (seen == st.st_dev) return;
  }
  devices_seen_.push_back(st.st_dev);
  const int kept = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (kept >= 0) other_devices_.push_back(kept);
}

FileStatus Places::Confine(const std::string& installation) {
  // Once asked for, writes are refused everywhere until the folder opens.
  confined_ = true;
  installation_.Close();
  const int fd = OpenFolder(installation);
  if (fd < 0) return FileStatus(FileResult::kFailed, static_cast<uint32_t>(errno));
  installation_.root = fd;
  installation_.path = installation;
  struct stat st;
  root_device_ = fstat(fd, &st) == 0 ? st.st_dev : 0;
  while (installation_.path.size() > 1 && installation_.path.back() == '/') {
    installation_.path.pop_back();
  }
  return FileStatus();
}

void Places::OpenPackage(const std::string& package) {
  package_.Close();
  package_.root = OpenFolder(package);
  package_.path = package;
  while (package_.path.size() > 1 && package_.path.back() == '/') package_.path.pop_back();
}

int Places::OpenFolder(const std::string& path) {
  return OpenBelow(AT_FDCWD, path.empty() ? "." : path, O_RDONLY | O_DIRECTORY);
}

int Places::WalkBelow(Tree& tree, const std::string& relative_folder) {
  if (relative_folder.empty()) return tree.root;
  for (const auto& entry : tree.recent) {
    if (entry.first == relative_folder) return entry.second;
  }
  int folder = tree.root;
  for (const std::string& part : Components(relative_folder)) {
    // Each step is taken from the folder before it and refuses a link:
    // nothing planted below the folder can send a call elsewhere, and no
    // name on the way is looked up twice.
    const int next = openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = errno;
    if (next < 0 && error == ENOTDIR) {
      // O_NOFOLLOW with O_DIRECTORY says ENOTDIR for a link as for a file.
      struct stat st;
      if (fstatat(folder, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
    }
    if (folder != tree.root) close(folder);
    if (next < 0) {
      errno = error;
      return -1;
    }
    folder = next;
    if (&tree == &installation_) NoteDevice(folder);
  }
  if (tree.recent.size() == kRecentFolders) {
    close(tree.recent.front().second);
    tree.recent.erase(tree.recent.begin());
  }
  tree.recent.emplace_back(relative_folder, folder);
  return folder;
}

bool Places::PlaceBelow(Tree& tree, const std::string& path, Place* place) {
  const std::vector<std::string> parts = Components(path.substr(tree.path.size()));
  for (const std::string& part : parts) {
    if (part == "." || part == "..") {
      errno = EINVAL;
      return false;
    }
  }
  if (parts.empty()) {
    place->folder = tree.root;
    place->name = ".";
    return true;
  }
  std::string folder;
  for (size_t i = 0; i + 1 < parts.size(); ++i) folder += (i ? "/" : "") + parts[i];
  const int fd = WalkBelow(tree, folder);
  if (fd < 0) return false;
  place->folder = fd;
  place->name = parts.back();
  return true;
}

int Places::HoldFolder(const std::string& path, bool* below_root) {
  *below_root = installation_.Holds(path);
  Tree* tree = *below_root ? &installation_ : package_.Holds(path) ? &package_ : nullptr;
  if (tree == nullptr) return -1;
  std::string relative;
  for (const std::string& part : Components(path.substr(tree->path.size()))) {
    if (part == "." || part == "..") return -1;
    relative += (relative.empty() ? "" : "/") + part;
  }
  const int fd = WalkBelow(*tree, relative);
  return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

FileStatus Places::Locate(const std::string& path, bool writing, Place* place) {
  place->below_root = installation_.Holds(path);
  place->link_free = false;
  if (place->below_root) {
    if (PlaceBelow(installation_, path, place)) return FileStatus();
    const int error = errno;
    return FileStatus(error == ENOENT ? FileResult::kMissing : FileResult::kFailed,
                      static_cast<uint32_t>(error));
  }
  if (confined_ && writing) return FileStatus(FileResult::kFailed, EACCES);
  if (!writing && package_.Holds(path)) {
    if (PlaceBelow(package_, path, place)) {
      place->link_free = true;
      return FileStatus();
    }
    // A link on the way (one inside the package is followed): the path
    // itself then, and whoever opens it checks where it led.
    if (errno != ELOOP) {
      const int error = errno;
      return FileStatus(error == ENOENT ? FileResult::kMissing : FileResult::kFailed,
                        static_cast<uint32_t>(error));
    }
  }
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

}  // namespace kestrune::posix
