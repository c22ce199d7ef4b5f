#!/usr/bin/env python3
"""Times a whole update by the Windows program under Wine against C floors.

Makes a 32-bit Wine prefix of its own in memory (/dev/shm, once, kept for
later runs), lays out an installation registered under its uninstall entry
and a package for it (every packaged file with an installed counterpart),
and times `Kestrune.exe /quiet` against floors cross-compiled here from
bench/wine_floor.c (a plain MoveFileW-and-CopyFileW loop; the crash-safe
protocol with the final-path checks a file needs under Wine, and without
them), and optionally against another build of the
updater (--baseline). Every contender is started the same way, `wine
C:\\...\\prog.exe args` from here, with the prefix's wineserver kept running
(and one unmeasured round first) so that no run pays Wine's start-up alone;
each runs on a fresh copy of the installation, once a round, in an order
turned around every round. Prints for each the median and range of its wall
time, of its own CPU time (the Wine process, through wait4) and of the
wineserver's CPU time during the run (Wine serves many file calls there),
and the updaters' ratios to each floor, taken round by round. With --requests, counts instead each contender's
wineserver requests for the whole update, on a traced server. Reports only;
asserts nothing.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
VERSION = "2015.1.0"
GUID = "{6C1F2A5E-7B3D-4E8A-9C0F-1D2E3F405162}"
INST = "Apps\\VORDA"  # below drive_c
PKG = "pkg"
TOOLS = "bench-tools"
PREFIX_STAMP = "kestrune-winbench-prefix 1"


class Prefix:
    """A Wine prefix and the environment every Wine call of the bench gets."""

    def __init__(self, path, log):
        self.path = path
        self.drive_c = os.path.join(path, "drive_c")
        self.log = log
        self.server = None
        self.template = None  # the installation every run starts from
        self.env = dict(os.environ, WINEPREFIX=path, WINEARCH="win32", WINEDEBUG="-all",
                        # No Mono or Gecko installer while the prefix is made,
                        # no menu entries written for it, no display needed.
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", DISPLAY="")
        self.env.pop("WAYLAND_DISPLAY", None)

    def host(self, windows_rel):
        return os.path.join(self.drive_c, *windows_rel.split("\\"))

    def wine(self, *args):
        # Never a pipe: Wine's background processes keep it open and every
        # read would stall for seconds.
        with open(self.log, "ab") as out:
            return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=out, timeout=600).returncode

    def make(self, fresh):
        stamp = os.path.join(self.path, "kestrune-winbench.stamp")
        if not fresh and os.path.exists(stamp):
            with open(stamp) as f:
                if f.read() == PREFIX_STAMP:
                    return
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)
        print("making the Wine prefix %s (once)" % self.path, flush=True)
        if self.wine("wineboot", "-i") != 0:
            sys.exit("wineboot failed; see %s" % self.log)
        # A crash would otherwise open Wine's debugger dialog and hold the run
        # forever; deleting the value is not enough.
        self.import_keys("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n"
                         "\"Debugger\"=\"\"\r\n\"Auto\"=\"0\"\r\n")
        subprocess.run(["wineserver", "-w"], env=self.env)
        with open(stamp, "w") as f:
            f.write(PREFIX_STAMP)

    def import_keys(self, body):
        reg = os.path.join(self.drive_c, "bench-keys.reg")
        with open(reg, "wb") as f:
            f.write(b"\xff\xfe" + ("Windows Registry Editor Version 5.00\r\n\r\n" + body)
                    .encode("utf-16-le"))
        if self.wine("regedit", "/S", "C:\\bench-keys.reg") != 0:
            sys.exit("regedit failed; see %s" % self.log)
        os.remove(reg)

    def start_server(self, trace=None):
        """A persistent wineserver in the foreground, so that its pid (for
        its CPU time) is ours and it outlives every run. With `trace`, a file
        that receives a line for every request it serves."""
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env)
        self.server = subprocess.Popen(["wineserver", "-f", "-p"] + (["-d1"] if trace else []),
                                       env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL,
                                       stderr=trace or subprocess.DEVNULL)
        time.sleep(0.5)
        if self.server.poll() is not None:
            sys.exit("wineserver did not stay up")

    def stop_server(self):
        # `wineserver -k` ends the prefix's Windows processes with it; a
        # signal to the server alone would leave services.exe and the rest
        # running without it.
        if self.server and self.server.poll() is None:
            subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
            try:
                self.server.wait(30)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()

    def server_cpu(self):
        """The wineserver's CPU time so far (s), in clock ticks' steps."""
        with open("/proc/%d/stat" % self.server.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def write_tree(root, files, folders, size, salt):
    """`files` files of `size` bytes spread over `folders` folders."""
    block = (salt * (size // len(salt) + 1))[:size]
    for i in range(files):
        folder = os.path.join(root, "f%03d" % (i % folders))
        if i < folders:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "file%06d.dat" % i), "wb") as f:
            f.write(block)


def lay_out(prefix, work, files, size, vouinfo, floor_exe):
    """The installation's template (outside the prefix), the package and the
    floor in the prefix, and the uninstall entry."""
    folders = max(1, files // 50)
    master = os.path.join(work, "master-inst")
    pkg = prefix.host(PKG)
    tools = prefix.host(TOOLS)
    for path in (master, pkg, tools):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
    write_tree(master, files, folders, size, b"old-")
    write_tree(pkg, files, folders, size, b"NEW!")
    shutil.copyfile(vouinfo, os.path.join(master, "VoUInfo.dll"))
    with open(os.path.join(master, "VoUInfo.bin"), "wb") as f:
        f.write(VERSION.encode("ascii") + b"\0")
    with open(os.path.join(pkg, "Kestrune.ini"), "w", newline="\r\n") as f:
        f.write("[Product]\nProductName=VORDA.exe\nProductVERNUM=%s\nProductCoreGUID=%s\n"
                % (VERSION, GUID))
    shutil.copyfile(floor_exe, os.path.join(tools, "wine_floor.exe"))
    prefix.template = master
    prefix.import_keys("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s]\r\n"
                       "\"DisplayName\"=\"VORDA+\"\r\n\"InstallLocation\"=\"C:\\\\%s\\\\\"\r\n"
                       % (GUID, INST.replace("\\", "\\\\")))
    return master


def build_floor(work):
    source = os.path.join(HERE, "wine_floor.c")
    exe = os.path.join(work, "wine_floor.exe")
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-municode", "-static", "-Wall", "-Wextra",
                    "-DUNICODE", "-D_UNICODE", "-DWIN32_LEAN_AND_MEAN", "-o", exe, source],
                   check=True)
    return exe


class Run:
    """What one run of one contender cost (s)."""

    def __init__(self, wall, cpu, server):
        self.wall, self.cpu, self.server = wall, cpu, server


def timed(prefix, windows_args):
    """Starts `wine <args>` from here on a fresh installation and reaps it
    with wait4: the wall time from start to reaping, the CPU time of the Wine
    process (user and system), and the wineserver's CPU time meanwhile."""
    inst = prefix.host(INST)
    shutil.rmtree(inst, ignore_errors=True)
    os.makedirs(os.path.dirname(inst), exist_ok=True)
    subprocess.run(["cp", "-a", prefix.template, inst], check=True)
    with open(prefix.log, "ab") as out:
        server_before = prefix.server_cpu()
        start = time.perf_counter()
        child = subprocess.Popen(["wine", *windows_args], env=prefix.env, cwd=prefix.drive_c,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        server = prefix.server_cpu() - server_before
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit("%s ended with status %d; see %s" % (windows_args[0], child.returncode, prefix.log))
    return Run(wall, usage.ru_utime + usage.ru_stime, server)


def updater(prefix, program):
    def run():
        shutil.copyfile(program, os.path.join(prefix.host(PKG), "Kestrune.exe"))
        return timed(prefix, ["C:\\%s\\Kestrune.exe" % PKG, "/quiet"])
    return run


def floor(prefix, kind):
    def run():
        return timed(prefix, ["C:\\%s\\wine_floor.exe" % TOOLS, kind, "C:\\" + PKG,
                              "C:\\" + INST, "." + VERSION])
    return run


def check_result(prefix, files, name):
    """Every installed file replaced and backed up, so the contenders did
    the same work; a contender that did less would win for nothing."""
    replaced = backups = 0
    for dirpath, _, names in os.walk(prefix.host(INST)):
        for n in names:
            if n.endswith(".dat." + VERSION):
                backups += 1
            elif n.endswith(".dat"):
                with open(os.path.join(dirpath, n), "rb") as f:
                    replaced += f.read(4) == b"NEW!"
    if replaced != files or backups != files:
        sys.exit("%s replaced %d and backed up %d of %d files" % (name, replaced, backups, files))


def count_requests(trace_path):
    """The requests the traced wineserver has served so far: a line each,
    "<client id>: <request>( ... )"."""
    with open(trace_path, "rb") as f:
        return sum(1 for line in f if REQUEST.match(line))


REQUEST = re.compile(rb"^[0-9a-f]{4}: [a-z_]+\(")


def requests(prefix, contenders, files, trace_path):
    """Each contender's wineserver requests for the whole update, run once on
    a traced server: a count, not a time (the trace slows every request)."""
    counts = {}
    with open(trace_path, "wb") as trace:
        prefix.start_server(trace)
        try:
            for name, run in contenders.items():
                run()  # Wine's services started, and the result checked
                check_result(prefix, files, name)
                trace.flush()
                before = count_requests(trace_path)
                run()
                time.sleep(0.5)  # the server's last lines written
                counts[name] = count_requests(trace_path) - before
        finally:
            prefix.stop_server()
    print("wineserver requests for the whole update of %d files (one traced run each):" % files)
    for name, count in counts.items():
        print("  %-32s %8d  (%.1f a file)" % (name, count, count / files))


def spread(values):
    """Median and range, as "m (min-max)"."""
    return "%.3f (%.3f-%.3f)" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default="build/win32/Kestrune.exe")
    parser.add_argument("--baseline", help="another build of Kestrune.exe to compare with")
    parser.add_argument("--vouinfo", default="build/win32/tests/e2e/vouinfo18.dll",
                        help="the test version library (built with the win32 preset)")
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--size", type=int, default=4096, help="bytes a file")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--work", default="/dev/shm/kestrune-winbench",
                        help="holds the prefix (kept) and the installation's template")
    parser.add_argument("--new-prefix", action="store_true", help="make the prefix again")
    parser.add_argument("--requests", action="store_true",
                        help="count each contender's wineserver requests instead of timing")
    args = parser.parse_args()
    for tool in ("wine", "wineserver", "i686-w64-mingw32-gcc", "cp"):
        if shutil.which(tool) is None:
            sys.exit("needs %s" % tool)
    for path in (args.program, args.vouinfo, args.baseline):
        if path and not os.path.isfile(path):
            sys.exit("no %s (tools/build win32 first?)" % path)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    prefix = Prefix(os.path.join(work, "prefix"), os.path.join(work, "wine.log"))
    prefix.make(args.new_prefix)
    contenders = {"kestrune /quiet": updater(prefix, os.path.abspath(args.program))}
    if args.baseline:
        contenders["baseline /quiet"] = updater(prefix, os.path.abspath(args.baseline))
    contenders["plain floor"] = floor(prefix, "plain")
    contenders["crash-safe floor"] = floor(prefix, "safe")
    contenders["crash-safe floor without checks"] = floor(prefix, "safe-unchecked")
    updaters = [name for name in contenders if "floor" not in name]
    master = lay_out(prefix, work, args.files, args.size, args.vouinfo, build_floor(work))
    if args.requests:
        try:
            requests(prefix, contenders, args.files, os.path.join(work, "requests.trace"))
        finally:
            for path in (master, prefix.host(INST.split("\\")[0]), prefix.host(PKG),
                         prefix.host(TOOLS)):
                shutil.rmtree(path, ignore_errors=True)
        return
    prefix.start_server()
    load_before = os.getloadavg()
    try:
        # One round unmeasured: Wine's own services start with the first
        # program, and each contender's result is checked once.
        for name, run in contenders.items():
            run()
            check_result(prefix, args.files, name)
        runs = {name: [] for name in contenders}
        for i in range(args.rounds):
            order = list(contenders.items())
            if i % 2:
                order.reverse()
            for name, run in order:
                runs[name].append(run())
    finally:
        prefix.stop_server()
        for path in (master, prefix.host(INST.split("\\")[0]), prefix.host(PKG), prefix.host(TOOLS)):
            shutil.rmtree(path, ignore_errors=True)
    load_after = os.getloadavg()
    print("update of %d files of %d bytes in %d folders under Wine, %d rounds; median (min-max), s:"
          % (args.files, args.size, max(1, args.files // 50), args.rounds))
    # Other work on the machine skews every figure: the load tells how much.
    print("  load average (1, 5, 15 min) at start %.2f %.2f %.2f, at end %.2f %.2f %.2f"
          % (*load_before, *load_after))
    for name, values in runs.items():
        print("  %-32s wall %s  CPU %s  wineserver CPU %s"
              % (name, spread([r.wall for r in values]), spread([r.cpu for r in values]),
                 spread([r.server for r in values])))
    print("ratios, round by round:")
    for u in updaters:
        for name, values in runs.items():
            if name == u or (name in updaters and updaters.index(name) < updaters.index(u)):
                continue
            wall = [a.wall / b.wall for a, b in zip(runs[u], values)]
            cpu = [(a.cpu + a.server) / (b.cpu + b.server) for a, b in zip(runs[u], values)]
            print("  %s / %s: wall %s  CPU with wineserver %s" % (u, name, spread(wall), spread(cpu)))


if __name__ == "__main__":
    main()
