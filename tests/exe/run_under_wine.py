#!/usr/bin/env python3
"""Runs a Windows test program under Wine in a private 32-bit prefix (which
Wine makes on the first run) and exits with the program's status.

First it holds the program to check_exe.py's import rules: the product does
not reach every back-end call yet, so a test program may be the first to
import one that Windows XP lacks.

Usage: run_under_wine.py PREFIX PROGRAM.exe [ENTRY ...]

Each ENTRY is laid out in the current folder first, as what a Windows program
cannot make under Wine, and removed after: "PATH->TARGET" a host symbolic
link, "PATH/" a folder, "PATH" a small file.
"""

import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402


def main(argv):
    if len(argv) < 3:
        sys.stderr.write("usage: run_under_wine.py PREFIX PROGRAM.exe [ENTRY ...]\n")
        return 2
    prefix, program = (os.path.abspath(a) for a in argv[1:3])
    # Anything a stopped run left is laid out afresh.
    laid_out = {entry.partition("->")[0].strip("/").split("/")[0] for entry in argv[3:]}
    for top in laid_out:
        shutil.rmtree(top, ignore_errors=True)
    for entry in argv[3:]:
        path, _, target = entry.partition("->")
        parent = os.path.dirname(path.rstrip("/"))
        if parent:
            os.makedirs(parent, exist_ok=True)
        if target:
            os.symlink(target, path)
        elif path.endswith("/"):
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "w") as f:
                f.write("laid out\n")
    try:
        return run(prefix, program)
    finally:
        for top in laid_out:
            shutil.rmtree(top, ignore_errors=True)


def run(prefix, program):
    faults = []
    with open(program, "rb") as f:
        check_exe.check_imports(check_exe.PeImage(f.read()), faults.append)
    for fault in faults:
        print("FAIL: %s" % fault)
    if faults:
        return 1

    # No Mono or Gecko installer and no menu entries while the prefix is
    # made. No display: a crash then prints a backtrace and ends instead of
    # opening the debugger's dialog.
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", DISPLAY="")
    env.pop("WAYLAND_DISPLAY", None)
    log = prefix + ".log"
    # Into a file: Wine's background processes keep a pipe open and stall
    # whoever reads it.
    with open(log, "wb") as out:
        try:
            status = subprocess.run(["wine", program], env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=out, timeout=240).returncode
        except subprocess.TimeoutExpired:
            status = "no end after 240 s"
    # Nothing of Wine stays running in the build folder.
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    with open(log, errors="replace") as f:
        sys.stdout.write(f.read())
    if status != 0:
        print("FAIL: %s exited with %s" % (os.path.basename(program), status))
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
