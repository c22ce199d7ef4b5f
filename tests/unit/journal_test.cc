#include "replace/journal.h"

#include <gtest/gtest.h>

#include "replace/replace_step.h"

namespace kestrune {
namespace {

TEST(JournalTest, RoundTripsAndNeverGuesses) {
  std::string text = JournalHead(L".2015 SP1", L".~kestrune-20261207120000123");
  AppendJournalStep(L"\\bin\\core.dll", kBackupAside, &text);
  AppendJournalStep(L"/odd\tname\nwith\\escapes \u00fc", 3, &text);
  AppendJournalEnd(2, &text);
  Journal journal;
  ASSERT_TRUE(ParseJournal(text, &journal));
  EXPECT_EQ(journal.backup_suffix, L".2015 SP1");
  EXPECT_EQ(journal.temporary_suffix, L".~kestrune-20261207120000123");
  ASSERT_EQ(journal.steps.size(), 2u);
  EXPECT_EQ(journal.steps[0].relative, L"\\bin\\core.dll");
  EXPECT_EQ(journal.steps[0].aside, kBackupAside);
  EXPECT_EQ(journal.steps[1].relative, L"/odd\tname\nwith\\escapes \u00fc");
  EXPECT_EQ(journal.steps[1].aside, 3);
  EXPECT_FALSE(journal.committed);

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
    EXPECT_EQ(ParseJournal(text + row.tail, &journal), row.parses) << row.tail;
    EXPECT_EQ(journal.committed && row.parses, row.committed) << row.tail;
  }
  // Anything short of the whole plan is refused.
  for (size_t cut : {size_t{0}, size_t{10}, text.size() / 2, text.size() - 1}) {
    EXPECT_FALSE(ParseJournal(text.substr(0, cut), &journal)) << cut;
  }
  std::string miscounted = text;
  miscounted.replace(miscounted.rfind("end\t2"), 5, "end\t3");
  EXPECT_FALSE(ParseJournal(miscounted, &journal));
}

}  // namespace
}  // namespace kestrune
