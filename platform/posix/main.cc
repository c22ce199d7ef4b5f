#include <signal.h>

#include <string>
#include <vector>

#include "app/kestrune_app.h"
#include "platform/posix/posix_backend.h"

int main(int argc, char** argv) {
  // A reader of standard error that went away must not end the run halfway
  // through a replacement.
  signal(SIGPIPE, SIG_IGN);
  static kestrune::posix::PosixBackend backend(std::vector<std::string>(argv, argv + argc));
  static kestrune::Platform platform = backend.platform();
  static kestrune::CKestruneApp app(platform);
  app.InitInstance();
  return static_cast<int>(app.exit_status());
}
