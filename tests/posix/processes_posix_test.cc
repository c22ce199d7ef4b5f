// The processes that hold a file, as the POSIX back-end finds them in /proc.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix_backend.h"
#include "platform/utf.h"
#include "tests/posix/temp_tree.h"

namespace kestrune {
namespace {

TEST(PosixProcessesTest, HoldersHaveTheFileOpenOrMappedWhateverPathTheyTook) {
  testing::TempTree tree;
  tree.Write("open.dat", "held open");
  tree.Write("mapped.so", "mapped, its descriptor closed");
  tree.Write("other.dat", "held by nobody");
  tree.Write("renamed.dat", "opened, then renamed");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int open_fd = open(tree.Path("open.dat").c_str(), O_RDONLY);
    const int map_fd = open(tree.Path("mapped.so").c_str(), O_RDONLY);
    void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, map_fd, 0);
    close(map_fd);
    const int renamed_fd = open(tree.Path("renamed.dat").c_str(), O_RDONLY);
    rename(tree.Path("renamed.dat").c_str(), tree.Path("now.dat").c_str());
    const char ok = open_fd >= 0 && mapped != MAP_FAILED && renamed_fd >= 0 ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 'n';
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  struct Row {
    const char* file;
    bool held;
  };
  const Row rows[] = {{"open.dat", true},   {"mapped.so", true}, {"now.dat", true},
                      {"other.dat", false}, {"missing", false}};
  posix::PosixProcessList processes;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const std::vector<FileHolder> holders = processes.Holders(WideFromUtf8(tree.Path(row.file)));
    if (!row.held) {
      EXPECT_TRUE(holders.empty());
      continue;
    }
    // The test process itself held nothing: the one holder is the child,
    // named by its program's file name.
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].id, static_cast<uint32_t>(child));
    EXPECT_EQ(holders[0].name, L"kestrune_tests");
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace kestrune
