#include "run/log.h"

#include <cstdio>

#include "platform/utf.h"

namespace kestrune {
namespace {

// Past this much, the lines gathered are written at once.
constexpr size_t kFlushBytes = 32 * 1024;

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
  const LocalTime now = environment_->Now();
  if (stamp_.empty() || now.millisecond != stamped_.millisecond || now.second != stamped_.second ||
      now.minute != stamped_.minute || now.hour != stamped_.hour || now.day != stamped_.day ||
      now.month != stamped_.month || now.year != stamped_.year ||
      now.utc_offset_minutes != stamped_.utc_offset_minutes) {
    stamp_ = FormatTimestamp(now);
    stamped_ = now;
  }
  buffer_ += stamp_;
  buffer_ += pid_;
  const size_t start = buffer_.size();
  buffer_ += Utf8FromWide(text);
  for (size_t i = start; i < buffer_.size(); ++i) {
    if (buffer_[i] == '\n' || buffer_[i] == '\r') buffer_[i] = ' ';
  }
  buffer_ += '\n';
  if (buffer_.size() >= kFlushBytes) Flush();
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
  Line(text);
}

void RunLog::Summary() {
  Line(L"summary: replaced " + std::to_wstring(tally_.replaced) + L", passed over " +
       std::to_wstring(tally_.passed_over) + L", backups made " +
       std::to_wstring(tally_.backups_made) + L", earlier backups kept " +
       std::to_wstring(tally_.backups_kept) + L", set-aside files removed " +
       std::to_wstring(tally_.set_asides_removed));
}

void RunLog::Flush() {
  if (!enabled() || buffer_.empty()) return;
  // A log that cannot be written does not stop the update.
  file_->Append(buffer_);
  buffer_.clear();
}

}  // namespace kestrune
