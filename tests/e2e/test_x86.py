"""The real x86 TavrixInstall.exe in a WoW64 prefix on the simulated LAN, as a user of 64-bit Windows
runs it: its share of "-I" (the stored list, the 32-bit filter instances, the PVR files) and the
64-bit copy it starts with "-i"; "-r" and "-R" in both registry views; the force bit at its start;
its tray in a real window."""

from __future__ import annotations

import subprocess
import sys
import time
from xml.etree import ElementTree

import pytest

from conftest import REPO
from station import CATEGORIES, ROOT, S, Station, record, stored_text
from tavrix_testbed.wineprefix import parse_export, subtree
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id
from tavrix_testbed.msi import instances as category_instances

sys.path.insert(0, str(REPO / "testbed" / "tray"))
from test_tray import GREYED, INI as TRAY_INI, SEP, TAIL, TITLE, open_tray_menu  # noqa: E402
from traydesk import CONVERT, TrayDesktop, wait_until  # noqa: E402

# Model text: (tuner type, board) of its PVR files; the table's first matching row wins, case counts.
MODELS = {"2040:5200:ofdm": ("DVBTTuner", "Zentrova"), "8vsb": ("ATSCTuner", "OrvaBrdA"),
          "x:qam256": ("DVBCTuner", "OrvaBrdD"), "qpsk": ("DVBSTuner", "OrvaBrdB"), "8psk": ("DVBSTuner", "OrvaBrdC"),
          "qam 8vsb": ("ATSCTuner", "OrvaBrdA"), "8psk qpsk": ("DVBSTuner", "OrvaBrdB")}
UNSUPPORTED = "2040:5200:OFDM"
DPI_AWARE = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware"  # the element Vista reads
BOX = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner(model) for model in MODELS])


def pvr_files(box: Box, n: int, name: str = "") -> dict[str, bytes]:
    """The three files of a tuner folder, byte for byte: text mode, the first line joined."""
    tuner_id, (kind, board) = f"{box.id_text}-{n}", MODELS[box.tuners[n].model]
    name = name or record(box)["Tuners"][str(n)]["Name"]
    filter_line = f'<FILTER id="Tuner" instance="ORVA Tavrix {tuner_id}" category="BDA Source Filters"/>\n'
    texts = {"Sources.xml": '<?xml version="1.0" encoding="utf-8" ?><PVR3>\n  <SOURCES>\n'
                            f'    <SOURCE id="{record(box)["Name"]} {n + 1}: {name}" progid="OstrelDevice.{board}">\n'
                            f'      <INPUT id="{kind}" url="DvbModes.xml"/>\n    </SOURCE>\n  </SOURCES>\n</PVR3>\n',
             "IsAvailable.device": filter_line + f'<DEVICE board="{tuner_id}"/>\n',
             f"{kind}.device": filter_line + '<DEFINE topologyfile="SingleTunerCapture.xgr"/>\n'}
    return {file: text.replace("\n", "\r\n").encode("cp1252") for file, text in texts.items()}


def ours(*boxes: Box) -> set[str]:
    return {f"ORVA Tavrix {box.id_text}-{n}" for box in boxes for n in range(len(box.tuners))}


def instances(prefix, view: int) -> list[set[str]]:
    """The filter instance names of both categories in one registry view."""
    return [category_instances(prefix, key.split("\\")[2], view) for key in CATEGORIES]


def flags(station: Station) -> str | None:
    return station.stored().get("Flags")


def test_32bit_copy_installs_its_share_and_its_64bit_followup_the_rest(wow64):
    with Lan() as lan:
        lan.add_box(BOX)
        station = Station(wow64, wow64.exe32, lan)
        log = station.run("-I", timeout=120).log

        assert "Exe:32Bit" in log[0], log
        assert station.stored()["Devices"] == {BOX.id_text: record(BOX)}
        assert instances(wow64, 32) == [ours(BOX)] * 2
        for n in range(len(BOX.tuners)):
            folder = wow64.pvr_folder32 / f"Zentrova {BOX.id_text}-{n}"
            assert {f.name: f.read_bytes() for f in folder.iterdir()} == pvr_files(BOX, n), BOX.tuners[n].model
        # The 64-bit copy, started and not waited for, completes the installation.
        wait_until(lambda: flags(station) == "dword:00000000", 120, "Flags 0 from the 64-bit -i")
        assert instances(wow64, 64) == [ours(BOX)] * 2
        # Nothing changed: no follow-up either (without rights, each one is an elevation prompt).
        assert [line for line in station.run("-I", timeout=120).log if "ShellExecuteEx" in line] == []
        # Tuner 1 renamed (bytes as the user's code page has them), then its model changes under that name.
        folder, name = wow64.pvr_folder32 / f"Zentrova {BOX.id_text}-1", "Kombi-Empf\xe4nger"
        wow64.write_ini(f"[devices]\r\n8vsb={name}\r\nx:qam256={name}\r\n".encode("cp1252"))
        for model in ("8vsb", "x:qam256"):
            changed = Box(BOX.device_id, BOX.ip, BOX.hostname, [BOX.tuners[0], Tuner(model), *BOX.tuners[2:]])
            station.set_lan([changed])
            station.run("-I", timeout=120)
            files = {f.name: f.read_bytes() for f in folder.iterdir()}
            assert files == {"ATSCTuner.device": pvr_files(BOX, 1)["ATSCTuner.device"], **pvr_files(changed, 1, name)}


def tree(folder, skip=()) -> dict:
    return {f.name: tree(f, skip) if f.is_dir() else f.read_bytes() for f in folder.iterdir() if f not in skip}


def test_32bit_uninstall_of_unlisted_tuners_then_of_all_in_both_views(wow64):
    kept = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("x:qam256")])
    dropped = Box(nth_valid_device_id(1), "192.0.2.11", "box-b", [Tuner("8vsb"), Tuner(UNSUPPORTED)])
    other = wow64.pvr_folder32 / "Other Product"
    with Lan() as lan:
        lan.add_boxes([kept, dropped])
        station = Station(wow64, wow64.exe32, lan)
        log = station.run("-I", timeout=120).log
        # A model without PVR files: no folder, and the files stay pending once the 64-bit share is done.
        assert f"PvrFiles 32Bit tuner model not supported: {UNSUPPORTED}" in log, log
        wait_until(lambda: flags(station) == "dword:00000004", 120, "Flags 0x04 after the 64-bit -i")
        assert {f.name for f in wow64.pvr_folder32.iterdir()} == \
            {f"Zentrova {kept.id_text}-0", f"Zentrova {dropped.id_text}-0"}
        other.mkdir()
        (other / "Sources.xml").write_text("theirs")

        for option, listed in [("-r", (kept,)), ("-R", ())]:
            if option == "-r":  # the box is taken out of the stored list; it may still be on the LAN
                wow64.reg("delete", rf"{ROOT}\Devices\{dropped.id_text}", "/f")
            station.run(option, timeout=120)
            assert {f.name for f in wow64.pvr_folder32.iterdir()} == \
                {"Other Product"} | {f"Zentrova {box.id_text}-0" for box in listed}, option
            assert instances(wow64, 32) == [ours(*listed)] * 2, option
            # The 64-bit copy's "-r" follows.
            wait_until(lambda: instances(wow64, 64) == [ours(*listed)] * 2, 120,
                       f"the 64-bit view after {option}")
        assert (other / "Sources.xml").read_text() == "theirs"
        assert flags(station) == "dword:00000000"  # -r installed the listed box again, files included


# Stored tuner Ids that a path must never be made of: anyone of the user may write the list.
NO_FOLDER_NAMES = [r"x\..\..\..\..\Esc", "../../../../Esc2", "C:Esc3", "..", ".", ""]
UP, TUNER = "\uff3c\uff0e\uff0e", "Zentrova 1A2B3C4D-0"  # UP: a fullwidth "\.."
ESCAPE, LISTED = f"Zentrova {UP * 7}\uff3coutside", "Zentrova " + "\\.." * 7 + "\\outside"  # and as listed
NAMELESS = "DeleteTunerFolders 32Bit entry name no file can have: "
ELSEWHERE = "DeleteTunerFolders 32Bit entry is not in its folder: {pvr}\\"
# What anyone may write as stored Ids or plant in the PVR source folder (six levels below C:\; "->" makes a
# link to C:\outside; fullwidth names are listed as code page 1252 has them): the copy's option, the entries,
# the lines logged, the names that stay in the folder.
HOSTILE = [
    pytest.param("-i", ["Zentrova 1A2B3C46-0 ->"], [f"PvrFiles 32Bit tuner Id is no folder name: {i}" for i in
                 NO_FOLDER_NAMES] + ["PvrFiles 32Bit tuner folder is a link: Zentrova 1A2B3C46-0"],
                 {"Zentrova 1A2B3C46-0"}, id="stored-ids-and-a-tuner-folder-link"),
    pytest.param("-R", ["Zentrova link ->"], [ELSEWHERE + "Zentrova link"], {"Zentrova link"}, id="link"),
    pytest.param("-R", [f"{TUNER}/escape ->"], [ELSEWHERE + TUNER + "\\escape"], {TUNER}, id="link-in-a-tuner-folder"),
    pytest.param("-R", [ESCAPE + "\uff3ckeep.txt"], [NAMELESS + LISTED + "\\keep.txt"], {ESCAPE + "\uff3ckeep.txt"},
                 id="best-fit-file"),
    pytest.param("-r", [ESCAPE + "/"], [NAMELESS + LISTED], {ESCAPE}, id="best-fit-folder"),
    pytest.param("-R", [f"{TUNER}/\uff0e\uff0e{UP * 6}\uff3coutside\uff3ckeep.txt"],
                 [NAMELESS + ".." + "\\.." * 6 + "\\outside\\keep.txt"], {TUNER}, id="best-fit-in-a-tuner-folder"),
    pytest.param("-r", ["Zentrova a\tb:c"], [NAMELESS + "Zentrova a?b:c"], {"Zentrova a\tb:c"},
                 id="control-character-and-colon"),
]


@pytest.mark.parametrize("option,planted,lines,staying", HOSTILE)
def test_32bit_copy_touches_nothing_outside_the_pvr_source_folder(wow64, option, planted, lines, staying):
    drive, pvr, outside = wow64.root / "drive_c", wow64.pvr_folder32, wow64.root / "drive_c" / "outside"
    (outside / "Zentrova sub").mkdir(parents=True)  # a name that a walk in there would take for a tuner folder
    for file in ("keep.txt", "Zentrova sub/inner.txt"):
        (outside / file).write_bytes(b"theirs")
    for entry in planted:
        name, link, _ = entry.partition(" ->")
        (pvr / name).parent.mkdir(parents=True, exist_ok=True)
        if link:
            (pvr / name).symlink_to(outside, target_is_directory=True)
        elif name.endswith("/"):
            (pvr / name).mkdir()
        else:
            (pvr / name).write_bytes(b"planted")
    tuners = "".join(f'[{ROOT}\\{S}\\Tuners\\{n}]\n"Id"="{tuner_id.replace(chr(92), chr(92) * 2)}"\n"Model"="qam256"\n'
                     f'"Name"="DVB-C Tuner"\n\n' for n, tuner_id in enumerate(NO_FOLDER_NAMES, 1))
    skip = {drive / "windows", drive / "users", pvr}
    before = tree(drive, skip)
    with Lan() as lan:
        station = Station(wow64, wow64.exe32, lan)
        station.reset(stored_text(tuner='"Model"="qam256"', keys=tuners) if option == "-i" else "")
        log = [line.rstrip("\n") for line in station.run(option, timeout=120).log]
    for line in lines:
        assert line.format(pvr=wow64.windows_path(pvr)) in log, log
    assert tree(drive, skip) == before
    assert set(tree(pvr)) == staying


# Flags before the start, PVR source folder present, the pending bits logged, Flags after.
FORCE_ROWS = [(0x17, True, 0x17, 0x07), (0x17, False, 0x13, 0x07), (None, True, 0x00, 0x00)]


@pytest.mark.parametrize("before,pvr_folder,pending,after", FORCE_ROWS, ids=["pending", "no-pvr-folder", "no-value"])
def test_32bit_administrator_start_clears_the_force_bit(wow64, before, pvr_folder, pending, after):
    if before is not None:
        wow64.reg("add", ROOT, "/v", "Flags", "/t", "REG_DWORD", "/d", str(before), "/f")
    if not pvr_folder:
        wow64.pvr_folder32.rmdir()
    # An unknown option runs no job: only the start-up touches Flags.
    result = wow64.run(wow64.exe32, ["-x"], timeout=120)
    assert result.returncode == 0
    line = ("StorageFlagsHandle reset UAC. System:64Bit  Exe:32Bit  IsAdmin:yes Flags:0x%08x\n" % pending)
    assert line in result.log, result.log
    assert subtree(parse_export(wow64.reg_export(ROOT)), ROOT)["Flags"] == "dword:%08x" % after


def test_32bit_tray_menu_with_boxes_and_exit(wow64, exe, exe32, programs, xserver, artifacts):
    # Drawn at the system's scale, not stretched: Wine scales every program alike, only the manifests show it.
    manifests = [subprocess.run(["wrestool", "-x", "--raw", "-t", "24", program], capture_output=True,
                                check=True).stdout for program in (exe, exe32)]
    assert [[e.text for e in ElementTree.fromstring(m).iter(DPI_AWARE)] for m in manifests] == [["true"]] * 2
    owner = Box(nth_valid_device_id(0), "192.0.2.10", "box-a",
                [Tuner("dvbc"), Tuner("2040:5200:ofdm", owner="192.0.2.77", available=False)])
    busy = Box(nth_valid_device_id(1), "192.0.2.11", "box-b", [Tuner("dvbc", available=False)])  # holder unnamed
    slow = Box(nth_valid_device_id(2), "192.0.2.12", "box-c", [Tuner("dvbc")] * 3, misbehave={"delay": 2.0})
    wow64.write_ini(TRAY_INI)
    with Lan() as lan, TrayDesktop(wow64, wow64.exe32, xserver, artifacts, programs, netns=lan.program_ns) as desk:
        lan.add_box(owner)
        lan.set_host("192.0.2.77", "viewer-pc")
        searches = lambda box: lan.box_connects(box.device_id)  # noqa: E731
        desk.start()
        started = time.time()  # with the tray's start line in its log
        rows = [("T", TITLE, "Zentrova (32 Bit)"), SEP, ("M", 0, "Zentrova@box-a"), ("T", 0, "  1: DVB-C Tuner"),
                ("T", 0, "  2: DVB-T Tuner (viewer-pc)")] + TAIL
        frame, _ = open_tray_menu(desk, rows, "menu32")
        save_picture(xserver, artifacts / "tray.png", frame, desk.wait_for_icon("ready"))
        desk.click(10, 10)
        # The first search installed the tuners, and its 64-bit follow-up the 64-bit share.
        wait_until(lambda: instances(wow64, 64) == [ours(owner)] * 2, 120, "the 64-bit -i")

        # The first search came at once: sooner after the start than half the tray's own period. Quiet cycles
        # start no copy (each an elevation prompt without rights): the fourth search ends the third cycle.
        first, second, *_ = wait_until(lambda: len(searches(owner)) >= 4 and searches(owner), 120, "quiet cycles")
        assert first - started < (second - first) / 2, ("first search waited", started, first, second)
        assert (desk.log().count("ShellExecuteEx path:"), desk.copies()) == (1, 1), desk.log()
        # A change on the LAN starts exactly one copy, the 64-bit one with "-i", which registers it.
        lan.add_box(busy)
        wait_until(lambda: instances(wow64, 64) == [ours(owner, busy)] * 2, 120, "the 64-bit -i of the change")

        # Exit during a slow search that finds a new box: its list is stored, nothing registered, no copy
        # started. A tuner in use by a client the box does not name is "Unknown", never free.
        lan.add_box(slow)
        wait_until(lambda: searches(slow), 60, "the slow search")
        rows = rows[:5] + [SEP, ("M", 0, "Zentrova@box-b"), ("T", 0, "  1: DVB-C Tuner (Unknown)"),
                           SEP, ("T", GREYED, "RefreshRunning")] + TAIL[2:]
        frame, bands = open_tray_menu(desk, rows, "menu32-exit")
        watcher = desk.probe("wait", background=True)
        assert watcher.stdout.readline().split() == ["watching"]
        desk.choose(frame, bands[-1])
        assert watcher.communicate(timeout=120)[0].split() == ["exit", "0", "icon", "0", "back", "0"]
        assert slow.id_text in subtree(parse_export(wow64.reg_export(ROOT)), ROOT)["Devices"]
        assert [instances(wow64, view) for view in (32, 64)] == [[ours(owner, busy)] * 2] * 2
        assert (desk.log().count("ShellExecuteEx path:"), desk.copies()) == (2, 0), desk.log()


def save_picture(xserver, path, frame, icon, margin: int = 12):
    """The open menu and the icon below it, as the README shows them (a small 64-colour PNG)."""
    shot = path.with_suffix(".full.png")
    xserver.screenshot(shot)
    left, top = min(frame[0], icon[0]) - margin, frame[1] - margin
    right, bottom = max(frame[2], icon[2]) + margin, max(frame[3], icon[3]) + margin
    subprocess.run([CONVERT, str(shot), "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", "-strip",
                    "-define", "png:exclude-chunk=date,time", "-colors", "64", str(path)], check=True, timeout=60)
    shot.unlink()
