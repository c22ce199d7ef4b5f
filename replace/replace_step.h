// One installed file being replaced, recorded so that it can be taken back.
#ifndef KESTRUNE_REPLACE_REPLACE_STEP_H_
#define KESTRUNE_REPLACE_REPLACE_STEP_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

// The names one replacement works with.
struct StepPaths {
  std::wstring source;       // the packaged file
  std::wstring destination;  // the installed file
  std::wstring aside;        // where the installed file goes meanwhile
};

// A step keeps only which listed file it is and what it has done; its names
// are rebuilt from the listed path when needed, so that a long update holds
// little more than its file list in memory.
class ReplaceStep {
 public:
  // What the aside name will be after the run.
  enum class Aside : uint8_t {
    kBackup,     // stays as the backup of the old version
    kTemporary,  // removed once the whole update has succeeded
  };

  enum class Result {
    kDone,
    kAsideTaken,  // something already has the aside name; nothing changed
    kFailed,      // what did happen is recorded for Undo
  };

  ReplaceStep(size_t listed_index, Aside kind, int temporary_number = 0)
      : listed_index_(listed_index), temporary_number_(temporary_number), kind_(kind) {}

  // Moves the installed file aside, then copies the packaged file in.
  Result Do(FileSystem& files, const StepPaths& paths, RunLog& log);

  // Takes back what Do changed: a new or partial file at the destination is
  // removed and the installed file moved back. Safe after a failed Do and
  // when called twice. False when the destination could not be restored; the
  // old file then still lives under the aside name. Failures are logged.
  bool Undo(FileSystem& files, const StepPaths& paths, RunLog& log);

  // Drops a temporary set-aside file; a backup is kept. False when it could
  // not be removed.
  bool Commit(FileSystem& files, const StepPaths& paths, RunLog& log);

  size_t listed_index() const { return listed_index_; }
  Aside kind() const { return kind_; }
  int temporary_number() const { return temporary_number_; }

 private:
  size_t listed_index_;
  int temporary_number_;
  Aside kind_;
  bool moved_aside_ = false;
  // A failed copy may still have left a partial file behind.
  bool destination_may_be_ours_ = false;
};

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACE_STEP_H_
