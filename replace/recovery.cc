#include "replace/recovery.h"

#include <memory>
#include <new>
#include <optional>
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

namespace {

enum class JournalRead { kNone, kRead, kRefused };

// Opens the journal, decides whether it is the updater's own and reads it:
// the one place that does, so the rest of the recovery never meets a journal
// it may not act on. Who may have written it is asked of the open file, next
// to the check of its form. Refusals are logged. `journal`'s steps are read
// from `bytes`.
JournalRead ReadJournal(FileSystem& files, const std::wstring& path, const JournalRules& rules,
                        std::unique_ptr<OwnFile>* file, std::string* bytes, Journal* journal,
                        RunLog& log) {
  const FileStatus opened = files.OpenOwn(path, file);
  if (opened == FileResult::kMissing) return JournalRead::kNone;
  if (!opened.ok()) {
    log.Failure(L"open", path, opened);
    return JournalRead::kRefused;
  }
  Ownership ownership;
  const FileStatus asked = (*file)->OwnershipOf(&ownership);
  if (!asked.ok()) {
    log.Failure(L"read the owner of", path, asked);
    return JournalRead::kRefused;
  }
  // An ordinary user who may write the installation folder could have
  // written any journal there: only one an administrator wrote, and nobody
  // else may change, is acted on.
  const TrustVerdict verdict = JudgeOwnership(ownership);
  if (!verdict.trusted) {
    log.Line(L"failed: the journal " + path + L" is not acted on: " + verdict.why +
             L"; nothing was changed");
    return JournalRead::kRefused;
  }
  const FileStatus read = (*file)->ReadWhole(kJournalLimit, bytes);
  if (!read.ok()) {
    log.Failure(L"read", path, read);
    return JournalRead::kRefused;
  }
  JournalFault fault;
  if (!ParseJournal(*bytes, rules, journal, &fault)) {
    log.Line(L"failed: the journal " + path + L" cannot be acted on: line " +
             std::to_wstring(fault.line) + L": " + fault.reason + L"; nothing was changed");
    return JournalRead::kRefused;
  }
  return JournalRead::kRead;
}

void LogFound(const Journal& journal, RunLog& log) {
  log.Line(std::wstring(L"found the journal of an interrupted ") +
           (journal.rollback ? L"rollback of " : L"update of ") + std::to_wstring(journal.size()) +
           L" files, started " + RunStartOf(journal.temporary_suffix) +
           (journal.committed ? L", past its commit point" : L", before its commit point"));
}

// A journal read whole, with the open file it came from; its steps are
// read from `bytes`, so it stays where it was filled.
struct FoundJournal {
  std::unique_ptr<OwnFile> file;
  std::string bytes;
  Journal journal;
};

// The journal at `path`, read and judged, for the recovery and for a check
// of what it would do; the outcome when there is none to act on.
std::optional<RecoveryResult> Find(FileSystem& files, const RecoveryInputs& inputs,
                                   const std::wstring& path, RunLog& log, FoundJournal* found) {
  switch (ReadJournal(files, path, JournalRules{L"." + inputs.product_vernum, inputs.separator},
                      &found->file, &found->bytes, &found->journal, log)) {
    case JournalRead::kNone:
      return RecoveryResult::kNone;
    case JournalRead::kRefused:
      return RecoveryResult::kFailed;
    case JournalRead::kRead:
      break;
  }
  LogFound(found->journal, log);
  return std::nullopt;
}

UndoItem ItemOf(const RecoveryInputs& inputs, const Journal& journal, const JournalStep& step) {
  return UndoItem{StepNames(inputs.install_folder + step.relative, step.aside,
                            journal.backup_suffix, journal.temporary_suffix),
                  step.installed};
}

// What Recover would do, with nothing moved: the journal read and judged as
// it would be, each step decided from what is on disk.
RecoveryResult Judge(FileSystem& files, const RecoveryInputs& inputs, const std::wstring& path,
                     RunLog& log) {
  FoundJournal found;
  if (const std::optional<RecoveryResult> none = Find(files, inputs, path, log, &found)) {
    return *none;
  }
  const Journal& journal = found.journal;
  if (journal.committed) {
    // Past its commit point every new file is in: a run only removes the
    // set-aside files, and keeps any it cannot prove are its own.
    log.Line(journal.rollback
                 ? L"a run would finish the interrupted rollback first; nothing was recovered"
                 : L"a run would finish the interrupted update first; nothing was recovered");
    return RecoveryResult::kRecovered;
  }
  size_t undone = 0;
  if (!CanUndoSteps(
          files, journal.size(),
          [&](size_t i) { return ItemOf(inputs, journal, journal.Step(i)); }, log, &undone)) {
    return RecoveryResult::kFailed;
  }
  log.Line(std::wstring(L"a run would take the interrupted ") +
           (journal.rollback ? L"rollback" : L"update") + L" back first, undoing " +
           std::to_wstring(undone) + L" of its steps; nothing was recovered");
  return RecoveryResult::kRecovered;
}

RecoveryResult Recover(FileSystem& files, const RecoveryInputs& inputs, const std::wstring& path,
                       RunLog& log) {
  FoundJournal found;
  if (const std::optional<RecoveryResult> none = Find(files, inputs, path, log, &found)) {
    return *none;
  }
  const Journal& journal = found.journal;
  const auto undo_item = [&](const JournalStep& step) { return ItemOf(inputs, journal, step); };
  const auto item = [&](size_t i) { return undo_item(journal.Step(i)); };
  bool complete = true;
  if (journal.committed) {
    for (size_t i = journal.size(); i-- > 0;) {
      const JournalStep step = journal.Step(i);
      if (step.aside != kBackupAside) {
        const UndoItem kept = undo_item(step);
        DropSetAside(files, kept.paths, kept.installed, log);
      }
    }
    // A rollback past its commit point: its backups' bytes are back at their
    // names, and the backups go last, as the run itself removes them.
    for (size_t i = journal.rollback ? journal.size() : 0; i-- > 0;) {
      const JournalStep step = journal.Step(i);
      DropBackup(files, undo_item(step).paths.backup, step.backup, log);
    }
  } else {
    complete = UndoSteps(files, inputs.install_folder, journal.size(), item, log,
                         inputs.progress, msg::kRestoringProgress);
  }
  if (!complete || !RemoveOwnJournal(*found.file, log).ok()) return RecoveryResult::kFailed;
  files.FlushFolder(inputs.install_folder);
  if (journal.rollback) {
    log.Line(journal.committed ? L"finished the interrupted rollback"
                               : L"took the interrupted rollback back: the update stays");
  } else {
    log.Line(journal.committed ? L"finished the interrupted update"
                               : L"took the interrupted update back");
  }
  return RecoveryResult::kRecovered;
}

}  // namespace

RecoveryResult RecoverInterruptedUpdate(FileSystem& files, const RecoveryInputs& inputs,
                                        RunLog& log, bool judge_only) {
  const std::wstring path = JoinPath(inputs.install_folder, kJournalName, inputs.separator);
  try {
    return judge_only ? Judge(files, inputs, path, log) : Recover(files, inputs, path, log);
  } catch (const std::bad_alloc&) {
    // A journal within the limit may still not fit beside what a 32-bit
    // process holds. Whatever the undo had done stays, as after any
    // incomplete undo: the journal is kept for a run with more room.
    log.Line(L"failed: no memory to recover with the journal " + path + L"; it is kept");
    return RecoveryResult::kFailed;
  }
}

}  // namespace kestrune
