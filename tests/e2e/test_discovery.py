"""Discovery of boxes on a simulated LAN: the real TavrixInstall.exe under Wine, run in the
LAN's program namespace, and discovery_probe.exe, which runs the same discovery code
in-process and prints the change mask (never stored) and the records (owners are not
stored either) as JSON.

Every box is a simulator in a namespace of its own; host names, forward and reverse,
come from the program namespace's hosts file.
"""

from __future__ import annotations

import json
import os
import shutil
from dataclasses import dataclass
from pathlib import Path

import pytest

from tavrix_testbed import wineprefix
from tavrix_testbed.lan import Box, Lan, Tuner, invalid_device_id, nth_valid_device_id

BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", Path(__file__).resolve().parents[2] / "build" / "x64"))
ROOT = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova"
ROOT_KEY = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"
# Filter instances of KSCATEGORY_BDA_NETWORK_TUNER: what an install of the 64-bit copy leaves.
TUNER_INSTANCES = r"HKCR\CLSID\{71985F48-1CA1-11d3-9CC8-00C04F7971E0}\Instance"

# Modified bits and masks, as the records carry them.
NEW_DEVICE = 0xFF
DEVICE_PRESENT = 0x80
DEVICE_NAME = 0x04
NEW_TUNER = 0xFF00
TUNER_PRESENT = 0x8000
OWNER = 0x1000
NEEDS_INSTALL = 0xE05
PENDING = 0x07
FORCE = 0x10

INI = "[devices]\n2040:5200:ofdm=DVB-T Tuner\ndvbc=DVB-C Tuner\nMMMMMMMMMMMMMMMMMMM=Cut Model\n"

ID_A = nth_valid_device_id(0)  # 10A0000D
ID_B = nth_valid_device_id(1)  # 10A00012
HEX_A = "%08X" % ID_A
HEX_B = "%08X" % ID_B


def box_a(hostname="box-a"):
    return Box(ID_A, "192.0.2.10", hostname, [Tuner("2040:5200:ofdm"), Tuner("dvbc")])


def box_b():
    return Box(ID_B, "192.0.2.11", None, [Tuner("qam256")])


# ---------------------------------------------------------------- registry view

def _unquote(text: str, start: int) -> tuple[str, int]:
    """The reg-export string starting at the quote at `start`; its text and the end index."""
    out = []
    i = start + 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def parse_reg(text: str) -> dict[str, dict[str, object]]:
    """{key path: {value name: str for REG_SZ, ("dword", n), or ("raw", text)}}."""
    keys: dict[str, dict[str, object]] = {}
    current = None
    pending = ""
    for raw in text.splitlines():
        line = pending + raw.strip() if pending else raw
        pending = ""
        if line.endswith("\\") and "=hex" in line:
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            keys[current] = {}
        elif line.startswith('"') and current is not None:
            name, end = _unquote(line, 0)
            rest = line[end + 1:]
            if rest.startswith('"'):
                keys[current][name] = _unquote(rest, 0)[0]
            elif rest.startswith("dword:"):
                keys[current][name] = ("dword", int(rest[6:], 16))
            else:
                keys[current][name] = ("raw", rest)
    return keys


@dataclass
class Store:
    flags: object
    devices: dict
    text: str


def read_store(prefix) -> Store:
    """The stored list as {id: {"values": {...}, "tuners": {subkey: {...}} or None}} and Flags."""
    text = prefix.reg_export(ROOT_KEY)
    keys = parse_reg(text)
    flags = keys.get(ROOT, {}).get("Flags")
    devices: dict = {}
    head = ROOT + "\\Devices\\"
    for path, values in keys.items():
        if not path.startswith(head):
            continue
        parts = path[len(head):].split("\\")
        entry = devices.setdefault(parts[0], {"values": {}, "tuners": None})
        if len(parts) == 1:
            entry["values"] = values
        elif parts[1] == "Tuners":
            if entry["tuners"] is None:
                entry["tuners"] = {}
            if len(parts) == 3:
                entry["tuners"][parts[2]] = values
            elif len(parts) > 3:
                entry["tuners"].setdefault("unexpected", []).append(path)
        else:
            entry.setdefault("unexpected", []).append(path)
    return Store(flags[1] if isinstance(flags, tuple) and flags[0] == "dword" else flags, devices, text)


def stored_box(ip, name, tuners):
    """The expected store entry of one box: every value a REG_SZ, nothing else."""
    return {"values": {"Ip": ip, "Name": name},
            "tuners": {str(i): {"Id": t[0], "Model": t[1], "Name": t[2]} for i, t in enumerate(tuners)}}


# ---------------------------------------------------------------- station

@dataclass
class Station:
    """A prefix with both copies installed, the configuration file and the probe."""

    prefix: wineprefix.WinePrefix
    exe: Path
    probe_exe: Path

    def run_exe(self, option: str, netns: str, timeout: float = 600):
        result = self.prefix.run(self.exe, [option], netns=netns, timeout=timeout)
        # The program ends with 0 on every path: anything else is a crash.
        assert result.returncode == 0, result.stderr[-3000:]
        assert result.log and result.log[0].startswith("[0x") and f"CmdLine:{option}" in result.log[0]
        return result

    def _probe(self, args, netns: str, timeout: float = 600):
        result = self.prefix.run(self.probe_exe, args, netns=netns, timeout=timeout)
        assert result.returncode == 0, result.stderr[-3000:]
        return json.loads(result.stdout)

    def update(self, netns: str, detect: bool = True) -> dict:
        """UpdateDevices in-process: {"mask", "bounded", "winsock_started", "devices"}."""
        answer = self._probe(["update", "detect" if detect else "stored"], netns)
        # No text ends past its field, and every search leaves Windows Sockets cleaned up.
        assert answer["bounded"] is True
        assert answer["winsock_started"] is False
        return answer

    def box_hosts(self, netns: str, *addresses: str) -> list[dict]:
        return self._probe(["boxhost", *addresses], netns)

    def owner_hosts(self, netns: str, size: int, *addresses: str) -> list[dict]:
        return self._probe(["ownerhost", str(size), *addresses], netns)

    def store(self) -> Store:
        return read_store(self.prefix)

    def import_reg(self, text: str):
        path = self.prefix.root / "import.reg"
        path.write_text(text.replace("\n", "\r\n"), encoding="latin-1")
        self.prefix.reg("import", "Z:" + str(path).replace("/", "\\"))

    def filter_instances(self) -> set[str]:
        listing = self.prefix.reg("query", TUNER_INSTANCES, check=False).stdout.decode("utf-8", "replace")
        return {line.strip().rsplit("\\", 1)[-1] for line in listing.splitlines() if "ORVA Tavrix" in line}

    def delete_filter_instance(self, name: str):
        self.prefix.reg("delete", TUNER_INSTANCES + "\\" + name, "/f")

    def set_flags(self, value: int):
        self.prefix.reg("add", ROOT_KEY, "/v", "Flags", "/t", "REG_DWORD", "/d", str(value), "/f")


@pytest.fixture(scope="session")
def probe_exe() -> Path:
    path = BUILD / "tests" / "unit" / "devices" / "discovery_probe.exe"
    if not path.exists():
        pytest.fail(f"{path} is not built (run tools/build.sh)")
    return path


@pytest.fixture
def station(installed, probe_exe) -> Station:
    prefix, exe = installed
    prefix.write_ini(INI)
    shutil.copy2(probe_exe, prefix.home64 / probe_exe.name)
    return Station(prefix, exe, prefix.home64 / probe_exe.name)


@pytest.fixture
def lan():
    with Lan() as network:
        yield network


def by_id(answer: dict) -> dict:
    return {device["Id"]: device for device in answer["devices"]}


def tuner_view(device: dict) -> list[tuple]:
    return [(t["Index"], t["Id"], t["Model"], t["Name"], t["Owner"]) for t in device["Tuners"]]


def requests(lan: Lan, device_id: int) -> list[str]:
    """What a simulator was asked: its discovery and control log lines."""
    return [line.split(" ", 2)[2] for line in lan.box_log(device_id).splitlines() if line.count(" ") >= 2]


# ---------------------------------------------------------------- the tests

class TestDetectAndInstall:
    def test_two_boxes_are_stored_exactly_with_pending_bits(self, station, lan):
        lan.add_boxes([box_a(), box_b()])

        station.run_exe("-I", lan.program_ns)

        store = station.store()
        assert store.devices == {
            HEX_A: stored_box("192.0.2.10", "Zentrova@box-a", [
                (HEX_A + "-0", "2040:5200:ofdm", "DVB-T Tuner"),
                (HEX_A + "-1", "dvbc", "DVB-C Tuner")]),
            HEX_B: stored_box("192.0.2.11", "Zentrova@192.0.2.11", [
                (HEX_B + "-0", "qam256", "qam256")]),
        }
        # Discovery sets 0x07; the 64-bit copy's own install may clear only its 0x02.
        assert isinstance(store.flags, int)
        assert store.flags & 0x05 == 0x05 and store.flags & ~PENDING == 0

    def test_in_process_search_reports_new_boxes_and_sets_exactly_the_pending_bits(self, station, lan):
        lan.add_boxes([box_a(), box_b()])

        answer = station.update(lan.program_ns)

        assert answer["mask"] == NEW_DEVICE
        devices = by_id(answer)
        assert set(devices) == {HEX_A, HEX_B}
        assert devices[HEX_A]["Modified"] == NEW_DEVICE and devices[HEX_B]["Modified"] == NEW_DEVICE
        assert tuner_view(devices[HEX_A]) == [
            (0, HEX_A + "-0", "2040:5200:ofdm", "DVB-T Tuner", ""),
            (1, HEX_A + "-1", "dvbc", "DVB-C Tuner", "")]
        assert all(t["Modified"] == NEW_TUNER for d in devices.values() for t in d["Tuners"])
        assert station.store().flags == PENDING

    def test_the_probe_ends_at_the_first_model_that_cannot_be_read(self, station, lan):
        lan.add_box(box_a())
        station.update(lan.program_ns)
        control = [line.split(" ", 1)[1] for line in requests(lan, ID_A) if line.startswith("#")]
        assert control == [
            "get /tuner0/model: value '2040:5200:ofdm'", "get /tuner0/owner: value ''",
            "get /tuner0/available: value '1'",
            "get /tuner1/model: value 'dvbc'", "get /tuner1/owner: value ''", "get /tuner1/available: value '1'",
            "get /tuner2/model: error 'ERROR: unknown getset variable'"]


class TestOwners:
    def test_owner_host_name_text_unknown_and_free(self, station, lan):
        lan.set_host("192.0.2.77", "viewer-pc")
        # "shared" leads forward to .81 first, so .80 is not confirmed.
        lan.set_host("192.0.2.81", "shared")
        lan.set_host("192.0.2.80", "shared")
        lan.set_host("192.0.2.63", "sixty-three")  # 192.0.2.077 is .63 to inet_addr
        lan.add_box(Box(ID_A, "192.0.2.10", None, [
            Tuner("dvbc", "192.0.2.77", available=False),
            Tuner("dvbc", "recorder in the attic", available=False),
            Tuner("dvbc", None, available=False),
            Tuner("dvbc", None, available=True),
            Tuner("dvbc", "192.0.2.79", available=False),
            Tuner("dvbc", "192.0.2.80", available=False),
            Tuner("dvbc", "192.0.2.077", available=False),
        ]))

        answer = station.update(lan.program_ns)

        owners = [t["Owner"] for t in by_id(answer)[HEX_A]["Tuners"]]
        assert owners == ["viewer-pc", "recorder in the attic", "Unknown", "", "192.0.2.79", "192.0.2.80",
                          "192.0.2.077"]
        asked = requests(lan, ID_A)
        # A named owner settles it: availability is asked only where nobody is named.
        assert [line for line in asked if "available" in line] == [
            "#7 get /tuner2/available: error 'ERROR: tuner in use'", "#10 get /tuner3/available: value '1'"]

    def test_an_owner_change_alone_calls_for_no_install(self, station, lan):
        lan.set_host("192.0.2.77", "viewer-pc")
        lan.add_box(Box(ID_A, "192.0.2.10", None, [Tuner("dvbc", "192.0.2.77", available=False)]))
        station.update(lan.program_ns)
        station.set_flags(0)

        answer = station.update(lan.program_ns)

        # The store keeps no owner, so the owner reads as changed on every search.
        assert answer["mask"] == DEVICE_PRESENT | TUNER_PRESENT | OWNER
        assert station.store().flags == 0


class TestRepeatedSearch:
    def test_unchanged_lan_reports_only_presence_and_leaves_flags(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        assert station.update(lan.program_ns)["mask"] == NEW_DEVICE
        before = station.store()
        station.set_flags(0)

        answer = station.update(lan.program_ns)

        assert answer["mask"] == DEVICE_PRESENT | TUNER_PRESENT
        assert all(d["Modified"] == DEVICE_PRESENT for d in answer["devices"])
        assert all(t["Modified"] == TUNER_PRESENT for d in answer["devices"] for t in d["Tuners"])
        after = station.store()
        assert after.flags == 0
        assert after.devices == before.devices

    def test_unchanged_lan_with_the_program(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.run_exe("-I", lan.program_ns)
        assert station.filter_instances() == {"ORVA Tavrix %s-0" % HEX_A, "ORVA Tavrix %s-1" % HEX_A,
                                              "ORVA Tavrix %s-0" % HEX_B}
        before = station.store()
        station.set_flags(0)
        # An install would register it again: its absence afterwards shows that none ran.
        station.delete_filter_instance("ORVA Tavrix %s-0" % HEX_B)

        station.run_exe("-I", lan.program_ns)

        after = station.store()
        # A change would have set the pending bits (and the 64-bit install clears only 0x02).
        assert after.flags == 0
        assert after.devices == before.devices
        assert "ORVA Tavrix %s-0" % HEX_B not in station.filter_instances()

    def test_force_bit_reports_ff_clears_itself_and_sets_pending_bits(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.update(lan.program_ns)
        station.set_flags(FORCE)

        answer = station.update(lan.program_ns)

        assert answer["mask"] == NEW_DEVICE | TUNER_PRESENT
        assert station.store().flags == PENDING

    def test_force_bit_with_the_program(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.run_exe("-I", lan.program_ns)
        station.set_flags(FORCE)
        station.delete_filter_instance("ORVA Tavrix %s-0" % HEX_B)

        station.run_exe("-I", lan.program_ns)

        flags = station.store().flags
        assert flags & FORCE == 0
        assert flags & 0x05 == 0x05 and flags & ~PENDING == 0
        # Everything counts as changed, so the job installed again.
        assert "ORVA Tavrix %s-0" % HEX_B in station.filter_instances()

    def test_a_box_that_left_stays_listed_without_presence(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.run_exe("-I", lan.program_ns)
        stored = station.store().devices
        lan.remove_box(ID_B)
        station.set_flags(0)

        answer = station.update(lan.program_ns)

        assert answer["mask"] == DEVICE_PRESENT | TUNER_PRESENT
        devices = by_id(answer)
        assert devices[HEX_B]["Modified"] == 0
        assert [t["Modified"] for t in devices[HEX_B]["Tuners"]] == [0]
        assert devices[HEX_A]["Modified"] == DEVICE_PRESENT
        station.run_exe("-I", lan.program_ns)
        after = station.store()
        assert after.devices == stored
        assert after.flags == 0

    def test_a_host_name_that_no_longer_resolves_keeps_the_stored_one(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.run_exe("-I", lan.program_ns)
        assert station.store().devices[HEX_A]["values"]["Name"] == "Zentrova@box-a"
        lan.remove_host(ip="192.0.2.10")
        assert station.box_hosts(lan.program_ns, "192.0.2.10")[0]["ok"] is False

        answer = station.update(lan.program_ns)

        assert answer["mask"] & DEVICE_NAME == 0
        assert by_id(answer)[HEX_A]["Name"] == "Zentrova@box-a"
        station.run_exe("-I", lan.program_ns)
        assert station.store().devices[HEX_A]["values"]["Name"] == "Zentrova@box-a"

    def test_a_host_name_found_later_replaces_the_address(self, station, lan):
        lan.add_box(box_a(hostname=None))
        station.update(lan.program_ns)
        lan.set_host("192.0.2.10", "box-a")

        answer = station.update(lan.program_ns)

        assert answer["mask"] & NEEDS_INSTALL == DEVICE_NAME
        assert station.store().devices[HEX_A]["values"]["Name"] == "Zentrova@box-a"


class TestNothingFound:
    def _store_by_hand(self, station):
        # "Owner" and "Modified" are values a save would drop: their survival shows
        # that nothing was saved.
        device = ROOT + r"\Devices\10A0000D"
        station.import_reg(f"""Windows Registry Editor Version 5.00

[{ROOT}]
"Flags"=dword:{FORCE | 0x02:08x}

[{device}]
"Ip"="192.0.2.10"
"Name"="Zentrova@box-a"
"Modified"=dword:00000002

[{device}\\Tuners\\0]
"Id"="10A0000D-0"
"Model"="dvbc"
"Name"="DVB-C Tuner"
"Owner"="viewer-pc"
""")

    def test_no_box_on_the_lan_saves_nothing_and_leaves_flags(self, station, lan):
        self._store_by_hand(station)
        before = station.store().text

        station.run_exe("-I", lan.program_ns)
        answer = station.update(lan.program_ns)

        assert station.store().text == before
        assert answer["mask"] == 0
        assert tuner_view(by_id(answer)[HEX_A]) == [(0, "10A0000D-0", "dvbc", "DVB-C Tuner", "viewer-pc")]
        assert by_id(answer)[HEX_A]["Modified"] == 2

    def test_boxes_that_cannot_be_found_or_opened_save_nothing(self, station, lan):
        self._store_by_hand(station)
        before = station.store().text
        lan.add_boxes([
            Box(invalid_device_id(3), "192.0.2.20", None, [Tuner("dvbc")], {"invalid_id": True}),
            Box(nth_valid_device_id(4), "192.0.2.21", None, [Tuner("dvbc")], {"discover_silent": True}),
        ])

        answer = station.update(lan.program_ns)

        assert answer["mask"] == 0
        assert set(by_id(answer)) == {HEX_A}
        assert station.store().text == before


class TestStoredListOnly:
    def test_install_and_uninstall_jobs_reload_the_list_without_a_network_call(self, station, lan):
        lan.add_boxes([box_a(), box_b()])
        station.run_exe("-I", lan.program_ns)
        stored = station.store()
        asked = {device_id: requests(lan, device_id) for device_id in (ID_A, ID_B)}
        assert all(any("discover from" in line for line in lines) for lines in asked.values())

        station.run_exe("-i", lan.program_ns)
        station.run_exe("-r", lan.program_ns)
        answer = station.update(lan.program_ns, detect=False)

        assert {device_id: requests(lan, device_id) for device_id in (ID_A, ID_B)} == asked
        assert answer["mask"] == 0
        assert set(by_id(answer)) == {HEX_A, HEX_B}
        assert all(d["Modified"] == 0 for d in answer["devices"])
        after = station.store()
        assert after.devices == stored.devices


class TestManyBoxes:
    def test_more_than_64_boxes_yield_at_most_64(self, station, lan):
        ids = [nth_valid_device_id(100 + n) for n in range(65)]
        lan.add_boxes([Box(device_id, "192.0.2.%d" % (100 + n), None, [Tuner("dvbc")])
                       for n, device_id in enumerate(ids)])

        station.run_exe("-I", lan.program_ns, timeout=900)

        stored = station.store().devices
        assert len(stored) == 64
        assert set(stored) <= {"%08X" % device_id for device_id in ids}
        for device_id, entry in stored.items():
            assert entry["values"]["Name"] == "Zentrova@" + entry["values"]["Ip"]
            assert entry["tuners"] == {"0": {"Id": device_id + "-0", "Model": "dvbc", "Name": "DVB-C Tuner"}}


# ---------------------------------------------------------------- misbehaving boxes

LONG_MODEL = "M" * 299 + "m"
LONG_OWNER = "O" * 299 + "o"
LONG_HOST = "a" * 60 + "." + "b" * 29  # 90 characters: no room beside "Zentrova@"
HOST_70 = "h" * 60 + "." + "k" * 9  # "Zentrova@" + 70 fill the 80-character field exactly
HOST_71 = "h" * 60 + "." + "k" * 10
LONG_OWNER_HOST = "o" * 60 + "." + "p" * 39
GARBAGE = ("random", "bad_crc", "truncated", "oversized", "bad_tlv", "wrong_type", "short")
TWO = [Tuner("dvbc"), Tuner("dvbt", available=False)]
FULL = [("dvbc", "DVB-C Tuner", ""), ("dvbt", "dvbt", "Unknown")]


def _misbehaving_boxes():
    """(box, expected tuners as (model, name, owner), or None when the box is left out)."""
    n = iter(range(200, 260))
    address = iter("192.0.2.%d" % a for a in range(20, 80))

    def box(tuners, misbehave=None, hostname=None, device_id=None):
        return Box(device_id or nth_valid_device_id(next(n)), next(address), hostname, tuners, misbehave)

    cases = [
        (box(TWO, {"invalid_id": True}, device_id=invalid_device_id(300)), None),
        (box(TWO, {"discover_silent": True}), None),
        (box(TWO, {"discover_delay": 1.0}), None),
        (box(TWO, {"discover_garbage": "bad_crc"}), None),
        (box(TWO, {"error_vars": ["/tuner0/model"]}), []),
        (box(TWO + [Tuner("dvbs")], {"error_vars": ["/tuner1/model"]}), FULL[:1]),
        (box(TWO, {"error_vars": ["/tuner0/owner", "/tuner1/owner"]}), FULL),
        (box([Tuner("dvbc")], {"error_vars": ["/tuner0/available"]}), [("dvbc", "DVB-C Tuner", "Unknown")]),
        (box(TWO, {"silent_vars": ["/tuner0/owner"]}), FULL),
        (box(TWO, {"garbage_vars": {"/tuner0/owner": "bad_tlv"}}), FULL),
        (box(TWO, {"silent": True}), []),
        (box(TWO, {"control_garbage": "bad_crc"}), []),
        (box(TWO, {"delay": 0.5}), FULL),
        # Answers four requests (tuner 0's three, tuner 1's model), then is gone: tuner 1,
        # free, can no longer say so.
        (box([Tuner("dvbc"), Tuner("dvbc"), Tuner("dvbs")], {"vanish_after": 4}),
         [("dvbc", "DVB-C Tuner", ""), ("dvbc", "DVB-C Tuner", "Unknown")]),
        (box([Tuner(LONG_MODEL, LONG_OWNER), Tuner("dvbc", "192.0.2.99")]),
         [("M" * 19, "Cut Model", "O" * 79), ("dvbc", "DVB-C Tuner", "192.0.2.99")]),
        (box(TWO, hostname=LONG_HOST), FULL),
        (box(TWO, hostname=HOST_70), FULL),
        (box(TWO, hostname=HOST_71), FULL),
    ]
    return cases


def _expected_name(box: Box) -> str:
    if box.hostname and len("Zentrova@" + box.hostname) < 80:
        return "Zentrova@" + box.hostname
    return "Zentrova@" + box.ip


class TestMisbehavingBoxes:
    def test_every_misbehaviour_ends_in_its_outcome(self, station, lan):
        cases = _misbehaving_boxes()
        lan.add_boxes([box for box, _ in cases])
        lan.set_host("192.0.2.99", LONG_OWNER_HOST)

        answer = station.update(lan.program_ns)

        devices = by_id(answer)
        expected_ids = {box.id_text for box, tuners in cases if tuners is not None}
        assert set(devices) == expected_ids
        for box, tuners in cases:
            if tuners is None:
                continue
            device = devices[box.id_text]
            assert device["Ip"] == box.ip
            assert device["Name"] == _expected_name(box), box.misbehave
            assert [(t["Model"], t["Name"], t["Owner"]) for t in device["Tuners"]] == tuners, box
            assert [t["Index"] for t in device["Tuners"]] == list(range(len(tuners)))
        assert answer["mask"] == NEW_DEVICE
        assert station.store().flags == PENDING

        # A cut model is cut the same way next time: no model change, no install.
        station.set_flags(0)
        again = station.update(lan.program_ns)
        assert again["mask"] & NEEDS_INSTALL == 0
        assert station.store().flags == 0

    def test_the_program_stores_what_it_could_read(self, station, lan):
        cases = _misbehaving_boxes()
        lan.add_boxes([box for box, _ in cases])
        lan.set_host("192.0.2.99", LONG_OWNER_HOST)

        station.run_exe("-I", lan.program_ns)

        stored = station.store().devices
        expected = {}
        for box, tuners in cases:
            if tuners is None:
                continue
            expected[box.id_text] = stored_box(box.ip, _expected_name(box), [
                ("%s-%d" % (box.id_text, i), model, name) for i, (model, name, _owner) in enumerate(tuners)])
        assert stored == expected

    def test_broken_packets_of_every_kind(self, station, lan):
        cases = []
        for k, kind in enumerate(GARBAGE):
            cases.append((Box(nth_valid_device_id(300 + k), "192.0.2.%d" % (100 + k), None, TWO,
                              {"control_garbage": kind}), []))
            cases.append((Box(nth_valid_device_id(320 + k), "192.0.2.%d" % (120 + k), None, TWO,
                              {"discover_garbage": kind}), None))
            cases.append((Box(nth_valid_device_id(340 + k), "192.0.2.%d" % (140 + k), None, TWO,
                              {"garbage_vars": {"/tuner1/model": kind}}), FULL[:1]))
        lan.add_boxes([box for box, _ in cases])

        answer = station.update(lan.program_ns)

        devices = by_id(answer)
        assert set(devices) == {box.id_text for box, tuners in cases if tuners is not None}
        for box, tuners in cases:
            if tuners is not None:
                got = [(t["Model"], t["Name"], t["Owner"]) for t in devices[box.id_text]["Tuners"]]
                assert got == tuners, box.misbehave


# ---------------------------------------------------------------- host-name look-ups

class TestHostNameLookups:
    @pytest.fixture
    def named_lan(self, lan):
        lan.set_host("192.0.2.10", "box-a")
        lan.set_host("192.0.2.81", "shared")
        lan.set_host("192.0.2.80", "shared")
        lan.set_host("192.0.2.8", "eight")  # what 192.0.2.010 means to inet_addr
        lan.set_host("192.0.2.40", "n" * 60 + "." + "m" * 18)  # 79 characters
        lan.set_host("192.0.2.41", "n" * 60 + "." + "m" * 19)  # 80 characters
        lan.set_host("192.0.2.42", "n" * 60 + "." + "m" * 59 + "." + "q" * 60)
        return lan

    def test_box_host_names(self, station, named_lan):
        results = station.box_hosts(named_lan.program_ns, "192.0.2.10", "192.0.2.20", "192.0.2.80",
                                    "192.0.2.010", "192.000.2.10", "192.0.2.40", "192.0.2.41", "192.0.2.42")
        assert [(r["ok"], r["name"] if r["ok"] else None) for r in results] == [
            (True, "box-a"),
            (False, None),  # no reverse name
            (False, None),  # its name leads forward to another address first
            (False, None),  # leading zero: the text never equals the dotted form
            (False, None),
            (True, "n" * 60 + "." + "m" * 18),
            (False, None),  # would not fit the 80-character field whole
            (False, None),
        ]
        for r in results:
            assert r["guards"] and r["terminated"]
            assert r["untouched"] is (not r["ok"])

    def test_owner_host_names(self, station, named_lan):
        addresses = ("192.0.2.10", "192.0.2.20", "192.0.2.80", "192.0.2.010", "recorder", "192.0.2.40",
                     "192.0.2.41", "192.0.2.42")
        results = station.owner_hosts(named_lan.program_ns, 80, *addresses)
        assert [(r["ok"], r["name"] if r["ok"] else None) for r in results] == [
            (True, "box-a"), (False, None), (False, None), (False, None), (False, None),
            (True, "n" * 60 + "." + "m" * 18), (False, None), (False, None)]
        for r in results:
            assert r["guards"] and r["terminated"]
            assert r["untouched"] is (not r["ok"])
        # No reverse name: getnameinfo's result stays the thread's last socket error.
        assert results[1]["wsa_error"] != 0

    def test_owner_copy_is_bounded_by_80_whatever_the_size_says(self, station, named_lan):
        results = station.owner_hosts(named_lan.program_ns, 4096, "192.0.2.40", "192.0.2.41", "192.0.2.42")
        assert [r["ok"] for r in results] == [True, False, False]
        assert all(r["guards"] and r["terminated"] for r in results)
        small = station.owner_hosts(named_lan.program_ns, 6, "192.0.2.10", "192.0.2.40")
        assert [(r["ok"], r["name"] if r["ok"] else None) for r in small] == [(True, "box-a"), (False, None)]
