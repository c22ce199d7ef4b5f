// One installed file being replaced, in an order that a stop at any instant
// can be taken back from, and the undo that takes it back.
#ifndef KESTRUNE_REPLACE_REPLACE_STEP_H_
#define KESTRUNE_REPLACE_REPLACE_STEP_H_

#include <string>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

// The names one replacement works with.
struct StepPaths {
  std::wstring source;       // the packaged file
  std::wstring destination;  // the installed file
  std::wstring aside;        // where the installed file is kept
  std::wstring temporary;    // the packaged file's copy until it moves in
  std::wstring backup;       // D.<ProductVERNUM>, whether or not it is the aside
};

// The aside number that means the backup name, D.<ProductVERNUM>; others
// number the set-aside names D.~kestrune, D.~kestrune1, ...
inline constexpr int kBackupAside = -1;

std::wstring SetAsideName(const std::wstring& destination, int number);

// The names of the step for `destination` (all but the source), the run and
// the recovery after it naming them alike.
StepPaths StepNames(const std::wstring& destination, int aside, const std::wstring& backup_suffix,
                    const std::wstring& temporary_suffix);

// Copies the packaged file beside the destination first, so that the call
// most likely to fail runs before the installed file is touched; then keeps
// the installed file under its aside name, as a second name where the file
// system has hard links and otherwise by a rename, and moves the copy in.
// With links the installed name is never missing; without, only between two
// renames in one folder. False on failure, which is logged.
bool DoStep(FileSystem& files, const StepPaths& paths, RunLog& log);

// Takes the step back from what is on disk, whatever instant it stopped at:
// the old file goes back under its own name, the copy goes. A step whose
// aside name holds nothing had not touched the installed file. The same undo
// serves a run that failed and the next start after one that was killed,
// and may be repeated; the log names the step by `relative`. False when it
// cannot finish; every old file then still has its own or its aside name.
bool UndoStep(FileSystem& files, const StepPaths& paths, const std::wstring& relative,
              RunLog& log);

// Removes a file of this updater's own; one already gone counts as removed.
// False, with the failure logged, otherwise.
bool RemoveIfThere(FileSystem& files, const std::wstring& path, RunLog& log);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACE_STEP_H_
