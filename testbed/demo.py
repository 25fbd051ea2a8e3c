#!/usr/bin/env python3
"""The main job on a simulated LAN: two boxes, `TavrixInstall.exe -I` under Wine, and what it did.

Usage: demo.py [BUILD_DIR]   (default: build/x64; the bridge is expected in BUILD_DIR/bridge)
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from tavrix_testbed.wineprefix import WinePrefix  # noqa: E402

RECEIVER = r"HKCR\CLSID\{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}\Instance"
TUNER = r"HKCR\CLSID\{71985F48-1CA1-11D3-9CC8-00C04F7971E0}\Instance"
INI = """[devices]
2040:5200:ofdm=DVB-T
[settings]
settingsPath=/
"""


def heading(text: str):
    print(f"\n=== {text}")


def main() -> int:
    build = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "x64").resolve()
    exe, bridge = build / "TavrixInstall.exe", build / "bridge"
    boxes = [
        Box(nth_valid_device_id(0), "192.0.2.10", "living-room-box",
            [Tuner("2040:5200:ofdm", owner="192.0.2.50"), Tuner("2040:5200:ofdm")]),
        Box(nth_valid_device_id(1), "192.0.2.11", None, [Tuner("8vsb qam", available=False)]),
    ]
    with WinePrefix(bridge_dir=bridge) as prefix, Lan() as lan:
        installed = prefix.install(exe, ini_text=INI)
        lan.set_host("192.0.2.50", "media-pc")
        for box in boxes:
            lan.add_box(box)
        heading(f"TavrixInstall.exe -I in namespace {lan.program_ns}")
        result = prefix.run(installed, "-I", netns=lan.program_ns)
        print(f"exit code {result.returncode}")
        heading("log")
        for line in result.log:
            print(line.rstrip("\n"))
        heading(r"stored list and Flags: HKCU\SOFTWARE\ORVA Systems\Zentrova")
        print(prefix.reg_export(r"HKCU\SOFTWARE\ORVA Systems\Zentrova"))
        for title, key in (("KSCATEGORY_BDA_NETWORK_TUNER", TUNER), ("KSCATEGORY_BDA_RECEIVER_COMPONENT", RECEIVER)):
            heading(f"filter instances under {title}")
            lines = prefix.reg("query", key, check=False).stdout.decode(errors="replace").splitlines()
            names = [line.strip().rsplit("\\", 1)[-1] for line in lines if "\\Instance\\" in line]
            print("\n".join(names) or "(none)")
        heading("PVR source folder")
        files = sorted(prefix.pvr_folder.rglob("*"))
        for path in files:
            print(path.relative_to(prefix.pvr_folder))
        if not files:
            print("(empty: PVR files are written by the 32-bit copy, which this 64-bit-only machine cannot run;\n"
                  " Flags keeps 0x01 and 0x04 pending for it, the 64-bit copy cleared 0x02)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
