"""Installation and removal by the real TavrixInstall.exe (the 64-bit program) under Wine:
filter instances under both BDA categories, Flags, the device-change notice seen by a
window of another process, and the platform failures Wine can be made to show.

Lists are preloaded into the store with `reg add` where no discovery is needed; `-I`
runs on a simulated LAN. The 32-bit program's share (PVR files and their cleanup) cannot
run on this kernel; tests/unit/install runs that code path with the bitness set to 32.
"""

from __future__ import annotations

import re
import selectors
import shutil
import subprocess
import time
from dataclasses import dataclass, field

import pytest

from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id
from tavrix_testbed.wineprefix import WINE

RECEIVER = "{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}"
NETWORK_TUNER = "{71985F48-1CA1-11D3-9CC8-00C04F7971E0}"
CATEGORIES = (RECEIVER, NETWORK_TUNER)
TAVRIX_CLSID = "{55994794-BB06-46B0-8C23-0CA89D30AFAD}"
OTHER_CLSID = "{0D1B2A3C-1111-2222-3333-444455556666}"
ROOT_KEY = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova"
INI = "[devices]\n2040:5200:ofdm=DVB-T Tuner\ndvbc=DVB-C Tuner\n"

ID_A = "%08X" % nth_valid_device_id(0)  # 10A0000D
ID_B = "%08X" % nth_valid_device_id(1)  # 10A00012
STORED_A = (ID_A, "192.0.2.10", "Zentrova@box-a", ["2040:5200:ofdm", "dvbc"])
STORED_B = (ID_B, "192.0.2.11", "Zentrova@192.0.2.11", ["qam256"])


def instance_root(category: str) -> str:
    return rf"HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{category}\Instance"


def zpath(path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def run_batch(prefix, lines: list[str]) -> None:
    """Several `reg` commands in one Wine session: one wineserver start instead of one per command.
    Never waits for the wineserver to end, so it also works beside a running window."""
    batch = prefix.root / "tavrix-test.bat"
    batch.write_text("\r\n".join(lines) + "\r\n", encoding="latin-1")
    proc = subprocess.run([WINE, "cmd", "/c", zpath(batch)], env=prefix.env(WINEDEBUG="-all"),
                          capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-2000:]


# ---------------------------------------------------------------- registry set-up

def stored_list_lines(*boxes) -> list[str]:
    """The stored list as the program saves it, in reg-file form; it replaces what was stored."""
    root = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices"
    lines = [f"[-{root}]", ""]
    for box_id, ip, name, models in boxes:
        lines += [f"[{root}\\{box_id}]", f'"Ip"="{ip}"', f'"Name"="{name}"', "", f"[{root}\\{box_id}\\Tuners]", ""]
        for index, model in enumerate(models):
            lines += [f"[{root}\\{box_id}\\Tuners\\{index}]", f'"Id"="{box_id}-{index}"', f'"Model"="{model}"',
                      '"Name"="DVB-T Tuner"', ""]
    return lines


def flags_lines(value: int) -> list[str]:
    return [r"[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova]", f'"Flags"=dword:{value:08x}', ""]


def foreign_lines(category: str, name: str, clsid: str = OTHER_CLSID) -> list[str]:
    """An instance as another product's setup leaves it."""
    return [f"[{instance_root(category)}\\{name}]", f'"FriendlyName"="{name}"', f'"CLSID"="{clsid}"',
            '"FilterData"=hex:02,00,00,00,00,00,20,00,00,00,00,00,00,00,00,00', ""]


def prepare(prefix, *sections: list[str], view: int = 64) -> None:
    text = "\r\n".join(["Windows Registry Editor Version 5.00", ""] + [l for s in sections for l in s]) + "\r\n"
    path = prefix.root / "tavrix-test-in.reg"
    path.write_text(text, encoding="latin-1")
    run_batch(prefix, [f'reg import "{zpath(path)}" /reg:{view}'])


# ---------------------------------------------------------------- registry reading

def _unquote(text: str) -> tuple[str, str]:
    """The quoted reg-file string at the start of `text`, and what follows it."""
    out = []
    i = 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), text[i + 1:]


def parse_export(text: str) -> dict[str, dict[str, object]]:
    """{key: {value name: str | int | bytes}} from `reg export` text."""
    keys: dict[str, dict[str, object]] = {}
    current = None
    lines = iter(text.splitlines())
    for line in lines:
        while line.endswith("\\"):
            line = line[:-1] + next(lines, "").strip()
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif line.startswith('"') and current is not None:
            name, rest = _unquote(line)
            rest = rest[1:]  # the "="
            if rest.startswith('"'):
                current[name] = _unquote(rest)[0]
            elif rest.startswith("dword:"):
                current[name] = int(rest[6:], 16)
            elif rest.startswith("hex:"):
                current[name] = bytes.fromhex(rest[4:].replace(",", "").strip())
            else:
                current[name] = ("other", rest)
    return keys


def _read_text(path) -> str:
    if not path.exists():
        return ""
    data = path.read_bytes()
    path.unlink()
    return data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")


@dataclass
class Snapshot:
    """The registry state the tests look at, read in one Wine session."""

    instances: dict[str, dict[str, dict[str, object]]]  # category -> instance name -> values (64-bit view)
    texts: dict[str, str]                                # category -> export text
    names32: dict[str, set[str]]                         # category -> instance names in the 32-bit view
    flags: object
    store: str

    def names(self, category: str) -> set[str]:
        return set(self.instances[category])


def snapshot(prefix) -> Snapshot:
    lines = []
    for n, category in enumerate(CATEGORIES):
        root = instance_root(category)
        lines.append(f'reg export "{root}" "{zpath(prefix.root / f"e{n}.reg")}" /y /reg:64')
        lines.append(f'reg query "{root}" /reg:32 > "{zpath(prefix.root / f"q{n}.txt")}"')
    lines.append(f'reg export "{ROOT_KEY}" "{zpath(prefix.root / "store.reg")}" /y')
    run_batch(prefix, lines)
    instances, texts, names32 = {}, {}, {}
    for n, category in enumerate(CATEGORIES):
        text = _read_text(prefix.root / f"e{n}.reg")
        texts[category] = text
        head = instance_root(category) + "\\"
        instances[category] = {path[len(head):]: values for path, values in parse_export(text).items()
                               if path.lower().startswith(head.lower()) and "\\" not in path[len(head):]}
        query = _read_text(prefix.root / f"q{n}.txt")
        names32[category] = {line.rsplit("\\", 1)[1] for line in query.splitlines()
                             if line.upper().startswith("HKEY_")
                             and line.strip().lower() != instance_root(category).lower()}
    store = _read_text(prefix.root / "store.reg")
    flags = parse_export(store).get(r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova", {}).get("Flags")
    return Snapshot(instances, texts, names32, flags, store)


def decode_filter_data(data: bytes) -> tuple[int, int, int, int]:
    """Version, merit, pin count and length of a stored REGFILTER2."""
    words = [int.from_bytes(data[i:i + 4], "little") for i in range(0, 12, 4)]
    return words[0], words[1], words[2], len(data)


def tuner_ids(*boxes) -> set[str]:
    return {f"{box[0]}-{i}" for box in boxes for i in range(len(box[3]))}


def names(ids) -> set[str]:
    return {f"ORVA Tavrix {i}" for i in ids}


def run(prefix, exe, option: str, netns: str | None = None, env=None, wait: bool = True):
    result = prefix.run(exe, [option], netns=netns, env=env, timeout=300, wait=wait)
    # The program ends with 0 on every path: anything else is a crash.
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.log and f"CmdLine:{option}" in result.log[0], result.log
    return result


def assert_registered(state: Snapshot, ids):
    """Exactly these tuners, each under both categories as Register makes them; none in the 32-bit view."""
    for category in CATEGORIES:
        assert state.names(category) == names(ids), category
        for name, values in state.instances[category].items():
            assert values["FriendlyName"] == name
            assert values["CLSID"] == TAVRIX_CLSID
            assert decode_filter_data(values["FilterData"]) == (2, 0x200000, 0, 16)
        assert state.names32[category] == set(), category


@pytest.fixture
def station(installed, isolated_netns):
    """A prefix with both copies installed and a namespace without any box."""
    prefix, exe = installed
    prefix.write_ini(INI)
    return prefix, exe, isolated_netns


# ---------------------------------------------------------------- notice listener

NOTICE = "devicechange 7 0"  # WM_DEVICECHANGE with DBT_DEVNODES_CHANGED


class Listener:
    """window_listener.exe: a top-level window of another process, on the program's desktop."""

    def __init__(self, prefix, programs, xserver):
        listener = prefix.home64 / "window_listener.exe"
        shutil.copy2(programs / "window_listener.exe", listener)
        self.env = xserver.env(prefix.env())
        self.process = prefix.start(listener, ["--seconds", "600"], env=xserver.env(prefix.env(WINEDEBUG="-all")),
                                    stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().strip() == "ready"
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)

    def lines(self, wait: float = 2.0) -> list[str]:
        """What the window reported within `wait` seconds."""
        seen = []
        deadline = time.monotonic() + wait
        while (left := deadline - time.monotonic()) > 0:
            if self.selector.select(timeout=left):
                line = self.process.stdout.readline()
                if not line:
                    break
                seen.append(line.strip())
        return seen

    def close(self):
        self.process.kill()
        self.process.wait()


@pytest.fixture
def listener(installed, programs, xserver):
    prefix, _ = installed
    window = Listener(prefix, programs, xserver)
    yield window
    window.close()


# ---------------------------------------------------------------- the tests

class TestInstallFromStoredList:
    def test_registers_every_tuner_under_both_categories_and_clears_only_the_64bit_bit(self, station):
        prefix, exe, netns = station
        prepare(prefix, stored_list_lines(STORED_A, STORED_B), flags_lines(0x17))
        result = run(prefix, exe, "-i", netns)
        assert not [line for line in result.log if "failed" in line], result.log
        state = snapshot(prefix)
        assert_registered(state, tuner_ids(STORED_A, STORED_B))
        assert state.flags == 0x15
        # The 64-bit program writes no PVR files.
        assert list(prefix.pvr_folder.iterdir()) == []

    def test_second_run_registers_the_same_again_unchanged(self, station):
        prefix, exe, netns = station
        prepare(prefix, stored_list_lines(STORED_A))
        run(prefix, exe, "-i", netns)
        first = snapshot(prefix)
        prepare(prefix, flags_lines(0x07))
        run(prefix, exe, "-i", netns)
        second = snapshot(prefix)
        assert second.texts == first.texts
        assert_registered(second, tuner_ids(STORED_A))
        assert second.flags == 0x05  # registered again, not skipped


class TestDetectAndInstall:
    def test_boxes_on_the_lan_are_registered_and_flags_lose_the_64bit_bit(self, installed, listener):
        prefix, exe = installed
        prefix.write_ini(INI)
        with Lan() as lan:
            lan.add_boxes([Box(nth_valid_device_id(0), "192.0.2.10", "box-a",
                               [Tuner("2040:5200:ofdm"), Tuner("dvbc")]),
                           Box(nth_valid_device_id(1), "192.0.2.11", None, [Tuner("qam256")])])
            run(prefix, exe, "-I", lan.program_ns, env=listener.env, wait=False)
        state = snapshot(prefix)
        assert_registered(state, tuner_ids(STORED_A, STORED_B))
        assert f"Devices\\{ID_A}\\Tuners\\1]" in state.store and f"Devices\\{ID_B}\\Tuners\\0]" in state.store
        # Discovery set 0x07; the 64-bit program completed its filters only.
        assert state.flags == 0x05
        # The 64-bit Install reports false once a tuner is listed: no notice.
        assert NOTICE not in listener.lines()


class TestUninstall:
    def test_uninstall_all_removes_prefixed_instances_only(self, station):
        prefix, exe, netns = station
        prepare(prefix, stored_list_lines(STORED_A, STORED_B))
        run(prefix, exe, "-i", netns)
        prepare(prefix, *[foreign_lines(category, name) for category in CATEGORIES
                          for name in ("Other Tuner 1", "orva tavrix 1", "ORVA Tavri 1")],
                foreign_lines(RECEIVER, "ORVA Tavrix 1A2B3C46-0", TAVRIX_CLSID))  # receiver only
        # The 32-bit program's instances live in the other registry view.
        prepare(prefix, *[foreign_lines(category, f"ORVA Tavrix {ID_A}-0", TAVRIX_CLSID) for category in CATEGORIES],
                view=32)
        before = snapshot(prefix)
        assert before.names32 == {category: {f"ORVA Tavrix {ID_A}-0"} for category in CATEGORIES}

        run(prefix, exe, "-R", netns)

        after = snapshot(prefix)
        foreign = {"Other Tuner 1", "orva tavrix 1", "ORVA Tavri 1"}
        assert after.names(RECEIVER) == foreign | {"ORVA Tavrix 1A2B3C46-0"}
        assert after.names(NETWORK_TUNER) == foreign
        assert after.names32 == before.names32
        for category in CATEGORIES:
            for name in foreign:
                assert after.instances[category][name] == before.instances[category][name]
        assert "\\Devices]" in before.store and "\\Devices" not in after.store

    def test_uninstall_unavailable_removes_only_the_dropped_box(self, station):
        prefix, exe, netns = station
        prepare(prefix, stored_list_lines(STORED_A, STORED_B))
        run(prefix, exe, "-i", netns)
        (prefix.pvr_folder / f"Zentrova {ID_B}-0").mkdir()
        # Box B was deleted from the list.
        prepare(prefix, stored_list_lines(STORED_A), flags_lines(0x07), foreign_lines(NETWORK_TUNER, "Other Tuner 1"))

        run(prefix, exe, "-r", netns)

        state = snapshot(prefix)
        assert state.names(RECEIVER) == names(tuner_ids(STORED_A))
        assert state.names(NETWORK_TUNER) == names(tuner_ids(STORED_A)) | {"Other Tuner 1"}
        assert state.flags == 0x05  # the rest was installed again
        # Tuner folders are the 32-bit program's: the 64-bit one leaves them alone.
        assert (prefix.pvr_folder / f"Zentrova {ID_B}-0").is_dir()


class TestDeviceChangeNotice:
    def test_notice_is_seen_by_a_window_of_another_process_exactly_when_posted(self, station, listener):
        """One job after another in one prefix; after each, what the window saw."""
        prefix, exe, netns = station
        steps = [
            ("-x", None, 0),          # usage text only
            ("-I", None, 0),          # nothing found, nothing changed: no install at all
            ("-i", (), 1),            # Install of an empty list reports true
            ("-i", (STORED_A,), 0),   # the 64-bit Install reports false once a tuner is listed
            ("-r", (STORED_A,), 1),   # the 64-bit cleanup counts as a change
            ("-R", (STORED_A,), 1),
            ("-R", (), 1),
        ]
        for option, stored, notices in steps:
            if stored is not None:
                prepare(prefix, stored_list_lines(*stored))
            run(prefix, exe, option, netns, env=listener.env, wait=False)
            seen = listener.lines()
            assert seen.count(NOTICE) == notices, (option, stored, seen)
            assert set(seen) <= {NOTICE}, seen


class TestPlatformFailures:
    def test_filter_mapper_that_cannot_be_created(self, station):
        prefix, exe, netns = station
        prepare(prefix, stored_list_lines(STORED_A), flags_lines(0x17))
        broken = prefix.env(WINEDLLOVERRIDES="mscoree,mshtml=;quartz=d")
        result = run(prefix, exe, "-i", netns, env=broken)
        failures = [line for line in result.log if line.startswith("Register ")]
        assert len(failures) == 2, result.log
        for line in failures:
            assert re.fullmatch(r"Register 64Bit create filter mapper failed! 0x8[0-9a-f]{7}", line), line
        state = snapshot(prefix)
        assert state.flags == 0x17  # the 64-bit registrations stay pending
        assert state.names(NETWORK_TUNER) == set()

        # Uninstall without a mapper removes nothing and writes no line of its own.
        run(prefix, exe, "-i", netns)
        result = run(prefix, exe, "-R", netns, env=broken)
        assert not [line for line in result.log if line.startswith("Register")], result.log
        assert snapshot(prefix).names(NETWORK_TUNER) == names(tuner_ids(STORED_A))
        run(prefix, exe, "-R", netns)
        assert snapshot(prefix).names(NETWORK_TUNER) == set()
