"""The real x86 TavrixInstall.exe in a WoW64 prefix on the simulated LAN: its share of "-I" (the
stored list, the 32-bit filter instances, the PVR files) and the 64-bit copy it starts with "-i"."""

from __future__ import annotations

import sys

from conftest import REPO
from station import CATEGORIES, Station, parse_export, record, subtree
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id

sys.path.insert(0, str(REPO / "testbed" / "tray"))
from traydesk import wait_until  # noqa: E402

BOX = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("2040:5200:ofdm"), Tuner("dvbc-qam")])
KINDS = [("DVBTTuner", "Zentrova"), ("DVBCTuner", "OrvaBrdD")]  # per tuner: type, board


def pvr_files(box: Box, n: int) -> dict[str, bytes]:
    """The three files of a tuner folder, byte for byte: text mode, the first line joined."""
    tuner_id, (kind, board) = f"{box.id_text}-{n}", KINDS[n]
    name = record(box)["Tuners"][str(n)]["Name"]
    filter_line = f'<FILTER id="Tuner" instance="ORVA Tavrix {tuner_id}" category="BDA Source Filters"/>\n'
    texts = {"Sources.xml": '<?xml version="1.0" encoding="utf-8" ?><PVR3>\n  <SOURCES>\n'
                            f'    <SOURCE id="{record(box)["Name"]} {n + 1}: {name}" progid="OstrelDevice.{board}">\n'
                            f'      <INPUT id="{kind}" url="DvbModes.xml"/>\n    </SOURCE>\n  </SOURCES>\n</PVR3>\n',
             "IsAvailable.device": filter_line + f'<DEVICE board="{tuner_id}"/>\n',
             f"{kind}.device": filter_line + '<DEFINE topologyfile="SingleTunerCapture.xgr"/>\n'}
    return {file: text.replace("\n", "\r\n").encode() for file, text in texts.items()}


def instances(prefix, view: int) -> dict[str, set[str]]:
    """The filter instance names of both categories in one registry view."""
    return {c: set(subtree(parse_export(prefix.reg_export(c, view)), c) or {}) for c in CATEGORIES}


def test_32bit_copy_installs_its_share_and_its_64bit_followup_the_rest(wow64):
    with Lan() as lan:
        lan.add_box(BOX)
        station = Station(wow64, wow64.exe32, lan)

        log = station.run("-I", timeout=120).log

        assert "Exe:32Bit" in log[0], log
        assert station.stored()["Devices"] == {BOX.id_text: record(BOX)}
        ours = {f"ORVA Tavrix {BOX.id_text}-{n}" for n in range(len(BOX.tuners))}
        assert instances(wow64, 32) == {c: ours for c in CATEGORIES}
        for n in range(len(BOX.tuners)):
            folder = wow64.pvr_folder32 / f"Zentrova {BOX.id_text}-{n}"
            assert {f.name: f.read_bytes() for f in folder.iterdir()} == pvr_files(BOX, n)
        # The 64-bit copy, started and not waited for, completes the installation.
        wait_until(lambda: station.stored().get("Flags") == "dword:00000000", 120, "Flags 0 from the 64-bit -i")
        assert instances(wow64, 64) == {c: ours for c in CATEGORIES}
