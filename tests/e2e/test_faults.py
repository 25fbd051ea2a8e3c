"""Faults the real TavrixInstall.exe must survive: boxes that die, babble or dawdle, stored
registry values of every wrong type and size, missing folders, and a configuration file with
values of 10,000 characters.

Every run must end by itself with exit code 0 and without a crash report of Wine on its
stderr; whatever the program stores or registers afterwards must be exactly the outcome
written down in the test (a text that ran past its buffer would show up there: in a cut
field, a neighbour's field, or a crash). The registry is written and read with
bench_regtool.exe through the "A" functions, byte for byte as the program sees it.

The prefix keeps its wineserver running between the runs of a test (bench/benchlib.py), which
makes each run of the program take about a second instead of several.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import BUILD, REPO

sys.path.insert(0, str(REPO / "bench"))
from benchlib import (  # noqa: E402
    PRODUCT_KEY, RECEIVER_INSTANCES, TUNER_INSTANCES, BenchPrefix, Box, Lan, Tuner, crash_lines, instance_names,
    nth_valid_device_id, parse_log, stored_list,
)

DEVICES = PRODUCT_KEY + r"\Devices"
DEFAULT_USER_KEY = r"HKU\.DEFAULT\SOFTWARE\ORVA Systems\Zentrova"
PVR_LINE = "GetPvrSourcePath 64Bit access path failed: %s"
INI = "[devices]\n2040:5200:ofdm=DVB-T\n"

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 0, 1, 2, 3, 4
REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ, REG_QWORD = 5, 6, 7, 11


@dataclass
class Run:
    returncode: int
    log: list[str]
    stderr: str
    seconds: float


class Bed:
    """One prefix for the module: the program installed, a persistent wineserver."""

    def __init__(self, prefix: BenchPrefix):
        self.prefix = prefix

    def run(self, option: str, netns: str | None = None, timeout: float = 300, exe: Path | None = None) -> Run:
        start = time.monotonic()
        env = self.prefix.env(WINEDEBUG="-all,warn+debugstr")
        result = self.prefix.wine([str(exe or self.prefix.exe), option], netns=netns, env=env, timeout=timeout)
        stderr = result.stderr.decode("utf-8", "replace")
        run = Run(result.returncode, parse_log(stderr), stderr, time.monotonic() - start)
        # The program ends with 0 on every path; anything else, or a report of Wine's
        # debugger, is a crash.
        assert run.returncode == 0, stderr[-3000:]
        assert crash_lines(stderr) == [], stderr[-3000:]
        assert run.log and "CmdLine:%s" % option in run.log[0], run.log
        return run

    def reset(self):
        """No stored list, no Flags, no filter instances, the usual configuration file."""
        self.prefix.regdelete(r"HKCU\SOFTWARE\ORVA Systems", r"HKU\.DEFAULT\SOFTWARE\ORVA Systems",
                              TUNER_INSTANCES, RECEIVER_INSTANCES)
        assert self.instances() == (set(), set())
        self.prefix.prefix.write_ini(INI)
        self.prefix.prefix.pvr_folder.mkdir(parents=True, exist_ok=True)

    def set_values(self, entries: list[tuple[str, str, int, bytes]]):
        """(key, value name, type, data) written exactly; a name of None only creates the key."""
        lines = []
        for key, name, kind, data in entries:
            lines.append(key if name is None else "%s\t%s\t%d\t%s" % (key, name, kind, data.hex()))
        self.prefix.regset(lines)

    def dump(self, key: str = PRODUCT_KEY):
        return self.prefix.regdump(key)

    def listed(self) -> dict:
        return stored_list(self.dump()) or {}

    def flags(self):
        dump = self.dump()
        return None if dump is None else dump["values"].get("Flags")

    def instances(self) -> tuple[set[str], set[str]]:
        return (set(instance_names(self.prefix, TUNER_INSTANCES)),
                set(instance_names(self.prefix, RECEIVER_INSTANCES)))


@pytest.fixture(scope="module")
def bed():
    if not (BUILD / "bench" / "bench_regtool.exe").exists():
        pytest.fail("%s/bench/bench_regtool.exe is not built (run tools/build.sh)" % BUILD)
    with BenchPrefix(BUILD, ini_text=INI) as prefix:
        yield Bed(prefix)


@pytest.fixture
def clean(bed):
    bed.reset()
    return bed


@pytest.fixture
def lan():
    with Lan() as network:
        yield network


def sz(text: str) -> bytes:
    return text.encode("latin-1") + b"\0"


def good_box(n: int = 0, tuners: int = 2) -> Box:
    return Box(nth_valid_device_id(n), "192.0.2.%d" % (10 + n), "good-%d" % n,
               [Tuner("2040:5200:ofdm") for _ in range(tuners)])


def record_of(box: Box, tuners: int | None = None, name: str | None = None) -> dict:
    """The stored record of a box as the program writes it (tuners 0..tuners-1)."""
    count = len(box.tuners) if tuners is None else tuners
    return {"Ip": box.ip, "Name": name or "Zentrova@%s" % (box.hostname or box.ip), "problems": [],
            "tuners": {str(i): {"Id": "%s-%d" % (box.id_text, i), "Model": box.tuners[i].model,
                                "Name": "DVB-T" if box.tuners[i].model == "2040:5200:ofdm" else box.tuners[i].model}
                       for i in range(count)}}


def instance(tuner_id: str) -> str:
    return "ORVA Tavrix " + tuner_id


# ---------------------------------------------------------------- stored values

# Text values the program reads, with the size of the field that takes them.
BOX_TEXTS = {"Ip": 20, "Name": 80}
TUNER_TEXTS = {"Id": 20, "Model": 20, "Name": 80, "Owner": 80}


def text_cases(size: int) -> list[tuple[str, int, bytes, str]]:
    """(case, type, data, the text the field takes). A field takes a stored text only when it
    is a REG_SZ or REG_EXPAND_SZ that fits with its terminator and ends in one; everything
    else reads as empty."""
    return [
        ("REG_NONE", REG_NONE, b"abc\0", ""),
        ("REG_BINARY", REG_BINARY, b"abc\0", ""),
        ("REG_DWORD", REG_DWORD, b"abc\0", ""),
        ("REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, b"abc\0", ""),
        ("REG_LINK", REG_LINK, b"abc\0", ""),
        ("REG_MULTI_SZ", REG_MULTI_SZ, b"abc\0def\0\0", ""),
        ("REG_QWORD", REG_QWORD, b"abc\0defg", ""),
        ("type 0x2A", 0x2A, b"abc\0", ""),
        ("REG_EXPAND_SZ read unexpanded", REG_EXPAND_SZ, b"%SystemRoot%\0", "%SystemRoot%"),
        ("no data", REG_SZ, b"", ""),
        ("only the terminator", REG_SZ, b"\0", ""),
        ("unterminated", REG_SZ, b"abc", ""),
        ("fits exactly", REG_SZ, b"x" * (size - 1) + b"\0", "x" * (size - 1)),
        ("one character too long", REG_SZ, b"y" * size + b"\0", ""),
        ("field-sized, unterminated", REG_SZ, b"z" * size, ""),
        ("10000 characters", REG_SZ, b"w" * 10000 + b"\0", ""),
        ("terminator inside", REG_SZ, b"ab\0cd\0", "ab"),
    ]


def stored_value_cases():
    """One stored box per (value, case): box B<nnn> with one tuner; the bad value is either
    one of the box's or one of its tuner's, everything else is well formed."""
    cases = []
    n = 0
    for level, texts in (("box", BOX_TEXTS), ("tuner", TUNER_TEXTS)):
        for name, size in texts.items():
            for case, kind, data, outcome in text_cases(size):
                cases.append(("B%03d" % n, level, name, case, kind, data, outcome))
                n += 1
    return cases


def well_formed(box_id: str) -> dict:
    return {"box": {"Ip": sz("192.0.2.%d" % (100 + int(box_id[1:]) % 100)), "Name": sz("Zentrova@" + box_id)},
            "tuner": {"Id": sz(box_id + "-0"), "Model": sz("2040:5200:ofdm"), "Name": sz("DVB-T"),
                      "Owner": sz("owner-pc")}}


class TestStoredValuesOfEveryTypeAndSize:
    def test_text_values_read_as_the_field_allows_and_nothing_spills(self, clean, lan):
        """80 boxes with one bad text each, loaded by -I (which saves what it loaded back) and
        by -i (which registers a filter instance per loaded tuner Id)."""
        cases = stored_value_cases()
        entries = []
        for box_id, level, name, _case, kind, data, _outcome in cases:
            values = well_formed(box_id)
            box_key = DEVICES + "\\" + box_id
            tuner_key = box_key + r"\Tuners\0"
            for value, text in values["box"].items():
                if not (level == "box" and value == name):
                    entries.append((box_key, value, REG_SZ, text))
            for value, text in values["tuner"].items():
                if not (level == "tuner" and value == name):
                    entries.append((tuner_key, value, REG_SZ, text))
            entries.append((box_key if level == "box" else tuner_key, name, kind, data))
        clean.set_values(entries)
        box = good_box(90)
        lan.add_box(box)

        clean.run("-I", lan.program_ns)

        expected = {box.id_text: record_of(box)}
        for box_id, level, name, _case, _kind, _data, outcome in cases:
            values = {k: v[:-1].decode("latin-1") for k, v in well_formed(box_id)["box"].items()}
            tuner = {k: v[:-1].decode("latin-1") for k, v in well_formed(box_id)["tuner"].items()}
            (values if level == "box" else tuner)[name] = outcome
            tuner.pop("Owner")  # read, never written back
            expected[box_id] = {"Ip": values["Ip"], "Name": values["Name"], "problems": [], "tuners": {"0": tuner}}
        listed = clean.listed()
        mismatches = {box_id: (case_of(cases, box_id), listed.get(box_id), want)
                      for box_id, want in expected.items() if listed.get(box_id) != want}
        assert mismatches == {}
        assert set(listed) == set(expected)

        clean.run("-i")
        tuner_ids = {t["Id"] for record in expected.values() for t in record["tuners"].values()}
        assert clean.instances() == ({instance(i) for i in tuner_ids},) * 2
        # A tuner whose Id reads empty is registered all the same, as the bare prefix and a blank.
        assert instance("") in clean.instances()[0]

    @pytest.mark.parametrize("level", ["box", "tuner"])
    def test_modified_words_of_every_type_and_size(self, clean, lan, level):
        """A stored "Modified" joins the change mask of the next search only when it reads as a
        REG_DWORD: with the bit of a changed name or model, an unchanged LAN then calls for an
        install, which sets the pending bits and completes the 64-bit one (Flags 0x05); read as
        0, nothing happens (Flags stays 0). The save that follows drops the value."""
        bit = 0x04 if level == "box" else 0x400
        little = bit.to_bytes(4, "little")
        cases = [
            ("REG_DWORD", REG_DWORD, little, True),
            ("REG_DWORD of 2 bytes", REG_DWORD, little[:2], True),
            ("REG_DWORD of 0 bytes", REG_DWORD, b"", False),
            ("REG_DWORD of 8 bytes", REG_DWORD, little + b"\0" * 4, False),
            ("REG_SZ", REG_SZ, sz(str(bit)), False),
            ("REG_BINARY", REG_BINARY, little, False),
            ("REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, bit.to_bytes(4, "big"), False),
            ("REG_QWORD", REG_QWORD, bit.to_bytes(8, "little"), False),
            ("REG_NONE", REG_NONE, little, False),
            ("REG_BINARY of 10000 bytes", REG_BINARY, little * 2500, False),
        ]
        box = good_box(0)
        lan.add_box(box)
        clean.run("-I", lan.program_ns)
        key = DEVICES + "\\" + box.id_text + (r"\Tuners\0" if level == "tuner" else "")
        outcomes = {}
        for case, kind, data, installs in cases:
            clean.set_values([(PRODUCT_KEY, "Flags", REG_DWORD, bytes(4)), (key, "Modified", kind, data)])
            clean.run("-I", lan.program_ns)
            outcomes[case] = (clean.flags(), "Modified" in clean.dump(key)["values"])
            assert outcomes[case] == ([REG_DWORD, ("05000000" if installs else "00000000")], False), case
        assert clean.listed() == {box.id_text: record_of(box)}

    def test_flags_of_every_type_and_size(self, clean, lan):
        """"Flags" counts only as a REG_DWORD of the current user that fits 4 bytes; otherwise the
        default user's value is read, and without one Flags reads 0. Probe: the force bit 0x10 on
        an unchanged LAN makes -I install (Flags ends as 0x05: force cleared, pending bits set,
        the 64-bit bit completed); read as 0, -I writes nothing and the odd value stays."""
        cases = [
            ("REG_DWORD", REG_DWORD, b"\x10\0\0\0", True),
            ("REG_DWORD of 1 byte", REG_DWORD, b"\x10", True),
            ("REG_DWORD of 0 bytes", REG_DWORD, b"", False),
            ("REG_DWORD of 8 bytes", REG_DWORD, b"\x10" + b"\0" * 7, False),
            ("REG_DWORD of 10000 bytes", REG_DWORD, b"\x10" * 10000, False),
            ("REG_SZ", REG_SZ, sz("16"), False),
            ("REG_BINARY", REG_BINARY, b"\x10\0\0\0", False),
            ("REG_QWORD", REG_QWORD, b"\x10" + b"\0" * 7, False),
            ("REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, b"\0\0\0\x10", False),
            ("REG_NONE", REG_NONE, b"\x10\0\0\0", False),
        ]
        box = good_box(0)
        lan.add_box(box)
        clean.run("-I", lan.program_ns)
        for case, kind, data, forced in cases:
            clean.set_values([(PRODUCT_KEY, "Flags", kind, data)])
            clean.run("-I", lan.program_ns)
            want = [REG_DWORD, "05000000"] if forced else [kind, data.hex()]
            assert clean.flags() == want, case

        # A current-user value of the wrong type falls back to the default user's.
        clean.set_values([(PRODUCT_KEY, "Flags", REG_SZ, sz("16")),
                          (DEFAULT_USER_KEY, "Flags", REG_DWORD, b"\x10\0\0\0")])
        clean.run("-I", lan.program_ns)
        assert clean.flags() == [REG_DWORD, "05000000"]
        assert clean.dump(DEFAULT_USER_KEY)["values"]["Flags"] == [REG_DWORD, "10000000"]
        assert clean.listed() == {box.id_text: record_of(box)}


def case_of(cases, box_id: str) -> str:
    for entry in cases:
        if entry[0] == box_id:
            return "%s %s: %s" % entry[1:4]
    return "the good box"


class TestInstanceOfAnUnreadableId:
    def test_uninstall_all_removes_the_instance_of_an_empty_id(self, clean):
        clean.set_values([(DEVICES + r"\B000", "Ip", REG_SZ, sz("192.0.2.100")),
                          (DEVICES + r"\B000", "Name", REG_SZ, sz("Zentrova@B000")),
                          (DEVICES + r"\B000\Tuners\0", "Id", REG_BINARY, b"abc\0"),
                          (DEVICES + r"\B000\Tuners\0", "Model", REG_SZ, sz("2040:5200:ofdm"))])
        clean.run("-i")
        assert clean.instances() == ({instance("")},) * 2

        clean.run("-R")

        assert clean.instances() == (set(), set())


# ---------------------------------------------------------------- boxes that misbehave

def wait_for_request(lan: Lan, box: Box, count: int, timeout: float) -> bool:
    """True once the box has logged `count` control requests."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if sum(1 for line in lan.box_log(box.device_id).splitlines() if " #%d " % count in line):
            return True
        time.sleep(0.02)
    return False


def requests_seen(lan: Lan, box: Box) -> list[str]:
    return [line.split(": ")[0].split(" ", 3)[3] for line in lan.box_log(box.device_id).splitlines()
            if " #" in line and " get " in line]


class TestBoxesThatMisbehave:
    def test_a_box_killed_in_the_middle_of_a_probe(self, clean, lan):
        """The simulator of a box with four tuners is killed (SIGKILL) after its third request,
        while the program waits for answers. Outcome: the run ends normally; the box is listed
        with the tuners whose model it could still read (fewer than four, each complete), the
        box beside it with all of its tuners."""
        victim = Box(nth_valid_device_id(0), "192.0.2.10", "victim",
                     [Tuner("2040:5200:ofdm") for _ in range(4)], {"delay": 0.3})
        beside = good_box(1)
        lan.add_boxes([victim, beside])
        killed = threading.Event()

        def kill_when_probed():
            if wait_for_request(lan, victim, 3, 60):
                os.kill(lan.running_box(victim.device_id).process.pid, signal.SIGKILL)
                killed.set()

        killer = threading.Thread(target=kill_when_probed)
        killer.start()
        run = clean.run("-I", lan.program_ns, timeout=120)
        killer.join()

        assert killed.is_set()
        listed = clean.listed()
        assert listed[beside.id_text] == record_of(beside)
        count = len(listed[victim.id_text]["tuners"])
        assert count < 4, requests_seen(lan, victim)
        assert listed[victim.id_text] == record_of(victim, tuners=count)
        assert run.seconds < 60

    def test_broken_packets_of_every_kind(self, clean, lan):
        """Boxes answering every control request, or one variable, or their discovery with
        a broken packet: random bytes, bad CRC, truncated, oversized (payload beyond 4000
        bytes), a field longer than the payload, swapped reply types, 2 bytes.
        Outcomes: broken control replies leave the box listed without tuners (its first model
        read fails); a broken reply to tuner 1's model ends the box's tuners after tuner 0; a
        broken owner reply is only a failed owner read (availability decides, nothing stored
        changes); a broken discovery reply keeps the box out of the list. A good box beside
        them is listed whole."""
        kinds = ("random", "bad_crc", "truncated", "oversized", "bad_tlv", "wrong_type", "short")
        quick = ("bad_crc", "oversized", "bad_tlv", "wrong_type")  # the others cost the library 5 s
        expected_tuners, boxes, n = {}, [], 0

        def add(misbehave, tuners):
            nonlocal n
            box = Box(nth_valid_device_id(10 + n), "192.0.2.%d" % (20 + n), None,
                      [Tuner("2040:5200:ofdm"), Tuner("2040:5200:ofdm")], misbehave)
            n += 1
            boxes.append(box)
            expected_tuners[box.id_text] = tuners

        for kind in kinds:
            add({"control_garbage": kind}, 0)
            add({"discover_garbage": kind}, None)
        for kind in quick:
            add({"garbage_vars": {"/tuner1/model": kind}}, 1)
            add({"garbage_vars": {"/tuner0/owner": kind, "/tuner1/available": kind}}, 2)
        beside = good_box(0)
        boxes.append(beside)
        expected_tuners[beside.id_text] = 2
        lan.add_boxes(boxes)

        run = clean.run("-I", lan.program_ns, timeout=300)

        by_id = {b.id_text: b for b in boxes}
        expected = {box_id: record_of(by_id[box_id], tuners=count)
                    for box_id, count in expected_tuners.items() if count is not None}
        assert clean.listed() == expected
        assert run.seconds < 120

    def test_a_box_that_answers_only_after_five_seconds(self, clean, lan):
        """Every control reply of the slow box comes 5 s late: the library gives up on the
        first model read first (two tries of 2.5 s, each on a new connection, so no late reply
        is ever taken), the box is listed without tuners, and the run goes on with the next
        box."""
        slow = Box(nth_valid_device_id(0), "192.0.2.10", "slow", [Tuner("2040:5200:ofdm")], {"delay": 5.0})
        beside = good_box(1)
        lan.add_boxes([slow, beside])

        run = clean.run("-I", lan.program_ns, timeout=120)

        assert clean.listed() == {slow.id_text: record_of(slow, tuners=0), beside.id_text: record_of(beside)}
        assert 4.5 < run.seconds < 60
        assert requests_seen(lan, slow)[0] == "get /tuner0/model"


# ---------------------------------------------------------------- missing folders

class TestMissingFolders:
    def test_no_pvr_source_folder(self, clean, lan):
        """Every job goes on without the PVR source folder: the line of GetPvrSourcePath, the
        list stored, the filters registered; the folder is not created."""
        shutil.rmtree(clean.prefix.prefix.pvr_folder.parent.parent)  # "ORVA Systems\PVR"
        box = good_box(0)
        lan.add_box(box)
        line = PVR_LINE % r"C:\Program Files\Common Files\ORVA Systems\PVR\Supported3\Sources"

        detect = clean.run("-I", lan.program_ns)
        install = clean.run("-i")
        unavailable = clean.run("-r")

        for run in (detect, install, unavailable):
            assert line in run.log
        assert clean.listed() == {box.id_text: record_of(box)}
        ids = {instance("%s-%d" % (box.id_text, i)) for i in range(2)}
        assert clean.instances() == (ids, ids)
        assert clean.flags() == [REG_DWORD, "05000000"]
        assert not clean.prefix.prefix.pvr_folder.exists()

    def test_no_common_files_folders_at_all(self, clean, lan):
        """Both Common Files folders gone (the program started from elsewhere): no
        configuration file (tuner names are the model texts), no PVR source folder, no copy
        to start; every job still ends normally and registers or removes its filters."""
        p = clean.prefix
        elsewhere = p.root / "drive_c" / "Elsewhere"
        elsewhere.mkdir(exist_ok=True)
        shutil.copy2(p.exe, elsewhere / "TavrixInstall.exe")
        shutil.copy2(p.exe.parent / "libhdhomerun.dll", elsewhere / "libhdhomerun.dll")
        moved = []
        try:
            for folder in (p.prefix.common64, p.prefix.common32):
                target = folder.with_name(folder.name + " (moved)")
                folder.rename(target)
                moved.append((target, folder))
            box = good_box(0)
            lan.add_box(box)
            exe = elsewhere / "TavrixInstall.exe"
            # SHGetFolderPathA fails for a folder that does not exist and leaves the buffer
            # empty; the path built on it starts at the drive's root and is not there either.
            line = PVR_LINE % r"\ORVA Systems\PVR\Supported3\Sources"

            detect = clean.run("-I", lan.program_ns, exe=exe)
            install = clean.run("-i", exe=exe)
            unavailable = clean.run("-r", exe=exe)

            for run in (detect, install, unavailable):
                assert line in run.log
            unnamed = record_of(box)
            for tuner in unnamed["tuners"].values():
                tuner["Name"] = tuner["Model"]
            assert clean.listed() == {box.id_text: unnamed}
            ids = {instance("%s-%d" % (box.id_text, i)) for i in range(2)}
            assert clean.instances() == (ids, ids)

            clean.run("-R", exe=exe)
            assert clean.instances() == (set(), set())
            assert clean.listed() == {}
            assert not p.prefix.common64.exists() and not p.prefix.common32.exists()
        finally:
            for target, folder in moved:
                target.rename(folder)
            shutil.rmtree(elsewhere, ignore_errors=True)


# ---------------------------------------------------------------- configuration file

TEN_THOUSAND = 10000
MENU_KEYS = ("Zentrova (64 Bit)", "Settings", "Delete", "NoDevices", "NoTuners", "Unknown", "RefreshRunning",
             "Refresh", "Autostart", "About", "Exit", "Application", "Driver")


def long_ini() -> str:
    """Every value the program looks up 10,000 characters long, plus a key, a section name
    and a line of that length."""
    def long(letter: str) -> str:
        return letter * TEN_THOUSAND

    lines = ["[%s]" % long("S"), "%s=x" % long("K"), long("L"), "[devices]",
             "2040:5200:ofdm=%s" % long("D"), "%s=y" % long("M"), "[settings]", "settingsPath=/%s" % long("P")[1:]]
    for section in ("en", "de"):
        lines.append("[%s]" % section)
        lines += ["%s=%s" % (key, long(key[0])) for key in MENU_KEYS]
        lines.append("Zentrova@good-0=%s" % long("B"))
    return "\n".join(lines) + "\n"


class TestConfigurationValuesOf10000Characters:
    def test_detect_and_install_cuts_the_display_name_at_its_field(self, clean, lan):
        """The model's display name is read into the 80-character field: the first 79
        characters are stored, the rest is dropped; nothing else changes."""
        clean.prefix.prefix.write_ini(long_ini())
        box = good_box(0)
        lan.add_box(box)

        clean.run("-I", lan.program_ns)
        clean.run("-i")

        expected = record_of(box)
        for tuner in expected["tuners"].values():
            tuner["Name"] = "D" * 79
        assert clean.listed() == {box.id_text: expected}
        ids = {instance("%s-%d" % (box.id_text, i)) for i in range(2)}
        assert clean.instances() == (ids, ids)

    def test_the_tray_opens_its_menu_with_them(self, clean, lan, artifacts):
        """The resident tray with that file, the box listed and present: the menu, built from
        10,000-character translations (each shown cut to the lookup's 100-character buffer,
        the tuner rows with "..."; see the screenshot), opens and closes; the tray does not
        crash."""
        from bench import TrayDesktop
        from tavrix_testbed.xserver import XServer

        clean.prefix.prefix.write_ini(long_ini())
        box = good_box(0)
        lan.add_box(box)
        clean.run("-I", lan.program_ns)
        with XServer() as xserver:
            tray = TrayDesktop(clean.prefix, xserver, lan.program_ns)
            try:
                shown = menu_shown(xserver, tray, artifacts / "menu_with_long_texts.png")
                assert shown, tray.output()[-3000:]
                assert tray.alive()
                assert crash_lines(tray.output()) == []
            finally:
                stop_tray(tray)


def stop_tray(tray):
    """Ends the tray process; its desktop goes with the X server."""
    try:
        os.kill(tray.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 30
    while tray.alive() and time.monotonic() < deadline:
        time.sleep(0.1)


def visible_program_windows(xserver) -> list[str]:
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "tavrixinstall.exe"],
                            env=xserver.env(), capture_output=True, text=True, timeout=30)
    return result.stdout.split()


def menu_shown(xserver, tray, screenshot: Path, timeout: float = 30) -> bool:
    """Right-click the icon until a window of the program shows (the menu), keep a picture,
    then close it with a click beside it."""
    def xdotool(*args):
        subprocess.run(["xdotool", *args], env=xserver.env(), check=True, timeout=30)

    x, y = tray.icon_position
    deadline = time.monotonic() + timeout
    shown = False
    while time.monotonic() < deadline and not shown:
        xdotool("mousemove", str(x), str(y), "mousedown", "3")
        for _ in range(25):
            if visible_program_windows(xserver):
                shown = True
                break
            time.sleep(0.2)
        xdotool("mousemove", "10", "10", "mouseup", "3")
    if shown:
        time.sleep(0.5)
        xserver.screenshot(screenshot)
    while time.monotonic() < deadline and visible_program_windows(xserver):
        xdotool("click", "1")
        time.sleep(0.5)
    return shown
