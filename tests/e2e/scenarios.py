"""End-to-end scenarios of the updater, shared by every target.

Each class is one group of behaviour. build_suite() makes a copy of each class
bound to one target, so the same scenario runs against the POSIX port and
against the Windows program in a 32-bit and a 64-bit Wine prefix. Classes with
`only` run on the targets it names (a kind such as "wine", or a full name such
as "wine-win64"), for behaviour that exists on one platform alone.
"""

from __future__ import annotations

import contextlib
import datetime
import fcntl
import hashlib
import os
import pwd
import random
import re
import signal
import stat
import subprocess
import threading
import time
import unittest
from pathlib import Path

from harness import (DIR, IGNORED_IN_TREES, PRODUCT, PRODUCT_WOW, UNINSTALL, UNINSTALL_WOW, Case, Message,
                     find_processes, process_alive,
                     RegKey, RunResult, Target, reg_file_bytes, reg_file_text, settings_text,
                     walk_order, write_tree)

GUID = "{6C1F2A5E-7B3D-4E8A-9C0F-1D2E3F405162}"
GUID2 = "{6C1F2A5E-7B3D-4E8A-9C0F-1D2E3F405163}"  # a second product, for two installations
VER = "2015.1.0"
INST = "Apps/VORDA"

NOT_INSTALLED = ("ERROR", "This machine has not installed VORDA+ yet")
NOT_FOUND = ("ERROR", "Couldn't find VORDA+!")
LIB_MISSING = ("ERROR", "VoUInfo.dll is missing")
WRONG_VERSION = ("ERROR", "You need to install the correct Version before update")
RUNNING = ("Error", "The installer has detected that VORDA.exe is running.\n"
           "You have to close all these programs before continuing the update.")
COPY_FAILED = ("Err", "Failed to copy files")
DONE = ("VORDA+ UPDATE", "You have successfully updated VORDA+")

EXIT_DONE, EXIT_SETTINGS, EXIT_NOT_INSTALLED, EXIT_NOT_FOUND = 0, 1, 2, 3
EXIT_LIB_MISSING, EXIT_WRONG_VERSION, EXIT_RUNNING, EXIT_COPY_FAILED = 4, 5, 6, 7
EXIT_UNDO_INCOMPLETE, EXIT_BAD_COMMAND_LINE, EXIT_ANOTHER_RUN = 8, 9, 10
ANOTHER_RUN = ("Error", "Another update of VORDA+ is running.")
EXIT_DAMAGED = 11
EXIT_CANCELLED = 12
CANCELLED = ("VORDA+ UPDATE", "The update of VORDA+ was cancelled. VORDA+ was left as it was.")
QUESTION = ("VORDA+ UPDATE", "Cancel the update? VORDA+ will be left as it was.")
DAMAGED = "The update package is incomplete or damaged:\n"
INTERRUPTED = ("Err", "The previous update of VORDA+ was interrupted and could not be undone.")
UNDO_INCOMPLETE = ("Err", "Failed to copy files\nSome files could not be restored. "
                          "Run the update again to restore them.")

ONE_CALL = ["39 0 1"]  # the library saw (buffer, 39, 0) once, buffer not null


def ansi(text: str) -> bytes:
    return text.encode("ascii") + b"\0"


def utf16(text: str) -> bytes:
    return text.encode("utf-16-le") + b"\0\0"


INSTALLED = {
    "VORDA.exe": b"old product executable\n",
    "bin/core.dll": b"old core library\n",
    "bin/sub/deep.dat": b"old deep data\n",
    "res/strings.txt": b"old strings\n",
    "docs/readme.txt": b"installed readme, not in the package\n",
}
PACKAGED = {
    "VORDA.exe": b"new product executable, longer than before\n",
    "bin/core.dll": b"new core library\n",
    "bin/sub/deep.dat": b"new deep data\n",
    "res/strings.txt": b"",  # an empty file is a file too
}


def uninstall_key(location: str | None, wow: bool = False, guid: str = GUID, **extra) -> RegKey:
    values = {"DisplayName": "VORDA+", **extra}
    if location is not None:
        values["InstallLocation"] = location
    return RegKey((UNINSTALL_WOW if wow else UNINSTALL) + guid, values)


def product_key(tag: str, location: str | None, wow: bool = False) -> RegKey:
    values = {"Version": "2015"}
    if location is not None:
        values["Location"] = location
    return RegKey((PRODUCT_WOW if wow else PRODUCT) + tag, values)


def updated(before: dict, package: dict, replaced: list[str], ver: str = VER) -> dict:
    """The installation after a successful run: each replaced file holds the
    packaged bytes and its backup the bytes from before."""
    after = dict(before)
    for rel in replaced:
        after[f"{rel}.{ver}"] = before[rel]
        after[rel] = package[rel]
    return after


COPIES = ".~kestrune-20261207120000123"  # a run's copy suffix, as the program writes it


def journal_text(steps: list[tuple[int, tuple[int, int, int, int], str]], backup: str = "." + VER,
                 copies: str = COPIES) -> bytes:
    """A journal as a run stopped before its first change leaves it: each step
    its aside number, the installed file's identity and its relative path."""
    def field(text: str) -> str:
        return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
                .replace("\r", "\\r"))
    lines = ["Kestrune journal 2", "backup\t" + field(backup), "temporary\t" + field(copies)]
    for aside, identity, relative in steps:
        lines.append("\t".join([str(aside), *map(str, identity), field(relative)]))
    lines.append(f"end\t{len(steps)}")
    return ("\n".join(lines) + "\n").encode("utf-8")


class Scenario(unittest.TestCase):
    target: Target  # bound by build_suite
    only: frozenset[str] | None = None
    maxDiff = None

    def setUp(self) -> None:
        self.case = self.target.new_case()

    def tearDown(self) -> None:
        self.target.end_case(self.case)

    def fresh_case(self) -> Case:
        """Starts over from a clean world, for a second variant in one test."""
        self.target.end_case(self.case)
        self.case = self.target.new_case()
        return self.case

    # --- layouts ---
    def installation(self, at: str = INST, files: dict | None = None,
                     version: bytes | None = ansi(VER), lib: str | None = "ordinal18") -> None:
        self.case.write(at, INSTALLED if files is None else files)
        if lib:
            self.case.version_library(at, version, lib)

    def standard(self, at: str = INST, trailing: bool = True, files: dict | None = None,
                 package: dict | None = None, settings: str | None = None,
                 version: bytes | None = ansi(VER), lib: str | None = "ordinal18",
                 keys: list[RegKey] | None = None, package_at: str = "pkg") -> str:
        """An installation registered under its uninstall entry and a package
        for it (in `package_at`); returns the updater's location."""
        self.installation(at, files, version, lib)
        program = self.case.package(PACKAGED if package is None else package, at=package_at,
                                    settings=settings_text() if settings is None else settings)
        self.case.registry(*(keys if keys is not None else
                             [uninstall_key(self.case.native(at, trailing))]))
        return program

    # --- checks ---
    def assertRun(self, result: RunResult, messages: list[tuple], status: int) -> None:
        icon = False if self.target.reports_icons else None
        expected = [Message(m[0], m[1], m[2] if len(m) > 2 and icon is not None else icon)
                    for m in messages]
        report = "\n" + result.describe()
        self.assertFalse(result.timed_out, "the program did not end" + report)
        self.assertEqual(result.other_windows, [], "the program opened other windows" + report)
        self.assertEqual(result.stdout, b"", "the program wrote to standard output" + report)
        self.assertEqual(result.messages, expected, "messages" + report)
        self.assertEqual(result.status, status, "exit status" + report)

    def assertTree(self, at: str, expected: dict) -> None:
        actual = self.case.tree(at)
        if actual != expected:
            extra = sorted(set(actual) - set(expected))
            missing = sorted(set(expected) - set(actual))
            changed = sorted(k for k in set(actual) & set(expected) if actual[k] != expected[k])
            self.fail(f"{at}: extra {extra}, missing {missing}, changed {changed}")


class DriverCheck(Scenario):
    """The box driver itself: boxes are really shown, read and answered."""

    only = frozenset({"wine"})

    def test_driver_reads_boxes_icons_and_exit_status_of_a_program_without_extension(self):
        result = self.target.run_windows_program(self.target.helpers.probe, "probe/Probe")
        self.assertEqual(result.messages, [
            Message("Probe", "first line\nsecond \u00e9\u4e2d", False),
            Message("Probe 2", "warned", True)], result.describe())
        self.assertEqual(result.status, 42, result.describe())


class SettingsTests(Scenario):
    def test_missing_or_incomplete_settings_name_the_first_empty_key(self):
        variants = [
            ("no settings file", None, "ProductName"),
            ("keys in another section", settings_text(section="Other"), "ProductName"),
            ("no name", settings_text(name=None), "ProductName"),
            ("empty version", settings_text(vernum=""), "ProductVERNUM"),
            ("no version, no code", settings_text(vernum=None, guid=None), "ProductVERNUM"),
            ("blank code", settings_text(guid='""'), "ProductCoreGUID"),
        ]
        for label, settings, key in variants:
            with self.subTest(label):
                c = self.fresh_case()
                self.installation()
                program = c.package(PACKAGED)
                if settings is not None:
                    (c.host("pkg") / "Kestrune.ini").write_bytes(settings.encode())
                c.registry(uninstall_key(c.native(INST, True)))
                before, pkg_before = c.tree(INST), c.tree("pkg")
                result = c.run(program)
                self.assertRun(result, [("ERROR", f"{c.settings_path(program)} does not set {key}")],
                               EXIT_SETTINGS)
                self.assertTree(INST, before)
                self.assertTree("pkg", pkg_before)
                self.assertEqual(c.library_calls(INST), [], "the library was loaded")

    def test_quoted_values_any_key_case_and_utf16_settings_are_read(self):
        quoted = ("[product]\r\n  productname = \"VORDA.exe\"  \r\n"
                  "PRODUCTVERNUM='2015.1.0'\r\nProductCoreGuid = " + GUID + "\r\n"
                  "[Other]\r\nProductVERNUM=9.9\r\n")
        for label, data in (("quotes and case", quoted.encode()),
                            ("UTF-16 with BOM", b"\xff\xfe" + settings_text().encode("utf-16-le")),
                            ("UTF-16 big-endian with BOM",
                             b"\xfe\xff" + settings_text().encode("utf-16-be"))):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(settings=data)
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                # The backups carry the unquoted version text.
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_settings_beside_a_program_without_extension_in_a_dotted_folder(self):
        c = self.case
        self.installation()
        c.registry(uninstall_key(c.native(INST, True)))
        program = c.package(PACKAGED, at="update.1", program_name="Kestrune")
        result = c.run(program)
        self.assertRun(result, [("ERROR", c.native("update.1/Kestrune.ini") + " does not set ProductName")],
                       EXIT_SETTINGS)
        (c.host("update.1") / "Kestrune.ini").write_text(settings_text())
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))


    def test_package_deeper_than_max_path_is_found_whole(self):
        c = self.case
        deep = "Deep/" + "/".join(["d" * 60] * 5)  # about 310 characters on either target
        self.installation()
        c.registry(uninstall_key(c.native(INST, True)))
        program = c.package(PACKAGED, at=deep, settings=settings_text())
        self.assertGreater(len(c.native(program)), 300)
        before = c.tree(INST)
        if self.target.kind == "wine":
            # Found whole, up to the version check: the library's own process
            # is started from the program's short (8.3) path, which Wine turns
            # back into the long one it cannot start.
            self.assertRun(c.run(program, by_bare_name=True), [WRONG_VERSION], EXIT_WRONG_VERSION)
            self.assertTree(INST, before)
            return
        self.assertRun(c.run(program, by_bare_name=True), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))


class LocatorTests(Scenario):
    def test_uninstall_location_with_or_without_final_separator_and_spaces(self):
        for label, trailing, pad in (("final separator, spaces around", True, "  "),
                                     ("no final separator", False, ""),
                                     ("tab, line feed and return around", True, "\t\r\n"),
                                     ("Unicode spaces around", True, "\u3000\u00a0\u2009")):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(keys=[uninstall_key(pad + c.native(INST, trailing) + pad)])
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
                self.assertEqual(c.library_calls(INST), ONE_CALL)

    def test_relative_location_is_taken_against_the_package_folder(self):
        c = self.case
        sep = "\\" if "\\" in c.native(INST) else "/"
        program = self.standard(keys=[uninstall_key(".." + sep + INST.replace("/", sep) + sep)])
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
        self.assertEqual(c.library_calls(INST), ONE_CALL)

    def test_uninstall_entry_only_under_wow6432node(self):
        c = self.case
        program = self.standard(keys=[uninstall_key(c.native(INST, True), wow=True)])
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_plain_uninstall_entry_wins_over_wow6432node(self):
        if not self.target.separate_wow_node:
            self.skipTest("both paths name one key in a 64-bit prefix")
        variants = [
            ("plain entry with a location", "Apps/PLAIN", None),
            # An entry that opens is the one used, even when its location
            # cannot be read: the product keys come next, not the other entry.
            ("plain entry without a location", None, "Apps/LANG"),
        ]
        for label, plain, lang in variants:
            with self.subTest(label):
                c = self.fresh_case()
                for at in ("Apps/PLAIN", "Apps/WOW", "Apps/LANG"):
                    self.installation(at)
                keys = [uninstall_key(c.native(plain, True) if plain else None),
                        uninstall_key(c.native("Apps/WOW", True), wow=True),
                        product_key("en-US", c.native("Apps/LANG", True))]
                program = self.standard(at="Apps/Unused", keys=keys)
                winner = plain or lang
                before = {at: c.tree(at) for at in ("Apps/PLAIN", "Apps/WOW", "Apps/LANG")}
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                for at, tree in before.items():
                    self.assertTree(at, updated(tree, PACKAGED, list(PACKAGED)) if at == winner else tree)

    def test_no_uninstall_entry_for_the_product_code(self):
        c = self.case
        program = self.standard(keys=[
            uninstall_key(c.native(INST, True), guid="{00000000-0000-0000-0000-000000000000}"),
            product_key("en-US", c.native(INST, True))])
        before = c.tree(INST)
        self.assertRun(c.run(program), [NOT_INSTALLED], EXIT_NOT_INSTALLED)
        self.assertTree(INST, before)
        self.assertEqual(c.library_calls(INST), [])

    def test_blank_location_falls_back_to_the_first_language_key_with_a_location(self):
        c = self.case
        for at in ("Apps/DE", "Apps/JA"):
            self.installation(at)
        program = self.standard(at="Apps/Unused", keys=[
            uninstall_key("  \t "),
            product_key("en-US", ""),
            product_key("zh-CN", "   "),
            product_key("cs-CZ", None),
            product_key("ja-JP", c.native("Apps/JA", True)),
            product_key("de-DE", c.native("Apps/DE", True)),
        ])
        before = {at: c.tree(at) for at in ("Apps/DE", "Apps/JA", "Apps/Unused")}
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree("Apps/DE", updated(before["Apps/DE"], PACKAGED, list(PACKAGED)))
        self.assertTree("Apps/JA", before["Apps/JA"])
        self.assertTree("Apps/Unused", before["Apps/Unused"])

    def test_language_key_only_under_wow6432node(self):
        c = self.case
        program = self.standard(keys=[uninstall_key(""),
                                      product_key("it-IT", c.native(INST, False), wow=True)])
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_language_key_that_opens_is_not_tried_again_under_wow6432node(self):
        if not self.target.separate_wow_node:
            self.skipTest("both paths name one key in a 64-bit prefix")
        c = self.case
        for at in ("Apps/WOW", "Apps/FR"):
            self.installation(at)
        program = self.standard(at="Apps/Unused", keys=[
            uninstall_key(""),
            product_key("en-US", ""),
            product_key("en-US", c.native("Apps/WOW", True), wow=True),
            product_key("fr-FR", c.native("Apps/FR", True)),
        ])
        before = {at: c.tree(at) for at in ("Apps/WOW", "Apps/FR")}
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree("Apps/FR", updated(before["Apps/FR"], PACKAGED, list(PACKAGED)))
        self.assertTree("Apps/WOW", before["Apps/WOW"])

    def _padded(self, length: int) -> str:
        """A folder below Apps whose program-side path with its final
        separator is exactly `length` characters long."""
        base = self.case.native("Apps", trailing=True)
        return "Apps/" + "L" * (length - len(base) - 1)

    def test_location_of_127_characters_is_read_and_128_falls_back(self):
        c = self.case
        inst = self._padded(127)
        program = self.standard(at=inst, keys=[uninstall_key(c.native(inst, True))])
        self.assertEqual(len(c.native(inst, True)), 127)
        before = c.tree(inst)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(inst, updated(before, PACKAGED, list(PACKAGED)))

        c = self.fresh_case()
        inst = self._padded(128)
        self.installation("Apps/Fallback")
        program = self.standard(at=inst, keys=[uninstall_key(c.native(inst, True)),
                                               product_key("en-US", c.native("Apps/Fallback", True))])
        before = {at: c.tree(at) for at in (inst, "Apps/Fallback")}
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree("Apps/Fallback", updated(before["Apps/Fallback"], PACKAGED, list(PACKAGED)))
        self.assertTree(inst, before[inst])

    def test_absent_location_falls_back_to_language_keys(self):
        c = self.case
        program = self.standard(keys=[uninstall_key(None),
                                      product_key("tr-TR", c.native(INST, True))])
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_nothing_found_stops_the_run(self):
        variants = [
            ("blank location, no language keys", lambda c: [uninstall_key("   ")]),
            ("absent location, only empty language locations",
             lambda c: [uninstall_key(None), product_key("en-US", ""), product_key("tr-TR", " "),
                        product_key("ja-JP", "\u3000")]),
            ("location too long, no language keys",
             lambda c: [uninstall_key(c.native(INST, True) + "x" * 200)]),
            # Registered, but gone or a file: no lock could be made there,
            # and "another update is running" would be retried for ever.
            ("registered folder does not exist", lambda c: [uninstall_key(c.native("Apps/Gone", True))]),
            ("a file where the folder is registered", lambda c: [uninstall_key(c.native("Apps/file"))]),
        ]
        for label, keys in variants:
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(keys=keys(c))
                c.host("Apps/file").write_bytes(b"not a folder\n")
                before, pkg_before = c.tree("Apps"), c.tree("pkg")
                self.assertRun(c.run(program), [NOT_FOUND], EXIT_NOT_FOUND)
                self.assertTree("Apps", before)
                self.assertTree("pkg", pkg_before)
                self.assertEqual(c.library_calls(INST), [])
                self.assertEqual(c.library_calls("pkg"), [])


class ProbeTests(Scenario):
    def run_logged(self, program: str) -> tuple[RunResult, str]:
        """Runs the updater with a log; the result and the log's text."""
        c = self.case
        switch = "/log" if self.target.kind == "wine" else "--log"
        result = c.run(program, args=[switch, c.native("probe.log")])
        log = c.host("probe.log")
        return result, log.read_text(encoding="utf-8") if log.exists() else ""

    def assertNothingLeftRunning(self, c: Case) -> None:
        """Nothing the test library started outlives the run."""
        if self.target.kind == "posix":
            left = lambda: [pid for (pid,) in c.library_facts(INST, "spawned")
                            if process_alive(int(pid))]
        else:
            left = lambda: find_processes(lambda first: first.lower().endswith("ping.exe"),
                                          f"WINEPREFIX={self.target.prefix}".encode())
        deadline = time.monotonic() + 5  # the time a killed process takes to go
        while left() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(left(), [], "a process the library started outlived the run")

    def test_reported_versions_that_pass(self):
        for label, vernum, text, lib in (
                ("8-bit", VER, ansi(VER), "ordinal18"),
                ("UTF-16", VER, utf16(VER), "ordinal18"),
                ("8-bit of four characters", "2015", ansi("2015"), "ordinal18"),
                ("UTF-16 inside a longer text", VER, utf16("V " + VER + " x"), "ordinal18"),
                ("reached through a link", VER, ansi(VER), "link"),
                ("with a library of its own beside it", VER, ansi(VER), "origin"),
                ("starting a process that would outlive the run", VER, b"!spawn " + ansi(VER),
                 "ordinal18"),
                ("writing to every descriptor it holds", VER, b"!scribble " + ansi(VER),
                 "ordinal18")):
            # The Windows loader looks beside a library by itself, and the
            # Windows test library knows no handle to write to.
            if (lib == "origin" or text.startswith(b"!scribble")) and self.target.kind != "posix":
                continue
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(version=text, settings=settings_text(vernum=vernum), lib=lib)
                before = c.tree(INST)
                # Standard error and the log carry only the run's own words.
                result, log = self.run_logged(program)
                self.assertRun(result, [DONE], EXIT_DONE)
                self.assertNotIn("forged", log)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED), ver=vernum))
                self.assertEqual(c.library_calls(INST), ONE_CALL)
                if text.startswith(b"!spawn"):
                    self.assertEqual(len(c.library_facts(INST, "spawned")), 1)
                    self.assertNothingLeftRunning(c)

    def test_reported_versions_that_fail(self):
        for label, vernum, text in (("8-bit", VER, ansi("2015.2.0")),
                                    ("UTF-16", VER, utf16("2015.2.0")),
                                    ("short 8-bit is not narrowed", "21", ansi("2015")),
                                    ("case matters", "2015.1.0-rc", ansi("2015.1.0-RC")),
                                    ("nothing reported", VER, b"")):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(version=text, settings=settings_text(vernum=vernum))
                before = c.tree(INST)
                self.assertRun(c.run(program), [WRONG_VERSION], EXIT_WRONG_VERSION)
                self.assertTree(INST, before)
                self.assertEqual(c.library_calls(INST), ONE_CALL)

    def test_version_in_the_folder_path_does_not_pass_a_wrong_version(self):
        c = self.case
        inst = f"Apps/VORDA {VER}"
        program = self.standard(at=inst, version=ansi("2014.9.9"))
        before = c.tree(inst)
        self.assertRun(c.run(program), [WRONG_VERSION], EXIT_WRONG_VERSION)
        self.assertTree(inst, before)

    def test_missing_library_is_not_looked_for_in_the_package(self):
        c = self.case
        program = self.standard(lib=None)
        c.version_library("pkg", ansi(VER))  # a planted library beside the updater
        before, pkg_before = c.tree(INST), c.tree("pkg")
        self.assertRun(c.run(program), [LIB_MISSING], EXIT_LIB_MISSING)
        self.assertTree(INST, before)
        self.assertTree("pkg", pkg_before)
        self.assertEqual(c.library_calls("pkg"), [])

    def test_unusable_libraries_fail_the_check_without_a_crash(self):
        # What the log gives as the cause tells a library refused before the
        # loader saw it from one that was loaded and crashed.
        refused, crashed = "could not be loaded", "crashed or hung when called"
        for label, kind, text, calls, cause in (
                ("no entry 18", "no18", ansi(VER), [], "has no version entry"),
                ("not a library", "notlib", ansi(VER), [], refused),
                ("cut short", "truncated", ansi(VER), [], refused),
                ("zeros inside", "zeroed", ansi(VER), [], crashed),
                ("faults", "ordinal18", ansi("!fault"), ONE_CALL, crashed),
                ("never returns", "ordinal18", ansi("!hang"), ONE_CALL, crashed),
                ("answers a byte every 5 s", "ordinal18", ansi("!dribble"), ONE_CALL, crashed)):
            # Windows loads a library whose zeros fall where nothing is run
            # from, and the test library's do: only the POSIX loader trips.
            # Only the POSIX test library finds its way to the pipe.
            if kind == "zeroed" or text == ansi("!dribble"):
                if self.target.kind != "posix":
                    continue
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(lib=kind, version=text)
                before = c.tree(INST)
                # The box shows that the run itself lived through it.
                result, log = self.run_logged(program)
                self.assertRun(result, [WRONG_VERSION], EXIT_WRONG_VERSION)
                self.assertTree(INST, before)
                self.assertEqual(c.library_calls(INST), calls)
                self.assertIn(f"VoUInfo.dll {cause}", log)

    def test_the_library_runs_without_the_run_s_rights(self):
        """As root on POSIX, the library runs as an unprivileged user with no
        supplementary groups, also when the installation folder is root's
        alone. Under Wine, the Administrators group is only good to deny:
        the removed privileges and the low integrity level do not show there."""
        root_only = [False, True] if self.target.kind == "posix" else [False]
        for closed in root_only:
            with self.subTest("installation only root may enter" if closed else "open installation"):
                c = self.fresh_case()
                program = self.standard()
                records = INST
                if closed:
                    if os.geteuid() != 0:
                        self.skipTest("needs root")
                    # The library cannot reach its own folder as nobody: it
                    # keeps its record and finds its version elsewhere.
                    records = "records"
                    c.version_library(records, ansi(VER))
                    os.chmod(c.host(records), 0o755)
                    c.env["VOUINFO_DIR"] = str(c.host(records))
                    os.chmod(c.host(INST), 0o700)
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
                self.assertEqual(c.library_calls(records), ONE_CALL)
                (who,) = c.library_facts(records, "who")
                if self.target.kind == "posix":
                    ruid, euid, rgid, egid, groups = who
                    if os.geteuid() == 0:
                        self.assertNotIn("0", (ruid, euid, rgid, egid), who)
                        self.assertEqual(groups, "0", who)
                else:
                    member, _, _, admins, _ = who
                    self.assertEqual(member, "0", who)  # CheckTokenMembership
                    attributes = int(admins, 16)
                    self.assertTrue(attributes & 0x10, who)  # SE_GROUP_USE_FOR_DENY_ONLY
                    self.assertFalse(attributes & 0x4, who)  # SE_GROUP_ENABLED


class ReplaceTests(Scenario):
    def test_rollback_takes_the_update_back_or_changes_nothing(self):
        wine = self.target.kind == "wine"
        returned = ("VORDA+ UPDATE", f"VORDA+ was returned to version {VER}.")

        def backup_gone(c):
            os.remove(c.host(f"{INST}/bin/core.dll.{VER}"))

        def changed_since(c):
            c.write(INST, {"res/strings.txt": b"edited after the update\n"})

        def read_only(c):  # Wine shows a file without write permission as read-only
            for rel in ("VORDA.exe", f"VORDA.exe.{VER}", "bin/core.dll", f"bin/core.dll.{VER}"):
                os.chmod(c.host(f"{INST}/{rel}"), 0o444)
        # Each: what happens to the updated installation, then the rollback's
        # outcome and the line its log names the cause with.
        variants = [("whole", lambda c: None, EXIT_DONE, "took back "),
                    ("a backup missing", backup_gone, EXIT_COPY_FAILED, "failed: cannot take back "),
                    ("a file changed after the update", changed_since, EXIT_COPY_FAILED,
                     "failed: cannot take back ")]
        if wine:
            variants.append(("read-only files", read_only, EXIT_DONE, "took back "))
        for label, change, status, logged in variants:
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard()
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                change(c)
                after_update = c.tree(INST)
                log = [UnattendedTests.sw(self, "rollback"), UnattendedTests.sw(self, "log"),
                       c.native("rollback.log")]
                result = c.run(program, args=log)
                self.assertRun(result, [returned] if status == EXIT_DONE else [COPY_FAILED], status)
                events = UnattendedTests.log_of(self, "rollback.log")
                self.assertTrue(any(e.startswith(logged) for e in events), events)
                if status != EXIT_DONE:
                    self.assertTree(INST, after_update)
                    continue
                # Every installed file holds its old bytes again, every backup is gone.
                self.assertTree(INST, before)
                self.assertEqual(sum(e.startswith("took back ") for e in events), len(PACKAGED), events)
                self.assertEqual(events[-2], "summary: took back 4, passed over 2, backups removed 4, "
                                             "the update's files removed 4")
                # Again: nothing to take back.
                self.assertRun(c.run(program, args=log), [returned], EXIT_DONE)
                self.assertIn("nothing to take back: no installed counterpart of a packaged file has "
                              "its backup", UnattendedTests.log_of(self, "rollback.log"))
                self.assertTree(INST, before)

    def test_typical_update_with_subfolders(self):
        c = self.case
        package = {**PACKAGED,
                   "new/extra.dll": b"no counterpart\n",  # no folder of that name installed
                   "bin/added.dll": b"no counterpart either\n",
                   "empty": DIR}
        program = self.standard(package=package)
        before, pkg_before = c.tree(INST), c.tree("pkg")
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
        self.assertTree("pkg", pkg_before)

    def test_package_folder_reached_by_two_paths_is_walked_under_each(self):
        c = self.case
        files = {**INSTALLED, "bin64/core.dll": b"old 64-bit core\n"}
        program = self.standard(files=files)
        os.symlink("bin", c.host("pkg/bin64"))
        # Links back up into the package end the walk there, however many.
        os.symlink("..", c.host("pkg/bin/up"))
        os.symlink("../..", c.host("pkg/bin/sub/up"))
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        package = {**PACKAGED, "bin64/core.dll": PACKAGED["bin/core.dll"]}
        self.assertTree(INST, updated(before, package, list(package)))

    def test_installed_file_written_after_the_plan_is_left_and_the_update_undone(self):
        # Stopped once the journal is written, an installed file that no step
        # has reached yet is written to by another program. Its step will not
        # move it (an undo could not tell it from any other file), and what
        # the run had done is undone around it.
        c = self.case
        # Enough files that the run is still at work when it is stopped.
        fill = {f"fill/f{i:04}.dat": f"new {i}\n".encode() for i in range(4000)}
        package = {**PACKAGED, **fill}
        program = self.standard(files={**INSTALLED, **{k: b"old\n" for k in fill}},
                                package=package)
        before = c.tree(INST)
        written = b"written by another program meanwhile\n"
        changed: list[str] = []

        def change() -> None:
            unreached = []
            for rel in walk_order(c.host("pkg")):
                folder, _, name = f"{INST}/{rel}".rpartition("/")
                if rel in package and not any(e.name.startswith(name + ".")
                                              for e in os.scandir(c.host(folder))):
                    unreached.append(rel)
            if not unreached:
                raise AssertionError("stopped after the run had reached every file")
            # A file some way ahead of the run, not the last: the run then
            # fails, and undoes, after a hundred files rather than thousands,
            # which a loaded machine under Wine finishes well within the limit.
            rel = unreached[min(100, len(unreached) - 1)]
            c.host(f"{INST}/{rel}").write_bytes(written)
            changed.append(rel)
        result = c.run(program, at_stop=(f"{INST}/Kestrune.journal", change))
        self.assertTrue(result.stopped, result.describe())
        self.assertRun(result, [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(INST, {**before, changed[0]: written})

    def test_set_aside_file_stays_when_the_backup_name_holds_no_file(self):
        # A folder, or a link to a file (which Wine shows as a plain file),
        # at the backup name: the set-aside file is the only old copy.
        for planted in ("folder", "link to a file"):
            with self.subTest(planted):
                c = self.fresh_case()
                files = dict(INSTALLED)
                if planted == "folder":
                    files[f"bin/core.dll.{VER}/note.txt"] = b"a folder at the backup name\n"
                program = self.standard(files=files)
                if planted != "folder":
                    c.write("Apps/outside", {"other.dll": b"another program's library\n"})
                    os.symlink(c.host("Apps/outside/other.dll"), c.host(f"{INST}/bin/core.dll.{VER}"))
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                expected = updated(before, PACKAGED, [r for r in PACKAGED if r != "bin/core.dll"])
                expected.update({"bin/core.dll": PACKAGED["bin/core.dll"],
                                 "bin/core.dll.~kestrune": INSTALLED["bin/core.dll"]})
                self.assertTree(INST, expected)

    def test_destination_that_is_a_folder_is_passed_over(self):
        c = self.case
        files = {**INSTALLED, "plugins/a.dll": b"plugin\n"}
        package = {**PACKAGED, "plugins": b"a file where a folder is installed\n"}
        program = self.standard(files=files, package=package)
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, package, list(PACKAGED)))

    def test_updater_files_are_never_copied(self):
        c = self.case
        name = self.target.program_name
        own = {name: b"an older updater\n", "Kestrune.ini": b"[Product]\r\n",
               "tools/Kestrune notes.txt": b"old notes\n"}
        package = {**PACKAGED, "tools/Kestrune notes.txt": b"new notes\n"}
        program = self.standard(files={**INSTALLED, **own}, package=package)
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, package, list(PACKAGED)))

    def test_installation_path_containing_the_updater_name_is_updated(self):
        c = self.case
        inst = "Apps/Kestrune/VORDA"
        program = self.standard(at=inst)
        before = c.tree(inst)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(inst, updated(before, PACKAGED, list(PACKAGED)))

    def test_second_run_keeps_the_first_backups(self):
        c = self.case
        program = self.standard()
        original = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        second = {rel: data + b"second build\n" for rel, data in PACKAGED.items()}
        c.write("pkg", second)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        expected = updated(original, PACKAGED, list(PACKAGED))
        expected.update(second)
        self.assertTree(INST, expected)

    def test_backup_without_its_file_is_left_alone(self):
        c = self.case
        files = {**INSTALLED, f"bin/gone.dll.{VER}": b"backup of a file no longer installed\n"}
        package = {**PACKAGED, "bin/gone.dll": b"new gone\n"}
        program = self.standard(files=files, package=package)
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, package, list(PACKAGED)))

    def _fail_last_by_long_name(self, existing_backups: bool) -> None:
        """A file whose backup name would be longer than a file name may be
        fails to be replaced; it is placed last in the package's order so that
        every other file has been replaced when it fails."""
        c = self.case
        inst, pkg = "V", "P"
        files = {"a.dll": b"old a\n", "b.dll": b"old b\n", "sub/c.dll": b"old c\n",
                 "sub/d.dll": b"old d\n"}
        package = {rel: b"new " + data[4:] for rel, data in files.items()}
        if existing_backups:
            files.update({f"a.dll.{VER}": b"older a\n", f"sub/c.dll.{VER}": b"older c\n"})
        self.installation(inst, files)
        program = c.package(package, at=pkg, settings=settings_text())
        c.registry(uninstall_key(c.native(inst, True)))
        # Its backup name (name, ".", version) exceeds 255 bytes.
        candidates = [f"{folder}{first}{'L' * 246}" for folder in ("", "sub/")
                      for first in "abcdefghijklmnopqrstuvwxyz0123456789"]
        def rewrite_first(name: str) -> None:
            # File systems that list newest entries first (tmpfs) put the
            # oldest last, whatever its name.
            for rel in package:
                (c.host(pkg) / rel).unlink()
            (c.host(pkg) / name).write_bytes(b"new long\n")
            write_tree(c.host(pkg), package)

        for long_name, oldest in [(n, o) for o in (False, True) for n in candidates]:
            if oldest:
                rewrite_first(long_name)
            else:
                (c.host(pkg) / long_name).write_bytes(b"new long\n")
            order = [r for r in walk_order(c.host(pkg)) if r in package or r == long_name]
            if order[-1] == long_name:
                break
            (c.host(pkg) / long_name).unlink()
        else:
            self.fail("no name put the failing file last in the package's order")
        (c.host(inst) / long_name).write_bytes(b"old long\n")
        before, pkg_before = c.tree(inst), c.tree(pkg)
        self.assertRun(c.run(program), [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(inst, before)
        self.assertTree(pkg, pkg_before)

    def test_failure_late_in_the_list_undoes_the_whole_update(self):
        self._fail_last_by_long_name(existing_backups=False)

    def test_failure_undoes_replacements_beside_existing_backups(self):
        self._fail_last_by_long_name(existing_backups=True)


class ConfinementTests(Scenario):
    """The elevated run writes only inside the real installation, reads only
    from its package, never overwrites an earlier backup, and skips no
    folder in silence."""

    def test_a_link_inside_the_installation_stops_the_update_before_any_change(self):
        # A linked folder with a folder below it, one that holds only files,
        # a link to a file at an installed file's name (which Wine shows
        # as a plain file: the run finds it at its step and undoes), and a
        # link to a folder there (a link, never a folder to pass over).
        for linked, outside in (("bin", {"core.dll": b"a file of another program\n",
                                         "sub/deep.dat": b"its data\n"}),
                                ("res", {"strings.txt": b"another program's strings\n"}),
                                ("res/strings.txt", {"strings.txt": b"its strings\n"}),
                                ("bin/core.dll", {"core.dll/inside.txt": b"another folder\n"})):
            with self.subTest(linked):
                c = self.fresh_case()
                self.installation(files={k: v for k, v in INSTALLED.items()
                                         if k != linked and not k.startswith(linked + "/")})
                c.write(f"Outside/{linked.split('/')[0]}", outside)
                c.host(f"{INST}/{linked}").parent.mkdir(parents=True, exist_ok=True)
                os.symlink(c.host(f"Outside/{linked}"), c.host(f"{INST}/{linked}"))
                program = c.package(PACKAGED, settings=settings_text())
                c.registry(uninstall_key(c.native(INST, True)))
                before, outside_before = c.tree(INST), c.tree("Outside")
                self.assertRun(c.run(program), [COPY_FAILED], EXIT_COPY_FAILED)
                self.assertTree(INST, before)
                self.assertTree("Outside", outside_before)

    def test_an_installation_folder_reached_through_a_link_is_updated(self):
        c = self.case
        program = self.standard(keys=[])
        os.symlink("VORDA", c.host("Apps/Shortcut"))
        c.registry(uninstall_key(c.native("Apps/Shortcut", True)))
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_a_packaged_link_to_an_outside_file_is_not_copied(self):
        c = self.case
        c.write("Secret", {"admin-only.dat": b"readable by administrators only\n"})
        package = {k: v for k, v in PACKAGED.items() if k != "bin/core.dll"}
        program = self.standard(package=package)
        os.symlink(c.host("Secret/admin-only.dat"), c.host("pkg/bin/core.dll"))
        os.symlink(c.host("Secret"), c.host("pkg/res/extra"))
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, package, list(package)))

    def test_a_package_inside_the_installation_is_never_a_destination(self):
        c = self.case
        self.installation()
        # Installed "update/tool.dll" is the package's own "tool.dll".
        package = {"tool.dll": b"the package's tool\n", "update/tool.dll": b"another\n"}
        program = c.package(package, at=f"{INST}/update", settings=settings_text())
        c.registry(uninstall_key(c.native(INST, True)))
        before = c.tree(INST)
        self.assertRun(c.run(program), [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(INST, before)

    def test_a_packaged_file_named_like_a_backup_is_passed_over(self):
        c = self.case
        files = {**INSTALLED, f"bin/core.dll.{VER}": b"the backup from before\n"}
        package = {**PACKAGED, f"bin/core.dll.{VER}": b"zipped from an installation\n",
                   "bin/core.dll.~kestrune": b"a scratch name\n"}
        program = self.standard(files=files, package=package)
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        expected = updated(before, PACKAGED, [r for r in PACKAGED if r != "bin/core.dll"])
        expected["bin/core.dll"] = PACKAGED["bin/core.dll"]
        self.assertTree(INST, expected)

    def test_a_link_at_the_lock_name_is_removed_and_its_target_untouched(self):
        for label, target in (("to a file", "Outside/precious.dat"), ("dangling", "Outside/none")):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard()
                c.write("Outside", {"precious.dat": b"another program's file\n"})
                before, outside = c.tree(INST), c.tree("Outside")
                os.symlink(c.host(target), c.host(f"{INST}/Kestrune.lock"))
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertFalse(os.path.lexists(c.host(f"{INST}/Kestrune.lock")))
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
                self.assertTree("Outside", outside)

    def test_a_package_folder_past_the_path_limit_is_replaced(self):
        # Past MAX_PATH for Windows, past PATH_MAX for the POSIX port.
        c = self.case
        depth = 2 if self.target.kind == "wine" else 20
        parts = ["p" * 200 + str(i) for i in range(depth)]
        self.installation()
        program = c.package(PACKAGED, settings=settings_text())
        c.registry(uninstall_key(c.native(INST, True)))
        for root, data in ((c.host(INST), b"old deep\n"), (c.host("pkg"), b"new deep\n")):
            deep_write(root, parts, "deep.dll", data)
        self.assertGreater(len(c.native(INST)) + sum(len(p) + 1 for p in parts),
                           260 if self.target.kind == "wine" else 4096)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertEqual(deep_read(c.host(INST), parts, "deep.dll"), b"new deep\n")
        self.assertEqual(deep_read(c.host(INST), parts, f"deep.dll.{VER}"), b"old deep\n")
        self.assertEqual(c.host(f"{INST}/bin/core.dll").read_bytes(), PACKAGED["bin/core.dll"])


def deep_write(root, parts: list[str], name: str, data: bytes) -> None:
    """Writes a file below folders too deep for one path, a folder at a time."""
    fd = os.open(root, os.O_RDONLY)
    try:
        for part in parts:
            try:
                os.mkdir(part, dir_fd=fd)
            except FileExistsError:
                pass
            fd_next = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = fd_next
        out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
        os.write(out, data)
        os.close(out)
    finally:
        os.close(fd)


def deep_read(root, parts: list[str], name: str) -> bytes:
    fd = os.open(root, os.O_RDONLY)
    try:
        for part in parts:
            fd_next = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = fd_next
        inp = os.open(name, os.O_RDONLY, dir_fd=fd)
        data = os.read(inp, 1 << 20)
        os.close(inp)
        return data
    finally:
        os.close(fd)


class RunningTests(Scenario):
    def test_product_running_from_the_installation_stops_the_run(self):
        for label, trailing in (("final separator", True), ("no final separator", False)):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(trailing=trailing)
                c.place_product(f"{INST}/VORDA.exe")
                before = c.tree(INST)
                self.assertRun(c.run(program, product=f"{INST}/VORDA.exe"), [RUNNING], EXIT_RUNNING)
                self.assertTree(INST, before)

    def test_product_is_seen_whatever_form_the_registry_gives_its_folder(self):
        def doubled(c):
            p = c.native(INST, True)
            sep = p[-1]
            at = p.rfind("VORDA")
            return p[:at] + sep + "." + sep + p[at:]

        def linked(c):
            os.symlink("VORDA", c.host("Apps/Link"))
            return c.native("Apps/Link", True)

        variants = [("forward slashes", INST, lambda c: c.native(INST, True).replace("\\", "/"), None),
                    ("doubled separator and a dot", INST, doubled, None),
                    ("through a folder link", INST, linked, "posix"),
                    ("other letter case beyond ASCII", "Apps/VORDA \u00dc",
                     lambda c: c.native("Apps/VORDA \u00dc", True), "wine")]
        for label, inst, location, only in variants:
            if only and self.target.kind != only:
                continue
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(at=inst, keys=[])
                c.registry(uninstall_key(location(c)))
                c.place_product(f"{inst}/VORDA.exe")
                started_as = inst.replace("\u00dc", "\u00fc")
                before = c.tree(inst)
                self.assertRun(c.run(program, product=f"{started_as}/VORDA.exe"), [RUNNING],
                               EXIT_RUNNING)
                self.assertTree(inst, before)

    def test_message_names_vorda_whatever_the_product_name(self):
        c = self.case
        files = {**INSTALLED, "Main.exe": b"main\n"}
        program = self.standard(files=files, settings=settings_text(name="Main.exe"))
        c.place_product(f"{INST}/Main.exe")
        before = c.tree(INST)
        self.assertRun(c.run(program, product=f"{INST}/Main.exe"), [RUNNING], EXIT_RUNNING)
        self.assertTree(INST, before)

    def test_same_program_from_another_folder_does_not_stop_the_update(self):
        c = self.case
        program = self.standard()
        c.place_product("Apps/Elsewhere/VORDA.exe")
        before = c.tree(INST)
        self.assertRun(c.run(program, product="Apps/Elsewhere/VORDA.exe"), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))


class PosixOnlyTests(Scenario):
    only = frozenset({"posix"})

    def test_settings_with_utf8_byte_order_mark(self):
        c = self.case
        program = self.standard(settings=b"\xef\xbb\xbf" + settings_text().encode())
        before = c.tree(INST)
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_registry_file_in_utf8_and_regedit4_form(self):
        for label, header in (("UTF-8", "Windows Registry Editor Version 5.00"), ("REGEDIT4", "REGEDIT4")):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(keys=[])
                key = uninstall_key(c.native(INST, True))
                c.registry_file = c.root / "registry.reg"
                c.registry_file.write_bytes(reg_file_text([key], header=header).encode())
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_absent_registry_file_means_not_installed(self):
        c = self.case
        program = self.standard()
        c.registry_file = c.root / "no-such-registry.reg"
        before = c.tree(INST)
        self.assertRun(c.run(program), [NOT_INSTALLED], EXIT_NOT_INSTALLED)
        self.assertTree(INST, before)

    def test_replaced_file_takes_the_packaged_permission_bits_whatever_the_umask(self):
        c = self.case
        program = self.standard()
        os.chmod(c.host(INST) / "bin/core.dll", 0o600)
        os.chmod(c.host("pkg") / "bin/core.dll", 0o754)
        old_umask = os.umask(0o077)
        try:
            result = c.run(program)
        finally:
            os.umask(old_umask)
        self.assertRun(result, [DONE], EXIT_DONE)
        self.assertEqual(os.stat(c.host(INST) / "bin/core.dll").st_mode & 0o7777, 0o754)
        self.assertEqual(os.stat(c.host(INST) / f"bin/core.dll.{VER}").st_mode & 0o7777, 0o600)


    def test_a_disk_that_fills_while_the_journal_is_written_leaves_no_draft(self):
        c = self.case
        program = self.standard()
        before = c.tree(INST)
        c.file_size_limit = 64  # less than any plan
        self.assertRun(c.run(program), [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(INST, before)


class WineOnlyTests(Scenario):
    only = frozenset({"wine"})

    def _last_replaced(self, package: dict) -> str:
        order = [r for r in walk_order(self.case.host("pkg")) if r in package]
        return order[-1]

    def test_installed_file_in_use_late_in_the_list_undoes_the_update(self):
        # Held for the whole run: a person at the screen is given 30 s to
        # close what holds it, then the update is undone.
        c = self.case
        package = {**PACKAGED, "bin/extra1.dll": b"new 1\n", "bin/extra2.dll": b"new 2\n"}
        files = {**INSTALLED, "bin/extra1.dll": b"old 1\n", "bin/extra2.dll": b"old 2\n"}
        program = self.standard(files=files, package=package)
        held = self._last_replaced(package)
        before = c.tree(INST)
        self.assertRun(c.run(program, hold=[f"{INST}/{held}"]), [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(INST, before)

    def test_packaged_file_that_cannot_be_read_undoes_the_update(self):
        c = self.case
        files = {**INSTALLED, f"bin/core.dll.{VER}": b"backup from an earlier run\n"}
        program = self.standard(files=files)
        held = self._last_replaced(PACKAGED)
        before = c.tree(INST)
        # Quiet: the short waits, not the 30 s a person at the screen gets.
        self.assertRun(c.run(program, hold=[f"pkg/{held}"], args=["/quiet"]), [], EXIT_COPY_FAILED)
        self.assertTree(INST, before)

    def test_read_only_installed_and_packaged_files_are_replaced_or_undone(self):
        # Wine shows a file without write permission as read-only.
        read_only = ["VORDA.exe", "bin/core.dll"]
        for failing in (False, True):
            with self.subTest("failure undone" if failing else "success"):
                c = self.fresh_case()
                files = {**INSTALLED, f"bin/core.dll.{VER}": b"backup from an earlier run\n"}
                program = self.standard(files=files)
                for rel in read_only:
                    os.chmod(c.host(f"{INST}/{rel}"), 0o444)
                    os.chmod(c.host(f"pkg/{rel}"), 0o444)
                before = c.tree(INST)
                held = [f"{INST}/{self._last_replaced(PACKAGED)}"] if failing else []
                # Quiet when failing: the short waits for the file held.
                result = c.run(program, hold=held, args=["/quiet"] if failing else [])
                if failing:
                    self.assertRun(result, [], EXIT_COPY_FAILED)
                    self.assertTree(INST, before)
                    continue
                self.assertRun(result, [DONE], EXIT_DONE)
                # The set-aside read-only file is dropped; new files are writable.
                expected = updated(before, PACKAGED, [r for r in PACKAGED if r != "bin/core.dll"])
                expected["bin/core.dll"] = PACKAGED["bin/core.dll"]
                self.assertTree(INST, expected)
                for rel in read_only:
                    self.assertTrue(os.stat(c.host(f"{INST}/{rel}")).st_mode & 0o200, rel)

    def test_names_match_whatever_their_letter_case(self):
        # Each installation folder is listed once and names looked up in the
        # listing: as Windows matches them, letter case aside.
        rows = (
            # An installed file spelt otherwise than the packaged one is its
            # counterpart; the names the update gives are the package's.
            ("installed name", {"bin/Core.DLL": INSTALLED["bin/core.dll"]},
             {"bin/core.dll": PACKAGED["bin/core.dll"],
              f"bin/core.dll.{VER}": INSTALLED["bin/core.dll"]}),
            # An earlier backup spelt otherwise takes the backup name: it is
            # kept, and the installed file only set aside until the end.
            ("backup name", {"bin/core.dll": INSTALLED["bin/core.dll"],
                             f"bin/CORE.DLL.{VER}": b"an earlier backup\n"},
             {"bin/core.dll": PACKAGED["bin/core.dll"],
              f"bin/CORE.DLL.{VER}": b"an earlier backup\n"}),
        )
        for name, installed, expected_core in rows:
            with self.subTest(name):
                c = self.fresh_case()
                files = {k: v for k, v in INSTALLED.items() if k != "bin/core.dll"}
                program = self.standard(files={**files, **installed})
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                expected = updated({k: v for k, v in before.items() if k not in installed},
                                   PACKAGED, [r for r in PACKAGED if r != "bin/core.dll"])
                expected.update(expected_core)
                self.assertTree(INST, expected)

    def test_a_folder_swapped_for_a_link_while_the_run_is_stopped_leads_nothing_outside(self):
        # Stopped from outside, a folder is moved away and a host link to an
        # outside folder put at its name. In the installation the stop comes
        # while the run copies into the folder (the copy is large, so before
        # its rename): Windows keeps a held folder where it is; Wine cannot
        # stop the host, and the run must then see the folder gone and fail
        # undone, where its copy may stay (Wine would remove it by its old
        # path, through the link). In the package the stop comes before the
        # first copy, and no byte may come from where the link leads: each
        # copy's open finds its file outside the package and passes it over,
        # as the walk passes over a link it finds, and the installed files
        # below keep their bytes. Either way nothing outside is written, and
        # nothing of it installed.
        package = {**PACKAGED, "bin/core.dll": bytes(range(256)) * (64 << 10)}
        for side, marker, moved_to in (("installation", f"{INST}/bin/core.dll.~kestrune-*", "Apps/bin-real"),
                                       ("package", f"{INST}/Kestrune.journal", "pkg-bin-real")):
            with self.subTest(side):
                c = self.fresh_case()
                program = self.standard(package=package)
                c.write("Outside/bin", {"core.dll": b"a file of another program\n",
                                        "sub/deep.dat": b"its data\n"})
                before, outside = c.tree(INST), c.tree("Outside")
                folder = f"{INST}/bin" if side == "installation" else "pkg/bin"

                def swap() -> None:
                    os.rename(c.host(folder), c.host(moved_to))
                    os.symlink(c.host("Outside/bin"), c.host(folder))
                result = c.run(program, at_stop=(marker, swap))
                self.assertTrue(result.stopped, result.describe())
                self.assertTree("Outside", outside)
                if result.status == EXIT_DONE:
                    self.assertRun(result, [DONE], EXIT_DONE)
                    # A packaged file copied before the stop took hold is
                    # replaced from the package (it has its backup); one
                    # after it is passed over; none from outside.
                    now = c.tree(INST)
                    expected = updated(before, package, [r for r in package
                                                         if side == "installation"
                                                         or not r.startswith("bin/")
                                                         or f"{r}.{VER}" in now])
                else:
                    self.assertRun(result, [COPY_FAILED], EXIT_COPY_FAILED)
                    expected = before
                if side == "package":
                    self.assertTree(INST, expected)
                    continue
                self.assertTree(INST, {k: v for k, v in expected.items() if not k.startswith("bin/")})
                moved = {k: v for k, v in c.tree(moved_to).items() if ".~kestrune-" not in k}
                self.assertEqual(moved, {k[4:]: v for k, v in expected.items() if k.startswith("bin/")})

    def test_product_started_with_other_letter_case_is_seen(self):
        c = self.case
        program = self.standard()
        c.place_product(f"{INST}/VORDA.exe")
        before = c.tree(INST)
        # Wine's C: is case-insensitive: the same file, named in upper case.
        result = c.run(program, product="APPS/vorda/VORDA.EXE", args=["/log", c.native("run.log")])
        self.assertRun(result, [RUNNING], EXIT_RUNNING)
        self.assertTree(INST, before)
        # The log names it in drive-letter form, as the disk spells it, with its process.
        running = [e for e in UnattendedTests.log_of(self, "run.log") if e.startswith("running check: ")]
        self.assertEqual(len(running), 1, running)
        self.assertRegex(running[0], r"^running check: " + re.escape(c.native(f"{INST}/VORDA.exe")) +
                         r" is running \(process \d+\)$")


class Wine64OnlyTests(Scenario):
    only = frozenset({"wine-win64"})

    def test_entry_only_in_the_64_bit_view_is_not_seen(self):
        c = self.case
        key = uninstall_key(c.native(INST, True))
        program = self.standard(keys=[RegKey(key.path, key.values, view64=True)])
        before = c.tree(INST)
        self.assertRun(c.run(program), [NOT_INSTALLED], EXIT_NOT_INSTALLED)
        self.assertTree(INST, before)


LOG_LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \[(\d+)\] (.*)")
LONG_NAME = "L" * 250  # its backup name is longer than a file name may be


class UnattendedTests(Scenario):
    """The command line: quiet runs, the log, help and mistakes."""

    def sw(self, name: str) -> str:
        return ("/" if self.target.kind == "wine" else "--") + name

    def log_of(self, rel: str) -> list[str]:
        """The events of a log, each line checked for its timestamp and process id."""
        return [event for _, event in UnattendedTests.runs_in_log(self, rel)]

    def runs_in_log(self, rel: str) -> list[tuple[int, str]]:
        """Each line of a log as its process id and event."""
        lines = self.case.host(rel).read_text(encoding="utf-8").splitlines()
        events = []
        for line in lines:
            match = LOG_LINE.fullmatch(line)
            self.assertIsNotNone(match, f"log line without a timestamp and process id: {line!r}")
            events.append((int(match.group(1)), match.group(2)))
        return events

    def failing(self) -> str:
        """A package with a file that cannot be backed up, and the other files
        ahead of it replaced first or not: the update is undone either way."""
        files = {**INSTALLED, LONG_NAME: b"old long\n"}
        return self.standard(files=files, package={**PACKAGED, LONG_NAME: b"new long\n"})

    def test_quiet_runs_show_nothing_and_tell_the_outcome_by_their_status(self):
        variants = [
            ("completed", lambda c: self.standard(), EXIT_DONE),
            ("not installed", lambda c: self.standard(keys=[]), EXIT_NOT_INSTALLED),
            ("wrong version", lambda c: self.standard(version=ansi("2014.9.9")), EXIT_WRONG_VERSION),
            ("copy failed", lambda c: self.failing(), EXIT_COPY_FAILED),
        ]
        for label, layout, status in variants:
            with self.subTest(label):
                c = self.fresh_case()
                program = layout(c)
                before = c.tree(INST)
                self.assertRun(c.run(program, args=[self.sw("quiet")]), [], status)
                if status != EXIT_DONE:
                    self.assertTree(INST, before)
        c = self.fresh_case()
        program = self.standard()
        c.place_product(f"{INST}/VORDA.exe")
        self.assertRun(c.run(program, product=f"{INST}/VORDA.exe", args=[self.sw("QUIET")]
                             if self.target.kind == "wine" else [self.sw("quiet")]), [], EXIT_RUNNING)

    def stamped(self, at: str) -> dict:
        """Every file below `at` with its bytes and time stamp, and every
        folder, `at` itself included, with its time stamp."""
        root = self.case.host(at)
        # Windows keeps a time in units of 100 ns: a folder's time put back
        # under Wine is the host's time to that unit.
        unit = 100 if self.target.kind == "wine" else 1

        def folder_time(path: Path) -> int:
            return path.stat().st_mtime_ns // unit
        tree = {".": (DIR, folder_time(root))}
        for dirpath, dirnames, filenames in os.walk(root):
            for name in dirnames + [f for f in filenames if f not in IGNORED_IN_TREES]:
                path = Path(dirpath) / name
                tree[str(path.relative_to(root))] = ((DIR, folder_time(path)) if path.is_dir()
                                                     else (path.read_bytes(), path.stat().st_mtime_ns))
        return tree

    def mounted_over(self, program: str, rel: str) -> str:
        """A launcher of `program` that first mounts another file over the
        installed file `rel`, in a mount namespace of its own (POSIX, as root)."""
        c = self.case
        c.write("mounted", {"over": b"a file mounted over an installed one\n"})
        launcher = c.host("wrap/launch")
        launcher.parent.mkdir(parents=True, exist_ok=True)
        launcher.write_text('#!/bin/sh\nexec unshare -m sh -c \'mount --bind "$1" "$2" && shift 2 && '
                            'exec "$@"\' sh ' + f'"{c.host("mounted/over")}" "{c.host(f"{INST}/{rel}")}" '
                            f'"{c.host(program)}" "$@"\n')
        launcher.chmod(0o755)
        return "wrap/launch"

    def test_check_tells_what_a_run_would_do_and_changes_nothing(self):
        wine = self.target.kind == "wine"
        sep = "\\" if wine else "/"
        can = ("VORDA+ UPDATE", "The update of VORDA+ can be applied: 4 files would be replaced.")
        waiting = ("VORDA+ UPDATE", "An interrupted update of VORDA+ is waiting. The next run finishes it "
                                    "or takes it back first; check again after that run.")
        core = "bin/core.dll"

        def journal(text: bytes):
            def lay(c):
                program = self.standard()
                c.host(f"{INST}/Kestrune.journal").write_bytes(text)
                return program
            return lay

        def in_use(c):
            program = self.standard()
            return (program, {"hold": [f"{INST}/{core}"]}) if wine else (self.mounted_over(program, core), {})
        # Each: what the run would meet, the one box and status, and a line of the log.
        variants = [
            ("typical", lambda c: self.standard(), [can], EXIT_DONE,
             "summary: would replace 4 (backups made 4, earlier backups kept 0), passed over 2, "
             "cannot go ahead 0"),
            ("product running", lambda c: (self.standard(), {"product": f"{INST}/VORDA.exe"}), [RUNNING],
             EXIT_RUNNING, "running check: "),
            ("wrong version", lambda c: self.standard(version=ansi("2014.9.9")), [WRONG_VERSION],
             EXIT_WRONG_VERSION, 'reported "2014.9.9"'),
            ("damaged package", lambda c: (self.standard(), c.write("pkg", {"Kestrune.sha256": b"0" * 64 +
                                                                            b"  VORDA.exe\n"}))[0],
             [("Error", DAMAGED + "VORDA.exe (changed)")], EXIT_DAMAGED, "result: the package does not match"),
            ("a destination in use", in_use,
             lambda c: [("Err", "Failed to copy files\n" + c.native(f"{INST}/{core}") + " (in use)")],
             EXIT_COPY_FAILED, lambda c: "failed: open for a rename " + c.native(f"{INST}/{core}")),
            ("a journal that can be acted on", journal(journal_text([])), [waiting], EXIT_DONE,
             "a run would take the interrupted update back first, undoing 0 of its steps; nothing was "
             "recovered"),
            ("a journal that cannot", journal(b"not a journal\n"), [INTERRUPTED], EXIT_UNDO_INCOMPLETE,
             "cannot be acted on: line 1"),
        ]
        for label, layout, messages, status, logged in variants:
            with self.subTest(label):
                c = self.fresh_case()
                laid = layout(c)
                program, extra = laid if isinstance(laid, tuple) else (laid, {})
                messages = messages(c) if callable(messages) else messages
                logged = logged(c) if callable(logged) else logged
                if "product" in extra:
                    c.place_product(extra["product"])
                # The test library's own record, made before, so that its
                # first line does not change the folder's time.
                c.write(INST, {"VoUInfo.log": b""})
                before = self.stamped(INST)
                for quiet in (False, True):
                    args = [self.sw("check"), self.sw("log"), c.native("check.log")]
                    result = c.run(program, args=args + [self.sw("quiet")] * quiet, **extra)
                    self.assertRun(result, [] if quiet else messages, status)
                    # No lock, journal, draft, copy or backup: each file as it was, to its time stamp.
                    self.assertEqual(self.stamped(INST), before)
                events = self.log_of("check.log")
                self.assertTrue(any(logged in e for e in events), f"no {logged!r} in {events}")
                if status == EXIT_DONE and label == "typical":
                    plan = [e for e in events if e.startswith("would replace ")]
                    self.assertEqual(len(plan), 2 * len(PACKAGED), plan)
                    folder = c.native(INST) + sep
                    self.assertIn(f"would replace {folder}VORDA.exe; the old file would be kept as "
                                  f"{folder}VORDA.exe.{VER}", plan)
                    self.assertTrue(any(e.startswith("the copies need ") and " bytes free" in e
                                        for e in events), events)
                    self.assertIn("result: the update can be applied", events)

    def test_given_no_log_a_run_writes_the_machines_own(self):
        wine = self.target.kind == "wine"
        folder = "ProgramData/Kestrune" if wine else "var-log"
        own = f"{folder}/Kestrune.log" if wine else f"{folder}/kestrune.log"
        old = f"{folder}/Kestrune.old.log" if wine else f"{folder}/kestrune.old.log"
        victim = {"victim/secret.txt": b"not the updater's\n"}

        def long_log(c):
            c.write(folder, {own.split("/")[-1]: b"an earlier run\n" * 70000})  # past 1 MiB

        def link_at_file(c):
            c.write("victim", {"secret.txt": victim["victim/secret.txt"]})
            c.host(folder).mkdir(parents=True, exist_ok=True)
            os.symlink(c.host("victim/secret.txt"), c.host(own))

        def link_at_folder(c):
            c.write("victim", {"secret.txt": victim["victim/secret.txt"]})
            c.host(folder).parent.mkdir(parents=True, exist_ok=True)
            os.symlink(c.host("victim"), c.host(folder))
        # Each: what is planted, and whether the run's lines land in the log.
        for label, plant, written in (("none yet", lambda c: None, True),
                                      ("one past its size", long_log, True),
                                      ("a link at its name", link_at_file, False),
                                      ("a link at its folder", link_at_folder, False)):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard()
                plant(c)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertEqual(c.tree("victim"), {k[len("victim/"):]: v for k, v in victim.items()}
                                 if label.startswith("a link") else {})
                if not written:
                    continue
                events = self.log_of(own)
                self.assertEqual(events[-3:-1], ["result: updated", "summary: replaced 4, passed over 2, "
                                 "backups made 4, earlier backups kept 0, set-aside files removed 0"])
                self.assertTrue(events[0].startswith("Kestrune 1.0.0.1 started on "), events[0])
                if plant is long_log:
                    self.assertEqual(c.host(old).read_bytes(), b"an earlier run\n" * 70000)
                # A log given on the command line stands in for it.
                before = c.host(own).read_bytes()
                self.assertRun(c.run(program, args=[self.sw("log"), c.native("given.log")]),
                               [DONE], EXIT_DONE)
                self.assertEqual(c.host(own).read_bytes(), before)

    def test_log_of_a_completed_update(self):
        c = self.case
        program = self.standard()
        os.makedirs(c.host("logs dir"))
        log = c.native("logs dir/run log.txt")
        for round_ in range(2):  # a second run appends
            self.assertRun(c.run(program, args=[self.sw("log"), log]), [DONE], EXIT_DONE)
        events = self.log_of("logs dir/run log.txt")
        # The machine, the account and its rights, as logs gathered from many
        # machines need them.
        started = re.fullmatch(r"Kestrune 1\.0\.0\.1 started on (.+) by (.+) \((elevated|not elevated)\): .+",
                               events[0])
        self.assertIsNotNone(started, events[0])
        if self.target.kind == "posix":
            self.assertEqual(started.groups(), (os.uname().nodename, pwd.getpwuid(os.geteuid()).pw_name,
                                                "elevated" if os.geteuid() == 0 else "not elevated"))
        else:
            # Wine's computer is the host's, in capitals; its account the host user's.
            self.assertEqual(started.group(1), os.uname().nodename.upper()[:15])
            self.assertTrue(started.group(2).endswith("\\" + pwd.getpwuid(os.geteuid()).pw_name),
                            started.group(2))
        first = events[:events.index("exit status 0") + 1]
        self.assertEqual(first[-3:-1], ["result: updated", "summary: replaced 4, passed over 2, backups made 4, "
                                        "earlier backups kept 0, set-aside files removed 0"])
        for expected in ("settings " + c.settings_path(program), "installation folder " + c.native(INST, True),
                         f'reported "{VER}"', "running check: ", "package ",
                         "replaced ", "message shown: VORDA+ UPDATE: You have successfully updated VORDA+"):
            self.assertTrue(any(expected in e for e in first), f"no {expected!r} in {first}")
        self.assertEqual(sum(e.startswith("replaced ") for e in first), len(PACKAGED))
        # Paths whole, with one separator between parts and the case on disk.
        self.assertIn("running check: no process runs " + c.native(f"{INST}/VORDA.exe"), first)
        core = c.native(f"{INST}/bin/core.dll")
        self.assertIn(f"replaced {core}; the old file is now {core}.{VER}", first)
        self.assertEqual(events.count("exit status 0"), 2)  # the second run appended
        self.assertEqual(events[-1], "exit status 0")

    def test_log_of_a_failed_update_names_the_file_and_each_undone_step(self):
        c = self.case
        program = self.failing()
        before = c.tree(INST)
        result = c.run(program, args=[f"{self.sw('log')}=" + c.native("update.log")])
        self.assertRun(result, [COPY_FAILED], EXIT_COPY_FAILED)
        self.assertTree(INST, before)
        events = self.log_of("update.log")
        failures = [e for e in events if e.startswith("failed: ")]
        self.assertTrue(failures and LONG_NAME in failures[0] and "error " in failures[0], events)
        replaced = sum(e.startswith("replaced ") for e in events)
        # Only steps that changed something are undone: the failed copy left
        # nothing behind.
        self.assertEqual(sum(e.startswith("undone ") for e in events), replaced, events)
        self.assertIn("message shown: Err: Failed to copy files", events)
        self.assertEqual(events[-1], "exit status 7")

    def test_relative_or_unusable_log_paths_never_stop_the_update(self):
        start = "e2e-scratch" if self.target.kind == "wine" else ""
        for label, path, written in (("relative to the starting folder", "rel.log", f"{start}/rel.log"),
                                     ("in folders that do not exist yet", "new logs/2026/run.log",
                                      "new logs/2026/run.log"),
                                     ("below a file", "a file/run.log", None)):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard()
                (c.host("a file")).write_bytes(b"not a folder\n")
                arg = path if label.startswith("relative") else c.native(path)
                self.assertRun(c.run(program, args=[self.sw("quiet"), self.sw("log"), arg]), [], EXIT_DONE)
                if written:
                    self.assertEqual(self.log_of(written.lstrip("/"))[-1], "exit status 0")

    def test_the_log_tells_runs_apart_and_tells_every_outcome(self):
        c = self.case
        package = {**PACKAGED, "bin/extra.dll": b"no installed counterpart\n",
                   f"bin/core.dll.{VER}": b"named like a backup\n", "Kestrune.txt": b"the updater's own\n"}
        files = {**INSTALLED, f"res/strings.txt.{VER}": b"an earlier backup\n"}
        program = self.standard(files=files, package=package)
        log = c.native("run.log")
        # A command line not understood, then a quiet update.
        self.assertEqual(c.run(program, args=[self.sw("bogus"), self.sw("log"), log]).status,
                         EXIT_BAD_COMMAND_LINE)
        self.assertRun(c.run(program, args=[self.sw("quiet"), self.sw("log"), log]), [], EXIT_DONE)
        lines = self.runs_in_log("run.log")
        pids = list(dict.fromkeys(pid for pid, _ in lines))
        self.assertEqual(len(pids), 2, lines)
        bad = [e for pid, e in lines if pid == pids[0]]
        self.assertEqual(bad[1:], [f"command line not understood: Unknown switch: {self.sw('bogus')}",
                                   "result: the command line was not understood", "exit status 9"])
        run = [e for pid, e in lines if pid == pids[1]]
        for rel, reason in (("bin/extra.dll", "no installed counterpart"),
                            (f"bin/core.dll.{VER}", "named like a backup"),
                            ("Kestrune.txt", "the updater's own"),
                            (program.split("/", 1)[1], "the updater's own")):
            self.assertIn(f"passed over {c.native('pkg/' + rel)}: {reason}", run)
        self.assertIn("message not shown (quiet): VORDA+ UPDATE: You have successfully updated VORDA+", run)
        self.assert_shared_log_keeps_time_order()
        self.assertEqual(run[-3:], ["result: updated", "summary: replaced 4, passed over 5, backups made 3, "
                                    "earlier backups kept 1, set-aside files removed 1", "exit status 0"])

    def assert_shared_log_keeps_time_order(self) -> None:
        """Two runs at once, on two installations, append to one log: every
        line whole, and no time stamp earlier than the line's above it."""
        files = 1500 if self.target.kind == "posix" else 300
        package = {f"m{i % 20}/f{i}.dat": b"new %d\n" % i for i in range(files)}
        for _ in range(3):  # a busy machine may start the second run too late
            c = self.fresh_case()
            programs = []
            for inst, pkg, guid in ((INST, "pkg", GUID), ("Apps/VORDA2", "pkg2", GUID2)):
                self.installation(inst, {**INSTALLED, **{rel: b"old\n" for rel in package}})
                programs.append(c.package(package, at=pkg, settings=settings_text(guid=guid)))
                c.registry(uninstall_key(c.native(inst, True), guid=guid))
            args = [self.sw("quiet"), self.sw("log"), c.native("shared.log")]
            self.assertEqual(c.run_together([(program, args) for program in programs]), [EXIT_DONE] * 2)
            pids = [pid for pid, _ in self.runs_in_log("shared.log")]  # each line whole
            stamps = [datetime.datetime.fromisoformat(line.split(" ", 1)[0])
                      for line in c.host("shared.log").read_text(encoding="utf-8").splitlines()]
            back = [i for i in range(1, len(stamps)) if stamps[i] < stamps[i - 1]]
            self.assertEqual(back, [], f"{len(back)} of {len(stamps)} lines stamped earlier than the one above")
            self.assertEqual(len(set(pids)), 2)
            if sum(a != b for a, b in zip(pids, pids[1:])) > 1:
                return
        self.fail("the two runs never wrote to the log at the same time")

    def long_update(self) -> tuple[str, dict, dict]:
        """An update of 3,000 files, for a person to watch, or cancel."""
        package = {f"many/d{i % 30}/f{i}.txt": b"new %d\n" % i for i in range(3000)}
        files = {**INSTALLED, **{rel: b"old\n" for rel in package}}
        return self.standard(files=files, package=package), files, package

    def test_a_long_update_shows_its_progress_to_a_person_only(self):
        sizes = {}
        # The window grows with the display's DPI (Wine takes it from LogPixels).
        for quiet, dpi in ((False, 96), (True, 96)) + (((False, 144),) if self.target.kind == "wine" else ()):
            with self.subTest(quiet=quiet, dpi=dpi):
                c = self.fresh_case()
                program, _, package = self.long_update()
                if dpi != 96:
                    c.registry(RegKey("System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts",
                                      {"LogPixels": dpi}))
                log = c.native("run.log")
                args = [self.sw("log"), log] + ([self.sw("quiet")] if quiet else [])
                result = c.run(program, args=args)
                # POSIX: standard error is no terminal here, so it holds the box alone.
                self.assertRun(result, [] if quiet else [DONE], EXIT_DONE)
                self.assertFalse(result.progress_with_box, result.describe())
                if self.target.kind == "wine":
                    if quiet:
                        self.assertEqual(result.progress, [], result.describe())
                    else:
                        self.assertEqual(len(result.progress), 1, result.describe())
                        seen_ms, bar, title = result.progress[0]
                        self.assertTrue(bar and title == "VORDA+ Update", result.describe())
                        self.assertLess(seen_ms, 2000, result.describe())
                        sizes[dpi] = result.progress_sizes[0]
                        # The stage, the file at hand, its number and the percentage.
                        shown = [t for t in result.progress_texts if t.startswith("Updating VORDA+ | ")]
                        self.assertTrue(any(re.search(r" \| C:\\Apps\\VORDA\\many\\d\d?\\f\d+\.txt \| "
                                                      r"\d+ of 3000 files \(\d+%\)", t) for t in shown),
                                        result.progress_texts[:20])
                events = self.log_of("run.log")
                self.assertEqual(events[-2:], ["summary: replaced 3000, passed over 2, backups made 3000, "
                                               "earlier backups kept 0, set-aside files removed 0",
                                               "exit status 0"])
        if 144 in sizes:
            for wide, narrow in zip(sizes[144], sizes[96]):
                self.assertTrue(1.3 < wide / narrow < 1.7, sizes)

    def test_a_person_cancels_the_update_and_finds_it_as_it_was(self):
        # Wine: Cancel in the window, its close box, Esc or Alt+F4, at a
        # fifth of the update, and the question answered. POSIX: SIGTERM or
        # SIGINT as a chosen file is replaced; "again": signals go on
        # arriving through the undo, which they may not cut short.
        wine = self.target.kind == "wine"
        rng = random.Random(20261208)
        rows = ([("button", "yes"), ("button", "no"), ("close", "yes"), ("esc", "yes"), ("altf4", "yes")]
                if wine else [("SIGTERM", "at")] * 4 + [("SIGINT", "at"), ("SIGTERM", "again")])
        for how, answer in rows:
            with self.subTest(how=how, answer=answer):
                c = self.fresh_case()
                program, _, package = self.long_update()
                before = c.tree(INST)
                args = [self.sw("log"), c.native("run.log")]
                if wine:
                    result = c.run(program, args=args, cancel=(how, answer, 20))
                    self.assertEqual(result.cancelled, how, result.describe())
                    self.assertEqual(result.questions, [Message(*QUESTION, None)], result.describe())
                else:
                    order = [r for r in walk_order(c.host("pkg")) if r in package]
                    marker = f"{INST}/{order[rng.randrange(len(order) * 9 // 10)]}.{VER}"
                    result = c.run(program, args=args, at_stop=(marker, self._signal(c, program, how, answer)))
                    self.assertTrue(result.stopped, result.describe())
                if answer == "no":
                    self.assertRun(result, [DONE], EXIT_DONE)
                    self.assertTree(INST, updated(before, package, list(package)))
                    continue
                self.assertRun(result, [CANCELLED], EXIT_CANCELLED)
                # Byte for byte, with no journal, lock, backup or copy left.
                self.assertTree(INST, before)
                events = self.log_of("run.log")
                self.assertTrue(any(re.fullmatch(r"cancelled by the user after \d+ of 3000 files", e)
                                    for e in events), events[-5:])
                self.assertEqual(events[-1], "exit status 12")
                if wine:
                    # Off once the person said Yes, through the undo.
                    undoing = [t for t in result.progress_texts
                               if t.startswith("Undoing the update | ") and " files (" in t]
                    self.assertTrue(undoing and all(t.endswith("[Cancel:off]") for t in undoing),
                                    result.progress_texts)

    def _signal(self, c: Case, program: str, name: str, how: str):
        """The change at_stop makes: `name` sent to the stopped program, and
        with `how` "again", sent on every millisecond until it ends."""
        number = getattr(signal, name)

        def send() -> None:
            for pid in c.target.processes(c, program):
                os.kill(pid, number)
            if how == "again":
                def keep_sending() -> None:
                    while pids := c.target.processes(c, program):
                        for pid in pids:
                            with contextlib.suppress(ProcessLookupError):
                                os.kill(pid, signal.SIGTERM if number == signal.SIGINT else signal.SIGINT)
                                os.kill(pid, number)
                        time.sleep(0.001)
                threading.Thread(target=keep_sending, daemon=True).start()
        return send

    def test_help_and_mistakes_touch_nothing(self):
        variants = [("help", [self.sw("help")], 0), ("unknown switch", [self.sw("bogus")], EXIT_BAD_COMMAND_LINE),
                    ("log without a path", [self.sw("log")], EXIT_BAD_COMMAND_LINE),
                    ("stray word", ["now"], EXIT_BAD_COMMAND_LINE)]
        if self.target.kind == "wine":
            variants.append(("/?", ["/?"], 0))
        for label, args, status in variants:
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard()
                before, pkg_before = c.tree(INST), c.tree("pkg")
                result = c.run(program, args=args)
                self.assertEqual(result.status, status, result.describe())
                self.assertTree(INST, before)
                self.assertTree("pkg", pkg_before)
                self.assertEqual(c.library_calls(INST), [])
                if self.target.kind == "wine" or status != 0:
                    self.assertEqual([m.caption for m in result.messages], ["Kestrune"], result.describe())
                    text = result.messages[0].text
                else:
                    self.assertEqual(result.messages, [])
                    text = result.stdout.decode()
                self.assertIn(self.sw("quiet"), text)
                if status:
                    self.assertIn(args[0], text)
                quiet = c.run(program, args=[*args, self.sw("quiet")])
                self.assertEqual((quiet.status, quiet.messages, quiet.stdout), (status, [], b""))


class InUseTests(Scenario):
    """A file another program holds: waited for briefly, or, when a person
    watches, up to 30 s with the program to close named."""

    def test_file_held_for_a_moment_is_waited_for_and_one_held_longer_undoes_the_update(self):
        if self.target.kind != "wine":
            self.skipTest("only Windows keeps a file that another program holds open in place")
        # A quiet run keeps to the short waits; a person at the screen is
        # given 30 s to close what holds the file.
        for held_ms, quiet, messages, status in ((1000, False, [DONE], EXIT_DONE),
                                                 (5000, True, [], EXIT_COPY_FAILED),
                                                 (5000, False, [DONE], EXIT_DONE)):
            with self.subTest(held_ms=held_ms, quiet=quiet):
                # The hold starts with the program; a busy machine can start
                # it so slowly that the moment has passed before the file is
                # reached, so that run is tried again. The first hold outlasts
                # the start of the version library's own process, within the
                # 1.5 s the run waits.
                for _ in range(3):
                    c = self.fresh_case()
                    program = self.standard()
                    before = c.tree(INST)
                    result = c.run(program, args=["/log", c.native("run.log")] + (["/quiet"] if quiet else []),
                                   hold_for={f"{INST}/bin/core.dll": held_ms})
                    self.assertRun(result, messages, status)
                    events = UnattendedTests.log_of(self, "run.log")
                    if any(e.startswith("waiting ") and "core.dll" in e for e in events):
                        break
                self.assertTrue(any(e.startswith("waiting ") and "core.dll" in e for e in events), events)
                if status == EXIT_DONE:
                    self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
                else:
                    self.assertTree(INST, before)
                    self.assertTrue(any(e.startswith("failed: ") and "core.dll" in e for e in events))

    def test_the_program_that_holds_a_file_is_named_in_the_log_and_the_window(self):
        # Wine: the harness's holder has the installed library loaded and
        # open without delete sharing for 5 s. POSIX: a file on a mount
        # point cannot be renamed; the holder keeps it open.
        wine = self.target.kind == "wine"
        if not wine and os.geteuid() != 0:
            self.skipTest("a mount of the run's own needs root")
        core = f"{INST}/bin/core.dll"
        rows = ((False, [DONE], EXIT_DONE), (True, [], EXIT_COPY_FAILED)) if wine else \
            ((True, [], EXIT_COPY_FAILED),)
        for quiet, messages, status in rows:
            with self.subTest(quiet=quiet):
                c = self.fresh_case()
                library = self.target.helpers.vouinfo.read_bytes()
                program = self.standard(files={**INSTALLED, "bin/core.dll": library})
                held = core
                if not wine:
                    # The holder opens the file that is mounted, by its own name.
                    held = "elsewhere/core.dll"
                    c.write("elsewhere", {"core.dll": library})
                    c.mount = (held, core)
                before = c.tree(INST)
                sw = UnattendedTests.sw
                args = [sw(self, "log"), c.native("run.log")] + ([sw(self, "quiet")] if quiet else [])
                result = c.run(program, args=args, holder=(held, 5000 if wine else 60000))
                if not wine and result.status == 1 and "unshare" in result.log:
                    self.skipTest("no mount namespace here: " + result.log)
                self.assertRun(result, messages, status)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)) if status == EXIT_DONE else before)
                name = f"{'holder.exe' if wine else 'sleep'} (process {result.holder_pid})"
                events = UnattendedTests.log_of(self, "run.log")
                waits = [e for e in events if e.startswith("waiting ")]
                self.assertTrue(waits, events)
                # As the holder lets go (Wine: the library, then the file) the
                # last wait may find the file in use by no one it can name.
                for i, wait in enumerate(waits):
                    self.assertRegex(wait, r"^waiting \d\.\d s for " + re.escape(c.native(core)) +
                                     ": in use by " + re.escape(name) + ("|another process" if i else "") +
                                     "$")
                if quiet:
                    self.assertEqual(len(waits), 4, waits)
                    failures = [e for e in events if e.startswith("failed: ")]
                    self.assertTrue(failures and failures[0].endswith("; in use by " + name), events)
                else:
                    self.assertIn(f"Waiting for {c.native(core)}: close holder.exe",
                                  " | ".join(result.progress_texts))


class InterruptedTests(Scenario):
    """A run stopped at any instant is made good by the next one; two runs
    never work on one installation at once."""

    def many_files(self, failing: bool) -> tuple[str, dict, dict]:
        """An installation of a few hundred files, some with backups from an
        earlier run; the package fails at its end when `failing`."""
        package = {f"d{i % 12}/f{i}.dll": b"new %d\n" % i * (1 + i % 5) for i in range(300)}
        files = {**INSTALLED, **{rel: b"old " + rel.encode() for rel in package}}
        for i in range(0, 300, 25):
            files[f"d{i % 12}/f{i}.dll.{VER}"] = b"an earlier backup\n"
        if failing:
            files[LONG_NAME] = b"old long\n"
            package = {**package, LONG_NAME: b"new long\n"}
        program = self.standard(files=files, package=package)
        return program, files, package

    def assert_recovery_logged(self, events: list[str], before: dict, mid: dict):
        """A recovery names the run it takes back, and logs as undone only
        files that the killed run had changed."""
        found = [e for e in events if e.startswith("found the journal")]
        if not found:
            return  # killed before its journal was written
        self.assertRegex(found[0], r"^found the journal of an interrupted update of \d+ files, started "
                                   r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}, (past|before) its commit point$")
        sep = "\\" if self.target.kind == "wine" else "/"
        folder = self.case.native(INST) + sep
        start = events.index(found[0])
        ends = [i for i, e in enumerate(events) if e in ("took the interrupted update back",
                                                           "finished the interrupted update")]
        self.assertTrue(ends and ends[0] > start, events)
        for event in events[start:ends[0]]:  # the run's own undo, if it fails, comes later
            if not event.startswith("undone "):
                continue
            path = event[len("undone "):]
            self.assertTrue(path.startswith(folder), f"{event!r}: not the whole path in {folder}")
            rel = path[len(folder):].replace(sep, "/")
            touched = mid.get(rel) != before.get(rel) or any(
                name not in before and (name == f"{rel}.{VER}" or name.startswith(rel + ".~kestrune"))
                for name in mid)
            self.assertTrue(touched, f"{event!r}: the killed run had not changed it")

    def assert_kill_lost_no_line(self, killed: list[str], again: list[str], before: dict, mid: dict,
                                 package: dict):
        """Each `replaced` line of a killed run names a file the kill left
        replaced, and there is one for each file the kill left aside: a kill
        loses no line. One step may lie between its last change and its
        line (one more file aside), or an undo step between its move back
        and its line (one fewer)."""
        sep = "\\" if self.target.kind == "wine" else "/"
        folder = self.case.native(INST) + sep
        replaced = [e[len("replaced "):].split("; the old file is now ")[0]
                    for e in killed if e.startswith("replaced ")]
        undone = {e[len("undone "):] for e in killed + again if e.startswith("undone ")}
        undone_by_run = sum(e.startswith("undone ") for e in killed)
        rels = [path[len(folder):].replace(sep, "/") for path in replaced]
        self.assertTrue(all(path.startswith(folder) for path in replaced), replaced)
        found = [e for e in again if e.startswith("found the journal")]
        committed = found[0].endswith("past its commit point") if found else \
            bool(replaced) and not undone_by_run and not any(e.startswith("failed: ") for e in killed)
        if committed:
            # Every step was done and logged before the commit point.
            self.assertEqual(sorted(rels), sorted(r for r in package if r in before), killed)
            for rel in rels:
                self.assertEqual(mid[rel], package[rel], rel)
            return
        for path in replaced:
            self.assertIn(path, undone, "logged as replaced, but nothing of it was undone")
        aside = sum(1 for name in mid if name not in before and
                    re.search(r"\.(2015\.1\.0|~kestrune\d*)$", name))
        logged = len(replaced) - undone_by_run
        self.assertIn(aside - logged, (-1, 0) if undone_by_run or any(
            e.startswith("failed: ") for e in killed) else (0, 1),
                      f"{aside} files aside, {len(replaced)} replaced and {undone_by_run} undone in the log")

    def test_killed_at_any_instant_the_next_run_makes_it_good(self):
        posix = self.target.kind == "posix"
        rng = random.Random(20261207)
        tried = wrong = lost = hits = 0
        for failing in (False, True):
            c = self.fresh_case()
            program, files, package = self.many_files(failing)
            before = c.tree(INST)
            def logged(c: Case) -> list[str]:
                return [UnattendedTests.sw(self, "log"), c.native("killed.log")]
            clean = c.run(program, args=logged(c))
            duration_ms = clean.elapsed_ms
            self.assertEqual(clean.status, EXIT_COPY_FAILED if failing else EXIT_DONE, clean.describe())
            expected = before if failing else updated(before, package, [r for r in package if r in before])
            if not failing:
                for rel in files:
                    if rel.endswith("." + VER):
                        expected[rel] = files[rel]
            self.assertTree(INST, expected)
            # Wine runs are slow, so it gets a few instants, earlier ones only
            # while the later ones keep missing a run that went faster than
            # the clean one (a busy machine makes durations swing).
            instants = ([rng.uniform(0, duration_ms * 1.1) for _ in range(100)] if posix else
                        [duration_ms * f for f in ((0.3, 0.6, 0.9, 0.45, 0.15, 0.05) if not failing
                                                   else (0.8, 0.95, 0.6, 0.4, 0.2, 0.05))])
            wanted, got = (0 if posix else 3 - failing), 0
            for kill_ms in instants:
                if wanted and got >= wanted:
                    break
                c = self.fresh_case()
                program, files, package = self.many_files(failing)
                got += c.run(program, kill_after_ms=kill_ms, args=logged(c)).killed
                mid = c.tree(INST)
                again = c.run(program, args=[UnattendedTests.sw(self, "log"), c.native("again.log")])
                tried += 1
                again_events = UnattendedTests.log_of(self, "again.log")
                self.assert_recovery_logged(again_events, before, mid)
                if c.host("killed.log").exists():  # else killed before it was opened
                    self.assert_kill_lost_no_line(UnattendedTests.log_of(self, "killed.log"), again_events,
                                                  before, mid, package)
                after = c.tree(INST)
                if after != expected:
                    wrong += 1
                    old = {content for rel, content in before.items() if content is not DIR}
                    lost += len(old - {content for content in after.values() if content is not DIR})
                    self.fail(f"killed at {kill_ms:.1f} ms of {duration_ms:.1f}: " + again.describe())
                self.assertEqual(again.status, EXIT_COPY_FAILED if failing else EXIT_DONE,
                                 f"killed at {kill_ms:.1f} ms: " + again.describe())
            hits += got
            self.assertGreaterEqual(got, wanted, f"too few kills before the run ended ({duration_ms:.1f} ms)")
        print(f"\n{self.target.name}: {tried} kills ({hits} before the run ended), {wrong} "
              f"installations wrong afterwards, {lost} files lost")
        if posix:
            # Durations swing with the load of the machine: a quarter of
            # the kills landing inside a run still covers every stage.
            self.assertGreater(hits, tried // 4)

    def _hold_lock(self, c: Case, program: str, args: list[str] = ()) -> RunResult:
        """Runs the updater while another process holds the installation's lock."""
        lock = c.host(f"{INST}/Kestrune.lock")
        lock.write_bytes(b"")
        if self.target.kind == "wine":
            return c.run(program, hold=[f"{INST}/Kestrune.lock"], args=args)
        with open(lock, "rb+") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            return c.run(program, args=args)

    def test_a_second_run_on_the_same_installation_changes_nothing(self):
        c = self.case
        program = self.standard()
        (c.host(INST) / "Kestrune.lock").write_bytes(b"")
        before = c.tree(INST)
        self.assertRun(self._hold_lock(c, program), [ANOTHER_RUN], EXIT_ANOTHER_RUN)
        self.assertTree(INST, before)
        self.assertRun(self._hold_lock(c, program, ["/quiet" if self.target.kind == "wine" else "--quiet"]),
                       [], EXIT_ANOTHER_RUN)
        # Free again: the lock a run takes leaves nothing behind.
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        del before["Kestrune.lock"]
        self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_two_runs_started_together_one_updates_and_one_refuses(self):
        if self.target.kind != "posix":
            self.skipTest("started together by the POSIX harness only")
        big = os.urandom(1 << 20) * 64  # long enough a copy for the second start to meet the first
        # A folder planted at the lock's name is no way for both to work.
        for planted in (None, "empty folder"):
            with self.subTest(planted or "nothing planted"):
                c = self.fresh_case()
                files = {**INSTALLED, "big.dat": b"old big\n"}
                program = self.standard(files=files, package={**PACKAGED, "big.dat": big})
                if planted:
                    c.host(f"{INST}/Kestrune.lock").mkdir()
                env = {k: v for k, v in os.environ.items() if not k.startswith("KESTRUNE_")}
                (c.root / "registry.reg").write_bytes(reg_file_bytes(c.keys))
                env["KESTRUNE_REGISTRY"] = str(c.root / "registry.reg")
                env["KESTRUNE_LOG_FOLDER"] = str(c.root / "var-log")  # never the machine's
                runs = [subprocess.Popen([str(c.host(program))], env=env, stderr=subprocess.PIPE)
                        for _ in range(2)]
                outcomes = sorted((r.wait(60), r.stderr.read().decode()) for r in runs)
                self.assertEqual([o[0] for o in outcomes], [EXIT_DONE, EXIT_ANOTHER_RUN], outcomes)
                self.assertEqual(outcomes[1][1], "Error: Another update of VORDA+ is running.\n")
                self.assertEqual(c.host(f"{INST}/big.dat").read_bytes(), big)
                self.assertFalse(c.host(f"{INST}/Kestrune.lock").exists())

    def test_links_and_folders_planted_at_the_lock_or_draft_name_are_never_followed(self):
        # Wine follows a host link to a folder whatever the program asks, even
        # to remove it: there the run leaves it alone and does not go on.
        stays = ("link to a folder", "full folder") if self.target.kind == "wine" \
            else ("full folder",)
        for name in ("Kestrune.lock", "Kestrune.journal.new"):
            for planted in ("link to a file", "dangling link", "link to a folder", "empty folder",
                            "full folder"):
                with self.subTest(f"{planted} at {name}"):
                    c = self.fresh_case()
                    program = self.standard()
                    c.write("Apps/outside", {"secret.txt": b"a file outside\n"})
                    clean = c.tree(INST)
                    at = c.host(f"{INST}/{name}")
                    if planted == "link to a file":
                        at.symlink_to(c.host("Apps/outside/secret.txt"))
                    elif planted == "dangling link":
                        at.symlink_to(c.host("Apps/outside/none"))
                    elif planted == "link to a folder":
                        at.symlink_to(c.host("Apps/outside"))
                    else:
                        at.mkdir()
                        if planted == "full folder":
                            (at / "x").write_bytes(b"x\n")
                    outside = c.tree("Apps/outside")
                    before = c.tree(INST) if planted in stays else None  # a dangling link reads as nothing
                    result = c.run(program)
                    self.assertTree("Apps/outside", outside)
                    if planted in stays:
                        # Not the run's to remove: it does not go on.
                        self.assertRun(result, [ANOTHER_RUN], EXIT_ANOTHER_RUN)
                        self.assertTree(INST, before)
                    else:
                        self.assertRun(result, [DONE], EXIT_DONE)
                        # Nothing planted remains.
                        self.assertTree(INST, updated(clean, PACKAGED, list(PACKAGED)))

    def test_a_file_put_at_the_journal_name_mid_run_is_never_written(self):
        # Stopped from outside at its first copy, the journal's name is given
        # to another file: a hard link to a file outside, or (POSIX) a pipe.
        # The run writes its commit to neither, waits on neither, undoes the
        # update and leaves what stands at the name for an administrator.
        kinds = ("a file outside, linked in",) + (("a pipe",) if self.target.kind == "posix" else ())
        for kind in kinds:
            with self.subTest(kind):
                c = self.fresh_case()
                # One long copy, for the stop to come while it is made.
                program = self.standard(package={"VORDA.exe": bytes(range(256)) * (64 << 10)})
                c.write("Apps/outside", {"secret.txt": b"a file of another program\n"})
                before, outside = c.tree(INST), c.tree("Apps/outside")
                journal = c.host(f"{INST}/Kestrune.journal")

                def swap() -> None:
                    journal.unlink()
                    if kind == "a pipe":
                        os.mkfifo(journal)
                    else:
                        os.link(c.host("Apps/outside/secret.txt"), journal)
                result = c.run(program, at_stop=(f"{INST}/VORDA.exe.~kestrune-*", swap))
                self.assertTrue(result.stopped, result.describe())
                self.assertRun(result, [UNDO_INCOMPLETE], EXIT_UNDO_INCOMPLETE)
                self.assertTree("Apps/outside", outside)
                if kind == "a pipe":
                    self.assertTrue(stat.S_ISFIFO(journal.lstat().st_mode))
                    journal.unlink()
                    self.assertTree(INST, before)
                else:
                    self.assertTree(INST, {**before, "Kestrune.journal": outside["secret.txt"]})

    def test_a_run_started_while_the_last_box_is_open_is_not_refused(self):
        if self.target.kind != "wine":
            self.skipTest("only a box on Windows waits for a click")
        c = self.case
        # The package brings the next version, so the next run stops at the check.
        program = self.standard(package={**PACKAGED, "VoUInfo.bin": ansi("2015.2.0")})
        log = c.native("shared.log")
        result = c.run(program, args=["/log", log], at_first_box=["/log", log])
        self.assertRun(result, [DONE], EXIT_DONE)
        self.assertEqual((result.second_status, [(m.caption, m.text) for m in result.second_messages]),
                         (EXIT_WRONG_VERSION, [WRONG_VERSION]), result.describe())
        # The first run's outcome was written before its box came up, so it
        # is wholly ahead of the second run's lines.
        lines = UnattendedTests.runs_in_log(self, "shared.log")
        first = lines[0][0]
        ours = [i for i, (pid, _) in enumerate(lines) if pid == first]
        self.assertEqual(ours, list(range(len(ours))), lines)
        self.assertEqual(lines[ours[-1]][1], "exit status 0")
        self.assertEqual(lines[-1][1], "exit status 5")

    def plan_of_a_real_run(self, program: str) -> bytes:
        """Updates the installation, catching its journal once it is in
        place: a plan whose steps carry the identities of the files that are
        now the backups, which a recovery would move back."""
        c = self.case
        journal = c.host(f"{INST}/Kestrune.journal")
        caught: list[bytes] = []
        result = c.run(program, at_stop=(f"{INST}/Kestrune.journal",
                                         lambda: caught.append(journal.read_bytes())))
        self.assertTrue(result.stopped, result.describe())
        self.assertRun(result, [DONE], EXIT_DONE)
        return caught[0]

    def test_journal_that_cannot_be_read_or_a_running_product_stops_the_recovery(self):
        sep = "\\" if self.target.kind == "wine" else "/"
        up = f"{sep}..{sep}victim{sep}x"  # from the installation to Apps/victim
        ident = (1, 2, 3, 4)
        outside = {"victim/secret.txt": b"a user's file outside\n", "victim/x": b"x\n",
                   "victim/x.2015.1.0": b"x's namesake\n"}

        # A real run's own plan, which a user who may write the folder could
        # copy, then made theirs: another Unix user's (Wine: owner S-1-5-7),
        # or writable by all (Wine: an Everyone entry) or by its group (Wine
        # shows no group: the unit rows of the rule stand for it there).
        def others(path):
            os.chown(path, 1000, 1000)

        def everyones(path):
            os.chmod(path, 0o666)

        def groups(path):
            os.chmod(path, 0o660)
        for label, journal, product, messages, status in (
                ("garbage", b"not a journal\n", False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("cut short", journal_text([(-1, ident, sep + "VORDA.exe")])[:-6],
                 False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("first form", b"Kestrune journal 1\nbackup\t.2015.1.0\ntemporary\t.~kestrune-1\n"
                 b"-1\t/VORDA.exe\nend\t1\n", False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("leads outside", journal_text([(-1, ident, up)], copies=f"{sep}..{sep}secret.txt"),
                 False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("outside by its step", journal_text([(-1, ident, up)]), False, [INTERRUPTED],
                 EXIT_UNDO_INCOMPLETE),
                ("empty backup suffix", journal_text([(-1, ident, sep + "VORDA.exe")], backup=""),
                 False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("NUL in a path", journal_text([(-1, ident, sep + "VORDA.exe\0.2015.1.0")]), False,
                 [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("six gigabytes", None, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                # Millions of short steps, whole and well formed: within the
                # limit of the 32-bit build, and past it.
                ("60 MiB of short steps", 60 << 20, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("256 MiB of short steps", 256 << 20, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("product running", b"Kestrune journal 2\n", True, [RUNNING], EXIT_RUNNING),
                ("another user's", others, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("writable by all", everyones, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE),
                ("writable by its group", groups, False, [INTERRUPTED], EXIT_UNDO_INCOMPLETE)):
            if journal is groups and self.target.kind == "wine":
                continue
            with self.subTest(label):
                c = self.fresh_case()
                spoil = journal if callable(journal) else None
                # A long copy, so that the real run's journal is there to catch.
                program = self.standard(package={**PACKAGED, "bin/core.dll": bytes(range(256)) * (64 << 10)}
                                        if spoil else None)
                c.write("Apps", outside)
                path = c.host(INST) / "Kestrune.journal"
                if product:
                    c.place_product(f"{INST}/VORDA.exe")
                if spoil:
                    journal = self.plan_of_a_real_run(program)
                before = c.tree("Apps")
                calls = c.library_calls(INST)
                if journal is None:
                    # Its plan, then zeros to six gigabytes: sparse, so cheap.
                    path.write_bytes(journal_text([(-1, ident, sep + "VORDA.exe")]))
                    os.truncate(path, 6 << 30)
                elif isinstance(journal, int):
                    # Steps of a file no run has touched: each reads as one
                    # whose old file is under none of its names.
                    step = journal_text([(-1, ident, sep + "a")]).split(b"\n")[3] + b"\n"
                    head = journal_text([])[:-len(b"end\t0\n")]
                    count = (journal - len(head) - 16) // len(step)
                    path.write_bytes(head + step * count + b"end\t%d\n" % count)
                else:
                    path.write_bytes(journal)
                if spoil:
                    spoil(path)
                size = path.stat().st_size
                result = c.run(program, product=f"{INST}/VORDA.exe" if product else None,
                               args=[UnattendedTests.sw(self, "log"), c.native("refused.log")])
                self.assertRun(result, messages, status)
                # The journal is kept as it was, and nothing else is touched.
                self.assertEqual(path.stat().st_size, size)
                self.assertEqual(c.library_calls(INST), calls)
                if spoil:
                    after = c.tree("Apps")
                    del after["VORDA/Kestrune.journal"]
                    self.assertEqual(after, before)
                    # The log names the owner, or who else may change it.
                    events = UnattendedTests.log_of(self, "refused.log")
                    refused = [e for e in events if " is not acted on: " in e]
                    self.assertTrue(refused and ("its owner is " in refused[0] or
                                                 " may change it" in refused[0]), events)
                    # The same plan, made the run's own: taken back, then
                    # updated again.
                    os.chown(path, 0, 0)
                    os.chmod(path, 0o600)
                    self.assertRun(c.run(program), [DONE], EXIT_DONE)
                    self.assertTree("Apps", before)
                    continue
                path.unlink()
                self.assertTree("Apps", before)

    def test_a_stray_file_at_a_backup_name_after_a_stop_is_never_taken_for_the_old_file(self):
        c = self.case
        # Enough files that the run is still at work when it is stopped.
        fill = {f"fill/f{i:04}.dat": f"new {i}\n".encode() for i in range(1500)}
        package = {**PACKAGED, **fill}
        program = self.standard(files={**INSTALLED, **{k: b"old\n" for k in fill}}, package=package)
        root = c.host(INST)
        before = c.tree(INST)
        stray: list[str] = []

        def stop_there():
            # Killed once its plan is written: the journal is the run's own,
            # with the identities only it can read.
            for pid in self.target.processes(c, program):
                os.kill(pid, signal.SIGKILL)
            copies = re.search(rb"\ntemporary\t([^\n]*)\n", (root / "Kestrune.journal").read_bytes())
            unreached = [rel for rel in reversed(walk_order(c.host("pkg")))
                         if rel in fill and not any(e.name.startswith(rel.rpartition("/")[2] + ".")
                                                    for e in os.scandir(root / "fill"))]
            # A copy lies beside one file not reached yet, as the stop had
            # come after it was made; then a file appears at the backup name
            # of another, which that run never wrote.
            (root / (unreached[0] + copies[1].decode())).write_bytes(fill[unreached[0]])
            stray.append(unreached[1] + "." + VER)
            (root / stray[0]).write_bytes(b"a stray file\n")

        first = c.run(program, at_stop=(f"{INST}/Kestrune.journal", stop_there))
        self.assertTrue(first.stopped, first.describe())
        # The rerun takes the interrupted run back and updates; the stray
        # file is kept as any earlier backup is.
        self.assertRun(c.run(program), [DONE], EXIT_DONE)
        self.assertTree(INST, {**updated(before, package, list(package)), stray[0]: b"a stray file\n"})


class PackageCheckTests(Scenario):
    """A package with a list of hashes is checked whole before any change."""

    def hash_list(self, files: dict, prefix: str = "", eol: str = "\n") -> bytes:
        lines = [f"{hashlib.sha256(data).hexdigest()}  {prefix}{rel}"
                 for rel, data in sorted(files.items()) if data is not DIR]
        return ("# written by the package builder" + eol + eol.join(lines) + eol).encode()

    def test_a_package_that_matches_its_list_is_installed(self):
        for label, listing, folder in (
                ("plain", self.hash_list(PACKAGED), "pkg"),
                ("./ prefixes and CR LF", b"\xef\xbb\xbf" + self.hash_list(PACKAGED, "./", "\r\n"), "pkg"),
                ("backslashes and binary marks",
                 self.hash_list(PACKAGED).replace(b"/", b"\\").replace(b"  ", b" *"), "pkg"),
                # The updater's name is looked for below the package only.
                ("in a folder named for the updater", self.hash_list(PACKAGED), "Kestrune-2015")):
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(package_at=folder)
                (c.host(folder) / "Kestrune.sha256").write_bytes(listing)
                before = c.tree(INST)
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))

    def test_an_incomplete_or_damaged_package_changes_nothing(self):
        listed = self.hash_list(PACKAGED)
        changed = dict(PACKAGED, **{"bin/core.dll": b"new core librarY\n"})
        variants = [
            ("a listed file missing", {k: v for k, v in PACKAGED.items() if k != "bin/sub/deep.dat"},
             listed, "bin/sub/deep.dat (missing)"),
            ("one byte changed", changed, listed, "bin/core.dll (changed)"),
            ("truncated", dict(PACKAGED, **{"VORDA.exe": PACKAGED["VORDA.exe"][:10]}), listed,
             "VORDA.exe (changed)"),
            ("a file not listed", dict(PACKAGED, **{"bin/extra.dll": b"not in the list\n"}), listed,
             "bin/extra.dll (not listed)"),
            ("a malformed line", PACKAGED, listed + b"not a hash line\n", "line 6"),
        ]
        for label, package, listing, named in variants:
            with self.subTest(label):
                c = self.fresh_case()
                program = self.standard(package=package)
                (c.host("pkg") / "Kestrune.sha256").write_bytes(listing)
                before = c.tree(INST)
                result = c.run(program)
                sep = "\\" if self.target.kind == "wine" else "/"
                if named.startswith("line"):
                    named = c.native("pkg/Kestrune.sha256") + ", " + named
                elif label == "a file not listed":
                    named = named.replace("/", sep)
                self.assertRun(result, [("Error", DAMAGED + named)], EXIT_DAMAGED)
                self.assertTree(INST, before)
                self.assertEqual(c.library_calls(INST), ONE_CALL)

    def test_write_hashes_writes_a_list_that_sha256sum_and_the_next_run_accept(self):
        switch = "/write-hashes" if self.target.kind == "wine" else "--write-hashes"
        # Renamed by a vendor, the updater still leaves its own files out.
        for name in (self.target.program_name, "VordaUpdate.exe" if self.target.kind == "wine" else "VordaUpdate"):
            with self.subTest(name):
                c = self.fresh_case()
                self.installation()
                program = c.package({**PACKAGED, "names with spaces/a b.txt": b"spaced\n"},
                                    settings=settings_text(), program_name=name)
                c.registry(uninstall_key(c.native(INST, True)))
                c.write("outside", {"secret.txt": b"outside the package\n"})
                c.host("pkg/out.txt").symlink_to(c.host("outside/secret.txt"))
                left_out = {"out.txt (left out, a link that leads out of the package)"}
                if self.target.kind == "posix":
                    os.mkfifo(c.host("pkg/fifo"))
                    left_out.add("fifo (left out, neither a file nor a folder)")
                before = c.tree(INST)
                result = c.run(program, args=[switch])
                stem = name.rsplit(".", 1)[0]
                listing = c.host(f"pkg/{stem}.sha256")
                self.assertEqual([m.caption for m in result.messages], ["Kestrune"], result.describe())
                wrote, *named = result.messages[0].text.split("\n")
                self.assertEqual((wrote, set(named)),
                                 (f"Wrote {c.native(f'pkg/{stem}.sha256')} for 5 files", left_out))
                self.assertEqual(result.status, EXIT_DONE)
                self.assertTree(INST, before)
                self.assertNotIn(b"Kestrune", listing.read_bytes())
                self.assertNotIn(stem.encode(), listing.read_bytes())
                portable = listing.read_bytes().replace(b"\\", b"/")
                (c.host("pkg") / "portable.sha256").write_bytes(portable)
                check = subprocess.run(["sha256sum", "--strict", "-c", "portable.sha256"], cwd=c.host("pkg"),
                                       capture_output=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                (c.host("pkg") / "portable.sha256").unlink()
                self.assertRun(c.run(program), [DONE], EXIT_DONE)
                self.assertTree(INST, updated(before, PACKAGED, list(PACKAGED)))
        if self.target.kind == "wine":
            # A file held open cannot be read: said so, not called damage.
            result = c.run(program, args=[switch], hold=["pkg/bin/core.dll"])
            self.assertEqual([m.caption for m in result.messages], ["Error"], result.describe())
            self.assertRegex(result.messages[0].text, r"^Could not read bin\\core\.dll: \S")
            self.assertEqual(result.status, EXIT_DAMAGED)

    def test_a_packaged_file_changed_after_the_check_is_never_installed(self):
        # Stopped from outside once the check is done (the journal is
        # there), a packaged file the run has not reached yet gets other
        # bytes; enough files that some are always left to reach.
        c = self.case
        fill = {f"fill/f{i:03}.dat": f"new {i}\n".encode() for i in range(200)}
        package = {**PACKAGED, **fill}
        program = self.standard(files={**INSTALLED, **{k: b"old\n" for k in fill}}, package=package)
        (c.host("pkg") / "Kestrune.sha256").write_bytes(self.hash_list(package))
        before = c.tree(INST)
        changed: list[str] = []

        def change() -> None:
            for rel in reversed([r for r in walk_order(c.host("pkg")) if r in package]):
                folder, _, name = f"{INST}/{rel}".rpartition("/")
                # Untouched: no copy, backup or set-aside name beside it yet.
                if not any(e.name.startswith(name + ".") for e in os.scandir(c.host(folder))):
                    (c.host("pkg") / rel).write_bytes(b"changed after the check\n")
                    changed.append(rel)
                    return
            raise AssertionError("stopped after the run had reached every file")
        result = c.run(program, at_stop=(f"{INST}/Kestrune.journal", change))
        self.assertTrue(result.stopped, result.describe())
        sep = "\\" if self.target.kind == "wine" else "/"
        self.assertRun(result, [("Error", DAMAGED + changed[0].replace("/", sep) + " (changed)")],
                       EXIT_DAMAGED)
        self.assertTree(INST, before)


GROUPS = {
    "discovery": [DriverCheck, SettingsTests, LocatorTests, ProbeTests, Wine64OnlyTests],
    "update": [ReplaceTests, ConfinementTests, RunningTests, PosixOnlyTests, WineOnlyTests],
    "unattended": [UnattendedTests, InUseTests],
    "interrupted": [InterruptedTests],
    "package": [PackageCheckTests],
}


def applies(cls: type[Scenario], target: Target) -> bool:
    return cls.only is None or target.kind in cls.only or target.name in cls.only


def build_suite(target: Target, groups: list[str],
                patterns: list[str] | None = None) -> unittest.TestSuite:
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    if patterns:
        loader.testNamePatterns = [f"*{p}*" for p in patterns]
    for group in groups:
        for cls in GROUPS[group]:
            if not applies(cls, target):
                continue
            bound = type(f"{cls.__name__}[{target.name}]", (cls,), {"target": target})
            bound.__module__ = cls.__module__
            suite.addTests(loader.loadTestsFromTestCase(bound))
    return suite
