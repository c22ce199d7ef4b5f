#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sha256_known_answers.h"

namespace kestrune {
namespace {

TEST(Sha256Test, KnownAnswersWholeAndInPieces) {
  for (const std::string& failure : testing::Sha256KnownAnswerFailures())
    ADD_FAILURE() << failure;
}

TEST(Sha256Test, HexRoundTripsAndRejectsAnythingButSixtyFourDigits) {
  // Every digit in both halves of a byte.
  const std::wstring hex =
      L"0123456789abcdeffedcba987654321000ff0ff01a2b3c4d5e6f708192a3b4c5";
  std::wstring upper = hex;
  for (wchar_t& c : upper) {
    if (c >= L'a') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  Sha256Digest digest{};
  ASSERT_TRUE(ParseHexDigest(upper, &digest));
  EXPECT_EQ(digest[0], 0x01);
  EXPECT_EQ(digest[8], 0xFE);
  EXPECT_EQ(digest[31], 0xC5);
  EXPECT_EQ(HexOf(digest), hex);

  const Sha256Digest before = digest;
  // U+0130's low byte is '0': only a narrowing parser would take it.
  const wchar_t not_digits[] = {L'g', L'G', L'/', L':', L'@', L'`', L' ', L'\x0130'};
  for (wchar_t c : not_digits) {
    for (size_t at : {0, 63}) {
      std::wstring bad = hex;
      bad[at] = c;
      EXPECT_FALSE(ParseHexDigest(bad, &digest)) << static_cast<int>(c) << " at " << at;
    }
  }
  EXPECT_FALSE(ParseHexDigest(hex.substr(0, 63), &digest));
  EXPECT_FALSE(ParseHexDigest(hex + L"0", &digest));
  EXPECT_FALSE(ParseHexDigest(L"", &digest));
  EXPECT_EQ(digest, before);
}

}  // namespace
}  // namespace kestrune
