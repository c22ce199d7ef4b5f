#include "replace/replace_step.h"

#include <vector>

#include "run/names.h"

namespace kestrune {

std::wstring SetAsideName(const std::wstring& destination, int number) {
  std::wstring name = destination + kScratchSuffix;
  if (number > 0) name += std::to_wstring(number);
  return name;
}

StepPaths StepNames(const std::wstring& destination, int aside,
                    const std::wstring& backup_suffix,
                    const std::wstring& temporary_suffix) {
  StepPaths paths;
  paths.destination = destination;
  paths.backup = destination + backup_suffix;
  paths.aside = aside == kBackupAside ? paths.backup : SetAsideName(destination, aside);
  paths.temporary = destination + temporary_suffix;
  return paths;
}

bool DoStep(FileSystem& files, const StepIn& step, const Sha256Digest* expected,
            StepFailure* failure, RunLog& log) {
  *failure = StepFailure::kBeforeAside;
  const Folder& here = step.installation;
  // Whole paths only for the log, and only when a call failed.
  const auto failed = [&](const FileStatus& status, const wchar_t* operation,
                          const std::wstring& what) {
    log.Checked(status, operation, what);
    return false;
  };
  Sha256Digest copied{};
  const FileStatus copy = files.CopyNewIn(step.package, step.source, here, step.temporary,
                                          expected != nullptr ? &copied : nullptr);
  if (copy == FileResult::kLeadsOut) {
    *failure = StepFailure::kLeadsOut;
    return false;
  }
  if (!copy.ok()) {
    return failed(copy, L"copy",
                  step.package.PathOf(step.source) + L" to " + here.PathOf(step.temporary));
  }
  // Hashed as it was copied: a file changed since the check is caught with
  // no second read, and never renamed in.
  if (expected != nullptr && copied != *expected) {
    log.Line(L"failed: " + step.package.PathOf(step.source) + L" changed after the package check");
    *failure = StepFailure::kPackageChanged;
    return false;
  }
  // Kept aside only while it is the file the plan recorded: moved once
  // changed, it could not be told from any other file by the undo.
  const auto changed_since_plan = [&] {
    log.Line(L"failed: " + here.PathOf(step.name) +
             L" changed after the update was planned; it is left as it is");
    *failure = StepFailure::kInstalledChanged;
    return false;
  };
  const FileStatus linked = files.LinkAsideIn(here, step.name, step.aside, step.installed);
  if (linked == FileResult::kChanged) return changed_since_plan();
  if (linked.ok()) {
    *failure = StepFailure::kAfterAside;
    const FileStatus replaced = files.ReplaceIn(here, step.temporary, step.name);
    return replaced.ok() || failed(replaced, L"rename",
                                   here.PathOf(step.temporary) + L" over " + here.PathOf(step.name));
  }
  if (linked != FileResult::kUnsupported) {
    return failed(linked, L"link", here.PathOf(step.name) + L" as " + here.PathOf(step.aside));
  }
  const FileStatus aside = files.MoveAsideIn(here, step.name, step.aside, step.installed);
  if (aside == FileResult::kChanged) return changed_since_plan();
  if (!aside.ok()) {
    return failed(aside, L"rename", here.PathOf(step.name) + L" to " + here.PathOf(step.aside));
  }
  *failure = StepFailure::kAfterAside;
  const FileStatus in = files.MoveIn(here, step.temporary, step.name);
  return in.ok() ||
         failed(in, L"rename", here.PathOf(step.temporary) + L" to " + here.PathOf(step.name));
}

namespace {

// What the undo of one step does, decided from what is at its names.
enum class Undo {
  kNothing,       // the installed file was never moved: at most a copy to drop
  kDropSecond,    // linked aside, the copy not yet in: the second name goes
  kMoveBack,      // renamed aside, the copy not yet in
  kMoveBackOver,  // the copy is in: the old file moves back over it
  kUndecidable,
};

struct Decision {
  Undo undo = Undo::kNothing;
  bool drop_copy = false;
  std::wstring why;  // for kUndecidable
};

struct Seen {
  PathKind kind;
  FileIdentity identity;
};

Seen Look(FileSystem& files, const std::wstring& path) {
  Seen seen{PathKind::kError, FileIdentity()};
  seen.kind = files.Identify(path, &seen.identity);
  return seen;
}

Decision Decide(FileSystem& files, const UndoItem& item) {
  const StepPaths& paths = item.paths;
  const Seen aside = Look(files, paths.aside);
  const Seen destination = Look(files, paths.destination);
  const Seen copy = Look(files, paths.temporary);
  Decision decision;
  if (aside.kind == PathKind::kError || destination.kind == PathKind::kError ||
      copy.kind == PathKind::kError) {
    decision.undo = Undo::kUndecidable;
    decision.why = L"cannot tell what is at " + paths.destination + L" and its other names";
    return decision;
  }
  const auto holds_old = [&item](const Seen& seen) {
    return seen.kind == PathKind::kFile && seen.identity == item.installed;
  };
  // Only a plain file that is not the old one can be this run's copy.
  decision.drop_copy = copy.kind == PathKind::kFile && !holds_old(copy);
  if (!holds_old(aside)) {
    // Not reached only while the old file is still at its own name, or the
    // run saw its step fail before it kept the file aside. Anything else
    // there (a new file, a link, a folder, nothing) with no old file at the
    // aside name is a step done whose old file has gone, or a journal that
    // was never this run's: not to be called undone.
    if (holds_old(destination) || item.untouched) return decision;
    decision.undo = Undo::kUndecidable;
    decision.why = destination.kind == PathKind::kMissing
                       ? L"the old " + paths.destination + L" is under none of its names"
                       : paths.destination + L" no longer holds the old file, and " +
                             paths.aside + L" does not hold it either";
    return decision;
  }
  if (holds_old(destination)) {
    decision.undo = Undo::kDropSecond;
  } else if (destination.kind == PathKind::kMissing) {
    decision.undo = Undo::kMoveBack;
  } else if (destination.kind == PathKind::kFile && copy.kind == PathKind::kMissing) {
    decision.undo = Undo::kMoveBackOver;
  } else {
    // A copy still beside a new file: three files where a step leaves at
    // most two, not this run's to guess at.
    decision.undo = Undo::kUndecidable;
    decision.why = paths.destination + L" is neither the old file nor the new one";
  }
  return decision;
}

// Carries out one decision; false, logged, when a call fails. `changed` and
// `moved_back` tell what it did.
bool Apply(FileSystem& files, const StepPaths& paths, const Decision& decision, RunLog& log,
           bool* changed, bool* moved_back) {
  FileStatus status;
  const wchar_t* operation = L"rename";
  std::wstring what;
  switch (decision.undo) {
    case Undo::kNothing:
    case Undo::kUndecidable:
      break;
    case Undo::kDropSecond:
      operation = L"remove";
      what = paths.aside;
      status = files.Remove(paths.aside);
      break;
    case Undo::kMoveBack:
      what = paths.aside + L" to " + paths.destination;
      status = files.Move(paths.aside, paths.destination);
      *moved_back = status.ok();
      break;
    case Undo::kMoveBackOver:
      what = paths.aside + L" over " + paths.destination;
      status = files.Replace(paths.aside, paths.destination);
      *moved_back = status.ok();
      break;
  }
  if (!log.Checked(status, operation, what)) return false;
  *changed = decision.undo != Undo::kNothing;
  if (!decision.drop_copy) return true;
  const FileStatus removed = files.Remove(paths.temporary);
  if (removed == FileResult::kMissing) return true;
  *changed = *changed || removed.ok();
  return log.Checked(removed, L"remove", paths.temporary);
}

}  // namespace

bool CanUndoSteps(FileSystem& files, size_t count, const std::function<UndoItem(size_t)>& item,
                  RunLog& log, size_t* undone) {
  if (undone != nullptr) *undone = 0;
  for (size_t i = count; i-- > 0;) {
    const Decision decision = Decide(files, item(i));
    if (decision.undo == Undo::kUndecidable) {
      log.Line(L"failed: " + decision.why + L"; nothing was undone");
      return false;
    }
    if (undone != nullptr && (decision.undo != Undo::kNothing || decision.drop_copy)) ++*undone;
  }
  return true;
}

bool UndoSteps(FileSystem& files, const std::wstring& install_folder, size_t count,
               const std::function<UndoItem(size_t)>& item, RunLog& log, Progress* progress,
               const std::wstring& stage) {
  // Every step is decided before any is undone, so that one that cannot be
  // leaves the whole installation as it was found.
  if (!CanUndoSteps(files, count, item, log)) return false;
  bool complete = true;
  std::vector<std::wstring> moved;
  for (size_t i = count; i-- > 0;) {
    if (progress != nullptr) progress->Report(stage, count - 1 - i, count);
    const UndoItem step = item(i);
    // Decided again at the moment it is acted on.
    const Decision decision = Decide(files, step);
    bool changed = false;
    bool moved_back = false;
    if (decision.undo == Undo::kUndecidable) {
      log.Line(L"failed: " + decision.why);
    } else if (Apply(files, step.paths, decision, log, &changed, &moved_back)) {
      if (changed) log.Line(L"undone " + step.paths.destination);
      if (moved_back) moved.push_back(step.paths.destination);
      continue;
    }
    log.Line(L"could not undo " + step.paths.destination);
    complete = false;
  }
  if (progress != nullptr) progress->Report(stage, count, count);
  // Durable before the journal that could redo it goes.
  if (moved.empty()) return complete;
  const FileStatus flushed = files.FlushVolume(install_folder);
  if (flushed == FileResult::kUnsupported) {
    for (const std::wstring& destination : moved) {
      complete = log.Checked(files.FlushFile(destination), L"flush", destination) && complete;
    }
  } else {
    complete = log.Checked(flushed, L"flush", install_folder) && complete;
  }
  return complete;
}

bool DropSetAside(FileSystem& files, const StepPaths& paths, const FileIdentity& installed,
                  RunLog& log) {
  FileIdentity identity;
  if (files.Identify(paths.aside, &identity) != PathKind::kFile || identity != installed) {
    log.Line(L"left " + paths.aside + L": it no longer holds the file this update set aside");
    return false;
  }
  // Opened as itself, so that a link there (one Wine shows as a plain file
  // included) never passes for the older file.
  FileIdentity backup;
  if (files.Identify(paths.backup, &backup) != PathKind::kFile) {
    log.Line(L"kept " + paths.aside + L": " + paths.backup + L" holds no file");
    return false;
  }
  // One left behind after a finished update holds the previous version.
  return RemoveIfThere(files, paths.aside, log);
}

bool DropBackup(FileSystem& files, const std::wstring& path, const FileIdentity& backup,
                RunLog& log) {
  FileIdentity identity;
  if (files.Identify(path, &identity) != PathKind::kFile || identity != backup) {
    log.Line(L"left " + path + L": it no longer holds the backup this rollback put back");
    return false;
  }
  if (!RemoveIfThere(files, path, log)) return false;
  log.Line(L"removed the backup " + path);
  return true;
}

bool RemoveIfThere(FileSystem& files, const std::wstring& path, RunLog& log) {
  const FileStatus removed = files.Remove(path);
  return removed == FileResult::kMissing || log.Checked(removed, L"remove", path);
}

void LogJournalNotOurs(const std::wstring& path, RunLog& log) {
  log.Line(L"failed: " + path +
           L" no longer holds this run's journal; what stands there is left as it is, for an "
           L"administrator to look at");
}

FileStatus RemoveOwnJournal(OwnFile& journal, RunLog& log) {
  const FileStatus removed = journal.Remove();
  if (removed.ok() || removed == FileResult::kMissing) return FileStatus();
  if (removed == FileResult::kChanged) {
    LogJournalNotOurs(journal.path(), log);
  } else {
    log.Failure(L"remove", journal.path(), removed);
  }
  return removed;
}

}  // namespace kestrune
