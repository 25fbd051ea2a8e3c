#!/usr/bin/env python3
"""Runs a PE test executable under wine64 in a throwaway prefix holding the installed layout.

Usage: run_in_prefix.py --exe TavrixInstall.exe [--libraries BUILD_ROOT] -- test.exe [args...]
The test runs from the 64-bit home folder, beside the built libhdhomerun.dll, with Wine's
null graphics driver. TAVRIX_TEST_BUILD names the test's own build folder as a Windows path
(for the test programs there). Exit code: the test's.
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tavrix_testbed.wineprefix import WINE, WinePrefix  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", type=Path, required=True)
    parser.add_argument("--libraries", type=Path)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    test_exe, *test_args = [c for c in args.command if c != "--"]
    test_exe = Path(test_exe).resolve()
    with WinePrefix(libraries=args.libraries) as prefix:
        prefix.headless()
        prefix.install(args.exe, pvr_folder=False)
        shutil.copy2(test_exe, prefix.home64)
        env = prefix.env(WINEDEBUG="-all", TAVRIX_TEST_BUILD="Z:" + str(test_exe.parent).replace("/", "\\"))
        return subprocess.run([WINE, str(prefix.home64 / test_exe.name), *test_args], env=env,
                              cwd=str(prefix.home64), stdin=subprocess.DEVNULL).returncode


if __name__ == "__main__":
    sys.exit(main())
