#include <unistd.h>

#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/posix/ini_file.h"
#include "platform/utf.h"

namespace kestrune::posix {

std::wstring PosixEnvironment::ModulePath() {
  // /proc/self/exe, not argv[0]: the package is where the program really is,
  // whatever name or relative path it was started by.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::wstring();
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      return WideFromUtf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool PosixEnvironment::SetCurrentFolder(const std::wstring& path) {
  return chdir(Utf8FromWide(path).c_str()) == 0;
}

std::wstring PosixProfileReader::ReadString(const std::wstring& section,
                                            const std::wstring& key,
                                            const std::wstring& path,
                                            size_t capacity) {
  return ReadProfileString(Utf8FromWide(path), section, key, capacity);
}

}  // namespace kestrune::posix
