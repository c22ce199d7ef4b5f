#include "replace/patient_file_system.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace kestrune
