#include "platform/posix/reg_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "tests/posix/temp_tree.h"

namespace kestrune::posix {
namespace {

using Bytes = std::vector<uint8_t>;

// A string value as the registry stores it: UTF-16LE with a zero terminator.
Bytes Stored(std::wstring_view text) {
  Bytes bytes = Utf16LeFromWide(text);
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::string Utf16File(std::wstring_view text) {
  std::string bytes("\xFF\xFE", 2);
  for (uint8_t byte : Utf16LeFromWide(text))
    bytes.push_back(static_cast<char>(byte));
  return bytes;
}

// Absent values compare as a recognisable marker rather than crashing.
Bytes ValueOr(const RegFile& file, std::wstring_view key,
              std::wstring_view name) {
  const Bytes* value = file.Value(key, name);
  return value ? *value : Bytes{0xDE, 0xAD};
}
const Bytes kAbsent = {0xDE, 0xAD};

class RegFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    tree_.Write(name, bytes);
    return tree_.Path(name);
  }

  kestrune::testing::TempTree tree_;
};

TEST_F(RegFileTest, ReadsExportInEachEncoding) {
  const std::wstring uninstall =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{8A2F-11}";
  const std::wstring product =
      L"SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\de-DE";
  auto export_text = [&](std::wstring_view eol) {
    std::wstring text;
    for (std::wstring_view line :
         {L"Windows Registry Editor Version 5.00", L"",
          L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
          L"Uninstall\\{8A2F-11}]",
          L"\"DisplayName\"=\"VORDA+ \\\"2015\\\" 版 \U0001F600\"",
          L"\"InstallLocation\"=\"C:\\\\Apps\\\\VORDA\\\\\"",
          L"\"EstimatedSize\"=dword:0001E240", L"@=\"default\"", L"",
          L"[HKEY_LOCAL_"
          L"MACHINE\\SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\de-DE]",
          L"\"Location\"=hex(2):43,00,3a,00,5c,00,\\", L"  56,00,\\",
          L"  00,00", L"\"Empty\"=hex:"}) {
      text.append(line).append(eol);
    }
    return text;
  };
  const std::string files[] = {
      Write("utf16_crlf.reg", Utf16File(export_text(L"\r\n"))),
      Write("utf8_bom_lf.reg",
            "\xEF\xBB\xBF" + Utf8FromWide(export_text(L"\n"))),
      Write("utf8_crlf.reg", Utf8FromWide(export_text(L"\r\n"))),
  };
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const RegFile file = RegFile::Load(path);
    EXPECT_EQ(ValueOr(file, uninstall, L"DisplayName"),
              Stored(L"VORDA+ \"2015\" 版 \U0001F600"));
    EXPECT_EQ(ValueOr(file, uninstall, L"InstallLocation"),
              Stored(L"C:\\Apps\\VORDA\\"));
    EXPECT_EQ(ValueOr(file, uninstall, L"EstimatedSize"),
              (Bytes{0x40, 0xE2, 0x01, 0x00}));
    EXPECT_EQ(ValueOr(file, uninstall, L""), Stored(L"default"));
    EXPECT_EQ(ValueOr(file, product, L"Location"), Stored(L"C:\\V"));
    EXPECT_EQ(ValueOr(file, product, L"Empty"), Bytes{});
  }
}

TEST_F(RegFileTest, MissingOrUnreadableFileOpensNothing) {
  for (const std::string& path : {tree_.Path("absent.reg"), tree_.root()}) {
    const RegFile file = RegFile::Load(path);
    EXPECT_FALSE(file.HasKey(L"")) << path;
    EXPECT_FALSE(file.HasKey(L"SOFTWARE")) << path;
  }
}

TEST(RegFileParseTest, KeysOpenThroughTheirDescendants) {
  const RegFile file = RegFile::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\VORDA\\2015\\en-US]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A!B]\n"
      "[hkey_local_machine\\Software\\Lower\\]\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\UserOnly]\n"
      "\"v\"=\"x\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Deleted]\n");
  for (const wchar_t* path : {L"", L"software", L"SOFTWARE\\orvelin",
                              L"SOFTWARE\\ORVELIN\\VORDA\\2015\\en-US",
                              L"SOFTWARE\\ORVELIN\\VORDA\\2015\\EN-us\\",
                              L"SOFTWARE\\", L"SOFTWARE\\Lower"}) {
    EXPECT_TRUE(file.HasKey(path)) << Utf8FromWide(path);
  }
  // "A!B" sorts between "A" and "A\..." and must not make "A" open.
  for (const wchar_t* path :
       {L"SOFT", L"SOFTWARE\\A", L"SOFTWARE\\ORVELIN\\VORDA\\2015\\en",
        L"SOFTWARE\\ORVELIN\\VORDA\\2015\\en-US\\sub", L"SOFTWARE\\ORVELIN\\\\",
        L"\\SOFTWARE", L"SOFTWARE\\UserOnly", L"SOFTWARE\\Deleted"}) {
    EXPECT_FALSE(file.HasKey(path)) << Utf8FromWide(path);
  }
  EXPECT_EQ(file.Value(L"SOFTWARE\\UserOnly", L"v"), nullptr);
}

TEST(RegFileParseTest, ValueRules) {
  const RegFile file =
      RegFile::Parse(Utf8FromWide(L"REGEDIT4\n"
                                  L"[HKEY_LOCAL_MACHINE\\K]\n"
                                  L"\"Name\"=\"first\"\n"
                                  L"\"NAME\"=\"second\"\n"
                                  L"\"Kept\"=\"kept\"\n"
                                  L"\"Kept\"=-\n"
                                  L"\"Odd\"=\"a\\b\"\n"
                                  L"@=\"default\"\n"
                                  L"\"Short\"=dword:ff\n"
                                  L"\"Multi\"=hex(7):61,00,\\\n"
                                  L"    00,00,\\\n"
                                  L"\t00,00\n"
                                  L"[HKEY_LOCAL_MACHINE\\K\\Child]\n"
                                  L"\"Only\"=\"here\"\n"
                                  L"[HKEY_LOCAL_MACHINE\\K]\n"
                                  L"\"Late\"=\"reopened\"\n"));
  EXPECT_EQ(ValueOr(file, L"k", L"name"), Stored(L"second"));
  EXPECT_EQ(ValueOr(file, L"K", L"Kept"), Stored(L"kept"));
  EXPECT_EQ(ValueOr(file, L"K", L"Odd"), Stored(L"a\\b"));
  EXPECT_EQ(ValueOr(file, L"K\\", L""), Stored(L"default"));
  EXPECT_EQ(ValueOr(file, L"K", L"Short"), (Bytes{0xFF, 0, 0, 0}));
  EXPECT_EQ(ValueOr(file, L"K", L"Multi"), (Bytes{0x61, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ValueOr(file, L"K", L"Late"), Stored(L"reopened"));
  EXPECT_EQ(ValueOr(file, L"K\\CHILD", L"ONLY"), Stored(L"here"));
  EXPECT_EQ(ValueOr(file, L"K", L"Only"), kAbsent);
  EXPECT_EQ(ValueOr(file, L"K", L"Missing"), kAbsent);
  EXPECT_EQ(ValueOr(file, L"", L"Name"), kAbsent);
}

TEST(RegFileParseTest, SkipsWhatItCannotParse) {
  for (const char* header : {"", "\n", "Windows Registry Editor Version 4.00\n",
                             "  REGEDIT4\n", "\nREGEDIT4\n"}) {
    EXPECT_FALSE(
        RegFile::Parse(std::string(header) + "[HKEY_LOCAL_MACHINE\\K]\n")
            .HasKey(L"K"))
        << header;
  }
  EXPECT_TRUE(RegFile::Parse("REGEDIT4 \t\r\n[HKEY_LOCAL_MACHINE\\K]\r\n")
                  .HasKey(L"K"));

  const RegFile file = RegFile::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\K]\n"
      "garbage line\n"
      "\"Unterminated=\"value\n"
      "\"Open\"=\"no closing quote\n"
      "\"Escaped\"=\"ends in \\\"\n"
      "\"Trail\"=\"x\" junk\n"
      "\"BadHex\"=hex:0g,01\n"
      "\"LongByte\"=hex:100\n"
      "\"TrailingComma\"=hex:01,\n"
      "\"BadType\"=hex(zz):01\n"
      "\"NoColon\"=hex(2)01\n"
      "\"BigDword\"=dword:123456789\n"
      "\"EmptyDword\"=dword:\n"
      "\"Word\"=word:1\n"
      "\"BadContinuation\"=hex:01,\\\n"
      "  zz,\\\n"
      "  \"Swallowed\"=\"continuation line\"\n"
      "\"Good\"=\"still read\"\n"
      "[HKEY_LOCAL_MACHINE\\Broken\n"
      "\"Stray\"=\"not under K\"\n"
      "[HKEY_LOCAL_MACHINE\\After]\n"
      "\"Cut\"=hex:01,\\\n");
  for (const wchar_t* name :
       {L"Unterminated=", L"Open", L"Escaped", L"Trail", L"BadHex", L"LongByte",
        L"TrailingComma", L"BadType", L"NoColon", L"BigDword", L"EmptyDword",
        L"Word", L"BadContinuation", L"Swallowed", L"Stray"}) {
    EXPECT_EQ(file.Value(L"K", name), nullptr) << Utf8FromWide(name);
  }
  EXPECT_EQ(ValueOr(file, L"K", L"Good"), Stored(L"still read"));
  EXPECT_FALSE(file.HasKey(L"Broken"));
  EXPECT_TRUE(file.HasKey(L"After"));
  EXPECT_EQ(file.Value(L"After", L"Cut"), nullptr);

  // UTF-16 cut off mid-value, at an odd byte: what came before still reads.
  const std::string cut = Utf16File(
      L"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
      L"\"A\"=\"whole\"\r\n\"B\"=\"C:\\\\Ap");
  const RegFile truncated = RegFile::Parse(cut.substr(0, cut.size() - 1));
  EXPECT_EQ(ValueOr(truncated, L"K", L"A"), Stored(L"whole"));
  EXPECT_EQ(truncated.Value(L"K", L"B"), nullptr);
}

}  // namespace
}  // namespace kestrune::posix
