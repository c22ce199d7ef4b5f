#include "tests/posix/temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/utf.h"

namespace kestrune::testing {
namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void SnapshotInto(const std::string& base, const std::string& relative,
                  std::map<std::string, std::string>* out) {
  const std::string path = relative.empty() ? base : base + "/" + relative;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat((base + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*out)[child] = "/";
      SnapshotInto(base, child, out);
    } else {
      std::ifstream in(base + "/" + child, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      (*out)[child] = content.str();
    }
  }
  closedir(dir);
}

}  // namespace

TempTree::TempTree() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kestrune-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  root_ = pattern;
  // Reachable by the unprivileged child of RunUnprivileged.
  chmod(root_.c_str(), 0777);
}

TempTree::~TempTree() { RemoveTree(root_); }

std::wstring TempTree::wroot() const { return WideFromUtf8(root_); }

void TempTree::MakeFolder(const std::string& relative) {
  std::string path = root_;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    path += "/" + relative.substr(start, end - start);
    mkdir(path.c_str(), 0777);
    start = end + 1;
  }
}

void TempTree::Write(const std::string& relative, const std::string& content, mode_t mode) {
  const size_t slash = relative.rfind('/');
  if (slash != std::string::npos) MakeFolder(relative.substr(0, slash));
  const std::string path = Path(relative);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) std::abort();
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    std::abort();
  }
  fchmod(fd, mode);
  close(fd);
}

std::string TempTree::Read(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempTree::Exists(const std::string& relative) const {
  struct stat st;
  return lstat(Path(relative).c_str(), &st) == 0;
}

std::map<std::string, std::string> TempTree::Snapshot(const std::string& relative) const {
  std::map<std::string, std::string> out;
  SnapshotInto(Path(relative), "", &out);
  return out;
}

bool RunUnprivileged(bool (*check)(const std::string&), const std::string& argument) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(check(argument) ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kestrune::testing
