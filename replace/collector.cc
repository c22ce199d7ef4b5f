#include "replace/collector.h"

#include <set>

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
    // A link back into the package would otherwise be walked at every level
    // of nesting, listing the same files again and again.
    if (listing.has_id && !walked_.insert(listing.id).second) return;
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
  }

 private:
  FileSystem& file_system_;
  const wchar_t separator_;
  std::vector<std::wstring>* const files_;
  std::set<FolderId> walked_;
};

}  // namespace

void CollectFiles(FileSystem& file_system, wchar_t separator,
                  const std::wstring& folder, std::vector<std::wstring>* files) {
  Walker(file_system, separator, files).Walk(folder);
}

}  // namespace kestrune
