#include "replace/recovery.h"

#include <new>
#include <string>

#include "platform/text.h"
#include "replace/journal.h"
#include "replace/replace_step.h"
#include "run/messages.h"
#include "run/names.h"

namespace kestrune {

bool HasJournal(FileSystem& files, const std::wstring& install_folder, wchar_t separator) {
  // A journal that cannot be looked at is not assumed away.
  return files.Probe(JoinPath(install_folder, kJournalName, separator)) != PathKind::kMissing;
}

RecoveryResult RecoverInterruptedUpdate(FileSystem& files, const RecoveryInputs& inputs,
                                        RunLog& log) {
  const std::wstring path = JoinPath(inputs.install_folder, kJournalName, inputs.separator);
  std::string bytes;
  FileStatus read;
  try {
    read = files.ReadWhole(path, kJournalLimit, &bytes);
  } catch (const std::bad_alloc&) {
    // A 32-bit process may find no room for a journal within the limit.
    log.Line(L"failed: no memory to read the journal " + path + L"; nothing was changed");
    return RecoveryResult::kFailed;
  }
  if (read == FileResult::kMissing) return RecoveryResult::kNone;
  Journal journal;
  if (!read.ok()) {
    log.Failure(L"read", path, read);
    return RecoveryResult::kFailed;
  }
  JournalFault fault;
  if (!ParseJournal(bytes, JournalRules{L"." + inputs.product_vernum, inputs.separator}, &journal,
                    &fault)) {
    log.Line(L"the journal " + path + L" cannot be acted on: line " +
             std::to_wstring(fault.line) + L": " + fault.reason + L"; nothing was changed");
    return RecoveryResult::kFailed;
  }
  bytes = std::string();
  log.Line(L"found the journal of an interrupted update of " +
           std::to_wstring(journal.steps.size()) + L" files, started " +
           RunStartOf(journal.temporary_suffix) +
           (journal.committed ? L", past its commit point" : L", before its commit point"));

  const auto item = [&](size_t i) {
    const JournalStep& step = journal.steps[i];
    return UndoItem{StepNames(inputs.install_folder + step.relative, step.aside,
                              journal.backup_suffix, journal.temporary_suffix),
                    step.installed};
  };
  bool complete = true;
  if (journal.committed) {
    for (size_t i = journal.steps.size(); i-- > 0;) {
      if (journal.steps[i].aside != kBackupAside) {
        const UndoItem step = item(i);
        DropSetAside(files, step.paths, step.installed, log);
      }
    }
  } else {
    complete = UndoSteps(files, inputs.install_folder, journal.steps.size(), item, log,
                         inputs.progress, msg::kRestoringProgress);
  }
  if (!complete || !RemoveIfThere(files, path, log)) return RecoveryResult::kFailed;
  files.FlushFolder(inputs.install_folder);
  log.Line(journal.committed ? L"finished the interrupted update" : L"took the interrupted update back");
  return RecoveryResult::kRecovered;
}

}  // namespace kestrune
