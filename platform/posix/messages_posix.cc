#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {

void PosixMessages::Show(const std::wstring& text, const std::wstring& caption,
                         Style /*style*/) {
  // One write per record, so that records from concurrent runs sharing a
  // terminal or log do not interleave mid-line.
  const std::string record = Utf8FromWide(caption) + ": " + Utf8FromWide(text) + "\n";
  size_t written = 0;
  while (written < record.size()) {
    const ssize_t n = write(STDERR_FILENO, record.data() + written, record.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

}  // namespace kestrune::posix
