#include "run/file_list.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"

namespace kestrune {
namespace {

constexpr size_t kChunkUnits = size_t{1} << 16;

}  // namespace

uint32_t FileList::AddFolder(std::wstring prefix) {
  folders_.push_back(std::move(prefix));
  return static_cast<uint32_t>(folders_.size() - 1);
}

void FileList::Add(uint32_t folder, std::wstring_view name) {
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < name.size()) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(kChunkUnits, name.size()));
  }
  std::wstring& chunk = chunks_.back();
  entries_.push_back(Entry{folder, static_cast<uint32_t>(name.size()),
                           static_cast<uint32_t>(chunks_.size() - 1),
                           static_cast<uint32_t>(chunk.size())});
  chunk.append(name);
}

FileList FileList::FromPaths(const std::vector<std::wstring>& paths, wchar_t separator) {
  FileList list;
  for (const std::wstring& path : paths) {
    size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1], separator)) --cut;
    const std::wstring_view prefix = std::wstring_view(path).substr(0, cut);
    if (list.folders_.empty() || list.folders_.back() != prefix) {
      list.AddFolder(std::wstring(prefix));
    }
    list.Add(static_cast<uint32_t>(list.folders_.size() - 1), std::wstring_view(path).substr(cut));
  }
  return list;
}

std::wstring FileList::Path(size_t index) const {
  const std::wstring& prefix = folders_[entries_[index].folder];
  const std::wstring_view name = Name(index);
  std::wstring path;
  path.reserve(prefix.size() + name.size());
  path += prefix;
  path += name;
  return path;
}

std::wstring_view FileList::Name(size_t index) const {
  const Entry& entry = entries_[index];
  return std::wstring_view(chunks_[entry.chunk]).substr(entry.start, entry.length);
}

void FileList::Drop(const std::vector<size_t>& indices) {
  if (indices.empty()) return;
  size_t kept = 0;
  size_t next = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (next < indices.size() && indices[next] == i) {
      ++next;
      continue;
    }
    entries_[kept++] = entries_[i];
  }
  entries_.resize(kept);
}

}  // namespace kestrune
