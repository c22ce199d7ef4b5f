#include "replace/collector.h"

#include <algorithm>

namespace kestrune {
namespace {

class Walker {
 public:
  Walker(FileSystem& file_system, wchar_t separator,
         std::vector<std::wstring>* files)
      : file_system_(file_system), separator_(separator), files_(files) {}

  void Walk(const std::wstring& folder) {
    FolderListing listing;
    if (!file_system_.ListFolder(folder, &listing)) return;
    // Only a loop is cut: a folder being walked already, an ancestor of
    // itself on this path. One reached by another path is walked again under
    // that path, since its files have counterparts there too.
    if (listing.has_id) {
      if (std::find(open_.begin(), open_.end(), listing.id) != open_.end()) return;
      open_.push_back(listing.id);
    }
    for (FolderEntry& entry : listing.entries) {
      std::wstring path;
      path.reserve(folder.size() + 1 + entry.name.size());
      path += folder;
      path += separator_;
      path += entry.name;
      if (entry.is_folder) {
        Walk(path);
      } else {
        files_->push_back(std::move(path));
      }
    }
    if (listing.has_id) open_.pop_back();
  }

 private:
  FileSystem& file_system_;
  const wchar_t separator_;
  std::vector<std::wstring>* const files_;
  std::vector<FolderId> open_;  // the folders on the current path
};

}  // namespace

void CollectFiles(FileSystem& file_system, wchar_t separator,
                  const std::wstring& folder, std::vector<std::wstring>* files) {
  Walker(file_system, separator, files).Walk(folder);
}

}  // namespace kestrune
