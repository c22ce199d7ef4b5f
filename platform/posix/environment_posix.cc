#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <utility>
#include <vector>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/trust.h"
#include "platform/utf.h"

namespace kestrune::posix {

std::wstring PosixEnvironment::ModulePath() {
  // /proc/self/exe, not argv[0]: the package is where the program really is,
  // whatever name or relative path it was started by.
  std::string path;
  return ReadLink("/proc/self/exe", &path) ? WideFromUtf8(path) : std::wstring();
}

bool PosixEnvironment::SetCurrentFolder(const std::wstring& path) {
  return chdir(Utf8FromWide(path).c_str()) == 0;
}

std::vector<std::wstring> PosixEnvironment::Arguments() {
  std::vector<std::wstring> arguments;
  for (size_t i = 1; i < arguments_.size(); ++i) arguments.push_back(WideFromUtf8(arguments_[i]));
  return arguments;
}

std::wstring PosixEnvironment::CommandLine() {
  std::string line;
  for (const std::string& argument : arguments_) {
    if (!line.empty()) line += ' ';
    // Quoted where a space would make the log line ambiguous.
    line += argument.find_first_of(" \t") == std::string::npos ? argument : "'" + argument + "'";
  }
  return WideFromUtf8(line);
}

LocalTime PosixEnvironment::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != known_second_) {
    localtime_r(&now.tv_sec, &known_);
    known_second_ = now.tv_sec;
  }
  const tm& local = known_;
  LocalTime time;
  time.year = local.tm_year + 1900;
  time.month = local.tm_mon + 1;
  time.day = local.tm_mday;
  time.hour = local.tm_hour;
  time.minute = local.tm_min;
  time.second = local.tm_sec;
  time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  time.utc_offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
  return time;
}

void PosixEnvironment::Sleep(unsigned milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::wstring PosixEnvironment::ErrorText(uint32_t code) {
  char buffer[256];
  // The GNU form returns the text, which may or may not be in the buffer.
  return WideFromUtf8(strerror_r(static_cast<int>(code), buffer, sizeof buffer));
}

namespace {

// Every run holds the log for a moment, so a wait longer than a second
// means some other program holds it: the run then writes unheld.
constexpr int kHoldYields = 100;
constexpr int kHoldWaits = 1000;  // of a millisecond each

class PosixLogFile : public LogFile {
 public:
  explicit PosixLogFile(int fd) : fd_(fd) {}
  ~PosixLogFile() override { close(fd_); }
  PosixLogFile(const PosixLogFile&) = delete;
  PosixLogFile& operator=(const PosixLogFile&) = delete;

  void Hold() override {
    for (int tries = 0; !unheld_;) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if (errno == EINTR) continue;
      // A file system without locks, or a holder that does not let go.
      if (errno != EWOULDBLOCK || ++tries > kHoldYields + kHoldWaits) {
        unheld_ = true;
        return;
      }
      if (tries <= kHoldYields) {
        sched_yield();
      } else {
        timespec wait{0, 1000000L};
        nanosleep(&wait, nullptr);
      }
    }
  }
  bool Append(const std::string& utf8) override {
    // O_APPEND: the one write lands at the end whoever else appends.
    const bool written = WriteAll(fd_, utf8);
    if (held_) flock(fd_, LOCK_UN);
    held_ = false;
    return written;
  }

 private:
  const int fd_;
  bool held_ = false;
  bool unheld_ = false;
};

}  // namespace

std::unique_ptr<LogFile> PosixEnvironment::OpenLog(const std::wstring& path) {
  // O_APPEND puts every write at the end, whoever else appends; opened
  // without blocking so that a FIFO named as the log cannot hold the run.
  const std::string name = Utf8FromWide(path);
  auto open_log = [&name] {
    return open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  };
  int fd = open_log();
  if (fd < 0 && errno == ENOENT) {
    // Each folder on the way, outermost first; those that exist refuse.
    for (size_t end = name.find('/', 1); end != std::string::npos; end = name.find('/', end + 1)) {
      if (name[end - 1] != '/') mkdir(name.substr(0, end).c_str(), 0755);
    }
    fd = open_log();
  }
  if (fd < 0) return nullptr;
  fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
  return std::make_unique<PosixLogFile>(fd);
}

namespace {

// An open descriptor, closed on every way out.
struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() {
    const int value = fd;
    fd = -1;
    return value;
  }
};

// The folder at the absolute `path`, each part opened from the one before
// without following a link; missing parts made (mode 0700) with `make`.
int OpenFolderWithoutLinks(const std::string& path, bool make) {
  Fd folder(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  size_t start = 1;
  while (folder.fd >= 0 && start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return -1;
    int next = openat(folder.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && make && mkdirat(folder.fd, part.c_str(), 0700) == 0) {
      next = openat(folder.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    Fd opened(next);
    std::swap(folder.fd, opened.fd);
  }
  return folder.release();
}

// The journal's rule, asked of what the descriptor holds.
bool Trusted(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 &&
         JudgeOwnership(OwnershipOfMode(st.st_uid, st.st_gid, st.st_mode, geteuid())).trusted;
}

}  // namespace

std::unique_ptr<LogFile> PosixEnvironment::OpenDefaultLog(uint64_t limit) {
  // Root writes the system's log folder; anyone else the state folder of
  // their own. KESTRUNE_LOG_FOLDER is for the test suites alone, which run
  // as root and must not write the machine's /var/log.
  std::string folder;
  bool make = geteuid() != 0;  // /var/log is the system's to make
  const char* forced = getenv("KESTRUNE_LOG_FOLDER");
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  if (forced != nullptr && forced[0] == '/') {
    folder = forced;
    make = true;
  } else if (geteuid() == 0) {
    folder = "/var/log";
  } else if (state != nullptr && state[0] == '/') {
    folder = state;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return nullptr;
  }
  Fd held(OpenFolderWithoutLinks(folder, make));
  if (held.fd < 0 || !Trusted(held.fd)) return nullptr;
  constexpr char kName[] = "kestrune.log";
  // Never through a link, never waiting on a pipe; a file of someone
  // else's, or one others may change, is not written.
  const auto open_log = [&held, &kName] {
    return openat(held.fd, kName,
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  };
  for (int round = 0; round < 2; ++round) {
    Fd log(open_log());
    struct stat st;
    if (log.fd < 0 || fstat(log.fd, &st) != 0 || !S_ISREG(st.st_mode) || !Trusted(log.fd)) {
      return nullptr;
    }
    if (static_cast<uint64_t>(st.st_size) < limit || round == 1) {
      fcntl(log.fd, F_SETFL, O_WRONLY | O_APPEND);
      return std::make_unique<PosixLogFile>(log.release());
    }
    // Another run may have moved it already: a new one is made all the same.
    renameat(held.fd, kName, held.fd, "kestrune.old.log");
  }
  return nullptr;
}

uint32_t PosixEnvironment::ProcessId() { return static_cast<uint32_t>(getpid()); }

RunAccount PosixEnvironment::Account() {
  RunAccount account;
  utsname names{};
  if (uname(&names) == 0) account.computer = WideFromUtf8(names.nodename);
  // The effective user: the one whose rights the run has.
  const uid_t uid = geteuid();
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    account.account = WideFromUtf8(found->pw_name);
  } else {
    account.account = L"uid " + std::to_wstring(uid);
  }
  account.elevation = uid == 0 ? Elevation::kElevated : Elevation::kNotElevated;
  return account;
}

}  // namespace kestrune::posix
