"""Runs the real updater from outside, on POSIX or under Wine, and shows what it did.

A Target knows how to run one build of the program: the POSIX port straight
from a sandbox folder, or the Windows program inside a Wine prefix that the
target creates itself and resets before each case. A Case lays out an
installation, an update package, registry keys and a test version library on
that target, runs the updater and reports the message boxes and the exit
status; the scenarios then compare the installation with what they expect,
byte for byte.

Locations inside a case are given as relative '/'-paths ("Apps/VORDA"); the
target maps them to the host (to write and read files) and to the program's
own form (C:\\Apps\\VORDA under Wine, an absolute POSIX path otherwise).
"""

from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import fcntl
import fnmatch
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Iterable

# Raised version whenever the set-up of a prefix changes, so that prefixes
# made by an older harness are built again.
PREFIX_LAYOUT = "kestrune-e2e-prefix 2"

# A program that does not end by itself is killed after this long: a safety
# net against hangs, not a measure of speed.
RUN_TIMEOUT_S = 60


@dataclasses.dataclass(frozen=True)
class Message:
    caption: str
    text: str
    icon: bool | None  # None where the target cannot see icons (POSIX)


@dataclasses.dataclass
class RunResult:
    messages: list[Message]
    status: int | None  # None when the program had to be killed
    timed_out: bool = False
    other_windows: list[str] = dataclasses.field(default_factory=list)
    stdout: bytes = b""
    log: str = ""  # everything the run left behind, for failure reports
    killed: bool = False  # ended from outside before it finished
    elapsed_ms: float = 0.0  # how long the program ran, as its starter saw it
    # Progress windows (Wine): when each was first seen (ms after the start),
    # whether it held a progress bar, and its title.
    progress: list[tuple[float, bool, str]] = dataclasses.field(default_factory=list)
    progress_with_box: bool = False  # one was still shown beside a message box
    # The run started while the first box was open (Case.run's at_first_box).
    second_messages: list[Message] = dataclasses.field(default_factory=list)
    second_status: int | None = None
    # Case.run's at_stop: the program was stopped and the change made.
    stopped: bool = False
    # The client size (width, height) of each progress window (Wine).
    progress_sizes: list[tuple[int, int]] = dataclasses.field(default_factory=list)
    # What the progress window showed, each time it changed (Wine).
    progress_texts: list[str] = dataclasses.field(default_factory=list)
    cancelled: str | None = None  # how Case.run's cancel was made, once it was
    questions: list[Message] = dataclasses.field(default_factory=list)  # Yes/No boxes
    holder_pid: int | None = None  # the process of Case.run's holder

    def describe(self) -> str:
        lines = [f"exit status {self.status}" + (" (timed out)" if self.timed_out else "")]
        for m in self.messages:
            icon = "" if m.icon is None else (" [icon]" if m.icon else "")
            lines.append(f"  box {m.caption!r}{icon}: {m.text!r}")
        lines += [f"  other window {w}" for w in self.other_windows]
        lines += [f"  progress window at {p[0]:.0f} ms, bar {p[1]}: {p[2]!r}" for p in self.progress]
        lines += [f"  question {m.caption!r}: {m.text!r}" for m in self.questions]
        if self.second_status is not None or self.second_messages:
            lines.append(f"  second run: exit status {self.second_status}")
            lines += [f"    box {m.caption!r}: {m.text!r}" for m in self.second_messages]
        if self.log:
            lines.append("  raw: " + self.log.replace("\n", "\n       "))
        return "\n".join(lines)


@dataclasses.dataclass(frozen=True)
class RegKey:
    """A key under HKEY_LOCAL_MACHINE with its values.

    `path` is the path as a 32-bit program names it. `view64` keys are written
    to the 64-bit view of a 64-bit prefix, which a 32-bit program never sees.
    Values: str is REG_SZ, int is REG_DWORD, bytes is REG_BINARY.
    """

    path: str
    values: dict
    view64: bool = False


UNINSTALL = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
UNINSTALL_WOW = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
PRODUCT = "SOFTWARE\\ORVELIN\\VORDA\\2015\\"
PRODUCT_WOW = "SOFTWARE\\Wow6432Node\\ORVELIN\\VORDA\\2015\\"


def _reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_file_text(keys: Iterable[RegKey], header: str = "Windows Registry Editor Version 5.00") -> str:
    """The keys in the registry export format, CRLF line ends."""
    out = [header, ""]
    for key in keys:
        out.append(f"[HKEY_LOCAL_MACHINE\\{key.path}]")
        for name, value in key.values.items():
            if isinstance(value, str) and any(ch in value for ch in "\r\n"):
                # A line break cannot stand inside a quoted value: the same
                # REG_SZ is written as its UTF-16 bytes.
                data = (value + "\0").encode("utf-16-le")
                out.append(f"{_reg_string(name)}=hex(1):" + ",".join(f"{b:02x}" for b in data))
            elif isinstance(value, str):
                out.append(f"{_reg_string(name)}={_reg_string(value)}")
            elif isinstance(value, int):
                out.append(f"{_reg_string(name)}=dword:{value:08x}")
            else:
                out.append(f"{_reg_string(name)}=hex:" + ",".join(f"{b:02x}" for b in value))
        out.append("")
    return "\r\n".join(out) + "\r\n"


def reg_file_bytes(keys: Iterable[RegKey], utf8: bool = False) -> bytes:
    text = reg_file_text(keys)
    return text.encode("utf-8") if utf8 else b"\xff\xfe" + text.encode("utf-16-le")


def settings_text(name: str | None = "VORDA.exe", vernum: str | None = "2015.1.0",
                  guid: str | None = "{6C1F2A5E-7B3D-4E8A-9C0F-1D2E3F405162}",
                  section: str = "Product") -> str:
    lines = [f"[{section}]"]
    for key, value in (("ProductName", name), ("ProductVERNUM", vernum), ("ProductCoreGUID", guid)):
        if value is not None:
            lines.append(f"{key}={value}")
    return "\r\n".join(lines) + "\r\n"


DIR = object()  # marks a folder in a tree snapshot
IGNORED_IN_TREES = {"VoUInfo.log"}  # the test library's own record, checked apart


def snapshot(root: Path) -> dict[str, object]:
    """Every file (its bytes) and folder (DIR) below root, by relative '/'-path."""
    tree: dict[str, object] = {}
    if not root.exists():
        return tree
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        for d in dirnames:
            tree[os.path.normpath(os.path.join(rel_dir, d))] = DIR
        for f in filenames:
            rel = os.path.normpath(os.path.join(rel_dir, f))
            if f in IGNORED_IN_TREES:
                continue
            tree[rel] = (Path(dirpath) / f).read_bytes()
    return tree


def walk_order(root: Path) -> list[str]:
    """The package's files in the order the updater lists them: depth first,
    each folder in the order the file system returns its entries."""
    found: list[str] = []

    def visit(folder: Path, rel: str) -> None:
        with os.scandir(folder) as entries:
            for entry in entries:
                child = f"{rel}{entry.name}"
                if entry.is_dir():
                    visit(Path(entry.path), child + "/")
                elif entry.is_file(follow_symlinks=False):
                    found.append(child)

    visit(root, "")
    return found


def write_tree(root: Path, files: dict[str, bytes | object]) -> None:
    for rel, content in files.items():
        path = root / rel
        if content is DIR:
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)


@dataclasses.dataclass
class Helpers:
    """Built helper programs; which ones a target needs depends on its kind."""

    vouinfo: Path
    vouinfo_no18: Path
    driver: Path | None = None
    fake_product: Path | None = None
    probe: Path | None = None
    vouinfo_origin: Path | None = None  # POSIX: needs libvouinfo_dep.so beside it
    holder: Path | None = None


class Case:
    """One scenario's world on a target: folders, settings, registry, library."""

    def __init__(self, target: "Target", root: Path):
        self.target = target
        self.root = root  # host folder that stands for the program's drive
        self.keys: list[RegKey] = []
        # POSIX: a registry file the scenario wrote itself, used as it is.
        self.registry_file: Path | None = None
        self.by_bare_name = False
        self.args: list[str] = []
        self.hold_for: dict[str, int] = {}
        self.kill_after_ms: float | None = None
        # POSIX: the largest file the program may write, as a full disk would
        # stop it (RLIMIT_FSIZE, with SIGXFSZ ignored so the write fails).
        self.file_size_limit: int | None = None
        self.at_first_box: list[str] | None = None
        self.at_stop: tuple[str, Callable[[], None]] | None = None
        self.env: dict[str, str] = {}  # added to the program's environment
        self.cancel: tuple[str, str, int] | None = None
        self.holder: tuple[str, int] | None = None
        # POSIX: (file, over) bind-mounts `file` over the file `over` in a
        # mount namespace of the program's own (as root only).
        self.mount: tuple[str, str] | None = None

    # --- paths ---
    def host(self, rel: str) -> Path:
        return self.root / rel

    def native(self, rel: str, trailing: bool = False) -> str:
        return self.target.native_path(self.root, rel, trailing)

    # --- layout ---
    def write(self, rel: str, files: dict[str, bytes | object]) -> Path:
        folder = self.host(rel)
        folder.mkdir(parents=True, exist_ok=True)
        write_tree(folder, files)
        return folder

    def package(self, files: dict[str, bytes | object], at: str = "pkg",
                settings: str | bytes | None = None, program_name: str | None = None) -> str:
        """Lays out an update package with the updater in it; returns the
        program's relative location. `settings` None leaves no settings file."""
        folder = self.write(at, files)
        name = program_name or self.target.program_name
        shutil.copyfile(self.target.program, folder / name)
        os.chmod(folder / name, 0o755)
        if settings is not None:
            stem = name.rsplit(".", 1)[0] if "." in name else name
            data = settings.encode("utf-8") if isinstance(settings, str) else settings
            (folder / f"{stem}.ini").write_bytes(data)
        return f"{at}/{name}"

    def settings_path(self, program_rel: str) -> str:
        stem = program_rel.rsplit(".", 1)[0] if "." in program_rel.rsplit("/", 1)[-1] else program_rel
        return self.native(stem + ".ini")

    def version_library(self, at: str, text: bytes | None, kind: str = "ordinal18") -> None:
        """Puts VoUInfo.dll into folder `at`: the test library reporting `text`
        ("ordinal18"), one without that entry ("no18"), the first half of the
        test library, as an interrupted copy leaves it ("truncated"), the test
        library of full length with its second half zeros, as a power loss
        leaves it ("zeroed"), a file that is no library at all ("notlib"), the
        test library under another name with a link to it at the library's
        name ("link"), or (POSIX) one that needs a library of its own beside
        it ("origin")."""
        folder = self.host(at)
        folder.mkdir(parents=True, exist_ok=True)
        if kind == "ordinal18":
            shutil.copyfile(self.target.helpers.vouinfo, folder / "VoUInfo.dll")
        elif kind == "link":
            shutil.copyfile(self.target.helpers.vouinfo, folder / "VoUInfo.real.dll")
            os.symlink("VoUInfo.real.dll", folder / "VoUInfo.dll")
        elif kind == "origin":
            origin = self.target.helpers.vouinfo_origin
            shutil.copyfile(origin, folder / "VoUInfo.dll")
            shutil.copyfile(origin.parent / "libvouinfo_dep.so", folder / "libvouinfo_dep.so")
        elif kind == "no18":
            shutil.copyfile(self.target.helpers.vouinfo_no18, folder / "VoUInfo.dll")
        elif kind == "truncated":
            data = self.target.helpers.vouinfo.read_bytes()
            (folder / "VoUInfo.dll").write_bytes(data[:len(data) // 2])
        elif kind == "zeroed":
            data = self.target.helpers.vouinfo.read_bytes()
            half = len(data) // 2
            (folder / "VoUInfo.dll").write_bytes(data[:half] + bytes(len(data) - half))
        elif kind == "notlib":
            (folder / "VoUInfo.dll").write_bytes(b"MZ but not a library at all\n" * 8)
        else:
            raise ValueError(kind)
        if text is not None:
            (folder / "VoUInfo.bin").write_bytes(text)
        # Writable by all, so that the library can keep its record after the
        # updater has given up root; the folder stays root's.
        (folder / "VoUInfo.log").touch()
        os.chmod(folder / "VoUInfo.log", 0o666)

    def library_record(self, at: str) -> list[str]:
        """Everything the test library wrote into its log in folder `at`."""
        log = self.host(at) / "VoUInfo.log"
        return log.read_text().splitlines() if log.exists() else []

    def library_calls(self, at: str) -> list[str]:
        """The calls the test library saw, one "SIZE FLAGS NONNULL" each."""
        return [line for line in self.library_record(at) if line[:1].isdigit()]

    def library_facts(self, at: str, kind: str) -> list[list[str]]:
        """The fields of the test library's records of one `kind` ("who",
        "spawned")."""
        return [line.split()[1:] for line in self.library_record(at)
                if line.split()[:1] == [kind]]

    def place_product(self, rel: str) -> None:
        """Puts the target's stand-in for the running product at `rel`."""
        path = self.host(rel)
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(self.target.product_stand_in(), path)
        os.chmod(path, 0o755)

    def registry(self, *keys: RegKey) -> None:
        self.keys.extend(keys)

    def tree(self, rel: str) -> dict[str, object]:
        return snapshot(self.host(rel))

    # --- running ---
    def run(self, program_rel: str, product: str | None = None,
            hold: Iterable[str] = (), by_bare_name: bool = False,
            args: Iterable[str] = (), hold_for: dict[str, int] | None = None,
            kill_after_ms: float | None = None,
            at_first_box: list[str] | None = None,
            at_stop: tuple[str, Callable[[], None]] | None = None,
            cancel: tuple[str, str, int] | None = None,
            holder: tuple[str, int] | None = None) -> RunResult:
        """Runs the updater at `program_rel` with the command-line `args`.
        `product`: the location of a stand-in (see place_product) that runs
        during the run. `hold`: files held open without sharing during the run,
        `hold_for`: files held so for the given milliseconds only (Wine only).
        `by_bare_name`: started by its file name from its own folder, as a
        program too deep for a full path must be. `kill_after_ms`: the program
        is killed (SIGKILL, TerminateProcess) that long after it started.
        `at_first_box` (Wine): while the first message box is open, the same
        program is run again with these arguments, to its end. `at_stop`
        (marker, change): as soon as the file `marker` (its name may hold `*`)
        appears, the program
        is stopped from outside (SIGSTOP), `change` is made, and it goes on;
        the result's `stopped` tells whether that happened. `cancel` (how,
        answer, percent; Wine): once the progress window shows the update at
        that percentage, a person cancels it ("button", "close", "esc",
        "altf4") and answers the question "yes" or "no". `holder` (file, ms):
        the harness's holder keeps the file open (and, under Wine, loaded)
        from before the run for that long."""
        self.by_bare_name = by_bare_name
        self.cancel = cancel
        self.holder = holder
        self.kill_after_ms = kill_after_ms
        self.args = list(args)
        self.hold_for = dict(hold_for or {})
        self.at_first_box = at_first_box
        if at_stop is None:
            return self.target.run(self, program_rel, product, list(hold))
        marker, change = at_stop
        stopper = StopFromOutside(self.host(marker), lambda: self.target.processes(self, program_rel),
                                  change)
        stopper.start()
        try:
            result = self.target.run(self, program_rel, product, list(hold))
        finally:
            stopper.finish()
        result.stopped = stopper.fired
        return result

    def run_together(self, runs: list[tuple[str, list[str]]]) -> list[int | None]:
        """Starts the updater at each program_rel with its arguments at the
        same moment, with no box driver (the runs must be quiet), and waits
        for them all; returns their exit statuses (None: did not end)."""
        return self.target.run_together(self, runs)


def _process_state(pid: int) -> str:
    with open(f"/proc/{pid}/stat", "rb") as stat:
        return stat.read().rsplit(b")", 1)[1].split()[0].decode()


def process_alive(pid: int) -> bool:
    """True while the process runs (a zombie has ended)."""
    try:
        return _process_state(pid) not in ("Z", "X")
    except OSError:
        return False


def find_processes(argv0: Callable[[str], bool], environ: bytes | None = None) -> list[int]:
    """Live processes whose first argument passes `argv0` and, when given,
    whose environment holds the entry `environ` (NAME=value)."""
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                first = f.read().split(b"\0", 1)[0].decode("utf-8", "replace")
            if not first or not argv0(first):
                continue
            if environ is not None:
                with open(f"/proc/{entry.name}/environ", "rb") as f:
                    if environ not in f.read().split(b"\0"):
                        continue
            if _process_state(int(entry.name)) not in ("Z", "X"):
                found.append(int(entry.name))
        except OSError:
            continue  # gone meanwhile, or not ours to read
    return found


class StopFromOutside:
    """Watches for a file to appear and then stops the program's processes,
    makes a change while they stand still and lets them go on: the moment a
    user watching the installation would pick to swap something."""

    def __init__(self, marker: Path, find: Callable[[], list[int]], change: Callable[[], None]):
        self.marker = marker
        self.find = find
        self.change = change
        self.fired = False
        self.error: BaseException | None = None
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def start(self) -> None:
        self._thread.start()

    def finish(self) -> None:
        self._done.set()
        self._thread.join()
        if self.error is not None:
            raise self.error

    def _marked(self) -> bool:
        if "*" not in self.marker.name:
            return os.path.lexists(self.marker)
        try:
            with os.scandir(self.marker.parent) as entries:
                return any(fnmatch.fnmatchcase(e.name, self.marker.name) for e in entries)
        except FileNotFoundError:
            return False

    def _watch(self) -> None:
        # The processes are found while the program starts, so that the stop
        # follows the marker with no search of /proc in between.
        known: list[int] = []
        stopped: list[int] = []

        def stop(pids: list[int]) -> None:
            for pid in pids:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGSTOP)
                    stopped.append(pid)
        try:
            while not self._done.is_set():
                if self._marked():
                    stop(known)
                    stop([p for p in self.find() if p not in known])
                    if stopped:
                        self.change()
                        self.fired = True
                        return
                elif not known:
                    known = self.find()
                time.sleep(0.0002)
        except BaseException as error:  # reported by finish()
            self.error = error
        finally:
            for pid in stopped:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGCONT)


class Target:
    kind = ""
    name = ""
    program_name = ""
    reports_icons = False
    separate_wow_node = True  # False where both registry paths are one key

    def __init__(self, program: Path, helpers: Helpers):
        self.program = Path(program)
        self.helpers = helpers

    def native_path(self, root: Path, rel: str, trailing: bool) -> str:
        raise NotImplementedError

    def start(self) -> None:
        """Once before the first case."""

    def _freeze_program(self, folder: Path) -> None:
        # Every case copies the program from a private copy, so a rebuild
        # while the suite runs cannot hand it a half-written file.
        folder.mkdir(parents=True, exist_ok=True)
        frozen = folder / self.program.name
        shutil.copyfile(self.program, frozen)
        self.program = frozen

    def stop(self) -> None:
        """Once after the last case."""

    def new_case(self) -> Case:
        """A fresh, empty world for one scenario."""
        raise NotImplementedError

    def end_case(self, case: Case) -> None:
        """Called when a scenario is done with its case."""

    def product_stand_in(self) -> Path:
        """A program that runs until killed, to play the product."""
        raise NotImplementedError

    def run(self, case: Case, program_rel: str, product: str | None, hold: list[str]) -> RunResult:
        raise NotImplementedError

    def processes(self, case: Case, program_rel: str) -> list[int]:
        """The host processes of the program at `program_rel` while it runs."""
        raise NotImplementedError

    def run_together(self, case: Case, runs: list[tuple[str, list[str]]]) -> list[int | None]:
        raise NotImplementedError

    @staticmethod
    def _wait_for_all(procs: list[subprocess.Popen]) -> list[int | None]:
        statuses: list[int | None] = []
        for proc in procs:
            try:
                statuses.append(proc.wait(RUN_TIMEOUT_S))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                statuses.append(None)
        return statuses


def parse_posix_stderr(data: bytes) -> list[Message]:
    """Each message box is "caption: text\\n". The running-program text holds a
    line feed of its own, so a line without ": " continues the record before it."""
    messages: list[tuple[str, str]] = []
    text = data.decode("utf-8", errors="replace")
    if text.endswith("\n"):
        text = text[:-1]
    if not text:
        return []
    for line in text.split("\n"):
        if ": " in line or not messages:
            caption, _, body = line.partition(": ")
            messages.append((caption, body))
        else:
            caption, body = messages[-1]
            messages[-1] = (caption, body + "\n" + line)
    return [Message(c, t, None) for c, t in messages]


class PosixTarget(Target):
    kind = "posix"
    name = "posix"
    program_name = "Kestrune"

    def __init__(self, program: Path, helpers: Helpers, work: Path | None = None):
        super().__init__(program, helpers)
        self.work = work
        self._base: Path | None = None
        self._count = 0
        self.keep_failed = False

    def native_path(self, root: Path, rel: str, trailing: bool) -> str:
        path = str(root / rel) if rel else str(root)
        return path + "/" if trailing and not path.endswith("/") else path

    def start(self) -> None:
        if self.work:
            self.work.mkdir(parents=True, exist_ok=True)
        self._base = Path(tempfile.mkdtemp(prefix="kestrune-e2e-", dir=self.work))
        # As a real installation is: open to every user on the way to it, so
        # that the version library can read its own folder once the updater
        # has given up root to call it.
        os.chmod(self._base, 0o755)
        self._freeze_program(self._base / "program")

    def stop(self) -> None:
        if self._base and not self.keep_failed:
            shutil.rmtree(self._base, ignore_errors=True)

    def new_case(self) -> Case:
        self._count += 1
        root = self._base / f"case{self._count}"
        root.mkdir()
        return Case(self, root)

    def end_case(self, case: Case) -> None:
        if not self.keep_failed:
            shutil.rmtree(case.root, ignore_errors=True)

    def processes(self, case: Case, program_rel: str) -> list[int]:
        program = str(case.host(program_rel))
        return find_processes(lambda first: first == program)

    def product_stand_in(self) -> Path:
        # A copy of a sleeping program stands for the product: the process
        # list shows its image path, which is all the check looks at.
        return Path(shutil.which("sleep") or "/bin/sleep")

    def _env(self, case: Case) -> dict[str, str]:
        registry = case.registry_file or (case.root / "registry.reg")
        if case.registry_file is None:
            registry.write_bytes(reg_file_bytes(case.keys))
        env = {k: v for k, v in os.environ.items() if not k.startswith("KESTRUNE_")}
        env["KESTRUNE_REGISTRY"] = str(registry)
        # The machine's own log of a run given none: in the case, never the
        # real /var/log of the machine the suite runs on as root.
        env["KESTRUNE_LOG_FOLDER"] = str(case.root / "var-log")
        env.update(case.env)
        return env

    def run_together(self, case: Case, runs: list[tuple[str, list[str]]]) -> list[int | None]:
        env = self._env(case)
        return self._wait_for_all([
            subprocess.Popen([str(case.host(program_rel)), *args], env=env, cwd=case.root,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
            for program_rel, args in runs])

    def run(self, case: Case, program_rel: str, product: str | None, hold: list[str]) -> RunResult:
        if hold or case.hold_for or case.cancel:
            raise ValueError("holding files open without sharing, and the window, are Wine's")
        env = self._env(case)
        side = None
        if product:
            product_path = case.host(product)
            side = subprocess.Popen([str(product_path), "600"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _wait_for_image(side.pid, product_path)
        try:
            started = time.monotonic()
            limit = case.file_size_limit

            def full_disk() -> None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

            holder = None
            if case.holder is not None:
                rel, ms = case.holder
                with open(case.host(rel), "rb") as held:
                    holder = subprocess.Popen(["sleep", str(ms / 1000)], stdin=held,
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            command = [str(case.host(program_rel)), *case.args]
            if case.mount is not None:
                # A mount of its own: nothing outside the program's run sees it.
                source, over = case.mount
                command = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                           'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh",
                           str(case.host(source)), str(case.host(over)), *command]
            proc = subprocess.Popen(command, env=env, cwd=case.root,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE,
                                    preexec_fn=full_disk if limit is not None else None)
            if case.kill_after_ms is not None:
                time.sleep(case.kill_after_ms / 1000)
                proc.kill()
            out, err = proc.communicate(timeout=RUN_TIMEOUT_S)
            status, timed_out = proc.returncode, False
            elapsed_ms = (time.monotonic() - started) * 1000
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            status, timed_out, elapsed_ms = None, True, 0.0
        finally:
            if side:
                side.kill()
                side.wait()
            if holder:
                holder.kill()
                holder.wait()
        if status is not None and status < 0:
            log = f"killed by signal {-status}\n"
        else:
            log = ""
        return RunResult(parse_posix_stderr(err), status, timed_out, stdout=out,
                         log=log + err.decode("utf-8", "replace"),
                         killed=case.kill_after_ms is not None and status == -9,
                         elapsed_ms=elapsed_ms, holder_pid=holder.pid if holder else None)


def _wait_for_image(pid: int, path: Path) -> None:
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/exe") == str(path):
                return
        time.sleep(0.01)
    raise RuntimeError(f"the stand-in product {path} did not start")


def _die_with_parent() -> None:
    # A suite stopped by its time limit must not leave its display behind.
    with contextlib.suppress(Exception):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Xvfb:
    """A private X display: message boxes are only shown (and only block) when
    one is there; without it MessageBoxW returns at once and shows nothing."""

    def __init__(self):
        self.proc: subprocess.Popen | None = None
        self.display = ""

    def start(self) -> str:
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed (package xvfb)")
        read_fd, write_fd = os.pipe()
        # -displayfd makes the server pick a free display number itself, so
        # suites started side by side never race for one.
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             # Every case stops the wineserver, so the last client leaves
             # often: without this the server would reset each time, and a
             # program connecting during a reset could find no display.
             "-noreset"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
        self.display = ":" + number.decode().strip()
        return self.display

    def stop(self) -> None:
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


def _unescape(field: str) -> str:
    out, i = [], 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            out.append({"n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(field[i + 1], field[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_driver_output(text: str) -> RunResult:
    result = RunResult([], None, log=text)
    for line in text.splitlines():
        kind, *fields = [_unescape(f) for f in line.split("\t")]
        if kind == "box":
            result.messages.append(Message(fields[1], fields[2], fields[0] == "1"))
        elif kind == "second-box":
            result.second_messages.append(Message(fields[1], fields[2], fields[0] == "1"))
        elif kind == "second-exit":
            result.second_status = int(fields[0])
        elif kind == "progress":
            result.progress.append((float(fields[0]), fields[1] == "1", fields[2]))
            width, _, height = fields[3].partition("x")
            result.progress_sizes.append((int(width), int(height)))
        elif kind == "progress-text":
            result.progress_texts.append(fields[0])
        elif kind == "cancelled":
            result.cancelled = fields[0]
        elif kind == "question":
            result.questions.append(Message(fields[0], fields[1], None))
        elif kind == "holder":
            result.holder_pid = int(fields[0])
        elif kind == "progress-with-box":
            result.progress_with_box = True
        elif kind == "exit":
            result.status = int(fields[0])
            if len(fields) > 1:
                result.elapsed_ms = float(fields[1])
        elif kind == "timeout":
            result.timed_out = True
        elif kind == "killed":
            result.killed = True
        elif kind == "window":
            result.other_windows.append(" ".join(fields))
        elif kind == "error":
            raise RuntimeError(f"box driver failed: {' '.join(fields)}")
    return result


class WineTarget(Target):
    """The Windows program in a Wine prefix of the given architecture.

    The prefix is made once (or again when its layout stamp is stale), with the
    crash debugger switched off and the X11 driver told not to leave window
    management to a window manager; its registry files are saved right after.
    Before every case the prefix's wineserver is stopped, the saved registry
    restored and everything a case added below drive_c removed.
    """

    kind = "wine"
    program_name = "Kestrune.exe"
    reports_icons = True
    SCRATCH = "e2e-scratch"  # below drive_c, for files the harness itself needs

    def __init__(self, program: Path, helpers: Helpers, arch: str, prefix: Path,
                 display: str | None = None, new_prefix: bool = False):
        super().__init__(program, helpers)
        if arch not in ("win32", "win64"):
            raise ValueError(arch)
        self.arch = arch
        self.name = f"wine-{arch}"
        # In a 64-bit prefix the 32-bit program's plain and Wow6432Node paths
        # open the same (32-bit view) key.
        self.separate_wow_node = arch == "win32"
        self.prefix = Path(prefix).resolve()
        self.saved = self.prefix.parent / (self.prefix.name + ".saved")
        self.wine_log = self.prefix.parent / (self.prefix.name + ".wine.log")
        self.display = display
        self.new_prefix = new_prefix
        self._xvfb: Xvfb | None = None
        self._lock = None
        self._baseline: set[str] = set()

    # --- environment ---
    def env(self) -> dict[str, str]:
        env = dict(os.environ)
        # Wine's own error lines only: they go to the log that failure reports quote.
        env.update(WINEPREFIX=str(self.prefix), WINEARCH=self.arch, WINEDEBUG="-all,err+all",
                   # No Mono or Gecko installer dialog while the prefix is made,
                   # and no desktop menu entries written for it.
                   WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                   DISPLAY=self.display or "")
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def wine(self, *args: str, timeout: float = RUN_TIMEOUT_S + 30, loader: str = "wine") -> int:
        # Output goes to a file: background Wine processes keep a pipe open
        # and make every call stall for seconds.
        with open(self.wine_log, "ab") as out:
            return subprocess.run([loader, *args], env=self.env(), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=out, timeout=timeout).returncode

    def wineserver(self, *args: str) -> None:
        subprocess.run(["wineserver", *args], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def stop_server(self) -> None:
        self.wineserver("-k")
        self.wineserver("-w")

    def windows_path(self, host: Path) -> str:
        """A host path as the Windows side names it: on C: when below
        drive_c, otherwise through Z:, Wine's drive for the host's root."""
        host = Path(host).resolve()
        drive_c = self.prefix / "drive_c"
        if host.is_relative_to(drive_c):
            return "C:\\" + "\\".join(host.relative_to(drive_c).parts)
        return "Z:" + str(host).replace("/", "\\")

    def native_path(self, root: Path, rel: str, trailing: bool) -> str:
        path = "C:\\" + rel.replace("/", "\\") if rel else "C:\\"
        if trailing and not path.endswith("\\"):
            path += "\\"
        if not trailing and len(path) > 3 and path.endswith("\\"):
            path = path[:-1]
        return path

    # --- life cycle ---
    def start(self) -> None:
        for tool in ("wine", "wineserver"):
            if not shutil.which(tool):
                raise RuntimeError(f"{tool} is not installed")
        if self.display is None:
            self._xvfb = Xvfb()
            self.display = self._xvfb.start()
        self.prefix.parent.mkdir(parents=True, exist_ok=True)
        # One suite at a time per prefix; a second one waits here.
        self._lock = open(self.prefix.parent / (self.prefix.name + ".lock"), "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self.wine_log.write_bytes(b"")
        self._make_prefix()
        self._freeze_program(self.prefix.parent / (self.prefix.name + ".program"))
        # What drive_c held when the prefix was made; anything else was left
        # by a case, possibly of an earlier run.
        self._baseline = set((self.saved / "drive_c.txt").read_text().splitlines())

    def stop(self) -> None:
        with contextlib.suppress(Exception):
            self.stop_server()
        if self._xvfb:
            self._xvfb.stop()
        if self._lock:
            self._lock.close()
            self._lock = None

    def _stamp(self) -> str:
        version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
        return f"{PREFIX_LAYOUT}\n{version}\n{self.arch}\n"

    def _make_prefix(self) -> None:
        stamp_file = self.saved / "stamp"
        if not self.new_prefix and stamp_file.exists() and stamp_file.read_text() == self._stamp() and \
                (self.prefix / "drive_c").is_dir():
            return
        self.stop_server()
        shutil.rmtree(self.prefix, ignore_errors=True)
        shutil.rmtree(self.saved, ignore_errors=True)
        if self.wine("wineboot", "-i", timeout=300) != 0:
            raise RuntimeError(f"wineboot failed for {self.prefix}")
        self.wineserver("-w")
        scratch = self.prefix / "drive_c" / self.SCRATCH
        scratch.mkdir(exist_ok=True)
        setup = scratch / "setup.reg"
        # An empty Debugger keeps a crash from opening Wine's debugger dialog,
        # which would hold the process forever (deleting the value is not
        # enough). Managed=N: without a window manager every closed window
        # would otherwise cost about two seconds.
        crash_keys = ["Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"]
        if self.arch == "win64":
            crash_keys.append("Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug")
        text = ["Windows Registry Editor Version 5.00", ""]
        for key in crash_keys:
            text += [f"[HKEY_LOCAL_MACHINE\\{key}]", '"Debugger"=""', '"Auto"="0"', ""]
        text += ["[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]", '"Managed"="N"', ""]
        setup.write_bytes(b"\xff\xfe" + "\r\n".join(text).encode("utf-16-le"))
        if self.wine("regedit", "/S", self.windows_path(setup)) != 0:
            raise RuntimeError("regedit could not set up the prefix")
        if self.arch == "win64" and self.wine("regedit", "/S", self.windows_path(setup),
                                              loader=_wine64()) != 0:
            raise RuntimeError("regedit (64-bit) could not set up the prefix")
        self.stop_server()
        shutil.rmtree(scratch)
        self.saved.mkdir(parents=True)
        for reg in ("system.reg", "user.reg", "userdef.reg"):
            shutil.copy2(self.prefix / reg, self.saved / reg)
        (self.saved / "drive_c.txt").write_text("\n".join(sorted(os.listdir(self.prefix / "drive_c"))))
        stamp_file.write_text(self._stamp())

    def reset(self) -> None:
        self.stop_server()
        for reg in ("system.reg", "user.reg", "userdef.reg"):
            shutil.copy2(self.saved / reg, self.prefix / reg)
        drive_c = self.prefix / "drive_c"
        # The machine's own log of a run given none, in the prefix's
        # program-data folder, which the prefix itself holds.
        own_log = drive_c / "ProgramData" / "Kestrune"
        if own_log.is_symlink() or own_log.is_file():
            own_log.unlink()
        elif own_log.is_dir():
            shutil.rmtree(own_log)
        for name in os.listdir(drive_c):
            if name not in self._baseline:
                path = drive_c / name
                if path.is_dir() and not path.is_symlink():
                    shutil.rmtree(path)
                else:
                    path.unlink()

    def new_case(self) -> Case:
        self.reset()
        return Case(self, self.prefix / "drive_c")

    def product_stand_in(self) -> Path:
        return self.helpers.fake_product

    def processes(self, case: Case, program_rel: str) -> list[int]:
        # Wine's process for a Windows program shows the program's path, as
        # it was started, as its first argument; the prefix tells it from
        # the same program run in another prefix.
        name = program_rel.rsplit("/", 1)[-1].lower()
        return find_processes(lambda first: first.replace("\\", "/").rsplit("/", 1)[-1].lower() == name,
                              f"WINEPREFIX={self.prefix}".encode())

    # --- running ---
    def run_together(self, case: Case, runs: list[tuple[str, list[str]]]) -> list[int | None]:
        self._import_keys(case)
        with open(self.wine_log, "ab") as out:
            return self._wait_for_all([
                subprocess.Popen(["wine", case.native(program_rel), *args], env=self.env(),
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=out)
                for program_rel, args in runs])

    def _import_keys(self, case: Case) -> None:
        scratch = case.root / self.SCRATCH
        scratch.mkdir(exist_ok=True)
        # `wine regedit` is the 32-bit regedit: it writes the view that the
        # 32-bit updater reads. In a 64-bit prefix a Wow6432Node path is written
        # where a 64-bit installer puts it, by the 64-bit regedit: the 32-bit
        # one would nest a second Wow6432Node below a first that does not exist.
        def native64(key: RegKey) -> bool:
            return key.view64 or (self.arch == "win64" and
                                  key.path.lower().startswith("software\\wow6432node\\"))
        plain = [k for k in case.keys if not native64(k)]
        wide = [k for k in case.keys if native64(k)]
        for keys, loader in ((plain, "wine"), (wide, _wine64())):
            if keys:
                reg = scratch / f"keys-{loader.rsplit('/', 1)[-1]}.reg"
                reg.write_bytes(reg_file_bytes(keys))
                if self.wine("regedit", "/S", self.windows_path(reg), loader=loader) != 0:
                    raise RuntimeError("regedit could not import the case's keys")

    def run(self, case: Case, program_rel: str, product: str | None, hold: list[str]) -> RunResult:
        self._import_keys(case)
        scratch = case.root / self.SCRATCH
        out = scratch / "boxes.txt"
        with contextlib.suppress(FileNotFoundError):
            out.unlink()
        args = [self.windows_path(self.helpers.driver), self.windows_path(out),
                "--timeout", str(RUN_TIMEOUT_S)]
        for rel in hold:
            args += ["--hold", case.native(rel)]
        for rel, ms in case.hold_for.items():
            args += ["--hold-for", str(ms), case.native(rel)]
        if case.kill_after_ms is not None:
            args += ["--kill-after", str(max(1, round(case.kill_after_ms)))]
        if product:
            args += ["--product", case.native(product)]
        if case.cancel is not None:
            how, answer, percent = case.cancel
            args += ["--cancel", how, answer, str(percent)]
        if case.holder is not None:
            rel, ms = case.holder
            args += ["--holder", self.windows_path(self.helpers.holder), str(ms), case.native(rel)]
        if case.at_first_box is not None:
            args += ["--at-first-box", " ".join(
                f'"{a}"' if " " in a or not a else a
                for a in [case.native(program_rel), *case.at_first_box])]
        # Started from a folder other than the package, so that the program
        # has to find its package folder by itself.
        if case.by_bare_name:
            return self._run_from_host(case, program_rel, args, out)
        args += ["--cwd", "C:\\" + self.SCRATCH, "--", case.native(program_rel), *case.args]
        seen = self.wine_log.stat().st_size
        try:
            self.wine(*args)
        except subprocess.TimeoutExpired:
            return RunResult([], None, timed_out=True, log="the box driver itself hung")
        if not out.exists():
            return RunResult([], None, log="the box driver wrote nothing")
        if case.kill_after_ms is not None:
            self._wait_for_the_end_of(case, program_rel)
        result = parse_driver_output(out.read_text(encoding="utf-8"))
        with open(self.wine_log, "rb") as log:
            log.seek(seen)
            said = "\n".join(line for line in log.read(4000).decode("utf-8", "replace").splitlines()
                              if "winemenubuilder" not in line)  # switched off on purpose
        if said:
            result.log += "Wine said:\n" + said
        return result

    @staticmethod
    def _wait_for_the_end_of(case: Case, program_rel: str) -> None:
        """Wine reports a process ended by TerminateProcess as gone before
        its Unix process has stopped making calls: what a kill left is
        looked at only once no process of the program is left."""
        names = (case.native(program_rel).lower(), str(case.host(program_rel)).lower())
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            alive = False
            for proc in Path("/proc").iterdir():
                if proc.name.isdigit():
                    with contextlib.suppress(OSError):
                        line = (proc / "cmdline").read_bytes().decode("utf-8", "replace").lower()
                        alive = alive or any(name in line for name in names)
            if not alive:
                return
            time.sleep(0.02)

    def _run_from_host(self, case: Case, program_rel: str, args: list[str], out: Path) -> RunResult:
        """Starts the program by its bare name from its folder on the host
        side, as CreateProcessW cannot start a program whose path is
        MAX_PATH long or longer; the driver attaches to it by name."""
        folder, _, name = program_rel.rpartition("/")
        with open(self.wine_log, "ab") as log:
            driver = subprocess.Popen(["wine", *args, "--attach", name], env=self.env(),
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                deadline = time.monotonic() + RUN_TIMEOUT_S
                while not (out.exists() and "ready" in out.read_text(encoding="utf-8")):
                    if driver.poll() is not None or time.monotonic() > deadline:
                        return RunResult([], None, log="the box driver did not get ready")
                    time.sleep(0.05)
                subprocess.run(["wine", name], env=self.env(), cwd=case.host(folder),
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                               timeout=RUN_TIMEOUT_S + 30)
                driver.wait(RUN_TIMEOUT_S + 30)
            finally:
                if driver.poll() is None:
                    driver.kill()
        return parse_driver_output(out.read_text(encoding="utf-8"))

    def run_windows_program(self, host_program: Path, at: str) -> RunResult:
        """Runs any Windows program through the driver from C:\\<at>, for the
        driver's own check."""
        drive_c = self.prefix / "drive_c"
        target = drive_c / at
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(host_program, target)
        scratch = drive_c / self.SCRATCH
        scratch.mkdir(exist_ok=True)
        out = scratch / "boxes.txt"
        self.wine(self.windows_path(self.helpers.driver), self.windows_path(out), "--timeout",
                  str(RUN_TIMEOUT_S), "--", "C:\\" + at.replace("/", "\\"))
        return parse_driver_output(out.read_text(encoding="utf-8"))


def _wine64() -> str:
    found = shutil.which("wine64")
    if found:
        return found
    if os.path.exists("/usr/lib/wine/wine64"):
        return "/usr/lib/wine/wine64"
    raise RuntimeError("the 64-bit Wine loader is not installed (package wine64)")
