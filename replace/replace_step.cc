#include "replace/replace_step.h"

namespace kestrune {

ReplaceStep::Result ReplaceStep::Do(FileSystem& files, const std::wstring& source) {
  // The move itself tells whether the aside name is taken: one look at the
  // disk fewer per file than asking first.
  switch (files.Move(destination_, aside_)) {
    case FileResult::kOk:
      break;
    case FileResult::kTargetExists:
      return Result::kAsideTaken;
    default:
      return Result::kFailed;
  }
  moved_aside_ = true;
  const FileResult copied = files.CopyNew(source, destination_);
  // Refused because something is already there: that file is not ours and
  // must survive the undo.
  destination_may_be_ours_ = copied != FileResult::kTargetExists;
  return copied == FileResult::kOk ? Result::kDone : Result::kFailed;
}

bool ReplaceStep::Undo(FileSystem& files) {
  if (destination_may_be_ours_) {
    const FileResult removed = files.Remove(destination_);
    if (removed != FileResult::kOk && removed != FileResult::kMissing) {
      return false;
    }
    destination_may_be_ours_ = false;
  }
  if (moved_aside_) {
    // The move refuses to overwrite, so a destination that is occupied after
    // all keeps both files.
    if (files.Move(aside_, destination_) != FileResult::kOk) return false;
    moved_aside_ = false;
  }
  return true;
}

bool ReplaceStep::Commit(FileSystem& files) {
  if (kind_ != Aside::kTemporary || !moved_aside_) return true;
  if (files.Remove(aside_) != FileResult::kOk) return false;
  moved_aside_ = false;
  return true;
}

}  // namespace kestrune
