#include "platform/posix/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

std::wstring_view Trim(std::wstring_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Windows takes a file that starts with the UTF-16LE byte-order mark as
// UTF-16; where it would use the ANSI code page, the port reads UTF-8.
std::wstring DecodeText(std::string_view bytes) {
  if (bytes.substr(0, 2) == std::string_view("\xFF\xFE", 2)) {
    return WideFromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2,
                           bytes.size() - 2);
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return WideFromUtf8(bytes);
}

// The line that starts at *pos; moves *pos past its end (CR LF, LF or CR).
std::wstring_view NextLine(std::wstring_view text, size_t* pos) {
  const size_t begin = *pos;
  size_t end = begin;
  while (end < text.size() && text[end] != L'\n' && text[end] != L'\r') ++end;
  *pos = end;
  if (*pos < text.size() && text[*pos] == L'\r') ++*pos;
  if (*pos < text.size() && text[*pos] == L'\n') ++*pos;
  return text.substr(begin, end - begin);
}

// Opens without blocking and takes regular files only, so that a FIFO or an
// endless device given as the settings file cannot stall the run.
bool ReadFileBytes(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[1 << 16];
  while (ok) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      bytes->append(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  close(fd);
  return ok;
}

}  // namespace

std::wstring ProfileStringFromBytes(std::string_view file_bytes,
                                    std::wstring_view section,
                                    std::wstring_view key, size_t capacity) {
  if (capacity == 0) return {};
  const std::wstring text = DecodeText(file_bytes);
  section = Trim(section);
  key = Trim(key);
  // Lines before the first section header belong to no section.
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const std::wstring_view line = Trim(NextLine(text, &pos));
    if (line.empty() || line[0] == L';') continue;
    if (line[0] == L'[') {
      const size_t close = line.find(L']');
      // A '[' line without ']' is no header; it is read as a key line below.
      if (close != std::wstring_view::npos) {
        // Only the first section of a name is searched.
        if (in_section) return {};
        in_section =
            EqualsIgnoreAsciiCase(Trim(line.substr(1, close - 1)), section);
        continue;
      }
    }
    if (!in_section) continue;
    const size_t equals = line.find(L'=');
    if (!EqualsIgnoreAsciiCase(Trim(line.substr(0, equals)), key)) continue;
    std::wstring_view value;
    if (equals != std::wstring_view::npos) {
      value = Trim(line.substr(equals + 1));
    }
    if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
        value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    // The Windows call fills a C string buffer: a NUL ends the value there.
    value = value.substr(0, value.find(L'\0'));
    return std::wstring(value.substr(0, capacity - 1));
  }
  return {};
}

std::wstring ReadProfileString(const std::string& path,
                               std::wstring_view section, std::wstring_view key,
                               size_t capacity) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return {};
  return ProfileStringFromBytes(bytes, section, key, capacity);
}

}  // namespace kestrune::posix
