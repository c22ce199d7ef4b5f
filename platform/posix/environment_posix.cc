#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
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
