#include "platform/posix/io_posix.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrune::posix {

bool ReadLink(const std::string& path, std::string* target) {
  // readlink gives no length of its own: a full buffer may be a cut one.
  std::string buffer(512, '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      *target = std::move(buffer);
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace kestrune::posix
