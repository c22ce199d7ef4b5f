#include <signal.h>

#include "app/kestrune_app.h"
#include "platform/posix/posix_backend.h"

int main() {
  // A reader of standard error that went away must not end the run halfway
  // through a replacement.
  signal(SIGPIPE, SIG_IGN);
  static kestrune::posix::PosixBackend backend;
  static kestrune::Platform platform = backend.platform();
  static kestrune::CKestruneApp app(platform);
  app.InitInstance();
  return static_cast<int>(app.exit_status());
}
