"""The station the LAN tests share: a prefix with both copies installed, one LAN, the registry
read in one export, a listener for broadcasts; and the stored box the tests start from."""

from __future__ import annotations

import queue
import shutil
import subprocess
import threading

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


class Listener:
    """window_listener.exe: a top-level window of another process that prints the broadcasts it
    sees ("instance-message", "devicechange 7 0"); with `hold_instance`, it also holds the
    program's single-instance mutex, as a resident copy does."""

    def __init__(self, prefix: wineprefix.WinePrefix, programs, hold_instance: bool = False, seconds: int = 900,
                 start_limit: float = 30, own_mutex: str = ""):
        exe = (prefix.root / "drive_c" if own_mutex else prefix.home64) / "window_listener.exe"
        if not exe.exists():  # never over the image of one that runs
            shutil.copy2(programs / "window_listener.exe", exe)
        self.process = prefix.start(exe, ["--seconds", str(seconds)] + ["--hold-instance"] * hold_instance +
                                    ["--own-mutex", own_mutex] * bool(own_mutex),
                                    env=prefix.env(WINEDEBUG="-all"), stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, text=True)
        self.lines: queue.Queue = queue.Queue()
        self.ended = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        if (line := self.next(start_limit)) != "ready":
            state = f"ended with exit code {self.process.wait(10)}" if self.ended.is_set() else "still runs"
            raise AssertionError(f"window_listener.exe printed {line!r} instead of 'ready' and {state}")

    def _read(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.ended.set()
        self.lines.put(None)  # wakes a waiting next()

    def next(self, timeout: float = 30) -> str | None:
        """The next line; None once the output has ended, or after `timeout` seconds."""
        if self.ended.is_set() and self.lines.empty():
            return None
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def until(self, last: str) -> list[str]:
        """The lines seen before `last`."""
        seen = []
        while (line := self.next(60)) != last:
            assert line is not None, f"no {last!r} from the listener; it saw {seen}"
            seen.append(line)
        return seen

    def close(self) -> None:
        self.process.kill()
        self.process.wait()


FOUND = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc")])
S = r"Devices\1A2B3C46"  # a stored box that is not on the LAN


def stored_text(root: str = ROOT, box: str = "", tuner: str = "", keys: str = "") -> str:
    """The good stored box S, with `box` and `tuner` lines replacing or adding values, and
    further `keys`."""
    return (f'[{root}\\{S}]\n"Ip"="192.0.2.50"\n"Name"="Zentrova@far"\n{box}\n'
            f'[{root}\\{S}\\Tuners\\0]\n"Id"="1A2B3C46-0"\n"Model"="dvbc"\n"Name"="DVB-C Tuner"\n{tuner}\n{keys}')
