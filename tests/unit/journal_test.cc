#include "replace/journal.h"

#include <gtest/gtest.h>

#include "replace/replace_step.h"

namespace kestrune {
namespace {

constexpr wchar_t kCopies[] = L".~kestrune-20261207120000123";
const JournalRules kWindows{L".2015 SP1", L'\\'};
const JournalRules kPosix{L".2015 SP1", L'/'};

std::string Plan(const std::string& step_lines, size_t steps) {
  std::string text = JournalHead(L".2015 SP1", kCopies) + step_lines;
  AppendJournalEnd(steps, &text);
  return text;
}

TEST(JournalTest, RoundTripsAndNeverGuesses) {
  std::string text = JournalHead(L".2015 SP1", kCopies);
  AppendJournalStep(JournalStep{L"\\bin\\core.dll", kBackupAside, {7, 1ull << 40, 17, -5}, {}},
                    &text);
  AppendJournalStep(JournalStep{L"\\odd\tname\nwith escapes \u00fc", 3, {0, 0, 0, 0}, {}}, &text);
  // Escapes in an otherwise ASCII name, and characters of four UTF-8 bytes.
  AppendJournalStep(JournalStep{L"\\cr\r\\\U0001F600 \u4E2D.dll", 9, {1, 2, 3, 4}, {}}, &text);
  AppendJournalEnd(3, &text);
  Journal journal;
  JournalFault fault;
  ASSERT_TRUE(ParseJournal(text, kWindows, &journal, &fault)) << fault.line;
  EXPECT_EQ(journal.backup_suffix, L".2015 SP1");
  EXPECT_EQ(journal.temporary_suffix, kCopies);
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal.Step(0).relative, L"\\bin\\core.dll");
  EXPECT_EQ(journal.Step(0).aside, kBackupAside);
  EXPECT_EQ(journal.Step(0).installed, (FileIdentity{7, 1ull << 40, 17, -5}));
  EXPECT_EQ(journal.Step(1).relative, L"\\odd\tname\nwith escapes \u00fc");
  EXPECT_EQ(journal.Step(1).aside, 3);
  EXPECT_EQ(journal.Step(2).relative, L"\\cr\r\\\U0001F600 \u4E2D.dll");
  EXPECT_EQ(journal.Step(2).installed, (FileIdentity{1, 2, 3, 4}));
  // A line break in a name with no escape besides: still never raw.
  std::string posix = JournalHead(L".2015 SP1", kCopies);
  AppendJournalStep(JournalStep{L"/cr\ronly", 1, {}, {}}, &posix);
  EXPECT_EQ(posix.find('\r'), std::string::npos);
  EXPECT_FALSE(journal.committed);
  EXPECT_FALSE(journal.rollback);
  EXPECT_EQ(RunStartOf(journal.temporary_suffix), L"2026-12-07 12:00:00.123");
  // A rollback's: each step names the backup it puts back too.
  std::string back = JournalHead(L".2015 SP1", kCopies, true);
  AppendJournalStep(JournalStep{L"\\a.dll", 0, {1, 2, 3, 4}, {5, 6, 7, -8}}, &back, true);
  AppendJournalEnd(1, &back);
  ASSERT_TRUE(ParseJournal(back, kWindows, &journal, &fault)) << fault.line;
  EXPECT_TRUE(journal.rollback);
  EXPECT_EQ(journal.Step(0).installed, (FileIdentity{1, 2, 3, 4}));
  EXPECT_EQ(journal.Step(0).backup, (FileIdentity{5, 6, 7, -8}));

  struct Row {
    std::string tail;
    bool parses;
    bool committed;
  };
  const Row rows[] = {
      {"commit\n", true, true},
      {"comm", true, false},               // an append a stop cut short
      {std::string("\0\0\0", 3), true, false},  // or left as zeros
      {"commit\nmore", false, false},
      {"rollback\n", false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ParseJournal(text + row.tail, kWindows, &journal, &fault), row.parses) << row.tail;
    EXPECT_EQ(journal.committed && row.parses, row.committed) << row.tail;
  }
  // Anything short of the whole plan is refused.
  for (size_t cut : {size_t{0}, size_t{10}, text.size() / 2, text.size() - 1}) {
    EXPECT_FALSE(ParseJournal(text.substr(0, cut), kWindows, &journal, &fault)) << cut;
  }
}

// A journal is whatever a user who may write in the installation folder
// made of it: every line kind, every rule, refused with the line named.
std::string Step(const std::wstring& relative, int aside = kBackupAside) {
  std::string line;
  AppendJournalStep(JournalStep{relative, aside, {1, 2, 3, 4}, {}}, &line);
  return line;
}

// A journal is whatever a user who may write in the installation folder
// made of it: every line kind, every rule, refused with the line named.
TEST(JournalTest, RefusesEveryJournalThatCouldLeadOutsideOrMatchTheWrongFile) {
  const std::string good = Step(L"\\bin\\core.dll");
  struct Row {
    const char* label;
    std::string text;
    size_t line;
    const JournalRules* rules;
  };
  const Row rows[] = {
      {"first form", "Kestrune journal 1\nbackup\t.2015 SP1\n", 1, &kWindows},
      {"empty backup suffix", JournalHead(L"", kCopies) + "end\t0\n", 2, &kWindows},
      {"other version", JournalHead(L".2014", kCopies) + "end\t0\n", 2, &kWindows},
      {"suffix leading up", JournalHead(L".2015 SP1\\..\\x", kCopies) + "end\t0\n", 2, &kWindows},
      {"copy suffix leading out", JournalHead(L".2015 SP1", L"\\..\\secret.txt") + "end\t0\n", 3,
       &kWindows},
      {"empty copy suffix", JournalHead(L".2015 SP1", L"") + "end\t0\n", 3, &kWindows},
      {"copy suffix one digit short", JournalHead(L".2015 SP1", L".~kestrune-2026120712000012") +
       "end\t0\n", 3, &kWindows},
      {"dot-dot part", Plan(Step(L"\\..\\victim\\x"), 1), 4, &kWindows},
      {"dot-dot by slash", Plan(Step(L"\\bin/../../x"), 1), 4, &kWindows},
      {"dot part", Plan(Step(L"/./x"), 1), 4, &kPosix},
      // Where no other rule would refuse it first, as Windows' dots do.
      {"dot-dot part by POSIX rules", Plan(Step(L"/bin/../../x"), 1), 4, &kPosix},
      {"dots and spaces", Plan(Step(L"\\bin\\. .\\x"), 1), 4, &kWindows},
      {"extended form", Plan(Step(L"\\\\?\\C:\\x"), 1), 4, &kWindows},
      {"drive", Plan(Step(L"\\C:x"), 1), 4, &kWindows},
      {"stream", Plan(Step(L"\\core.dll:evil"), 1), 4, &kWindows},
      {"no leading separator", Plan(Step(L"bin\\core.dll"), 1), 4, &kWindows},
      {"empty path", Plan(Step(L""), 1), 4, &kWindows},
      {"empty part", Plan(Step(L"/bin//core"), 1), 4, &kPosix},
      {"NUL", Plan(Step(std::wstring(L"/bin/core\0x", 11)), 1), 4, &kPosix},
      {"unknown escape", Plan("-1\t1\t2\t3\t4\t/bin\\q\n", 1), 4, &kPosix},
      {"the updater's own", Plan(Step(L"\\Kestrune.lock"), 1), 4, &kWindows},
      // Windows finds the journal by this name too.
      {"the updater's own in capitals", Plan(Step(L"\\KESTRUNE.JOURNAL"), 1), 4, &kWindows},
      {"aside too high", Plan(Step(L"\\x", kLastAside + 1), 1), 4, &kWindows},
      {"aside too low", Plan(Step(L"\\x", -2), 1), 4, &kWindows},
      {"no identity", Plan("-1\t/x\n", 1), 4, &kPosix},
      {"identity overflows", Plan("-1\t18446744073709551616\t2\t3\t4\t/x\n", 1), 4, &kPosix},
      {"identity not a number", Plan("-1\t1\t2x\t3\t4\t/x\n", 1), 4, &kPosix},
      {"miscounted", Plan(good, 2), 5, &kWindows},
      {"more steps than counted", Plan(good + good, 1), 6, &kWindows},
      {"junk after the plan", Plan(good, 1) + "commit\nmore", 6, &kWindows},
      // A rollback's steps name their backups; an update's do not.
      {"rollback step without its backup", JournalHead(L".2015 SP1", kCopies, true) + good +
       "end\t1\n", 5, &kWindows},
      {"update step with a backup", Plan("-1\t1\t2\t3\t4\t5\t6\t7\t8\t\\x\n", 1), 4, &kWindows},
      {"rollback said twice", JournalHead(L".2015 SP1", kCopies, true) + "rollback\nend\t0\n", 5,
       &kWindows},
      {"rollback after a step", Plan(good + "rollback\n", 1), 5, &kWindows},
  };
  for (const Row& row : rows) {
    Journal journal;
    JournalFault fault;
    EXPECT_FALSE(ParseJournal(row.text, *row.rules, &journal, &fault)) << row.label;
    EXPECT_EQ(fault.line, row.line) << row.label;
    EXPECT_FALSE(fault.reason.empty()) << row.label;
  }
  // Each rule is the only thing wrong in its row: the same plan with a
  // good path passes, and "/" separates on Windows too.
  Journal journal;
  JournalFault fault;
  EXPECT_TRUE(ParseJournal(Plan(good, 1), kWindows, &journal, &fault));
  EXPECT_TRUE(ParseJournal(Plan(Step(L"/bin/core"), 1), kPosix, &journal, &fault));
  EXPECT_TRUE(ParseJournal(Plan(Step(L"/bin/core"), 1), kWindows, &journal, &fault));
  EXPECT_FALSE(ParseJournal(Plan(Step(L"\\bin\\core"), 1), kPosix, &journal, &fault));
  // POSIX names differ by letter case.
  EXPECT_TRUE(ParseJournal(Plan(Step(L"/KESTRUNE.JOURNAL"), 1), kPosix, &journal, &fault));
}

}  // namespace
}  // namespace kestrune
