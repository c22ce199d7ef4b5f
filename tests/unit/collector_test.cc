#include "replace/collector.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeFileSystem;

TEST(CollectorTest, DepthFirstInPlatformOrderFilesOnly) {
  FakeFileSystem files;
  files.AddFolder(L"C:\\pkg");
  files.AddFile(L"C:\\pkg\\Kestrune.exe", "");
  files.AddFolder(L"C:\\pkg\\bin");
  files.AddFile(L"C:\\pkg\\bin\\core.dll", "");
  files.AddFolder(L"C:\\pkg\\bin\\empty");
  files.AddFolder(L"C:\\pkg\\bin\\lang");
  files.AddFile(L"C:\\pkg\\bin\\lang\\de.dat", "");
  files.AddFile(L"C:\\pkg\\bin\\z.dll", "");
  files.AddFile(L"C:\\pkg\\.hidden", "");
  files.AddFile(L"C:\\pkg\\Kestrune.ini", "");
  std::vector<std::wstring> listed;
  CollectFiles(files, L'\\', L"C:\\pkg", &listed);
  EXPECT_EQ(listed, (std::vector<std::wstring>{
                        L"C:\\pkg\\Kestrune.exe", L"C:\\pkg\\bin\\core.dll",
                        L"C:\\pkg\\bin\\lang\\de.dat", L"C:\\pkg\\bin\\z.dll",
                        L"C:\\pkg\\.hidden", L"C:\\pkg\\Kestrune.ini"}));
}

TEST(CollectorTest, UnsearchableFoldersContributeNothingAndTheWalkGoesOn) {
  FakeFileSystem files;
  files.AddFolder(L"C:\\pkg");
  files.AddSealedFolder(L"C:\\pkg\\locked");
  files.AddFile(L"C:\\pkg\\locked\\secret.dll", "");
  files.AddFile(L"C:\\pkg\\after.dll", "");
  std::vector<std::wstring> listed;
  CollectFiles(files, L'\\', L"C:\\pkg", &listed);
  EXPECT_EQ(listed, std::vector<std::wstring>{L"C:\\pkg\\after.dll"});

  listed.clear();
  CollectFiles(files, L'\\', L"C:\\nowhere", &listed);
  EXPECT_TRUE(listed.empty());
}

TEST(CollectorTest, LoopsAreCutButAFolderReachedByTwoPathsIsWalkedUnderEach) {
  FakeFileSystem files;
  files.AddFolder(L"C:\\pkg");
  files.AddFolder(L"C:\\pkg\\bin");
  files.AddFile(L"C:\\pkg\\bin\\core.dll", "");
  files.AddFolderLink(L"C:\\pkg\\bin\\up", L"C:\\pkg");
  files.AddFolderLink(L"C:\\pkg\\bin\\again", L"C:\\pkg\\bin");
  files.AddFolderLink(L"C:\\pkg\\alias", L"C:\\pkg\\bin");
  std::vector<std::wstring> listed;
  CollectFiles(files, L'\\', L"C:\\pkg", &listed);
  EXPECT_EQ(listed, (std::vector<std::wstring>{L"C:\\pkg\\bin\\core.dll",
                                               L"C:\\pkg\\alias\\core.dll"}));

  // Two links in each folder that lead back up: still finite.
  files.AddFolderLink(L"C:\\pkg\\bin\\up2", L"C:\\pkg");
  files.AddFolderLink(L"C:\\pkg\\alias2", L"C:\\pkg\\bin");
  listed.clear();
  CollectFiles(files, L'\\', L"C:\\pkg", &listed);
  EXPECT_EQ(listed.size(), 3u);
}

}  // namespace
}  // namespace kestrune
