// The log of one run, for administrators who push updates to many machines:
// one event a line, each line starting with the local time and the process
// id, so that runs sharing one log can be told apart.
#ifndef KESTRUNE_RUN_LOG_H_
#define KESTRUNE_RUN_LOG_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace kestrune {

// What the run did to files, for the summary line before its outcome.
struct RunTally {
  size_t replaced = 0;
  size_t passed_over = 0;  // packaged files not copied, each logged with why
  size_t backups_made = 0;
  size_t backups_kept = 0;  // earlier backups left alone, their files set aside
  size_t set_asides_removed = 0;
  size_t backups_removed = 0;  // by a rollback, their bytes back at their names
};

// Each line reaches the file with one write as it is made, never held back
// in the program: a run that is killed leaves every line it made, whole.
class RunLog {
 public:
  // Logs nothing until started.
  RunLog() = default;
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  void Start(Environment& environment, std::unique_ptr<LogFile> file);
  bool enabled() const { return file_ != nullptr; }

  // One event; a line break inside the text is written as a space. The
  // first that starts with "failed: " is kept as the run's first failure.
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
  // The processes that held the file a call has just given up on, as
  // "name (process id)"; the failure line logged next for a file in use
  // names them. "" when none could be named.
  void InUseBy(std::wstring holders) { in_use_by_ = std::move(holders); }
  // Counted whether or not the log is written.
  RunTally& tally() { return tally_; }
  // The summary line of `tally`.
  void Summary();
  // What the first failure line said after "failed: "; "" when there was
  // none (or the log is not written).
  const std::wstring& first_failure() const { return first_failure_; }

 private:
  Environment* environment_ = nullptr;
  std::unique_ptr<LogFile> file_;
  std::string pid_;  // " [<process id>] ", after each timestamp
  std::string line_;  // reused from line to line
  // The last time stamp written, whole, for the lines of the same
  // millisecond.
  LocalTime stamped_{};
  std::string stamp_;
  std::wstring first_failure_;
  RunTally tally_;
  std::wstring in_use_by_;
};

// ISO 8601 with milliseconds and the offset from UTC:
// 2026-12-07T11:08:37.123+01:00.
std::string FormatTimestamp(const LocalTime& time);

}  // namespace kestrune

#endif  // KESTRUNE_RUN_LOG_H_
