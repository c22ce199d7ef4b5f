// The words of the progress display: the count and percentage, the time
// left as a person would say it, and what the run waits for.
#include "run/progress_text.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(ProgressTextTest, CountsTimeLeftAndWaits) {
  struct Row {
    uint64_t worked_ms;
    size_t done;
    size_t total;
    const wchar_t* count;
    const wchar_t* left;
  };
  const Row rows[] = {
      {0, 0, 3000, L"1 of 3000 files (0%)", L""},
      // Too little work yet for an estimate worth showing.
      {2999, 1500, 3000, L"1501 of 3000 files (50%)", L""},
      {3000, 0, 3000, L"1 of 3000 files (0%)", L""},
      {3000, 1500, 3000, L"1501 of 3000 files (50%)", L"About 5 seconds left"},
      {10000, 1000, 3000, L"1001 of 3000 files (33%)", L"About 25 seconds left"},
      {40000, 1000, 3000, L"1001 of 3000 files (33%)", L"About 1 minute left"},
      {60000, 1000, 3000, L"1001 of 3000 files (33%)", L"About 2 minutes left"},
      // Two minutes and a half are nearer three than two.
      {75000, 1000, 3000, L"1001 of 3000 files (33%)", L"About 3 minutes left"},
      {60000, 10, 3000, L"11 of 3000 files (0%)", L"About 5 hours left"},
      {3600000, 3000, 6000, L"3001 of 6000 files (50%)", L"About 1 hour left"},
      {9000, 3000, 3000, L"3000 of 3000 files (100%)", L""},
      // A count of files times 100 past 32 bits.
      {0, size_t{50000000}, size_t{100000000}, L"50000001 of 100000000 files (50%)", L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.worked_ms) + " ms, " + std::to_string(row.done));
    EXPECT_EQ(ProgressCount(row.done, row.total), row.count);
    EXPECT_EQ(ProgressTimeLeft(row.worked_ms, row.done, row.total), row.left);
  }
  EXPECT_EQ(ProgressWaiting(L"C:\\Apps\\VORDA\\bin\\core.dll", L"holder.exe"),
            L"Waiting for C:\\Apps\\VORDA\\bin\\core.dll: close holder.exe");
  EXPECT_EQ(ProgressWaiting(L"/opt/vorda/core.so", L""),
            L"Waiting for /opt/vorda/core.so: close the program that uses it");
}

}  // namespace
}  // namespace kestrune
