#include "discovery/locator.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeMessages;
using testing::FakeRegistry;

constexpr wchar_t kUninstall[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{G}";
constexpr wchar_t kUninstallWow[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{G}";
constexpr wchar_t kProduct[] = L"SOFTWARE\\ORVELIN\\VORDA\\2015\\";
constexpr wchar_t kProductWow[] = L"SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\";

class LocatorTest : public ::testing::Test {
 protected:
  LocatorTest() { state_.product_core_guid = L"{G}"; }

  LocateResult Locate() {
    const LocateResult result = LocateInstallation(registry_, messages_, state_);
    EXPECT_EQ(registry_.open_keys, 0) << "a key was left open";
    return result;
  }
  std::wstring OnlyMessage() const {
    EXPECT_EQ(messages_.boxes.size(), 1u);
    if (messages_.boxes.empty()) return L"";
    EXPECT_EQ(messages_.boxes[0].caption, L"ERROR");
    return messages_.boxes[0].text;
  }

  FakeRegistry registry_;
  FakeMessages messages_;
  RunState state_;
};

TEST_F(LocatorTest, UninstallEntryGivesTheTrimmedLocationAsStored) {
  registry_.SetText(kUninstall, L"InstallLocation", L"  C:\\Apps\\VORDA\\ \t\r\n\u3000\u00a0\u2009");
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, L"C:\\Apps\\VORDA\\");
  EXPECT_TRUE(messages_.boxes.empty());
  EXPECT_EQ(registry_.opened, std::vector<std::wstring>{kUninstall});
}

TEST_F(LocatorTest, SecondViewIsTriedOnlyWhenTheFirstDoesNotOpen) {
  registry_.SetText(kUninstallWow, L"InstallLocation", L"D:\\VORDA");
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, L"D:\\VORDA");
  EXPECT_EQ(registry_.opened, (std::vector<std::wstring>{kUninstall, kUninstallWow}));

  // The first view opens but gives nothing: the second is not consulted.
  registry_.opened.clear();
  registry_.SetText(kUninstall, L"InstallLocation", L"");
  registry_.SetText(std::wstring(kProduct) + L"en-US", L"Location", L"E:\\V\\");
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, L"E:\\V\\");
  EXPECT_EQ(registry_.opened[0], kUninstall);
  EXPECT_NE(registry_.opened[1], kUninstallWow);
}

TEST_F(LocatorTest, NoUninstallEntryMeansNotInstalled) {
  registry_.SetText(std::wstring(kProduct) + L"en-US", L"Location", L"C:\\V");
  EXPECT_EQ(Locate(), LocateResult::kNotInstalled);
  EXPECT_EQ(OnlyMessage(), L"This machine has not installed VORDA+ yet");
  EXPECT_TRUE(state_.install_folder.empty());
}

TEST_F(LocatorTest, BlankOrUnreadableLocationFallsBackToLanguageKeysInOrder) {
  const std::wstring unreadable[] = {L"", L" \t \u3000\u205f", std::wstring(128, L'x')};
  for (const std::wstring& stored : unreadable) {
    FakeRegistry registry;
    registry.SetText(kUninstall, L"InstallLocation", stored);
    registry.SetText(std::wstring(kProduct) + L"de-DE", L"Location", L" C:\\De ");
    registry.SetText(std::wstring(kProduct) + L"ja-JP", L"Location", L"C:\\Ja");
    RunState state;
    state.product_core_guid = L"{G}";
    EXPECT_EQ(LocateInstallation(registry, messages_, state), LocateResult::kFound);
    EXPECT_EQ(state.install_folder, L"C:\\De");
    for (const std::wstring& path : registry.opened) {
      EXPECT_EQ(path.find(L"ja-JP"), std::wstring::npos) << "opened after a match";
    }
  }
  // The absent value behaves the same.
  registry_.AddKey(kUninstall);
  registry_.SetText(std::wstring(kProductWow) + L"tr-TR", L"Location", L"C:\\Tr");
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, L"C:\\Tr");
}

TEST_F(LocatorTest, LanguageKeyThatOpensButIsEmptyIsPassedOverWithoutItsSecondView) {
  registry_.AddKey(kUninstall);
  registry_.SetText(std::wstring(kProduct) + L"en-US", L"Location", L" \u3000 ");
  registry_.SetText(std::wstring(kProductWow) + L"en-US", L"Location", L"C:\\Wow");
  registry_.SetText(std::wstring(kProduct) + L"fr-FR", L"Location", L"C:\\Fr");
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, L"C:\\Fr");
  for (const std::wstring& path : registry_.opened) {
    EXPECT_NE(path, std::wstring(kProductWow) + L"en-US");
  }
}

TEST_F(LocatorTest, LongestReadableLocationFitsAndLanguageOrderIsFixed) {
  const std::wstring longest = L"C:\\" + std::wstring(124, L'v');  // 127 units
  registry_.SetText(kUninstall, L"InstallLocation", longest);
  EXPECT_EQ(Locate(), LocateResult::kFound);
  EXPECT_EQ(state_.install_folder, longest);

  FakeRegistry empty_product;
  empty_product.AddKey(kUninstall);
  RunState state;
  state.product_core_guid = L"{G}";
  EXPECT_EQ(LocateInstallation(empty_product, messages_, state), LocateResult::kNotFound);
  std::vector<std::wstring> tried;
  for (size_t i = 1; i < empty_product.opened.size(); i += 2) {
    tried.push_back(empty_product.opened[i].substr(std::wstring(kProduct).size()));
  }
  EXPECT_EQ(tried, (std::vector<std::wstring>{L"en-US", L"zh-CN", L"zh-TW", L"cs-CZ",
                                              L"de-DE", L"es-ES", L"fr-FR", L"hu-HU",
                                              L"it-IT", L"ja-JP", L"ko-KR", L"pl-PL",
                                              L"pt-BR", L"ru-RU", L"tr-TR"}));
  EXPECT_EQ(OnlyMessage(), L"Couldn't find VORDA+!");
  EXPECT_TRUE(state.install_folder.empty());
}

}  // namespace
}  // namespace kestrune
