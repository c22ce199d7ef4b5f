#include "replace/replace_step.h"

namespace kestrune {
namespace {

constexpr wchar_t kSetAsideSuffix[] = L".~kestrune";

bool Logged(const FileStatus& status, const wchar_t* operation, const std::wstring& what,
            RunLog& log) {
  if (!status.ok()) log.Failure(operation, what, status);
  return status.ok();
}

}  // namespace

std::wstring SetAsideName(const std::wstring& destination, int number) {
  std::wstring name = destination + kSetAsideSuffix;
  if (number > 0) name += std::to_wstring(number);
  return name;
}

std::wstring TemporaryName(const std::wstring& destination, const std::wstring& suffix) {
  return destination + suffix;
}

bool DoStep(FileSystem& files, const StepPaths& paths, RunLog& log) {
  if (!Logged(files.CopyNew(paths.source, paths.temporary), L"copy",
              paths.source + L" to " + paths.temporary, log)) {
    return false;
  }
  const FileStatus linked = files.Link(paths.destination, paths.aside);
  if (linked.ok()) {
    return Logged(files.Replace(paths.temporary, paths.destination), L"rename",
                  paths.temporary + L" over " + paths.destination, log);
  }
  if (linked != FileResult::kUnsupported) {
    return Logged(linked, L"link", paths.destination + L" as " + paths.aside, log);
  }
  return Logged(files.Move(paths.destination, paths.aside), L"rename",
                paths.destination + L" to " + paths.aside, log) &&
         Logged(files.Move(paths.temporary, paths.destination), L"rename",
                paths.temporary + L" to " + paths.destination, log);
}

bool UndoStep(FileSystem& files, const StepPaths& paths, RunLog& log) {
  const PathKind aside = files.Probe(paths.aside);
  const PathKind temporary = files.Probe(paths.temporary);
  const PathKind destination = files.Probe(paths.destination);
  if (aside == PathKind::kError || temporary == PathKind::kError ||
      destination == PathKind::kError) {
    log.Line(L"failed: cannot tell what is at " + paths.destination + L" and its other names");
    return false;
  }
  if (aside == PathKind::kFile) {
    if (destination == PathKind::kMissing) {
      // Renamed aside, the copy not yet in.
      if (!Logged(files.Move(paths.aside, paths.destination), L"rename",
                  paths.aside + L" to " + paths.destination, log)) {
        return false;
      }
    } else {
      bool same = false;
      if (!Logged(files.SameFile(paths.aside, paths.destination, &same), L"compare",
                  paths.aside + L" with " + paths.destination, log)) {
        return false;
      }
      if (same) {
        // Linked, the copy not yet in: the second name goes, the file stays.
        if (!Logged(files.Remove(paths.aside), L"remove", paths.aside, log)) return false;
      } else if (temporary == PathKind::kMissing) {
        // The copy is in: the old file moves back over it in one move.
        if (!Logged(files.Replace(paths.aside, paths.destination), L"rename",
                    paths.aside + L" over " + paths.destination, log)) {
          return false;
        }
      } else {
        // Three different files where this run leaves at most two: not ours
        // to guess at.
        log.Line(L"failed: " + paths.destination + L" is neither the old file nor the new one");
        return false;
      }
    }
  }
  if (temporary != PathKind::kMissing) {
    const FileStatus removed = files.Remove(paths.temporary);
    if (!removed.ok() && removed != FileResult::kMissing) {
      log.Failure(L"remove", paths.temporary, removed);
      return false;
    }
  }
  return true;
}

}  // namespace kestrune
