// The POSIX back-end's file operations on real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/posix/io_posix.h"
#include "platform/posix/posix_backend.h"
#include "platform/utf.h"
#include "replace/collector.h"
#include "replace/replacer.h"
#include "tests/fakes/fake_platform.h"
#include "tests/posix/temp_tree.h"

// Every file the back-end flushes, by inode: the promise of durability that
// the power-loss sweep's model takes on trust is kept, or a row fails.
namespace {
std::set<ino_t> flushed_inodes;
}  // namespace

extern "C" int fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0) flushed_inodes.insert(st.st_ino);
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace kestrune {
namespace {

bool Flushed(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && flushed_inodes.count(st.st_ino) != 0;
}

using posix::PosixFileSystem;
using testing::FakeMessages;
using testing::TempTree;

std::wstring W(const std::string& text) { return WideFromUtf8(text); }

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(PosixLogTest, EachLineIsHeldAgainstOtherRunsUntilWrittenAndAStuckHolderOnlyOnce) {
  TempTree tree;
  posix::PosixEnvironment environment;
  std::unique_ptr<LogFile> log = environment.OpenLog(W(tree.Path("logs/run.log")));
  ASSERT_NE(log, nullptr);
  // Another run: its own open of the file, its own lock.
  const int other = open(tree.Path("logs/run.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(other, 0);
  log->Hold();
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(log->Append("one\n"));
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  // A holder that does not let go is waited for once, then written past.
  log->Hold();
  EXPECT_TRUE(log->Append("two\n"));
  log->Hold();
  EXPECT_TRUE(log->Append("three\n"));
  close(other);
  EXPECT_EQ(tree.Read("logs/run.log"), "one\ntwo\nthree\n");
}

TEST(PosixFileSystemTest, MoveAndCopyNeverReplaceAnExistingTarget) {
  TempTree tree;
  tree.Write("a", "A");
  tree.Write("b", "B");
  PosixFileSystem files;
  EXPECT_EQ(files.Move(W(tree.Path("a")), W(tree.Path("b"))), FileResult::kTargetExists);
  EXPECT_EQ(files.CopyNew(W(tree.Path("a")), W(tree.Path("b")), nullptr), FileResult::kTargetExists);
  EXPECT_EQ(tree.Read("a"), "A");
  EXPECT_EQ(tree.Read("b"), "B");
  EXPECT_EQ(files.Move(W(tree.Path("a")), W(tree.Path("c"))), FileResult::kOk);
  EXPECT_FALSE(tree.Exists("a"));
  EXPECT_EQ(tree.Read("c"), "A");
  EXPECT_NE(files.Move(W(tree.Path("a")), W(tree.Path("d"))), FileResult::kOk);
  EXPECT_EQ(files.Remove(W(tree.Path("c"))), FileResult::kOk);
  EXPECT_EQ(files.Remove(W(tree.Path("c"))), FileResult::kMissing);
}

TEST(PosixFileSystemTest, CopyKeepsBytesAndExactPermissionBitsWhateverTheUmask) {
  TempTree tree;
  std::string big(5 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 12));
  tree.Write("exe", big, 0755);
  tree.Write("private", "p", 0640);
  tree.Write("empty", "", 0604);
  const mode_t old_umask = umask(077);
  PosixFileSystem files;
  EXPECT_EQ(files.CopyNew(W(tree.Path("exe")), W(tree.Path("exe2")), nullptr), FileResult::kOk);
  EXPECT_EQ(files.CopyNew(W(tree.Path("private")), W(tree.Path("private2")), nullptr), FileResult::kOk);
  EXPECT_EQ(files.CopyNew(W(tree.Path("empty")), W(tree.Path("empty2")), nullptr), FileResult::kOk);
  umask(old_umask);
  EXPECT_TRUE(tree.Read("exe2") == big);
  EXPECT_EQ(ModeOf(tree.Path("exe2")), 0755u);
  EXPECT_EQ(ModeOf(tree.Path("private2")), 0640u);
  EXPECT_EQ(tree.Read("empty2"), "");
  EXPECT_EQ(ModeOf(tree.Path("empty2")), 0604u);
}

TEST(PosixFileSystemTest, ProbeTellsMissingFromUnreachable) {
  TempTree tree;
  tree.Write("file", "x");
  tree.MakeFolder("folder");
  PosixFileSystem files;
  EXPECT_EQ(files.Probe(W(tree.Path("file"))), PathKind::kFile);
  EXPECT_EQ(files.Probe(W(tree.Path("folder"))), PathKind::kFolder);
  EXPECT_EQ(files.Probe(W(tree.Path("none"))), PathKind::kMissing);
  EXPECT_EQ(files.Probe(W(tree.Path("file/below"))), PathKind::kMissing);
  EXPECT_EQ(files.Probe(W(tree.Path(std::string(300, 'n')))), PathKind::kMissing);
  // A backslash is an ordinary character of a POSIX name.
  tree.Write("a\\b", "x");
  EXPECT_EQ(files.Probe(W(tree.Path("a\\b"))), PathKind::kFile);

  tree.MakeFolder("sealed");
  tree.Write("sealed/inside", "x");
  chmod(tree.Path("sealed").c_str(), 0);
  EXPECT_TRUE(testing::RunUnprivileged(
      [](const std::string& path) {
        return PosixFileSystem().Probe(WideFromUtf8(path)) == PathKind::kError;
      },
      tree.Path("sealed/inside")));
}

// The lock and the state files are still the file opened only while device
// and inode both match: either alone is shared by other files.
TEST(PosixFileSystemTest, OneFileIsOneDeviceAndOneInode) {
  struct Row {
    const char* label;
    dev_t device;
    ino_t inode;
    bool same;
  };
  const Row rows[] = {
      {"the file, grown since", 8, 1201, true},
      {"another file on its device", 8, 1202, false},
      {"its inode number on another device", 9, 1201, false},
  };
  struct stat file {};
  file.st_dev = 8;
  file.st_ino = 1201;
  for (const Row& row : rows) {
    struct stat other {};
    other.st_dev = row.device;
    other.st_ino = row.inode;
    other.st_size = 4096;
    EXPECT_EQ(posix::SameFile(file, other), row.same) << row.label;
    EXPECT_EQ(posix::SameFile(other, file), row.same) << row.label;
  }
}

TEST(PosixFileSystemTest, ListingMarksSpecialFilesAndFollowsLinks) {
  TempTree tree;
  tree.Write("pkg/plain", "x");
  tree.Write("pkg/sub/deep", "y");
  ASSERT_EQ(mkfifo(tree.Path("pkg/fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("plain", tree.Path("pkg/file_link").c_str()), 0);
  ASSERT_EQ(symlink("sub", tree.Path("pkg/folder_link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.Path("pkg/dangling").c_str()), 0);
  tree.Write("outside/secret", "z");
  ASSERT_EQ(symlink("../outside/secret", tree.Path("pkg/out_file").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("outside").c_str(), tree.Path("pkg/out_folder").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = tree.Path("pkg/socket");
  if (socket_path.size() < sizeof address.sun_path) {
    std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  PosixFileSystem files;
  ASSERT_TRUE(files.Confine(W(tree.Path("pkg")), W(tree.Path("outside"))).ok());
  FolderListing listing;
  ASSERT_TRUE(files.ListFolder(W(tree.Path("pkg")), &listing));
  close(sock);
  // Name, folder, leads outside, special: what no walk may open is named.
  using Entry = std::tuple<std::wstring, bool, bool, bool>;
  std::vector<Entry> entries;
  for (const FolderEntry& entry : listing.entries) {
    entries.emplace_back(entry.name, entry.is_folder, entry.leads_outside, entry.special);
  }
  std::sort(entries.begin(), entries.end());
  std::vector<Entry> expected{{L"dangling", false, false, true},   {L"fifo", false, false, true},
                              {L"file_link", false, false, false}, {L"folder_link", true, false, false},
                              {L"out_file", false, true, false},   {L"out_folder", true, true, false},
                              {L"plain", false, false, false}};
  if (socket_path.size() < sizeof address.sun_path) expected.emplace_back(L"socket", false, false, true);
  expected.emplace_back(L"sub", true, false, false);
  EXPECT_EQ(entries, expected);
  // The open that reads a packaged file refuses one leading out, as a link
  // swapped in after the listing would: nothing read, nothing made.
  Sha256Digest digest{};
  EXPECT_EQ(files.HashFile(W(tree.Path("pkg/out_file")), &digest).result, FileResult::kLeadsOut);
  EXPECT_EQ(files.CopyNew(W(tree.Path("pkg/out_file")), W(tree.Path("outside/copy")), nullptr).result,
            FileResult::kLeadsOut);
  EXPECT_FALSE(tree.Exists("outside/copy"));
  EXPECT_TRUE(files.HashFile(W(tree.Path("pkg/plain")), nullptr).ok());

  FolderListing via_link;
  FolderListing real;
  ASSERT_TRUE(files.ListFolder(W(tree.Path("pkg/folder_link")), &via_link));
  ASSERT_TRUE(files.ListFolder(W(tree.Path("pkg/sub")), &real));
  EXPECT_TRUE(via_link.has_id);
  EXPECT_TRUE(via_link.id == real.id);
  EXPECT_FALSE(files.ListFolder(W(tree.Path("pkg/plain")), &real));
}

TEST(PosixFileSystemTest, CollectorEndsOnLinkLoopsAndListsEachFileOnce) {
  TempTree tree;
  tree.Write("pkg/bin/core.dll", "x");
  tree.Write("pkg/top.dll", "y");
  ASSERT_EQ(symlink("..", tree.Path("pkg/bin/up").c_str()), 0);
  ASSERT_EQ(symlink("../bin", tree.Path("pkg/bin/again").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("pkg").c_str(), tree.Path("pkg/self").c_str()), 0);
  PosixFileSystem files;
  std::vector<std::wstring> listed;
  RunLog log;
  EXPECT_TRUE(CollectFiles(files, L'/', W(tree.Path("pkg")), &listed, log));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::wstring>{W(tree.Path("pkg/bin/core.dll")),
                                               W(tree.Path("pkg/top.dll"))}));
}

// The plan reads which names are taken from one listing a folder: a backup
// name held by what a file listing leaves out (a dangling link, a FIFO) is
// still taken, and the installed file is only set aside.
TEST(PosixFileSystemTest, BackupNamesHeldByAnyEntryAreTakenWithoutALookAtEach) {
  TempTree tree;
  tree.Write("pkg/a.dll", "new a");
  tree.Write("pkg/bin/b.dll", "new b");
  tree.Write("inst/a.dll", "old a");
  tree.Write("inst/bin/b.dll", "old b");
  ASSERT_EQ(symlink("nowhere", tree.Path("inst/a.dll.1.0").c_str()), 0);
  ASSERT_EQ(mkfifo(tree.Path("inst/bin/b.dll.1.0").c_str(), 0644), 0);
  tree.MakeFolder("elsewhere");
  ASSERT_EQ(symlink("../elsewhere", tree.Path("inst/linked").c_str()), 0);
  PosixFileSystem files;
  ASSERT_TRUE(files.Confine(W(tree.Path("pkg")), W(tree.Path("inst"))).ok());
  std::vector<std::wstring> names;
  ASSERT_TRUE(files.ListNames(W(tree.Path("inst")), &names).ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a.dll", L"a.dll.1.0", L"bin", L"linked"}));
  // Never listed through a link below the installation.
  EXPECT_FALSE(files.ListNames(W(tree.Path("inst/linked")), &names).ok());
  EXPECT_EQ(files.ListNames(W(tree.Path("inst/none")), &names), FileResult::kMissing);

  FakeMessages messages;
  RunLog log;
  const std::vector<std::wstring> listed{W(tree.Path("pkg/a.dll")), W(tree.Path("pkg/bin/b.dll"))};
  EXPECT_EQ(ReplaceFiles(files, messages,
                         ReplaceInputs{W(tree.Path("pkg")), W(tree.Path("inst")), L"1.0", L'/'},
                         listed, log),
            ReplaceResult::kDone);
  EXPECT_EQ(tree.Read("inst/a.dll"), "new a");
  EXPECT_EQ(tree.Read("inst/a.dll.~kestrune"), "old a");
  // Done at all: a link to the FIFO's name would have failed the update.
  EXPECT_EQ(tree.Read("inst/bin/b.dll"), "new b");
  // A FIFO at the backup name is no backup: the set-aside file stays, the
  // one copy of the old file.
  EXPECT_EQ(tree.Read("inst/bin/b.dll.~kestrune"), "old b");
  struct stat st;
  EXPECT_TRUE(lstat(tree.Path("inst/a.dll.1.0").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_TRUE(lstat(tree.Path("inst/bin/b.dll.1.0").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// Calls by name in a held folder keep every rule of the calls by path: no
// target replaced that must not be, no write into the package, and no name
// that walks on (through a link) out of the folder.
TEST(PosixFileSystemTest, CallsByNameInAHeldFolderKeepTheRulesOfPaths) {
  TempTree tree;
  tree.Write("pkg/bin/a.dll", "new a");
  tree.Write("inst/bin/a.dll", "old a");
  tree.Write("inst/bin/b.dll", "old b");
  tree.MakeFolder("outside");
  ASSERT_EQ(symlink("../../outside", tree.Path("inst/bin/out").c_str()), 0);
  PosixFileSystem files;
  ASSERT_TRUE(files.Confine(W(tree.Path("pkg")), W(tree.Path("inst"))).ok());
  const auto package = files.HoldFolder(W(tree.Path("pkg/bin/")));
  const auto installation = files.HoldFolder(W(tree.Path("inst/bin/")));
  const auto through_link = files.HoldFolder(W(tree.Path("inst/bin/out/")));
  EXPECT_EQ(installation->PathOf(L"a.dll"), W(tree.Path("inst/bin/a.dll")));

  EXPECT_EQ(files.CopyNewIn(*package, L"a.dll", *installation, L"b.dll", nullptr),
            FileResult::kTargetExists);
  EXPECT_EQ(files.MoveIn(*installation, L"a.dll", L"b.dll"), FileResult::kTargetExists);
  EXPECT_EQ(files.LinkIn(*installation, L"a.dll", L"b.dll"), FileResult::kTargetExists);
  EXPECT_FALSE(files.CopyNewIn(*installation, L"a.dll", *package, L"c.dll", nullptr).ok());
  EXPECT_FALSE(files.LinkIn(*installation, L"a.dll", L"out/a.dll").ok());
  EXPECT_FALSE(files.CopyNewIn(*package, L"a.dll", *through_link, L"a.dll", nullptr).ok());
  FileIdentity unused;
  EXPECT_EQ(files.IdentifyIn(*installation, L"out", &unused), PathKind::kLink);
  EXPECT_EQ(tree.Snapshot("outside"), (std::map<std::string, std::string>{}));
  EXPECT_FALSE(tree.Exists("pkg/bin/c.dll"));

  // A name that is not UTF-8 (a Latin-1 e acute) reaches the system byte for
  // byte, through the wide text and back.
  tree.Write("pkg/bin/caf\xe9.dll", "new caf\xe9");
  tree.MakeFolder("inst/odd");
  const auto odd_folder = files.HoldFolder(W(tree.Path("inst/odd/")));
  const std::wstring odd = W("caf\xe9.dll");
  EXPECT_EQ(files.CopyNewIn(*package, odd, *odd_folder, odd, nullptr), FileResult::kOk);
  EXPECT_EQ(tree.Snapshot("inst/odd"),
            (std::map<std::string, std::string>{{"caf\xe9.dll", "new caf\xe9"}}));

  // Kept aside only while still the file identified: one that differs in
  // any part of its identity is refused, to be linked or renamed alike.
  FileIdentity old_b;
  ASSERT_EQ(files.IdentifyIn(*installation, L"b.dll", &old_b), PathKind::kFile);
  FileIdentity others[4] = {old_b, old_b, old_b, old_b};
  ++others[0].volume, ++others[1].index, ++others[2].size, ++others[3].modified;
  for (const FileIdentity& other : others) {
    EXPECT_EQ(files.LinkAsideIn(*installation, L"b.dll", L"b.keep", other), FileResult::kChanged);
    EXPECT_EQ(files.MoveAsideIn(*installation, L"b.dll", L"b.keep", other), FileResult::kChanged);
  }
  EXPECT_FALSE(tree.Exists("inst/bin/b.keep"));

  FileIdentity old_a;
  FileIdentity moved;
  ASSERT_EQ(files.IdentifyIn(*installation, L"a.dll", &old_a), PathKind::kFile);
  EXPECT_EQ(files.CopyNewIn(*package, L"a.dll", *installation, L"a.new", nullptr), FileResult::kOk);
  EXPECT_EQ(files.LinkIn(*installation, L"a.dll", L"a.dll.1.0"), FileResult::kOk);
  EXPECT_EQ(files.ReplaceIn(*installation, L"a.new", L"a.dll"), FileResult::kOk);
  EXPECT_EQ(files.MoveIn(*installation, L"b.dll", L"b.dll.1.0"), FileResult::kOk);
  ASSERT_EQ(files.IdentifyIn(*installation, L"a.dll.1.0", &moved), PathKind::kFile);
  EXPECT_TRUE(moved == old_a);
  auto after = tree.Snapshot("inst/bin");
  after.erase("out");
  EXPECT_EQ(after, (std::map<std::string, std::string>{
                       {"a.dll", "new a"}, {"a.dll.1.0", "old a"}, {"b.dll.1.0", "old b"}}));
}

// A state file is written, looked at and removed through its own descriptor:
// whatever is put at its name meanwhile is told from it, never written to,
// never waited on and never removed; opened again, only a plain file opens.
TEST(PosixFileSystemTest, AStateFileIsReachedThroughItsOwnDescriptorAlone) {
  struct Row {
    const char* label;
    void (*put)(const std::string& name, const std::string& outside);
    FileResult named;
    FileResult reopened;
  };
  const Row rows[] = {
      {"left alone", [](const std::string&, const std::string&) {}, FileResult::kOk,
       FileResult::kOk},
      {"another file linked in",
       [](const std::string& name, const std::string& outside) {
         unlink(name.c_str());
         link(outside.c_str(), name.c_str());
       },
       FileResult::kChanged, FileResult::kOk},
      {"a pipe",
       [](const std::string& name, const std::string&) {
         unlink(name.c_str());
         mkfifo(name.c_str(), 0666);
       },
       FileResult::kChanged, FileResult::kFailed},
      {"a link to itself",
       [](const std::string& name, const std::string&) {
         rename(name.c_str(), (name + ".moved").c_str());
         symlink((name + ".moved").c_str(), name.c_str());
       },
       FileResult::kChanged, FileResult::kFailed},
      {"nothing", [](const std::string& name, const std::string&) { unlink(name.c_str()); },
       FileResult::kMissing, FileResult::kMissing},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    TempTree tree;
    tree.Write("outside", "another program's file");
    tree.MakeFolder("inst");
    PosixFileSystem files;
    ASSERT_TRUE(files.Confine(W(tree.Path("pkg")), W(tree.Path("inst"))).ok());
    const std::string name = tree.Path("inst/Kestrune.journal");
    std::unique_ptr<OwnFile> own;
    ASSERT_EQ(files.CreateOwn(W(name), &own), FileResult::kOk);
    EXPECT_EQ(ModeOf(name), 0600u);
    std::unique_ptr<OwnFile> second;
    EXPECT_EQ(files.CreateOwn(W(name), &second), FileResult::kTargetExists);
    flushed_inodes.clear();
    ASSERT_TRUE(own->AppendDurably("plan\n").ok());
    EXPECT_TRUE(Flushed(name));
    row.put(name, tree.Path("outside"));
    EXPECT_EQ(own->StillNamed(), row.named);
    EXPECT_TRUE(own->AppendDurably("commit\n").ok());
    std::unique_ptr<OwnFile> again;
    EXPECT_EQ(files.OpenOwn(W(name), &again), row.reopened);
    std::string read;
    if (row.named == FileResult::kOk) {
      ASSERT_TRUE(again->ReadWhole(100, &read).ok());
      EXPECT_EQ(read, "plan\ncommit\n");
      Ownership ownership;
      ASSERT_TRUE(again->OwnershipOf(&ownership).ok());
      EXPECT_TRUE(JudgeOwnership(ownership).trusted);
    }
    EXPECT_EQ(own->Remove(), row.named);
    EXPECT_EQ(tree.Read("outside"), "another program's file");
    struct stat st;
    EXPECT_EQ(lstat(name.c_str(), &st) == 0,
              row.named != FileResult::kOk && row.named != FileResult::kMissing);
  }
}

// The replacement against real permissions: a destination folder that cannot
// be written, and a packaged file that cannot be read, both late in the list.
bool ReplacementUndoneAfter(const std::string& root) {
  PosixFileSystem files;
  FakeMessages messages;
  RunLog log;
  std::vector<std::wstring> listed;
  CollectFiles(files, L'/', WideFromUtf8(root + "/pkg"), &listed, log);
  std::sort(listed.begin(), listed.end());
  const ReplaceResult result = ReplaceFiles(
      files, messages,
      ReplaceInputs{WideFromUtf8(root + "/pkg"), WideFromUtf8(root + "/inst"), L"1.0", L'/'},
      listed, log);
  return result == ReplaceResult::kFailedUndone && messages.boxes.size() == 1;
}

TEST(PosixFileSystemTest, PermissionFailuresLateInTheListLeaveTheInstallationAsItWas) {
  for (const char* blocked : {"readonly", "unreadable"}) {
    TempTree tree;
    tree.Write("pkg/a/first.dll", "new first", 0666);
    tree.Write("pkg/b/second.dll", "new second", 0666);
    tree.Write("pkg/z/last.dll", "new last", 0666);
    tree.Write("inst/a/first.dll", "old first", 0666);
    tree.Write("inst/b/second.dll", "old second", 0666);
    tree.Write("inst/b/second.dll.1.0", "older second", 0666);
    tree.Write("inst/z/last.dll", "old last", 0666);
    for (const char* folder : {"pkg/a", "pkg/b", "pkg/z", "inst", "inst/a", "inst/b", "inst/z"}) {
      chmod(tree.Path(folder).c_str(), 0777);
    }
    if (std::string(blocked) == "readonly") {
      chmod(tree.Path("inst/z").c_str(), 0555);
    } else {
      chmod(tree.Path("pkg/z/last.dll").c_str(), 0);
    }
    const auto before = tree.Snapshot("inst");
    EXPECT_TRUE(testing::RunUnprivileged(ReplacementUndoneAfter, tree.root())) << blocked;
    chmod(tree.Path("inst/z").c_str(), 0777);
    EXPECT_EQ(tree.Snapshot("inst"), before) << blocked;
  }
}

}  // namespace
}  // namespace kestrune
