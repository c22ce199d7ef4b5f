#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {

namespace {

void WriteAll(int fd, const std::string& record) {
  size_t written = 0;
  while (written < record.size()) {
    const ssize_t n = write(fd, record.data() + written, record.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

}  // namespace

void PosixMessages::Show(const std::wstring& text, const std::wstring& caption,
                         Style /*style*/) {
  // One write per record, so that records from concurrent runs sharing a
  // terminal or log do not interleave mid-line.
  WriteAll(STDERR_FILENO, Utf8FromWide(caption) + ": " + Utf8FromWide(text) + "\n");
}

void PosixMessages::ShowUsage(const std::wstring& text, const std::wstring& caption,
                              bool mistake) {
  if (mistake) {
    Show(text, caption, Style::kPlain);
  } else {
    WriteAll(STDOUT_FILENO, Utf8FromWide(text) + "\n");
  }
}

}  // namespace kestrune::posix
