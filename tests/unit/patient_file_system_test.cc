#include "replace/patient_file_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "run/progress_text.h"
#include "tests/fakes/fake_platform.h"

namespace kestrune {
namespace {

using testing::FakeEnvironment;
using testing::FakeFileSystem;

TEST(PatientFileSystemTest, WaitsForFilesInUseAndForAccessDeniedOnlyWhenAsked) {
  struct Row {
    const char* label;
    bool wait_for_denied;
    FileStatus answer;  // of the first `times` calls
    int times;
    std::vector<unsigned> sleeps;
    bool moved;
  };
  const FileStatus in_use(FileResult::kInUse, 32);
  const FileStatus denied(FileResult::kFailed, 5);
  const FileStatus other(FileResult::kFailed, 2);
  const Row rows[] = {
      {"in use a moment", false, in_use, 2, {100, 200}, true},
      {"in use too long", false, in_use, 9, {100, 200, 400, 800}, false},
      {"denied during an update", false, denied, 1, {}, false},
      {"denied a moment during an undo", true, denied, 3, {100, 200, 400}, true},
      {"denied too long during an undo", true, denied, 9, {100, 200, 400, 800}, false},
      {"another failure during an undo", true, other, 1, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakeFileSystem inner;
    inner.AddFile(L"C:\\a", "a");
    inner.BusyWhen(L"move", L"C:\\a", row.times, row.answer);
    FakeEnvironment environment;
    RunLog log;
    PatientFileSystem files(inner, environment, log);
    files.WaitForAccessDenied(row.wait_for_denied);
    EXPECT_EQ(files.Move(L"C:\\a", L"C:\\b").ok(), row.moved);
    EXPECT_EQ(environment.sleeps, row.sleeps);
  }
}

// A person who sees the progress is told which program holds the file, and
// the run waits up to 30 s for it, a tenth of a second at a time while a
// cancel may end the wait; "access denied" keeps to the short waits.
TEST(PatientFileSystemTest, WatchedWaitsNameTheHolderAndEndWithACancel) {
  struct Row {
    const char* label;
    FileStatus answer;  // of the first `times` calls
    int times;
    bool allowed;         // cancelling is, during the wait
    size_t cancel_after;  // waits shown before the person cancels; 0: never
    bool moved;
    unsigned slept_ms;
    size_t shown;  // waits shown to the person
  };
  const FileStatus in_use(FileResult::kInUse, 32);
  const FileStatus denied(FileResult::kFailed, 5);
  const Row rows[] = {
      {"released after 3.5 s", in_use, 6, true, 0, true, 3500, 6},
      {"held past 30 s", in_use, 99, true, 0, false, 30000, 33},
      {"cancelled at the third wait", in_use, 99, true, 3, false, 300, 3},
      {"cancel not allowed, as in an undo", in_use, 99, false, 3, false, 30000, 33},
      {"access denied", denied, 99, true, 0, false, 1500, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakeFileSystem inner;
    inner.AddFile(L"C:\\a", "a");
    inner.BusyWhen(L"move", L"C:\\a", row.times, row.answer);
    FakeEnvironment environment;
    std::string text;
    RunLog log;
    log.Start(environment, std::make_unique<testing::FakeLogFile>(&text));
    testing::FakeProcesses processes;
    processes.holders[L"C:\\a"] = {{77, L"holder.exe"}, {78, L"other.exe"}};
    testing::FakeProgress progress;
    progress.Start(ProgressTexts());
    progress.AllowCancel(row.allowed);
    progress.cancel_when = [&row](const testing::FakeProgress& p) {
      return row.cancel_after != 0 && p.waits.size() >= row.cancel_after;
    };
    PatientFileSystem files(inner, environment, log, Patience{&processes, &progress, true});
    files.WaitForAccessDenied(true);
    const FileStatus moved = files.Move(L"C:\\a", L"C:\\b");
    EXPECT_EQ(moved.ok(), row.moved);
    unsigned slept = 0;
    for (unsigned ms : environment.sleeps) {
      EXPECT_LE(ms, 100u) << "a cancel could wait longer than a tenth of a second";
      slept += ms;
    }
    EXPECT_EQ(slept, row.slept_ms);
    EXPECT_EQ(progress.waits.size(), row.shown);
    EXPECT_FALSE(progress.waiting) << "the wait is still on the screen";
    if (row.shown > 0) {
      EXPECT_EQ(progress.waits[0], L"Waiting for C:\\a: close holder.exe, other.exe");
    }
    // The failure line after the last wait names the holders too.
    log.Failure(L"move", L"C:\\a", moved);
    const bool named = row.answer == FileResult::kInUse;
    EXPECT_EQ(text.find("waiting 0.1 s for C:\\a: in use by holder.exe (process 77), other.exe "
                        "(process 78)\n") != std::string::npos,
              named)
        << text;
    EXPECT_EQ(text.find("error 32: text of 32; in use by holder.exe (process 77), other.exe "
                        "(process 78)\n") != std::string::npos,
              named && !row.moved)
        << text;
  }
}

}  // namespace
}  // namespace kestrune
