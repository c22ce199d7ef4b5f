// The log of one run, for administrators who push updates to many machines:
// one event a line, each line starting with the local time.
#ifndef KESTRUNE_RUN_LOG_H_
#define KESTRUNE_RUN_LOG_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrune {

class RunLog {
 public:
  // Logs nothing until started.
  RunLog() = default;
  ~RunLog() { Flush(); }
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  void Start(Environment& environment, std::unique_ptr<LogFile> file);
  bool enabled() const { return file_ != nullptr; }

  // One event; a line break inside the text is written as a space.
  void Line(std::wstring_view text);
  // A system call that failed: what was done, on which path, and the
  // system's code and text.
  void Failure(std::wstring_view operation, std::wstring_view path,
               const FileStatus& status);
  // True when `status` is a success; otherwise logs it as a failure.
  bool Checked(const FileStatus& status, std::wstring_view operation, std::wstring_view path) {
    if (!status.ok()) Failure(operation, path, status);
    return status.ok();
  }
  // Lines are gathered and written in batches, so that a log costs the
  // update little; the run flushes before each message and at its end.
  void Flush();

 private:
  Environment* environment_ = nullptr;
  std::unique_ptr<LogFile> file_;
  std::string buffer_;
};

// ISO 8601 with milliseconds and the offset from UTC:
// 2026-12-07T11:08:37.123+01:00.
std::string FormatTimestamp(const LocalTime& time);

}  // namespace kestrune

#endif  // KESTRUNE_RUN_LOG_H_
