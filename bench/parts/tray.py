"""tray: the resident tray with 8 boxes over 30 refresh cycles. Cycles are counted from the box
simulators' request logs; bench_proc_probe.exe samples the tray once a second (private bytes,
handles by type), /proc gives its CPU time and the wineserver's. The state "at cycle k" is the
last sample after cycle k ended and before cycle k+1 began. Then the menu open time, 8 boxes."""

from __future__ import annotations

import json
import os
import select
import subprocess
import threading
from pathlib import Path

from benchlib import BenchPrefix, Lan, TrayDesktop, fill_lan, fmt, load_average, summary, wait_for_cycles
from parts.menu import time_menu
from tavrix_testbed.xserver import XServer

CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time of a Unix process, all its threads, dead ones included."""
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK


def status(pid: int) -> dict[str, int]:
    """VmRSS, RssAnon, VmData ... of /proc/PID/status, in bytes."""
    with open("/proc/%d/status" % pid) as handle:
        rows = [line.split() for line in handle]
    return {row[0].rstrip(":"): int(row[1]) * 1024 for row in rows if len(row) == 3 and row[2] == "kB"}


def wineserver_pid(prefix_root: Path) -> int | None:
    """The prefix's wineserver: its working folder is server-<dev>-<inode> of the prefix."""
    info = os.stat(prefix_root)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % pid) as handle:
                if os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == folder and \
                        handle.read().startswith("wineserver"):
                    return int(pid)
        except OSError:
            continue
    return None


class ProcessProbe:
    """bench_proc_probe.exe attached to the tray: one JSON sample per request."""

    def __init__(self, prefix: BenchPrefix):
        self.process = prefix.start(prefix.tool("bench_proc_probe.exe"), ["TavrixInstall.exe"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def sample(self, timeout: float = 10) -> dict:
        self.process.stdin.write(b"s\n")
        self.process.stdin.flush()
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            raise RuntimeError("the process probe did not answer")
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the process probe ended")
        return json.loads(line)

    def close(self):
        # Only the probe's end is waited for: a Wine service it started may hold its stdout open.
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.close()
            self.process.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
        self.process.stdout.close()


def run(build: Path, quick: bool) -> dict:
    cycles = 5 if quick else 30
    with BenchPrefix(build) as prefix, Lan() as lan, XServer() as xserver:
        tray = TrayDesktop(prefix, xserver, fill_lan(lan, 8).program_ns)
        server = wineserver_pid(prefix.root)
        probe = ProcessProbe(prefix)
        samples = []
        stop = threading.Event()

        def sampler():
            while not stop.is_set():
                sample = probe.sample()
                sample.update(unix_cpu_s=cpu_seconds(tray.pid), unix_status=status(tray.pid),
                              server_cpu_s=cpu_seconds(server) if server else None)
                samples.append(sample)
                stop.wait(1.0)

        thread = threading.Thread(target=sampler, daemon=True)
        load_before = load_average()
        thread.start()
        try:
            bounds = wait_for_cycles(lan, cycles + 1, (cycles + 3) * 30 + 120, tray.alive)
        finally:
            stop.set()
            thread.join(timeout=30)
        load_after = load_average()
        menu = time_menu(xserver, tray, 10 if quick else 20)
        alive = tray.alive()
        probe.close()
    return summarise(samples, bounds, cycles, menu, alive, [load_before, load_after])


def state_after(samples: list[dict], bounds: list[tuple[float, float]], k: int) -> dict:
    """The last sample taken after cycle k (1-based) ended and before cycle k+1 began."""
    end, next_start = bounds[k - 1][1], bounds[k][0]
    between = [s for s in samples if end + 0.5 < s["time"] < next_start - 0.5]
    if not between:
        raise RuntimeError("no sample between cycle %d and %d" % (k, k + 1))
    return between[-1]


def summarise(samples, bounds, cycles, menu, alive, loads) -> dict:
    states = {k: state_after(samples, bounds, k) for k in range(1, cycles + 1)}

    def per_cycle(field):  # ms spent during cycle k, for cycles 3 to the last
        return [(states[k][field] - states[k - 1][field]) * 1000 for k in range(3, cycles + 1)]

    third, last = states[3], states[cycles]
    series = {k: {"private_bytes": s["pagefile"], "handles": s["handles"], "working_set": s["working_set"],
                  "rss_anon": s["unix_status"].get("RssAnon"), "vm_data": s["unix_status"].get("VmData"),
                  "handle_types": s["handle_types"]} for k, s in states.items()}
    return {
        "cycles": cycles,
        "cycle_period_s": summary([bounds[k][0] - bounds[k - 1][0] for k in range(1, cycles)]),
        "cycle_probe_s": summary([e - s for s, e in bounds[:cycles]]),
        "cpu_ms_first_cycle_with_install": states[1]["unix_cpu_s"] * 1000,
        "cpu_ms_per_cycle": summary(per_cycle("unix_cpu_s")),
        "cpu_ms_mean_per_cycle": (last["unix_cpu_s"] - states[2]["unix_cpu_s"]) * 1000 / (cycles - 2),
        "wineserver_cpu_ms_per_cycle": summary(per_cycle("server_cpu_s")) if third["server_cpu_s"] is not None else None,
        "private_bytes_cycle3": third["pagefile"], "private_bytes_cycle30": last["pagefile"],
        "handles_cycle3": third["handles"], "handles_cycle30": last["handles"],
        "growth_private_bytes": last["pagefile"] - third["pagefile"],
        "growth_handles": last["handles"] - third["handles"],
        "growth_vm_data": last["unix_status"]["VmData"] - third["unix_status"]["VmData"],
        "series": series, "menu_open_s": summary(menu), "menu_raw": menu, "tray_alive_at_end": alive,
        "load_average": loads,
    }


def report(r: dict) -> list[str]:
    n = r["cycles"]
    server = r["wineserver_cpu_ms_per_cycle"]
    return ["| tray, 8 boxes, %d cycles | value |" % n, "|---|---|",
            "| CPU per refresh cycle (cycles 3–%d), ms: median (q1–q3) | %s |" % (n, fmt(r["cpu_ms_per_cycle"], digits=1)),
            "| CPU per cycle, mean over cycles 3–%d, ms | %.1f |" % (n, r["cpu_ms_mean_per_cycle"]),
            "| CPU of the first cycle (discovery + install of 32 tuners) and start-up, ms | %.0f |" % (
                r["cpu_ms_first_cycle_with_install"]),
            "| wineserver CPU per cycle, ms | %s |" % (fmt(server, digits=1) if server else "-"),
            "| private bytes at cycle 3 / %d | %d / %d (growth %+d) |" % (
                n, r["private_bytes_cycle3"], r["private_bytes_cycle30"], r["growth_private_bytes"]),
            "| handles at cycle 3 / %d | %d / %d (growth %+d) |" % (
                n, r["handles_cycle3"], r["handles_cycle30"], r["growth_handles"]),
            "| Unix VmData growth, cycle 3 / %d, bytes | %+d |" % (n, r["growth_vm_data"]),
            "| cycle period, s | %s |" % fmt(r["cycle_period_s"]),
            "| menu open, 8 boxes, ms | %s |" % fmt(r["menu_open_s"], 1000, 1)]
