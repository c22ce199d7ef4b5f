#include "replace/collector.h"

#include <algorithm>

#include "run/messages.h"

namespace kestrune {
namespace {

// Deeper than any real package; only a walk the folder identities cannot
// bound (a platform that cannot tell them) gets here.
constexpr size_t kDeepestFolder = 512;

class Walker {
 public:
  Walker(FileSystem& file_system, wchar_t separator, FileList* files,
         RunLog& log, std::wstring* unsearchable, std::vector<LeftOut>* left_out)
      : file_system_(file_system), separator_(separator), files_(files), log_(log),
        unsearchable_(unsearchable), left_out_(left_out) {}

  bool Walk(const std::wstring& folder) {
    FolderListing listing;
    // A folder that cannot be searched would leave its files old while the
    // run reports success; the update stops before any change instead.
    if (open_.size() > kDeepestFolder || !file_system_.ListFolder(folder, &listing)) {
      log_.Line(L"failed: cannot search the package folder " + folder);
      if (unsearchable_ != nullptr) *unsearchable_ = folder;
      return false;
    }
    // Only a loop is cut: a folder being walked already, an ancestor of
    // itself on this path. One reached by another path is walked again under
    // that path, since its files have counterparts there too.
    if (listing.has_id &&
        std::find(open_.begin(), open_.end(), listing.id) != open_.end()) {
      return true;
    }
    open_.push_back(listing.id);
    bool complete = true;
    // The folder is numbered when its first file comes.
    uint32_t number = 0;
    bool numbered = false;
    for (FolderEntry& entry : listing.entries) {
      if (!entry.leads_outside && !entry.is_folder && !entry.special) {
        if (!numbered) number = files_->AddFolder(folder + separator_);
        numbered = true;
        files_->Add(number, entry.name);
        continue;
      }
      std::wstring path;
      path.reserve(folder.size() + 1 + entry.name.size());
      path += folder;
      path += separator_;
      path += entry.name;
      if (entry.leads_outside || entry.special) {
        const wchar_t* why =
            entry.leads_outside ? msg::kLeadsOutOfPackage : msg::kNeitherFileNorFolder;
        ++log_.tally().passed_over;
        log_.Line(L"passed over " + path + L": " + why);
        if (left_out_ != nullptr) left_out_->push_back(LeftOut{path, why});
      } else if (!Walk(path)) {
        complete = false;
        break;
      }
    }
    open_.pop_back();
    return complete;
  }

 private:
  FileSystem& file_system_;
  const wchar_t separator_;
  FileList* const files_;
  RunLog& log_;
  std::wstring* const unsearchable_;
  std::vector<LeftOut>* const left_out_;
  std::vector<FolderId> open_;  // the folders on the current path
};

}  // namespace

bool CollectFiles(FileSystem& file_system, wchar_t separator, const std::wstring& folder,
                  FileList* files, RunLog& log, std::wstring* unsearchable,
                  std::vector<LeftOut>* left_out) {
  return Walker(file_system, separator, files, log, unsearchable, left_out).Walk(folder);
}

bool CollectFiles(FileSystem& file_system, wchar_t separator, const std::wstring& folder,
                  std::vector<std::wstring>* files, RunLog& log, std::wstring* unsearchable) {
  FileList list;
  const bool complete = CollectFiles(file_system, separator, folder, &list, log, unsearchable);
  for (size_t i = 0; i < list.size(); ++i) files->push_back(list.Path(i));
  return complete;
}

}  // namespace kestrune
