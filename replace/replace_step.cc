#include "replace/replace_step.h"

namespace kestrune {

ReplaceStep::Result ReplaceStep::Do(FileSystem& files, const StepPaths& paths, RunLog& log) {
  // The move itself tells whether the aside name is taken: one look at the
  // disk fewer per file than asking first.
  const FileStatus moved = files.Move(paths.destination, paths.aside);
  switch (moved.result) {
    case FileResult::kOk:
      break;
    case FileResult::kTargetExists:
      return Result::kAsideTaken;
    default:
      log.Failure(L"rename", paths.destination + L" to " + paths.aside, moved);
      return Result::kFailed;
  }
  moved_aside_ = true;
  const FileStatus copied = files.CopyNew(paths.source, paths.destination);
  // Refused because something is already there: that file is not ours and
  // must survive the undo.
  destination_may_be_ours_ = copied != FileResult::kTargetExists;
  if (copied.ok()) return Result::kDone;
  log.Failure(L"copy", paths.source + L" to " + paths.destination, copied);
  return Result::kFailed;
}

bool ReplaceStep::Undo(FileSystem& files, const StepPaths& paths, RunLog& log) {
  if (destination_may_be_ours_) {
    const FileStatus removed = files.Remove(paths.destination);
    if (!removed.ok() && removed != FileResult::kMissing) {
      log.Failure(L"remove", paths.destination, removed);
      return false;
    }
    destination_may_be_ours_ = false;
  }
  if (moved_aside_) {
    // The move refuses to overwrite, so a destination that is occupied after
    // all keeps both files.
    const FileStatus restored = files.Move(paths.aside, paths.destination);
    if (!restored.ok()) {
      log.Failure(L"rename", paths.aside + L" to " + paths.destination, restored);
      return false;
    }
    moved_aside_ = false;
  }
  return true;
}

bool ReplaceStep::Commit(FileSystem& files, const StepPaths& paths, RunLog& log) {
  if (kind_ != Aside::kTemporary || !moved_aside_) return true;
  const FileStatus removed = files.Remove(paths.aside);
  if (!removed.ok()) {
    log.Failure(L"remove", paths.aside, removed);
    return false;
  }
  moved_aside_ = false;
  return true;
}

}  // namespace kestrune
