/* A stand-in for the product's version-information library. The entry point
 * copies the bytes of VoUInfo.bin (the version text the test wants reported,
 * 8-bit or UTF-16) into the caller's buffer and appends the arguments it got
 * to VoUInfo.log, both files beside the library itself. Exported by ordinal
 * only; which ordinal is chosen by the .def file it is linked with. */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define kMaxVersionBytes 40

static HMODULE g_self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

/* `name` beside this library's own file. */
static int SiblingPath(const wchar_t *name, wchar_t *path, DWORD capacity) {
  DWORD n = GetModuleFileNameW(g_self, path, capacity);
  if (n == 0 || n >= capacity) return 0;
  wchar_t *slash = wcsrchr(path, L'\\');
  wchar_t *base = slash ? slash + 1 : path;
  if ((size_t)(base - path) + wcslen(name) + 1 > capacity) return 0;
  wcscpy(base, name);
  return 1;
}

int __stdcall VersionEntry(void *buffer, int size, int flags) {
  wchar_t path[1024];
  if (SiblingPath(L"VoUInfo.log", path, 1024)) {
    FILE *log = _wfopen(path, L"ab");
    if (log) {
      fprintf(log, "%d %d %d\n", size, flags, buffer != NULL);
      fclose(log);
    }
  }
  if (buffer && SiblingPath(L"VoUInfo.bin", path, 1024)) {
    FILE *bin = _wfopen(path, L"rb");
    if (bin) {
      unsigned char bytes[kMaxVersionBytes];
      size_t got = fread(bytes, 1, sizeof bytes, bin);
      fclose(bin);
      memcpy(buffer, bytes, got);
    }
  }
  return 1;
}
