#include "app/paths.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace kestrune {
namespace {

TEST(PathsTest, PackageFolderIsCutAtTheLastSeparator) {
  EXPECT_EQ(PackageFolderOf(L"C:\\pkg\\Kestrune.exe", L'\\'), L"C:\\pkg");
  EXPECT_EQ(PackageFolderOf(L"C:\\Kestrune.exe", L'\\'), L"C:");
  EXPECT_EQ(PackageFolderOf(L"Kestrune.exe", L'\\'), L"");
  EXPECT_EQ(PackageFolderOf(L"/srv/up\\date/Kestrune", L'/'), L"/srv/up\\date");
}

TEST(PathsTest, SettingsFileReplacesOnlyTheFileNamesExtension) {
  EXPECT_EQ(SettingsPathOf(L"C:\\pkg\\Kestrune.exe", L'\\'), L"C:\\pkg\\Kestrune.ini");
  EXPECT_EQ(SettingsPathOf(L"C:\\update.1\\Kestrune.exe", L'\\'),
            L"C:\\update.1\\Kestrune.ini");
  // A dot in a folder name is not an extension.
  EXPECT_EQ(SettingsPathOf(L"C:\\update.1\\Kestrune", L'\\'),
            L"C:\\update.1\\Kestrune.ini");
  EXPECT_EQ(SettingsPathOf(L"C:\\pkg\\Kestrune.1.exe", L'\\'),
            L"C:\\pkg\\Kestrune.1.ini");
  EXPECT_EQ(SettingsPathOf(L"/opt/pkg.v2/Kestrune", L'/'), L"/opt/pkg.v2/Kestrune.ini");
  // On POSIX a backslash is part of the name.
  EXPECT_EQ(SettingsPathOf(L"/opt/a.b\\Kestrune", L'/'), L"/opt/a.ini");
}

TEST(PathsTest, AppTitleIsTheFileNameWithoutExtension) {
  EXPECT_EQ(AppTitleOf(L"C:\\pkg\\Kestrune.exe", L'\\'), L"Kestrune");
  EXPECT_EQ(AppTitleOf(L"C:\\p.q\\Kestrune", L'\\'), L"Kestrune");
  EXPECT_EQ(AppTitleOf(L"/pkg/Kestrune", L'/'), L"Kestrune");
}

TEST(PathsTest, JoinPutsOneSeparatorBetween) {
  EXPECT_EQ(JoinPath(L"C:\\Apps\\VORDA", L"VoUInfo.dll", L'\\'),
            L"C:\\Apps\\VORDA\\VoUInfo.dll");
  EXPECT_EQ(JoinPath(L"C:\\Apps\\VORDA\\", L"VoUInfo.dll", L'\\'),
            L"C:\\Apps\\VORDA\\VoUInfo.dll");
  EXPECT_EQ(JoinPath(L"C:/Apps/VORDA/", L"VORDA.exe", L'\\'), L"C:/Apps/VORDA/VORDA.exe");
  EXPECT_EQ(JoinPath(L"/opt/vorda", L"VORDA.exe", L'/'), L"/opt/vorda/VORDA.exe");
  EXPECT_EQ(JoinPath(L"/opt/vorda\\", L"VORDA.exe", L'/'), L"/opt/vorda\\/VORDA.exe");
}

}  // namespace
}  // namespace kestrune
