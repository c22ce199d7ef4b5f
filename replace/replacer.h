// Puts the packaged files in place of the installed ones, all or nothing.
#ifndef KESTRUNE_REPLACE_REPLACER_H_
#define KESTRUNE_REPLACE_REPLACER_H_

#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/log.h"

namespace kestrune {

struct ReplaceInputs {
  std::wstring package_folder;  // the prefix of every listed path
  std::wstring install_folder;
  std::wstring product_vernum;  // suffix of every backup name
};

enum class ReplaceResult {
  kDone,                  // every installed counterpart replaced
  kFailedUndone,          // message shown; installation as before the run
  kFailedUndoIncomplete,  // message shown; some old file kept under its aside name
};

// For each listed file whose counterpart is installed, moves the installed
// file to its backup name (or, when a backup from an earlier run exists, to a
// temporary name) and copies the packaged file in. At the first failure every
// replacement of this run is taken back, newest first, and the failure shown.
ReplaceResult ReplaceFiles(FileSystem& files, Messages& messages,
                           const ReplaceInputs& inputs,
                           const std::vector<std::wstring>& listed, RunLog& log);

// The listed path relative to the package folder: the folder removed once
// from its start.
std::wstring RelativePathOf(const std::wstring& listed,
                            const std::wstring& package_folder);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_REPLACER_H_
