"""What the benchmark parts and the stress run share.

`BenchPrefix`: a throwaway Wine prefix with the installed program (both copies), the bench
programs in C:\\bench and a server that runs from start to end, so that every measured start of
a Wine program pays the same price: the one of a program started while the prefix's server and
services already run, as they do on a desktop where the tray is resident.

`TrayDesktop`: the tray in a real window (Xvfb, Wine's virtual desktop) inside the simulated
LAN's program namespace, with its Unix process for CPU and memory readings.
"""

from __future__ import annotations

import ctypes
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "testbed"))
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402,F401
from tavrix_testbed.wineprefix import WINE, RunResult, WinePrefix  # noqa: E402

PRODUCT_KEY = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"
RECEIVER_INSTANCES = r"HKCR\CLSID\{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}\Instance"
TUNER_INSTANCES = r"HKCR\CLSID\{71985F48-1CA1-11D3-9CC8-00C04F7971E0}\Instance"
BENCH_PROGRAMS = ("bench_meter.exe", "bench_empty.exe", "bench_proc_probe.exe", "bench_store.exe",
                  "bench_regtool.exe", "bench_lib_probe.exe", "../libhdhomerun.dll")
OWNER_IP = "192.0.2.250"


# ---------------------------------------------------------------- statistics

def summary(values: list[float]) -> dict:
    """Median and spread of repeated measurements."""
    ordered = sorted(values)
    n = len(ordered)

    def quantile(q: float) -> float:
        position = q * (n - 1)
        low = int(position)
        high = min(low + 1, n - 1)
        return ordered[low] + (ordered[high] - ordered[low]) * (position - low)

    return {"n": n, "median": statistics.median(ordered), "min": ordered[0], "max": ordered[-1],
            "q1": quantile(0.25), "q3": quantile(0.75), "stdev": statistics.stdev(ordered) if n > 1 else 0.0}


def fmt(s: dict, scale: float = 1.0, digits: int = 3) -> str:
    """Median (first quartile–third quartile) of a `summary`."""
    return "%.*f (%.*f–%.*f)" % (digits, s["median"] * scale, digits, s["q1"] * scale, digits, s["q3"] * scale)


def load_average() -> list[float]:
    with open("/proc/loadavg") as handle:
        return [float(v) for v in handle.read().split()[:3]]


# ---------------------------------------------------------------- the prefix

class BenchPrefix(WinePrefix):
    """Installed program + bench programs + a persistent wineserver; `close()` removes all."""

    def __init__(self, build: Path, ini_text: str | None = None, pvr_folder: bool = True):
        build = Path(build)
        super().__init__()
        self.exe = self.install(build / "TavrixInstall.exe", ini_text=ini_text, pvr_folder=pvr_folder)
        for home in (self.home64, self.home32):  # the x64 build as both copies, with the library it built
            shutil.copy2(build / "libhdhomerun.dll", home)
        self.tools = self.root / "drive_c" / "bench"
        self.tools.mkdir(parents=True, exist_ok=True)
        for name in BENCH_PROGRAMS:
            if (build / "bench" / name).exists():
                shutil.copy2(build / "bench" / name, self.tools / Path(name).name)
        # A crash must end the process with a backtrace on stderr, never wait in a dialog.
        self.reg("add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f")
        # Wine's services (rpcss, plugplay ...) start on first demand and live as long as the
        # server; a run of the program here starts them, so that no measured run pays for it.
        self.program(["-i"], timeout=300)

    def env(self, **extra: str) -> dict[str, str]:
        # The program's log costs time: only the runs that read it switch it on.
        return super().env(**{"WINEDEBUG": "-all", **extra})

    def tool(self, name: str) -> Path:
        return self.tools / name

    def run(self, exe: Path, args: list[str] = (), netns: str | None = None, timeout: float = 600,
            env: dict[str, str] | None = None, check: bool = False) -> RunResult:
        result = super().run(exe, args, netns=netns, timeout=timeout, env=env)
        if check and result.returncode != 0:
            raise RuntimeError("%s %s failed (%d): %s" % (Path(exe).name, " ".join(args), result.returncode,
                                                          result.stderr[-2000:]))
        return result

    def program(self, args: list[str], netns: str | None = None, timeout: float = 600,
                debugstr: bool = False) -> RunResult:
        env = self.env(WINEDEBUG="-all,warn+debugstr") if debugstr else None
        return self.run(self.exe, args, netns=netns, timeout=timeout, env=env)

    def meter(self, program: Path, args: list[str], netns: str | None = None, poll_ms: int = 5) -> dict:
        """bench_meter.exe's reading of one run of `program` (wall time, peak memory, exit code)."""
        result = self.run(self.tool("bench_meter.exe"), ["--poll", str(poll_ms), self.windows_path(program), *args],
                          netns=netns, timeout=900, check=True)
        return json.loads(result.stdout.strip().splitlines()[-1])

    def regdump(self, path: str):
        """A key tree as the "A" functions read it (bench_regtool.exe dump), None when missing."""
        return json.loads(self.run(self.tool("bench_regtool.exe"), ["dump", path], check=True).stdout)


# ---------------------------------------------------------------- stored list and instances

def text_value(values: dict, name: str) -> str | None:
    """The text of a REG_SZ value as the program wrote it (with its terminator), else None."""
    entry = values.get(name)
    if entry is None or entry[0] != 1:
        return None
    data = bytes.fromhex(entry[1])
    return data[:-1].decode("latin-1") if data.endswith(b"\0") else None


def stored_list(dump) -> dict[str, dict] | None:
    """{box id: {"Ip", "Name", "tuners": {index: {"Id", "Model", "Name"}}, "problems": [...]}}.

    Every value the program writes is checked to be there with its type and terminator; what
    is missing or malformed is listed under "problems"."""
    if dump is None or "Devices" not in dump["keys"]:
        return None
    boxes = {}
    for box_id, box in dump["keys"]["Devices"]["keys"].items():
        problems = []
        record = {"problems": problems, "tuners": {}}
        for name in ("Ip", "Name"):
            record[name] = text_value(box["values"], name)
            if record[name] is None:
                problems.append("box %s: %s missing or not a terminated REG_SZ" % (box_id, name))
        tuners = box["keys"].get("Tuners")
        if tuners is None:
            problems.append("box %s: no Tuners key" % box_id)
            tuners = {"keys": {}}
        for index, tuner in tuners["keys"].items():
            entry = {name: text_value(tuner["values"], name) for name in ("Id", "Model", "Name")}
            problems += ["tuner %s\\%s: %s missing or malformed" % (box_id, index, name)
                         for name, value in entry.items() if value is None]
            record["tuners"][index] = entry
        boxes[box_id] = record
    return boxes


def instance_names(prefix: BenchPrefix, category_key: str) -> list[str]:
    dump = prefix.regdump(category_key)
    return sorted(dump["keys"]) if dump else []


def check_install(prefix: BenchPrefix, count: int):
    """After "-I" on the bench LAN: `count` boxes of 4 tuners listed whole, each tuner installed."""
    boxes = stored_list(prefix.regdump(PRODUCT_KEY)) or {}
    problems = [p for b in boxes.values() for p in b["problems"]]
    tuners = sum(len(b["tuners"]) for b in boxes.values())
    instances = (len(instance_names(prefix, TUNER_INSTANCES)), len(instance_names(prefix, RECEIVER_INSTANCES)))
    if len(boxes) != count or tuners != 4 * count or problems or instances != (4 * count, 4 * count):
        raise RuntimeError("after -I: %d boxes, %d tuners, instances %s, problems %s" % (
            len(boxes), tuners, instances, problems[:3]))


# ---------------------------------------------------------------- the LAN of the benchmarks

def fill_lan(lan: Lan, count: int, named: bool = True) -> Lan:
    """`count` boxes, each with four tuners that take every road of the probe: free, held by a
    host, busy without an owner text, free again; boxes and owner named in the hosts file, or
    without `named` left to the resolver."""
    if named:
        lan.set_host(OWNER_IP, "owner-pc")
    lan.add_boxes([Box(nth_valid_device_id(n), "192.0.2.%d" % (10 + n), "bench-box-%02d" % n if named else None,
                       [Tuner("2040:5200:ofdm"), Tuner("2040:5200:ofdm", owner=OWNER_IP, available=False),
                        Tuner("8vsb qam", available=False), Tuner("qpsk")]) for n in range(count)])
    return lan


def box_log_times(lan: Lan, device_id: int, variable: str) -> list[float]:
    """Times at which a box received a read of `variable` (from the simulator's request log)."""
    pattern = re.compile(r"^(\d+\.\d+) \S+ #\d+ get %s:" % re.escape(variable))
    return [float(m.group(1)) for m in map(pattern.match, lan.box_log(device_id).splitlines()) if m]


def cycle_bounds(lan: Lan) -> list[tuple[float, float]]:
    """(first read, last read) of every complete refresh cycle seen by all boxes: a cycle begins
    with the first /tuner0/model read and ends with the last box's failing model read."""
    starts = [box_log_times(lan, b.device_id, "/tuner0/model") for b in lan.boxes]
    ends = [box_log_times(lan, b.device_id, "/tuner%d/model" % len(b.tuners)) for b in lan.boxes]
    complete = min(len(times) for times in starts + ends)
    return [(min(s[k] for s in starts), max(e[k] for e in ends)) for k in range(complete)]


def wait_for_cycles(lan: Lan, count: int, timeout: float, alive=lambda: True) -> list[tuple[float, float]]:
    deadline = time.monotonic() + timeout
    while len(bounds := cycle_bounds(lan)) < count:
        if time.monotonic() > deadline or not alive():
            raise RuntimeError("only %d of %d refresh cycles were seen" % (len(bounds), count))
        time.sleep(0.5)
    return bounds


# ---------------------------------------------------------------- the tray in a window

def unix_pids(exe_name: str, prefix_root: Path, netns: str) -> list[int]:
    """Unix processes of a Wine prefix in a named namespace whose command line names `exe_name`."""
    namespace = os.stat("/run/netns/%s" % netns).st_ino
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                argv0 = handle.read().split(b"\0")[0].decode(errors="replace")
            with open("/proc/%s/environ" % pid, "rb") as handle:
                environ = handle.read().split(b"\0")
            if (re.split(r"[\\/]", argv0)[-1].lower() == exe_name.lower()
                    and b"WINEPREFIX=%s" % str(prefix_root).encode() in environ
                    and os.stat("/proc/%s/ns/net" % pid).st_ino == namespace):
                found.append(int(pid))
        except OSError:  # ended meanwhile
            continue
    return sorted(found)


def become_subreaper():
    """Wine starts every program through a double fork, so the tray's Unix process is nobody's
    child; as a subreaper, this process inherits it, waits for its end and reads its exit code."""
    if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


class TrayDesktop:
    """The tray in Wine's virtual desktop on a private X server, in the LAN's program namespace."""

    WIDTH, HEIGHT = 1024, 768

    def __init__(self, prefix: BenchPrefix, xserver, netns: str, timeout: float = 90):
        become_subreaper()
        self.name = "bench%d" % os.getpid()
        self.exit_code: int | None = None
        self.log_path = prefix.root / "tray-desktop.log"
        # Appending: the desktop and the tray write through their own descriptors while it is read.
        # The prefix's server moves into the namespace first: a move after the tray's start would end it.
        prefix.enter(netns)
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                prefix.wrap([WINE, "explorer", "/desktop=%s,%dx%d" % (self.name, self.WIDTH, self.HEIGHT),
                             str(prefix.exe)]),
                env=prefix.env(DISPLAY=xserver.display, WINEDEBUG="-all,err+all,warn+debugstr"),
                cwd=str(prefix.exe.parent), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + timeout
        while not (pids := unix_pids("TavrixInstall.exe", prefix.root, netns)):
            if time.monotonic() > deadline:
                raise RuntimeError("the tray did not start in the program namespace\n" + self.output()[-2000:])
            time.sleep(0.2)
        self.pid = pids[0]
        # Its start line follows its single-instance test: a copy of any option started before that
        # holds the instance mutex, and a tray that finds it taken is a second instance and ends.
        while "CmdLine:  System:" not in self.output():
            if not self.alive() or time.monotonic() > deadline:
                raise RuntimeError("the tray did not become resident: " + self.ended())
            time.sleep(0.2)

    def alive(self) -> bool:
        if self.exit_code is None:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:  # not handed to this process: only /proc can tell
                return os.path.exists("/proc/%d" % self.pid)
            if pid == 0:
                return True
            self.exit_code = os.waitstatus_to_exitcode(status)
        return False

    def output(self) -> str:
        """What the desktop and the tray wrote to stdout and stderr so far."""
        return self.log_path.read_bytes().decode("utf-8", "replace")

    def ended(self) -> str:
        """How the tray ended and its last output, for a failure message."""
        code = self.exit_code
        how = "unknown exit" if code is None else "signal %d" % -code if code < 0 else "exit code %d" % code
        return "the tray has ended (%s); its output:\n%s" % (how, self.output()[-3000:])

    @property
    def icon_position(self) -> tuple[int, int]:
        # The only icon of the notification area, at the right end of Wine's taskbar.
        return self.WIDTH - 12, self.HEIGHT - 10
