#include "app/kestrune_app.h"
#include "platform/win32/win32_backend.h"
#include "platform/win32/windows_h.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // First of all: the update package folder is writable by the user, and a
  // library planted there must never load into this elevated process.
  const bool system_search_only = kestrune::win32::HardenLibrarySearch();
  static kestrune::win32::Win32Backend backend(system_search_only);
  static kestrune::Platform platform = backend.platform();
  static kestrune::CKestruneApp app(platform);
  app.InitInstance();
  return static_cast<int>(app.exit_status());
}
