#include "replace/recovery.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "replace/journal.h"
#include "replace/replace_step.h"
#include "run/names.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeFileSystem;

constexpr wchar_t kInst[] = L"C:\\Apps\\VORDA";
constexpr wchar_t kCopies[] = L".~kestrune-20261207120000123";

// What a stop (or a hand since) left at one step's names: the installed
// file `D`, its backup `D.2015.1.0` and the run's copy beside it.
enum class At { kNothing, kOld, kNew, kOther, kFolder, kLink };

struct Names {
  At destination;
  At backup;
  At copy;
};

class RecoveryTest : public ::testing::Test {
 protected:
  // Lays out `d.dll` as the row has it and `e.dll` replaced (its old file
  // under its backup name), and a journal naming both, with their old files'
  // identities, `d.dll` first or last.
  void LayOut(const Names& d, bool d_first) {
    files_->AddFolder(kInst);
    const FileIdentity old_d = Old(L"\\d.dll");
    const FileIdentity old_e = Old(L"\\e.dll");
    Put(L"\\e.dll.2015.1.0", At::kOld, L"\\e.dll");
    Put(L"\\e.dll", At::kNew, L"");
    Put(L"\\d.dll.2015.1.0", d.backup, L"\\d.dll");
    Put(L"\\d.dll", d.destination, L"\\d.dll.2015.1.0");
    Put(std::wstring(L"\\d.dll") + kCopies, d.copy, L"\\d.dll");
    std::string journal = JournalHead(L".2015.1.0", kCopies);
    const JournalStep steps[] = {{L"\\d.dll", kBackupAside, old_d, {}},
                                 {L"\\e.dll", kBackupAside, old_e, {}}};
    AppendJournalStep(steps[d_first ? 0 : 1], &journal);
    AppendJournalStep(steps[d_first ? 1 : 0], &journal);
    AppendJournalEnd(2, &journal);
    files_->AddFile(Path(L"\\Kestrune.journal"), journal);
  }
  static std::wstring Path(const std::wstring& relative) { return kInst + relative; }
  FileIdentity Old(const std::wstring& relative) {
    files_->AddFile(Path(relative), "old");
    FileIdentity identity;
    files_->Identify(Path(relative), &identity);
    return identity;
  }
  // `twin`: where the old file stands when `at` is kOld and the same file is
  // meant (a hard link), if it is there.
  void Put(const std::wstring& relative, At at, const std::wstring& twin) {
    const std::wstring path = Path(relative);
    switch (at) {
      case At::kNothing:
        files_->Remove(path);
        break;
      case At::kOld:
        if (files_->Has(path)) break;
        files_->Link(Path(twin), path);
        break;
      case At::kNew:
        files_->Remove(path);
        files_->AddFile(path, "new");
        break;
      case At::kOther:
        files_->Remove(path);
        files_->AddFile(path, "old");  // the same bytes, another file
        break;
      case At::kFolder:
        files_->Remove(path);
        files_->AddFolder(path);
        break;
      case At::kLink:
        files_->Remove(path);
        files_->AddFile(path, "old");
        files_->linked.insert(path);
        break;
    }
  }
  std::map<std::wstring, std::string> Tree() const {
    std::map<std::wstring, std::string> tree;
    for (const std::wstring& path : files_->Paths()) tree[path] = files_->Content(path);
    return tree;
  }
  RecoveryResult Recover() {
    return RecoverInterruptedUpdate(*files_, RecoveryInputs{kInst, L"2015.1.0", L'\\'}, log_);
  }

  std::optional<FakeFileSystem> files_;
  RunLog log_;
};

// Every state one step can be found in after a stop, or after a hand has
// been at it since: a step is taken back only from what proves it, and one
// that cannot be decided leaves the whole installation as it was found.
TEST_F(RecoveryTest, TakesBackWhatItCanProveAndNothingWhenAStepCannotBeDecided) {
  struct Row {
    const char* label;
    Names d;
    bool recovered;
  };
  const Row rows[] = {
      {"not reached", {At::kOld, At::kNothing, At::kNothing}, true},
      {"copied beside", {At::kOld, At::kNothing, At::kNew}, true},
      {"linked aside", {At::kOld, At::kOld, At::kNew}, true},
      {"moved aside", {At::kNothing, At::kOld, At::kNew}, true},
      {"done", {At::kNew, At::kOld, At::kNothing}, true},
      {"done, a stray file at the copy's name", {At::kNew, At::kOld, At::kOther}, false},
      {"old under none of its names", {At::kNothing, At::kNothing, At::kNew}, false},
      {"done, then the backup deleted", {At::kNew, At::kNothing, At::kNothing}, false},
      {"done, then a stray file at the backup name", {At::kNew, At::kOther, At::kNothing}, false},
      {"not the planned file at its name", {At::kOther, At::kNothing, At::kNothing}, false},
      {"a folder at its name", {At::kFolder, At::kNothing, At::kNothing}, false},
      {"a link at its name", {At::kLink, At::kNothing, At::kNothing}, false},
      {"a link at its name, the old file aside", {At::kLink, At::kOld, At::kNothing}, false},
  };
  for (const Row& row : rows) {
    // The undecidable step met first and last, so that no pass may start
    // past it or stop short of it.
    for (bool d_first : {true, false}) {
      SCOPED_TRACE(std::string(row.label) + (d_first ? ", first step" : ", last step"));
      files_.emplace();
      LayOut(row.d, d_first);
      const auto before = Tree();
      EXPECT_EQ(Recover(), row.recovered ? RecoveryResult::kRecovered : RecoveryResult::kFailed);
      if (!row.recovered) {
        // Not even the step that could be decided is taken back.
        EXPECT_EQ(Tree(), before);
        continue;
      }
      for (const wchar_t* name : {L"\\d.dll", L"\\e.dll"}) {
        EXPECT_EQ(files_->Content(Path(name)), "old") << name;
        EXPECT_FALSE(files_->Has(Path(name) + L".2015.1.0")) << name;
        EXPECT_FALSE(files_->Has(Path(name) + kCopies)) << name;
      }
      EXPECT_FALSE(files_->Has(Path(L"\\Kestrune.journal")));
    }
  }
}

// Past its commit point only the set-aside files are left to remove, and one
// goes only while it is the very file set aside and an older file is kept
// under the backup name: otherwise it may be the one copy of the old file.
TEST_F(RecoveryTest, AfterTheCommitASetAsideFileGoesOnlyWhileBothProveItSpare) {
  struct Row {
    const char* label;
    At aside;
    At backup;
    bool dropped;
  };
  const Row rows[] = {
      {"set aside, an older backup kept", At::kOld, At::kOther, true},
      {"another file at the set-aside name", At::kOther, At::kOther, false},
      {"a link at the set-aside name", At::kLink, At::kOther, false},
      {"no backup", At::kOld, At::kNothing, false},
      {"a folder at the backup name", At::kOld, At::kFolder, false},
      {"a link at the backup name", At::kOld, At::kLink, false},
  };
  const std::wstring aside = std::wstring(L"\\d.dll") + kScratchSuffix;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    files_.emplace();
    files_->AddFolder(kInst);
    const FileIdentity old_d = Old(aside);
    Put(aside, row.aside, aside);
    Put(L"\\d.dll.2015.1.0", row.backup, L"");
    files_->AddFile(Path(L"\\d.dll"), "new");
    std::string journal = JournalHead(L".2015.1.0", kCopies);
    AppendJournalStep(JournalStep{L"\\d.dll", 0, old_d, {}}, &journal);
    AppendJournalEnd(1, &journal);
    files_->AddFile(Path(L"\\Kestrune.journal"), journal + kJournalCommit);
    EXPECT_EQ(Recover(), RecoveryResult::kRecovered);
    EXPECT_EQ(files_->Has(Path(aside)), !row.dropped);
    EXPECT_EQ(files_->Content(Path(L"\\d.dll")), "new");
    EXPECT_FALSE(files_->Has(Path(L"\\Kestrune.journal")));
  }
}

}  // namespace
}  // namespace kestrune
