#include "replace/replace_step.h"

namespace kestrune {

ReplaceStep::Result ReplaceStep::Do(FileSystem& files, const StepPaths& paths) {
  // The move itself tells whether the aside name is taken: one look at the
  // disk fewer per file than asking first.
  switch (files.Move(paths.destination, paths.aside)) {
    case FileResult::kOk:
      break;
    case FileResult::kTargetExists:
      return Result::kAsideTaken;
    default:
      return Result::kFailed;
  }
  moved_aside_ = true;
  const FileResult copied = files.CopyNew(paths.source, paths.destination);
  // Refused because something is already there: that file is not ours and
  // must survive the undo.
  destination_may_be_ours_ = copied != FileResult::kTargetExists;
  return copied == FileResult::kOk ? Result::kDone : Result::kFailed;
}

bool ReplaceStep::Undo(FileSystem& files, const StepPaths& paths) {
  if (destination_may_be_ours_) {
    const FileResult removed = files.Remove(paths.destination);
    if (removed != FileResult::kOk && removed != FileResult::kMissing) return false;
    destination_may_be_ours_ = false;
  }
  if (moved_aside_) {
    // The move refuses to overwrite, so a destination that is occupied after
    // all keeps both files.
    if (files.Move(paths.aside, paths.destination) != FileResult::kOk) return false;
    moved_aside_ = false;
  }
  return true;
}

bool ReplaceStep::Commit(FileSystem& files, const StepPaths& paths) {
  if (kind_ != Aside::kTemporary || !moved_aside_) return true;
  if (files.Remove(paths.aside) != FileResult::kOk) return false;
  moved_aside_ = false;
  return true;
}

}  // namespace kestrune
