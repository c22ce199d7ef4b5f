#include "replace/collector.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeFileSystem;

RunLog log;  // the walk's log lines go nowhere here

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
  CollectFiles(files, L'\\', L"C:\\pkg", &listed, log);
  EXPECT_EQ(listed, (std::vector<std::wstring>{
                        L"C:\\pkg\\Kestrune.exe", L"C:\\pkg\\bin\\core.dll",
                        L"C:\\pkg\\bin\\lang\\de.dat", L"C:\\pkg\\bin\\z.dll",
                        L"C:\\pkg\\.hidden", L"C:\\pkg\\Kestrune.ini"}));
}

TEST(CollectorTest, AFolderThatCannotBeSearchedFailsTheWalkAndOutsideLinksArePassedOver) {
  FakeFileSystem files;
  files.AddFolder(L"C:\\pkg");
  files.AddFile(L"C:\\pkg\\before.dll", "");
  files.AddFile(L"C:\\pkg\\elsewhere.dll", "");
  files.outside.insert(L"C:\\pkg\\elsewhere.dll");
  files.AddFile(L"C:\\pkg\\pipe", "");
  files.special.insert(L"C:\\pkg\\pipe");
  files.AddFile(L"C:\\pkg\\after.dll", "");
  FileList listed;
  std::vector<LeftOut> left_out;
  RunLog counted;
  EXPECT_TRUE(CollectFiles(files, L'\\', L"C:\\pkg", &listed, counted, nullptr, &left_out));
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed.Path(0), L"C:\\pkg\\before.dll");
  EXPECT_EQ(listed.Path(1), L"C:\\pkg\\after.dll");
  // Named, with why, for the package builder.
  ASSERT_EQ(left_out.size(), 2u);
  EXPECT_EQ(left_out[0].path + L": " + left_out[0].why,
            L"C:\\pkg\\elsewhere.dll: a link that leads out of the package");
  EXPECT_EQ(left_out[1].path + L": " + left_out[1].why, L"C:\\pkg\\pipe: neither a file nor a folder");
  EXPECT_EQ(counted.tally().passed_over, 2u);

  // Its files would stay old while the run reported success.
  files.AddSealedFolder(L"C:\\pkg\\locked");
  files.AddFile(L"C:\\pkg\\locked\\secret.dll", "");
  std::vector<std::wstring> paths;
  EXPECT_FALSE(CollectFiles(files, L'\\', L"C:\\pkg", &paths, log));
  EXPECT_FALSE(CollectFiles(files, L'\\', L"C:\\nowhere", &paths, log));
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
  CollectFiles(files, L'\\', L"C:\\pkg", &listed, log);
  EXPECT_EQ(listed, (std::vector<std::wstring>{L"C:\\pkg\\bin\\core.dll",
                                               L"C:\\pkg\\alias\\core.dll"}));

  // Two links in each folder that lead back up: still finite.
  files.AddFolderLink(L"C:\\pkg\\bin\\up2", L"C:\\pkg");
  files.AddFolderLink(L"C:\\pkg\\alias2", L"C:\\pkg\\bin");
  listed.clear();
  CollectFiles(files, L'\\', L"C:\\pkg", &listed, log);
  EXPECT_EQ(listed.size(), 3u);
}

}  // namespace
}  // namespace kestrune
