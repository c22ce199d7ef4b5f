#include "discovery/probe.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeFileSystem;
using testing::FakeLibrary;
using testing::FakeMessages;

class ProbeTest : public ::testing::Test {
 protected:
  ProbeTest() {
    state_.install_folder = L"C:\\VORDA 2015.1.0";
    state_.product_vernum = L"2015.1.0";
    files_.AddFile(L"C:\\VORDA 2015.1.0\\VoUInfo.dll", "lib");
    // Stale bytes that must never be read as a version.
    std::memset(state_.version_buffer, '7', sizeof state_.version_buffer);
  }

  ProbeResult Probe() {
    return ProbeInstalledVersion(
        ProbeServices{files_, library_, messages_, L'\\', L"Kestrune"}, state_);
  }

  testing::FakeEnvironment environment_;
  std::string log_;  // what the run's log wrote; outlives the log
  FakeFileSystem files_;
  FakeLibrary library_;
  FakeMessages messages_;
  RunState state_;
};

TEST_F(ProbeTest, EightBitAndUtf16AnswersCompareTheSame) {
  library_.Answer8("2015.1.0");
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
  library_.Answer16(L"2015.1.0");
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
  EXPECT_STREQ(reinterpret_cast<const char*>(state_.version_buffer), "2015.1.0");
  library_.Answer16(L"V 2015.1.0 (build 7)");
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
  EXPECT_TRUE(messages_.boxes.empty());
  EXPECT_EQ(library_.sizes, (std::vector<int32_t>{39, 39, 39}));
  EXPECT_EQ(library_.flag_values, (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(library_.paths[0], L"C:\\VORDA 2015.1.0\\VoUInfo.dll");
  // The library is handed a cleared buffer.
  EXPECT_EQ(library_.seen_before, std::vector<uint8_t>(40, 0));
}

TEST_F(ProbeTest, WrongVersionFailsEvenWhenTheFolderNamesTheVersion) {
  library_.Answer16(L"2015.2.0");
  EXPECT_EQ(Probe(), ProbeResult::kWrongVersion);
  ASSERT_EQ(messages_.boxes.size(), 1u);
  EXPECT_EQ(messages_.boxes[0].text, L"You need to install the correct Version before update");
  EXPECT_EQ(messages_.boxes[0].caption, L"ERROR");
  EXPECT_EQ(messages_.boxes[0].style, Messages::Style::kPlain);
}

TEST_F(ProbeTest, ShortEightBitVersionIsReadAsItIs) {
  state_.product_vernum = L"2015";
  library_.Answer8("2015");
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
  EXPECT_EQ(VersionTextOf(state_.version_buffer), L"2015");
  library_.Answer8("7");
  state_.product_vernum = L"7";
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
}

TEST_F(ProbeTest, LibraryThatCannotBeCalledFailsOnTheClearedBuffer) {
  struct Case {
    VersionLibrary::Outcome outcome;
    const wchar_t* cause;
    const char* logged;  // how the log tells it
  };
  const Case cases[] = {
      {VersionLibrary::Outcome::kNotLoaded, L"", "VoUInfo.dll could not be loaded\n"},
      {VersionLibrary::Outcome::kNoEntry, L"", "VoUInfo.dll has no version entry\n"},
      {VersionLibrary::Outcome::kNotLoaded, L"not a whole shared object",
       "VoUInfo.dll could not be loaded: not a whole shared object\n"},
      {VersionLibrary::Outcome::kFailed, L"no answer within 10 s",
       "VoUInfo.dll crashed or hung when called: no answer within 10 s\n"},
  };
  state_.log.Start(environment_, std::make_unique<testing::FakeLogFile>(&log_));
  for (const Case& c : cases) {
    library_.outcome = c.outcome;
    library_.cause = c.cause;
    messages_.boxes.clear();
    log_.clear();
    std::memset(state_.version_buffer, '7', sizeof state_.version_buffer);
    state_.product_vernum = L"77";
    EXPECT_EQ(Probe(), ProbeResult::kWrongVersion);
    EXPECT_EQ(VersionTextOf(state_.version_buffer), L"");
    ASSERT_EQ(messages_.boxes.size(), 1u);
    EXPECT_NE(log_.find(c.logged), std::string::npos) << log_;
  }
}

TEST_F(ProbeTest, MissingLibraryIsLookedForWithASeparator) {
  state_.install_folder = L"C:\\Apps\\VORDA";
  EXPECT_EQ(Probe(), ProbeResult::kLibraryMissing);
  ASSERT_EQ(messages_.boxes.size(), 1u);
  EXPECT_EQ(messages_.boxes[0].text, L"VoUInfo.dll is missing");
  EXPECT_TRUE(library_.paths.empty());

  // A link at the library's name is the library: it is only read.
  files_.linked.insert(L"C:\\Apps\\VORDA\\VoUInfo.dll");
  library_.Answer8("2015.1.0");
  messages_.boxes.clear();
  EXPECT_EQ(Probe(), ProbeResult::kMatches);

  files_.linked.clear();
  files_.AddFile(L"C:\\Apps\\VORDA\\VoUInfo.dll", "lib");
  EXPECT_EQ(Probe(), ProbeResult::kMatches);
  EXPECT_EQ(library_.paths.size(), 2u);
}

TEST_F(ProbeTest, LibraryVanishingBeforeTheLoadShowsTheFrameworkBox) {
  // Present at the first look, gone at the second.
  class VanishingFiles : public FakeFileSystem {
   public:
    PathKind Probe(const std::wstring& path) override {
      return ++probes_ == 1 ? PathKind::kFile : FakeFileSystem::Probe(path);
    }

   private:
    int probes_ = 0;
  } vanishing;
  const ProbeResult result = ProbeInstalledVersion(
      ProbeServices{vanishing, library_, messages_, L'\\', L"Kestrune"}, state_);
  EXPECT_EQ(result, ProbeResult::kWrongVersion);
  ASSERT_EQ(messages_.boxes.size(), 2u);
  EXPECT_EQ(messages_.boxes[0].text, L"C:\\VORDA 2015.1.0\\VoUInfo.dll does not exists!");
  EXPECT_EQ(messages_.boxes[0].caption, L"Kestrune");
  EXPECT_EQ(messages_.boxes[0].style, Messages::Style::kFramework);
  EXPECT_TRUE(library_.paths.empty());
}

TEST(NarrowVersionBufferTest, NarrowsOnlyWhenTheSecondByteIsZero) {
  uint8_t buffer[kVersionBufferSize] = {'2', 0, '0', 0, '1', 0, '5', 0};
  NarrowVersionBuffer(buffer);
  EXPECT_EQ(VersionTextOf(buffer), L"2015");
  for (size_t i = 4; i < kVersionBufferSize; ++i) EXPECT_EQ(buffer[i], 0) << i;

  // Twenty UTF-16 characters fill the narrowed half exactly.
  uint8_t full[kVersionBufferSize] = {};
  for (size_t i = 0; i < 20; ++i) full[2 * i] = static_cast<uint8_t>('a' + i);
  NarrowVersionBuffer(full);
  EXPECT_EQ(VersionTextOf(full), L"abcdefghijklmnopqrst");

  uint8_t eight_bit[kVersionBufferSize] = {'1', '.', '2'};
  NarrowVersionBuffer(eight_bit);
  EXPECT_EQ(VersionTextOf(eight_bit), L"1.2");

  // Bytes above 0x7F become the character of the same number.
  uint8_t high[kVersionBufferSize] = {'v', 0xE9, 0};
  EXPECT_EQ(VersionTextOf(high), std::wstring(L"v\u00e9"));
  uint8_t unterminated[kVersionBufferSize];
  std::memset(unterminated, 'x', sizeof unterminated);
  EXPECT_EQ(VersionTextOf(unterminated).size(), kVersionBufferSize);
}

}  // namespace
}  // namespace kestrune
