#include "run/progress_text.h"

#include "run/messages.h"

namespace kestrune {
namespace {

// An estimate from less work than this swings too far to be worth showing.
constexpr uint64_t kEstimateAfterMs = 3000;

}  // namespace

std::wstring ProgressCount(size_t done, size_t total) {
  const size_t at = done < total ? done + 1 : total;
  // In 64 bits: a count of files times 100 does not fit in 32.
  const uint64_t percent = total == 0 ? 0 : static_cast<uint64_t>(done) * 100 / total;
  return std::to_wstring(at) + msg::kOfFiles + std::to_wstring(total) + msg::kFilesPercent +
         std::to_wstring(percent) + L"%)";
}

std::wstring ProgressTimeLeft(uint64_t worked_ms, size_t done, size_t total) {
  if (worked_ms < kEstimateAfterMs || done == 0 || done >= total) return std::wstring();
  const double left_ms = static_cast<double>(worked_ms) * static_cast<double>(total - done) /
                         static_cast<double>(done);
  // Whole seconds, rounded up: "About 0 seconds" would say nothing.
  const uint64_t seconds = static_cast<uint64_t>(left_ms / 1000) + 1;
  // Rounded as a person would say it: in fives under a minute, then in
  // minutes, then in hours.
  if (seconds <= 50) {
    return msg::kAbout + std::to_wstring((seconds + 4) / 5 * 5) + msg::kSecondsLeft;
  }
  if (seconds < 90) return msg::kAbout + std::wstring(L"1") + msg::kMinuteLeft;
  const uint64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return msg::kAbout + std::to_wstring(minutes) + msg::kMinutesLeft;
  const uint64_t hours = (seconds + 1800) / 3600;
  return msg::kAbout + std::to_wstring(hours) + (hours == 1 ? msg::kHourLeft : msg::kHoursLeft);
}

std::wstring ProgressWaiting(std::wstring_view file, std::wstring_view programs) {
  std::wstring text = msg::kWaitingFor;
  text += file;
  text += msg::kWaitingClose;
  if (programs.empty()) {
    text += msg::kUnnamedProgram;
  } else {
    text += programs;
  }
  return text;
}

Progress::Texts ProgressTexts() {
  Progress::Texts texts;
  texts.caption = msg::kProgressCaption;
  texts.cancel = msg::kCancelButton;
  texts.question = msg::kCancelQuestion;
  texts.question_caption = msg::kCancelQuestionCaption;
  texts.count = ProgressCount;
  texts.time_left = ProgressTimeLeft;
  texts.waiting = ProgressWaiting;
  return texts;
}

}  // namespace kestrune
