// The start of every run after the installation is found: an update that was
// stopped halfway is taken back, or finished when it had committed.
#ifndef KESTRUNE_REPLACE_RECOVERY_H_
#define KESTRUNE_REPLACE_RECOVERY_H_

#include <string>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

enum class RecoveryResult {
  kNone,       // no journal: nothing was interrupted
  kRecovered,  // undone, or its commit finished; the journal is gone
  kFailed,     // the journal could not be read, or a step not undone; kept
};

// Whether an interrupted update left its journal in `install_folder`.
bool HasJournal(FileSystem& files, const std::wstring& install_folder, wchar_t separator);

struct RecoveryInputs {
  std::wstring install_folder;
  std::wstring product_vernum;  // a journal with another backup suffix is refused
  wchar_t separator = L'\\';
  Progress* progress = nullptr;  // where a person sees the undo advance, if anywhere
};

// Takes back, newest first, every step of an update that had not reached its
// commit point, from what is on disk; or, when it had, removes the set-aside
// files it no longer needs. Backups that existed before it are never
// touched: its aside names were all free when it planned them, and a name
// is acted on only while it holds the file the journal names. A journal that
// is not whole, or names anything outside the installation, is refused with
// nothing touched. With `judge_only`, nothing at all is touched: the journal
// is read and judged, each step decided as the recovery would decide it, and
// the result is what the recovery would return.
RecoveryResult RecoverInterruptedUpdate(FileSystem& files, const RecoveryInputs& inputs,
                                        RunLog& log, bool judge_only = false);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_RECOVERY_H_
