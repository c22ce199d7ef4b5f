// Loops around POSIX calls that may do only part of their work at once.
#ifndef KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_
#define KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kestrune::posix {

// The target of the symbolic link at `path`, however long; false with errno
// set when it cannot be read.
bool ReadLink(const std::string& path, std::string* target);

// Whether two looks saw one file: its device and its inode both, as an
// inode number is reused on another device and on this one once freed.
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes all of `bytes`, going on after short writes and interruptions;
// false with errno set otherwise.
bool WriteAll(int fd, std::string_view bytes);

// Reads `fd` to its end in blocks of `block`'s size, handing each to `take`;
// false with errno set when a read fails, or when `take` answers false
// (with errno set) to stop on a failure of its own.
template <typename Take>
bool ReadEach(int fd, std::vector<char>* block, Take take) {
  for (;;) {
    const ssize_t n = read(fd, block->data(), block->size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if constexpr (std::is_same_v<decltype(take(block->data(), size_t{0})), bool>) {
      if (!take(block->data(), static_cast<size_t>(n))) return false;
    } else {
      take(block->data(), static_cast<size_t>(n));
    }
  }
}

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_
