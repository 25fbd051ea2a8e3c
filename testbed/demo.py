#!/usr/bin/env python3
"""The main job on a simulated LAN: two boxes, `TavrixInstall.exe -I` under Wine, and what it did.

Usage: demo.py [BUILD_DIR]   (default: build/x64; the bridge is expected in BUILD_DIR/bridge)
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from tavrix_testbed.wineprefix import WinePrefix  # noqa: E402

CATEGORIES = {"KSCATEGORY_BDA_NETWORK_TUNER": "{71985F48-1CA1-11D3-9CC8-00C04F7971E0}",
              "KSCATEGORY_BDA_RECEIVER_COMPONENT": "{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}"}
INI = "[devices]\n2040:5200:ofdm=DVB-T\n[settings]\nsettingsPath=/\n"


def main() -> int:
    build = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "x64").resolve()
    with WinePrefix(bridge_dir=build / "bridge") as prefix, Lan() as lan:
        exe = prefix.install(build / "TavrixInstall.exe", ini_text=INI)
        lan.set_host("192.0.2.50", "media-pc")
        lan.add_box(Box(nth_valid_device_id(0), "192.0.2.10", "living-room-box",
                        [Tuner("2040:5200:ofdm", owner="192.0.2.50"), Tuner("2040:5200:ofdm")]))
        lan.add_box(Box(nth_valid_device_id(1), "192.0.2.11", None, [Tuner("8vsb qam", available=False)]))
        print(f"=== TavrixInstall.exe -I in namespace {lan.program_ns}")
        result = prefix.run(exe, "-I", netns=lan.program_ns)
        print(f"exit code {result.returncode}\n\n=== log\n" + "".join(line.rstrip("\n") + "\n" for line in result.log))
        print(r"=== stored list and Flags: HKCU\SOFTWARE\ORVA Systems\Zentrova")
        print(prefix.reg_export(r"HKCU\SOFTWARE\ORVA Systems\Zentrova"))
        for title, category in CATEGORIES.items():
            listing = prefix.reg("query", rf"HKCR\CLSID\{category}\Instance", check=False).stdout.decode("latin-1")
            names = [line.rsplit("\\", 1)[-1] for line in listing.splitlines() if "\\Instance\\" in line]
            print(f"=== filter instances under {title}\n" + ("\n".join(names) or "(none)") + "\n")
        files = sorted(path.relative_to(prefix.pvr_folder) for path in prefix.pvr_folder.rglob("*"))
        print("=== PVR source folder\n" + ("\n".join(map(str, files)) or
              "(empty: the 32-bit copy writes PVR files, and this machine cannot run it; Flags keeps\n"
              " 0x01 and 0x04 pending for it, the 64-bit copy cleared 0x02)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
