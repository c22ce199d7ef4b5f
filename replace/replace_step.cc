#include "replace/replace_step.h"

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

bool DoStep(FileSystem& files, const StepPaths& paths, RunLog& log) {
  if (!log.Checked(files.CopyNew(paths.source, paths.temporary), L"copy",
                   paths.source + L" to " + paths.temporary)) {
    return false;
  }
  const FileStatus linked = files.Link(paths.destination, paths.aside);
  if (linked.ok()) {
    return log.Checked(files.Replace(paths.temporary, paths.destination), L"rename",
                       paths.temporary + L" over " + paths.destination);
  }
  if (linked != FileResult::kUnsupported) {
    return log.Checked(linked, L"link", paths.destination + L" as " + paths.aside);
  }
  return log.Checked(files.Move(paths.destination, paths.aside), L"rename",
                     paths.destination + L" to " + paths.aside) &&
         log.Checked(files.Move(paths.temporary, paths.destination), L"rename",
                     paths.temporary + L" to " + paths.destination);
}

namespace {

bool TakeBack(FileSystem& files, const StepPaths& paths, RunLog& log) {
  const PathKind aside = files.Probe(paths.aside);
  const PathKind temporary = files.Probe(paths.temporary);
  const PathKind destination = files.Probe(paths.destination);
  if (aside == PathKind::kError || temporary == PathKind::kError ||
      destination == PathKind::kError) {
    log.Line(L"failed: cannot tell what is at " + paths.destination +
             L" and its other names");
    return false;
  }
  if (aside == PathKind::kFile) {
    if (destination == PathKind::kMissing) {
      // Renamed aside, the copy not yet in.
      if (!log.Checked(files.Move(paths.aside, paths.destination), L"rename",
                       paths.aside + L" to " + paths.destination)) {
        return false;
      }
    } else {
      bool same = false;
      if (!log.Checked(files.SameFile(paths.aside, paths.destination, &same), L"compare",
                       paths.aside + L" with " + paths.destination)) {
        return false;
      }
      if (same) {
        // Linked, the copy not yet in: the second name goes, the file stays.
        if (!log.Checked(files.Remove(paths.aside), L"remove", paths.aside)) return false;
      } else if (temporary == PathKind::kMissing) {
        // The copy is in: the old file moves back over it in one move.
        if (!log.Checked(files.Replace(paths.aside, paths.destination), L"rename",
                         paths.aside + L" over " + paths.destination)) {
          return false;
        }
      } else {
        // Three different files where this run leaves at most two: not ours
        // to guess at.
        log.Line(L"failed: " + paths.destination +
                 L" is neither the old file nor the new one");
        return false;
      }
    }
  }
  return temporary == PathKind::kMissing || RemoveIfThere(files, paths.temporary, log);
}

}  // namespace

bool UndoStep(FileSystem& files, const StepPaths& paths, const std::wstring& relative,
              RunLog& log) {
  const bool undone = TakeBack(files, paths, log);
  log.Line((undone ? L"undone " : L"could not undo ") + relative);
  return undone;
}

bool RemoveIfThere(FileSystem& files, const std::wstring& path, RunLog& log) {
  const FileStatus removed = files.Remove(path);
  return removed == FileResult::kMissing || log.Checked(removed, L"remove", path);
}

}  // namespace kestrune
