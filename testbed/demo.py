#!/usr/bin/env python3
"""The main job as a user of 64-bit Windows runs it: two boxes on a simulated LAN, the installed
32-bit TavrixInstall.exe's "-I" in a WoW64 prefix, the 64-bit copy it starts, and what they did.

Usage: testbed/with-wine32.sh python3 demo.py [BUILD_ROOT]   (default: build; BUILD_ROOT/x64 holds
the 64-bit build, BUILD_ROOT/x86 the 32-bit build, each with its libhdhomerun.dll)
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from tavrix_testbed.wineprefix import WinePrefix  # noqa: E402

CATEGORIES = {"KSCATEGORY_BDA_NETWORK_TUNER": "{71985F48-1CA1-11D3-9CC8-00C04F7971E0}",
              "KSCATEGORY_BDA_RECEIVER_COMPONENT": "{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}"}
INI = "[devices]\n2040:5200:ofdm=DVB-T\n[settings]\nsettingsPath=/\n"
STORE = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"


def flags(prefix: WinePrefix) -> str:
    out = prefix.reg("query", STORE, "/v", "Flags", check=False).stdout.decode("latin-1")
    return out.split()[-1] if "REG_DWORD" in out else "(none)"


def main() -> int:
    build = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build").resolve()
    print("=== booting a WoW64 prefix (about half a minute)", flush=True)
    with WinePrefix(libraries=build, wow64=True) as prefix, Lan() as lan:
        prefix.install(build / "x64" / "TavrixInstall.exe", ini_text=INI, exe32=build / "x86" / "TavrixInstall.exe")
        lan.set_host("192.0.2.50", "media-pc")
        lan.add_box(Box(nth_valid_device_id(0), "192.0.2.10", "living-room-box",
                        [Tuner("2040:5200:ofdm", owner="192.0.2.50"), Tuner("2040:5200:ofdm")]))
        lan.add_box(Box(nth_valid_device_id(1), "192.0.2.11", None, [Tuner("8vsb qam", available=False)]))
        print(f"=== the 32-bit copy: TavrixInstall.exe -I in namespace {lan.program_ns}")
        result = prefix.run(prefix.exe32, "-I", netns=lan.program_ns)
        print(f"exit code {result.returncode}\n\n=== its log\n" + "".join(line.rstrip("\n") + "\n" for line in result.log))
        # The 64-bit copy it started with "-i" runs on its own; it clears 0x02 when it is done.
        deadline = time.monotonic() + 120
        while flags(prefix) != "0x0" and time.monotonic() < deadline:
            time.sleep(0.5)
        print(f"=== the stored list and Flags ({flags(prefix)} once the 64-bit copy is done): {STORE}")
        print(prefix.reg_export(STORE))
        for view in (32, 64):
            for title, category in CATEGORIES.items():
                listing = prefix.reg("query", rf"HKCR\CLSID\{category}\Instance", f"/reg:{view}",
                                     check=False).stdout.decode("latin-1")
                names = [line.rsplit("\\", 1)[-1] for line in listing.splitlines() if "\\Instance\\" in line]
                print(f"=== {view}-bit filter instances under {title}\n" + ("\n".join(names) or "(none)") + "\n")
        folder = prefix.pvr_folder32
        print(f"=== PVR source folder {prefix.windows_path(folder)}")
        for path in sorted(p for p in folder.rglob("*") if p.is_file()):
            print(f"--- {path.relative_to(folder)}\n{path.read_bytes().decode('latin-1').replace(chr(13), '')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
