/* A stand-in for the product's version-information library on POSIX. The
 * entry point copies the bytes of VoUInfo.bin (the version text the test
 * wants reported, 8-bit or UTF-16) into the caller's buffer and appends the
 * arguments it got to VoUInfo.log, both files beside the library itself.
 * Built once with the entry's real name and once under another name, for a
 * library that lacks it. */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifndef VOUINFO_ENTRY
#define VOUINFO_ENTRY vouinfo_ordinal_18
#endif

#define kMaxVersionBytes 40

int32_t VOUINFO_ENTRY(void *buffer, int32_t size, int32_t flags);

/* The file this library was mapped from, by the kernel's name for the
 * mapping. The updater loads the library through /proc/self/fd/<n>, so the
 * loader's own name for it (dladdr's dli_fname) is no path beside its
 * siblings. */
static int OwnPath(char *path, size_t capacity) {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (!maps) return 0;
  const uintptr_t self = (uintptr_t)&VOUINFO_ENTRY;
  char line[4096 + 128];
  int found = 0;
  while (!found && fgets(line, sizeof line, maps)) {
    uintptr_t start, end;
    int name_at = 0;
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %*s %*s %*s %n", &start,
               &end, &name_at) < 2 ||
        name_at == 0 || self < start || self >= end) {
      continue;
    }
    const size_t length = strcspn(line + name_at, "\n");
    if (line[name_at] != '/' || length + 1 > capacity) break;
    memcpy(path, line + name_at, length);
    path[length] = '\0';
    found = 1;
  }
  fclose(maps);
  return found;
}

/* `name` beside this library's own file. */
static int SiblingPath(const char *name, char *path, size_t capacity) {
  char own[4096];
  if (!OwnPath(own, sizeof own)) return 0;
  const char *slash = strrchr(own, '/');
  size_t folder = (size_t)(slash - own) + 1;
  if (folder + strlen(name) + 1 > capacity) return 0;
  memcpy(path, own, folder);
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
