#include <signal.h>
#include <sys/ioctl.h>
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
// Where the terminal does not say how wide it is.
constexpr size_t kDefaultColumns = 80;
constexpr wchar_t kEllipsis[] = L"...";

// Set by the handler, read by the run between two files; nothing else is
// safe to do in a handler.
volatile sig_atomic_t cancel_signalled = 0;

extern "C" void OnCancelSignal(int) { cancel_signalled = 1; }

// `text` cut in its middle to `width` characters, so that a path keeps its
// start and its file name.
std::wstring Shortened(const std::wstring& text, size_t width) {
  const size_t dots = sizeof kEllipsis / sizeof kEllipsis[0] - 1;
  if (text.size() <= width) return text;
  if (width <= dots) return text.substr(text.size() - width);
  const size_t tail = (width - dots) * 2 / 3;
  return text.substr(0, width - dots - tail) + kEllipsis + text.substr(text.size() - tail);
}

}  // namespace

PosixProgress::PosixProgress(int fd, unsigned delay_ms)
    : fd_(fd), terminal_(isatty(fd) == 1), shows_at_ms_(NowMs() + delay_ms) {}

uint64_t PosixProgress::NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool PosixProgress::Start(const Texts& texts) {
  texts_ = texts;
  started_ = terminal_;
  return started_;
}

void PosixProgress::Report(std::wstring_view stage, size_t done, size_t total,
                           std::wstring_view folder, std::wstring_view name) {
  if (!started_) return;
  if (stage != stage_ || total != total_) {
    stage_.assign(stage);
    stage_started_ms_ = NowMs();
  }
  done_ = done;
  total_ = total;
  file_.assign(folder).append(name);
  Draw(false);
}

void PosixProgress::Waiting(std::wstring_view file, std::wstring_view programs) {
  if (!started_) return;
  waiting_ = file.empty() ? std::wstring() : texts_.waiting(file, programs);
  Draw(true);
}

void PosixProgress::Draw(bool now_or_never) {
  const uint64_t now = NowMs();
  if (now < shows_at_ms_ || (shown_ && !now_or_never && now < written_at_ms_ + kRedrawMs)) return;
  std::wstring line = stage_;
  if (total_ > 0) {
    line += L": " + texts_.count(done_, total_);
    const std::wstring left = texts_.time_left(now - stage_started_ms_, done_, total_);
    if (!left.empty()) line += L", " + left;
  }
  const std::wstring& item = waiting_.empty() ? file_ : waiting_;
  if (!item.empty()) {
    // One line of the terminal, or the next redraw starts below the last.
    winsize size{};
    const size_t columns =
        ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : kDefaultColumns;
    const size_t room = columns - 1 > line.size() + 3 ? columns - 1 - line.size() - 3 : 0;
    if (room > 0) line += L" - " + Shortened(item, room);
  }
  WriteAll(fd_, kCarriageReturn + Utf8FromWide(line) + kClearToEnd);
  written_at_ms_ = now;
  shown_ = true;
}

void PosixProgress::AllowCancel(bool allowed) {
  allowed_ = allowed;
  if (!allowed || handling_) return;
  // SA_RESTART: a signal must not make a file call of the run fail halfway.
  struct sigaction action {};
  action.sa_handler = OnCancelSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // One that came before would have ended the run.
  cancel_signalled = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  handling_ = true;
}

bool PosixProgress::CancelRequested() { return allowed_ && cancel_signalled != 0; }

void PosixProgress::Close() {
  if (!shown_) return;
  WriteAll(fd_, std::string(kCarriageReturn) + kClearToEnd);
  shown_ = false;
}

}  // namespace kestrune::posix
