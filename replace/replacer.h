// Puts the packaged files in place of the installed ones, all or nothing,
// whatever instant the run is stopped at.
#ifndef KESTRUNE_REPLACE_REPLACER_H_
#define KESTRUNE_REPLACE_REPLACER_H_

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/file_list.h"
#include "run/log.h"
#include "run/own_files.h"

namespace kestrune {

struct ReplaceInputs {
  std::wstring package_folder;  // the prefix of every listed path
  std::wstring install_folder;
  std::wstring product_vernum;  // suffix of every backup name
  wchar_t separator = L'\\';
  // Of the copies beside their destinations: one of its own for each run,
  // so that no name needs a look before the journal is written.
  std::wstring temporary_suffix = L".~kestrune-new";
  // The hashes the package was checked against, by relative path as the
  // walk spells it (no leading separator); null without a list. Each copy
  // is compared with its hash before it is renamed in.
  const std::map<std::wstring, Sha256Digest>* digests = nullptr;
  // Where a person sees the update advance and may cancel it, if anywhere.
  Progress* progress = nullptr;
  // Passed over besides every path that holds the marker; null: those alone.
  const OwnFiles* own = nullptr;
  // Takes this package's update back instead: each installed counterpart
  // must hold the packaged bytes and have its backup, which is copied back
  // in its place; the package's file is set aside, and it and the backup
  // are removed once the rollback commits.
  bool rollback = false;
};

enum class ReplaceResult {
  kDone,                  // every installed counterpart replaced
  kFailedUndone,          // message shown; installation as before the run
  kFailedUndoIncomplete,  // message shown; some old file kept under its aside name
  kPackageChanged,        // a packaged file changed after the check; undone, message shown
  kCancelled,             // a person cancelled; undone, message shown
  kNothingToTakeBack,     // a rollback found no backup of any packaged file; nothing shown
};

// For each listed file whose counterpart is installed, keeps the installed
// file under its backup name (or, when a backup from an earlier run exists,
// under a set-aside name dropped after success) and puts the packaged file
// in its place. The whole plan is journalled before the first change; at the
// first failure every replacement of this run is taken back, newest first,
// and the failure shown. A cancel is seen before the journal is written and
// before each file, up to the commit point, and undoes the same way.
ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs, const FileList& listed, RunLog& log);
// The same for a list of whole paths.
ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs,
                           const std::vector<std::wstring>& listed, RunLog& log);

// What an update would do, found with nothing changed.
struct PlanCheck {
  bool planned = false;  // false: a run would stop before its first change
  size_t replaced = 0;   // files a run would replace
  size_t backups = 0;    // of them, kept under their backup names
  // A destination that could not be renamed now, or the space short, for
  // the box: the first of them, and how many there were.
  std::wstring first_blocked;
  size_t blocked = 0;
};

// Makes the plan a run would make, logs what it would do to each packaged
// file, tries each destination for the rename its step needs and weighs the
// free space of the installation's volume against the copies' bytes. Writes,
// renames and removes nothing.
PlanCheck CheckReplacement(FileSystem& files, const ReplaceInputs& inputs, const FileList& listed,
                           RunLog& log);

// The listed path relative to the package folder: the folder removed once
// from its start.
std::wstring RelativePathOf(const std::wstring& listed,
                            const std::wstring& package_folder);

// True for a file name that a backup or this updater's own scratch files
// carry: a package zipped from an installation holds such files, and
// installing one would overwrite an earlier backup.
bool IsBackupName(const std::wstring& relative, const std::wstring& product_vernum,
                  wchar_t separator);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACER_H_
