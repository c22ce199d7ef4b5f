#include "guard/running_check.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeProcesses;

TEST(ToDriveFormTest, MapsTheDevicePrefixThatEndsAtASeparator) {
  const std::vector<DriveDevice> devices = {
      {L"\\Device\\HarddiskVolume1", L"C:"},
      {L"\\Device\\HarddiskVolume10", L"D:"},
      {L"\\Device\\CdRom0", L"E:"},
  };
  EXPECT_EQ(ToDriveForm(L"\\Device\\HarddiskVolume1\\Apps\\VORDA.exe", devices),
            L"C:\\Apps\\VORDA.exe");
  EXPECT_EQ(ToDriveForm(L"\\Device\\HarddiskVolume10\\Apps\\VORDA.exe", devices),
            L"D:\\Apps\\VORDA.exe");
  // A volume without a drive letter stays in device form.
  EXPECT_EQ(ToDriveForm(L"\\Device\\HarddiskVolume7\\x.exe", devices),
            L"\\Device\\HarddiskVolume7\\x.exe");
  EXPECT_EQ(ToDriveForm(L"\\device\\harddiskvolume1\\x.exe", devices), L"C:\\x.exe");
  EXPECT_EQ(ToDriveForm(L"\\Device\\HarddiskVolume1", devices), L"C:");
  EXPECT_EQ(ToDriveForm(L"/opt/vorda/VORDA.exe", {}), L"/opt/vorda/VORDA.exe");
}

class RunningCheckTest : public ::testing::Test {
 protected:
  RunningCheckTest() {
    processes_.devices = {{L"\\Device\\HarddiskVolume1", L"C:"},
                          {L"\\Device\\HarddiskVolume10", L"Z:"}};
  }
  FakeProcesses processes_;
};

TEST_F(RunningCheckTest, FindsTheProductInAnyLetterCaseAndStopsAtTheFirstMatch) {
  processes_.Add(4, L"");  // cannot be opened
  processes_.Add(8, L"\\Device\\HarddiskVolume1\\Windows\\explorer.exe");
  processes_.Add(12, L"\\Device\\HarddiskVolume1\\APPS\\vorda\\VORDA.EXE");
  processes_.Add(16, L"\\Device\\HarddiskVolume1\\apps\\vorda\\vorda.exe");
  EXPECT_TRUE(IsProductRunning(processes_, L"c:\\apps\\vorda\\vorda.exe"));
  EXPECT_EQ(processes_.examined, (std::vector<uint32_t>{4, 8, 12}));
  EXPECT_EQ(processes_.drive_table_builds, 1);
}

TEST_F(RunningCheckTest, SameNameElsewhereOrOnAnotherVolumeIsNotTheProduct) {
  processes_.Add(8, L"\\Device\\HarddiskVolume1\\Other\\VORDA.exe");
  processes_.Add(9, L"\\Device\\HarddiskVolume10\\Apps\\VORDA\\VORDA.exe");
  EXPECT_FALSE(IsProductRunning(processes_, L"c:\\apps\\vorda\\vorda.exe"));
  EXPECT_EQ(processes_.examined.size(), 2u);
}

TEST_F(RunningCheckTest, SubstringAnywhereInTheImagePathMatches) {
  processes_.Add(3, L"\\Device\\HarddiskVolume1\\Apps\\VORDA\\VORDA.exe.bak.exe");
  EXPECT_TRUE(IsProductRunning(processes_, L"C:\\Apps\\VORDA\\VORDA.exe"));
}

TEST_F(RunningCheckTest, NothingReadableOrNoEnumerationMeansNotRunning) {
  processes_.Add(4, L"");
  processes_.Add(5, L"");
  EXPECT_FALSE(IsProductRunning(processes_, L"c:\\apps\\vorda\\vorda.exe"));
  processes_.Add(6, L"C:\\Apps\\VORDA\\VORDA.exe");
  processes_.enumerable = false;
  EXPECT_FALSE(IsProductRunning(processes_, L"c:\\apps\\vorda\\vorda.exe"));
}

}  // namespace
}  // namespace kestrune
