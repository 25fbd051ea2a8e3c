"""The stored device list as the real program reads and writes it, and the station the LAN tests
share: a prefix with both copies installed, one LAN, the registry read in one export."""

from __future__ import annotations

import queue
import shutil
import subprocess
import threading

import pytest

from tavrix_testbed import wineprefix
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id

ROOT = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova"
DEFAULT_ROOT = r"HKEY_USERS\.DEFAULT\SOFTWARE\ORVA Systems\Zentrova"
CATEGORIES = (r"HKEY_CLASSES_ROOT\CLSID\{71985F48-1CA1-11d3-9CC8-00C04F7971E0}\Instance",  # network tuners
              r"HKEY_CLASSES_ROOT\CLSID\{FD0A5AF4-B41D-11d2-9C95-00C04F7971E0}\Instance")  # receivers
INI = "[devices]\ndvbc=DVB-C Tuner\n"


def model_name(model: str) -> str:
    return "DVB-C Tuner" if model == "dvbc" else model[:19]


def record(box: Box) -> dict:
    """What the program stores for a box it found: REG_SZ values only, a Tuners key always."""
    return {"Ip": box.ip, "Name": "Zentrova@" + (box.hostname or box.ip), "Tuners": {
        str(n): {"Id": "%s-%d" % (box.id_text, n), "Model": t.model[:19], "Name": model_name(t.model)}
        for n, t in enumerate(box.tuners)}}


def parse_export(text: str) -> dict:
    """A `reg export` as nested keys; a REG_SZ value as its text, any other type as written."""
    tree: dict = {}
    node = None
    for line in text.replace("\\\r\n", "").replace("\\\n", "").splitlines():
        if line.startswith("["):
            node = tree
            for part in line.strip("[]").split("\\"):
                node = node.setdefault(part, {})
        elif line.startswith('"') and node is not None:
            name, _, data = line[1:].partition('"=')
            node[name] = data[1:-1].replace('\\"', '"').replace("\\\\", "\\") if data.startswith('"') else data
    return tree


def subtree(tree: dict, path: str) -> dict | None:
    for part in path.split("\\"):
        tree = tree.get(part) if tree is not None else None
    return tree


class Station:
    """Both copies in one prefix with a wineserver of its own and Wine's null display driver
    (for the notice listener), beside one LAN; every job runs in the LAN's program namespace."""

    def __init__(self, prefix: wineprefix.WinePrefix, exe, lan: Lan):
        self.prefix, self.exe, self.lan = prefix, exe, lan

    def reg_import(self, text: str) -> None:
        path = self.prefix.root / "import.reg"
        path.write_bytes(("Windows Registry Editor Version 5.00\n\n" + text).replace("\n", "\r\n").encode("utf-16"))
        self.prefix.reg("import", "Z:" + str(path).replace("/", "\\"))

    def reset(self, text: str = "") -> None:
        """No stored list, no Flags, no filter instances; then `text` imported."""
        doomed = (r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems", r"HKEY_USERS\.DEFAULT\SOFTWARE\ORVA Systems")
        self.reg_import("".join("[-%s]\n" % key for key in doomed + CATEGORIES) + "\n" + text)

    def store_raw(self, key: str, value_line: str) -> None:
        """Adds a value to a key of the current user byte for byte, as no importer writes it
        (they terminate texts): in the registry file, while the server is down."""
        self.prefix.kill()
        user_reg = self.prefix.root / "user.reg"
        text = user_reg.read_text(encoding="latin-1")
        head = text.index("[%s]" % key.replace("\\", "\\\\"))
        end_of_time = text.index("\n", text.index("#time=", head)) + 1
        user_reg.write_text(text[:end_of_time] + value_line + "\n" + text[end_of_time:], encoding="latin-1")
        subprocess.run([wineprefix.WINESERVER, "-p"], env=self.prefix.env(), check=True, timeout=60)

    def run(self, args, timeout: float = 300) -> wineprefix.RunResult:
        result = self.prefix.run(self.exe, args, netns=self.lan.program_ns, timeout=timeout)
        # Every path ends with 0: anything else is a crash.
        assert result.returncode == 0, result.stderr[-3000:]
        return result

    def stored(self) -> dict:
        """The product key: {"Flags": ..., "Devices": {box id: {values, "Tuners": {...}}}}."""
        return subtree(parse_export(self.prefix.reg_export(ROOT)), ROOT) or {}

    def instances(self) -> set[str]:
        tree = parse_export(self.prefix.reg_export(CATEGORIES[0]))
        return set(subtree(tree, CATEGORIES[0]) or {})

    def set_lan(self, boxes: list[Box]) -> None:
        """The LAN holds exactly these boxes (changed ones restarted)."""
        for running in self.lan.boxes:
            if running not in boxes:
                self.lan.remove_box(running.device_id)
        self.lan.add_boxes([box for box in boxes if box not in self.lan.boxes])


class Listener:
    """window_listener.exe: a top-level window of another process that prints the broadcasts it
    sees ("instance-message", "devicechange 7 0"); with `hold_instance`, it also holds the
    program's single-instance mutex, as a resident copy does."""

    def __init__(self, station: Station, programs, hold_instance: bool = False):
        exe = station.prefix.home64 / "window_listener.exe"
        shutil.copy2(programs / "window_listener.exe", exe)
        self.process = station.prefix.start(exe, ["--seconds", "900"] + ["--hold-instance"] * hold_instance,
                                             env=station.prefix.env(WINEDEBUG="-all"), stdout=subprocess.PIPE,
                                             stdin=subprocess.DEVNULL, text=True)
        self.lines: queue.Queue = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line.strip()) for line in self.process.stdout],
                         daemon=True).start()
        assert self.next() == "ready"

    def next(self, timeout: float = 30) -> str | None:
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def close(self) -> None:
        self.process.kill()
        self.process.wait()


@pytest.fixture(scope="module")
def station(exe, bridge_dir):
    prefix = wineprefix.new_prefix(bridge_dir)
    try:
        installed = prefix.install(exe, ini_text=INI)
        # The desktop starts with the first program; the driver must be set before it.
        prefix.reg("add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
        prefix.kill()
        subprocess.run([wineprefix.WINESERVER, "-p"], env=prefix.env(), check=True, timeout=60)
        with Lan() as lan:
            yield Station(prefix, installed, lan)
    finally:
        prefix.close()


# ---------------------------------------------------------------- the tests

FOUND = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc")])
S = r"Devices\1A2B3C46"  # a stored box that is not on the LAN
GOOD = {"Ip": "192.0.2.50", "Name": "Zentrova@far", "Tuners": {
    "0": {"Id": "1A2B3C46-0", "Model": "dvbc", "Name": "DVB-C Tuner"}}}


def stored_text(root: str = ROOT, box: str = "", tuner: str = "", keys: str = "") -> str:
    """The good stored box S, with `box` and `tuner` lines replacing or adding values, and
    further `keys`."""
    return (f'[{root}\\{S}]\n"Ip"="192.0.2.50"\n"Name"="Zentrova@far"\n{box}\n'
            f'[{root}\\{S}\\Tuners\\0]\n"Id"="1A2B3C46-0"\n"Model"="dvbc"\n"Name"="DVB-C Tuner"\n{tuner}\n{keys}')


def good(**changes) -> dict:
    tuner = dict(GOOD["Tuners"]["0"], **{k: v for k, v in changes.items() if k != "Ip"})
    return dict(GOOD, Ip=changes.get("Ip", GOOD["Ip"]), Tuners={"0": tuner})


def utf16_hex(text: str) -> str:
    """Registry bytes of a text as the program's "A" reads see it, without a terminator."""
    return ",".join("%02x" % b for b in text.encode("utf-16-le"))


def row(text: str, expected: dict | None, id: str, raw: str | None = None):
    """Stored data (`raw`: one more value of the stored tuner, byte for byte) and what the stored
    box reads as: saved back by the next -I, or None when it is not loaded."""
    return pytest.param(text, raw, expected, id=id)


STORED = [
    row(stored_text(box='"Ip"=dword:c0000232'), good(Ip=""), id="ip-stored-as-dword"),
    row(stored_text(box='"Ip"="%s"' % ("1" * 20)), good(Ip=""), id="ip-one-too-long-for-its-field"),
    row(stored_text(tuner='"Model"="%s"' % ("m" * 19)), good(Model="m" * 19), id="model-fills-its-field"),
    row(stored_text().replace('"Id"="1A2B3C46-0"', ""), good(Id=""), id="id-unterminated",
        raw='"Id"=hex(1):%s' % utf16_hex("i" * 20)),
    row(stored_text(tuner='"Name"="%s"' % ("n" * 5000)), good(Name=""), id="name-far-too-long"),
    row(stored_text(tuner='"Name"=hex(2):%s,00,00' % utf16_hex("%SystemRoot%")),
        good(Name="%SystemRoot%"), id="name-expand-sz-read-unexpanded"),
    row(stored_text(box='"Modified"=hex:' + ",".join(["ff"] * 5000),
                    tuner='"Owner"="%s"\n"Modified"="x"' % ("o" * 10000)), GOOD,
        id="owner-and-modified-oversize-are-read-and-dropped"),
    row(stored_text().replace("Tuners\\0]", "Tuners\\007]"),
        dict(GOOD, Tuners={"7": GOOD["Tuners"]["0"]}), id="tuner-key-with-leading-zeros"),
    row(stored_text(keys=f"[{ROOT}\\{S}\\Tuners\\{'0' * 20}]\n[{ROOT}\\{S}\\Tuners\\1]\n"), GOOD,
        id="over-long-tuner-key-ends-the-tuners"),
    row(stored_text(keys=f"[{ROOT}\\Devices\\{'0' * 20}]\n"), None, id="over-long-box-key-ends-the-boxes"),
    row(stored_text().split(f"[{ROOT}\\{S}\\Tuners")[0], dict(GOOD, Tuners={}), id="box-without-tuners"),
    row(stored_text(DEFAULT_ROOT), GOOD, id="new-user-reads-the-default-user-list"),
    row(f'[{ROOT}]\n"Flags"=dword:00000000\n' + stored_text(DEFAULT_ROOT), None,
        id="user-key-without-a-list-reads-no-default"),
]


@pytest.mark.parametrize("text,raw,expected", STORED)
def test_stored_data_is_read_within_its_fields_and_saved_in_the_program_layout(station, text, raw, expected):
    station.set_lan([FOUND])
    station.reset(text)
    if raw:
        station.store_raw(r"Software\ORVA Systems\Zentrova\%s\Tuners\0" % S, raw)

    station.run("-I")

    want = {FOUND.id_text: record(FOUND)}
    if expected is not None:
        want["1A2B3C46"] = expected
    assert station.stored().get("Devices") == want
    # The install that followed the new box named an instance after every Id as it was read.
    assert station.instances() == {"ORVA Tavrix " + t["Id"] for b in want.values() for t in b["Tuners"].values()}
