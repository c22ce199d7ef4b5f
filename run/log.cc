#include "run/log.h"

#include <cstdio>

#include "platform/utf.h"

namespace kestrune {
namespace {

constexpr std::wstring_view kFailed = L"failed: ";

}  // namespace

std::string FormatTimestamp(const LocalTime& t) {
  const int offset = t.utc_offset_minutes < 0 ? -t.utc_offset_minutes : t.utc_offset_minutes;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", t.year,
                t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                t.utc_offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

void RunLog::Start(Environment& environment, std::unique_ptr<LogFile> file) {
  environment_ = &environment;
  file_ = std::move(file);
  pid_ = " [" + std::to_string(environment.ProcessId()) + "] ";
}

void RunLog::Line(std::wstring_view text) {
  if (!enabled()) return;
  if (first_failure_.empty() && text.substr(0, kFailed.size()) == kFailed) {
    first_failure_ = text.substr(kFailed.size());
  }
  // The line is made whole before the file is held, with the last stamp
  // standing in for the new one, so that the hold lasts one clock read, a
  // copy of the stamp and one write.
  line_.assign(stamp_);
  line_ += pid_;
  const size_t start = line_.size();
  AppendUtf8FromWide(text, &line_);
  for (size_t i = start; i < line_.size(); ++i) {
    if (line_[i] == '\n' || line_[i] == '\r') line_[i] = ' ';
  }
  line_ += '\n';
  // Stamped while the file is held: a run sharing the log cannot write a
  // later stamp between this one and its write.
  file_->Hold();
  const LocalTime now = environment_->Now();
  if (stamp_.empty() || now.millisecond != stamped_.millisecond || now.second != stamped_.second ||
      now.minute != stamped_.minute || now.hour != stamped_.hour || now.day != stamped_.day ||
      now.month != stamped_.month || now.year != stamped_.year ||
      now.utc_offset_minutes != stamped_.utc_offset_minutes) {
    const size_t stood = stamp_.size();
    stamp_ = FormatTimestamp(now);
    stamped_ = now;
    line_.replace(0, stood, stamp_);
  }
  // A log that cannot be written does not stop the update.
  file_->Append(line_);
}

void RunLog::Failure(std::wstring_view operation, std::wstring_view path,
                     const FileStatus& status) {
  if (!enabled()) return;
  std::wstring text = L"failed: ";
  text += operation;
  text += L' ';
  text += path;
  if (status.code != 0) {
    text += L": error " + std::to_wstring(status.code) + L": " +
            environment_->ErrorText(status.code);
  }
  if (status.result == FileResult::kInUse && !in_use_by_.empty()) {
    text += L"; in use by " + in_use_by_;
  }
  in_use_by_.clear();
  Line(text);
}

void RunLog::Summary() {
  Line(L"summary: replaced " + std::to_wstring(tally_.replaced) + L", passed over " +
       std::to_wstring(tally_.passed_over) + L", backups made " +
       std::to_wstring(tally_.backups_made) + L", earlier backups kept " +
       std::to_wstring(tally_.backups_kept) + L", set-aside files removed " +
       std::to_wstring(tally_.set_asides_removed));
}

}  // namespace kestrune
