#include "run/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune {
namespace {

TEST(FileListTest, PathsSplitAtTheirLastSeparatorComeBackWhole) {
  struct Row {
    wchar_t separator;
    std::vector<std::wstring> paths;
    std::vector<std::wstring> names;
  };
  const Row rows[] = {
      {L'\\',
       {L"C:\\pkg\\a.dll", L"C:\\pkg\\bin\\b.dll", L"C:\\pkg/mixed/c.dll", L"C:\\pkg\\d.dll",
        L"bare"},
       {L"a.dll", L"b.dll", L"c.dll", L"d.dll", L"bare"}},
      // A backslash is an ordinary character of a POSIX name.
      {L'/', {L"/pkg/a\\b.dll", L"/pkg//x/y"}, {L"a\\b.dll", L"y"}},
  };
  for (const Row& row : rows) {
    const FileList list = FileList::FromPaths(row.paths, row.separator);
    ASSERT_EQ(list.size(), row.paths.size());
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list.Path(i), row.paths[i]);
      EXPECT_EQ(list.Name(i), row.names[i]);
      EXPECT_EQ(list.FolderPrefix(list.Folder(i)) + std::wstring(list.Name(i)), row.paths[i]);
    }
  }
}

// Names are kept in chunks of a fixed size: many names, and one longer than
// a chunk, each stay whole and in order.
TEST(FileListTest, ManyNamesAndLongOnesStayWholeAcrossChunks) {
  FileList list;
  const uint32_t top = list.AddFolder(L"/pkg/");
  const uint32_t sub = list.AddFolder(L"/pkg/sub/");
  std::vector<std::wstring> names;
  for (int i = 0; i < 30000; ++i) {
    names.push_back(L"file" + std::to_wstring(i) + L".dat");
    if (i == 12345) names.push_back(std::wstring(70000, L'n'));
  }
  for (size_t i = 0; i < names.size(); ++i) list.Add(i % 2 ? sub : top, names[i]);
  ASSERT_EQ(list.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(list.Name(i), names[i]) << i;
    ASSERT_EQ(list.Path(i), (i % 2 ? L"/pkg/sub/" : L"/pkg/") + names[i]) << i;
  }
}

}  // namespace
}  // namespace kestrune
