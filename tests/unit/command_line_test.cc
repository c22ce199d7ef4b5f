#include "app/command_line.h"

#include <gtest/gtest.h>

#include "run/log.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, SwitchesOfEachStyle) {
  struct Row {
    SwitchStyle style;
    std::vector<std::wstring> arguments;
    Action action;
    bool quiet;
    std::wstring log;
  };
  const SwitchStyle win = SwitchStyle::kWindows;
  const SwitchStyle posix = SwitchStyle::kPosix;
  const Row rows[] = {
      {win, {}, Action::kUpdate, false, L""},
      {win, {L"/QUIET", L"-Log", L"C:\\logs\\a b.log"}, Action::kUpdate, true, L"C:\\logs\\a b.log"},
      {win, {L"/log=rel.log", L"-quiet"}, Action::kUpdate, true, L"rel.log"},
      {win, {L"/?"}, Action::kHelp, false, L""},
      {win, {L"-HELP", L"/quiet"}, Action::kHelp, true, L""},
      {win, {L"/write-hashes"}, Action::kWriteHashes, false, L""},
      {win, {L"/CHECK", L"/quiet", L"-check"}, Action::kCheck, true, L""},
      {win, {L"-Rollback", L"/log=r.log"}, Action::kRollback, false, L"r.log"},
      {posix, {L"--check", L"--log", L"c.log"}, Action::kCheck, false, L"c.log"},
      {posix, {L"--rollback", L"--quiet"}, Action::kRollback, true, L""},
      // Two things to do at once contradict each other, whatever the order.
      {win, {L"/check", L"/rollback"}, Action::kMistake, false, L""},
      {win, {L"/check", L"/write-hashes"}, Action::kMistake, false, L""},
      {posix, {L"--write-hashes", L"--check"}, Action::kMistake, false, L""},
      {posix, {L"--check=now"}, Action::kMistake, false, L""},
      {posix, {L"--quiet", L"--log", L"/var/log/u.log"}, Action::kUpdate, true, L"/var/log/u.log"},
      {posix, {L"--log=x=y.log"}, Action::kUpdate, false, L"x=y.log"},
      {posix, {L"--help"}, Action::kHelp, false, L""},
      // Only the platform's own switch form is understood.
      {posix, {L"/quiet"}, Action::kMistake, false, L""},
      {posix, {L"--QUIET"}, Action::kMistake, false, L""},
      {posix, {L"-q"}, Action::kMistake, false, L""},
      {win, {L"--quiet"}, Action::kMistake, false, L""},
      {win, {L"/log"}, Action::kMistake, false, L""},
      {win, {L"/log", L"/quiet"}, Action::kMistake, true, L""},
      {win, {L"/log="}, Action::kMistake, false, L""},
      {win, {L"/quiet=yes"}, Action::kMistake, false, L""},
      // A mistake wins over help, so that a typo is never taken for success.
      {win, {L"/?", L"update"}, Action::kMistake, false, L""},
  };
  for (const Row& row : rows) {
    std::wstring joined;
    for (const std::wstring& argument : row.arguments) joined += argument + L" ";
    SCOPED_TRACE(std::string(joined.begin(), joined.end()));
    const CommandLine line = ParseCommandLine(row.arguments, row.style);
    EXPECT_EQ(line.action, row.action);
    EXPECT_EQ(line.quiet, row.quiet);
    EXPECT_EQ(line.log_path, row.log);
    EXPECT_EQ(line.mistake.empty(), row.action != Action::kMistake);
  }
  EXPECT_EQ(ParseCommandLine({L"/quiet", L"/bogus", L"x"}, win).mistake, L"Unknown switch: /bogus");
  EXPECT_EQ(ParseCommandLine({L"now"}, posix).mistake, L"Unexpected argument: now");
}

TEST(CommandLineTest, UsageListsEveryExitStatusOnALineOfItsOwn) {
  for (SwitchStyle style : {SwitchStyle::kWindows, SwitchStyle::kPosix}) {
    const std::wstring text = UsageText(style, L"Kestrune");
    // A line holding ": " would split the POSIX port's record in two.
    EXPECT_EQ(text.find(L": "), std::wstring::npos);
    for (int status = 0; status <= 12; ++status) {
      EXPECT_NE(text.find(L"\n" + std::to_wstring(status) + L" - "), std::wstring::npos) << status;
    }
    // No padding into columns, which a proportional font would not keep.
    EXPECT_EQ(text.find(L"  "), std::wstring::npos);
  }
}

TEST(CommandLineTest, TimestampsAreIso8601WithTheOffset) {
  EXPECT_EQ(FormatTimestamp(LocalTime{2026, 1, 2, 3, 4, 5, 6, 60}), "2026-01-02T03:04:05.006+01:00");
  EXPECT_EQ(FormatTimestamp(LocalTime{2026, 12, 31, 23, 59, 59, 999, -570}),
            "2026-12-31T23:59:59.999-09:30");

  // The log formats a stamp once for the lines of one millisecond: each time
  // below differs from the one before in one field only, and gets its own.
  const LocalTime times[] = {
      {2026, 12, 7, 11, 8, 37, 5, 60},  {2026, 12, 7, 11, 8, 37, 5, 60},
      {2026, 12, 7, 11, 8, 37, 6, 60},  {2026, 12, 7, 11, 8, 38, 6, 60},
      {2026, 12, 7, 11, 9, 38, 6, 60},  {2026, 12, 7, 12, 9, 38, 6, 60},
      {2026, 12, 8, 12, 9, 38, 6, 60},  {2026, 11, 8, 12, 9, 38, 6, 60},
      {2027, 11, 8, 12, 9, 38, 6, 60},  {2027, 11, 8, 12, 9, 38, 6, 120}};
  testing::FakeEnvironment environment;
  std::string written;
  RunLog log;
  log.Start(environment, std::make_unique<testing::FakeLogFile>(&written));
  std::string expected;
  for (const LocalTime& time : times) {
    environment.now = time;
    log.Line(L"x");
    // In the file as soon as it is made: a kill loses no line.
    expected += FormatTimestamp(time) + " [4242] x\n";
    EXPECT_EQ(written, expected);
  }
}

}  // namespace
}  // namespace kestrune
