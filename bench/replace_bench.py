#!/usr/bin/env python3
"""Times a whole update by the POSIX port against other tools doing the same work.

Lays out an installation and a package in memory (/dev/shm), every packaged
file with an installed counterpart, and times `Kestrune` against
`rsync -rI --existing -b --suffix=.<version> pkg/ inst/`, against the floor of
a plain `cp -r` over the installation, and optionally against another build of
the updater (--baseline), on identical fresh copies of the installation,
turning the order around every round. Prints the median of the pairwise time
ratios, the updater's peak memory, and how its time and memory grow with the
number of files. Reports only; asserts nothing.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
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
# include Python's own pages, so a small C parent starts the updater and
# reports its peak: "<kibibytes> <exit status>" on its standard output.
PEAK_MEMORY_C = r"""
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
  (void)argc;
  pid_t child = fork();
  if (child == 0) { execvp(argv[1], argv + 1); _exit(127); }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return 1;
  printf("%ld %d\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
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


def lay_out(work, program, small_files, big_files):
    folders = max(1, small_files // 50)
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


def fresh_copy(master, target):
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-a", master, target], check=True)
    os.sync()


def write_registry(work, inst):
    registry = os.path.join(work, "registry.reg")
    with open(registry, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s]\n"
                "\"InstallLocation\"=\"%s\"\n" % (GUID, inst + "/"))
    return registry


def build_helpers(work):
    """Compiles the test version library and the peak-memory parent."""
    built = {}
    for name, source, flags in (("vouinfo.so", VERSION_LIBRARY_C, ["-shared", "-fPIC"]),
                                ("peak", PEAK_MEMORY_C, [])):
        path = os.path.join(work, name)
        with open(path + ".c", "w") as f:
            f.write(source)
        subprocess.run(["cc", "-O2"] + flags + ["-o", path, path + ".c"], check=True)
        built[name] = path
    return built


HELPERS = {}


def timed(command, env=None):
    """Wall time and peak resident memory (KiB) of one command."""
    start = time.perf_counter()
    result = subprocess.run([HELPERS["peak"]] + command, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    peak, status = result.stdout.split()
    if int(status) != 0:
        sys.exit("%s failed: %s" % (command[0], result.stderr.decode("utf-8", "replace")))
    return elapsed, int(peak)


def run_kestrune(work, master, pkg, program=None, extra=()):
    """The updater (or another build of it, `program`) on a fresh copy."""
    inst = os.path.join(work, "inst-kestrune")
    fresh_copy(master, inst)
    env = dict(os.environ, KESTRUNE_REGISTRY=write_registry(work, inst))
    if program:
        shutil.copy2(program, os.path.join(pkg, "Kestrune"))
    return timed([os.path.join(pkg, "Kestrune"), *extra], env)


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


def run_copy(work, master, pkg):
    """The floor: every packaged file copied over its counterpart in place,
    with no backup, no journal and nothing to undo."""
    inst = os.path.join(work, "inst-copy")
    fresh_copy(master, inst)
    return timed(["cp", "-r", "--no-preserve=all", pkg + "/.", inst + "/"])


def compare(work, program, small_files, big_files, pairs, contenders, with_list=False):
    """Median pairwise ratios of the updater against each other contender,
    each pair run in an order that turns around every round."""
    master, pkg = lay_out(work, program, small_files, big_files)
    if with_list:
        subprocess.run([os.path.join(pkg, "Kestrune"), "--write-hashes", "--quiet"], check=True)
    times = {name: [] for name in contenders}
    memory = []
    for i in range(pairs):
        order = list(contenders.items())
        if i % 2:
            order.reverse()
        for name, run in order:
            elapsed, rss = run(work, master, pkg)
            times[name].append(elapsed)
            if name == "kestrune":
                memory.append(rss)
        # The updater's own copy in the package is the build under test again.
        shutil.copy2(program, os.path.join(pkg, "Kestrune"))
    ratios = {name: [k / t for k, t in zip(times["kestrune"], times[name])]
              for name in contenders if name != "kestrune"}
    return times, ratios, memory


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default="build/posix/Kestrune")
    parser.add_argument("--baseline", help="another build of the updater to compare with")
    parser.add_argument("--args", default="", help="arguments for the updater under test, "
                        "e.g. '--log /dev/shm/kestrune-bench.log'")
    parser.add_argument("--work", default="/dev/shm/kestrune-bench")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--no-growth", action="store_true", help="skip the growth figures")
    parser.add_argument("--with-list", action="store_true",
                        help="give the package a list of hashes (written by the updater) and "
                             "add sha256sum -c followed by rsync as a contender")
    args = parser.parse_args()
    for tool in ("rsync", "cc", "cp"):
        if shutil.which(tool) is None:
            sys.exit("needs %s" % tool)
    program = os.path.abspath(args.program)
    extra = args.args.split()
    os.makedirs(args.work, exist_ok=True)
    HELPERS.update(build_helpers(args.work))
    contenders = {"kestrune": lambda w, m, p: run_kestrune(w, m, p, program, extra),
                  "rsync": run_rsync, "copy": run_copy}
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        contenders["baseline"] = lambda w, m, p: run_kestrune(w, m, p, baseline)
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

            contenders["no list"] = without_list
        times, ratios, memory = compare(args.work, program, small, big, args.pairs, contenders,
                                        args.with_list)
        print("update of %d files of 4 KiB in %d folders + %d files of 32 MiB, %d rounds:"
              % (small, small // 50, big, args.pairs))
        print("  medians: " + ", ".join("%s %.3f s" % (name, statistics.median(t))
                                        for name, t in times.items()))
        for name, values in ratios.items():
            print("  median ratio Kestrune/%s: %.3f  (pairs: %s)" %
                  (name, statistics.median(values), " ".join("%.2f" % r for r in values)))
        if args.baseline:
            for name in ("rsync", "copy"):
                values = [b / t for b, t in zip(times["baseline"], times[name])]
                print("  median ratio baseline/%s: %.3f  (pairs: %s)" %
                      (name, statistics.median(values), " ".join("%.2f" % r for r in values)))
        print("  Kestrune peak memory: %d KiB" % max(memory))
        if args.no_growth:
            return

        print("growth (4 KiB files only):")
        sizes = (200, 2000, 20000) if args.quick else (2000, 20000, 100000)
        for count in sizes:
            master, pkg = lay_out(args.work, program, count, 0)
            runs = [run_kestrune(args.work, master, pkg, program, extra) for _ in range(3)]
            seconds = statistics.median(t for t, _ in runs)
            rss = max(m for _, m in runs)
            print("  %7d files: %.3f s (%.1f us per file), peak memory %d KiB"
                  % (count, seconds, seconds / count * 1e6, rss))
    finally:
        shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
