// The files a walk of the package found, held as their folders and names.
#ifndef KESTRUNE_RUN_FILE_LIST_H_
#define KESTRUNE_RUN_FILE_LIST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// A million files cost their names here, not a million whole paths, and a
// caller that works folder by folder gets each file's folder with it. Files
// keep the order they were added in.
class FileList {
 public:
  // A folder, as its path and the separator after it; numbered from 0.
  uint32_t AddFolder(std::wstring prefix);
  void Add(uint32_t folder, std::wstring_view name);
  // Whole paths, each split after its last separator.
  static FileList FromPaths(const std::vector<std::wstring>& paths, wchar_t separator);
  // Leaves out the files at `indices` (ascending), the others keeping their
  // order; their names' room stays taken.
  void Drop(const std::vector<size_t>& indices);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::wstring Path(size_t index) const;
  std::wstring_view Name(size_t index) const;
  uint32_t Folder(size_t index) const { return entries_[index].folder; }
  const std::wstring& FolderPrefix(uint32_t folder) const { return folders_[folder]; }

 private:
  struct Entry {
    uint32_t folder;
    uint32_t length;
    uint32_t chunk;
    uint32_t start;
  };
  std::vector<std::wstring> folders_;
  // The names, one after another in chunks that never grow past their
  // first size, so that a long list is never copied to grow.
  std::vector<std::wstring> chunks_;
  std::vector<Entry> entries_;
};

}  // namespace kestrune

#endif  // KESTRUNE_RUN_FILE_LIST_H_
