// One installed file being replaced, in an order that a stop at any instant
// can be taken back from, and the undo that takes it back.
#ifndef KESTRUNE_REPLACE_REPLACE_STEP_H_
#define KESTRUNE_REPLACE_REPLACE_STEP_H_

#include <functional>
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

// One step's names in the two folders it works in, held by the caller (who
// reuses them from step to step): the packaged file and the installed file
// share `name`.
struct StepIn {
  const Folder& package;
  const Folder& installation;
  const std::wstring& name;
  // The file copied in, in `package`: `name` for an update; for a rollback,
  // whose `package` is the installation's folder, the backup's name.
  const std::wstring& source;
  const FileIdentity& installed;  // what the plan found at `name`
  const std::wstring& aside;
  const std::wstring& temporary;
};

// Why a step failed, beyond the log: what the undo and the message need.
enum class StepFailure {
  kBeforeAside,       // a call failed before the installed file was kept aside
  kAfterAside,        // kept aside, but the copy was not moved in
  kPackageChanged,    // the copy differs from its listed hash; nothing moved
  kInstalledChanged,  // the installed file changed since the plan; nothing moved
  // The packaged file is a link leading out of the package, which its open
  // alone revealed: nothing copied or moved, the step is passed over, not
  // failed, and nothing is logged for it here.
  kLeadsOut,
};

// Copies the packaged file beside the destination first, so that the call
// most likely to fail runs before the installed file is touched; then keeps
// the installed file under its aside name, as a second name where the file
// system has hard links and otherwise by a rename, and moves the copy in.
// With links the installed name is never missing; without, only between two
// renames in one folder. With `expected`, the bytes copied must have that
// hash, or the step fails before the installed file is touched. False on
// failure, which is logged, with `failure` set.
bool DoStep(FileSystem& files, const StepIn& step, const Sha256Digest* expected,
            StepFailure* failure, RunLog& log);

// One step to take back: its names, and what identified the installed file
// before it.
struct UndoItem {
  StepPaths paths;
  FileIdentity installed;
  // The run saw this step fail before it kept the installed file aside:
  // not reached, whatever stands at its name (a link Wine showed as a file
  // until the step opened it, a file written since the plan).
  bool untouched = false;
};

// Takes steps back, newest first, from what is on disk, whatever instant
// they stopped at: the old file goes back under its own name, the copy goes.
// A name is moved or removed only while it holds the very file the step
// recorded (or, for the copy, a plain file that is not the old one). A step
// counts as not reached only while its old file is still at its own name;
// when any step cannot be decided (its old file is under none of its names,
// or another file, a link or a folder stands at its name with no old file
// aside), nothing is touched. The same undo serves a run that failed and the
// next start after one that was killed, and may be repeated. What it moved
// back is made durable before it returns. False when it cannot finish;
// every old file then still has its own or its aside name. With `progress`,
// `stage` advances by one a step.
bool UndoSteps(FileSystem& files, const std::wstring& install_folder, size_t count,
               const std::function<UndoItem(size_t)>& item, RunLog& log,
               Progress* progress = nullptr, const std::wstring& stage = std::wstring());

// What UndoSteps would do, decided from what is on disk with nothing moved:
// false, with the step that cannot be decided logged, when it would stop
// with nothing undone. `undone` counts the steps that would change anything.
bool CanUndoSteps(FileSystem& files, size_t count, const std::function<UndoItem(size_t)>& item,
                  RunLog& log, size_t* undone = nullptr);

// Removes a set-aside file once the update no longer needs it: only while it
// still holds the installed file the step recorded and the backup name holds
// an older file, since otherwise (a folder there, say) the set-aside file is
// the one copy of the old file. True when it removed it.
bool DropSetAside(FileSystem& files, const StepPaths& paths, const FileIdentity& installed,
                  RunLog& log);

// Removes the backup a rollback has put back, once it has committed: only
// while the name still holds the file recorded. True when it removed it.
bool DropBackup(FileSystem& files, const std::wstring& path, const FileIdentity& backup,
                RunLog& log);

// Removes a file of this updater's own; one already gone counts as removed.
// False, with the failure logged, otherwise.
bool RemoveIfThere(FileSystem& files, const std::wstring& path, RunLog& log);

// Logs that the journal's name no longer holds the run's own journal: what
// stands there is not the run's to remove, and an administrator looks at it.
void LogJournalNotOurs(const std::wstring& path, RunLog& log);

// Removes the run's journal through its handle, only while its name still
// holds it; one already gone counts as removed. Otherwise the failure,
// logged: kChanged when the name holds something else.
FileStatus RemoveOwnJournal(OwnFile& journal, RunLog& log);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACE_STEP_H_
