#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

VersionLibrary::Outcome PosixVersionLibrary::CallVersionEntry(
    const std::wstring& path, uint8_t* buffer, int32_t size, int32_t flags) {
  // Non-blocking, so that this open returns at once on a FIFO put in place of
  // the library too.
  const std::string file = Utf8FromWide(path);
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Outcome::kNotLoaded;
  void* library = nullptr;
  if (IsWholeSharedObject(fd) && StillNames(file, fd)) {
    // Loaded by its path, not through /proc/self/fd: the library's own
    // dependencies are found beside it ($ORIGIN), as on Windows. The name
    // was checked to lead to the file checked just before.
    library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  close(fd);
  if (library == nullptr) return Outcome::kNotLoaded;
  void* symbol = dlsym(library, kVersionEntry);
  if (symbol == nullptr) {
    dlclose(library);
    return Outcome::kNoEntry;
  }
  reinterpret_cast<VersionEntry>(symbol)(buffer, size, flags);
  dlclose(library);
  return Outcome::kCalled;
}

}  // namespace kestrune::posix
