// Lists every file of the update package.
#ifndef KESTRUNE_REPLACE_COLLECTOR_H_
#define KESTRUNE_REPLACE_COLLECTOR_H_

#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/file_list.h"
#include "run/log.h"

namespace kestrune {

// An entry of the package that the walk leaves out, and why.
struct LeftOut {
  std::wstring path;
  const wchar_t* why;
};

// Appends every file below `folder` to `files`, depth first
// in the platform's order: a subfolder's files stand where the subfolder was
// met. A link that leads back into a folder on its own path is not followed,
// but a folder reached by two paths that do not loop is walked under each; a
// link that leads out of the package, and an entry that is neither a file
// nor a folder, is passed over, and the log (and `left_out`) says so.
// False, with the folder logged, when a folder cannot be searched.
bool CollectFiles(FileSystem& file_system, wchar_t separator, const std::wstring& folder,
                  FileList* files, RunLog& log, std::wstring* unsearchable = nullptr,
                  std::vector<LeftOut>* left_out = nullptr);
// The same, as whole paths.
bool CollectFiles(FileSystem& file_system, wchar_t separator, const std::wstring& folder,
                  std::vector<std::wstring>* files, RunLog& log,
                  std::wstring* unsearchable = nullptr);

}  // namespace kestrune

#endif  // KESTRUNE_REPLACE_COLLECTOR_H_
