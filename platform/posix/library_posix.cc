#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/elf_check.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// Where a Windows library exports its version entry by ordinal, a shared
// object exports it by this name.
constexpr char kVersionEntry[] = "vouinfo_ordinal_18";
using VersionEntry = int32_t (*)(void* buffer, int32_t size, int32_t flags);
// Far longer than any version entry takes; a library still busy then hangs.
constexpr int kCallSeconds = 10;

// A library cut short, as an interrupted copy leaves it, still has headers
// that describe segments past the end of the file; the loader would map them
// and die of SIGBUS on the first touch instead of failing.
bool IsWholeSharedObject(int fd) {
  struct stat st;
  // The loader opens the file blocking: a FIFO in its place would hold the
  // run forever.
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

// True while `path` still names the file open as `fd`, unchanged in size.
bool StillNames(const std::string& path, int fd) {
  struct stat opened;
  struct stat named;
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
         opened.st_size == named.st_size;
}

// Loads the library and calls its entry; run in the child process.
VersionLibrary::Outcome LoadAndCall(const std::string& file, uint8_t* buffer, int32_t size,
                                    int32_t flags) {
  // Non-blocking, so that this open returns at once on a FIFO put in place of
  // the library too.
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return VersionLibrary::Outcome::kNotLoaded;
  void* library = nullptr;
  if (IsWholeSharedObject(fd) && StillNames(file, fd)) {
    // Loaded by its path, not through /proc/self/fd: the library's own
    // dependencies are found beside it ($ORIGIN), as on Windows. The name
    // was checked to lead to the file checked just before.
    library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  close(fd);
  if (library == nullptr) return VersionLibrary::Outcome::kNotLoaded;
  void* symbol = dlsym(library, kVersionEntry);
  if (symbol == nullptr) return VersionLibrary::Outcome::kNoEntry;
  reinterpret_cast<VersionEntry>(symbol)(buffer, size, flags);
  return VersionLibrary::Outcome::kCalled;
}

bool WriteWhole(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Reads what the child sends until it closes its end or the time is up.
bool ReadUntilClosed(int fd, std::string* out, int timeout_ms) {
  char block[256];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // hung, or poll failed
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out->append(block, static_cast<size_t>(got));
  }
}

}  // namespace

VersionLibrary::Outcome PosixVersionLibrary::CallVersionEntry(
    const std::wstring& path, uint8_t* buffer, int32_t size, int32_t flags) {
  // The library is the installation's, and a damaged one (a copy cut by a
  // power loss, its headers whole and its contents zero) can crash the
  // loader or hang in its entry. Called in a child process, a crash or a hang
  // is an answer like any other, and nothing it does reaches the run.
  const std::string file = Utf8FromWide(path);
  // The size and the terminator the library may write after it.
  const size_t kReturned = static_cast<size_t>(size) + 1;
  int channel[2];
  if (size < 0 || pipe2(channel, O_CLOEXEC) != 0) return Outcome::kNotLoaded;
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return Outcome::kNotLoaded;
  }
  if (child == 0) {
    close(channel[0]);
    // Dies with the run, and by itself when hung: it shares the run's open
    // files, the installation's lock among them.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(kCallSeconds + 1);
    // Room beyond the size, as the caller gives, for a library that writes
    // its terminator past it or a little too much.
    std::string room(1 + kReturned + 512, '\0');
    room[0] = static_cast<char>(
        LoadAndCall(file, reinterpret_cast<uint8_t*>(room.data() + 1), size, flags));
    _exit(WriteWhole(channel[1], room.data(), 1 + kReturned) ? 0 : 1);
  }
  close(channel[1]);
  std::string answer;
  const bool whole = ReadUntilClosed(channel[0], &answer, kCallSeconds * 1000);
  close(channel[0]);
  if (!whole) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      answer.size() != 1 + kReturned) {
    return Outcome::kFailed;
  }
  std::memcpy(buffer, answer.data() + 1, kReturned);
  return static_cast<Outcome>(answer[0]);
}

}  // namespace kestrune::posix
