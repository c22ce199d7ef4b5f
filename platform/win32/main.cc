#include "app/kestrune_app.h"
#include "platform/win32/version_child_win32.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // First of all: the update package folder is writable by the user, and a
  // library planted there must never load into this elevated process.
  const bool system_search_only = kestrune::win32::HardenLibrarySearch();
  // Started by a run to call the version library: that, and nothing of the
  // application.
  int child_status = 0;
  if (kestrune::win32::RunAsVersionChild(GetCommandLineW(), system_search_only,
                                         &child_status)) {
    return child_status;
  }
  static kestrune::win32::Win32Backend backend;
  static kestrune::Platform platform = backend.platform();
  static kestrune::CKestruneApp app(platform);
  app.InitInstance();
  return static_cast<int>(app.exit_status());
}
