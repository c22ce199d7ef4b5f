/* Stands in for the running product: it only has to exist as a process whose
 * image is the product's executable, so it sleeps until it is killed. The
 * long limit only keeps a forgotten copy from living forever. */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                    int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  Sleep(10 * 60 * 1000);
  return 0;
}
