// One installed file being replaced, recorded so that it can be taken back.
#ifndef KESTRUNE_REPLACE_REPLACE_STEP_H_
#define KESTRUNE_REPLACE_REPLACE_STEP_H_

#include <string>

#include "platform/platform.h"

namespace kestrune {

class ReplaceStep {
 public:
  // What the name the installed file is moved to will be after the run.
  enum class Aside {
    kBackup,     // stays as the backup of the old version
    kTemporary,  // removed once the whole update has succeeded
  };

  enum class Result {
    kDone,
    kAsideTaken,  // something already has the aside name; nothing changed
    kFailed,      // what did happen is recorded for Undo
  };

  ReplaceStep(std::wstring destination, std::wstring aside, Aside kind)
      : destination_(std::move(destination)), aside_(std::move(aside)), kind_(kind) {}

  // Moves the installed file aside, then copies `source` in its place.
  Result Do(FileSystem& files, const std::wstring& source);

  // Takes back what Do changed: a new or partial file at the destination is
  // removed and the installed file moved back. Safe after a failed Do and
  // when called twice. False when the destination could not be restored; the
  // old file then still lives under the aside name.
  bool Undo(FileSystem& files);

  // Drops a temporary set-aside file; a backup is kept. False when it could
  // not be removed.
  bool Commit(FileSystem& files);

 private:
  std::wstring destination_;
  std::wstring aside_;
  Aside kind_;
  bool moved_aside_ = false;
  // A failed copy may still have left a partial file behind.
  bool destination_may_be_ours_ = false;
};

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACE_STEP_H_
