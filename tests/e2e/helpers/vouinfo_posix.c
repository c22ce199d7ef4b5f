/* A stand-in for the product's version-information library on POSIX. The
 * entry point copies the bytes of VoUInfo.bin (the version text the test
 * wants reported, 8-bit or UTF-16) into the caller's buffer and appends the
 * arguments it got to VoUInfo.log, both files beside the library itself or,
 * when VOUINFO_DIR is set, in that folder (a library in a folder only root
 * may enter cannot reach its siblings once the updater has given up root).
 * Before that it appends "who RUID EUID RGID EGID NGROUPS", the rights it runs
 * with. A version text starting with '!' names a misbehaviour instead:
 * "!fault" writes through a null pointer, "!hang" never returns, "!dribble"
 * never returns either but cancels any alarm and writes a byte every 5 s to
 * every pipe it holds,
 * "!spawn TEXT" starts a process that sleeps for a minute, records
 * "spawned PID", and reports TEXT; "!scribble TEXT" writes "forged" to every
 * descriptor it holds that is no pipe, and reports TEXT.
 * Built once with the entry's real name, once under another name, for a
 * library that lacks it, and once (VOUINFO_DEPENDENCY) needing a library of
 * its own beside it. */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VOUINFO_ENTRY
#define VOUINFO_ENTRY vouinfo_ordinal_18
#endif

#define kMaxVersionBytes 40

#ifdef VOUINFO_DEPENDENCY
int VouinfoDependency(void);
#endif

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

/* `name` beside this library's own file, or in VOUINFO_DIR. */
static int SiblingPath(const char *name, char *path, size_t capacity) {
  char own[4096];
  const char *elsewhere = getenv("VOUINFO_DIR");
  if (elsewhere) {
    snprintf(own, sizeof own, "%s/", elsewhere);
  } else if (!OwnPath(own, sizeof own)) {
    return 0;
  }
  const char *slash = strrchr(own, '/');
  size_t folder = (size_t)(slash - own) + 1;
  if (folder + strlen(name) + 1 > capacity) return 0;
  memcpy(path, own, folder);
  strcpy(path + folder, name);
  return 1;
}

static void Record(const char *line) {
  char path[4096];
  if (!SiblingPath("VoUInfo.log", path, sizeof path)) return;
  FILE *log = fopen(path, "ab");
  if (!log) return;
  fputs(line, log);
  fclose(log);
}

/* Writes a byte to every pipe among the open descriptors, every 5 s, with
 * no alarm pending, as a library that sets one of its own leaves it. */
static void Dribble(void) {
  alarm(0);
  for (;;) {
    for (int fd = 0; fd < 1024; ++fd) {
      struct stat st;
      if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) (void)!write(fd, "x", 1);
    }
    sleep(5);
  }
}

__attribute__((visibility("default"))) int32_t VOUINFO_ENTRY(void *buffer,
                                                             int32_t size,
                                                             int32_t flags) {
  char line[128];
#ifdef VOUINFO_DEPENDENCY
  if (VouinfoDependency() != 0) return 0;
#endif
  snprintf(line, sizeof line, "who %u %u %u %u %d\n", (unsigned)getuid(), (unsigned)geteuid(),
           (unsigned)getgid(), (unsigned)getegid(), getgroups(0, NULL));
  Record(line);
  snprintf(line, sizeof line, "%d %d %d\n", (int)size, (int)flags, buffer != NULL);
  Record(line);
  char path[4096];
  unsigned char bytes[kMaxVersionBytes + 1] = {0};
  size_t got = 0;
  if (SiblingPath("VoUInfo.bin", path, sizeof path)) {
    FILE *bin = fopen(path, "rb");
    if (bin) {
      got = fread(bytes, 1, kMaxVersionBytes, bin);
      fclose(bin);
    }
  }
  const char *text = (const char *)bytes;
  if (strcmp(text, "!fault") == 0) *(volatile int *)0 = 1;
  if (strcmp(text, "!hang") == 0) for (;;) pause();
  if (strcmp(text, "!dribble") == 0) Dribble();
  if (strncmp(text, "!scribble ", 10) == 0) {
    for (int fd = 0; fd < 1024; ++fd) {
      struct stat st;
      if (fstat(fd, &st) == 0 && !S_ISFIFO(st.st_mode)) (void)!write(fd, "forged\n", 7);
    }
    got -= 10;
    memmove(bytes, bytes + 10, got);
  }
  if (strncmp(text, "!spawn ", 7) == 0) {
    const pid_t child = fork();
    if (child == 0) {
      sleep(60);
      _exit(0);
    }
    snprintf(line, sizeof line, "spawned %d\n", (int)child);
    Record(line);
    got -= 7;
    memmove(bytes, bytes + 7, got);
  }
  if (buffer) memcpy(buffer, bytes, got);
  return 1;
}
