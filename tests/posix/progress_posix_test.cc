// The POSIX progress line: drawn on a terminal only, and gone before any
// message.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix_backend.h"

namespace kestrune {
namespace {

std::string Drain(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

TEST(PosixProgressTest, ALineOnATerminalClearedOnCloseAndNothingElsewhere) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);

  struct Row {
    const char* label;
    int fd;
    int read_fd;
    bool start;
    unsigned delay_ms;
    std::string seen;
  };
  const Row rows[] = {
      {"terminal", terminal, master, true, 0,
       "\rUpdating VORDA+: 1 of 4 files [0%]\033[K\r\033[K"},
      {"quiet run", terminal, master, false, 0, ""},
      {"within the first second", terminal, master, true, 60000, ""},
      {"pipe", pipe_fds[1], pipe_fds[0], true, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fcntl(row.read_fd, F_SETFL, O_NONBLOCK);
    posix::PosixProgress progress(row.fd, row.delay_ms);
    if (row.start) progress.Start(L"Kestrune");
    progress.Report(L"Updating VORDA+: 1 of 4 files", 0, 4);
    // Too soon after the last to be drawn again.
    progress.Report(L"Updating VORDA+: 2 of 4 files", 1, 4);
    progress.Close();
    progress.Close();
    EXPECT_EQ(Drain(row.read_fd), row.seen);
  }
  close(terminal);
  close(master);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

}  // namespace
}  // namespace kestrune
