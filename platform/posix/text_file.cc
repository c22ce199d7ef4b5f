#include "platform/posix/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/posix/io_posix.h"
#include "platform/utf.h"

namespace kestrune::posix {

// Opens without blocking and takes regular files only, so that a FIFO or an
// endless device given in place of the file cannot stall the run.
bool ReadFileBytes(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  std::vector<char> block(1 << 16);
  const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                  ReadEach(fd, &block, [bytes](const char* data, size_t size) {
                    bytes->append(data, size);
                  });
  close(fd);
  return ok;
}

// Windows takes a file that starts with a UTF-16 byte-order mark, of either
// byte order, as UTF-16; where it would use the ANSI code page, the port
// reads UTF-8.
std::wstring DecodeText(std::string_view bytes) {
  if (bytes.substr(0, 2) == std::string_view("\xFF\xFE", 2)) {
    return WideFromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2,
                           bytes.size() - 2);
  }
  if (bytes.substr(0, 2) == std::string_view("\xFE\xFF", 2)) {
    std::string swapped(bytes.substr(2, (bytes.size() - 2) & ~size_t{1}));
    for (size_t i = 0; i < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    return WideFromUtf16Le(reinterpret_cast<const uint8_t*>(swapped.data()),
                           swapped.size());
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return WideFromUtf8(bytes);
}

std::wstring_view NextLine(std::wstring_view text, size_t* pos) {
  const size_t begin = *pos;
  size_t end = begin;
  while (end < text.size() && text[end] != L'\n' && text[end] != L'\r') ++end;
  *pos = end;
  if (*pos < text.size() && text[*pos] == L'\r') ++*pos;
  if (*pos < text.size() && text[*pos] == L'\n') ++*pos;
  return text.substr(begin, end - begin);
}

}  // namespace kestrune::posix
