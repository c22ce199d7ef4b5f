#include "replace/replacer.h"

#include <gtest/gtest.h>

#include "replace/journal.h"
#include "replace/patient_file_system.h"
#include "run/progress_text.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeFileSystem;
using testing::FakeMessages;

constexpr wchar_t kPkg[] = L"C:\\pkg";
constexpr wchar_t kInst[] = L"C:\\Apps\\VORDA";

class ReplacerTest : public ::testing::Test {
 protected:
  void Package(const std::wstring& relative, const std::string& content) {
    files_.AddFile(kPkg + relative, content);
    listed_.push_back(kPkg + relative);
  }
  void Installed(const std::wstring& relative, const std::string& content) {
    files_.AddFile(kInst + relative, content);
  }
  std::string At(const std::wstring& relative) const {
    return files_.Content(kInst + relative);
  }
  ReplaceResult Replace(const std::wstring& install = kInst) {
    return ReplaceFiles(files_, messages_, ReplaceInputs{kPkg, install, L"2015.1.0"},
                        listed_, log_);
  }
  // The installation's files, so that a failed run can be compared with the
  // state before it.
  std::vector<std::pair<std::wstring, std::string>> Snapshot() const {
    std::vector<std::pair<std::wstring, std::string>> all;
    for (const std::wstring& path : files_.Paths()) {
      if (path.rfind(kInst, 0) == 0) all.emplace_back(path, files_.Content(path));
    }
    std::sort(all.begin(), all.end());
    return all;
  }
  void ExpectFailureMessageOnly(const wchar_t* text = L"Failed to copy files") const {
    ASSERT_EQ(messages_.boxes.size(), 1u);
    EXPECT_EQ(messages_.boxes[0].text, text);
    EXPECT_EQ(messages_.boxes[0].caption, L"Err");
  }

  FakeFileSystem files_;
  FakeMessages messages_;
  std::vector<std::wstring> listed_;
  RunLog log_;
};

TEST_F(ReplacerTest, BacksUpAndReplacesOnlyInstalledFilesInListOrder) {
  Package(L"\\Kestrune.exe", "updater");
  Package(L"\\bin\\b.dll", "new b");
  Package(L"\\bin\\a.dll", "new a");
  Package(L"\\bin\\extra.dll", "not installed");
  Package(L"\\data", "a file where a folder is installed");
  Installed(L"\\bin\\a.dll", "old a");
  Installed(L"\\bin\\b.dll", "old b");
  Installed(L"\\Kestrune.exe", "an installed file of that name");
  files_.AddFolder(std::wstring(kInst) + L"\\data");
  files_.AddFile(std::wstring(kInst) + L"\\data.2015.1.0", "unrelated");

  EXPECT_EQ(Replace(), ReplaceResult::kDone);
  EXPECT_TRUE(messages_.boxes.empty());
  EXPECT_EQ(At(L"\\bin\\a.dll"), "new a");
  EXPECT_EQ(At(L"\\bin\\a.dll.2015.1.0"), "old a");
  EXPECT_EQ(At(L"\\bin\\b.dll"), "new b");
  EXPECT_EQ(At(L"\\bin\\b.dll.2015.1.0"), "old b");
  EXPECT_FALSE(files_.Has(std::wstring(kInst) + L"\\bin\\extra.dll"));
  EXPECT_EQ(At(L"\\Kestrune.exe"), "an installed file of that name");
  EXPECT_EQ(At(L"\\data.2015.1.0"), "unrelated");

  // In list order; each copy lands beside its file before the file is kept
  // aside, and moves in over it.
  std::vector<std::wstring> changes;
  for (const std::wstring& entry : files_.log) {
    if (entry.rfind(L"probe ", 0) != 0 && entry.find(L"journal") == std::wstring::npos &&
        entry.rfind(L"flush", 0) != 0) {
      changes.push_back(entry);
    }
  }
  const std::wstring b = L"C:\\Apps\\VORDA\\bin\\b.dll";
  const std::wstring a = L"C:\\Apps\\VORDA\\bin\\a.dll";
  EXPECT_EQ(changes, (std::vector<std::wstring>{
                         L"copy C:\\pkg\\bin\\b.dll -> " + b + L".~kestrune-new",
                         L"link " + b + L" -> " + b + L".2015.1.0",
                         L"replace " + b + L".~kestrune-new -> " + b,
                         L"copy C:\\pkg\\bin\\a.dll -> " + a + L".~kestrune-new",
                         L"link " + a + L" -> " + a + L".2015.1.0",
                         L"replace " + a + L".~kestrune-new -> " + a}));
}

TEST_F(ReplacerTest, FolderWithFinalSeparatorGivesTheDoubledSeparator) {
  // Where the volume cannot be flushed, each new file is, unless its copy
  // was made durable already; the commit point is written either way.
  for (const bool copies_durable : {false, true}) {
    FakeFileSystem files;
    files.links_supported = false;  // kept aside by a rename instead
    files.volume_flush = false;
    files.copies_durable = copies_durable;
    files.AddFile(std::wstring(kPkg) + L"\\bin\\core.dll", "new");
    files.AddFile(L"C:\\Apps\\VORDA\\\\bin\\core.dll", "old");
    FakeMessages messages;
    EXPECT_EQ(ReplaceFiles(files, messages, ReplaceInputs{kPkg, L"C:\\Apps\\VORDA\\", L"2015.1.0"},
                           {std::wstring(kPkg) + L"\\bin\\core.dll"}, log_),
              ReplaceResult::kDone);
    EXPECT_EQ(std::count(files.log.begin(), files.log.end(),
                         L"flush C:\\Apps\\VORDA\\\\bin\\core.dll"),
              copies_durable ? 0 : 1);
    EXPECT_EQ(std::count(files.log.begin(), files.log.end(),
                         L"append C:\\Apps\\VORDA\\" + std::wstring(kJournalName)),
              1);
    EXPECT_EQ(files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll"), "new");
    EXPECT_EQ(files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll.2015.1.0"), "old");
  }
}

TEST_F(ReplacerTest, MarkerIsLookedForInTheRelativePathOnly) {
  // A package or an installation kept in a folder named after the updater
  // still has files; the updater renamed, its own names count as the marker.
  struct Row {
    const wchar_t* package;
    const wchar_t* installation;
  };
  const Row rows[] = {{L"C:\\pkg", L"D:\\Kestrune Apps"},
                      {L"C:\\Kestrune\\updates", L"C:\\Apps\\VORDA"},
                      {L"C:\\Kestrune pkg", L"C:\\Kestrune Apps"}};
  const OwnFiles own({L"VordaUpdate.exe", L"VordaUpdate.ini"}, L'\\');
  for (const Row& row : rows) {
    const std::wstring pkg = row.package;
    const std::wstring inst = row.installation;
    FakeFileSystem files;
    std::vector<std::wstring> listed;
    for (const wchar_t* relative : {L"\\bin\\core.dll", L"\\Kestrune\\x.dll",
                                    L"\\vordaupdate.EXE", L"\\bin\\VordaUpdate.ini",
                                    // On Windows the updater's own names in any letter case.
                                    L"\\KESTRUNE.LOCK"}) {
      files.AddFile(pkg + relative, "new");
      files.AddFile(inst + relative, "old");
      listed.push_back(pkg + relative);
    }
    ReplaceInputs inputs{pkg, inst, L"2015.1.0"};
    inputs.own = &own;
    EXPECT_EQ(ReplaceFiles(files, messages_, inputs, listed, log_), ReplaceResult::kDone);
    EXPECT_EQ(files.Content(inst + L"\\bin\\core.dll"), "new") << row.package;
    EXPECT_EQ(files.Content(inst + L"\\bin\\VordaUpdate.ini"), "new") << row.package;
    EXPECT_EQ(files.Content(inst + L"\\Kestrune\\x.dll"), "old") << row.package;
    EXPECT_EQ(files.Content(inst + L"\\vordaupdate.EXE"), "old") << row.package;
    EXPECT_EQ(files.Content(inst + L"\\KESTRUNE.LOCK"), "old") << row.package;
  }
}

TEST_F(ReplacerTest, RelativePathRemovesThePackageFolderOnceFromTheStart) {
  EXPECT_EQ(RelativePathOf(L"/u/p/x/u/p/y.dll", L"/u/p"), L"/x/u/p/y.dll");
  EXPECT_EQ(RelativePathOf(L"C:\\pkg\\C:\\pkg", L"C:\\pkg"), L"\\C:\\pkg");
}

TEST_F(ReplacerTest, ExistingBackupIsKeptAndTheFileSetAsideThenDropped) {
  Package(L"\\core.dll", "v3");
  Package(L"\\gone.dll", "new gone");
  Installed(L"\\core.dll", "v2");
  Installed(L"\\core.dll.2015.1.0", "v1");
  Installed(L"\\core.dll.~kestrune", "someone else's file");
  Installed(L"\\gone.dll.2015.1.0", "old gone");
  // A folder at the backup name: the set-aside file is the only old copy.
  Package(L"\\lib.dll", "new lib");
  Installed(L"\\lib.dll", "old lib");
  files_.AddFolder(std::wstring(kInst) + L"\\lib.dll.2015.1.0");
  EXPECT_EQ(Replace(), ReplaceResult::kDone);
  EXPECT_EQ(At(L"\\lib.dll"), "new lib");
  EXPECT_EQ(At(L"\\lib.dll.~kestrune"), "old lib");
  EXPECT_EQ(At(L"\\core.dll"), "v3");
  EXPECT_EQ(At(L"\\core.dll.2015.1.0"), "v1");
  EXPECT_EQ(At(L"\\core.dll.~kestrune"), "someone else's file");
  EXPECT_FALSE(files_.Has(std::wstring(kInst) + L"\\core.dll.~kestrune1"));
  EXPECT_FALSE(files_.Has(std::wstring(kInst) + L"\\gone.dll"));
  EXPECT_EQ(At(L"\\gone.dll.2015.1.0"), "old gone");
}

// Each installation folder is listed once, and only installed files are
// looked at (for their identity); where names cannot be listed, each name
// is looked at instead, with the same outcome.
TEST_F(ReplacerTest, PlanListsEachFolderOnceAndDecidesAsLooksWould) {
  const auto lay_out = [](FakeFileSystem& files) {
    for (const wchar_t* name : {L"\\a.dll", L"\\bin\\b.dll", L"\\bin\\sub\\c.dll",
                                L"\\bin\\d.dll", L"\\none.dll", L"\\new\\e.dll"}) {
      files.AddFile(kPkg + std::wstring(name), "new");
    }
    for (const wchar_t* name : {L"\\a.dll", L"\\a.dll.2015.1.0", L"\\a.dll.~kestrune",
                                L"\\bin\\b.dll", L"\\bin\\sub\\c.dll", L"\\bin\\d.dll",
                                L"\\bin\\d.dll.2015.1.0"}) {
      files.AddFile(kInst + std::wstring(name), "old");
    }
  };
  const std::vector<std::wstring> listed{
      std::wstring(kPkg) + L"\\a.dll",         std::wstring(kPkg) + L"\\bin\\b.dll",
      std::wstring(kPkg) + L"\\bin\\sub\\c.dll", std::wstring(kPkg) + L"\\bin\\d.dll",
      std::wstring(kPkg) + L"\\none.dll",      std::wstring(kPkg) + L"\\new\\e.dll"};
  std::vector<std::pair<std::wstring, std::string>> outcomes[2];
  for (const bool names_listed : {true, false}) {
    FakeFileSystem files;
    files.names_listed = names_listed;
    lay_out(files);
    FakeMessages messages;
    EXPECT_EQ(ReplaceFiles(files, messages, ReplaceInputs{kPkg, kInst, L"2015.1.0"}, listed, log_),
              ReplaceResult::kDone);
    for (const std::wstring& path : files.Paths()) {
      outcomes[names_listed].emplace_back(path, files.Content(path));
    }
    std::sort(outcomes[names_listed].begin(), outcomes[names_listed].end());
    if (!names_listed) continue;
    std::vector<std::wstring> folders = files.listed_names;
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders, (std::vector<std::wstring>{kInst, std::wstring(kInst) + L"\\bin",
                                                  std::wstring(kInst) + L"\\bin\\sub",
                                                  std::wstring(kInst) + L"\\new"}));
    std::vector<std::wstring> looked;
    for (const std::wstring& entry : files.log) {
      if (entry.rfind(L"probe ", 0) == 0 && entry.find(L"journal") == std::wstring::npos) {
        looked.push_back(entry.substr(6 + wcslen(kInst)));
      }
    }
    // The plan's looks, then the drop of the one set-aside file.
    EXPECT_EQ(looked, (std::vector<std::wstring>{L"\\a.dll", L"\\bin\\b.dll", L"\\bin\\sub\\c.dll",
                                                 L"\\bin\\d.dll", L"\\a.dll.~kestrune1",
                                                 L"\\a.dll.2015.1.0",
                                                 L"\\bin\\d.dll.~kestrune",
                                                 L"\\bin\\d.dll.2015.1.0"}));
  }
  EXPECT_EQ(outcomes[true], outcomes[false]);
}

// A name taken after the folder was listed: the link refuses it, and the
// update is undone with the file at that name untouched.
TEST_F(ReplacerTest, BackupNameTakenAfterTheListingFailsTheUpdateAndIsKept) {
  Package(L"\\a.dll", "new a");
  Package(L"\\b.dll", "new b");
  Installed(L"\\a.dll", "old a");
  Installed(L"\\b.dll", "old b");
  Installed(L"\\b.dll.2015.1.0", "someone else's");
  files_.unlisted.insert(std::wstring(kInst) + L"\\b.dll.2015.1.0");
  const auto before = Snapshot();
  EXPECT_EQ(Replace(), ReplaceResult::kFailedUndone);
  ExpectFailureMessageOnly();
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(ReplacerTest, LeftoverSetAsideFileDoesNotTurnSuccessIntoFailure) {
  Package(L"\\core.dll", "v3");
  Installed(L"\\core.dll", "v2");
  Installed(L"\\core.dll.2015.1.0", "v1");
  files_.FailWhen(L"remove", L"~kestrune");
  EXPECT_EQ(Replace(), ReplaceResult::kDone);
  EXPECT_EQ(At(L"\\core.dll"), "v3");
  EXPECT_EQ(At(L"\\core.dll.~kestrune"), "v2");
}

TEST_F(ReplacerTest, FailedCopyUndoesEveryReplacementAndStopsTheWalk) {
  Package(L"\\a.dll", "new a");
  Package(L"\\b.dll", "new b");
  Package(L"\\c.dll", "new c");
  Package(L"\\d.dll", "new d");
  Installed(L"\\a.dll", "old a");
  Installed(L"\\b.dll", "old b");
  Installed(L"\\b.dll.2015.1.0", "older b");
  Installed(L"\\c.dll", "old c");
  Installed(L"\\d.dll", "old d");
  files_.partial_copies = true;
  files_.FailWhen(L"copy", L"c.dll");
  const auto before = Snapshot();
  EXPECT_EQ(Replace(), ReplaceResult::kFailedUndone);
  ExpectFailureMessageOnly();
  EXPECT_EQ(Snapshot(), before);
  for (const std::wstring& entry : files_.log) {
    if (entry.rfind(L"probe ", 0) == 0) continue;  // the plan looks at every file
    EXPECT_EQ(entry.find(L"d.dll"), std::wstring::npos) << "went on past the failure";
  }
}

// A person's cancel is seen before the journal is written, before each file
// and after the last, and while a file in use is waited for; past the commit
// point and through an undo it is not allowed, and counts for nothing.
TEST_F(ReplacerTest, CancelIsSeenBeforeEachFileAndNeverPastTheCommit) {
  using testing::FakeProgress;
  struct Row {
    const char* label;
    // Makes the person cancel at some instant of the run.
    std::function<void(FakeFileSystem&, FakeProgress&)> arrange;
    ReplaceResult result;
    const wchar_t* box;  // caption, ": ", text
    size_t copies;       // packaged files copied before the run stopped
  };
  const wchar_t* const cancelled =
      L"VORDA+ UPDATE: The update of VORDA+ was cancelled. VORDA+ was left as it was.";
  const wchar_t* const failed = L"Err: Failed to copy files";
  // The person cancels at the moment `entry` is first logged by the files.
  const auto at_call = [](const wchar_t* entry) {
    return [entry](FakeFileSystem& files, FakeProgress& progress) {
      files.log.on_call = [entry, &progress](const std::wstring& call) {
        if (call.find(entry) != std::wstring::npos) {
          progress.requested = true;
          // Whatever the run does with it, the display must not offer it.
          EXPECT_FALSE(progress.allowed.back()) << "cancel allowed at " << call.c_str();
        }
      };
    };
  };
  const Row rows[] = {
      {"before the journal", [](FakeFileSystem&, FakeProgress& p) { p.requested = true; },
       ReplaceResult::kCancelled, cancelled, 0},
      {"before the third file",
       [](FakeFileSystem&, FakeProgress& p) {
         p.cancel_when = [](const FakeProgress& seen) { return seen.last_done == 1; };
       },
       ReplaceResult::kCancelled, cancelled, 2},
      {"after the last file",
       [](FakeFileSystem&, FakeProgress& p) {
         p.cancel_when = [](const FakeProgress& seen) { return seen.last_done == 3; };
       },
       ReplaceResult::kCancelled, cancelled, 4},
      {"while a file in use is waited for",
       [](FakeFileSystem& f, FakeProgress& p) {
         f.BusyWhen(L"move", L"VORDA\\c.dll", 1000);
         p.cancel_when = [](const FakeProgress& seen) { return !seen.waits.empty(); };
       },
       ReplaceResult::kCancelled, cancelled, 3},
      {"during the commit", at_call(L"flush all"), ReplaceResult::kDone, nullptr, 4},
      {"during the undo of a failure",
       [&](FakeFileSystem& f, FakeProgress& p) {
         f.FailWhen(L"copy", L"c.dll");
         at_call(L"replace C:\\Apps\\VORDA\\b.dll.2015.1.0")(f, p);
       },
       ReplaceResult::kFailedUndone, failed, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakeFileSystem files;
    files.links_supported = false;  // kept aside by a rename, as on Windows
    std::vector<std::wstring> listed;
    for (const wchar_t* name : {L"\\a.dll", L"\\b.dll", L"\\c.dll", L"\\d.dll"}) {
      files.AddFile(kPkg + std::wstring(name), "new");
      files.AddFile(kInst + std::wstring(name), "old");
      listed.push_back(kPkg + std::wstring(name));
    }
    FakeProgress progress;
    progress.Start(ProgressTexts());
    row.arrange(files, progress);
    testing::FakeEnvironment environment;
    PatientFileSystem patient(files, environment, log_, Patience{nullptr, &progress, true});
    FakeMessages messages;
    ReplaceInputs inputs{kPkg, kInst, L"2015.1.0"};
    inputs.progress = &progress;
    EXPECT_EQ(ReplaceFiles(patient, messages, inputs, listed, log_), row.result);
    std::vector<std::wstring> boxes;
    for (const auto& box : messages.boxes) boxes.push_back(box.caption + L": " + box.text);
    EXPECT_EQ(boxes, row.box ? std::vector<std::wstring>{row.box} : std::vector<std::wstring>{});
    EXPECT_EQ(std::count_if(files.log.begin(), files.log.end(),
                            [](const std::wstring& call) { return call.rfind(L"copy", 0) == 0; }),
              static_cast<std::ptrdiff_t>(row.copies));
    for (const wchar_t* name : {L"\\a.dll", L"\\b.dll", L"\\c.dll", L"\\d.dll"}) {
      EXPECT_EQ(files.Content(kInst + std::wstring(name)),
                row.result == ReplaceResult::kDone ? "new" : "old");
    }
    if (row.result != ReplaceResult::kDone) {
      EXPECT_FALSE(files.Has(std::wstring(kInst) + L"\\Kestrune.journal"));
    }
    // Off once the run can no longer stop where it stands.
    EXPECT_EQ(progress.allowed, (std::vector<bool>{true, false}));
  }
}

// The bytes copied are the bytes compared: a packaged file whose content no
// longer has its listed hash is never renamed in, and everything is undone.
TEST_F(ReplacerTest, CopyThatDiffersFromItsListedHashUndoesAndNamesTheFile) {
  Package(L"\\a.dll", "new a");
  Package(L"\\sub\\b.dll", "new b, changed after the check");
  Installed(L"\\a.dll", "old a");
  Installed(L"\\sub\\b.dll", "old b");
  std::map<std::wstring, Sha256Digest> digests;
  for (const auto& [relative, content] : {std::pair<std::wstring, std::string>{L"a.dll", "new a"},
                                          {L"sub\\b.dll", "new b"}}) {
    Sha256 hash;
    hash.Update(content.data(), content.size());
    ASSERT_TRUE(hash.Finish(&digests[relative]));
  }
  const auto before = Snapshot();
  ReplaceInputs inputs{kPkg, kInst, L"2015.1.0"};
  inputs.digests = &digests;
  EXPECT_EQ(ReplaceFiles(files_, messages_, inputs, listed_, log_), ReplaceResult::kPackageChanged);
  EXPECT_EQ(Snapshot(), before);
  ASSERT_EQ(messages_.boxes.size(), 1u);
  EXPECT_EQ(messages_.boxes[0].text,
            L"The update package is incomplete or damaged:\nsub\\b.dll (changed)");
  // The same run without a list installs what it finds.
  EXPECT_EQ(Replace(), ReplaceResult::kDone);
  EXPECT_EQ(At(L"\\sub\\b.dll"), "new b, changed after the check");
}

TEST_F(ReplacerTest, FailedRenameLinkOrExistenceTestAlsoUndoes) {
  // "written": another program writes to b.dll after the plan; that file is
  // never kept aside, stays as it was written, and the rest is undone.
  // "taken": a user's file takes the journal's name at the first copy; the
  // commit is never written to it, the update is undone and that file left
  // for an administrator (exit 8). "named": the look at the journal's name
  // fails, and the run's own journal goes after the undo.
  const std::pair<const wchar_t*, bool> rows[] = {
      {L"link", true},    {L"replace", true},  {L"move", false}, {L"probe", true},
      {L"written", true}, {L"written", false}, {L"taken", true}, {L"named", false}};
  const std::wstring journal = L"C:\\Apps\\VORDA\\Kestrune.journal";
  for (const auto& [operation, links] : rows) {
    FakeFileSystem files;
    files.links_supported = links;
    files.AddFile(L"C:\\pkg\\a.dll", "new a");
    files.AddFile(L"C:\\pkg\\b.dll", "new b");
    files.AddFile(L"C:\\Apps\\VORDA\\a.dll", "old a");
    files.AddFile(L"C:\\Apps\\VORDA\\b.dll", "old b");
    const bool written = std::wstring(operation) == L"written";
    const bool taken = std::wstring(operation) == L"taken";
    if (written) {
      files.written_before_aside.insert(L"C:\\Apps\\VORDA\\b.dll");
    } else if (taken) {
      files.taken_at_copy[journal] = "a user's file";
    } else {
      files.FailWhen(operation, operation == std::wstring(L"named") ? L"journal" : L"VORDA\\b.dll");
    }
    FakeMessages messages;
    EXPECT_EQ(ReplaceFiles(files, messages, ReplaceInputs{kPkg, kInst, L"2015.1.0"},
                           {L"C:\\pkg\\a.dll", L"C:\\pkg\\b.dll"}, log_),
              taken ? ReplaceResult::kFailedUndoIncomplete : ReplaceResult::kFailedUndone);
    EXPECT_EQ(files.Content(journal), taken ? "a user's file" : "<missing>");
    EXPECT_EQ(files.Content(L"C:\\Apps\\VORDA\\a.dll"), "old a");
    EXPECT_EQ(files.Content(L"C:\\Apps\\VORDA\\b.dll"),
              written ? "old b, written meanwhile" : "old b");
    EXPECT_FALSE(files.Has(L"C:\\Apps\\VORDA\\a.dll.2015.1.0"));
    EXPECT_FALSE(files.Has(L"C:\\Apps\\VORDA\\b.dll.2015.1.0"));
    EXPECT_EQ(messages.boxes.size(), 1u);
  }
}

TEST_F(ReplacerTest, UndoThatCannotFinishKeepsEveryOldFileUnderSomeName) {
  Package(L"\\a.dll", "new a");
  Package(L"\\b.dll", "new b");
  Package(L"\\c.dll", "new c");
  Installed(L"\\a.dll", "old a");
  Installed(L"\\b.dll", "old b");
  Installed(L"\\c.dll", "old c");
  files_.FailWhen(L"copy", L"c.dll");
  files_.FailWhen(L"replace", L"VORDA\\b.dll.2015");
  EXPECT_EQ(Replace(), ReplaceResult::kFailedUndoIncomplete);
  ExpectFailureMessageOnly(
      L"Failed to copy files\nSome files could not be restored. Run the update again to "
      L"restore them.");
  EXPECT_EQ(At(L"\\a.dll"), "old a");
  EXPECT_EQ(At(L"\\b.dll"), "new b");
  EXPECT_EQ(At(L"\\b.dll.2015.1.0"), "old b");
  EXPECT_EQ(At(L"\\c.dll"), "old c");
}

// A journal longer than one part is written part by part under its draft
// name: what the next start reads is the whole plan, in order.
TEST_F(ReplacerTest, LongJournalIsWrittenInPartsAndReadsBackWhole) {
  const std::wstring long_name(240, L'n');
  constexpr int kFiles = 5000;
  for (int i = 0; i < kFiles; ++i) {
    Package(L"\\" + long_name + std::to_wstring(i), "new");
    Installed(L"\\" + long_name + std::to_wstring(i), "old");
  }
  // The last copy fails, and the undo of the first cannot finish: the
  // journal stays for the next start.
  files_.FailWhen(L"copy", long_name + std::to_wstring(kFiles - 1));
  files_.FailWhen(L"replace", long_name + L"0.2015.1.0");
  ReplaceInputs inputs{kPkg, kInst, L"2015.1.0"};
  inputs.temporary_suffix = L".~kestrune-20261207172500123";
  EXPECT_EQ(ReplaceFiles(files_, messages_, inputs, listed_, log_),
            ReplaceResult::kFailedUndoIncomplete);
  // Two parts, each appended through the draft's own handle.
  EXPECT_EQ(std::count(files_.log.begin(), files_.log.end(),
                       L"append C:\\Apps\\VORDA\\Kestrune.journal.new"),
            2);
  Journal journal;
  JournalFault fault;
  const std::string bytes = files_.Content(std::wstring(kInst) + L"\\Kestrune.journal");
  ASSERT_TRUE(ParseJournal(bytes,
                           JournalRules{L".2015.1.0", L'\\'}, &journal, &fault))
      << fault.line;
  ASSERT_EQ(journal.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_EQ(journal.Step(i).relative, L"\\" + long_name + std::to_wstring(i));
  }
}

TEST_F(ReplacerTest, EmptyListReplacesNothingQuietly) {
  EXPECT_EQ(Replace(), ReplaceResult::kDone);
  EXPECT_TRUE(messages_.boxes.empty());
  EXPECT_TRUE(files_.log.empty());
}

TEST_F(ReplacerTest, NothingChangesWhenADestinationIsNotTheInstallationsOwn) {
  struct Row {
    const char* label;
    std::wstring package;  // where the package lies
    std::wstring linked;   // a destination reached through a link
  };
  const Row rows[] = {
      {"through a link", kPkg, std::wstring(kInst) + L"\\bin\\a.dll"},
      {"package inside the installation", std::wstring(kInst) + L"\\update", L""},
      {"package is the installation", std::wstring(kInst), L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakeFileSystem files;
    files.AddFile(row.package + L"\\update\\a.dll", "new");
    files.AddFile(std::wstring(kInst) + L"\\update\\a.dll", "old");
    files.AddFile(row.package + L"\\bin\\a.dll", "new");
    files.AddFile(std::wstring(kInst) + L"\\bin\\a.dll", "old");
    if (!row.linked.empty()) files.linked.insert(row.linked);
    FakeMessages messages;
    EXPECT_EQ(ReplaceFiles(files, messages, ReplaceInputs{row.package, kInst, L"2015.1.0"},
                           {row.package + L"\\update\\a.dll", row.package + L"\\bin\\a.dll"},
                           log_),
              ReplaceResult::kFailedUndone);
    EXPECT_EQ(messages.boxes.size(), 1u);
    for (const std::wstring& entry : files.log) {
      EXPECT_TRUE(entry.rfind(L"probe ", 0) == 0) << "changed: " << entry.c_str();
    }
  }
}

TEST_F(ReplacerTest, BackupNamesAreNeverPackagedFiles) {
  EXPECT_TRUE(IsBackupName(L"\\bin\\core.dll.2015.1.0", L"2015.1.0", L'\\'));
  EXPECT_TRUE(IsBackupName(L"\\bin\\core.dll.~KESTRUNE-new2", L"2015.1.0", L'\\'));
  EXPECT_FALSE(IsBackupName(L"\\bin\\core.dll", L"2015.1.0", L'\\'));
  EXPECT_FALSE(IsBackupName(L"\\v.2015.1.0\\core.dll", L"2015.1.0", L'\\'));
  EXPECT_FALSE(IsBackupName(L"/2015.1.0", L"2015.1.0", L'/'));
  EXPECT_TRUE(IsBackupName(L"/CORE.DLL.1.0-RC", L"1.0-rc", L'/'));
  EXPECT_FALSE(IsBackupName(L"/.2015.1.0", L"2015.1.0", L'/'));
  EXPECT_FALSE(IsBackupName(L"/core.dll.2015.1.0x", L"2015.1.0", L'/'));
  EXPECT_FALSE(IsBackupName(L"/core.dll_2015.1.0", L"2015.1.0", L'/'));
  EXPECT_TRUE(IsBackupName(L"/a.~kestrune", L"2015.1.0", L'/'));
}

}  // namespace
}  // namespace kestrune
