#!/usr/bin/env python3
"""Times a whole update by the POSIX port against other tools doing the same work.

Lays out an installation and a package in memory (/dev/shm), every packaged
file with an installed counterpart, and times `Kestrune` (as it is, and with
--quiet --log) against floors built here in C (the same crash-safe protocol
with the safety checks the updater needs, and without them; a plain
rename-and-copy loop), against
`rsync -rI --existing -b --suffix=.<version> pkg/ inst/`, and optionally
against another build of the updater (--baseline), on identical fresh copies
of the installation, every contender once a round, turning the order around
every round. Prints for each the median CPU time (of the child) and wall time
with their range, the updater's ratios to each other contender round by
round, its peak memory, and how its time and memory grow with the number of
files. Reports only; asserts nothing.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

VERSION = "2015.1.0"
GUID = "{BENCH-0000}"

VERSION_LIBRARY_C = r"""
#include <stdint.h>
#include <string.h>
int32_t vouinfo_ordinal_18(void* buffer, int32_t size, int32_t flags) {
  (void)size; (void)flags;
  memcpy(buffer, "%s", sizeof "%s");
  return 0;
}
""" % (VERSION, VERSION)


# The peak memory of a child forked from this (large) Python process would
# include Python's own pages, so a small C parent starts each contender and
# reports on its standard output "<peak KiB> <exit status> <CPU s> <wall s>":
# the child's own CPU time (user and system), and the wall time from fork to
# reaping.
MEASURE_C = r"""
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  (void)argc;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child == 0) { execvp(argv[1], argv + 1); _exit(127); }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%ld %d %.6f %.6f\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128,
         usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
         (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
  return 0;
}
"""

# The floors: the least any program can do for the same update, with the
# same confinement as the updater (every folder opened from the one before
# it with O_NOFOLLOW, every call relative to a folder descriptor).
# "plain": walk, rename each installed file to its backup name, copy the
# packaged file in with copy_file_range; nothing survives a stop.
# "safe": the updater's own protocol, and what it must do for safety, and
# nothing more: the plan with each installed file's identity, a journal
# written whole, flushed and renamed in, a copy under a temporary name, the
# installed file's identity checked against the plan's just before a hard
# link gives it the backup name (another program may have written it since
# the plan: the updater leaves such a file alone), the rename over the
# installed name, one syncfs, the commit line flushed.
# "safe-unchecked": the same without the identity check, the floor of
# earlier measurements, kept so that their history reads.
# With a list of hashes, both check the whole package first and hash each
# copy as they write it, as the updater does. They keep every folder of both
# trees open until the end: enough for the comparison's 400 folders, not for
# the growth figures' 20,000 (the descriptor limit), where only the updater runs.
FLOOR_C = r"""
/* floor <safe|safe-unchecked|plain> <package> <installation> <backup suffix> [hash list] */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef WITH_HASHES
#include <openssl/evp.h>
#endif

struct item { int pkg, inst; char* name; char* rel; struct stat st; };
static struct item* items;
static size_t count, room;
static const char* suffix;
static int safe, checked;

static void die(const char* what, const char* name) {
  fprintf(stderr, "floor: %s %s: %s\n", what, name, strerror(errno));
  exit(1);
}

static int open_folder(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/* The plan: every packaged file whose counterpart is an installed file,
   with that file's identity, each folder opened once on either side. */
static void walk(int pkg, int inst, const char* rel) {
  /* A duplicate shares the offset of a listing read before. */
  DIR* dir = fdopendir(dup(pkg));
  if (!dir) die("list", rel);
  rewinddir(dir);
  struct dirent* e;
  while ((e = readdir(dir))) {
    if (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))) continue;
    if (strstr(e->d_name, "Kestrune")) continue;
    char* child_rel = malloc(strlen(rel) + strlen(e->d_name) + 2);
    sprintf(child_rel, "%s%s%s", rel, *rel ? "/" : "", e->d_name);
    if (e->d_type == DT_DIR) {
      int p = open_folder(pkg, e->d_name), i = open_folder(inst, e->d_name);
      if (p < 0) die("open", child_rel);
      if (i >= 0) walk(p, i, child_rel);
      else close(p);
      free(child_rel);
      continue;
    }
    struct stat st;
    if (fstatat(inst, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      free(child_rel);
      continue;
    }
    if (count == room) items = realloc(items, (room = room ? room * 2 : 1024) * sizeof *items);
    items[count++] = (struct item){pkg, inst, strdup(e->d_name), child_rel, st};
  }
  closedir(dir);
}

static void write_all(int fd, const char* p, size_t n, const char* what) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0) die("write", what);
    p += w, n -= w;
  }
}

#ifdef WITH_HASHES
struct listed { char* rel; unsigned char digest[32]; };
static struct listed* list;
static size_t listed_count;

static int by_rel(const void* a, const void* b) {
  return strcmp(((const struct listed*)a)->rel, ((const struct listed*)b)->rel);
}

static void read_list(const char* path) {
  FILE* f = fopen(path, "r");
  if (!f) die("open", path);
  char line[8192];
  size_t room_l = 0;
  while (fgets(line, sizeof line, f)) {
    size_t n = strlen(line);
    while (n && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
    if (n < 66) continue;
    if (listed_count == room_l) list = realloc(list, (room_l = room_l ? room_l * 2 : 1024) * sizeof *list);
    struct listed* l = &list[listed_count++];
    for (int i = 0; i < 32; ++i) sscanf(line + 2 * i, "%2hhx", &l->digest[i]);
    const char* rel = line + 66;
    if (*rel == '*') ++rel;
    if (rel[0] == '.' && rel[1] == '/') rel += 2;
    l->rel = strdup(rel);
  }
  fclose(f);
  qsort(list, listed_count, sizeof *list, by_rel);
}

static const unsigned char* digest_of(const char* rel) {
  struct listed key = {(char*)rel, {0}};
  struct listed* l = bsearch(&key, list, listed_count, sizeof *list, by_rel);
  if (!l) { errno = ENOENT; die("no hash for", rel); }
  return l->digest;
}

/* Reads `in` whole, hashing it, and writes it to `out` when out >= 0. */
static void hash_copy(int in, int out, unsigned char* digest, const char* what) {
  static char block[1 << 20];
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), NULL) != 1) die("hash", what);
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0) die("read", what);
    if (n == 0) break;
    EVP_DigestUpdate(ctx, block, n);
    if (out >= 0) write_all(out, block, n, what);
  }
  EVP_DigestFinal_ex(ctx, digest, NULL);
  EVP_MD_CTX_free(ctx);
}

/* The whole package against its list before anything changes. */
static void check_package(int pkg, const char* rel) {
  /* A duplicate shares the offset of a listing read before. */
  DIR* dir = fdopendir(dup(pkg));
  if (!dir) die("list", rel);
  rewinddir(dir);
  struct dirent* e;
  while ((e = readdir(dir))) {
    if (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))) continue;
    char child[4096];
    snprintf(child, sizeof child, "%s%s%s", rel, *rel ? "/" : "", e->d_name);
    if (e->d_type == DT_DIR) {
      int p = open_folder(pkg, e->d_name);
      if (p < 0) die("open", child);
      check_package(p, child);
      close(p);
      continue;
    }
    if (strstr(child, "Kestrune")) continue;
    int in = openat(pkg, e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) die("open", child);
    unsigned char digest[32];
    hash_copy(in, -1, digest, child);
    close(in);
    if (memcmp(digest, digest_of(child), 32)) { errno = EINVAL; die("changed", child); }
  }
  closedir(dir);
}
#endif

static void copy_bytes(int in, int out, off_t size, const char* what) {
  while (size > 0) {
    ssize_t n = copy_file_range(in, NULL, out, NULL, size, 0);
    if (n <= 0) die("copy", what);
    size -= n;
  }
}

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  safe = strncmp(argv[1], "safe", 4) == 0;
  checked = strcmp(argv[1], "safe") == 0;
  suffix = argv[4];
  const char* hashes = argc > 5 ? argv[5] : NULL;
  struct rlimit nofile;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0) {
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  int pkg = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int inst = open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pkg < 0 || inst < 0) die("open", "folders");
#ifdef WITH_HASHES
  if (hashes) {
    read_list(hashes);
    check_package(pkg, "");
  }
#else
  if (hashes) { errno = ENOSYS; die("built without hashes:", hashes); }
#endif
  walk(pkg, inst, "");
  char name[4096], other[4096];
  if (safe) {
    size_t size = 64;
    for (size_t i = 0; i < count; ++i) size += strlen(items[i].rel) + 96;
    char* text = malloc(size);
    size_t used = sprintf(text, "floor journal\n%s\n", suffix);
    for (size_t i = 0; i < count; ++i) {
      used += sprintf(text + used, "%s\t%lu %lu %ld %ld\n", items[i].rel,
                      (unsigned long)items[i].st.st_dev, (unsigned long)items[i].st.st_ino,
                      (long)items[i].st.st_size, (long)items[i].st.st_mtim.tv_sec);
    }
    int j = openat(inst, "floor.journal.new", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (j < 0) die("create", "journal");
    write_all(j, text, used, "journal");
    if (fsync(j) || close(j)) die("flush", "journal");
    if (renameat(inst, "floor.journal.new", inst, "floor.journal") || fsync(inst)) die("rename", "journal");
    free(text);
  }
  for (size_t i = 0; i < count; ++i) {
    const struct item* it = &items[i];
    int in = openat(it->pkg, it->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) die("open", it->rel);
    struct stat st;
    if (fstat(in, &st) || !S_ISREG(st.st_mode)) die("stat", it->rel);
    snprintf(other, sizeof other, "%s%s", it->name, suffix);
    const char* target = it->name;
    if (safe) {
      snprintf(name, sizeof name, "%s.~floor-new", it->name);
      target = name;
    } else if (renameat(it->inst, it->name, it->inst, other)) {
      die("rename", it->rel);
    }
    int out = openat(it->inst, target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     st.st_mode & 07777);
    if (out < 0) die("create", it->rel);
#ifdef WITH_HASHES
    if (hashes) {
      unsigned char digest[32];
      hash_copy(in, out, digest, it->rel);
      if (memcmp(digest, digest_of(it->rel), 32)) { errno = EINVAL; die("changed", it->rel); }
    } else
#endif
      copy_bytes(in, out, st.st_size, it->rel);
    if (close(out)) die("close", it->rel);
    close(in);
    if (checked) {
      struct stat now;
      if (fstatat(it->inst, it->name, &now, AT_SYMLINK_NOFOLLOW) || now.st_dev != it->st.st_dev ||
          now.st_ino != it->st.st_ino || now.st_size != it->st.st_size ||
          now.st_mtim.tv_sec != it->st.st_mtim.tv_sec ||
          now.st_mtim.tv_nsec != it->st.st_mtim.tv_nsec) {
        errno = ESTALE;
        die("changed since the plan:", it->rel);
      }
    }
    if (safe && (linkat(it->inst, it->name, it->inst, other, 0) ||
                 renameat(it->inst, name, it->inst, it->name))) {
      die("replace", it->rel);
    }
  }
  if (safe) {
    if (syncfs(inst)) die("sync", "installation");
    int j = openat(inst, "floor.journal", O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (j < 0) die("open", "journal");
    write_all(j, "commit\n", 7, "journal");
    if (fsync(j) || close(j)) die("flush", "journal");
    if (unlinkat(inst, "floor.journal", 0) || fsync(inst)) die("remove", "journal");
  }
  return 0;
}
"""


def write_tree(root, small_files, folders, big_files, small_size, big_size, salt):
    """Files of `small_size` spread over `folders` folders, plus big ones."""
    block = (salt * (small_size // len(salt) + 1))[:small_size]
    for i in range(small_files):
        folder = os.path.join(root, "f%03d" % (i % folders))
        if i < folders:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "file%06d.dat" % i), "wb") as f:
            f.write(block)
    if big_files:
        big = os.path.join(root, "big")
        os.makedirs(big, exist_ok=True)
        chunk = (salt * (1024 * 1024 // len(salt) + 1))[: 1024 * 1024]
        for i in range(big_files):
            with open(os.path.join(big, "big%02d.bin" % i), "wb") as f:
                for _ in range(big_size // len(chunk)):
                    f.write(chunk)


# Small files a folder; the floor holds every folder of both sides open, so
# a million files need fewer, larger folders where descriptors are limited.
PER_FOLDER = [50]


def lay_out(work, program, small_files, big_files):
    folders = max(1, small_files // PER_FOLDER[0])
    master = os.path.join(work, "master-inst")
    pkg = os.path.join(work, "pkg")
    for path in (master, pkg):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    write_tree(master, small_files, folders, big_files, 4096, 32 << 20, b"old-")
    write_tree(pkg, small_files, folders, big_files, 4096, 32 << 20, b"NEW!")
    shutil.copy2(program, os.path.join(pkg, "Kestrune"))
    with open(os.path.join(pkg, "Kestrune.ini"), "w") as f:
        f.write("[Product]\nProductName=VORDA.exe\nProductVERNUM=%s\nProductCoreGUID=%s\n"
                % (VERSION, GUID))
    shutil.copy2(HELPERS["vouinfo.so"], os.path.join(master, "VoUInfo.dll"))
    return master, pkg


def fresh_copy(master, target, linked=False):
    """A new installation from the master; `linked` shares the master's files
    by hard links (the runs only rename over them), which a million files
    in memory need."""
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-al" if linked else "-a", master, target], check=True)
    os.sync()


def write_registry(work, inst):
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s]\n"
                "\"InstallLocation\"=\"%s\"\n" % (GUID, inst + "/"))
    return registry


def build_helpers(work):
    """Compiles the test version library, the measuring parent and the floors."""
    built = {}
    for name, source, flags in (("vouinfo.so", VERSION_LIBRARY_C, ["-shared", "-fPIC"]),
                                ("measure", MEASURE_C, []),
                                ("floor", FLOOR_C, ["-DWITH_HASHES", "-lcrypto"])):
        path = os.path.join(work, name)
        with open(path + ".c", "w") as f:
            f.write(source)
        subprocess.run(["cc", "-O2", "-o", path, path + ".c"] + flags, check=True)
        built[name] = path
    return built


HELPERS = {}


class Run:
    """What one run of one contender cost."""

    def __init__(self, cpu, wall, peak):
        self.cpu, self.wall, self.peak = cpu, wall, peak


def timed(command, env=None):
    """CPU time and wall time (s) and peak resident memory (KiB) of one
    command, as the measuring parent saw them."""
    result = subprocess.run([HELPERS["measure"]] + command, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    peak, status, cpu, wall = result.stdout.split()
    if int(status) != 0:
        sys.exit("%s failed: %s" % (command[0], result.stderr.decode("utf-8", "replace")))
    return Run(float(cpu), float(wall), int(peak))


def system_calls(command, env=None):
    """How many system calls `command` and its children made, by strace."""
    out = os.path.join(tempfile.gettempdir(), "kestrune-bench.strace")  # never in a package
    status = subprocess.run(["strace", "-f", "-c", "-U", "calls,name", "-o", out] + command,
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if status.returncode != 0:
        sys.exit("%s failed: %s" % (command[0], status.stderr.decode("utf-8", "replace")))
    with open(out) as f:
        total = [line.split()[0] for line in f if line.split()[-1:] == ["total"]]
    os.remove(out)
    return int(total[0])


def run_kestrune(work, master, pkg, program, extra=(), linked=False):
    """The updater (or another build of it, `program`) on a fresh copy."""
    inst = os.path.join(work, "inst-kestrune")
    fresh_copy(master, inst, linked)
    env = dict(os.environ, KESTRUNE_REGISTRY=write_registry(work, inst))
    shutil.copy2(program, os.path.join(pkg, "Kestrune"))
    log = os.path.join(work, "kestrune.log")
    if os.path.exists(log):
        os.remove(log)
    return timed([os.path.join(pkg, "Kestrune")] + [log if a == "{log}" else a for a in extra],
                 env)


def run_rsync(work, master, pkg):
    inst = os.path.join(work, "inst-rsync")
    fresh_copy(master, inst)
    return timed(["rsync", "-rI", "--existing", "-b", "--suffix=." + VERSION,
                  pkg + "/", inst + "/"])


def run_verified_rsync(work, master, pkg):
    """What an administrator would otherwise script: the package checked with
    sha256sum against its list, then rsync."""
    inst = os.path.join(work, "inst-rsync")
    fresh_copy(master, inst)
    check = os.path.join(work, "check.sh")
    with open(check, "w") as f:
        f.write("cd '%s' && sha256sum --quiet -c Kestrune.sha256 && exec rsync -rI --existing -b "
                "--suffix=.%s ./ '%s/'\n" % (pkg, VERSION, inst))
    return timed(["sh", check])


def run_floor(kind, with_list):
    def run(work, master, pkg, linked=False):
        inst = os.path.join(work, "inst-" + kind)
        fresh_copy(master, inst, linked)
        command = [HELPERS["floor"], kind, pkg, inst, "." + VERSION]
        if with_list:
            command.append(os.path.join(pkg, "Kestrune.sha256"))
        return timed(command)
    return run


def load_text(load):
    return "%.2f %.2f %.2f" % load


def spread(values, unit=""):
    """Median and range, as "m (min-max)"."""
    return "%.3f%s (%.3f-%.3f)" % (statistics.median(values), unit, min(values), max(values))


def compare(work, program, small_files, big_files, rounds, contenders, with_list=False):
    """Every contender once a round, in an order that turns around every
    round; returns each one's runs."""
    master, pkg = lay_out(work, program, small_files, big_files)
    if with_list:
        subprocess.run([os.path.join(pkg, "Kestrune"), "--write-hashes", "--quiet"], check=True)
    runs = {name: [] for name in contenders}
    for i in range(rounds):
        order = list(contenders.items())
        if i % 2:
            order.reverse()
        for name, run in order:
            runs[name].append(run(work, master, pkg))
        # The updater's own copy in the package is the build under test again.
        shutil.copy2(program, os.path.join(pkg, "Kestrune"))
    return runs


def report(runs, updaters):
    """Medians with their range, and each updater's ratios to every other
    contender, taken round by round."""
    for name, values in runs.items():
        print("  %-32s CPU %s s  wall %s s  peak %d KiB"
              % (name, spread([r.cpu for r in values]), spread([r.wall for r in values]),
                 max(r.peak for r in values)))
    # What the log costs (or another build): each updater against the first,
    # from the same rounds.
    for updater in updaters[1:]:
        if updater in runs and updaters[0] in runs:
            cpu = [u.cpu / o.cpu for u, o in zip(runs[updater], runs[updaters[0]])]
            wall = [u.wall / o.wall for u, o in zip(runs[updater], runs[updaters[0]])]
            print("  %s / %s: CPU %s  wall %s" % (updater, updaters[0], spread(cpu), spread(wall)))
    for updater in updaters:
        if updater not in runs:
            continue
        for name, values in runs.items():
            if name in updaters:
                continue
            cpu = [u.cpu / o.cpu for u, o in zip(runs[updater], values)]
            wall = [u.wall / o.wall for u, o in zip(runs[updater], values)]
            print("  %s / %s: CPU %s  wall %s" % (updater, name, spread(cpu), spread(wall)))


def count_calls(work, program, contenders):
    """Each contender's system calls a file, from two sizes, so that what
    every run costs whatever its size drops out."""
    global timed
    measured = timed
    counts = {name: [] for name in contenders}
    sizes = (2000, 20000)
    try:
        timed = system_calls  # every contender's command, counted instead of timed
        for count in sizes:
            master, pkg = lay_out(work, program, count, 0)
            for name, run in contenders.items():
                counts[name].append(run(work, master, pkg))
    finally:
        timed = measured
    print("system calls a file (strace -f -c; %d to %d files of 4 KiB):" % sizes)
    for name, (small, large) in counts.items():
        print("  %-32s %6.2f  (%d calls for %d files)"
              % (name, (large - small) / (sizes[1] - sizes[0]), large, sizes[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default="build/posix/Kestrune")
    parser.add_argument("--baseline", help="another build of the updater to compare with")
    parser.add_argument("--args", default="", help="more arguments for the updater under test; "
                        "{log} stands for a log in the work folder")
    parser.add_argument("--work", default="/dev/shm/kestrune-bench")
    parser.add_argument("--rounds", "--pairs", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--only", help="comma-separated contenders to run, e.g. "
                        "'kestrune,kestrune --quiet --log' for the cost of the log alone")
    parser.add_argument("--no-growth", action="store_true", help="skip the growth figures")
    parser.add_argument("--growth", default="1000,10000,100000",
                        help="numbers of files for the growth figures, e.g. "
                             "1000,10000,100000,1000000 (a million needs about 12 GB in memory)")
    parser.add_argument("--per-folder", type=int, default=50,
                        help="small files a folder (the floor at a million files needs "
                             "2 descriptors a folder: 200 fits a limit of 20,000)")
    parser.add_argument("--syscalls", action="store_true",
                        help="count instead the system calls a file costs each contender "
                             "(strace, between 2,000 and 20,000 small files)")
    parser.add_argument("--with-list", action="store_true",
                        help="give the package a list of hashes (written by the updater), which "
                             "the floors check too, and add sha256sum -c followed by rsync and "
                             "the updater without the list as contenders")
    args = parser.parse_args()
    for tool in ("rsync", "cc", "cp") + (("strace",) if args.syscalls else ()):
        if shutil.which(tool) is None:
            sys.exit("needs %s" % tool)
    program = os.path.abspath(args.program)
    extra = args.args.split()
    PER_FOLDER[0] = args.per_folder
    os.makedirs(args.work, exist_ok=True)
    HELPERS.update(build_helpers(args.work))
    quiet_log = ["--quiet", "--log", "{log}"]
    contenders = {
        "kestrune": lambda w, m, p: run_kestrune(w, m, p, program, extra),
        "kestrune --quiet --log": lambda w, m, p: run_kestrune(w, m, p, program,
                                                                 extra + quiet_log),
        "crash-safe floor": run_floor("safe", args.with_list),
        "crash-safe floor without checks": run_floor("safe-unchecked", args.with_list),
        "plain floor": run_floor("plain", args.with_list),
        "rsync": run_rsync,
    }
    updaters = ["kestrune", "kestrune --quiet --log"]
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        contenders["baseline"] = lambda w, m, p: run_kestrune(w, m, p, baseline)
        updaters.append("baseline")
    try:
        small, big = (2000, 1) if args.quick else (20000, 10)
        if args.with_list:
            contenders["sha256sum+rsync"] = run_verified_rsync

            def without_list(w, m, p):
                listing = os.path.join(p, "Kestrune.sha256")
                os.rename(listing, listing + ".aside")
                try:
                    return run_kestrune(w, m, p, program, extra)
                finally:
                    os.rename(listing + ".aside", listing)

            contenders["kestrune, no list"] = without_list
            updaters.append("kestrune, no list")
        if args.only:
            keep = args.only.split(",")
            contenders = {name: run for name, run in contenders.items() if name in keep}
        if args.syscalls:
            count_calls(args.work, program, contenders)
            return
        load_before = os.getloadavg()
        runs = compare(args.work, program, small, big, args.rounds, contenders, args.with_list)
        load_after = os.getloadavg()
        print("update of %d files of 4 KiB in %d folders + %d files of 32 MiB%s, %d rounds; "
              "median (min-max):" % (small, small // PER_FOLDER[0], big,
                                     ", with a list of hashes" if args.with_list else "",
                                     args.rounds))
        # Other work on the machine skews every figure: the load tells how much.
        print("  load average (1, 5, 15 min) at start %s, at end %s"
              % (load_text(load_before), load_text(load_after)))
        report(runs, updaters)
        if args.no_growth:
            return

        print("growth (4 KiB files only, %d a folder, installation files shared with a master copy; "
              "load average at start %s):" % (PER_FOLDER[0], load_text(os.getloadavg())))
        sizes = [200, 2000, 20000] if args.quick else [int(n) for n in args.growth.split(",")]
        # A one-file update first: what every run costs whatever its size
        # (start, settings, registry, version check, process scan, lock and
        # journal), so that the time a file beyond it shows how the work grows.
        # The crash-safe floor beside it, alternated, tells what of the
        # growth is the file system's own.
        fixed = None
        floor = run_floor("safe", False)
        for count in [1] + sizes:
            master, pkg = lay_out(args.work, program, count, 0)
            runs, floors = [], []
            # The floor holds both sides' folders open for the whole run:
            # more descriptors than a process may have by default at a
            # million files, which the limit is raised for where it can be.
            floor_fits = True
            need = 2 * max(1, count // PER_FOLDER[0]) + 64
            if need > resource.getrlimit(resource.RLIMIT_NOFILE)[0]:
                try:
                    resource.setrlimit(resource.RLIMIT_NOFILE, (need, need))
                except (ValueError, OSError):
                    floor_fits = False
            for _ in range(5 if count == 1 else 3 if count < 1000000 else 1):
                runs.append(run_kestrune(args.work, master, pkg, program, extra, linked=True))
                if floor_fits:
                    floors.append(floor(args.work, master, pkg, linked=True))
            cpu = statistics.median(r.cpu for r in runs)
            wall = statistics.median(r.wall for r in runs)
            floor_wall = statistics.median(r.wall for r in floors) if floors else None
            for folder in (master, pkg, os.path.join(args.work, "inst-kestrune"),
                           os.path.join(args.work, "inst-safe")):
                shutil.rmtree(folder, ignore_errors=True)
            if fixed is None:
                fixed = (cpu, wall)
                print("  start-up (a one-file update): CPU %.1f ms, wall %.1f ms"
                      % (cpu * 1e3, wall * 1e3))
                continue
            print("  %7d files: CPU %.3f s (%.1f us a file, %.1f beyond the start-up), "
                  "wall %.3f s (%.1f us a file, %.1f beyond), peak memory %d KiB; %s"
                  % (count, cpu, cpu / count * 1e6, (cpu - fixed[0]) / (count - 1) * 1e6, wall,
                     wall / count * 1e6, (wall - fixed[1]) / (count - 1) * 1e6,
                     max(r.peak for r in runs),
                     "crash-safe floor wall %.1f us a file (ratio %.2f)"
                     % (floor_wall / count * 1e6, wall / floor_wall) if floor_wall
                     else "no floor: it would need more descriptors than allowed"))
    finally:
        shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
