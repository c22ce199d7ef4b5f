/* Holds a file of the installation as a program that uses it would: loaded
 * as a library (so that the module list names this process) and open
 * without delete sharing (so that it can be neither renamed nor deleted),
 * for the milliseconds given, then lets it go and ends.
 *
 *   holder MS PATH
 *
 * Writes nothing: once it holds the file both ways it makes the event
 * "kestrune-holder-<its process id>", which the box driver that starts it
 * waits for. (Loaded alone, the file already refuses to open for deletion
 * under Wine: a probe of that could let the run in before the open.) */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 3) return 2;
  DWORD ms = (DWORD)wcstoul(argv[1], NULL, 10);
  HMODULE module = LoadLibraryW(argv[2]);
  HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (!module || file == INVALID_HANDLE_VALUE) return 3;
  wchar_t name[48];
  swprintf(name, 48, L"kestrune-holder-%lu", (unsigned long)GetCurrentProcessId());
  HANDLE held = CreateEventW(NULL, TRUE, TRUE, name);
  Sleep(ms);
  if (held) CloseHandle(held);
  CloseHandle(file);
  FreeLibrary(module);
  return 0;
}
