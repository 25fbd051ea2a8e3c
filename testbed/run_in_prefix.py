#!/usr/bin/env python3
"""Runs a PE test executable under wine64 in a throwaway prefix holding the installed layout.

Usage: run_in_prefix.py [--exe TavrixInstall.exe] [--bridge DIR] -- test.exe [args...]
The test executable runs from the 64-bit home folder, beside the bridge's libhdhomerun.dll.
The prefix uses Wine's null graphics driver: without an X display Wine creates no window
at all, and tests of windows, menus and broadcasts need them headless.
Exit code: the test executable's.
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
    bridge = bridge if bridge and (args.bridge / "libhdhomerun.dll").exists() else None
    with WinePrefix(bridge_dir=bridge) as prefix:
        prefix.reg("add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
        if args.exe and args.exe.exists():
            prefix.install(args.exe, pvr_folder=False)
        else:
            prefix.home64.mkdir(parents=True, exist_ok=True)
        test_exe = Path(command[0])
        target = prefix.home64 / test_exe.name
        shutil.copy2(test_exe, target)
        if bridge:
            shutil.copy2(bridge / "libhdhomerun.dll", prefix.home64 / "libhdhomerun.dll")
        env = prefix.env(WINEDEBUG="-all")
        env["TAVRIX_TEST_PREFIX"] = str(prefix.root)
        proc = subprocess.run([WINE, str(target), *command[1:]], env=env, cwd=str(prefix.home64))
        prefix.wait()
        return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
