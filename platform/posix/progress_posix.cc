#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"

namespace kestrune::posix {
namespace {

// A terminal redrawn more often than this only flickers.
constexpr uint64_t kRedrawMs = 100;
// Back to the line's start, and the rest of it cleared.
constexpr char kCarriageReturn[] = "\r";
constexpr char kClearToEnd[] = "\033[K";

}  // namespace

PosixProgress::PosixProgress(int fd, unsigned delay_ms)
    : fd_(fd), terminal_(isatty(fd) == 1), shows_at_ms_(NowMs() + delay_ms) {}

uint64_t PosixProgress::NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void PosixProgress::Start(const std::wstring& /*title*/) { started_ = terminal_; }

void PosixProgress::Report(const std::wstring& text, size_t done, size_t total) {
  if (!started_) return;
  const uint64_t now = NowMs();
  if (now < shows_at_ms_ || (shown_ && now < written_at_ms_ + kRedrawMs)) return;
  std::string line = kCarriageReturn + Utf8FromWide(text);
  if (total > 0) line += " [" + std::to_string(done * 100 / total) + "%]";
  WriteAll(fd_, line + kClearToEnd);
  written_at_ms_ = now;
  shown_ = true;
}

void PosixProgress::Close() {
  if (!shown_) return;
  WriteAll(fd_, std::string(kCarriageReturn) + kClearToEnd);
  shown_ = false;
}

}  // namespace kestrune::posix
