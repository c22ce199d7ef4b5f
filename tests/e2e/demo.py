#!/usr/bin/env python3
"""Shows an update as a user would see it, with each given build of Kestrune.

  demo.py --posix build/posix/Kestrune --windows build/win32/Kestrune.exe

It lays out a small installation of the product (registered in the registry,
with a test version library reporting 2015.1.0) and an update package for it,
runs the updater, and prints every message box (caption and text), the exit
status and the installation's files afterwards; then it runs the updater once
more while the product runs from its installation folder. The Windows program runs under
Wine, in the prefix that the end-to-end tests use, on a private X display.
Helper programs are looked for in tests/e2e/ of each program's build folder.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import (DIR, UNINSTALL, Case, Helpers, PosixTarget, RegKey, RunResult,  # noqa: E402
                     Target, WineTarget, settings_text)

GUID = "{6C1F2A5E-7B3D-4E8A-9C0F-1D2E3F405162}"
VERSION = "2015.1.0"
INSTALLATION = "Programs/VORDA"
PACKAGE = "VORDA update"

INSTALLED = {
    "VORDA.exe": b"VORDA+ 2015.1.0 main program\n",
    "bin/core.dll": b"core library 2015.1.0\n",
    "bin/plugins/render.dll": b"render plug-in 2015.1.0\n",
    "res/strings.txt": b"strings 2015.1.0\n",
    "docs/readme.txt": b"read me: not part of this update\n",
}
PACKAGED = {
    "bin/core.dll": b"core library 2015.1.1, with fixes\n",
    "bin/plugins/render.dll": b"render plug-in 2015.1.1\n",
    "res/strings.txt": b"strings 2015.1.1\n",
    "res/extra.txt": b"a file the installation does not have: not copied\n",
    "empty folder": DIR,
}
EXIT_MEANING = {
    0: "completed", 1: "settings incomplete", 2: "not installed",
    3: "installation folder not found", 4: "version library missing", 5: "wrong version",
    6: "product running", 7: "copy failed, update undone", 8: "copy failed, undo incomplete",
}


def describe_files(case: Case) -> list[str]:
    lines = []
    tree = case.tree(INSTALLATION)
    for rel in sorted(k for k, v in tree.items() if v is not DIR):
        data = tree[rel]
        if rel.endswith("." + VERSION):
            note = "backup of the file before the update"
        elif rel in PACKAGED and data == PACKAGED[rel]:
            note = "replaced by the update"
        elif rel.startswith("VoUInfo."):
            note = "test version library" if rel == "VoUInfo.dll" else "its version text"
        else:
            note = "unchanged"
        lines.append(f"    {rel:<34} {len(data):>7} bytes  {note}")
    return lines


def show(result: RunResult) -> None:
    print("  Messages the user saw:" if result.messages else "  No message was shown.")
    for message in result.messages:
        icon = " (with an exclamation icon)" if message.icon else ""
        print(f"    [{message.caption}]{icon} " + message.text.replace("\n", "\n        "))
    if result.timed_out:
        print("  The program did not end and was stopped.")
    else:
        print(f"  Exit status: {result.status} ({EXIT_MEANING.get(result.status, 'unknown')})")


def demo(target: Target, title: str) -> int:
    print(f"=== {title}")
    target.start()
    try:
        case = target.new_case()
        case.write(INSTALLATION, INSTALLED)
        case.version_library(INSTALLATION, VERSION.encode() + b"\0")
        program = case.package(PACKAGED, at=PACKAGE, settings=settings_text(vernum=VERSION, guid=GUID))
        case.registry(RegKey(UNINSTALL + GUID, {"DisplayName": "VORDA+",
                                                "InstallLocation": case.native(INSTALLATION, True)}))
        print(f"Installation: {case.native(INSTALLATION)} (registered under its uninstall entry)")
        print(f"Update package: {case.native(PACKAGE)}, started as {case.native(program)}")
        result = case.run(program)
        show(result)
        print("Installation afterwards:")
        print("\n".join(describe_files(case)))

        print("Run again while VORDA.exe runs from the installation folder:")
        case.place_product(f"{INSTALLATION}/VORDA.exe")
        before = case.tree(INSTALLATION)
        again = case.run(program, product=f"{INSTALLATION}/VORDA.exe")
        show(again)
        print("Installation " + ("untouched." if case.tree(INSTALLATION) == before else "CHANGED."))
        target.end_case(case)
        return 0 if result.status == 0 and again.status == 6 else 1
    finally:
        target.stop()
        print()


def helper(folder: Path, name: str) -> Path:
    path = folder / name
    if not path.is_file():
        sys.exit(f"demo: {path} is missing; build the tests' helpers first")
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--posix", type=Path, help="the POSIX port (build/posix/Kestrune)")
    parser.add_argument("--windows", type=Path, help="the Windows program (build/win32/Kestrune.exe)")
    parser.add_argument("--arch", choices=["win32", "win64"], default="win32",
                        help="Wine prefix architecture for the Windows program")
    parser.add_argument("--prefix", type=Path, help="Wine prefix (default: the tests' prefix)")
    args = parser.parse_args()
    if not args.posix and not args.windows:
        parser.error("name --posix, --windows or both")

    failures = 0
    if args.posix:
        helpers_dir = args.posix.resolve().parent / "tests" / "e2e"
        target = PosixTarget(args.posix, Helpers(helper(helpers_dir, "vouinfo18.so"),
                                                 helper(helpers_dir, "vouinfo_no18.so")))
        failures += demo(target, f"POSIX port: {args.posix}")
    if args.windows:
        helpers_dir = args.windows.resolve().parent / "tests" / "e2e"
        helpers = Helpers(helper(helpers_dir, "vouinfo18.dll"), helper(helpers_dir, "vouinfo_no18.dll"),
                          driver=helper(helpers_dir, "box_driver.exe"),
                          fake_product=helper(helpers_dir, "fake_product.exe"),
                          probe=helper(helpers_dir, "msgbox_probe.exe"))
        prefix = args.prefix or helpers_dir / f"wine-{args.arch}"
        target = WineTarget(args.windows, helpers, args.arch, prefix)
        if not (prefix / "drive_c").is_dir():
            print(f"(making the Wine prefix {prefix} first: about half a minute)")
        failures += demo(target, f"Windows program under Wine ({args.arch}): {args.windows}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
