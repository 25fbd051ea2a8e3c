"""Stress: the resident tray plus 16 one-shot copies (-I, -i, -r mixed) started at once, round
after round, while boxes join and leave the simulated LAN.

Rounds: TAVRIX_STRESS_ROUNDS (default 3, the short run; bench/stress.sh runs 50).
Build: TAVRIX_BUILD_DIR (default build/x64), holding TavrixInstall.exe, bench/bench_regtool.exe
and libhdhomerun.dll.

After every round:
- every copy ended by itself within the round's bound, with exit code 0 and no crash report of
  Wine (unhandled exception, backtrace) on its stderr; the tray still runs;
- the stored list is whole: every box key holds "Ip" and "Name" as terminated strings and a
  "Tuners" key, every tuner key "Id", "Model" and "Name", all equal to what the box announces
  (a box that left in the middle of a probe may be listed with its first tuners only);
- nothing that was listed before the round is lost, and no filter instance of a tuner that was
  listed and installed before the round is missing: only a partial load could remove either,
  since no copy of this mix ever shortens the list.
At the end, after a final "-i": the registered instances in both categories are exactly the
listed tuners, the 64-bit program's PVR source folder is still empty (only a 32-bit program
writes PVR files, and none can run here) and the tray still opens its menu.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", REPO / "build" / "x64")).resolve()
ROUNDS = int(os.environ.get("TAVRIX_STRESS_ROUNDS", "3"))
COPIES = 16
ROUND_BOUND_S = 240
SEED = int(os.environ.get("TAVRIX_STRESS_SEED", "7"))

sys.path.insert(0, str(REPO / "bench"))
from benchlib import (  # noqa: E402
    OWNER_IP, PRODUCT_KEY, RECEIVER_INSTANCES, TUNER_INSTANCES, BenchPrefix, Box, Lan, TrayDesktop, Tuner,
    instance_names, nth_valid_device_id, stored_list,
)
from tavrix_testbed.xserver import XServer  # noqa: E402

INI = "[devices]\n2040:5200:ofdm=DVB-T\n8vsb qam=ATSC\n"
NAMES = {"2040:5200:ofdm": "DVB-T", "8vsb qam": "ATSC"}
# What Wine and winedbg print when a program dies of an unhandled exception.
CRASH_MARKERS = ("Unhandled exception", "Unhandled page fault", "Unhandled stack overflow", "Backtrace:",
                 "starting debugger", "err:seh:", "Assertion failed")


def crash_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if any(marker in line for marker in CRASH_MARKERS)]


def pool() -> list[Box]:
    """Six boxes with one to four tuners; every second one has a host name."""
    models = ["2040:5200:ofdm", "8vsb qam", "qpsk", "2040:5200:ofdm"]
    boxes = []
    for n in range(6):
        tuners = [Tuner(models[t], owner=OWNER_IP if t == 1 else None, available=t != 2)
                  for t in range(1 + n % 4)]
        boxes.append(Box(nth_valid_device_id(n), "192.0.2.%d" % (20 + n), "stress-%d" % n if n % 2 == 0 else None,
                         tuners))
    return boxes


def expected_names(box: Box) -> set[str]:
    # A look-up that fails while the hosts file is being rewritten gives the address instead.
    names = {"Zentrova@" + box.ip}
    if box.hostname:
        names.add("Zentrova@" + box.hostname)
    return names


def check_whole(listed: dict, boxes: dict[str, Box]) -> list[str]:
    problems = [p for record in listed.values() for p in record["problems"]]
    for box_id, record in listed.items():
        box = boxes.get(box_id)
        if box is None:
            problems.append("unknown box %s listed" % box_id)
            continue
        if record["Ip"] != box.ip:
            problems.append("box %s: Ip %r" % (box_id, record["Ip"]))
        if record["Name"] not in expected_names(box):
            problems.append("box %s: Name %r" % (box_id, record["Name"]))
        indexes = sorted(int(i) for i in record["tuners"])
        if indexes != list(range(len(indexes))) or len(indexes) > len(box.tuners):
            problems.append("box %s: tuner keys %s" % (box_id, sorted(record["tuners"])))
            continue
        for index, tuner in record["tuners"].items():
            model = box.tuners[int(index)].model
            wanted = {"Id": "%s-%s" % (box_id, index), "Model": model, "Name": NAMES.get(model, model)}
            if tuner != wanted:
                problems.append("tuner %s\\%s: %s, expected %s" % (box_id, index, tuner, wanted))
    return problems


def tuner_ids(listed: dict) -> set[str]:
    return {t["Id"] for record in listed.values() for t in record["tuners"].values() if t["Id"]}


def installed(prefix: BenchPrefix) -> tuple[set[str], set[str]]:
    def ids(key):
        return {name[len("ORVA Tavrix "):] for name in instance_names(prefix, key) if name.startswith("ORVA Tavrix ")}
    return ids(TUNER_INSTANCES), ids(RECEIVER_INSTANCES)


class Copy:
    """One one-shot copy of the program, its output in files."""

    def __init__(self, prefix: BenchPrefix, option: str, netns: str):
        self.option = option
        self.err = tempfile.TemporaryFile()
        self.process = prefix.start(prefix.exe, [option], netns=netns, env=prefix.env(WINEDEBUG="-all,warn+debugstr"),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err)

    def stderr(self) -> str:
        self.err.seek(0)
        return self.err.read().decode("utf-8", "replace")


def churn(lan: Lan, boxes: list[Box], rng: random.Random, delay: float):
    """One box leaves or joins the LAN, `delay` seconds into the round."""
    time.sleep(delay)
    present = {b.device_id for b in lan.boxes}
    box = rng.choice(boxes)
    if box.device_id in present:
        lan.remove_box(box.device_id)
    else:
        lan.add_box(box)


@pytest.fixture(scope="module")
def bed():
    if not (BUILD / "bench" / "bench_regtool.exe").exists():
        pytest.fail("%s/bench/bench_regtool.exe is not built" % BUILD)
    with BenchPrefix(BUILD, ini_text=INI) as prefix, Lan() as lan, XServer() as xserver:
        lan.set_host(OWNER_IP, "owner-pc")
        boxes = pool()
        lan.add_boxes(boxes[:3])
        tray = TrayDesktop(prefix, xserver, lan.program_ns)
        yield prefix, lan, xserver, tray, boxes


def test_one_shot_copies_beside_the_tray(bed):
    prefix, lan, xserver, tray, boxes = bed
    by_id = {b.id_text: b for b in boxes}
    rng = random.Random(SEED)
    listed = stored_list(prefix.regdump(PRODUCT_KEY)) or {}
    for round_number in range(1, ROUNDS + 1):
        before_list = listed
        before_installed = installed(prefix)
        options = ["-I"] * 6 + ["-i"] * 5 + ["-r"] * 5
        rng.shuffle(options)
        copies = [Copy(prefix, option, lan.program_ns) for option in options]
        mover = threading.Thread(target=churn, args=(lan, boxes, rng, rng.uniform(0.0, 2.0)))
        mover.start()
        deadline = time.monotonic() + ROUND_BOUND_S
        for copy in copies:
            try:
                copy.process.wait(timeout=max(1.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                for other in copies:
                    other.process.kill()
                pytest.fail("round %d: a copy (%s) did not end within %d s" % (round_number, copy.option,
                                                                               ROUND_BOUND_S))
        mover.join(timeout=60)
        where = "round %d" % round_number
        for copy in copies:
            assert copy.process.returncode == 0, "%s: %s ended with %d\n%s" % (
                where, copy.option, copy.process.returncode, copy.stderr()[-3000:])
            assert not crash_lines(copy.stderr()), "%s: %s crashed:\n%s" % (where, copy.option, copy.stderr()[-3000:])
        assert tray.alive(), "%s: %s" % (where, tray.ended())

        listed = stored_list(prefix.regdump(PRODUCT_KEY)) or {}
        assert check_whole(listed, by_id) == [], where
        for box_id, record in before_list.items():
            assert box_id in listed, "%s: box %s was lost" % (where, box_id)
            assert len(listed[box_id]["tuners"]) >= len(record["tuners"]), "%s: tuners of %s were lost" % (
                where, box_id)
        kept = tuner_ids(before_list)
        now_tuner, now_receiver = installed(prefix)
        assert (before_installed[0] & kept) <= now_tuner, "%s: instances removed: %s" % (
            where, sorted((before_installed[0] & kept) - now_tuner))
        assert (before_installed[1] & kept) <= now_receiver, "%s: instances removed: %s" % (
            where, sorted((before_installed[1] & kept) - now_receiver))
        print("%s: %d boxes on the LAN, %d listed, %d tuners, %d instances" % (
            where, len(lan.boxes), len(listed), len(tuner_ids(listed)), len(now_tuner)), flush=True)

    final = prefix.program(["-i"], netns=lan.program_ns, debugstr=True, timeout=300)
    assert final.returncode == 0 and not crash_lines(final.stderr)
    listed = stored_list(prefix.regdump(PRODUCT_KEY)) or {}
    assert check_whole(listed, by_id) == []
    assert listed, "nothing was ever stored"
    assert installed(prefix) == (tuner_ids(listed), tuner_ids(listed))
    assert list(prefix.pvr_folder.iterdir()) == []
    assert not (prefix.common32 / "ORVA Systems" / "PVR").exists()

    assert menu_opens(xserver, tray), "the tray's menu did not open"
    assert tray.alive(), tray.ended()
    assert crash_lines(tray.output()) == [], tray.output()[-3000:]


def visible_program_windows(xserver: XServer) -> list[str]:
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "tavrixinstall.exe"],
                            env=xserver.env(), capture_output=True, text=True, timeout=30)
    return result.stdout.split()


def menu_opens(xserver: XServer, tray: TrayDesktop, timeout: float = 30) -> bool:
    """A right click on the icon shows a window of the program (the menu); a click beside
    it closes it again. The UI thread is not stuck."""
    def xdotool(*args):
        subprocess.run(["xdotool", *args], env=xserver.env(), check=True, timeout=30)

    x, y = tray.icon_position
    xdotool("mousemove", str(x), str(y), "mousedown", "3")
    deadline = time.monotonic() + timeout
    shown = False
    while time.monotonic() < deadline and not shown:
        shown = bool(visible_program_windows(xserver))
        time.sleep(0.2)
    xdotool("mousemove", "10", "10", "mouseup", "3")
    while time.monotonic() < deadline and visible_program_windows(xserver):
        xdotool("click", "1")
        time.sleep(0.5)
    return shown
