/* The driver's own check: two plain boxes, then a known exit status. It
 * proves that boxes are really shown (an X display is there) and read. */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                    int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  MessageBoxW(NULL, L"first line\nsecond \x00e9\x4e2d", L"Probe", MB_OK);
  MessageBoxW(NULL, L"warned", L"Probe 2", MB_OK | MB_ICONEXCLAMATION);
  return 42;
}
