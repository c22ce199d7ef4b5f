// The package checked whole against its list of hashes before anything
// changes, and the list written for a package builder.
#ifndef KESTRUNE_VERIFY_PACKAGE_CHECK_H_
#define KESTRUNE_VERIFY_PACKAGE_CHECK_H_

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/file_list.h"
#include "run/log.h"
#include "run/own_files.h"

namespace kestrune {

struct PackageFiles {
  const std::wstring& folder;               // the package folder
  const FileList& listed;  // every file the walk found
  wchar_t separator;
  const OwnFiles& own;  // never listed, never checked
};

// Every file the list names must be in the package with its hash, and every
// file the walk found (the updater's own excepted) must be listed; the list
// may name the updater's own or not, and they are not checked. Each
// difference is logged with its kind. False with `first` naming the first
// difference and its kind, "<path> (changed)", "(missing)", "(not listed)"
// or "(unreadable)": in list order, then in the walk's order; or naming the
// list (and the line) when it cannot be read or a line does not fit.
// `digests` receives each listed file's hash by its relative path as the
// walk spells it, for the copy to be compared with. A cancel through
// `progress` stops the check before its next file, false with `first` as it
// was then. A walked file that the list does not name and whose open leads
// out of the package is passed over and logged, and its place in the walk
// put in `outside`, for the update to leave it out; one the list names
// counts as missing.
bool CheckPackage(FileSystem& files, const std::wstring& list_path, const PackageFiles& package,
                  RunLog& log, Progress& progress, std::wstring* first,
                  std::map<std::wstring, Sha256Digest>* digests, std::vector<size_t>* outside);

// Writes the list for every file the walk found but the updater's own,
// sorted by relative path, replacing an existing list only by renaming a
// new one over it. False with `failed` naming the file that could not be
// read (relative to the package), or the list that could not be written, and
// `cause` the system's answer. A file whose open leads out of the package is
// left out, logged, and its path put in `leading_out`.
bool WriteHashList(FileSystem& files, const std::wstring& list_path, const PackageFiles& package,
                   RunLog& log, size_t* count, std::wstring* failed, FileStatus* cause,
                   std::vector<std::wstring>* leading_out);

}  // namespace kestrune

#endif  // KESTRUNE_VERIFY_PACKAGE_CHECK_H_
