#!/usr/bin/python3
"""Benchmarks of TavrixInstall under Wine on the simulated LAN.

Usage: bench.py [--build DIR] [--out FILE] [--quick] [PART ...]
PART: store, jobs, tray, menu (default: all four, in that order).

  store  bench_store.exe: CStorage SaveDevices/LoadDevices of 64 boxes x 8 tuners (QPC, 200 runs).
  jobs   "-I" with 1, 8 and 64 boxes of 4 tuners: wall time and peak working set through
         bench_meter.exe, beside the floor (an empty program under Wine plus hdhomerun_config
         doing the same network work), repeated for median and spread.
  tray   the resident tray with 8 boxes over 30 refresh cycles: CPU time per cycle, private
         bytes and handles at cycles 3 and 30 (bench_proc_probe.exe and /proc), menu open time.
  menu   the tray's menu open time with 64 boxes (click to the menu's X window being mapped).

Results: one JSON file (default bench/results/latest.json; a run of some parts replaces those
parts and keeps the others) and a Markdown summary on stdout.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import re
import select
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchlib import (  # noqa: E402
    PRODUCT_KEY, RECEIVER_INSTANCES, REPO, TUNER_INSTANCES, WINE, BenchPrefix, Box, Lan, Tuner, find_unix_pids,
    instance_names, load_average, named_namespace_inode, net_namespace_of, nth_valid_device_id, proc_cpu_seconds,
    proc_status, stored_list, summary, wineserver_pid,
)
from tavrix_testbed.xserver import XServer  # noqa: E402

OWNER_IP = "192.0.2.250"
OWNER_HOST = "owner-pc"
LIBPROBE = REPO / "bench" / "libprobe.py"


# ---------------------------------------------------------------- the LAN of the benchmarks

def bench_tuners() -> list[Tuner]:
    """Four tuners that take every road of the probe: free, held by a named host, busy
    without an owner text, free again."""
    return [Tuner("2040:5200:ofdm"), Tuner("2040:5200:ofdm", owner=OWNER_IP, available=False),
            Tuner("8vsb qam", available=False), Tuner("qpsk")]


def bench_boxes(count: int) -> list[Box]:
    return [Box(nth_valid_device_id(n), "192.0.2.%d" % (10 + n), "bench-box-%02d" % n, bench_tuners())
            for n in range(count)]


def start_lan(count: int) -> Lan:
    lan = Lan()
    try:
        lan.set_host(OWNER_IP, OWNER_HOST)
        lan.add_boxes(bench_boxes(count))
    except BaseException:
        lan.close()
        raise
    return lan


def program_reads(box: Box) -> list[str]:
    """The variables the program reads from a box, in its order (owner text decides whether
    availability is asked), ending with the model read of the first missing tuner."""
    reads = []
    for n, tuner in enumerate(box.tuners):
        reads += ["/tuner%d/model" % n, "/tuner%d/owner" % n]
        if not tuner.owner:
            reads.append("/tuner%d/available" % n)
    reads.append("/tuner%d/model" % len(box.tuners))
    return reads


# ---------------------------------------------------------------- floors

def floor_client(lan: Lan, boxes: list[Box]) -> float:
    """hdhomerun_config doing the program's network work: one discovery, then per box the
    same reads. The client takes one command per process and connects anew each time; the
    first read of a box goes by device id (the library then searches for that id, as the
    program's open by id does), the others by address. Seconds of the whole sequence."""
    commands = [["hdhomerun_config", "discover"]]
    for box in boxes:
        for i, var in enumerate(program_reads(box)):
            commands.append(["hdhomerun_config", box.id_text if i == 0 else box.ip, "get", var])
    script = "import subprocess,sys,time,json\n" \
             "cmds=json.loads(sys.stdin.read())\n" \
             "t=time.perf_counter()\n" \
             "bad=[c for c in cmds if subprocess.run(c,stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL).returncode not in (0,1)]\n" \
             "print(json.dumps({'seconds':time.perf_counter()-t,'bad':len(bad)}))\n"
    out = lan.run(["/usr/bin/python3", "-c", script], input=json.dumps(commands), timeout=600)
    result = json.loads(out.stdout)
    if result["bad"]:
        raise RuntimeError("hdhomerun_config failed %d times" % result["bad"])
    return result["seconds"]


def check_client_answers(lan: Lan, box: Box):
    """The client reads what the box holds: the floor does real work."""
    out = lan.run(["hdhomerun_config", box.id_text, "get", "/tuner0/model"]).stdout.strip()
    if out != box.tuners[0].model:
        raise RuntimeError("hdhomerun_config read %r, expected %r" % (out, box.tuners[0].model))


def floor_library(lan: Lan, boxes: list[Box]) -> float:
    """The library itself, in one process, with the program's exact calls (bench libprobe):
    one search, then per box open by id, the reads, close. Seconds inside the process."""
    script = ("import sys,time,json\nsys.path.insert(0,%r)\nimport libprobe\nlib=libprobe.load()\n"
              "ids=json.loads(sys.stdin.read())\nt=time.perf_counter()\nd=libprobe.discover(lib)\n"
              "s=[libprobe.scan(lib,i) for i in ids]\n"
              "print(json.dumps({'seconds':time.perf_counter()-t,'found':d['count'],"
              "'tuners':sum(len(r['tuners']) for r in s)}))\n" % str(LIBPROBE.parent))
    out = lan.run(["/usr/bin/python3", "-c", script], input=json.dumps([b.id_text for b in boxes]), timeout=600)
    result = json.loads(out.stdout)
    if result["found"] != len(boxes) or result["tuners"] != 4 * len(boxes):
        raise RuntimeError("library floor saw %s" % result)
    return result["seconds"]


# ---------------------------------------------------------------- part: store

def part_store(build: Path, quick: bool) -> dict:
    repetitions = 20 if quick else 200
    with BenchPrefix(build) as prefix:
        load_before = load_average()
        result = prefix.wine([prefix.tool("bench_store.exe"), str(repetitions), "64", "8"], timeout=3600, check=True)
        data = json.loads(result.stdout.decode())
        data["load_average"] = [load_before, load_average()]
    return data


# ---------------------------------------------------------------- part: jobs

def check_install(prefix: BenchPrefix, count: int):
    boxes = stored_list(prefix.regdump(PRODUCT_KEY)) or {}
    problems = [p for b in boxes.values() for p in b["problems"]]
    tuners = sum(len(b["tuners"]) for b in boxes.values())
    instances = (len(instance_names(prefix, TUNER_INSTANCES)), len(instance_names(prefix, RECEIVER_INSTANCES)))
    if len(boxes) != count or tuners != 4 * count or problems or instances != (4 * count, 4 * count):
        raise RuntimeError("after -I: %d boxes, %d tuners, instances %s, problems %s" % (
            len(boxes), tuners, instances, problems[:3]))


def part_jobs(build: Path, quick: bool) -> dict:
    plans = [(1, 3), (8, 3)] if quick else [(1, 11), (8, 11), (64, 7)]
    results = {}
    for count, repetitions in plans:
        print("jobs: %d boxes, %d repetitions" % (count, repetitions), flush=True)
        with BenchPrefix(build) as prefix, start_lan(count) as lan:
            boxes = lan.boxes
            check_client_answers(lan, boxes[0])
            ns = lan.program_ns
            # One unmeasured round: first-use costs of the prefix are not the program's.
            prefix.meter(prefix.exe_windows, ["-I"], netns=ns)
            prefix.program(["-R"])
            rows = {"first": [], "repeat": [], "empty": [], "client": [], "library": []}
            load_before = load_average()
            for rep in range(repetitions):
                prefix.program(["-R"])
                order = ["first", "empty", "client", "library"]
                for what in order:
                    if what == "first":
                        rows["first"].append(prefix.meter(prefix.exe_windows, ["-I"], netns=ns))
                        if rep in (0, repetitions - 1):
                            check_install(prefix, count)
                        rows["repeat"].append(prefix.meter(prefix.exe_windows, ["-I"], netns=ns))
                    elif what == "empty":
                        rows["empty"].append(prefix.meter(prefix.tool("bench_empty.exe"), []))
                    elif what == "client":
                        rows["client"].append(floor_client(lan, boxes))
                    else:
                        rows["library"].append(floor_library(lan, boxes))
                bad = [r for r in rows["first"] + rows["repeat"] + rows["empty"] if r["exit_code"] != 0]
                if bad:
                    raise RuntimeError("a measured run did not end with 0: %s" % bad)
            results[str(count)] = summarise_jobs(rows, load_before)
    return results


def summarise_jobs(rows: dict, load_before: list[float]) -> dict:
    def wall(key):
        return summary([r["wall_ms"] / 1000.0 for r in rows[key]])

    def peak(key):
        return summary([r["peak_working_set"] / 2 ** 20 for r in rows[key]])

    def private(key):
        return summary([r["peak_pagefile"] / 2 ** 20 for r in rows[key]])

    out = {
        "first_wall_s": wall("first"), "repeat_wall_s": wall("repeat"), "empty_wall_s": wall("empty"),
        "first_peak_ws_mib": peak("first"), "repeat_peak_ws_mib": peak("repeat"), "empty_peak_ws_mib": peak("empty"),
        "first_peak_private_mib": private("first"), "empty_peak_private_mib": private("empty"),
        "client_s": summary(rows["client"]), "library_s": summary(rows["library"]),
        "load_average": [load_before, load_average()], "raw": rows,
    }
    floor = out["empty_wall_s"]["median"] + out["client_s"]["median"]
    out["floor_s"] = floor
    out["ratio_first"] = out["first_wall_s"]["median"] / floor
    out["ratio_repeat"] = out["repeat_wall_s"]["median"] / floor
    library_floor = out["empty_wall_s"]["median"] + out["library_s"]["median"]
    out["library_floor_s"] = library_floor
    out["library_ratio_first"] = out["first_wall_s"]["median"] / library_floor
    out["library_ratio_repeat"] = out["repeat_wall_s"]["median"] / library_floor
    return out


# ---------------------------------------------------------------- the tray in a window

class TrayDesktop:
    """The tray in Wine's virtual desktop on a private X server, in the LAN's program namespace."""

    WIDTH, HEIGHT = 1024, 768

    def __init__(self, prefix: BenchPrefix, xserver: XServer, netns: str):
        self.prefix = prefix
        self.xserver = xserver
        self.name = "bench%d" % os.getpid()
        self.log = tempfile.TemporaryFile()
        env = prefix.env(DISPLAY=xserver.display)
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", netns, WINE, "explorer", "/desktop=%s,%dx%d" % (self.name, self.WIDTH, self.HEIGHT),
             str(prefix.exe)], env=env, cwd=str(prefix.exe.parent), stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=self.log)
        self.pid = self._wait_for_pid(named_namespace_inode(netns))

    def _wait_for_pid(self, namespace: int, timeout: float = 90) -> int:
        """The tray's Unix process: the program's process of this prefix in the namespace."""
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            seen = find_unix_pids("TavrixInstall.exe", self.prefix.root)
            for pid in seen:
                try:
                    if net_namespace_of(pid) == namespace:
                        return pid
                except OSError:  # ended meanwhile
                    continue
            time.sleep(0.2)
        raise RuntimeError("the tray did not start in the program namespace (processes seen: %s)\n%s" % (
            seen, self.output()[-2000:]))

    def alive(self) -> bool:
        return os.path.exists("/proc/%d" % self.pid)

    def output(self) -> str:
        """What the desktop and the tray wrote to stdout and stderr so far."""
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")

    @property
    def icon_position(self) -> tuple[int, int]:
        # The only icon of the notification area, at the right end of Wine's taskbar.
        return self.WIDTH - 12, self.HEIGHT - 10


class ProcessProbe:
    """bench_proc_probe.exe attached to the tray: one sample per request."""

    def __init__(self, prefix: BenchPrefix):
        self.out = tempfile.NamedTemporaryFile(delete=False)
        self.process = subprocess.Popen([WINE, prefix.tool("bench_proc_probe.exe"), "TavrixInstall.exe"],
                                        env=prefix.env(), cwd=str(prefix.tools), stdin=subprocess.PIPE,
                                        stdout=self.out, stderr=subprocess.DEVNULL)
        self.read_position = 0

    def sample(self, timeout: float = 10) -> dict:
        self.process.stdin.write(b"s\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(self.out.name, "rb") as handle:
                handle.seek(self.read_position)
                line = handle.readline()
            if line.endswith(b"\n"):
                self.read_position += len(line)
                return json.loads(line)
            if self.process.poll() is not None:
                raise RuntimeError("the process probe ended")
            time.sleep(0.01)
        raise RuntimeError("the process probe did not answer")

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
            self.process.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
        os.unlink(self.out.name)


def box_log_times(lan: Lan, device_id: int, variable: str) -> list[float]:
    """Times at which a box received a read of `variable` (from the simulator's request log)."""
    pattern = re.compile(r"^(\d+\.\d+) \S+ #\d+ get %s:" % re.escape(variable))
    return [float(m.group(1)) for m in map(pattern.match, lan.box_log(device_id).splitlines()) if m]


def cycle_bounds(lan: Lan) -> list[tuple[float, float]]:
    """(first read, last read) of every complete refresh cycle seen by all boxes."""
    starts = [box_log_times(lan, b.device_id, "/tuner0/model") for b in lan.boxes]
    ends = [box_log_times(lan, b.device_id, "/tuner%d/model" % len(b.tuners)) for b in lan.boxes]
    complete = min(min(len(s) for s in starts), min(len(e) for e in ends))
    return [(min(s[k] for s in starts), max(e[k] for e in ends)) for k in range(complete)]


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

    def _drain(self):
        while self.display.pending_events():
            self.display.next_event()

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

    def open_close(self, x: int, y: int, button: int = 3, timeout: float = 30) -> float:
        """Seconds from the button press on the icon (the tray opens its menu on the press) to
        the menu's window being mapped. The button is let go away from the menu, which must
        not choose an item, and a click beside the menu closes it."""
        X, xtest = self.X, self.xtest
        xtest.fake_input(self.display, X.MotionNotify, x=x, y=y)
        self.display.sync()
        time.sleep(0.05)
        self._drain()
        start = time.perf_counter()
        xtest.fake_input(self.display, X.ButtonPress, button)
        self.display.flush()
        # A tooltip of the taskbar is no menu: only a window of the program counts.
        mapped = self._wait_event(lambda e: e.type == X.MapNotify and self._is_program_window(e.window), timeout)
        elapsed = time.perf_counter() - start
        xtest.fake_input(self.display, X.MotionNotify, x=10, y=10)
        xtest.fake_input(self.display, X.ButtonRelease, button)
        self.display.sync()
        if mapped is None:
            raise RuntimeError("no menu window appeared within %.0f s" % timeout)
        # A click that comes before the menu's own loop runs reaches the desktop instead:
        # click again until the menu has gone; every further click is counted.
        self.extra_close_clicks = 0
        for attempt in range(int(timeout / 2)):
            time.sleep(0.2)
            xtest.fake_input(self.display, X.ButtonPress, 1)
            self.display.sync()
            time.sleep(0.02)
            xtest.fake_input(self.display, X.ButtonRelease, 1)
            self.display.flush()
            if self._wait_event(lambda e: e.type == X.UnmapNotify and e.window.id == mapped.window.id, 2.0):
                self.extra_close_clicks = attempt
                break
        else:
            raise RuntimeError("the menu did not close")
        return elapsed

    def close(self):
        self.display.close()


def time_menu(xserver: XServer, tray: TrayDesktop, clicks: int, extra_clicks: list | None = None) -> list[float]:
    """Open times of `clicks` menus; `extra_clicks` gets, per menu, the clicks it took beyond
    the first to close it again (the menu must not be stuck: 30 s without closing fails)."""
    timer = MenuTimer(xserver, tray.name)
    try:
        x, y = tray.icon_position
        times = []
        for _ in range(clicks):
            times.append(timer.open_close(x, y, timeout=60))
            if extra_clicks is not None:
                extra_clicks.append(timer.extra_close_clicks)
            time.sleep(random.uniform(0.3, 1.2))
        return times
    finally:
        timer.close()


# ---------------------------------------------------------------- part: tray

def part_tray(build: Path, quick: bool) -> dict:
    cycles = 5 if quick else 30
    with BenchPrefix(build) as prefix, start_lan(8) as lan, XServer() as xserver:
        tray = TrayDesktop(prefix, xserver, lan.program_ns)
        server = wineserver_pid(prefix.root)
        probe = ProcessProbe(prefix)
        samples = []
        stop = threading.Event()

        def sampler():
            while not stop.is_set():
                sample = probe.sample()
                sample["unix_cpu_s"] = proc_cpu_seconds(tray.pid)
                sample["unix_status"] = proc_status(tray.pid)
                sample["server_cpu_s"] = proc_cpu_seconds(server) if server else None
                samples.append(sample)
                stop.wait(1.0)

        thread = threading.Thread(target=sampler, daemon=True)
        load_before = load_average()
        thread.start()
        deadline = time.monotonic() + (cycles + 3) * 30 + 120
        while len(cycle_bounds(lan)) < cycles + 1:
            if time.monotonic() > deadline or not tray.alive():
                raise RuntimeError("only %d refresh cycles were seen" % len(cycle_bounds(lan)))
            time.sleep(1)
        stop.set()
        thread.join(timeout=30)
        load_after = load_average()
        bounds = cycle_bounds(lan)
        menu = time_menu(xserver, tray, 10 if quick else 20)
        alive = tray.alive()
        probe.close()
    return summarise_tray(samples, bounds, cycles, menu, alive, [load_before, load_after])


def state_after(samples: list[dict], bounds: list[tuple[float, float]], k: int) -> dict:
    """The last sample taken after cycle k (1-based) ended and before cycle k+1 began."""
    end, next_start = bounds[k - 1][1], bounds[k][0]
    between = [s for s in samples if end + 0.5 < s["time"] < next_start - 0.5]
    if not between:
        raise RuntimeError("no sample between cycle %d and %d" % (k, k + 1))
    return between[-1]


def summarise_tray(samples, bounds, cycles, menu, alive, loads) -> dict:
    states = {k: state_after(samples, bounds, k) for k in range(1, cycles + 1)}
    cpu = {k: (states[k]["unix_cpu_s"] - states[k - 1]["unix_cpu_s"]) * 1000 for k in range(2, cycles + 1)}
    server_cpu = {k: (states[k]["server_cpu_s"] - states[k - 1]["server_cpu_s"]) * 1000
                  for k in range(2, cycles + 1) if states[k]["server_cpu_s"] is not None}
    third, last = states[3], states[cycles]
    series = {k: {"private_bytes": s["pagefile"], "handles": s["handles"], "working_set": s["working_set"],
                  "rss_anon": s["unix_status"].get("RssAnon"), "vm_data": s["unix_status"].get("VmData"),
                  "handle_types": s["handle_types"]} for k, s in states.items()}
    steady = [cpu[k] for k in range(3, cycles + 1)]
    return {
        "cycles": cycles,
        "cycle_period_s": summary([bounds[k][0] - bounds[k - 1][0] for k in range(1, cycles)]),
        "cycle_probe_s": summary([e - s for s, e in bounds[:cycles]]),
        "cpu_ms_first_cycle_with_install": (states[1]["unix_cpu_s"]) * 1000,
        "cpu_ms_per_cycle": summary(steady),
        "cpu_ms_mean_per_cycle": (states[cycles]["unix_cpu_s"] - states[2]["unix_cpu_s"]) * 1000 / (cycles - 2),
        "wineserver_cpu_ms_per_cycle": summary([server_cpu[k] for k in range(3, cycles + 1)]) if server_cpu else None,
        "private_bytes_cycle3": third["pagefile"], "private_bytes_cycle30": last["pagefile"],
        "handles_cycle3": third["handles"], "handles_cycle30": last["handles"],
        "growth_private_bytes": last["pagefile"] - third["pagefile"],
        "growth_handles": last["handles"] - third["handles"],
        "growth_vm_data": last["unix_status"]["VmData"] - third["unix_status"]["VmData"],
        "series": series,
        "menu_open_s": summary(menu),
        "menu_raw": menu,
        "tray_alive_at_end": alive,
        "load_average": loads,
    }


# ---------------------------------------------------------------- part: menu

def part_menu(build: Path, quick: bool) -> dict:
    clicks = 10 if quick else 30
    with BenchPrefix(build) as prefix, start_lan(64) as lan, XServer() as xserver:
        prefix.meter(prefix.exe_windows, ["-I"], netns=lan.program_ns)
        check_install(prefix, 64)
        probes_before = len(cycle_bounds(lan))
        tray = TrayDesktop(prefix, xserver, lan.program_ns)
        # The tray's first refresh has run: every box is listed and present.
        deadline = time.monotonic() + 120
        while len(cycle_bounds(lan)) <= probes_before:
            if time.monotonic() > deadline:
                raise RuntimeError("the tray did not refresh")
            time.sleep(0.5)
        load_before = load_average()
        extra_clicks = []
        menu = time_menu(xserver, tray, clicks, extra_clicks)
        refreshes = len(cycle_bounds(lan)) - probes_before
        alive = tray.alive()
    return {"boxes": 64, "menu_open_s": summary(menu), "raw": menu, "extra_close_clicks": extra_clicks,
            "refresh_cycles_meanwhile": refreshes, "tray_alive_at_end": alive,
            "load_average": [load_before, load_average()]}


# ---------------------------------------------------------------- report

def fmt(s: dict, scale: float = 1.0, digits: int = 3) -> str:
    return "%.*f (%.*f–%.*f)" % (digits, s["median"] * scale, digits, s["q1"] * scale, digits, s["q3"] * scale)


def markdown(results: dict) -> str:
    lines = []
    if "jobs" in results:
        lines += ["| boxes × 4 tuners | `-I` first run, s | `-I` repeat, s | peak working set, MiB | empty program, s | "
                  "hdhomerun_config work, s | floor, s | ratio first / repeat | library in one process, s | "
                  "ratio to empty + library, first / repeat |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for count, r in results["jobs"].items():
            if not isinstance(r, dict):  # the part's "date"
                continue
            library_floor = r["empty_wall_s"]["median"] + r["library_s"]["median"]
            lines.append("| %s | %s | %s | %s | %s | %s | %.3f | %.2f / %.2f | %s | %.2f / %.2f |" % (
                count, fmt(r["first_wall_s"]), fmt(r["repeat_wall_s"]), fmt(r["first_peak_ws_mib"], digits=1),
                fmt(r["empty_wall_s"]), fmt(r["client_s"]), r["floor_s"], r["ratio_first"], r["ratio_repeat"],
                fmt(r["library_s"]), r["first_wall_s"]["median"] / library_floor,
                r["repeat_wall_s"]["median"] / library_floor))
        lines.append("")
    if "store" in results:
        r = results["store"]
        lines += ["| store, 64 boxes × 8 tuners (%d runs) | median ms | p10–p90 ms | min–max ms |" % r["repetitions"],
                  "|---|---|---|---|"]
        for name, s in r.items():
            if isinstance(s, dict) and "median_ms" in s:
                lines.append("| %s | %.2f | %.2f–%.2f | %.2f–%.2f |" % (
                    name, s["median_ms"], s["p10_ms"], s["p90_ms"], s["min_ms"], s["max_ms"]))
        lines.append("")
    if "tray" in results:
        r = results["tray"]
        lines += ["| tray, 8 boxes, %d cycles | value |" % r["cycles"], "|---|---|",
                  "| CPU per refresh cycle (cycles 3–%d), ms: median (q1–q3) | %s |" % (
                      r["cycles"], fmt(r["cpu_ms_per_cycle"], digits=1)),
                  "| CPU per cycle, mean over cycles 3–%d, ms | %.1f |" % (r["cycles"], r["cpu_ms_mean_per_cycle"]),
                  "| CPU of the first cycle (discovery + install of 32 tuners) and start-up, ms | %.0f |" % (
                      r["cpu_ms_first_cycle_with_install"]),
                  "| wineserver CPU per cycle, ms | %s |" % (
                      fmt(r["wineserver_cpu_ms_per_cycle"], digits=1) if r["wineserver_cpu_ms_per_cycle"] else "-"),
                  "| private bytes at cycle 3 / %d | %d / %d (growth %+d) |" % (
                      r["cycles"], r["private_bytes_cycle3"], r["private_bytes_cycle30"], r["growth_private_bytes"]),
                  "| handles at cycle 3 / %d | %d / %d (growth %+d) |" % (
                      r["cycles"], r["handles_cycle3"], r["handles_cycle30"], r["growth_handles"]),
                  "| cycle period, s | %s |" % fmt(r["cycle_period_s"]),
                  "| menu open, 8 boxes, ms | %s |" % fmt(r["menu_open_s"], 1000, 1), ""]
    if "menu" in results:
        r = results["menu"]
        lines += ["| menu open, 64 boxes (%d clicks), ms | %s, max %.1f |" % (
            r["menu_open_s"]["n"], fmt(r["menu_open_s"], 1000, 1), r["menu_open_s"]["max"] * 1000), ""]
    return "\n".join(lines)


def machine() -> dict:
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    with open("/proc/cpuinfo") as handle:
        model = next((line.split(":", 1)[1].strip() for line in handle if line.startswith("model name")), "?")
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(), "wine": wine,
            "date": time.strftime("%Y-%m-%d %H:%M:%S")}


def commit() -> str:
    result = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"], capture_output=True, text=True)
    return result.stdout.strip()


PARTS = {"store": part_store, "jobs": part_jobs, "tray": part_tray, "menu": part_menu}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=REPO / "build" / "bench")
    parser.add_argument("--out", type=Path, help="results file (default results/latest.json, "
                                                  "with --quick results/quick.json)")
    parser.add_argument("--quick", action="store_true", help="few repetitions: checks the script, not the program")
    parser.add_argument("--fresh", action="store_true", help="start a new results file instead of updating its parts")
    parser.add_argument("parts", nargs="*", metavar="PART", help="store, jobs, tray, menu (default: all)")
    args = parser.parse_args()
    unknown = [p for p in args.parts if p not in PARTS]
    if unknown:
        parser.error("unknown part(s): %s" % ", ".join(unknown))
    build = args.build.resolve()
    parts = args.parts or list(PARTS)
    if args.out is None:
        args.out = REPO / "bench" / "results" / ("quick.json" if args.quick else "latest.json")
    results = {}
    if args.out.exists() and not args.fresh:
        results = json.loads(args.out.read_text())
    results.update({"machine": machine(), "quick": args.quick, "commit": commit()})
    for name in parts:
        start = time.monotonic()
        print("== %s" % name, flush=True)
        results[name] = PARTS[name](build, args.quick)
        results[name]["date"] = time.strftime("%Y-%m-%d %H:%M:%S")
        print("   %.0f s" % (time.monotonic() - start), flush=True)
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(json.dumps(results, indent=1))
    print(markdown(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
