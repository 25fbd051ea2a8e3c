"""The tray in a real window: Wine's virtual desktop on a private Xvfb display, clicks with
xdotool, screenshots with ImageMagick, and pixel checks on them.

    with XServer() as x, TrayDesktop(prefix, exe, x, netns=lan.program_ns) as desk:
        desk.start()
        icon = desk.wait_for_icon()
        menu = desk.open_menu()          # Shot of the open menu and its frame
"""

from __future__ import annotations

import os
import re
import signal
import subprocess
import time
import uuid
from dataclasses import dataclass
from pathlib import Path

from tavrix_testbed.wineprefix import WINE, parse_log

CONVERT = "/usr/bin/convert"  # ImageMagick's own convert, whatever PATH says
TASKBAR_TOP = 748  # Wine's taskbar on a 1024x768 desktop: the last 20 rows
SCREEN = (1024, 768)
MENU_TEXT_ROW = 16
MENU_SEPARATOR_ROW = 9
MENU_PADDING = 3  # frame and gap above the first row (and 3 below the last)


# ---------------------------------------------------------------- pictures

@dataclass
class Box:
    left: int
    top: int
    right: int  # exclusive
    bottom: int  # exclusive

    @property
    def width(self) -> int:
        return self.right - self.left

    @property
    def height(self) -> int:
        return self.bottom - self.top

    @property
    def center(self) -> tuple[int, int]:
        return (self.left + self.right) // 2, (self.top + self.bottom) // 2


class Shot:
    """A screenshot as RGB pixels (read through ImageMagick's PPM output)."""

    def __init__(self, path: Path):
        self.path = Path(path)
        data = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], check=True, capture_output=True,
                              timeout=60).stdout
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.pixels = data[match.end():]

    def pixel(self, x: int, y: int) -> tuple[int, int, int]:
        i = (y * self.width + x) * 3
        return self.pixels[i], self.pixels[i + 1], self.pixels[i + 2]

    def region(self, box: Box) -> bytes:
        rows = []
        for y in range(box.top, box.bottom):
            i = (y * self.width + box.left) * 3
            rows.append(self.pixels[i:i + box.width * 3])
        return b"".join(rows)

    def diff_box(self, other: "Shot", within: Box | None = None, ignore: Box | None = None) -> Box | None:
        """Bounding box of the pixels that differ from `other` (inside `within`, outside `ignore`)."""
        area = within or Box(0, 0, self.width, self.height)
        left, top, right, bottom = None, None, None, None
        for y in range(area.top, area.bottom):
            i = (y * self.width + area.left) * 3
            a = self.pixels[i:i + area.width * 3]
            b = other.pixels[i:i + area.width * 3]
            if a == b:
                continue
            xs = [x for x in range(area.width) if a[x * 3:x * 3 + 3] != b[x * 3:x * 3 + 3]]
            if ignore is not None and ignore.top <= y < ignore.bottom:
                xs = [x for x in xs if not ignore.left <= area.left + x < ignore.right]
                if not xs:
                    continue
            top = y if top is None else top
            bottom = y + 1
            left = min(xs) if left is None else min(left, min(xs))
            right = max(xs) + 1 if right is None else max(right, max(xs) + 1)
        if top is None:
            return None
        return Box(area.left + left, top, area.left + right, bottom)

    def count(self, box: Box, predicate) -> int:
        return sum(1 for y in range(box.top, box.bottom) for x in range(box.left, box.right)
                   if predicate(self.pixel(x, y)))

    def save_crop(self, box: Box, path: Path, scale: int = 1):
        geometry = f"{box.width}x{box.height}+{box.left}+{box.top}"
        args = [CONVERT, str(self.path), "-crop", geometry, "+repage"]
        if scale > 1:
            args += ["-scale", f"{scale * 100}%"]
        subprocess.run(args + [str(path)], check=True, timeout=60)


def is_red(p) -> bool:
    r, g, b = p
    return r > 150 and g < 90 and b < 90


def is_green(p) -> bool:
    r, g, b = p
    return g > 120 and r < 100 and b < 110


# ---------------------------------------------------------------- menus

def menu_rows_height(rows: list[str]) -> int:
    """Height of a popup menu whose rows are texts ("" for separators), frame included."""
    return 2 * MENU_PADDING + sum(MENU_SEPARATOR_ROW if r == "" else MENU_TEXT_ROW for r in rows)


def menu_row_center(frame: Box, rows: list[str], index: int) -> tuple[int, int]:
    y = frame.top + MENU_PADDING
    for r in rows[:index]:
        y += MENU_SEPARATOR_ROW if r == "" else MENU_TEXT_ROW
    height = MENU_SEPARATOR_ROW if rows[index] == "" else MENU_TEXT_ROW
    return frame.left + min(40, frame.width // 2), y + height // 2


# ---------------------------------------------------------------- the desktop

class TrayDesktop:
    """Wine's virtual desktop on `xserver`, started with TavrixInstall.exe inside it."""

    def __init__(self, prefix, exe: Path, xserver, artifacts: Path, netns: str | None = None,
                 env: dict[str, str] | None = None):
        self.prefix = prefix
        self.exe = Path(exe)
        self.x = xserver
        self.artifacts = Path(artifacts)
        self.netns = netns
        self.name = "tavrix" + uuid.uuid4().hex[:8]
        self.extra_env = dict(env or {})
        self.process: subprocess.Popen | None = None
        self.log_path = self.artifacts / "wine.log"
        self._log_file = None
        self._shots = 0
        self.probes: list[subprocess.Popen] = []

    # --- processes ------------------------------------------------------------
    def env(self) -> dict[str, str]:
        env = self.prefix.env(DISPLAY=self.x.display, **self.extra_env)
        return env

    def _command(self, program: str, args: list[str]) -> list[str]:
        command = [WINE, "explorer", f"/desktop={self.name},{SCREEN[0]}x{SCREEN[1]}", program, *args]
        if self.netns:
            command = ["ip", "netns", "exec", self.netns] + command
        return command

    def start(self, args: list[str] | None = None):
        """Starts the desktop with the program; the program's log goes to wine.log."""
        self._log_file = open(self.log_path, "ab")
        self.process = subprocess.Popen(self._command(str(self.exe), args or []), env=self.env(),
                                        cwd=str(self.exe.parent), stdout=subprocess.DEVNULL,
                                        stderr=self._log_file)

    def run_in_desktop(self, program: Path, args: list[str], wait: bool = False,
                       timeout: float = 60) -> subprocess.Popen:
        """Starts another PE program in the same desktop."""
        proc = subprocess.Popen(self._command(str(program), args), env=self.env(), cwd=str(Path(program).parent),
                                stdout=subprocess.DEVNULL, stderr=self._log_file or subprocess.DEVNULL)
        self.probes.append(proc)
        if wait:
            proc.wait(timeout=timeout)
        return proc

    def log(self) -> list[str]:
        """The program's log lines so far."""
        if self._log_file:
            self._log_file.flush()
        return parse_log(self.log_path.read_bytes().decode("utf-8", "replace"))

    def tray_pids(self) -> list[int]:
        """Linux processes of this prefix running TavrixInstall.exe."""
        pids = []
        root = str(self.prefix.root).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                cmdline = Path(f"/proc/{entry}/cmdline").read_bytes()
                environ = Path(f"/proc/{entry}/environ").read_bytes()
            except OSError:
                continue
            if b"TavrixInstall.exe" in cmdline and b"WINEPREFIX=" + root + b"\0" in environ + b"\0" \
                    and b"explorer" not in cmdline:
                pids.append(int(entry))
        return pids

    def wait_until(self, condition, timeout: float, interval: float = 0.2, what: str = "condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            time.sleep(interval)
        raise AssertionError(f"timed out after {timeout} s waiting for {what}")

    # --- screen -----------------------------------------------------------------
    def shot(self, label: str) -> Shot:
        self._shots += 1
        path = self.artifacts / f"{self._shots:02d}-{label}.png"
        subprocess.run(["import", "-display", self.x.display, "-window", "root", str(path)], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Shot(path)

    def xdotool(self, *args: str):
        subprocess.run(["xdotool", *args], env=self.x.env(), check=True, timeout=30)

    def click(self, x: int, y: int, button: int = 1):
        self.xdotool("mousemove", str(x), str(y), "click", str(button))

    def move(self, x: int, y: int):
        self.xdotool("mousemove", str(x), str(y))

    def key(self, name: str):
        self.xdotool("key", name)

    def settle(self, label: str, timeout: float = 20) -> Shot:
        """Waits until two shots in a row are the same."""
        previous = [self.shot(label)]

        def still():
            time.sleep(0.5)
            shot = self.shot(label)
            same = shot.diff_box(previous[0]) is None
            previous[0] = shot
            return shot if same else None
        return self.wait_until(still, timeout, interval=0.1, what="the screen to settle")

    def icon_box(self, shot: Shot) -> Box | None:
        """The notification area's icon: what differs from the taskbar's colour at the right end."""
        background = shot.pixel(SCREEN[0] - 100, SCREEN[1] - 4)
        area = Box(SCREEN[0] - 60, TASKBAR_TOP + 1, SCREEN[0], SCREEN[1])
        xs, ys = [], []
        for y in range(area.top, area.bottom):
            for x in range(area.left, area.right):
                if shot.pixel(x, y) != background:
                    xs.append(x)
                    ys.append(y)
        if not xs:
            return None
        return Box(min(xs), min(ys), max(xs) + 1, max(ys) + 1)

    def wait_for_icon(self, timeout: float = 60, label: str = "icon") -> tuple[Shot, Box]:
        def found():
            shot = self.shot(label)
            box = self.icon_box(shot)
            return (shot, box) if box else None
        return self.wait_until(found, timeout, interval=0.5, what="the tray icon")

    def icon_state(self, shot: Shot, box: Box) -> str:
        """'ready', 'notready' or 'unknown', from the badge's colour."""
        red = shot.count(box, is_red)
        green = shot.count(box, is_green)
        if red >= 6 and green < 3:
            return "notready"
        if green >= 6 and red < 3:
            return "ready"
        return "unknown"

    def wait_for_icon_state(self, state: str, timeout: float, label: str) -> tuple[Shot, Box]:
        def reached():
            shot = self.shot(label)
            box = self.icon_box(shot)
            return (shot, box) if box and self.icon_state(shot, box) == state else None
        return self.wait_until(reached, timeout, interval=0.5, what=f"icon state {state}")

    def open_popup(self, action, label: str, timeout: float = 15, ignore: Box | None = None) -> tuple[Shot, Box, Shot]:
        """Runs `action` and waits until something new stays on screen; its shot and frame,
        and the shot from before. Changes inside `ignore` (the tray icon) do not count."""
        before = self.shot(label + "-before")
        action()

        def appeared():
            time.sleep(0.3)
            shot = self.shot(label)
            frame = shot.diff_box(before, Box(0, 0, SCREEN[0], TASKBAR_TOP + 20), ignore)
            if frame is None:
                return None
            time.sleep(0.3)
            again = self.shot(label)
            same = again.diff_box(shot, None, ignore)
            return (again, frame) if same is None else None
        shot, frame = self.wait_until(appeared, timeout, interval=0.1, what=label)
        return shot, frame, before

    # --- life cycle ---------------------------------------------------------------
    def close(self):
        for proc in self.probes:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        self.prefix.kill()
        for proc in [self.process, *self.probes]:
            if proc is not None:
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    proc.kill()
        if self._log_file:
            self._log_file.close()
            self._log_file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
