"""Shared equipment of the benchmarks and the stress run.

A `BenchPrefix` is a throwaway Wine prefix holding the installed program (both copies), the
bench programs in C:\\bench and a persistent wineserver, so that every measured start of a
Wine program pays the same price: the one of a program started while the prefix's server
and services already run, as they do on a desktop where the tray is resident.

`TrayDesktop` runs the tray in a real window (Xvfb, Wine's virtual desktop) inside the
simulated LAN's program namespace, and finds its Unix process for CPU and memory readings.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

import sys  # noqa: E402

sys.path.insert(0, str(REPO / "testbed"))
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402,F401
from tavrix_testbed.wineprefix import WINE, WINESERVER, WinePrefix, parse_log  # noqa: E402,F401

PRODUCT_KEY = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"
RECEIVER_INSTANCES = r"HKCR\CLSID\{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}\Instance"
TUNER_INSTANCES = r"HKCR\CLSID\{71985F48-1CA1-11D3-9CC8-00C04F7971E0}\Instance"
INSTANCE_PREFIX = "ORVA Tavrix "
BENCH_PROGRAMS = ("bench_meter.exe", "bench_empty.exe", "bench_proc_probe.exe", "bench_store.exe",
                  "bench_regtool.exe")

# What Wine and winedbg print when a program dies of an unhandled exception.
CRASH_MARKERS = ("Unhandled exception", "Unhandled page fault", "Unhandled stack overflow", "Backtrace:",
                 "starting debugger", "err:seh:", "Assertion failed")


def crash_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if any(marker in line for marker in CRASH_MARKERS)]


# ---------------------------------------------------------------- statistics

def summary(values: list[float]) -> dict:
    """Median and spread of repeated measurements."""
    ordered = sorted(values)
    n = len(ordered)

    def quantile(q: float) -> float:
        if n == 1:
            return ordered[0]
        position = q * (n - 1)
        low = int(position)
        high = min(low + 1, n - 1)
        return ordered[low] + (ordered[high] - ordered[low]) * (position - low)

    return {"n": n, "median": statistics.median(ordered), "min": ordered[0], "max": ordered[-1],
            "q1": quantile(0.25), "q3": quantile(0.75),
            "stdev": statistics.stdev(ordered) if n > 1 else 0.0}


def load_average() -> list[float]:
    with open("/proc/loadavg") as handle:
        return [float(v) for v in handle.read().split()[:3]]


# ---------------------------------------------------------------- /proc readings

CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu_seconds(pid: int) -> float:
    """User plus system CPU time of a Unix process, all its threads, dead ones included."""
    with open(f"/proc/{pid}/stat") as handle:
        text = handle.read()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK


def proc_status(pid: int) -> dict[str, int]:
    """VmRSS, RssAnon, VmData ... of /proc/PID/status, in bytes."""
    values = {}
    with open(f"/proc/{pid}/status") as handle:
        for line in handle:
            name, _, rest = line.partition(":")
            parts = rest.split()
            if len(parts) == 2 and parts[1] == "kB":
                values[name] = int(parts[0]) * 1024
    return values


def proc_environ(pid: int) -> dict[str, str]:
    try:
        with open(f"/proc/{pid}/environ", "rb") as handle:
            raw = handle.read()
    except OSError:
        return {}
    env = {}
    for item in raw.split(b"\0"):
        key, sep, value = item.partition(b"=")
        if sep:
            env[key.decode(errors="replace")] = value.decode(errors="replace")
    return env


def find_unix_pids(exe_name: str, prefix_root: Path) -> list[int]:
    """Unix processes of a Wine prefix whose command line names `exe_name`."""
    found = []
    wanted = exe_name.lower()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as handle:
                argv0 = handle.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if not re.split(r"[\\/]", argv0)[-1].lower() == wanted:
            continue
        if proc_environ(int(entry)).get("WINEPREFIX") == str(prefix_root):
            found.append(int(entry))
    return sorted(found)


def wineserver_pid(prefix_root: Path) -> int | None:
    """The prefix's wineserver: its working folder is server-<dev>-<inode> of the prefix."""
    info = os.stat(prefix_root)
    folder = "server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.basename(os.readlink(f"/proc/{entry}/cwd")) == folder:
                with open(f"/proc/{entry}/comm") as handle:
                    if handle.read().strip().startswith("wineserver"):
                        return int(entry)
        except OSError:
            continue
    return None


def net_namespace_of(pid: int) -> int:
    return os.stat(f"/proc/{pid}/ns/net").st_ino


def named_namespace_inode(name: str) -> int:
    return os.stat(f"/run/netns/{name}").st_ino


# ---------------------------------------------------------------- the prefix

class BenchPrefix:
    """Installed program + bench programs + a persistent wineserver; `close()` removes all."""

    def __init__(self, build: Path, ini_text: str | None = None, pvr_folder: bool = True):
        self.build = Path(build)
        self.prefix = WinePrefix(bridge_dir=self.build / "bridge")
        self.root = self.prefix.root
        self.exe = self.prefix.install(self.build / "TavrixInstall.exe", ini_text=ini_text, pvr_folder=pvr_folder)
        self.exe_windows = self.prefix.windows_path(self.exe)
        self.tools = self.root / "drive_c" / "bench"
        self.tools.mkdir(parents=True, exist_ok=True)
        for name in BENCH_PROGRAMS:
            source = self.build / "bench" / name
            if source.exists():
                shutil.copy2(source, self.tools / name)
        # A crash must end the process with a backtrace on stderr, never wait in a dialog.
        self.wine(["reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
                   "/d", "0", "/f"], check=True)
        # Wine's services (rpcss, plugplay ...) start on first demand and live as long as the
        # server; a run of the program here starts them, so that no measured run pays for it.
        self.program(["-i"], timeout=300)

    def env(self, **extra: str) -> dict[str, str]:
        env = self.prefix.env(WINEDEBUG="-all")
        env.update(extra)
        return env

    def tool(self, name: str) -> str:
        return "C:\\bench\\" + name

    def wine(self, args: list[str], netns: str | None = None, env: dict[str, str] | None = None,
             timeout: float = 600, check: bool = False, stdin: str | None = None) -> subprocess.CompletedProcess:
        command = [WINE, *args]
        if netns:
            command = ["ip", "netns", "exec", netns, *command]
        # Output goes through files, not pipes: a Wine service started on demand inherits the
        # standard handles of the process that needed it and would hold a pipe open for ever.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            feed = {"input": stdin.encode()} if stdin is not None else {"stdin": subprocess.DEVNULL}
            proc = subprocess.run(command, env=env or self.env(), cwd=str(self.tools), stdout=out, stderr=err,
                                  timeout=timeout, **feed)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(command, proc.returncode, out.read(), err.read())
        if check and result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                       result.stderr.decode(errors="replace")[-2000:]))
        return result

    def program(self, args: list[str], netns: str | None = None, timeout: float = 600,
                debugstr: bool = False) -> subprocess.CompletedProcess:
        env = self.env(WINEDEBUG="-all,warn+debugstr") if debugstr else None
        return self.wine([str(self.exe), *args], netns=netns, env=env, timeout=timeout)

    def meter(self, program: str, args: list[str], netns: str | None = None, poll_ms: int = 5,
              timeout: float = 900) -> dict:
        result = self.wine([self.tool("bench_meter.exe"), "--poll", str(poll_ms), program, *args], netns=netns,
                           timeout=timeout)
        if result.returncode != 0:
            raise RuntimeError("meter failed: " + result.stderr.decode(errors="replace")[-2000:])
        return json.loads(result.stdout.decode().strip().splitlines()[-1])

    def regdump(self, path: str):
        result = self.wine([self.tool("bench_regtool.exe"), "dump", path], check=True)
        return json.loads(result.stdout.decode())

    def regdelete(self, *paths: str):
        self.wine([self.tool("bench_regtool.exe"), "deltree", *paths], check=True)

    def regset(self, lines: list[str]):
        self.wine([self.tool("bench_regtool.exe"), "set"], stdin="\n".join(lines) + "\n", check=True)

    def close(self):
        self.prefix.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------- stored list and instances

def text_value(values: dict, name: str) -> str | None:
    """The text of a REG_SZ value as the program wrote it (with its terminator), else None."""
    entry = values.get(name)
    if entry is None or entry[0] != 1:
        return None
    data = bytes.fromhex(entry[1])
    if not data.endswith(b"\0"):
        return None
    return data[:-1].decode("latin-1")


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
        else:
            for index, tuner in tuners["keys"].items():
                entry = {}
                for name in ("Id", "Model", "Name"):
                    entry[name] = text_value(tuner["values"], name)
                    if entry[name] is None:
                        problems.append("tuner %s\\%s: %s missing or malformed" % (box_id, index, name))
                record["tuners"][index] = entry
        boxes[box_id] = record
    return boxes


def instance_names(prefix: BenchPrefix, category_key: str) -> list[str]:
    dump = prefix.regdump(category_key)
    return sorted(dump["keys"]) if dump else []
