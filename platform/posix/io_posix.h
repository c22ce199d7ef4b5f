// Loops around two POSIX calls that may do only part of their work at once.
#ifndef KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_
#define KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_

#include <string>
#include <string_view>

namespace kestrune::posix {

// The target of the symbolic link at `path`, however long; false with errno
// set when it cannot be read.
bool ReadLink(const std::string& path, std::string* target);

// Writes all of `bytes`, going on after short writes and interruptions;
// false with errno set otherwise.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_IO_POSIX_H_
