// The run sequence end to end over fakes: which messages, in which order, and
// what each outcome leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "app/kestrune_app.h"
#include "app/paths.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakePlatform;

constexpr wchar_t kGuid[] = L"{4D1E}";
constexpr wchar_t kUninstall[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{4D1E}";

class RunTest : public ::testing::Test {
 protected:
  RunTest() { Standard(fake_); }

  // The package and installation of a typical run.
  static void Standard(FakePlatform& fake) {
    fake.profile.Set(L"ProductName", L"VORDA.exe");
    fake.profile.Set(L"ProductVERNUM", L"2015.1.0");
    fake.profile.Set(L"ProductCoreGUID", kGuid);
    fake.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA\\");
    fake.library.Answer8("2015.1.0");
    fake.files.AddFolder(L"C:\\pkg");
    fake.files.AddFile(L"C:\\pkg\\Kestrune.exe", "updater");
    fake.files.AddFile(L"C:\\pkg\\Kestrune.ini", "settings");
    fake.files.AddFolder(L"C:\\pkg\\bin");
    fake.files.AddFile(L"C:\\pkg\\bin\\core.dll", "new core");
    fake.files.AddFolder(L"C:\\Apps\\VORDA");
    fake.files.AddFile(L"C:\\Apps\\VORDA\\VoUInfo.dll", "lib");
    fake.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll", "old core");
  }

  // The typical run, changed as a table's row says: its `arrange` and its
  // command line.
  template <typename Row>
  static void Arrange(FakePlatform& fake, const Row& row) {
    Standard(fake);
    row.arrange(fake);
    fake.environment.arguments = row.arguments;
  }

  static ExitStatus RunOn(FakePlatform& fake) {
    Platform platform = fake.platform();
    CKestruneApp app(platform);
    EXPECT_FALSE(app.InitInstance());
    return app.exit_status();
  }
  ExitStatus Run() { return RunOn(fake_); }

  static std::vector<std::wstring> TextsOf(const FakePlatform& fake) {
    std::vector<std::wstring> texts;
    for (const auto& box : fake.messages.boxes) texts.push_back(box.caption + L": " + box.text);
    return texts;
  }
  std::vector<std::wstring> Texts() const { return TextsOf(fake_); }

  FakePlatform fake_;
};

TEST_F(RunTest, TypicalUpdateReplacesAndReportsCompletion) {
  EXPECT_EQ(Run(), ExitStatus::kCompleted);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"VORDA+ UPDATE: You have successfully updated VORDA+"});
  EXPECT_EQ(fake_.environment.current_folder, L"C:\\pkg");
  EXPECT_EQ(fake_.environment.common_controls, 1);
  EXPECT_EQ(fake_.profile.reads,
            std::vector<std::wstring>(3, L"C:\\pkg\\Kestrune.ini"));
  EXPECT_EQ(fake_.library.paths,
            std::vector<std::wstring>{L"C:\\Apps\\VORDA\\VoUInfo.dll"});
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "new core");
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0"), "old core");
  EXPECT_FALSE(fake_.files.Has(L"C:\\Apps\\VORDA\\Kestrune.exe"));
  // Given no log, the machine's own, kept under a mebibyte.
  EXPECT_NE(fake_.environment.default_log.find("] result: updated\n"), std::string::npos);
  EXPECT_EQ(fake_.environment.default_log_limit, uint64_t{1} << 20);
  EXPECT_TRUE(fake_.environment.log_paths.empty());
}

TEST_F(RunTest, IncompleteSettingsNameTheFirstEmptyKeyAndTouchNothing) {
  struct Case {
    const wchar_t* cleared[3];
    const wchar_t* named;
  };
  const Case cases[] = {
      {{L"ProductName", L"ProductVERNUM", L"ProductCoreGUID"}, L"ProductName"},
      {{L"ProductVERNUM", nullptr, nullptr}, L"ProductVERNUM"},
      {{L"ProductCoreGUID", L"ProductVERNUM", nullptr}, L"ProductVERNUM"},
      {{L"ProductCoreGUID", nullptr, nullptr}, L"ProductCoreGUID"},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    fake.profile.Set(L"ProductName", L"VORDA.exe");
    fake.profile.Set(L"ProductVERNUM", L"2015.1.0");
    fake.profile.Set(L"ProductCoreGUID", kGuid);
    fake.environment.module_path = L"C:\\update.1\\Kestrune";
    for (const wchar_t* key : c.cleared) {
      if (key) fake.profile.Set(key, L"");
    }
    EXPECT_EQ(RunOn(fake), ExitStatus::kSettingsIncomplete);
    EXPECT_EQ(TextsOf(fake),
              std::vector<std::wstring>{
                  std::wstring(L"ERROR: C:\\update.1\\Kestrune.ini does not set ") + c.named});
    EXPECT_TRUE(fake.registry.opened.empty());
    EXPECT_TRUE(fake.files.log.empty());
    EXPECT_TRUE(fake.library.paths.empty());
  }
}

TEST_F(RunTest, EachStageThatSaysStopEndsTheRunWithItsStatus) {
  fake_.registry.keys.clear();
  EXPECT_EQ(Run(), ExitStatus::kNotInstalled);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"ERROR: This machine has not installed VORDA+ yet"});
  fake_.messages.boxes.clear();
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"   ");
  EXPECT_EQ(Run(), ExitStatus::kInstallFolderNotFound);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"ERROR: Couldn't find VORDA+!"});

  // A registered folder that is gone, or a file in its place, is not found
  // either: no lock could be made in it.
  for (const bool file_there : {false, true}) {
    fake_.messages.boxes.clear();
    fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Elsewhere\\");
    if (file_there) fake_.files.AddFile(L"C:\\Elsewhere", "a file");
    EXPECT_EQ(Run(), ExitStatus::kInstallFolderNotFound);
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"ERROR: Couldn't find VORDA+!"});
  }

  fake_.messages.boxes.clear();
  fake_.files.Remove(L"C:\\Elsewhere");
  fake_.files.AddFolder(L"C:\\Elsewhere");
  EXPECT_EQ(Run(), ExitStatus::kVersionLibraryMissing);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"ERROR: VoUInfo.dll is missing"});

  fake_.messages.boxes.clear();
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA\\");
  fake_.library.Answer8("2014.9.9");
  EXPECT_EQ(Run(), ExitStatus::kWrongVersion);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"ERROR: You need to install the correct Version before update"});
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "old core");
}

TEST_F(RunTest, RunningProductStopsBeforeAnyFileIsTouched) {
  fake_.processes.devices = {{L"\\Device\\HarddiskVolume1", L"C:"}};
  fake_.processes.Add(4, L"\\Device\\HarddiskVolume1\\windows\\explorer.exe");
  fake_.processes.Add(8, L"\\Device\\HarddiskVolume1\\APPS\\Vorda\\vorda.EXE");
  fake_.processes.on_disk[L"C:\\APPS\\Vorda\\vorda.EXE"] = L"C:\\Apps\\VORDA\\VORDA.exe";
  fake_.environment.arguments = {L"/log", L"run.log"};
  EXPECT_EQ(Run(), ExitStatus::kProductRunning);
  // In drive-letter form, spelt as on disk, with the process that runs it.
  EXPECT_NE(fake_.environment.log.find(
                "running check: C:\\Apps\\VORDA\\VORDA.exe is running (process 8)\n"),
            std::string::npos)
      << fake_.environment.log;
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"Error: The installer has detected that VORDA.exe is running.\n"
                         L"You have to close all these programs before continuing the update."});
  for (const std::wstring& entry : fake_.files.log) {
    EXPECT_EQ(entry.rfind(L"probe ", 0), 0u) << "touched: " << entry.c_str();
  }
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "old core");
}

TEST_F(RunTest, ProductPathJoinsFolderAndNameWithOneSeparator) {
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll", "old core");
  fake_.processes.Add(8, L"C:\\Apps\\VORDA\\VORDA.exe");
  EXPECT_EQ(Run(), ExitStatus::kProductRunning);
}

TEST_F(RunTest, FailedCopyIsUndoneAndNotReportedAsSuccess) {
  fake_.files.AddFile(L"C:\\pkg\\bin\\a.dll", "new a");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\a.dll", "old a");
  fake_.files.FailWhen(L"copy", L"a.dll");
  EXPECT_EQ(Run(), ExitStatus::kCopyFailedUndone);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Err: Failed to copy files"});
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "old core");
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\a.dll"), "old a");
  EXPECT_FALSE(fake_.files.Has(L"C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0"));
}

TEST_F(RunTest, NothingToReplaceStillCompletes) {
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Other\\");
  fake_.files.AddFolder(L"C:\\Other\\");
  fake_.files.AddFile(L"C:\\Other\\VoUInfo.dll", "lib");
  EXPECT_EQ(Run(), ExitStatus::kCompleted);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"VORDA+ UPDATE: You have successfully updated VORDA+"});
}

TEST_F(RunTest, QuietRunsShowNothingAndTheLogTellsEverything) {
  fake_.files.AddFile(L"C:\\pkg\\bin\\a.dll", "new a");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\a.dll", "old a");
  fake_.files.FailWhen(L"copy", L"a.dll");
  fake_.environment.arguments = {L"/quiet", L"/log", L"run.log"};
  EXPECT_EQ(Run(), ExitStatus::kCopyFailedUndone);
  EXPECT_TRUE(fake_.messages.boxes.empty());
  // Opened before the run moves into the package folder.
  EXPECT_EQ(fake_.environment.log_paths, std::vector<std::wstring>{L"run.log"});
  EXPECT_EQ(fake_.environment.default_log, "");  // the log given stands in for it
  const std::string& log = fake_.environment.log;
  // Each line stamped while the log was held against other runs.
  EXPECT_EQ(fake_.environment.stamped_held, std::count(log.begin(), log.end(), '\n'));
  for (const char* event :
       {"2026-12-07T11:08:37.005+01:00 [4242] Kestrune 1.0.0.1 started on PC-0042 by CORP\\deploy "
        "(elevated): Kestrune.exe\n",
        "installation folder C:\\Apps\\VORDA\\ from HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
        "Windows\\CurrentVersion\\Uninstall\\{4D1E}, value InstallLocation\n",
        "reported \"2015.1.0\"\n", "failed: copy C:\\pkg\\bin\\a.dll to ",
        ": error 5: text of 5\n", "undone C:\\Apps\\VORDA\\bin\\core.dll\n",
        "message not shown (quiet): Err: Failed to copy files\n"}) {
    EXPECT_NE(log.find(event), std::string::npos) << event << " not in\n" << log;
  }
  EXPECT_EQ(log.substr(log.size() - 14), "exit status 7\n");

  // A log that cannot be opened changes nothing else.
  FakePlatform other;
  other.environment.arguments = {L"/log=Z:\\nowhere\\run.log"};
  other.environment.log_opens = false;
  EXPECT_EQ(RunOn(other), ExitStatus::kSettingsIncomplete);
  EXPECT_EQ(TextsOf(other).size(), 1u);
}

TEST_F(RunTest, TheLastBoxWaitsUntilTheLockIsFreeAndTheLogHasTheOutcome) {
  struct Row {
    const char* label;
    std::function<void(FakePlatform&)> arrange;
    std::vector<std::wstring> arguments;
    ExitStatus status;
    const char* result;  // the outcome in words, and for a failure its first cause
    const char* box = nullptr;  // the one box's text, where the row says it
    std::vector<const char*> logged = {};  // lines (or their starts) the log holds besides
    // What files hold afterwards ("<missing>": nothing), where the row says.
    std::vector<std::pair<const wchar_t*, const char*>> after = {};
  };
  // An installation as the standard update leaves it.
  const auto updated = [](FakePlatform& f) {
    f.files.Remove(L"C:\\Apps\\VORDA\\bin\\core.dll");
    f.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll", "new core");
    f.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0", "old core");
  };
  const wchar_t* const core = L"C:\\Apps\\VORDA\\bin\\core.dll";
  const wchar_t* const core_backup = L"C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0";
  const std::wstring lock = L"C:\\Apps\\VORDA\\Kestrune.lock";
  const auto valid_journal = [](FakePlatform& f) {
    f.files.AddFile(L"C:\\Apps\\VORDA\\Kestrune.journal",
                    "Kestrune journal 2\nbackup\t.2015.1.0\n"
                    "temporary\t.~kestrune-20261207120000123\nend\t0\n");
  };
  const Row rows[] = {
      {"completed", [](FakePlatform&) {}, {}, ExitStatus::kCompleted, "updated"},
      {"wrong version", [](FakePlatform& f) { f.library.Answer8("2014.9.9"); }, {},
       ExitStatus::kWrongVersion,
       "another version is installed, or its version could not be read; nothing was changed"},
      {"copy failed", [](FakePlatform& f) { f.files.FailWhen(L"copy", L"core.dll"); }, {},
       ExitStatus::kCopyFailedUndone,
       "the update failed: copy C:\\pkg\\bin\\core.dll to "
       "C:\\Apps\\VORDA\\bin\\core.dll.~kestrune-20261207110837005: error 5: text of 5; "
       "everything was undone"},
      {"copy failed, undo incomplete",
       [](FakePlatform& f) {
         f.files.AddFile(L"C:\\pkg\\a.dll", "new a");
         f.files.AddFile(L"C:\\Apps\\VORDA\\a.dll", "old a");
         f.files.FailWhen(L"copy", L"a.dll");
         f.files.FailWhen(L"replace", L"core.dll.2015.1.0");
       },
       {}, ExitStatus::kCopyFailedUndoIncomplete,
       "the update failed: copy C:\\pkg\\a.dll to C:\\Apps\\VORDA\\a.dll.~kestrune-20261207110837005: "
       "error 5: text of 5; not everything could be undone: every old file is kept under its own, "
       "backup or set-aside name, and the next run finishes the undo"},
      {"another run", [&](FakePlatform& f) { f.files.locked.insert(lock); }, {},
       ExitStatus::kAnotherUpdateRunning,
       "another update of this installation is running, or its lock could not be taken; nothing "
       "was changed"},
      {"installation folder gone",
       [](FakePlatform& f) { f.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Gone"); }, {},
       ExitStatus::kInstallFolderNotFound,
       "the installation folder was not found: open C:\\Gone: error 3: text of 3; nothing was "
       "changed"},
      {"damaged package", [](FakePlatform& f) { f.files.AddFile(L"C:\\pkg\\Kestrune.sha256", "x\n"); },
       {}, ExitStatus::kPackageDamaged,
       "the package does not match its list of hashes: C:\\pkg\\Kestrune.sha256, line 1; nothing "
       "was changed"},
      {"interrupted, not undone",
       [](FakePlatform& f) { f.files.AddFile(L"C:\\Apps\\VORDA\\Kestrune.journal", "junk"); }, {},
       ExitStatus::kCopyFailedUndoIncomplete,
       "the interrupted update could not be taken back: the journal "
       "C:\\Apps\\VORDA\\Kestrune.journal cannot be acted on: line 1: not a journal of this "
       "program; nothing was changed; its journal is kept for the next run"},
      // Whole and of this program's form, but not an administrator's: a
      // user who may write the folder may have written it.
      {"interrupted, someone else's journal",
       [](FakePlatform& f) {
         const std::wstring journal = L"C:\\Apps\\VORDA\\Kestrune.journal";
         f.files.AddFile(journal,
                         "Kestrune journal 2\nbackup\t.2015.1.0\n"
                         "temporary\t.~kestrune-20261207120000123\nend\t0\n");
         f.files.owners[journal] = Ownership{Principal::kOther, L"S-1-5-21-7-1001", true, {}};
       },
       {}, ExitStatus::kCopyFailedUndoIncomplete,
       "the interrupted update could not be taken back: the journal "
       "C:\\Apps\\VORDA\\Kestrune.journal is not acted on: its owner is S-1-5-21-7-1001, not this run's account, the administrators or the system; nothing was changed; its journal is kept for the next run"},
      {"bad argument", [](FakePlatform&) {}, {L"/bogus"}, ExitStatus::kBadCommandLine,
       "the command line was not understood"},
      {"cancelled", [](FakePlatform& f) { f.progress.requested = true; }, {},
       ExitStatus::kCancelled, "cancelled by the user; everything was undone"},
      {"cancelled while the package is checked",
       [](FakePlatform& f) {
         f.files.AddFile(L"C:\\pkg\\Kestrune.sha256", "x\n");
         f.progress.requested = true;
       },
       {}, ExitStatus::kCancelled, "cancelled by the user; nothing was changed"},

      // A check runs every stage a run would and changes nothing (below).
      {"check", [](FakePlatform& f) {
         f.files.AddFile(L"C:\\pkg\\a.dll", "new a");
         f.files.AddFile(L"C:\\Apps\\VORDA\\a.dll", "old a");
         f.files.AddFile(L"C:\\Apps\\VORDA\\a.dll.2015.1.0", "an earlier backup");
         f.files.AddFile(L"C:\\pkg\\extra.dll", "no counterpart");
         f.files.AddFile(L"C:\\pkg\\hidden.dll", "outside");
         f.files.shown_as_files.insert(L"C:\\pkg\\hidden.dll");
         f.files.AddFile(L"C:\\Apps\\VORDA\\hidden.dll", "old hidden");
       },
       {L"/check"}, ExitStatus::kCompleted, "the update can be applied",
       "The update of VORDA+ can be applied: 2 files would be replaced.",
       {"VoUInfo.dll reported \"2015.1.0\"\n", "] running check: no process runs ",
        "] would replace C:\\Apps\\VORDA\\bin\\core.dll; the old file would be kept as "
        "C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0\n",
        "] would replace C:\\Apps\\VORDA\\a.dll; C:\\Apps\\VORDA\\a.dll.2015.1.0 exists and is "
        "kept, the old file would be set aside as C:\\Apps\\VORDA\\a.dll.~kestrune\n",
        "] passed over C:\\pkg\\extra.dll: no installed counterpart\n",
        "] passed over C:\\pkg\\hidden.dll: a link that leads out of the package\n",
        "] the copies need 13 bytes; the volume of C:\\Apps\\VORDA has 1099511627776 bytes free\n",
        "] summary: would replace 2 (backups made 1, earlier backups kept 1), passed over 4, "
        "cannot go ahead 0\n"}},
      {"check, a file in use",
       [](FakePlatform& f) {
         f.files.FailWhen(L"try", L"core.dll");
         f.files.free_space = 7;  // and one byte short
       },
       {L"/check"}, ExitStatus::kCopyFailedUndone,
       "the update would fail: C:\\Apps\\VORDA\\bin\\core.dll (in use); nothing was changed",
       "Failed to copy files\nC:\\Apps\\VORDA\\bin\\core.dll (in use)\nand 1 more (see the log)",
       {"] failed: open for a rename C:\\Apps\\VORDA\\bin\\core.dll: error 32: text of 32\n",
        "] failed: the copies need 8 bytes, the volume of C:\\Apps\\VORDA has 7 bytes free\n"}},
      {"check, a destination behind a link",
       [](FakePlatform& f) { f.files.linked.insert(L"C:\\Apps\\VORDA\\bin\\core.dll"); },
       {L"/check"}, ExitStatus::kCopyFailedUndone,
       "the update would fail: C:\\Apps\\VORDA\\bin\\core.dll is reached through the link "
       "C:\\Apps\\VORDA\\bin\\core.dll, where the installation may have none; nothing was changed",
       "Failed to copy files"},
      {"check, wrong version", [](FakePlatform& f) { f.library.Answer8("2014.9.9"); },
       {L"/check"}, ExitStatus::kWrongVersion,
       "another version is installed, or its version could not be read; nothing was changed"},
      {"check, damaged package",
       [](FakePlatform& f) { f.files.AddFile(L"C:\\pkg\\Kestrune.sha256", "x\n"); }, {L"/check"},
       ExitStatus::kPackageDamaged,
       "the package does not match its list of hashes: C:\\pkg\\Kestrune.sha256, line 1; nothing "
       "was changed"},
      {"check, another run", [&](FakePlatform& f) { f.files.locked.insert(lock); }, {L"/check"},
       ExitStatus::kAnotherUpdateRunning,
       "another update of this installation is running, or its lock could not be taken; nothing "
       "was changed"},
      {"check, interrupted, not undone",
       [](FakePlatform& f) { f.files.AddFile(L"C:\\Apps\\VORDA\\Kestrune.journal", "junk"); },
       {L"/check"}, ExitStatus::kCopyFailedUndoIncomplete,
       "the interrupted update could not be taken back: the journal "
       "C:\\Apps\\VORDA\\Kestrune.journal cannot be acted on: line 1: not a journal of this "
       "program; nothing was changed; its journal is kept for the next run"},
      {"check, interrupted, can be undone", valid_journal, {L"/check"}, ExitStatus::kCompleted,
       "an interrupted update is waiting, and the next run can act on it first",
       "An interrupted update of VORDA+ is waiting. The next run finishes it or takes it back "
       "first; check again after that run.",
       {"] a run would take the interrupted update back first, undoing 0 of its steps; nothing "
        "was recovered\n"}},
      {"check, interrupted, the product running",
       [&](FakePlatform& f) {
         valid_journal(f);
         f.processes.Add(8, L"C:\\Apps\\VORDA\\VORDA.exe");
       },
       {L"/check"}, ExitStatus::kProductRunning, "the product is running; nothing was changed"},
      // A rollback: each backup back at its name, the update's file and the
      // backup gone once it commits; whatever version the library reports.
      {"rollback",
       [&](FakePlatform& f) {
         updated(f);
         f.library.Answer8("2015.2.0");
       },
       {L"/rollback"}, ExitStatus::kCompleted, "rolled back", "VORDA+ was returned to version 2015.1.0.",
       {"] took back C:\\Apps\\VORDA\\bin\\core.dll: it holds its backup's bytes again; the "
        "update's file is now C:\\Apps\\VORDA\\bin\\core.dll.~kestrune\n",
        "] removed the backup C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0\n",
        "] a rollback does not require version 2015.1.0: each installed file is compared with the "
        "package instead\n",
        "] summary: took back 1, passed over 2, backups removed 1, the update's files removed 1\n"},
       {{core, "old core"}, {core_backup, "<missing>"},
        {L"C:\\Apps\\VORDA\\bin\\core.dll.~kestrune", "<missing>"},
        {L"C:\\Apps\\VORDA\\Kestrune.journal", "<missing>"}}},
      {"rollback, a backup missing",
       [&](FakePlatform& f) {
         updated(f);
         f.files.AddFile(L"C:\\pkg\\a.dll", "new a");
         f.files.AddFile(L"C:\\Apps\\VORDA\\a.dll", "new a");
       },
       {L"/rollback"}, ExitStatus::kCopyFailedUndone,
       "the rollback failed: cannot take back C:\\Apps\\VORDA\\a.dll: its backup "
       "C:\\Apps\\VORDA\\a.dll.2015.1.0 is missing; everything was undone",
       "Failed to copy files", {}, {{core, "new core"}, {core_backup, "old core"}}},
      {"rollback, a file changed since the update",
       [&](FakePlatform& f) {
         updated(f);
         f.files.Remove(L"C:\\Apps\\VORDA\\bin\\core.dll");
         f.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll", "patched by hand");
       },
       {L"/rollback"}, ExitStatus::kCopyFailedUndone,
       "the rollback failed: cannot take back C:\\Apps\\VORDA\\bin\\core.dll: it does not hold "
       "the package's bytes (changed since the update, or never updated); everything was undone",
       "Failed to copy files", {}, {{core, "patched by hand"}, {core_backup, "old core"}}},
      {"rollback, the copy back fails",
       [&](FakePlatform& f) {
         updated(f);
         f.files.FailWhen(L"copy", L"core.dll.2015.1.0");
       },
       {L"/rollback"}, ExitStatus::kCopyFailedUndone,
       "the rollback failed: copy C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0 to "
       "C:\\Apps\\VORDA\\bin\\core.dll.~kestrune-20261207110837005: error 5: text of 5; "
       "everything was undone",
       "Failed to copy files", {}, {{core, "new core"}, {core_backup, "old core"}}},
      // Its bytes cannot be compared without reading outside the package.
      {"rollback, a packaged link leading out that only its open tells",
       [&](FakePlatform& f) {
         updated(f);
         f.files.AddFile(L"C:\\pkg\\hidden.dll", "outside");
         f.files.shown_as_files.insert(L"C:\\pkg\\hidden.dll");
         f.files.AddFile(L"C:\\Apps\\VORDA\\hidden.dll", "installed hidden");
         f.files.AddFile(L"C:\\Apps\\VORDA\\hidden.dll.2015.1.0", "its backup");
       },
       {L"/rollback"}, ExitStatus::kCompleted, "rolled back",
       "VORDA+ was returned to version 2015.1.0.",
       {"] passed over C:\\pkg\\hidden.dll: a link that leads out of the package\n"},
       {{core, "old core"},
        {L"C:\\Apps\\VORDA\\hidden.dll", "installed hidden"},
        {L"C:\\Apps\\VORDA\\hidden.dll.2015.1.0", "its backup"}}},
      {"rollback again: nothing to take back", [](FakePlatform&) {}, {L"/rollback"},
       ExitStatus::kCompleted, "nothing to take back", "VORDA+ was returned to version 2015.1.0.",
       {"] nothing to take back: no installed counterpart of a packaged file has its backup\n"},
       {{core, "old core"}}},
      {"rollback, the product running",
       [&](FakePlatform& f) {
         updated(f);
         f.processes.Add(8, L"C:\\Apps\\VORDA\\VORDA.exe");
       },
       {L"/rollback"}, ExitStatus::kProductRunning, "the product is running; nothing was changed",
       nullptr, {}, {{core, "new core"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakePlatform fake;
    Arrange(fake, row);
    fake.environment.arguments.insert(fake.environment.arguments.end(), {L"/log", L"run.log"});
    const std::set<std::wstring> held_before = fake.files.locked;
    int shown = 0;
    fake.messages.on_show = [&] {
      ++shown;
      EXPECT_EQ(fake.files.locked, held_before);
      const std::string& log = fake.environment.log;
      const std::string last = "exit status " + std::to_string(static_cast<int>(row.status)) + "\n";
      EXPECT_TRUE(log.size() > last.size() && log.compare(log.size() - last.size(), last.size(),
                                                          last) == 0)
          << log;
      // Nothing changes files once the box is up.
      fake.files.log.push_back(L"<box>");
    };
    std::map<std::wstring, std::string> before;
    for (const std::wstring& path : fake.files.Paths()) before[path] = fake.files.Content(path);
    EXPECT_EQ(RunOn(fake), row.status);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(fake.files.log.back(), L"<box>");
    if (row.box != nullptr) {
      EXPECT_EQ(fake.messages.boxes.back().text, WideFromUtf8(row.box));
    }
    const std::string& log = fake.environment.log;
    for (const char* line : row.logged) EXPECT_NE(log.find(line), std::string::npos) << line << log;
    for (const auto& [path, content] : row.after) EXPECT_EQ(fake.files.Content(path), content);
    if (row.arguments == std::vector<std::wstring>{L"/check"}) {
      // Looked at, never changed: no lock, journal, copy or backup is left.
      std::map<std::wstring, std::string> after;
      for (const std::wstring& path : fake.files.Paths()) after[path] = fake.files.Content(path);
      EXPECT_EQ(after, before);
      for (const std::wstring& entry : fake.files.log) {
        EXPECT_TRUE(entry.rfind(L"probe ", 0) == 0 || entry == L"<box>") << entry.c_str();
      }
    }
    // Once, after the run's last message and before its summary.
    const size_t result = log.find(std::string("] result: ") + row.result + "\n");
    EXPECT_NE(result, std::string::npos) << log;
    EXPECT_EQ(log.find("] result: "), log.rfind("] result: "));
    const size_t message = log.rfind("] message ");
    EXPECT_TRUE(message == std::string::npos || message < result);
    EXPECT_GT(log.find("] summary: ") == std::string::npos ? log.size() : log.find("] summary: "),
              result);
  }
}

TEST_F(RunTest, TheLogNamesEachFilePassedOverAndEndsWithASummary) {
  fake_.files.AddFile(L"C:\\pkg\\bin\\extra.dll", "no counterpart");
  fake_.files.AddFile(L"C:\\pkg\\bin\\old.dll.2015.1.0", "a backup");
  fake_.files.AddFile(L"C:\\pkg\\data", "a file where a folder is installed");
  fake_.files.AddFolder(L"C:\\Apps\\VORDA\\data");
  fake_.files.AddFile(L"C:\\pkg\\bin\\pipe", "a file where a pipe is installed");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\pipe", "");
  fake_.files.special.insert(L"C:\\Apps\\VORDA\\bin\\pipe");
  fake_.files.AddFile(L"C:\\pkg\\bin\\a.dll", "new a");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\a.dll", "old a");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\a.dll.2015.1.0", "an earlier backup");
  // A link leading out that the listing shows as a plain file: the copy's
  // open tells, and it is passed over as the walk passes over the others.
  fake_.files.AddFile(L"C:\\pkg\\bin\\hidden.dll", "outside");
  fake_.files.shown_as_files.insert(L"C:\\pkg\\bin\\hidden.dll");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\hidden.dll", "old hidden");
  fake_.environment.arguments = {L"/log", L"run.log"};
  EXPECT_EQ(Run(), ExitStatus::kCompleted);
  const std::string& log = fake_.environment.log;
  for (const char* event :
       {"running check: no process runs C:\\Apps\\VORDA\\VORDA.exe\n",
        "replaced C:\\Apps\\VORDA\\bin\\core.dll; the old file is now "
        "C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0\n",
        "passed over C:\\pkg\\Kestrune.exe: the updater's own\n",
        "passed over C:\\pkg\\Kestrune.ini: the updater's own\n",
        "passed over C:\\pkg\\bin\\extra.dll: no installed counterpart\n",
        "passed over C:\\pkg\\bin\\old.dll.2015.1.0: named like a backup\n",
        "passed over C:\\pkg\\data: a folder is installed in its place\n",
        "passed over C:\\pkg\\bin\\pipe: no plain file is installed in its place\n",
        "passed over C:\\pkg\\bin\\hidden.dll: a link that leads out of the package\n",
        "message shown: VORDA+ UPDATE: You have successfully updated VORDA+\n",
        "summary: replaced 2, passed over 7, backups made 1, earlier backups kept 1, "
        "set-aside files removed 1\n"
        "2026-12-07T11:08:37.005+01:00 [4242] exit status 0\n"}) {
    EXPECT_NE(log.find(event), std::string::npos) << event << " not in\n" << log;
  }
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\hidden.dll"), "old hidden");
  EXPECT_FALSE(fake_.files.Has(L"C:\\Apps\\VORDA\\bin\\hidden.dll.2015.1.0"));

  // A run undone replaced nothing, whatever it had done before the failure.
  FakePlatform failing;
  Standard(failing);
  failing.files.FailWhen(L"copy", L"core.dll");
  failing.environment.arguments = {L"/quiet", L"/log", L"run.log"};
  EXPECT_EQ(RunOn(failing), ExitStatus::kCopyFailedUndone);
  EXPECT_NE(failing.environment.log.find("summary: replaced 0, passed over 2, backups made 0, "),
            std::string::npos);
}

TEST_F(RunTest, PackageBuildersAreToldWhatIsWrongWithTheirPackage) {
  const std::string core_hash =  // of "new core"
      "0a9b9e9a7c3e89f6e1921aa38032faaab02299438f2ac0ba64f1c5a0f1f5165d";
  const std::string other_hash(64, 'a');
  struct Row {
    const char* list;
    const wchar_t* second_line;
  };
  const Row rows[] = {
      {"{other}  bin\\core.dll\n", L"bin\\core.dll (changed)"},
      {"{core}  bin\\core.dll\n{core}  bin\\gone.dll\n", L"bin\\gone.dll (missing)"},
      {"", L"bin\\core.dll (not listed)"},
  };
  for (const Row& row : rows) {
    FakePlatform fake;
    Standard(fake);
    std::string list = row.list;
    for (size_t at; (at = list.find("{core}")) != std::string::npos;) list.replace(at, 6, core_hash);
    for (size_t at; (at = list.find("{other}")) != std::string::npos;) list.replace(at, 7, other_hash);
    fake.files.AddFile(L"C:\\pkg\\Kestrune.sha256", list);
    EXPECT_EQ(RunOn(fake), ExitStatus::kPackageDamaged);
    EXPECT_EQ(TextsOf(fake), std::vector<std::wstring>{
                                 std::wstring(L"Error: The update package is incomplete or damaged:\n") +
                                 row.second_line});
  }

  // The updater's own files, whatever it is called and wherever its package
  // lies, are never listed nor required; what the list leaves out is named.
  for (const wchar_t* module : {L"C:\\pkg\\Kestrune.exe", L"C:\\Kestrune pkg\\VordaUpdate.exe"}) {
    SCOPED_TRACE(module);
    FakePlatform fake;
    Standard(fake);
    const std::wstring folder = PackageFolderOf(module, L'\\');
    fake.environment.module_path = module;
    fake.files.AddFolder(folder);
    fake.files.AddFolder(folder + L"\\bin");
    fake.files.AddFile(module, "updater");
    fake.files.AddFile(SettingsPathOf(module, L'\\'), "settings");
    fake.files.AddFile(folder + L"\\bin\\core.dll", "new core");
    fake.files.AddFile(folder + L"\\pipe", "");
    fake.files.special.insert(folder + L"\\pipe");
    fake.files.AddFile(folder + L"\\out.dll", "");
    fake.files.outside.insert(folder + L"\\out.dll");
    // One that only its open shows to lead out, with an installed counterpart.
    fake.files.AddFile(folder + L"\\bin\\hidden.dll", "outside");
    fake.files.shown_as_files.insert(folder + L"\\bin\\hidden.dll");
    fake.files.AddFile(L"C:\\Apps\\VORDA\\bin\\hidden.dll", "old hidden");
    fake.environment.arguments = {L"/write-hashes"};
    EXPECT_EQ(RunOn(fake), ExitStatus::kCompleted);
    const std::wstring list = HashListPathOf(module, L'\\');
    EXPECT_EQ(TextsOf(fake), std::vector<std::wstring>{
                                 L"Kestrune: Wrote " + list + L" for 1 files\n"
                                 L"pipe (left out, neither a file nor a folder)\n"
                                 L"out.dll (left out, a link that leads out of the package)\n"
                                 L"bin\\hidden.dll (left out, a link that leads out of the package)"});
    EXPECT_EQ(fake.files.Content(list), core_hash + "  bin\\core.dll\n");
    fake.messages.boxes.clear();
    fake.environment.arguments.clear();
    EXPECT_EQ(RunOn(fake), ExitStatus::kCompleted);
    EXPECT_EQ(fake.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "new core");
    EXPECT_EQ(fake.files.Content(L"C:\\Apps\\VORDA\\bin\\hidden.dll"), "old hidden");
  }

  // Writing the list: a file that cannot be read is not a damaged package.
  fake_.environment.arguments = {L"/write-hashes"};
  fake_.files.FailWhen(L"hash", L"core.dll");
  EXPECT_EQ(Run(), ExitStatus::kPackageDamaged);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Error: Could not read bin\\core.dll: text of 32"});
  EXPECT_FALSE(fake_.files.Has(L"C:\\pkg\\Kestrune.sha256"));
}

TEST_F(RunTest, APersonSeesEachStageAndNoProgressBesideABox) {
  struct Row {
    const char* label;
    std::function<void(FakePlatform&)> arrange;
    std::vector<std::wstring> arguments;
    std::vector<std::wstring> stages;
    // For each stage, whether a person could cancel as it began: never
    // during an undo or a recovery, which must finish.
    std::vector<bool> cancellable;
  };
  const Row rows[] = {
      {"checked and updated",
       [](FakePlatform& f) {
         f.files.AddFile(L"C:\\pkg\\Kestrune.sha256",
                         "0a9b9e9a7c3e89f6e1921aa38032faaab02299438f2ac0ba64f1c5a0f1f5165d  "
                         "bin\\core.dll\n");
       },
       {},
       {L"Checking the update package", L"Updating VORDA+"},
       {true, true}},
      {"undone",
       [](FakePlatform& f) {
         f.files.AddFile(L"C:\\pkg\\bin\\a.dll", "new a");
         f.files.AddFile(L"C:\\Apps\\VORDA\\bin\\a.dll", "old a");
         f.files.FailWhen(L"copy", L"a.dll");
       },
       {},
       {L"Checking the update package", L"Updating VORDA+", L"Undoing the update"},
       {true, true, false}},
      {"interrupted",
       [](FakePlatform& f) { f.files.AddFile(L"C:\\Apps\\VORDA\\Kestrune.journal", "junk"); },
       {},
       {L"Restoring the interrupted update of VORDA+"},
       {false}},
      {"quiet", [](FakePlatform&) {}, {L"/quiet"}, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakePlatform fake;
    Arrange(fake, row);
    fake.messages.on_show = [&] { EXPECT_FALSE(fake.progress.shown); };
    RunOn(fake);
    EXPECT_EQ(fake.progress.texts, row.stages);
    EXPECT_EQ(fake.progress.cancellable, row.cancellable);
    EXPECT_FALSE(fake.progress.shown);
    // Nothing is left to cancel once the run is over.
    EXPECT_TRUE(fake.progress.allowed.empty() || !fake.progress.allowed.back());
  }
  EXPECT_EQ(fake_.progress.title, L"");
  Run();
  EXPECT_EQ(fake_.progress.title, L"VORDA+ Update");
  EXPECT_EQ(fake_.progress.last, L"Updating VORDA+: 1 of 1 files (0%)");
  EXPECT_EQ(fake_.progress.file, L"C:\\Apps\\VORDA\\bin\\core.dll");
  EXPECT_EQ(fake_.progress.last_total, 1u);
}

TEST_F(RunTest, HelpAndMistakesShowTheUsageAndTouchNothing) {
  struct Row {
    std::vector<std::wstring> arguments;
    ExitStatus status;
    size_t usages;
  };
  const Row rows[] = {{{L"/?"}, ExitStatus::kCompleted, 1},
                      {{L"/help", L"/quiet"}, ExitStatus::kCompleted, 0},
                      {{L"/bogus"}, ExitStatus::kBadCommandLine, 1},
                      {{L"/quiet", L"stray"}, ExitStatus::kBadCommandLine, 0}};
  for (const Row& row : rows) {
    FakePlatform fake;
    fake.environment.arguments = row.arguments;
    EXPECT_EQ(RunOn(fake), row.status);
    EXPECT_TRUE(fake.messages.boxes.empty());
    ASSERT_EQ(fake.messages.usages.size(), row.usages);
    if (row.usages) {
      EXPECT_EQ(fake.messages.usages[0].caption, L"Kestrune");
      EXPECT_NE(fake.messages.usages[0].text.find(L"Kestrune.exe [/quiet] [/log PATH]"),
                std::wstring::npos);
      EXPECT_NE(fake.messages.usages[0].text.find(row.arguments[0]), std::wstring::npos);
    }
    EXPECT_TRUE(fake.profile.reads.empty());
    EXPECT_TRUE(fake.environment.log_paths.empty());
    EXPECT_TRUE(fake.files.log.empty());
  }
}

TEST_F(RunTest, FilesInUseAreWaitedForBrieflyThenTheUpdateIsUndone) {
  fake_.files.BusyWhen(L"replace", L"core.dll", 2);
  EXPECT_EQ(Run(), ExitStatus::kCompleted);
  EXPECT_EQ(fake_.environment.sleeps, (std::vector<unsigned>{100, 200}));
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "new core");

  FakePlatform held;
  Standard(held);
  held.files.BusyWhen(L"replace", L"core.dll", 100);
  EXPECT_EQ(RunOn(held), ExitStatus::kCopyFailedUndone);
  EXPECT_EQ(held.environment.sleeps, (std::vector<unsigned>{100, 200, 400, 800}));
  EXPECT_EQ(held.files.Content(L"C:\\Apps\\VORDA\\bin\\core.dll"), "old core");

  // Any other failure is final at once.
  FakePlatform failing;
  Standard(failing);
  failing.files.FailWhen(L"replace", L"core.dll");
  EXPECT_EQ(RunOn(failing), ExitStatus::kCopyFailedUndone);
  EXPECT_TRUE(failing.environment.sleeps.empty());

  // An undo waits for "access denied" too: the old file must go back.
  FakePlatform denied;
  Standard(denied);
  denied.files.FailWhen(L"replace", L"core.dll");
  denied.files.BusyWhen(L"remove", L"core.dll.2015.1.0", 2, FileStatus(FileResult::kFailed, 5));
  EXPECT_EQ(RunOn(denied), ExitStatus::kCopyFailedUndone);
  EXPECT_EQ(denied.environment.sleeps, (std::vector<unsigned>{100, 200}));
  EXPECT_FALSE(denied.files.Has(L"C:\\Apps\\VORDA\\bin\\core.dll.2015.1.0"));

  // A person who sees the progress is told which program to close, and the
  // run waits up to 30 s for it; the log names the program each time. A
  // quiet run (above) keeps to the short waits.
  for (const int held_calls : {8, 100}) {
    SCOPED_TRACE(held_calls);
    FakePlatform watched;
    Standard(watched);
    watched.progress.seen = true;
    watched.environment.arguments = {L"/log", L"run.log"};
    const std::wstring core = L"C:\\Apps\\VORDA\\bin\\core.dll";
    watched.processes.holders[core] = {{77, L"holder.exe"}};
    watched.files.BusyWhen(L"replace", L"core.dll", held_calls);
    const bool released = held_calls == 8;
    EXPECT_EQ(RunOn(watched), released ? ExitStatus::kCompleted : ExitStatus::kCopyFailedUndone);
    unsigned slept = 0;
    for (unsigned ms : watched.environment.sleeps) slept += ms;
    EXPECT_EQ(slept, released ? 5500u : 30000u);
    ASSERT_FALSE(watched.progress.waits.empty());
    EXPECT_EQ(watched.progress.waits[0], L"Waiting for " + core + L": close holder.exe");
    const std::string& log = watched.environment.log;
    EXPECT_NE(log.find("waiting 1.0 s for C:\\Apps\\VORDA\\bin\\core.dll: in use by holder.exe "
                       "(process 77)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(": error 32: text of 32; in use by holder.exe (process 77)\n") !=
                  std::string::npos,
              !released)
        << log;
  }
}

}  // namespace
}  // namespace kestrune
