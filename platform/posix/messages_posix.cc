#include <unistd.h>

#include <string>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {

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
