"""The resident tray of the real TavrixInstall.exe in a real window: Xvfb, Wine's virtual desktop,
xdotool clicks. The icon is found in the taskbar's window (outside its buttons) and told by its
badge's colour; menus are held against a reference menu that tray_probe.exe builds from the
expected rows in the same desktop and measures with GetMenuItemRect, so nothing depends on
Wine's fonts or metrics. Screenshots of every state land in the artifacts folder."""

from __future__ import annotations

import shutil
import sys
import time

import pytest

from conftest import REPO
from station import CATEGORIES

sys.path.insert(0, str(REPO / "testbed" / "tray"))

from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from traydesk import TrayDesktop, wait_until  # noqa: E402

ID_A = "%08X" % nth_valid_device_id(0)
INI = ("[devices]\n2040:5200:ofdm=DVB-T Tuner\ndvbc=DVB-C Tuner\nqam256=QAM Tuner\n"
       "[settings]\nsettingsPath=/cfg.html\n")
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
DEVICES = r"HKCU\SOFTWARE\ORVA Systems\Zentrova\Devices"
GREYED, CHECKED, TITLE = 3, 8, 0x1003
SEP = ("S", 0, "")
HEAD = [("T", TITLE, "Zentrova (64 Bit)")]
# Refresh may read "RefreshRunning" (greyed) whenever a search happens to run.
TAIL = [SEP, ("T", None, "Refresh"), ("T", 0, "Autostart"), SEP, ("T", 0, "About"), ("T", 0, "Exit")]


def box_a(tuners, **misbehave) -> Box:
    return Box(nth_valid_device_id(0), "192.0.2.10", "box-a", tuners, misbehave=misbehave or None)


@pytest.fixture
def desk(installed, artifacts, programs, xserver):
    prefix, exe = installed
    prefix.write_ini(INI)
    shutil.copy2(programs / "OrvaTavrix.ax", prefix.home32)  # a filter module of version 2.7.13.42
    prefix.reg("add", r"HKCR\http\shell\open\command", "/ve", "/d", r'C:\tray_probe.exe browser "%1"', "/f")
    with TrayDesktop(prefix, exe, xserver, artifacts, programs) as tray:
        yield tray


def open_tray_menu(desk: TrayDesktop, rows: list, label: str, icon_state: str = "ready", button: int = 3):
    icon = desk.wait_for_icon(icon_state)
    frame = desk.open_menu((icon[0] + icon[2]) // 2, (icon[1] + icon[3]) // 2, button=button)
    return frame, desk.check_menu(frame, rows, label)


def open_idle_menu(desk: TrayDesktop, rows: list):
    """The left-button menu, opened again while a search greys Refresh; any other row that differs fails."""
    icon = desk.wait_for_icon("notready")
    def attempt():
        frame = desk.open_menu((icon[0] + icon[2]) // 2, (icon[1] + icon[3]) // 2, button=1)
        try:
            return frame, desk.check_menu(frame, rows, "menu")
        except AssertionError as error:
            if f"row {rows[3][2]!r} " not in str(error):
                raise
        desk.click(10, 10)
        wait_until(lambda: not desk.rects("menu"), 30, "the menu closed")
    return wait_until(attempt, 120, "a menu between two searches")


def test_without_boxes_autostart_and_an_outside_end_of_the_loop(desk):
    with Lan() as lan:
        desk.netns = lan.program_ns
        desk.start()
        rows = HEAD + [("T", GREYED, "NoDevices")] + TAIL
        value = '"TavrixInstall.exe"="%s"' % desk.prefix.windows_path(desk.exe).replace("\\", "\\\\")
        for label, tick, on in [("autostart-on", 0, True), ("autostart-off", CHECKED, False)]:
            frame, bands = open_tray_menu(desk, rows[:4] + [("T", tick, "Autostart")] + rows[5:], label, "notready")
            desk.choose(frame, bands[4])
            wait_until(lambda: (value in desk.prefix.reg_export(RUN_KEY)) == on, 30, label)
        # The loop ends from outside while TaskbarCreated keeps arriving: a clean end, no icon left.
        assert desk.probe("quit")[-1] == ["exit", "0", "icon", "0", "back", "0"]


@pytest.mark.parametrize("locale, menu, about", [
    pytest.param("de_DE.UTF-8", "Zentrova (64 Bit)|Keine Geräte gefunden|Aktualisieren|Autostart|Info|Beenden",
                 "Anwendung v1.0.0.9|Treiber v2.7.13.42", id="german"),
    pytest.param("pl_PL.UTF-8", "Zentrova (64-bitowy)|Nie znaleziono urządzeń|Odśwież|Autostart|Informacje|"
                 "Zakończ", "Program instalacyjny v1.0.0.9|Sterownik niezainstalowany",
                 id="polish-without-filter-module"),
    pytest.param("tr_TR.UTF-8", "Zentrova (64 Bit)|No devices found|Refresh|Autostart|About|Exit",
                 "Application v1.0.0.9|Driver v2.7.13.42", id="language-not-carried"),
])
def test_shipped_texts_in_the_users_language_left_button_menu_and_about_box(desk, locale, menu, about):
    desk.prefix.write_ini((REPO / "installer" / "TavrixInstall.ini").read_bytes())
    if "v2.7.13.42" not in about:
        (desk.prefix.home32 / "OrvaTavrix.ax").unlink()
    with Lan() as lan:
        desk.netns, desk.locale = lan.program_ns, {"LC_ALL": locale}
        desk.start()
        rows = [("T", state, text) for state, text in zip([TITLE, GREYED, 0, 0, 0, 0], menu.split("|"))]
        frame, bands = open_idle_menu(desk, rows[:2] + [SEP] + rows[2:4] + [SEP] + rows[4:])
        desk.choose(frame, bands[6])
        lines = desk.probe("about", desk.prefix.windows_path(desk.prefix.home32 / "TavrixInstall.ini"))
    assert [" ".join(line) for line in lines if line and line[0] != "tabs"][1:3] == about.split("|")
    # "%s\tv…" over "%s\t\tv…" line up when "Application" ends one tab stop further than "Driver", each a
    # character (an eighth of a tab) clear of a stop, as another Windows font may draw it wider.
    tabs = [[int(n) for n in w[2:]] for w in lines if w[:1] == ["tabs"]]  # application, driver, tab
    clear = lambda width, tab: tab // 8 <= width % tab <= tab - tab // 8  # noqa: E731
    assert len(tabs) == 13 and all(a // t == d // t + 1 and clear(a, t) and clear(d, t) for a, d, t in tabs), lines


def test_boxes_and_tuners_present_and_absent_settings_and_delete(desk):
    with Lan() as lan:
        desk.netns = lan.program_ns
        lan.add_boxes([box_a([Tuner("dvbc"), Tuner("2040:5200:ofdm"), Tuner("qam256")]),
                       Box(nth_valid_device_id(1), "192.0.2.11", "box-b", [Tuner("dvbc")])])
        assert desk.prefix.run(desk.exe, ["-I"], netns=lan.program_ns).returncode == 0
        # Box A comes back with its first tuner only; box B stays away.
        lan.remove_box(nth_valid_device_id(1))
        lan.remove_box(nth_valid_device_id(0))
        lan.add_box(box_a([Tuner("dvbc")]))
        desk.start()

        rows = HEAD + [SEP, ("M", 0, "Zentrova@box-a"), ("T", 0, "  1: DVB-C Tuner"),
                       ("T", GREYED, "  2: DVB-T Tuner"), ("M", 0, "  3: QAM Tuner"),
                       SEP, ("M", 0, "Zentrova@box-b"), ("M", 0, "  1: DVB-C Tuner")] + TAIL
        frame, bands = open_tray_menu(desk, rows, "present-menu")
        menus = [(7, [("T", GREYED, "192.0.2.11"), ("T", 0, "Delete")]), (8, [("T", 0, "Delete")]),
                 (2, [("T", GREYED, "192.0.2.10"), ("T", 0, "Settings")])]
        for row, items in menus:
            sub = desk.choose(frame, bands[row], submenu=True)
            sub_bands = desk.check_menu(sub, items, f"present-submenu-{row}")
        desk.choose(sub, sub_bands[1])
        page = desk.prefix.root / "drive_c" / "opened.txt"
        assert wait_until(page.exists, 30, "the browser") and page.read_text().split() == ["http://192.0.2.10/cfg.html"]

        # Refresh searches at once: sooner after the click than half the tray's own period after that search.
        searches = lambda: lan.box_connects(nth_valid_device_id(0))  # noqa: E731
        seen = len(wait_until(lambda before=len(searches()): len(searches()) > before and searches(), 30, "a search"))
        frame, bands = open_tray_menu(desk, rows[:-5] + [("T", 0, "Refresh")] + rows[-4:], "present-refresh")
        desk.choose(frame, bands[-5])
        chosen = time.time()
        refreshed, then = wait_until(lambda: searches()[seen:seen + 2][1:] and searches()[seen:seen + 2], 60, "two")
        assert refreshed - chosen < (then - refreshed) / 2, ("Refresh waited for the period", chosen, refreshed, then)

        frame, bands = open_tray_menu(desk, rows, "present-delete")
        sub = desk.choose(frame, bands[5], submenu=True)
        desk.choose(sub, desk.check_menu(sub, [("T", 0, "Delete")], "present-delete-submenu")[0])
        gone = "ORVA Tavrix %s-2" % ID_A
        wait_until(lambda: all(gone not in desk.prefix.reg_export(key) for key in CATEGORIES), 30, "uninstall")
        stored = desk.prefix.reg_export(DEVICES)
        assert "%s\\Tuners\\1]" % ID_A in stored and "%s\\Tuners\\2]" % ID_A not in stored
        assert "ORVA Tavrix %s-1" % ID_A in desk.prefix.reg_export(CATEGORIES[0])
        rows = [r for i, r in enumerate(rows) if i != 5]
        frame, bands = open_tray_menu(desk, rows, "present-delete-box")
        sub = desk.choose(frame, bands[6], submenu=True)
        desk.choose(sub, desk.check_menu(sub, menus[0][1], "present-delete-box-submenu")[1])
        gone = "ORVA Tavrix %08X-0" % nth_valid_device_id(1)
        wait_until(lambda: all(gone not in desk.prefix.reg_export(key) for key in CATEGORIES), 30, "box removal")
        lan.remove_box(nth_valid_device_id(0))  # the last tuner goes
        desk.wait_for_icon("notready")
        lan.add_box(box_a([Tuner("dvbc")]))
        desk.wait_for_icon("ready")
