#!/usr/bin/env python3
"""Runs the end-to-end scenarios against one build of the updater.

  run_e2e.py --target posix --program build/posix/Kestrune \\
      --vouinfo .../vouinfo18.so --vouinfo-no18 .../vouinfo_no18.so
  run_e2e.py --target wine-win32 --program build/win32/Kestrune.exe \\
      --driver .../box_driver.exe --fake-product .../fake_product.exe \\
      --probe .../msgbox_probe.exe --holder .../holder.exe --vouinfo .../vouinfo18.dll \\
      --vouinfo-no18 .../vouinfo_no18.dll --prefix build/win32/tests/e2e/wine-win32

Ends with one line "N passed, N failed"; the exit status is 0 only when
every scenario passed.
"""

from __future__ import annotations

import argparse
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Helpers, PosixTarget, Target, WineTarget  # noqa: E402
from scenarios import GROUPS, build_suite  # noqa: E402

# What Wine writes when its own processes fail to start, whatever runs in it.
WINE_OWN_FAILURES = ("failed to start explorer", "failed to map the shared user data")


def make_target(args: argparse.Namespace) -> Target:
    def existing(path: str | None, what: str) -> Path:
        if not path or not Path(path).is_file():
            sys.exit(f"run_e2e: {what} not found: {path}")
        return Path(path).resolve()

    program = existing(args.program, "program under test")
    if args.target == "posix":
        helpers = Helpers(existing(args.vouinfo, "test version library"),
                          existing(args.vouinfo_no18, "library without the entry"),
                          vouinfo_origin=existing(args.vouinfo_origin,
                                                  "library with a dependency beside it"))
        target = PosixTarget(program, helpers, Path(args.work) if args.work else None)
        target.keep_failed = args.keep
        return target
    helpers = Helpers(existing(args.vouinfo, "test version library"),
                      existing(args.vouinfo_no18, "library without the entry"),
                      driver=existing(args.driver, "box driver"),
                      fake_product=existing(args.fake_product, "stand-in product"),
                      probe=existing(args.probe, "driver check program"),
                      holder=existing(args.holder, "holder of files"))
    if not args.prefix:
        sys.exit("run_e2e: --prefix is needed for a Wine target")
    return WineTarget(program, helpers, args.target.split("-", 1)[1], Path(args.prefix),
                      display=args.display, new_prefix=args.new_prefix)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", required=True, choices=["posix", "wine-win32", "wine-win64"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--group", action="append", choices=sorted(GROUPS),
                        help="scenario group (repeatable); all groups when absent")
    parser.add_argument("-k", dest="pattern", action="append",
                        help="only tests whose name contains this (repeatable)")
    parser.add_argument("--vouinfo")
    parser.add_argument("--vouinfo-no18")
    parser.add_argument("--vouinfo-origin", help="POSIX: the test library that needs "
                        "libvouinfo_dep.so, from its own folder, beside it")
    parser.add_argument("--driver")
    parser.add_argument("--fake-product")
    parser.add_argument("--probe")
    parser.add_argument("--holder")
    parser.add_argument("--prefix", help="Wine prefix folder (made when absent)")
    parser.add_argument("--display", help="use this X display instead of a private Xvfb")
    parser.add_argument("--new-prefix", action="store_true",
                        help="make the Wine prefix anew even when a current one exists")
    parser.add_argument("--work", help="POSIX: folder for the cases' sandboxes")
    parser.add_argument("--keep", action="store_true", help="POSIX: keep the cases' folders")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()

    target = make_target(args)
    target.start()
    retried: list[str] = []
    try:
        suite = build_suite(target, args.group or sorted(GROUPS), args.pattern)
        runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2 if args.verbose else 1)
        result = runner.run(suite)
        # A scenario that failed because Wine itself did (its desktop process
        # could not start, so no window could show) says nothing of the
        # program: it runs once more, from a fresh case.
        flaky = {}
        for test, text in result.failures + result.errors:
            test = getattr(test, "test_case", test)
            if any(marker in text for marker in WINE_OWN_FAILURES):
                flaky[test.id()] = test
        if flaky:
            again = unittest.TestSuite(type(t)(t._testMethodName) for t in flaky.values())
            second = runner.run(again)
            still = {getattr(t, "test_case", t).id() for t, _ in second.failures + second.errors}
            retried = [i for i in flaky if i not in still]
    finally:
        target.stop()
    # A scenario with several failing variants (subtests) counts once.
    failed_ids = {getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors}
    failed_ids |= {test.id() for test in result.unexpectedSuccesses}
    failed_ids -= set(retried)
    for test_id in retried:
        print(f"passed on a second try, after Wine's own failure: {test_id}")
    failed = len(failed_ids)
    passed = result.testsRun - failed - len(result.skipped)
    line = f"{passed} passed, {failed} failed"
    if result.skipped:
        line += f", {len(result.skipped)} skipped"
    print(f"{target.name}: {line}")
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
