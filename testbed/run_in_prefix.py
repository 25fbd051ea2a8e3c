#!/usr/bin/env python3
"""Runs a PE test executable under wine64 in a throwaway prefix holding the installed layout.

Usage: run_in_prefix.py [--exe TavrixInstall.exe] [--bridge DIR] -- test.exe [args...]
The test executable runs from the 64-bit home folder, beside the bridge's libhdhomerun.dll,
with Wine's null graphics driver (windows, menus and broadcasts without any display).
TAVRIX_TEST_PREFIX names the prefix; TAVRIX_TEST_BUILD the test executable's own build
folder as a Windows path (for the small test programs beside it). Exit code: the test's.
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
    parser.add_argument("--exe", type=Path)
    parser.add_argument("--bridge", type=Path)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [c for c in args.command if c != "--"]
    bridge = args.bridge.resolve() if args.bridge and (args.bridge / "libhdhomerun.dll").exists() else None
    with WinePrefix(bridge_dir=bridge) as prefix:
        prefix.headless()
        if args.exe and args.exe.exists():
            prefix.install(args.exe, pvr_folder=False)
        prefix.home64.mkdir(parents=True, exist_ok=True)
        test_exe = Path(command[0]).resolve()
        shutil.copy2(test_exe, prefix.home64 / test_exe.name)
        if bridge:
            shutil.copy2(bridge / "libhdhomerun.dll", prefix.home64 / "libhdhomerun.dll")
        env = prefix.env(WINEDEBUG="-all", TAVRIX_TEST_PREFIX=str(prefix.root),
                         TAVRIX_TEST_BUILD="Z:" + str(test_exe.parent).replace("/", "\\"))
        return subprocess.run([WINE, str(prefix.home64 / test_exe.name), *command[1:]], env=env,
                              cwd=str(prefix.home64), stdin=subprocess.DEVNULL).returncode


if __name__ == "__main__":
    sys.exit(main())
