// Times one scan of the running processes by the POSIX port, with a crowd of
// extra idle processes started by the benchmark itself. Reports; asserts
// nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "guard/running_check.h"
#include "platform/posix/posix_backend.h"

int main(int argc, char** argv) {
  const int extra = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
  std::vector<pid_t> children;
  for (int i = 0; i < extra; ++i) {
    const pid_t child = fork();
    if (child < 0) {
      std::perror("fork");
      break;
    }
    if (child == 0) {
      pause();
      _exit(0);
    }
    children.push_back(child);
  }

  kestrune::posix::PosixProcessList processes;
  std::vector<uint32_t> ids;
  processes.Enumerate(&ids);
  std::vector<double> times;
  bool running = false;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    running = kestrune::IsProductRunning(processes, L"/no/such/installation/VORDA.exe");
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());

  for (pid_t child : children) kill(child, SIGKILL);
  for (pid_t child : children) waitpid(child, nullptr, 0);

  std::printf("processes scanned: %zu (%zu started by the benchmark)\n", ids.size(),
              children.size());
  std::printf("scan time over %d rounds: median %.2f ms, min %.2f ms, max %.2f ms%s\n",
              rounds, times[times.size() / 2], times.front(), times.back(),
              running ? " (matched!)" : "");
  return 0;
}
