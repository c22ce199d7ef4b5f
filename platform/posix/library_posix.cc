// The version library on POSIX: the installation's shared object, loaded and
// called in a child process that has given up every right the run has.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/elf_check.h"
#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// Where a Windows library exports its version entry by ordinal, a shared
// object exports it by this name.
constexpr char kVersionEntry[] = "vouinfo_ordinal_18";
using VersionEntry = int32_t (*)(void* buffer, int32_t size, int32_t flags);
// Far longer than any version entry takes, for the whole probe: a library
// that keeps answering a little at a time must not stretch it.
constexpr int kProbeSeconds = 10;
// The account a library runs as when the run is root, by name or else by
// the number most systems give it.
constexpr char kUnprivilegedName[] = "nobody";
constexpr uid_t kUnprivilegedId = 65534;

struct Account {
  uid_t uid;
  gid_t gid;
};

// Why the child did not call the entry; sent as one byte, so that nothing the
// library controls reaches the log as text.
enum class ChildCause : uint8_t {
  kNone,
  kCannotOpen,     // with the errno
  kNotWhole,       // the headers show no whole shared object of this machine
  kCannotDrop,     // root's rights could not be given up for good
  kLoaderRefused,  // dlopen failed (a missing dependency, say)
};

// The child's answer: outcome, cause, errno, then the buffer.
constexpr size_t kAnswerHead = 2 + sizeof(int32_t);

// Looked up before the fork: the name service may load modules and take
// locks, which a child of a forked process must not.
Account UnprivilegedAccount() {
  const passwd* entry = getpwnam(kUnprivilegedName);
  if (entry != nullptr && entry->pw_uid != 0 && entry->pw_gid != 0) {
    return {entry->pw_uid, entry->pw_gid};
  }
  return {kUnprivilegedId, kUnprivilegedId};
}

// A library cut short, as an interrupted copy leaves it, still has headers
// that describe segments past the end of the file; the loader would map them
// and die of SIGBUS on the first touch instead of failing.
bool IsWholeSharedObject(int fd) {
  struct stat st;
  // The loader opens the file blocking: a FIFO in its place would hold the
  // child until the deadline.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string head(std::min<uint64_t>(st.st_size, kSharedObjectHeadSize), '\0');
  size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = pread(fd, head.data() + got, head.size() - got, got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  head.resize(got);
  return IsCompleteSharedObject(head, static_cast<uint64_t>(st.st_size));
}

// True when `path`, as the child now sees it, leads to the file open as `fd`.
bool LeadsTo(const std::string& path, int fd) {
  struct stat opened;
  struct stat named;
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 && SameFile(opened, named);
}

// A copy of the checked file that this child owns, for the loader to open
// through /proc/self/fd where the child may not open the file itself again
// (the loader reopens what that name leads to, with the child's rights).
// -1 unless the copy holds every byte that was checked.
int CopyToMemory(int fd) {
  struct stat checked;
  const int copy = memfd_create("VoUInfo.dll", MFD_CLOEXEC);
  if (copy < 0 || fstat(fd, &checked) != 0) return -1;
  std::vector<char> block(64 * 1024);
  off_t at = 0;
  for (;;) {
    const ssize_t n = pread(fd, block.data(), block.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    if (!WriteAll(copy, std::string_view(block.data(), static_cast<size_t>(n)))) return -1;
    at += n;
  }
  if (at == checked.st_size) return copy;
  errno = EIO;  // the file changed since it was checked
  return -1;
}

// Gives up root for `account`, with no supplementary groups, and proves that
// none of it can be taken back.
bool DropRoot(const Account& account) {
  if (setgroups(0, nullptr) != 0 || setgid(account.gid) != 0 || setuid(account.uid) != 0) {
    return false;
  }
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) return false;
  if (ruid != account.uid || euid != account.uid || suid != account.uid ||
      rgid != account.gid || egid != account.gid || sgid != account.gid ||
      getgroups(0, nullptr) != 0) {
    return false;
  }
  return setuid(0) != 0 && setgid(0) != 0;
}

// Leaves the child only the descriptor of its answer, at `keep`, and the
// standard three on /dev/null: the run's lock, journal, log and held folders
// are not the library's to touch, and standard error carries the run's
// messages.
void CloseInherited(int keep) {
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) {
    if (fd != keep && null >= 0) dup2(null, fd);
  }
  auto close_from = [](unsigned first, unsigned last) {
    if (first > last) return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
    // Kernels before 5.9: as far as the limit on descriptors reaches.
    const long limit = sysconf(_SC_OPEN_MAX);
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(limit); ++fd) close(fd);
  };
  close_from(3, static_cast<unsigned>(keep) - 1);
  close_from(static_cast<unsigned>(keep) + 1, ~0U);
}

// Sends the child's answer, `returned` bytes of the buffer at the end of
// `message` after its head, and ends the child.
[[noreturn]] void Answer(int fd, std::string* message, size_t returned,
                         VersionLibrary::Outcome outcome, ChildCause cause, int32_t error) {
  (*message)[0] = static_cast<char>(outcome);
  (*message)[1] = static_cast<char>(cause);
  std::memcpy(&(*message)[2], &error, sizeof error);
  _exit(WriteAll(fd, std::string_view(*message).substr(0, kAnswerHead + returned)) ? 0 : 1);
}

// The child: opens the library with the run's rights, checks it, gives the
// rights up, and only then lets the loader run the library's code.
[[noreturn]] void RunChild(const std::string& file, int32_t size, int32_t flags, bool drop,
                           const Account& account, pid_t run, int answer) {
  // A group of its own, so that the run can end everything the library
  // starts with it.
  setpgid(0, 0);
  // Room beyond the size, as the caller gives, for a library that writes its
  // terminator past it or a little too much.
  const size_t returned = static_cast<size_t>(size) + 1;
  std::string message(kAnswerHead + returned + 512, '\0');
  auto finish = [&](VersionLibrary::Outcome outcome, ChildCause cause, int32_t error) {
    Answer(answer, &message, returned, outcome, cause, error);
  };
  // Above the standard three, which are about to be replaced.
  if (answer < 3) answer = fcntl(answer, F_DUPFD, 3);
  CloseInherited(answer);

  const size_t slash = file.rfind('/');
  const std::string folder_path =
      slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  // Opened while the run's rights still hold, so that a library in a folder
  // only root may enter still loads. The folder only as a place (O_PATH):
  // the library is not to list what its user could not. Non-blocking: a
  // FIFO in the library's place must not hold this open.
  const int folder = open(folder_path.c_str(), O_PATH | O_DIRECTORY);
  const int library = folder < 0 ? -1 : openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK);
  if (library < 0) finish(VersionLibrary::Outcome::kNotLoaded, ChildCause::kCannotOpen, errno);
  if (!IsWholeSharedObject(library)) {
    finish(VersionLibrary::Outcome::kNotLoaded, ChildCause::kNotWhole, 0);
  }
  if (drop && !DropRoot(account)) {
    finish(VersionLibrary::Outcome::kFailed, ChildCause::kCannotDrop, errno);
  }
  // Nothing the library starts may gain rights (a set-user-ID program);
  // set only now, as a change of user clears the parent-death signal.
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != run) _exit(1);
  alarm(kProbeSeconds + 1);

  // Through the folder opened above, where the library's own dependencies
  // are found beside it ($ORIGIN), when its name leads this child to the
  // file checked; else through a copy of the checked file, as where this
  // child may not enter the folder (an installation only root may read).
  std::string load = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
  if (!LeadsTo(load, library)) {
    const int copy = CopyToMemory(library);
    if (copy < 0) finish(VersionLibrary::Outcome::kNotLoaded, ChildCause::kCannotOpen, errno);
    load = "/proc/self/fd/" + std::to_string(copy);
  }
  void* loaded = dlopen(load.c_str(), RTLD_NOW | RTLD_LOCAL);
  close(library);
  if (loaded == nullptr) {
    finish(VersionLibrary::Outcome::kNotLoaded, ChildCause::kLoaderRefused, 0);
  }
  void* symbol = dlsym(loaded, kVersionEntry);
  if (symbol == nullptr) finish(VersionLibrary::Outcome::kNoEntry, ChildCause::kNone, 0);
  reinterpret_cast<VersionEntry>(symbol)(&message[kAnswerHead], size, flags);
  dlclose(loaded);
  Answer(answer, &message, returned, VersionLibrary::Outcome::kCalled, ChildCause::kNone, 0);
}

std::wstring ChildCauseText(ChildCause cause, int32_t error) {
  switch (cause) {
    case ChildCause::kCannotOpen:
      return L"cannot be opened: " + WideFromUtf8(std::strerror(error));
    case ChildCause::kNotWhole:
      return L"not a whole shared object of this machine";
    case ChildCause::kCannotDrop:
      return L"the probe could not give up root: " + WideFromUtf8(std::strerror(error));
    case ChildCause::kLoaderRefused:
      return L"the loader refused it";
    case ChildCause::kNone:
      break;
  }
  return L"";
}

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Reads up to `want` bytes, until the writers close the pipe or the
// deadline passes; false on the deadline.
bool ReadBefore(int fd, size_t want, int64_t deadline_ms, std::string* out) {
  char block[256];
  while (out->size() < want) {
    const int64_t left = deadline_ms - NowMs();
    if (left <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    const ssize_t got = read(fd, block, std::min(sizeof block, want - out->size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    out->append(block, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

VersionLibrary::Outcome PosixVersionLibrary::CallVersionEntry(const std::wstring& path,
                                                              uint8_t* buffer, int32_t size,
                                                              int32_t flags, std::wstring* cause) {
  // The library is the installation's, and anyone who may write there may
  // have put it there: it runs in a child with no rights, so that neither
  // its code nor a crash or hang of a damaged copy reaches the run.
  const std::string file = Utf8FromWide(path);
  const size_t returned = static_cast<size_t>(size) + 1;
  const bool drop = geteuid() == 0;
  const Account account = drop ? UnprivilegedAccount() : Account{};
  const int64_t deadline = NowMs() + kProbeSeconds * 1000;
  int channel[2];
  if (size < 0 || pipe2(channel, O_CLOEXEC) != 0) {
    *cause = L"no pipe for the probe: " + WideFromUtf8(std::strerror(errno));
    return Outcome::kFailed;
  }
  const pid_t run = getpid();
  const pid_t child = fork();
  if (child < 0) {
    *cause = L"the probe could not be started: " + WideFromUtf8(std::strerror(errno));
    close(channel[0]);
    close(channel[1]);
    return Outcome::kFailed;
  }
  if (child == 0) {
    close(channel[0]);
    RunChild(file, size, flags, drop, account, run, channel[1]);
  }
  close(channel[1]);
  // Set from both sides, so that the group exists whichever runs first.
  setpgid(child, child);
  std::string answer;
  const bool in_time = ReadBefore(channel[0], kAnswerHead + returned, deadline, &answer);
  close(channel[0]);
  // The whole group ends with the probe, a process the library started
  // included, whatever the answer.
  kill(-child, SIGKILL);
  kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!in_time) {
    *cause = L"no answer within " + std::to_wstring(kProbeSeconds) + L" s";
    return Outcome::kFailed;
  }
  if (answer.size() != kAnswerHead + returned) {
    *cause = WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL
                 ? L"the probe ended by signal " + std::to_wstring(WTERMSIG(status))
                 : L"the probe ended without an answer";
    return Outcome::kFailed;
  }
  // Only the answer's shape is trusted: the library may have written to
  // the pipe itself.
  const auto outcome = static_cast<Outcome>(static_cast<uint8_t>(answer[0]));
  const auto child_cause = static_cast<ChildCause>(answer[1]);
  if ((outcome != Outcome::kCalled && outcome != Outcome::kNotLoaded &&
       outcome != Outcome::kNoEntry && outcome != Outcome::kFailed) ||
      static_cast<uint8_t>(child_cause) > static_cast<uint8_t>(ChildCause::kLoaderRefused)) {
    *cause = L"the probe's answer is malformed";
    return Outcome::kFailed;
  }
  int32_t error = 0;
  std::memcpy(&error, answer.data() + 2, sizeof error);
  *cause = ChildCauseText(child_cause, error);
  std::memcpy(buffer, answer.data() + kAnswerHead, returned);
  return outcome;
}

}  // namespace kestrune::posix
