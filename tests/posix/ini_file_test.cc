#include "platform/posix/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/utf.h"
#include "tests/posix/temp_tree.h"

namespace kestrune::posix {
namespace {

std::string Utf16File(std::wstring_view text, bool big_endian = false) {
  std::string bytes(big_endian ? "\xFE\xFF" : "\xFF\xFE", 2);
  for (uint8_t byte : Utf16LeFromWide(text))
    bytes.push_back(static_cast<char>(byte));
  for (size_t i = 2; big_endian && i + 1 < bytes.size(); i += 2) {
    std::swap(bytes[i], bytes[i + 1]);
  }
  return bytes;
}

class IniFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    tree_.Write(name, bytes);
    return tree_.Path(name);
  }

  kestrune::testing::TempTree tree_;
};

TEST_F(IniFileTest, ReadsEachEncodingAndLineEnd) {
  // U+1F600 is a surrogate pair in UTF-16 and must come back as one character.
  auto settings = [](std::wstring_view eol) {
    return L"[Product]" + std::wstring(eol) +
           L"ProductName=VORDA+ \U0001F600.exe" + std::wstring(eol) +
           L"ProductVERNUM=15.2 版" + std::wstring(eol) +
           L"ProductCoreGUID={8A2F-11}";
  };
  const std::string files[] = {
      Write("utf8_lf.ini", Utf8FromWide(settings(L"\n"))),
      Write("utf8_bom_crlf.ini",
            "\xEF\xBB\xBF" + Utf8FromWide(settings(L"\r\n"))),
      Write("utf8_cr.ini", Utf8FromWide(settings(L"\r"))),
      Write("utf16_crlf.ini", Utf16File(settings(L"\r\n"))),
      Write("utf16_lf.ini", Utf16File(settings(L"\n"))),
      Write("utf16be_crlf.ini", Utf16File(settings(L"\r\n"), true)),
  };
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ReadProfileString(path, L"Product", L"ProductName", 260),
              L"VORDA+ \U0001F600.exe");
    EXPECT_EQ(ReadProfileString(path, L"Product", L"ProductVERNUM", 260),
              L"15.2 版");
    EXPECT_EQ(ReadProfileString(path, L"Product", L"ProductCoreGUID", 260),
              L"{8A2F-11}");
  }
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesEmpty) {
  const std::string fifo = tree_.Path("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {tree_.Path("absent.ini"), tree_.root(), fifo,
                                  std::string("/dev/zero")}) {
    EXPECT_EQ(ReadProfileString(path, L"Product", L"ProductName", 260), L"")
        << path;
  }
}

TEST_F(IniFileTest, CutsToCapacityLessOne) {
  // Capacity counts characters, not UTF-8 bytes.
  const std::wstring long_value(300, L'é');
  const std::string utf8 =
      Write("long8.ini", Utf8FromWide(L"[Product]\nKey=" + long_value));
  const std::string utf16 =
      Write("long16.ini", Utf16File(L"[Product]\r\nKey=" + long_value));
  for (const std::string& path : {utf8, utf16}) {
    EXPECT_EQ(ReadProfileString(path, L"Product", L"Key", 260),
              long_value.substr(0, 259));
    EXPECT_EQ(ReadProfileString(path, L"Product", L"Key", 1), L"");
    EXPECT_EQ(ReadProfileString(path, L"Product", L"Key", 0), L"");
  }
  // Quotes go before the cut, so a cut value never keeps its opening quote.
  EXPECT_EQ(ProfileStringFromBytes("[P]\nK=\"abcdef\"", L"P", L"K", 4), L"abc");
}

TEST(ProfileStringTest, LookupRules) {
  const std::string file =
      "ProductName=before any section\n"
      "[Other]\n"
      "ProductName=other\n"
      "  [ product ]  \n"
      "  productname  =  \"  VORDA+.exe  \"  \n"
      "ProductName=second of duplicate keys\n"
      "; ProductVERNUM=commented\n"
      "   ;ProductCoreGUID=commented\n"
      "[Broken header\n"
      "Single='15.2'\n"
      "Mismatched=\"15.2'\n"
      "Lone=\"\n"
      "Nested=\"\"x\"\"\n"
      "Url=a=b ; not a comment\n"
      "=empty name\n"
      "[Product]\n"
      "Late=in a duplicate section\n"
      "[]\n"
      "Key=in the empty section\n";
  struct Case {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* expected;
  } cases[] = {
      {L"Product", L"ProductName", L"  VORDA+.exe  "},
      {L"PRODUCT", L" PRODUCTNAME ", L"  VORDA+.exe  "},
      {L"Product", L"ProductVERNUM", L""},
      {L"Product", L"ProductCoreGUID", L""},
      {L"Product", L"Single", L"15.2"},
      {L"Product", L"Mismatched", L"\"15.2'"},
      {L"Product", L"Lone", L"\""},
      {L"Product", L"Nested", L"\"x\""},
      {L"Product", L"Url", L"a=b ; not a comment"},
      {L"Product", L"", L"empty name"},
      {L"Product", L"Late", L""},
      {L"Other", L"ProductName", L"other"},
      {L"", L"Key", L"in the empty section"},
      {L"Missing", L"ProductName", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProfileStringFromBytes(file, c.section, c.key, 260), c.expected)
        << Utf8FromWide(c.section) << "/" << Utf8FromWide(c.key);
  }
}

TEST(ProfileStringTest, SurvivesMalformedInput) {
  using namespace std::string_literals;
  EXPECT_EQ(ProfileStringFromBytes("[P]\nK=ab\0cd\n"s, L"P", L"K", 260), L"ab");
  EXPECT_EQ(ProfileStringFromBytes(Utf16File(L"[P]\r\nK=v") + "\x41", L"P",
                                   L"K", 260),
            L"v");
  EXPECT_EQ(ProfileStringFromBytes("\xFF\xFE", L"P", L"K", 260), L"");
  EXPECT_EQ(ProfileStringFromBytes("[P]\nK=\xC3(\n", L"P", L"K", 260),
            L"\xDCC3(");
  EXPECT_EQ(ProfileStringFromBytes("[\n]\n=\n[P\n", L"P", L"K", 260), L"");
  const std::string huge_line(1 << 20, 'x');
  EXPECT_EQ(ProfileStringFromBytes(huge_line + "\n[P]\nK=v", L"P", L"K", 260),
            L"v");
}

}  // namespace
}  // namespace kestrune::posix
