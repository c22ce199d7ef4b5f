#include "verify/hash_list.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

const std::string kHex(64, 'a');

TEST(HashListTest, LinesOfTheCommonToolAndNothingElse) {
  struct Row {
    std::string text;
    size_t bad_line;  // 0: parses
    std::vector<std::wstring> written;
  };
  const Row rows[] = {
      {kHex + "  bin/core.dll\n" + kHex + " *./res\\s.txt\r\n", 0,
       {L"bin/core.dll", L"res\\s.txt"}},
      {"\xEF\xBB\xBF# comment\n\n" + kHex + "  a b.dll", 0, {L"a b.dll"}},
      {kHex + "  Kestrune.exe\n" + kHex + "  tools/Kestrune notes.txt\n", 0, {}},
      {"\\" + kHex + "  odd\\\\name\\nline\n", 0, {L"odd\\name\nline"}},
      {kHex + "  ok\n" + kHex.substr(1) + "  short\n", 2, {}},
      {kHex + " one-space-only\n", 1, {}},
      {kHex + "  \n", 1, {}},
      {std::string(63, 'a') + "g  bad-digit\n", 1, {}},
      {"\\" + kHex + "  bad\\escape\n", 1, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<HashEntry> entries;
    size_t bad_line = 99;
    EXPECT_EQ(ParseHashList(row.text, L'/', &entries, &bad_line), row.bad_line == 0);
    EXPECT_EQ(bad_line, row.bad_line);
    if (row.bad_line != 0) continue;
    std::vector<std::wstring> written;
    for (const HashEntry& entry : entries) written.push_back(entry.written);
    EXPECT_EQ(written, row.written);
  }
  std::vector<HashEntry> entries;
  size_t bad_line = 0;
  ASSERT_TRUE(ParseHashList(kHex + "  ./res\\s.txt\n", L'\\', &entries, &bad_line));
  EXPECT_EQ(entries[0].relative, L"res\\s.txt");
  EXPECT_EQ(entries[0].digest[0], 0xAA);
}

TEST(HashListTest, WrittenListsReadBack) {
  Sha256Digest digest{};
  digest[31] = 0x5c;
  const std::string text = FormatHashList({{L"bin\\core.dll", digest}, {L"\u00fc.txt", digest}});
  EXPECT_EQ(text.substr(60, 9), "005c  bin");
  std::vector<HashEntry> entries;
  size_t bad_line = 0;
  ASSERT_TRUE(ParseHashList(text, L'\\', &entries, &bad_line));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].relative, L"bin\\core.dll");
  EXPECT_EQ(entries[1].relative, L"\u00fc.txt");
  EXPECT_EQ(entries[1].digest, digest);
}

}  // namespace
}  // namespace kestrune
