#include "replace/recovery.h"

#include <string>

#include "platform/text.h"
#include "replace/journal.h"
#include "replace/replace_step.h"

namespace kestrune {

bool HasJournal(FileSystem& files, const std::wstring& install_folder, wchar_t separator) {
  // A journal that cannot be looked at is not assumed away.
  return files.Probe(JoinPath(install_folder, kJournalName, separator)) != PathKind::kMissing;
}

void DropSetAside(FileSystem& files, const std::wstring& set_aside, const std::wstring& backup,
                  RunLog& log) {
  if (files.Probe(backup) != PathKind::kFile) {
    log.Line(L"kept " + set_aside + L": " + backup + L" holds no file");
    return;
  }
  // One left behind after a finished update holds the previous version.
  RemoveIfThere(files, set_aside, log);
}

RecoveryResult RecoverInterruptedUpdate(FileSystem& files, const std::wstring& install_folder,
                                        wchar_t separator, RunLog& log) {
  const std::wstring path = JoinPath(install_folder, kJournalName, separator);
  std::string bytes;
  const FileStatus read = files.ReadWhole(path, &bytes);
  if (read == FileResult::kMissing) return RecoveryResult::kNone;
  Journal journal;
  if (!read.ok()) {
    log.Failure(L"read", path, read);
    return RecoveryResult::kFailed;
  }
  if (!ParseJournal(bytes, &journal)) {
    log.Line(L"the journal " + path + L" cannot be understood; nothing was changed");
    return RecoveryResult::kFailed;
  }
  log.Line(L"found the journal of an interrupted update of " +
           std::to_wstring(journal.steps.size()) + L" files" +
           (journal.committed ? L", past its commit point" : L", before its commit point"));

  bool complete = true;
  for (size_t i = journal.steps.size(); i-- > 0;) {
    const JournalStep& step = journal.steps[i];
    const StepPaths paths = StepNames(install_folder + step.relative, step.aside,
                                      journal.backup_suffix, journal.temporary_suffix);
    if (journal.committed) {
      if (step.aside != kBackupAside) DropSetAside(files, paths.aside, paths.backup, log);
    } else {
      complete = UndoStep(files, paths, step.relative, log) && complete;
    }
  }
  if (!complete || !RemoveIfThere(files, path, log)) return RecoveryResult::kFailed;
  files.FlushFolder(install_folder);
  log.Line(journal.committed ? L"finished the interrupted update"
                             : L"took the interrupted update back");
  return RecoveryResult::kRecovered;
}

}  // namespace kestrune
