"""The tray in a real window: Wine's virtual desktop on a private Xvfb display, clicks with
xdotool, screenshots with ImageMagick. Where things are comes from the windows themselves
(tray_probe.exe in the same desktop): the taskbar's window, the menu's window and the rows of a
reference menu that the probe builds with the same items and measures. Colours are read only to
tell the icon's badge and whether a row's text is drawn greyed.

    with XServer() as x, TrayDesktop(prefix, exe, x, artifacts, programs, netns=lan.program_ns) as desk:
        desk.start()
        icon = desk.wait_for_icon("ready")
        menu = desk.open_menu(*centre_of_icon, button=3)
        bands = desk.check_menu(menu, [("T", 0x1003, "Zentrova (64 Bit)"), ("S", 0, ""), ...], "menu")
"""

from __future__ import annotations

import re
import shutil
import subprocess
import time
import uuid
from pathlib import Path

from tavrix_testbed.wineprefix import START_FAILED, WINE, parse_log

CONVERT = "/usr/bin/convert"  # ImageMagick's own convert, whatever PATH says


def wait_until(condition, timeout: float = 60, what: str = "condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.3)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class Shot:
    """A screenshot as RGB pixels (ImageMagick's PPM output)."""

    def __init__(self, path: Path):
        data = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], check=True, capture_output=True,
                              timeout=60).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+\d+\s", data)
        self.width = int(match.group(1))
        self.pixels = data[match.end():]

    def colours(self, left: int, top: int, right: int, bottom: int) -> list[tuple[int, int, int]]:
        out = []
        for y in range(top, bottom):
            row = self.pixels[(y * self.width + left) * 3:(y * self.width + right) * 3]
            out += [tuple(row[i:i + 3]) for i in range(0, len(row), 3)]
        return out


def badge(pixels: list) -> str:
    """'ready' or 'notready' by the colour of the icon's badge, '' when neither shows."""
    red = sum(1 for r, g, b in pixels if r > 150 and g < 90 and b < 90)
    green = sum(1 for r, g, b in pixels if g > 120 and r < 100 and b < 110)
    return "notready" if red > 2 * green and red >= 4 else "ready" if green > 2 * red and green >= 4 else ""


class TrayDesktop:
    """Wine's virtual desktop on `xserver` with TavrixInstall.exe started inside it."""

    def __init__(self, prefix, exe: Path, xserver, artifacts: Path, programs: Path, netns: str | None = None):
        self.prefix, self.exe, self.x, self.artifacts, self.netns = prefix, Path(exe), xserver, Path(artifacts), netns
        self.locale: dict[str, str] = {}  # e.g. {"LC_ALL": "pl_PL.UTF-8"}: the user's language, for tray and probe
        self.probe_exe = prefix.root / "drive_c" / "tray_probe.exe"  # also the browser, C:\tray_probe.exe
        shutil.copy2(Path(programs) / "tray_probe.exe", self.probe_exe)
        self.name = "tavrix" + uuid.uuid4().hex[:8]
        self.process: subprocess.Popen | None = None
        self._shots = 0

    def _wrap(self, command: list[str]) -> list[str]:
        if self.netns:
            self.prefix.enter(self.netns)
        return self.prefix.wrap(command)

    def start(self, tries: int = 3):
        """Starts the tray in the desktop and returns once it has logged its start line; a start that
        Debian's Wine fails (it has no preloader) is made again."""
        env = self.prefix.env(DISPLAY=self.x.display, **self.locale)
        for _ in range(tries):
            self._log_start = self._wine_log.stat().st_size if self._wine_log.exists() else 0
            self.process = subprocess.Popen(self._wrap([WINE, "explorer", f"/desktop={self.name},1024x768",
                                                        str(self.exe)]), env=env, cwd=str(self.exe.parent),
                                            stdout=subprocess.DEVNULL, stderr=open(self._wine_log, "ab"))
            started = wait_until(lambda: "CmdLine:" in self.log() and "yes" or
                                 START_FAILED in self._wine_log.read_bytes()[self._log_start:] and "no", 120, "a start")
            if started == "yes":
                return
        raise AssertionError(f"the tray did not start in {tries} tries")

    _wine_log = property(lambda self: self.artifacts / "wine.log")

    def log(self) -> str:
        """The log lines of the tray and of every copy it started, since the start."""
        return "\n".join(parse_log(self._wine_log.read_bytes()[self._log_start:].decode("utf-8", "replace")))

    def copies(self) -> int:
        """How many copies of the program run in the prefix, the tray included, from Linux's process list.
        By the program's name: the desktop starts the tray from a Unix path, which msi.ours_running,
        looking for our Windows folders, does not see."""
        copies = 0
        for process in Path("/proc").glob("[0-9]*"):
            try:
                ours = f"WINEPREFIX={self.prefix.root}".encode() in (process / "environ").read_bytes().split(b"\0")
                words = (process / "cmdline").read_bytes().split(b"\0")
            except OSError:  # ended meanwhile
                continue
            # A 32-bit program runs as qemu-i386 with Wine's loader, then the program.
            words = [word for word in words if word and not word.endswith((b"/qemu-i386", b"/wine"))]
            copies += ours and words[:1] != [] and words[0].endswith(self.exe.name.encode())
        return copies

    def probe(self, *args: str, background: bool = False):
        """The probe's output lines split into words, or with `background` the running probe."""
        proc = subprocess.Popen(self._wrap([WINE, str(self.probe_exe), self.name, *args]), stdout=subprocess.PIPE,
                                env=self.prefix.env(DISPLAY=self.x.display, WINEDEBUG="-all", **self.locale),
                                encoding="utf-8")
        return proc if background else [line.split() for line in proc.communicate(timeout=180)[0].splitlines()]

    def rects(self, kind: str) -> list[tuple[int, ...]]:
        command = "menus" if kind == "menu" else "taskbar"
        return [tuple(map(int, words[1:])) for words in self.probe(command) if words[0] == kind]

    def icon(self, label: str) -> tuple[tuple[int, ...] | None, str]:
        """The notification icons' box and badge. Wine draws the icons into the taskbar's window,
        right of its buttons; there, rows and columns of one colour are background or frame."""
        lines = self.probe("taskbar")
        bars = [tuple(map(int, w[1:])) for w in lines if w[0] == "taskbar"]
        if not bars:
            return None, ""
        (left, top, right, bottom), buttons = bars[0], [tuple(map(int, w[1:])) for w in lines if w[0] == "button"]
        left = max([left] + [b[2] for b in buttons if b[2] < (left + right) // 2])
        shot = self.shot(label)
        rows = {y: shot.colours(left, y, right, y + 1) for y in range(top, bottom)}
        rows = {y: row for y, row in rows.items() if len(set(row)) > 1}
        xs = [x for x in range(right - left) if len({row[x] for row in rows.values()}) > 1]
        if not xs:
            return None, ""
        box = (left + min(xs), min(rows), left + max(xs) + 1, max(rows) + 1)
        return box, badge(shot.colours(*box))

    def shot(self, label: str) -> Shot:
        self._shots += 1
        path = self.artifacts / f"{self._shots:02d}-{label}.png"
        self.x.screenshot(path)
        return Shot(path)

    def click(self, x: int, y: int, button: int = 1):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", str(button)], env=self.x.env(), check=True,
                       timeout=30)

    def wait_for_icon(self, state: str, timeout: float = 60) -> tuple[int, ...]:
        """The icon's box once it shows `state`."""
        def shown():
            box, seen = self.icon(f"icon-{state}")
            return seen == state and box
        return wait_until(shown, timeout, f"the {state} icon")

    # --- menus: rows are (kind, state, text), kind "T" an item, "M" a submenu, "S" a separator
    def open_menu(self, x: int, y: int, button: int = 1) -> tuple[int, ...]:
        """Clicks at (x, y) and returns the menu window that opens, the pointer moved off its way
        once it shows (a menu opens where the pointer is when the program gets to the click)."""
        before = set(self.rects("menu"))
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", str(button)], env=self.x.env(), check=True,
                       timeout=30)
        frame = wait_until(lambda: next((r for r in self.rects("menu") if r not in before), None), 30, "a menu")
        subprocess.run(["xdotool", "mousemove", "10", "10"], env=self.x.env(), check=True, timeout=30)
        return frame

    def check_menu(self, frame: tuple[int, ...], rows: list, label: str) -> list[tuple[int, int]]:
        """Holds the open menu `frame` against a reference menu that the probe builds from `rows`
        in the same desktop: the same size, and each row's pixels those of the reference row, so
        every letter (accents too), greyed and checked states show (a state of None is not
        checked). Returns the rows' screen bands."""
        layout = self.prefix.root / "drive_c" / "layout.txt"
        layout.write_text("".join(f"{kind}|{state or 0}|{text}\n" if kind != "S" else "S\n"
                                  for kind, state, text in rows), encoding="utf-8")
        reference = self.probe("measure", r"C:\layout.txt", background=True)
        measured = [reference.stdout.readline().split() for _ in range(len(rows) + 1)]
        shot = self.shot(label)
        layout.unlink()  # lets the reference menu close
        reference.communicate(timeout=120)
        width, height, left, top = (int(v) for v in measured[0][1:])
        assert (width, height) == (frame[2] - frame[0], frame[3] - frame[1]), \
            f"{label}: the menu is {frame}, expected {(width, height)}"
        for (kind, state, text), words in zip(rows, measured[1:]):
            y0, y1 = int(words[1]), int(words[2])
            assert kind == "S" or state is None or shot.colours(frame[0], frame[1] + y0, frame[2], frame[1] + y1) == \
                shot.colours(left, top + y0, left + width, top + y1), f"{label}: row {text!r} state {state:#x} differs"
        return [(frame[1] + int(w[1]), frame[1] + int(w[2])) for w in measured[1:]]

    def choose(self, frame: tuple[int, ...], band: tuple[int, int], submenu: bool = False):
        """Clicks a row; for a submenu row, returns the submenu's window."""
        x, y = frame[0] + (frame[2] - frame[0]) // 3, (band[0] + band[1]) // 2
        return self.open_menu(x, y) if submenu else self.click(x, y)

    def close(self):
        self.prefix.kill()
        if self.process is not None:
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

