"""The resident tray of the real TavrixInstall.exe in a real window.

Every test starts its own Xvfb display, a throwaway prefix and, where boxes are involved,
a simulated LAN; the program runs with an empty command line inside Wine's virtual
desktop (`explorer /desktop=...`), in the LAN's program namespace. xdotool clicks the
icon in Wine's taskbar; screenshots land in the artifacts folder.

Menus and message boxes are checked against references: tray_probe.exe draws a popup
menu (or message box) from the rows the program is expected to show, in the same desktop
and font, and the two pictures must be identical pixel for pixel.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from conftest import BUILD, REPO

sys.path.insert(0, str(REPO / "testbed" / "tray"))

from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from tavrix_testbed.wineprefix import WINE  # noqa: E402
from tavrix_testbed.xserver import XServer  # noqa: E402
from traydesk import (TASKBAR_TOP, Box as Frame, Shot, TrayDesktop, is_green, is_red,  # noqa: E402
                      menu_row_center, menu_rows_height)

PROBE = BUILD / "tests" / "unit" / "tray" / "tray_probe.exe"
DRIVER_FIXTURE = BUILD / "tests" / "unit" / "tray" / "OrvaTavrix.ax"

ID_A = nth_valid_device_id(0)  # 10A0000D
ID_B = nth_valid_device_id(1)  # 10A00012
HEX_A = "%08X" % ID_A
HEX_B = "%08X" % ID_B
INI = "[devices]\n2040:5200:ofdm=DVB-T Tuner\ndvbc=DVB-C Tuner\nqam256=QAM Tuner\n"
STORE = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
TUNER_INSTANCES = r"HKCR\CLSID\{71985F48-1CA1-11d3-9CC8-00C04F7971E0}\Instance"
RECEIVER_INSTANCES = r"HKCR\CLSID\{FD0A5AF4-B41D-11d2-9C95-00C04F7971E0}\Instance"
COPYRIGHT = "Copyright (C) 2026 ORVA Systems. All rights reserved."

GREYED = 3
CHECKED = 8
TITLE = 0x1003
SEP = None


def sub(text: str, *items) -> tuple:
    """A submenu row and its items."""
    return (text, 0, list(items))


def rows_of(layout: list) -> list[str]:
    """Row texts ("" for separators) for the menu geometry."""
    return ["" if item is SEP else item[0] for item in layout]


def layout_text(layout: list) -> str:
    lines = []
    for item in layout:
        if item is SEP:
            lines.append("S")
        elif len(item) == 3:
            lines.append("M|" + item[0])
            for inner in item[2]:
                lines.append(">S" if inner is SEP else f">T|{inner[1]}|{inner[0]}")
        else:
            lines.append(f"T|{item[1]}|{item[0]}")
    return "\r\n".join(lines) + "\r\n"


def tail(refresh="Refresh", refresh_state=0, autostart_state=0, about="About", exit_text="Exit") -> list:
    return [SEP, (refresh, refresh_state), ("Autostart", autostart_state), SEP, (about, 0), (exit_text, 0)]


def caption_rows(shot: Shot, frame: Frame) -> int:
    """Rows from the window's top down to the end of its title bar (read beside the left border)."""
    x = frame.left + 3
    colour = shot.pixel(x, frame.top + 4)
    y = frame.top + 4
    while y < frame.bottom and shot.pixel(x, y) == colour:
        y += 1
    return y - frame.top


def caption_mask(shot: Shot, frame: Frame, rows: int) -> list[bool]:
    """Which title-bar pixels are not the bar's own colour: its text and buttons."""
    colour = shot.pixel(frame.left + 3, frame.top + 4)
    return [shot.pixel(x, y) != colour for y in range(frame.top + 3, frame.top + rows)
            for x in range(frame.left + 3, frame.right - 3)]


# ---------------------------------------------------------------- the world of one test

@dataclass
class TrayWorld:
    prefix: object
    exe: Path
    xserver: XServer
    artifacts: Path
    lan: Lan | None = None
    env: dict = field(default_factory=dict)
    desk: TrayDesktop | None = None
    icon: Frame | None = None
    icon_seen: float = 0.0

    # --- program --------------------------------------------------------------
    def run_job(self, option: str):
        result = self.prefix.run(self.exe, [option], netns=self.lan.program_ns if self.lan else None)
        assert result.returncode == 0

    def start(self) -> TrayDesktop:
        self.desk = TrayDesktop(self.prefix, self.exe, self.xserver, self.artifacts,
                                netns=self.lan.program_ns if self.lan else None, env=self.env)
        self.desk.start()
        shot, self.icon = self.desk.wait_for_icon(label="start")
        self.icon_seen = time.time()
        return self.desk

    def start_in(self, netns: str) -> TrayDesktop:
        """Starts the tray in a namespace without boxes."""
        self.desk = TrayDesktop(self.prefix, self.exe, self.xserver, self.artifacts, netns=netns, env=self.env)
        self.desk.start()
        shot, self.icon = self.desk.wait_for_icon(label="start")
        self.icon_seen = time.time()
        return self.desk

    def probe_path(self) -> Path:
        target = self.prefix.root / "drive_c" / "tray_probe.exe"
        if not target.exists():
            shutil.copy2(PROBE, target)
        return target

    # --- menus ----------------------------------------------------------------
    def open_menu(self, label: str, button: int = 3) -> tuple[Shot, Frame, Shot]:
        x, y = self.icon.center

        def press():
            # Off the icon at once, so that its tooltip does not cover the menu.
            self.desk.xdotool("mousemove", str(x), str(y), "click", str(button), "mousemove", "500", str(y))
        return self.desk.open_popup(press, label, ignore=self.icon_area())

    def close_popup(self, before: Shot, label: str):
        """Clicks the empty desktop until the screen above the taskbar is as it was before
        the popup (a click outside a popup menu closes it)."""
        for _ in range(4):
            self.desk.click(300, 300)
            time.sleep(0.5)
            shot = self.desk.shot(label + "-closed")
            if shot.diff_box(before, Frame(0, 0, 1024, TASKBAR_TOP)) is None:
                return
        pytest.fail(f"{label}: the popup did not close")

    def reference_menu(self, layout: list, label: str) -> tuple[Shot, Frame, Shot]:
        (self.prefix.root / "drive_c" / "menu.txt").write_bytes(layout_text(layout).encode("latin-1"))
        x, y = self.icon.center
        probe = self.probe_path()
        return self.desk.open_popup(
            lambda: self.desk.run_in_desktop(probe, ["--menu", r"C:\menu.txt", str(x), str(y)]), label,
            ignore=self.icon_area())

    def icon_area(self) -> Frame:
        """The tray icon and a margin: it may switch at any time."""
        return Frame(self.icon.left - 2, self.icon.top - 2, self.icon.right + 2, self.icon.bottom + 2)

    def assert_same(self, shot: Shot, frame: Frame, ref: Shot, ref_frame: Frame, label: str,
                    caption: bool = False):
        """Pixel for pixel; with `caption`, the title bar counts by its text only, as one of
        the two windows may be drawn inactive."""
        def pictures_differ() -> bool:
            if (frame.width, frame.height) != (ref_frame.width, ref_frame.height):
                return True
            if not caption:
                return shot.region(frame) != ref.region(ref_frame)
            rows = caption_rows(shot, frame)
            if rows != caption_rows(ref, ref_frame):
                return True
            if caption_mask(shot, frame, rows) != caption_mask(ref, ref_frame, rows):
                return True
            return shot.region(Frame(frame.left, frame.top + rows, frame.right, frame.bottom)) != \
                ref.region(Frame(ref_frame.left, ref_frame.top + rows, ref_frame.right, ref_frame.bottom))
        if pictures_differ():
            shot.save_crop(frame, self.artifacts / f"{label}-program.png", scale=2)
            ref.save_crop(ref_frame, self.artifacts / f"{label}-expected.png", scale=2)
            pytest.fail(f"{label}: the program's picture differs from the expected one "
                        f"({frame.width}x{frame.height} against {ref_frame.width}x{ref_frame.height}); "
                        f"see {label}-program.png and {label}-expected.png")
        shot.save_crop(frame, self.artifacts / f"{label}.png", scale=2)

    def open_submenu(self, shot: Shot, frame: Frame, layout: list, index: int, label: str) -> tuple[Shot, Frame]:
        """Clicks row `index` of an open menu (`shot` shows it without submenu); the
        submenu that opens beside it."""
        x, y = menu_row_center(frame, rows_of(layout), index)
        self.desk.click(x, y)

        def appeared():
            time.sleep(0.3)
            now = self.desk.shot(label)
            outside = now.diff_box(shot, Frame(0, 0, frame.left, TASKBAR_TOP + 20), self.icon_area())
            if outside is None:
                return None
            time.sleep(0.3)
            again = self.desk.shot(label)
            return (again, outside) if again.diff_box(now, None, self.icon_area()) is None else None
        return self.desk.wait_until(appeared, 15, what=label)

    def capture_menu(self, layout: list, label: str, opener, submenus: tuple) -> tuple:
        """Opens a menu with `opener`, shoots it and the submenus of rows `submenus`, closes it."""
        shot, frame, before = opener()
        assert frame.height == menu_rows_height(rows_of(layout)), f"{label}: {frame.height} px high"
        subs = {index: self.open_submenu(shot, frame, layout, index, f"{label}-sub{index}") for index in submenus}
        self.close_popup(before, label)
        return shot, frame, subs

    def check_menu(self, layout: list, label: str, button: int = 3, submenus: tuple = ()):
        """The program's menu, and the submenus of the rows `submenus`, must look exactly like
        a reference menu built from `layout`. The program's menu is shot first."""
        shot, frame, subs = self.capture_menu(layout, label, lambda: self.open_menu(label, button), submenus)
        ref, ref_frame, ref_subs = self.capture_menu(layout, label + "-reference",
                                                    lambda: self.reference_menu(layout, label + "-reference"),
                                                    submenus)
        self.assert_same(shot, frame, ref, ref_frame, label)
        for index in submenus:
            self.assert_same(*subs[index], *ref_subs[index], f"{label}-sub{index}")

    def wait_new_popup(self, before: Shot, label: str, timeout: float = 20) -> tuple[Shot, Frame]:
        """Waits until the screen settles with something that `before` did not show."""
        def appeared():
            time.sleep(0.3)
            shot = self.desk.shot(label)
            frame = shot.diff_box(before, Frame(0, 0, 1024, TASKBAR_TOP + 20), self.icon_area())
            if frame is None:
                return None
            time.sleep(0.4)
            again = self.desk.shot(label)
            return (again, frame) if again.diff_box(shot, None, self.icon_area()) is None else None
        return self.desk.wait_until(appeared, timeout, what=label)

    def close_message_box(self, frame: Frame, before: Shot, label: str):
        """Clicks the box's OK button (bottom middle) and waits until it is gone."""
        self.desk.click(frame.left + frame.width // 2, frame.bottom - 18)

        def gone():
            time.sleep(0.3)
            return self.desk.shot(label + "-closed").diff_box(before, Frame(0, 0, 1024, TASKBAR_TOP),
                                                            self.icon_area()) is None
        self.desk.wait_until(gone, 15, what=f"{label} to close")

    def reference_message_box(self, text: str, caption: str, label: str) -> tuple[Shot, Frame]:
        (self.prefix.root / "drive_c" / "about.txt").write_bytes(text.encode("latin-1"))
        before = self.desk.shot(label + "-before")
        self.desk.run_in_desktop(self.probe_path(), ["--messagebox", r"C:\about.txt", caption])
        shot, frame = self.wait_new_popup(before, label)
        self.close_message_box(frame, before, label)
        return shot, frame

    def check_about(self, expected_text: str, label: str, about_row: int, layout: list):
        """About from the menu shows exactly a message box with `expected_text`."""
        ref, ref_frame = self.reference_message_box(expected_text, "Zentrova (64 Bit)", label + "-reference")
        before = self.desk.shot(label + "-before")
        self.open_program_menu(layout, label + "-menu").choose(about_row)
        shot, frame = self.wait_new_popup(before, label)
        self.assert_same(shot, frame, ref, ref_frame, label, caption=True)
        self.close_message_box(frame, before, label)

    def open_program_menu(self, layout: list, label: str) -> "OpenMenu":
        """The program's menu, open, for choosing rows of `layout`."""
        shot, frame, before = self.open_menu(label)
        assert frame.height == menu_rows_height(rows_of(layout)), f"{label}: {frame.height} px high"
        return OpenMenu(self, layout, shot, frame, before, label)

    # --- registry ---------------------------------------------------------------
    def reg_text(self, key: str) -> str:
        """`reg export` of `key` while the tray runs ('' when the key is missing)."""
        out = self.prefix.root / "drive_c" / "export.reg"
        out.unlink(missing_ok=True)
        subprocess.run([WINE, "reg", "export", key, r"C:\export.reg", "/y"], env=self.prefix.env(WINEDEBUG="-all"),
                       capture_output=True, timeout=120)
        if not out.exists():
            return ""
        data = out.read_bytes()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")
        return text.replace("\r\n", "\n")

    def delete_filter(self, name: str):
        """Removes the filter instance named `name` from both categories, behind the program's back."""
        for category in (TUNER_INSTANCES, RECEIVER_INSTANCES):
            text = self.reg_text(category)
            for key, body in re.findall(r"^\[(HKEY_CLASSES_ROOT\\[^\]]+)\]\n((?:.+\n)*)", text + "\n", re.M):
                if f'"FriendlyName"="{name}"' in body:
                    subprocess.run([WINE, "reg", "delete", key, "/f"], env=self.prefix.env(WINEDEBUG="-all"),
                                   capture_output=True, timeout=120, check=True)

    def filter_names(self) -> set[str]:
        names = set()
        for key in (TUNER_INSTANCES, RECEIVER_INSTANCES):
            names |= set(re.findall(r'"FriendlyName"="([^"]*)"', self.reg_text(key)))
        return names


@dataclass
class OpenMenu:
    """The program's menu on screen, as check_menu left it."""
    world: TrayWorld
    layout: list
    shot: Shot
    frame: Frame
    before: Shot
    label: str
    subs: dict = field(default_factory=dict)

    def choose(self, index: int, sub_index: int | None = None):
        """Clicks row `index`, or item `sub_index` of its submenu (opening it first)."""
        desk = self.world.desk
        if sub_index is None:
            desk.click(*menu_row_center(self.frame, rows_of(self.layout), index))
            return
        if index not in self.subs:
            _, self.subs[index] = self.world.open_submenu(self.shot, self.frame, self.layout, index,
                                                          f"{self.label}-sub{index}")
        desk.click(*menu_row_center(self.subs[index], rows_of(self.layout[index][2]), sub_index))
        time.sleep(0.5)

    def close(self):
        self.world.close_popup(self.before, self.label)


@pytest.fixture
def world(installed, artifacts, exe):
    prefix, exe64 = installed
    prefix.write_ini(INI)
    with XServer() as xserver:
        w = TrayWorld(prefix, exe64, xserver, artifacts)
        try:
            yield w
        finally:
            if w.desk is not None:
                w.desk.close()
            if w.lan is not None:
                w.lan.close()


def with_lan(world: TrayWorld, boxes: list[Box], hosts: dict[str, str] | None = None) -> Lan:
    world.lan = Lan()
    for ip, name in (hosts or {}).items():
        world.lan.set_host(ip, name)
    if boxes:
        world.lan.add_boxes(boxes)
    return world.lan


def short_menu() -> list:
    return [("Zentrova (64 Bit)", TITLE), ("NoDevices", GREYED)] + tail()


# ---------------------------------------------------------------- clicks and the short menu

class TestClicks:
    def test_press_of_either_button_opens_the_short_menu_other_mouse_input_does_not(self, world, isolated_netns):
        desk = world.start_in(isolated_netns)

        world.check_menu(short_menu(), "right-click")
        world.check_menu(short_menu(), "left-click", button=1)
        x, y = world.icon.center
        # Moving over the icon, the middle button and the wheel open nothing.
        quiet = desk.shot("quiet-before")
        desk.move(x - 3, y)
        desk.move(x + 2, y - 2)
        desk.click(x, y, 2)
        desk.click(x, y, 4)
        desk.click(x, y, 5)
        desk.move(500, 400)  # the icon's tooltip goes; a menu would stay
        time.sleep(2)
        after = desk.shot("quiet-after")
        assert after.diff_box(quiet, Frame(0, 0, 1024, TASKBAR_TOP)) is None, "no menu for other mouse input"


# ---------------------------------------------------------------- start, icon, first discovery

def box_a(misbehave=None, tuners=None) -> Box:
    return Box(ID_A, "192.0.2.10", "box-a",
               tuners or [Tuner("dvbc"), Tuner("2040:5200:ofdm", owner="192.0.2.77", available=False)],
               misbehave=misbehave)


def box_b(tuners=None) -> Box:
    return Box(ID_B, "192.0.2.11", "box-b", tuners or [Tuner("qam256"), Tuner("dvbc", available=False)])


def discover_times(lan: Lan, device_id: int) -> list[float]:
    return [float(line.split()[0]) for line in lan.box_log(device_id).splitlines() if " discover from " in line]


def seed_store(world: TrayWorld, boxes: list[Box]):
    """An earlier detect-and-install run found `boxes`: they are stored and installed."""
    world.lan.add_boxes(boxes)
    world.run_job("-I")
    for box in boxes:
        world.lan.remove_box(box.device_id)


def stored_menu_rows() -> list:
    """Both boxes as stored: not yet found, owners not stored."""
    return [
        ("Zentrova (64 Bit)", TITLE), SEP,
        sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Delete", 0)),
        sub("  1: DVB-C Tuner", ("Delete", 0)),
        ("  2: DVB-T Tuner", GREYED),
        SEP,
        sub("Zentrova@box-b", ("192.0.2.11", GREYED), ("Delete", 0)),
        sub("  1: QAM Tuner", ("Delete", 0)),
        sub("  2: DVB-C Tuner", ("Delete", 0)),
    ]


class TestStartAndIcon:
    def test_icon_101_and_stored_boxes_at_start_first_discovery_at_once_102_then_101(self, world):
        with_lan(world, [], hosts={"192.0.2.77": "owner-pc"})
        seed_store(world, [box_a(), box_b()])
        # Box A is back, slow to answer: the first discovery takes a while.
        world.lan.add_box(box_a(misbehave={"delay": 2.0}))
        world.start()
        desk = world.desk

        shot, icon = desk.wait_for_icon(label="icon-at-start")
        assert desk.icon_state(shot, icon) == "notready", "icon 101 at start"
        shot.save_crop(icon, world.artifacts / "icon-101-at-16px.png", scale=8)
        # The stored boxes are listed while the first discovery still runs.
        world.check_menu(stored_menu_rows() + tail("RefreshRunning", GREYED), "menu-at-start", submenus=(2, 3, 6))
        first = discover_times(world.lan, ID_A)
        # The icon is added just before the refresh thread starts; a first cycle that waited
        # for its ten seconds would search long after the icon was seen.
        assert first and first[0] < world.icon_seen + 3, "the first discovery starts at once"

        shot, icon = desk.wait_for_icon_state("ready", 40, "icon-ready")
        shot.save_crop(icon, world.artifacts / "icon-102-at-16px.png", scale=8)
        present = [
            ("Zentrova (64 Bit)", TITLE), SEP,
            sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Settings", 0)),
            ("  1: DVB-C Tuner", 0),
            ("  2: DVB-T Tuner (owner-pc)", 0),
        ] + stored_menu_rows()[5:]
        world.check_menu(present + tail(), "menu-after-discovery", submenus=(2,))

        # The box leaves the LAN: the next cycle turns the icon back.
        world.lan.remove_box(ID_A)
        world.open_program_menu(present + tail(), "menu-refresh").choose(len(present) + 1)  # Refresh
        shot, icon = desk.wait_for_icon_state("notready", 40, "icon-not-ready-again")



# ---------------------------------------------------------------- Delete, Settings, Refresh

def stored_keys(world: TrayWorld) -> set[str]:
    """Box and tuner keys of the stored list, as "ID" and "ID/Tuners/N"."""
    text = world.reg_text(STORE + r"\Devices")
    keys = set()
    for path in re.findall(r"^\[HKEY_CURRENT_USER\\SOFTWARE\\ORVA Systems\\Zentrova\\Devices\\(.+)\]$", text,
                           re.M):
        parts = path.split("\\")
        if len(parts) == 1 or (len(parts) == 3 and parts[1] == "Tuners"):
            keys.add("/".join(parts))
    return keys


def instance(tuner_id: str) -> str:
    return "ORVA Tavrix " + tuner_id


class TestCommands:
    def test_delete_absent_tuner_and_box_removes_them_everywhere_and_keeps_the_rest(self, world):
        with_lan(world, [])
        three = [Tuner("dvbc"), Tuner("qam256"), Tuner("dvbc")]
        seed_store(world, [box_a(tuners=three), box_b()])
        assert world.filter_names() == {instance(f"{HEX_A}-{i}") for i in range(3)} | \
            {instance(f"{HEX_B}-{i}") for i in range(2)}
        # Box A comes back with two tuners; box B stays away.
        world.lan.add_box(box_a(tuners=three[:2]))
        world.start()
        world.desk.wait_for_icon_state("ready", 40, "ready")

        head = [("Zentrova (64 Bit)", TITLE), SEP,
                sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Settings", 0)),
                ("  1: DVB-C Tuner", 0), ("  2: QAM Tuner", 0)]
        gone_tuner = [sub("  3: DVB-C Tuner", ("Delete", 0))]
        box_b_rows = [SEP, sub("Zentrova@box-b", ("192.0.2.11", GREYED), ("Delete", 0)),
                      sub("  1: QAM Tuner", ("Delete", 0)), sub("  2: DVB-C Tuner", ("Delete", 0))]
        layout = head + gone_tuner + box_b_rows + tail()
        world.check_menu(layout, "menu-before-delete", submenus=(5, 7))

        world.open_program_menu(layout, "delete-tuner").choose(5, 0)
        layout = head + box_b_rows + tail()
        world.check_menu(layout, "menu-after-tuner-delete")
        assert stored_keys(world) == {HEX_A, f"{HEX_A}/Tuners/0", f"{HEX_A}/Tuners/1",
                                      HEX_B, f"{HEX_B}/Tuners/0", f"{HEX_B}/Tuners/1"}
        assert world.filter_names() == {instance(f"{HEX_A}-0"), instance(f"{HEX_A}-1"),
                                        instance(f"{HEX_B}-0"), instance(f"{HEX_B}-1")}

        # Deleting box B installs the rest again: box A's missing filter comes back.
        world.delete_filter(instance(f"{HEX_A}-0"))
        assert instance(f"{HEX_A}-0") not in world.filter_names()
        world.open_program_menu(layout, "delete-box").choose(6, 1)
        layout = head + tail()
        world.check_menu(layout, "menu-after-box-delete")
        assert stored_keys(world) == {HEX_A, f"{HEX_A}/Tuners/0", f"{HEX_A}/Tuners/1"}
        assert world.filter_names() == {instance(f"{HEX_A}-0"), instance(f"{HEX_A}-1")}
        assert world.desk.tray_pids(), "the tray still runs"

    def test_settings_opens_the_box_page_with_the_configured_path(self, world):
        world.prefix.write_ini(INI + "[settings]\nsettingsPath=/cfg/tuners.html\n")
        probe = world.probe_path()
        world.prefix.reg("add", r"HKCR\http\shell\open\command", "/ve", "/d",
                         f'"{world.prefix.windows_path(probe)}" --record-url "%1"', "/f")
        with_lan(world, [box_a()], hosts={"192.0.2.77": "owner-pc"})
        world.start()
        world.desk.wait_for_icon_state("ready", 40, "ready")
        layout = [("Zentrova (64 Bit)", TITLE), SEP,
                sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Settings", 0)),
                ("  1: DVB-C Tuner", 0), ("  2: DVB-T Tuner (owner-pc)", 0)] + tail()
        world.open_program_menu(layout, "settings").choose(2, 1)
        opened = world.prefix.root / "drive_c" / "opened.txt"
        world.desk.wait_until(opened.exists, 30, what="the browser to be started")
        assert opened.read_text().splitlines() == ["http://192.0.2.10/cfg/tuners.html"]

    def test_refresh_wakes_the_thread_at_once_and_reads_refresh_running_meanwhile(self, world):
        with_lan(world, [box_a(misbehave={"delay": 1.5})], hosts={"192.0.2.77": "owner-pc"})
        world.start()
        world.desk.wait_for_icon_state("ready", 60, "ready")
        cycle_seen = time.time()
        layout = [("Zentrova (64 Bit)", TITLE), SEP,
                sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Settings", 0)),
                ("  1: DVB-C Tuner", 0), ("  2: DVB-T Tuner (owner-pc)", 0)]
        world.open_program_menu(layout + tail(), "refresh").choose(len(layout) + 1)
        clicked = time.time()
        assert clicked < cycle_seen + 6, "chosen well inside the ten-second pause"

        def searched_again():
            return [t for t in discover_times(world.lan, ID_A) if t > clicked - 0.5]
        later = world.desk.wait_until(searched_again, 5, interval=0.1, what="a search after Refresh")
        assert later[0] < clicked + 3
        world.check_menu(layout + tail("RefreshRunning", GREYED), "menu-while-refreshing")

    def test_autostart_toggles_the_run_value_and_its_check_mark(self, world, isolated_netns):
        world.desk = None
        world.start_in(isolated_netns)
        world.check_menu(short_menu(), "autostart-off")
        world.open_program_menu(short_menu(), "autostart-on").choose(4)
        value = world.reg_text(RUN_KEY)
        path = world.prefix.windows_path(world.exe).replace("\\", "\\\\")
        assert f'"TavrixInstall.exe"="{path}"' in value
        world.check_menu([("Zentrova (64 Bit)", TITLE), ("NoDevices", GREYED)] + tail(autostart_state=CHECKED),
                         "autostart-checked")
        world.open_program_menu(short_menu(), "autostart-off-again").choose(4)
        assert "TavrixInstall.exe" not in world.reg_text(RUN_KEY)
        world.check_menu(short_menu(), "autostart-unchecked")

    def test_about_shows_program_and_driver_versions_and_works_without_the_driver(self, world, isolated_netns):
        driver = world.prefix.home32 / "OrvaTavrix.ax"
        shutil.copy2(DRIVER_FIXTURE, driver)
        world.start_in(isolated_netns)
        world.check_about("Zentrova 2T\n\nApplication\tv1.0.0.9\n\nDriver\t\tv2.7.13.42\n\n" + COPYRIGHT,
                          "about", 6, short_menu())
        driver.unlink()
        world.check_about("Zentrova 2T\n\nApplication\tv1.0.0.9\n\nDriver\t\tnot installed\n\n" + COPYRIGHT,
                          "about-without-driver", 6, short_menu())
        assert world.desk.tray_pids(), "the tray still runs"


# ---------------------------------------------------------------- translations

INI_DE = INI + """[de]
Zentrova (64 Bit)=Zentrova 64
Refresh=Aktualisieren
Autostart=Beim Anmelden starten
Unknown=unbekannt
Settings=Einstellungen
Delete=Entfernen
[en]
About=About Zentrova
Exit=Quit
Delete=Remove
Refresh=Reload
"""


class TestTexts:
    def test_texts_come_from_the_user_language_then_english_then_the_key(self, world):
        world.prefix.write_ini(INI_DE)
        world.env = {"LANG": "de_DE.UTF-8", "LC_ALL": "de_DE.UTF-8"}
        with_lan(world, [], hosts={"192.0.2.77": "owner-pc"})
        seed_store(world, [box_a(), box_b()])
        world.lan.add_box(box_a(tuners=[Tuner("dvbc", available=False),
                                        Tuner("2040:5200:ofdm", owner="192.0.2.77", available=False)]))
        world.start()
        world.desk.wait_for_icon_state("ready", 40, "ready")
        layout = [("Zentrova 64", TITLE), SEP,
                sub("Zentrova@box-a", ("192.0.2.10", GREYED), ("Einstellungen", 0)),
                ("  1: DVB-C Tuner (unbekannt)", 0),
                ("  2: DVB-T Tuner (owner-pc)", 0),
                SEP,
                sub("Zentrova@box-b", ("192.0.2.11", GREYED), ("Entfernen", 0)),
                sub("  1: QAM Tuner", ("Entfernen", 0)),
                sub("  2: DVB-C Tuner", ("Entfernen", 0)),
                SEP, ("Aktualisieren", 0), ("Beim Anmelden starten", 0), SEP, ("About Zentrova", 0), ("Quit", 0)]
        world.check_menu(layout, "menu-german", submenus=(2, 6))


# ---------------------------------------------------------------- single copy, Exit

class TestLifeCycle:
    def test_second_start_without_options_brings_the_running_copy_forward_and_ends(self, world, isolated_netns):
        desk = world.start_in(isolated_netns)
        first = desk.wait_until(desk.tray_pids, 10, what="the tray process")
        watch = world.prefix.root / "drive_c" / "foreground.txt"
        desk.run_in_desktop(world.probe_path(), ["--foreground", "40", r"C:\foreground.txt"])
        desk.wait_until(lambda: watch.exists() and "foreground TavrixTestForeground" in watch.read_text(), 20,
                        what="the watcher's own window in front")

        second = desk.run_in_desktop(world.exe, [])
        desk.wait_until(lambda: "foreground TavrixInstallClass64" in watch.read_text(), 20,
                        what="the running copy's window in front")
        second.wait(timeout=60)
        desk.wait_until(lambda: desk.tray_pids() == first, 20, what="only the first copy to run")
        starts = [line for line in desk.log() if "CmdLine:" in line]
        assert len(starts) == 1, "the second copy ends before its start line"
        shot = desk.shot("one-icon")
        assert desk.icon_box(shot) == world.icon, "still one icon, where it was"

    def test_exit_during_a_discovery_waits_for_it_installs_nothing_and_ends(self, world):
        # Four tuners answering slowly: the first discovery takes half a minute.
        slow = box_a(misbehave={"delay": 2.0}, tuners=[Tuner("dvbc") for _ in range(4)])
        with_lan(world, [slow])
        desk = world.start()
        pids = desk.wait_until(desk.tray_pids, 10, what="the tray process")
        layout = [("Zentrova (64 Bit)", TITLE), ("NoDevices", GREYED)] + tail("RefreshRunning", GREYED)
        world.open_program_menu(layout, "exit").choose(len(layout) - 1)
        chosen = time.time()

        time.sleep(2)
        assert desk.tray_pids() == pids, "Exit waits for the running discovery"
        shot = desk.shot("waiting")
        assert desk.icon_box(shot) is not None, "the icon stays until the discovery ends"

        desk.wait_until(lambda: not desk.tray_pids(), 60, what="the process to end")
        ended = time.time()
        requests = [float(line.split()[0]) for line in world.lan.box_log(ID_A).splitlines() if " #" in line]
        assert requests and requests[-1] > chosen, "the discovery went on after Exit"
        assert requests[-1] < ended
        shot = desk.shot("after-exit")
        assert desk.icon_box(shot) is None, "the icon is removed"
        # The discovery finished and stored the box; no install followed.
        assert HEX_A in stored_keys(world)
        assert world.filter_names() == set()
        flags = re.search(r'"Flags"=dword:([0-9a-f]{8})', world.reg_text(STORE))
        assert flags and int(flags.group(1), 16) & 0x02, "the 64-bit filters are still pending"


# ---------------------------------------------------------------- the icons themselves

class TestIcons:
    def test_icon_groups_at_taskbar_sizes(self, world, isolated_netns):
        desk = world.start_in(isolated_netns)
        shot = desk.shot("tray-icon")
        shot.save_crop(world.icon, world.artifacts / "tray-icon-101-16px.png", scale=8)
        assert (world.icon.width, world.icon.height) == (16, 16)
        assert desk.icon_state(shot, world.icon) == "notready"

        before = desk.shot("sheet-before")
        desk.run_in_desktop(world.probe_path(), ["--icons", world.prefix.windows_path(world.exe)])
        sheet, frame = world.wait_new_popup(before, "sheet")
        assert (frame.left, frame.top) == (0, 0)
        sheet.save_crop(Frame(0, 0, 256, 192), world.artifacts / "icons-16-24-32-48.png", scale=3)
        for row, group in enumerate((100, 101, 102)):
            for column, size in enumerate((16, 24, 32, 48)):
                cell = Frame(column * 64 + 8, row * 64 + 8, column * 64 + 8 + size, row * 64 + 8 + size)
                drawn = sheet.count(cell, lambda p: p != (255, 255, 255))
                red = sheet.count(cell, is_red)
                green = sheet.count(cell, is_green)
                # The badge covers a good part of the icon's lower right quarter.
                badge = size * size // 16
                assert drawn > size * size // 4, f"icon {group} at {size} px is drawn"
                if group == 100:
                    assert red < 3 and green < 3, f"icon 100 at {size} px has no badge"
                elif group == 101:
                    assert red >= badge and green < 3, f"icon 101 at {size} px: red badge ({red})"
                else:
                    assert green >= badge and red < 3, f"icon 102 at {size} px: green badge ({green})"
