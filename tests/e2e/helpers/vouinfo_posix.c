/* A stand-in for the product's version-information library on POSIX. The
 * entry point copies the bytes of VoUInfo.bin (the version text the test
 * wants reported, 8-bit or UTF-16) into the caller's buffer and appends the
 * arguments it got to VoUInfo.log, both files beside the library itself.
 * Built once with the entry's real name and once under another name, for a
 * library that lacks it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifndef VOUINFO_ENTRY
#define VOUINFO_ENTRY vouinfo_ordinal_18
#endif

#define kMaxVersionBytes 40

int32_t VOUINFO_ENTRY(void *buffer, int32_t size, int32_t flags);

/* `name` beside this library's own file, as the loader opened it. */
static int SiblingPath(const char *name, char *path, size_t capacity) {
  Dl_info info;
  if (!dladdr((void *)&VOUINFO_ENTRY, &info) || !info.dli_fname) return 0;
  const char *slash = strrchr(info.dli_fname, '/');
  size_t folder = slash ? (size_t)(slash - info.dli_fname) + 1 : 0;
  if (folder + strlen(name) + 1 > capacity) return 0;
  memcpy(path, info.dli_fname, folder);
  strcpy(path + folder, name);
  return 1;
}

__attribute__((visibility("default"))) int32_t VOUINFO_ENTRY(void *buffer,
                                                             int32_t size,
                                                             int32_t flags) {
  char path[4096];
  if (SiblingPath("VoUInfo.log", path, sizeof path)) {
    FILE *log = fopen(path, "ab");
    if (log) {
      fprintf(log, "%d %d %d\n", (int)size, (int)flags, buffer != NULL);
      fclose(log);
    }
  }
  if (buffer && SiblingPath("VoUInfo.bin", path, sizeof path)) {
    FILE *bin = fopen(path, "rb");
    if (bin) {
      unsigned char bytes[kMaxVersionBytes];
      size_t got = fread(bytes, 1, sizeof bytes, bin);
      fclose(bin);
      memcpy(buffer, bytes, got);
    }
  }
  return 1;
}
