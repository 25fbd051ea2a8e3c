"""Detect and install (-I) of the real program on a simulated LAN: what it stores, when it installs
and posts the device-change notice, and what it makes of boxes that misbehave."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest

from conftest import REPO
from station import CATEGORIES, Listener, record
from tavrix_testbed.lan import Box, Tuner, invalid_device_id, nth_valid_device_id
from tavrix_testbed.wineprefix import parse_log

sys.path.insert(0, str(REPO / "testbed" / "tray"))
from traydesk import wait_until  # noqa: E402

NOTICE = "devicechange 7 0"  # WM_DEVICECHANGE with DBT_DEVNODES_CHANGED


def box(n: int, tuners, hostname: str | None = None, **misbehave) -> Box:
    return Box(nth_valid_device_id(n), "192.0.2.%d" % (20 + n), hostname, tuners, misbehave or None)


def instance(b: Box, n: int) -> str:
    return "ORVA Tavrix %s-%d" % (b.id_text, n)


def test_a_named_lan_is_stored_and_installed(station):
    a = box(0, [Tuner("dvbc", "192.0.2.77", False), Tuner("dvbt"), Tuner("M" * 30, "O" * 300, False)], "box-a")
    b = box(1, [Tuner("dvbc", "no address", False), Tuner("dvbc", available=False)])
    shy = Box(invalid_device_id(2), "192.0.2.22", None, [Tuner("dvbc")], {"invalid_id": True})
    shared = box(3, [Tuner("dvbc")])
    station.reset()
    station.set_lan([a, b, shy, shared])
    station.lan.set_host("192.0.2.77", "viewer-pc")
    # "shared" leads forward to another address first: not confirmed for .23.
    station.lan.set_host("192.0.2.99", "shared")
    station.lan.set_host(shared.ip, "shared")

    station.run("-I")

    stored = station.stored()
    # record(): the host name where one is confirmed, else the address ("shared" included).
    assert stored.get("Devices") == {a.id_text: record(a), b.id_text: record(b), shared.id_text: record(shared)}
    # Discovery set the three pending bits; the 64-bit copy's install completed its own.
    assert stored.get("Flags") == "dword:00000005"
    assert station.instances() == {instance(x, n) for x in (a, b, shared) for n in range(len(x.tuners))}


A = box(0, [Tuner("dvbc"), Tuner("dvbt")])
B = box(1, [Tuner("dvbc")])

# What the second -I finds, after a first one on A and B installed; True: it installs again.
CHANGES = [
    pytest.param([A], False, id="box-left"),
    pytest.param([box(0, [Tuner("dvbc", "192.0.2.77", False), Tuner("dvbt")]), B], False, id="owner-changed"),
    pytest.param([box(0, [Tuner("dvbc"), Tuner("dvbt2")]), B], True, id="model-changed"),
    pytest.param([box(0, [Tuner("dvbc"), Tuner("dvbt"), Tuner("dvbc")]), B], True, id="tuner-added"),
    pytest.param([box(0, [Tuner("dvbc"), Tuner("dvbt")], "box-a"), B], True, id="host-name-found"),
]


@pytest.mark.parametrize("lan_after,installs", CHANGES)
def test_a_second_search_installs_only_on_a_change(station, lan_after, installs):
    station.reset()
    station.set_lan([A, B])
    station.run("-I")
    # Only an install registers it again.
    station.reg_import("[-%s\\%s]\n" % (CATEGORIES[0], instance(A, 0)))
    station.set_lan(lan_after)

    station.run("-I")

    assert station.stored().get("Devices") == {x.id_text: record(x) for x in [A, B] + lan_after}
    assert (instance(A, 0) in station.instances()) is installs


def test_only_a_change_posts_the_device_change_notice(station, programs):
    # The 64-bit copy's install reports success, and so posts the notice, only while no tuner
    # is listed (it writes no PVR files): a LAN of one box without tuners.
    bare = box(5, [])
    station.reset()
    station.set_lan([bare])
    listener = Listener(station.prefix, programs, hold_instance=True)
    try:
        station.run("-I")  # new: notice
        station.run("-I")  # unchanged: none
        station.set_lan([box(5, [], "bare")])
        station.run("-I")  # a host name found: notice
        station.set_lan([bare])
        station.run("-I")  # the name not confirmed this time: kept, no notice
        # The mark: beside the mutex the listener holds, an unknown option only broadcasts.
        station.run("-x")
        assert listener.until("instance-message") == [NOTICE, NOTICE]
    finally:
        listener.close()


def test_misbehaving_boxes_in_one_search_on_a_lan_whose_resolver_does_not_answer(station):
    # Every look-up of an address waits out the resolver's 5 s: they cost names, never reads.
    good = box(10, [Tuner("dvbc", "192.0.2.78", False)] * 3)
    slow = box(11, [Tuner("dvbc")], delay=0.5)
    silent = box(12, [Tuner("dvbc")], silent=True)
    babbling = box(13, [Tuner("dvbc")], control_garbage="bad_crc")
    unheard = box(14, [Tuner("dvbc")], discover_silent=True)
    garbled = box(15, [Tuner("dvbc")], discover_garbage="bad_tlv")
    # Answers tuner 0's three reads and tuner 1's model, then is gone.
    dying = box(16, [Tuner("dvbc"), Tuner("dvbc"), Tuner("dvbc")], vanish_after=4)
    endless = box(17, [], endless_tuners=True)
    # Would hold the search for half an hour; its time ends in the middle of a tuner's reads.
    crawling = box(18, [], endless_tuners=True, delay=2.1)
    station.reset()
    station.set_lan([good, slow, silent, babbling, unheard, garbled, dying, endless, crawling])
    with station.lan.silent_resolver():
        result = station.run("-I")

    no_tuners = dict(Tuners={})
    stored = station.stored().get("Devices")
    kept = len(stored.pop(crawling.id_text)["Tuners"])
    assert 0 < kept == len(set(re.findall(r" get /tuner(\d+)/model:", station.lan.box_log(crawling.device_id))))
    assert stored == {
        good.id_text: record(good), slow.id_text: record(slow),
        silent.id_text: dict(record(silent), **no_tuners), babbling.id_text: dict(record(babbling), **no_tuners),
        dying.id_text: record(box(16, [Tuner("dvbc"), Tuner("dvbc")])),
        endless.id_text: record(box(17, [Tuner("endless")] * 256)),
    }
    # Which box the look-ups' time ends at depends on the order the search reports.
    lines = [line.strip().split(" at box ")[0] for line in result.log if "of box" in line or "out of time" in line]
    assert sorted(lines) == [
        "CDevices::UpdateDevices: box %s out of time after %d tuners" % (crawling.id_text, kept),
        "CDevices::UpdateDevices: host-name look-ups out of time",
        "CDevices::UpdateDevices: probe of box %s stopped at 256 tuners" % endless.id_text]


def test_a_search_keeps_at_most_64_boxes(station):
    boxes = [Box(nth_valid_device_id(100 + n), "192.0.2.%d" % (100 + n), None, [Tuner("dvbc")]) for n in range(65)]
    station.reset()
    station.set_lan(boxes)

    station.run("-I")

    stored = station.stored().get("Devices")
    assert len(stored) == 64
    assert all(stored[b.id_text] == record(b) for b in boxes if b.id_text in stored)


def test_a_library_only_on_the_search_path_is_never_loaded_and_one_put_in_place_is_found(station, tmp_path):
    library, elsewhere = station.exe.parent / "libhdhomerun.dll", station.prefix.root / "drive_c/on-path"
    elsewhere.mkdir(exist_ok=True)
    library.rename(elsewhere / library.name)
    found = box(20, [Tuner("dvbc")])
    station.reset()
    station.set_lan([found])
    missing = "CDevices::UpdateDevices: cannot load %s (error 126); no search" % station.prefix.windows_path(library)
    stderr = tmp_path / "tray.log"
    log = lambda: parse_log(stderr.read_text(errors="replace"))  # noqa: E731
    # A tray (may be elevated) started before the library is in place must not take what PATH offers.
    with open(stderr, "ab") as output:
        tray = station.prefix.start(station.exe, netns=station.lan.program_ns, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=output,
                                    env=station.prefix.env(WINEPATH=station.prefix.windows_path(elsewhere)))
    try:
        wait_until(lambda: missing in log(), 120, "the first search")
        (elsewhere / library.name).rename(library)
        wait_until(lambda: station.instances() == {instance(found, 0)}, 60, "the next search's install")
    finally:
        tray.kill()
        tray.wait()
        if not library.exists():
            (elsewhere / library.name).rename(library)
    assert station.stored().get("Devices") == {found.id_text: record(found)}
    assert log().count(missing) == 1, log()
