"""menu: the tray's menu open time with 64 boxes, stored and present (the tray's first refresh
has run). python-xlib presses the button on the icon through XTest and waits for the MapNotify
of a window of tavrixinstall.exe below the Wine desktop window; the time between the two is the
open time. Clicks come every 0.3–1.2 s, so some meet a refresh cycle. The tray part uses the
same timer for 8 boxes."""

from __future__ import annotations

import random
import select
import time
from pathlib import Path

from benchlib import BenchPrefix, Lan, TrayDesktop, check_install, cycle_bounds, fill_lan, fmt, load_average, \
    summary, wait_for_cycles
from tavrix_testbed.xserver import XServer


class MenuTimer:
    """Clicks the tray icon through XTest and times until the menu's X window is mapped."""

    def __init__(self, xserver: XServer, desktop_name: str):
        from Xlib import X, display
        from Xlib.ext import xtest
        self.X, self.xtest = X, xtest
        self.display = display.Display(xserver.display)
        self.desktop = self._find_desktop(desktop_name + " - Wine desktop")
        self.desktop.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.display.sync()

    def _find_desktop(self, title: str):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for window in self.display.screen().root.query_tree().children:
                if window.get_wm_name() == title:
                    return window
            time.sleep(0.2)
        raise RuntimeError("no Wine desktop window %r" % title)

    def _is_program_window(self, window) -> bool:
        try:
            names = window.get_wm_class() or ()
        except Exception:  # the window may be gone already
            return False
        return any(name.lower() == "tavrixinstall.exe" for name in names)

    def _wait_event(self, accept, timeout: float):
        """The next event that `accept` takes, or None after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            while self.display.pending_events():
                event = self.display.next_event()
                if accept(event):
                    return event
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.display.fileno()], [], [], left)

    def _button(self, kind: int, button: int, x: int | None = None, y: int | None = None):
        if x is not None:
            self.xtest.fake_input(self.display, self.X.MotionNotify, x=x, y=y)
        self.xtest.fake_input(self.display, kind, button)
        self.display.sync()

    def open_close(self, x: int, y: int, button: int = 3, timeout: float = 30) -> float:
        """Seconds from the button press on the icon (the tray opens its menu on the press) to
        the menu's window being mapped. The button is let go away from the menu, which must
        not choose an item, and a click beside the menu closes it."""
        X = self.X
        self.xtest.fake_input(self.display, X.MotionNotify, x=x, y=y)
        self.display.sync()
        time.sleep(0.05)
        self._wait_event(lambda e: False, 0)  # drops what came before
        start = time.perf_counter()
        self.xtest.fake_input(self.display, X.ButtonPress, button)
        self.display.flush()
        # A tooltip of the taskbar is no menu: only a window of the program counts.
        mapped = self._wait_event(lambda e: e.type == X.MapNotify and self._is_program_window(e.window), timeout)
        elapsed = time.perf_counter() - start
        self._button(X.ButtonRelease, button, 10, 10)
        if mapped is None:
            raise RuntimeError("no menu window appeared within %.0f s" % timeout)
        # A click that comes before the menu's own loop runs reaches the desktop instead:
        # click again until the menu has gone; every further click is counted.
        for attempt in range(int(timeout / 2)):
            time.sleep(0.2)
            self._button(X.ButtonPress, 1)
            time.sleep(0.02)
            self._button(X.ButtonRelease, 1)
            if self._wait_event(lambda e: e.type == X.UnmapNotify and e.window.id == mapped.window.id, 2.0):
                self.extra_close_clicks = attempt
                return elapsed
        raise RuntimeError("the menu did not close")

    def close(self):
        self.display.close()


def time_menu(xserver: XServer, tray: TrayDesktop, clicks: int, extra_clicks: list | None = None) -> list[float]:
    """Open times of `clicks` menus; `extra_clicks` gets, per menu, the clicks it took beyond
    the first to close it again (the menu must not be stuck: 30 s without closing fails)."""
    timer = MenuTimer(xserver, tray.name)
    try:
        times = []
        for _ in range(clicks):
            times.append(timer.open_close(*tray.icon_position, timeout=60))
            if extra_clicks is not None:
                extra_clicks.append(timer.extra_close_clicks)
            time.sleep(random.uniform(0.3, 1.2))
        return times
    finally:
        timer.close()


def run(build: Path, quick: bool) -> dict:
    with BenchPrefix(build) as prefix, Lan() as lan, XServer() as xserver:
        fill_lan(lan, 64)
        prefix.meter(prefix.exe, ["-I"], netns=lan.program_ns)
        check_install(prefix, 64)
        probes_before = len(cycle_bounds(lan))
        tray = TrayDesktop(prefix, xserver, lan.program_ns)
        # The tray's first refresh has run: every box is listed and present.
        wait_for_cycles(lan, probes_before + 1, 120)
        load_before = load_average()
        extra_clicks = []
        menu = time_menu(xserver, tray, 10 if quick else 30, extra_clicks)
        refreshes = len(cycle_bounds(lan)) - probes_before
        alive = tray.alive()
    return {"boxes": 64, "menu_open_s": summary(menu), "raw": menu, "extra_close_clicks": extra_clicks,
            "refresh_cycles_meanwhile": refreshes, "tray_alive_at_end": alive,
            "load_average": [load_before, load_average()]}


def report(r: dict) -> list[str]:
    s = r["menu_open_s"]
    return ["| menu open, 64 boxes (%d clicks), ms | %s, max %.1f |" % (s["n"], fmt(s, 1000, 1), s["max"] * 1000)]
