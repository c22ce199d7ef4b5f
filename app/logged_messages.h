// The messages of a run as the stages show them: each goes to the log, and
// to the screen unless the run is quiet. The last one waits for the run's
// end: a box that waits for a click must not keep the lock, nor leave the
// log without its outcome, nor run before the work it reports is finished.
#ifndef KESTRUNE_APP_LOGGED_MESSAGES_H_
#define KESTRUNE_APP_LOGGED_MESSAGES_H_

#include <string>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

class LoggedMessages : public Messages {
 public:
  LoggedMessages(Messages& screen, Progress& progress, RunLog& log, bool quiet)
      : screen_(screen), progress_(progress), log_(log), quiet_(quiet) {}
  LoggedMessages(const LoggedMessages&) = delete;
  LoggedMessages& operator=(const LoggedMessages&) = delete;

  void Show(const std::wstring& text, const std::wstring& caption, Style style) override {
    log_.Line((quiet_ ? L"message not shown (quiet): " : L"message shown: ") + caption + L": " +
              text);
    if (quiet_) return;
    // One that another follows was not the run's last word: it is shown now.
    ShowHeld();
    held_ = Held{Held::kBox, text, caption, style, false};
  }
  void ShowUsage(const std::wstring& text, const std::wstring& caption,
                 bool mistake) override {
    if (quiet_) return;
    ShowHeld();
    held_ = Held{Held::kUsage, text, caption, Style::kPlain, mistake};
  }

  // Shows the message held back, if any; the run calls it once everything
  // else is done.
  void ShowHeld() {
    const Held held = std::move(held_);
    held_ = Held{};
    if (held.kind != Held::kNone) progress_.Close();
    switch (held.kind) {
      case Held::kNone:
        break;
      case Held::kBox:
        screen_.Show(held.text, held.caption, held.style);
        break;
      case Held::kUsage:
        screen_.ShowUsage(held.text, held.caption, held.mistake);
        break;
    }
  }

 private:
  struct Held {
    enum Kind { kNone, kBox, kUsage } kind = kNone;
    std::wstring text;
    std::wstring caption;
    Style style = Style::kPlain;
    bool mistake = false;
  };

  Messages& screen_;
  Progress& progress_;
  RunLog& log_;
  const bool quiet_;
  Held held_;
};

}  // namespace kestrune

#endif  // KESTRUNE_APP_LOGGED_MESSAGES_H_
