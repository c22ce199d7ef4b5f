// The updater's own files in its package.
#ifndef KESTRUNE_RUN_OWN_FILES_H_
#define KESTRUNE_RUN_OWN_FILES_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

// Never copied, never listed by /write-hashes, never required in a list:
// every packaged path that holds the marker, and the files beside the
// running updater that are named after it, whatever it is called (a vendor
// may ship it as VordaUpdate.exe).
class OwnFiles {
 public:
  // The marker alone.
  OwnFiles() = default;
  // `names`: file names in the package folder itself. On Windows
  // (`separator` '\\') they match in any letter case, as the system finds
  // them.
  OwnFiles(std::vector<std::wstring> names, wchar_t separator)
      : names_(std::move(names)), separator_(separator) {}

  // `relative`: a packaged path relative to the package folder, with or
  // without its leading separators. Never the package folder's own path: a
  // package kept in a folder named after the updater still has files.
  bool Holds(std::wstring_view relative) const;
  // For a file in the package folder itself, by its name alone.
  bool IsBesideUpdater(std::wstring_view name) const;

 private:
  std::vector<std::wstring> names_;
  wchar_t separator_ = L'\\';
};

}  // namespace kestrune

#endif  // KESTRUNE_RUN_OWN_FILES_H_
