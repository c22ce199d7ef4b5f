// The run sequence end to end over fakes: which messages, in which order, and
// what each outcome leaves behind.
#include <gtest/gtest.h>

#include "app/kestrune_app.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakePlatform;

constexpr wchar_t kGuid[] = L"{4D1E}";
constexpr wchar_t kUninstall[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{4D1E}";

class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    fake_.profile.Set(L"ProductName", L"VORDA.exe");
    fake_.profile.Set(L"ProductVERNUM", L"2015.1.0");
    fake_.profile.Set(L"ProductCoreGUID", kGuid);
    fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA\\");
    fake_.library.Answer8("2015.1.0");
    fake_.files.AddFolder(L"C:\\pkg");
    fake_.files.AddFile(L"C:\\pkg\\Kestrune.exe", "updater");
    fake_.files.AddFile(L"C:\\pkg\\Kestrune.ini", "settings");
    fake_.files.AddFolder(L"C:\\pkg\\bin");
    fake_.files.AddFile(L"C:\\pkg\\bin\\core.dll", "new core");
    fake_.files.AddFolder(L"C:\\Apps\\VORDA\\");
    fake_.files.AddFile(L"C:\\Apps\\VORDA\\VoUInfo.dll", "lib");
    fake_.files.AddFile(L"C:\\Apps\\VORDA\\\\bin\\core.dll", "old core");
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
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll"), "new core");
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll.2015.1.0"), "old core");
  EXPECT_FALSE(fake_.files.Has(L"C:\\Apps\\VORDA\\\\Kestrune.exe"));
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

  fake_.messages.boxes.clear();
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Elsewhere");
  EXPECT_EQ(Run(), ExitStatus::kVersionLibraryMissing);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"ERROR: VoUInfo.dll is missing"});

  fake_.messages.boxes.clear();
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA\\");
  fake_.library.Answer8("2014.9.9");
  EXPECT_EQ(Run(), ExitStatus::kWrongVersion);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"ERROR: You need to install the correct Version before update"});
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll"), "old core");
}

TEST_F(RunTest, RunningProductStopsBeforeAnyFileIsTouched) {
  fake_.processes.devices = {{L"\\Device\\HarddiskVolume1", L"C:"}};
  fake_.processes.Add(4, L"\\Device\\HarddiskVolume1\\windows\\explorer.exe");
  fake_.processes.Add(8, L"\\Device\\HarddiskVolume1\\APPS\\Vorda\\vorda.EXE");
  EXPECT_EQ(Run(), ExitStatus::kProductRunning);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"Error: The installer has detected that VORDA.exe is running.\n"
                         L"You have to close all these programs before continuing the update."});
  for (const std::wstring& entry : fake_.files.log) {
    EXPECT_EQ(entry.rfind(L"probe ", 0), 0u) << "touched: " << entry.c_str();
  }
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll"), "old core");
}

TEST_F(RunTest, ProductPathJoinsFolderAndNameWithOneSeparator) {
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Apps\\VORDA");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\bin\\core.dll", "old core");
  fake_.processes.Add(8, L"C:\\Apps\\VORDA\\VORDA.exe");
  EXPECT_EQ(Run(), ExitStatus::kProductRunning);
}

TEST_F(RunTest, FailedCopyIsUndoneAndNotReportedAsSuccess) {
  fake_.files.AddFile(L"C:\\pkg\\bin\\a.dll", "new a");
  fake_.files.AddFile(L"C:\\Apps\\VORDA\\\\bin\\a.dll", "old a");
  fake_.files.FailWhen(L"copy", L"a.dll");
  EXPECT_EQ(Run(), ExitStatus::kCopyFailedUndone);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Err: Failed to copy files"});
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\core.dll"), "old core");
  EXPECT_EQ(fake_.files.Content(L"C:\\Apps\\VORDA\\\\bin\\a.dll"), "old a");
  EXPECT_FALSE(fake_.files.Has(L"C:\\Apps\\VORDA\\\\bin\\core.dll.2015.1.0"));
}

TEST_F(RunTest, NothingToReplaceStillCompletes) {
  fake_.registry.SetText(kUninstall, L"InstallLocation", L"C:\\Other\\");
  fake_.files.AddFolder(L"C:\\Other\\");
  fake_.files.AddFile(L"C:\\Other\\VoUInfo.dll", "lib");
  EXPECT_EQ(Run(), ExitStatus::kCompleted);
  EXPECT_EQ(Texts(), std::vector<std::wstring>{
                         L"VORDA+ UPDATE: You have successfully updated VORDA+"});
}

}  // namespace
}  // namespace kestrune
