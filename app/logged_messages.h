// The messages of a run as the stages show them: each goes to the log, and
// to the screen unless the run is quiet.
#ifndef KESTRUNE_APP_LOGGED_MESSAGES_H_
#define KESTRUNE_APP_LOGGED_MESSAGES_H_

#include <string>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

class LoggedMessages : public Messages {
 public:
  LoggedMessages(Messages& screen, RunLog& log, bool quiet)
      : screen_(screen), log_(log), quiet_(quiet) {}

  void Show(const std::wstring& text, const std::wstring& caption, Style style) override {
    log_.Line(L"message " + caption + L": " + text);
    // On disk before the box waits for a click that may never come.
    log_.Flush();
    if (!quiet_) screen_.Show(text, caption, style);
  }
  void ShowUsage(const std::wstring& text, const std::wstring& caption,
                 bool mistake) override {
    if (!quiet_) screen_.ShowUsage(text, caption, mistake);
  }

 private:
  Messages& screen_;
  RunLog& log_;
  const bool quiet_;
};

}  // namespace kestrune

#endif  // KESTRUNE_APP_LOGGED_MESSAGES_H_
