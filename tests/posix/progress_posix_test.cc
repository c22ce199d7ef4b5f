// The POSIX progress line: drawn on a terminal only, and gone before any
// message; and the signals that cancel.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix_backend.h"
#include "run/progress_text.h"

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
    unsigned short columns;
    std::string seen;
  };
  const Row rows[] = {
      {"terminal", terminal, master, true, 0, 120,
       "\rUpdating VORDA+: 1 of 4 files (0%) - /opt/vorda/bin/core.dll\033[K"
       // A wait shows at once, however soon after the last line.
       "\rUpdating VORDA+: 2 of 4 files (25%) - Waiting for /opt/vorda/bin/core.dll: close "
       "sleep\033[K\r\033[K"},
      // The file is cut in its middle to keep to one line.
      {"narrow terminal", terminal, master, true, 0, 60,
       "\rUpdating VORDA+: 1 of 4 files (0%) - /opt/vo...bin/core.dll\033[K"
       "\rUpdating VORDA+: 2 of 4 files (25%) - Waitin... close sleep\033[K\r\033[K"},
      {"quiet run", terminal, master, false, 0, 120, ""},
      {"within the first second", terminal, master, true, 60000, 120, ""},
      {"pipe", pipe_fds[1], pipe_fds[0], true, 0, 120, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fcntl(row.read_fd, F_SETFL, O_NONBLOCK);
    winsize size{};
    size.ws_col = row.columns;
    ioctl(terminal, TIOCSWINSZ, &size);
    posix::PosixProgress progress(row.fd, row.delay_ms);
    if (row.start) {
      EXPECT_EQ(progress.Start(ProgressTexts()), row.fd == terminal);
    }
    progress.Report(L"Updating VORDA+", 0, 4, L"/opt/vorda/bin/", L"core.dll");
    // Too soon after the last to be drawn again.
    progress.Report(L"Updating VORDA+", 1, 4, L"/opt/vorda/bin/", L"extra.dll");
    progress.Waiting(L"/opt/vorda/bin/core.dll", L"sleep");
    progress.Close();
    progress.Close();
    EXPECT_EQ(Drain(row.read_fd), row.seen);
  }
  close(terminal);
  close(master);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// SIGINT and SIGTERM cancel only while cancelling is allowed: one during an
// undo is ignored, and so is one after the run. Before cancelling was first
// allowed a signal ends the process as ever. Each row in a child process of
// its own, since the handlers stay until the process ends.
TEST(PosixProgressTest, SignalsCancelOnlyWhileAllowed) {
  struct Row {
    const char* label;
    bool allowed_first;  // cancelling, before the signal
    int signal;          // 0: none
    bool allowed_after;
    int exit;  // 1: cancel seen, 0: not; 128 + the signal: ended by it
  };
  const Row rows[] = {
      {"SIGTERM", true, SIGTERM, true, 1},
      {"SIGINT", true, SIGINT, true, 1},
      {"no signal", true, 0, true, 0},
      {"during the undo", true, SIGTERM, false, 0},
      {"before anything changed", false, SIGTERM, true, 128 + SIGTERM},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      posix::PosixProgress progress(2, 0);
      if (progress.CancelRequested()) _exit(2);
      if (row.allowed_first) progress.AllowCancel(true);
      if (row.signal != 0) raise(row.signal);
      progress.AllowCancel(row.allowed_after);
      progress.AllowCancel(row.allowed_after);  // twice: the actions replaced once
      const bool cancelled = progress.CancelRequested();
      // The run is over: a late signal changes nothing of how it ends.
      progress.AllowCancel(false);
      raise(SIGTERM);
      _exit(cancelled ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status), row.exit);
  }
}

}  // namespace
}  // namespace kestrune
