"""The station the LAN tests share: a prefix with both copies installed, one LAN, the registry
read in one export, a listener for broadcasts; and the stored box the tests start from."""

from __future__ import annotations

from tavrix_testbed import wineprefix
from tavrix_testbed.listener import Listener
from tavrix_testbed.wineprefix import parse_export, subtree
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


class Station:
    """Both copies in one prefix with a wineserver of its own and Wine's null display driver
    (for the notice listener), beside one LAN; every job runs in the LAN's program namespace."""

    def __init__(self, prefix: wineprefix.WinePrefix, exe, lan: Lan, programs=None):
        self.prefix, self.exe, self.lan, self.programs = prefix, exe, lan, programs
        prefix.enter(lan.program_ns)  # before anything runs: the move ends what runs
        self.hold_desktop()

    def hold_desktop(self) -> None:
        """With `programs`, a window of the station's own until the server ends. Wine closes a
        desktop and its explorer a second after the last program leaves it, and a program's first
        window waits for the answer of the desktop's explorer (a new one when it was closed): held,
        that explorer starts once, here, before any test, and every later window finds it answering."""
        if self.programs is not None:  # the first program after a server start also boots its session
            self.desktop = Listener(self.prefix, self.programs, seconds=3600, start_limit=120)

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
        self.prefix.serve()
        self.hold_desktop()

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


FOUND = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc")])
S = r"Devices\1A2B3C46"  # a stored box that is not on the LAN


def stored_text(root: str = ROOT, box: str = "", tuner: str = "", keys: str = "") -> str:
    """The good stored box S, with `box` and `tuner` lines replacing or adding values, and
    further `keys`."""
    return (f'[{root}\\{S}]\n"Ip"="192.0.2.50"\n"Name"="Zentrova@far"\n{box}\n'
            f'[{root}\\{S}\\Tuners\\0]\n"Id"="1A2B3C46-0"\n"Model"="dvbc"\n"Name"="DVB-C Tuner"\n{tuner}\n{keys}')
