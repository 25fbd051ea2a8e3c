"""Throwaway Wine prefixes that hold the layout of an installed TavrixInstall."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
import threading
from dataclasses import dataclass, field
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

COMMON64 = "drive_c/Program Files/Common Files"
COMMON32 = "drive_c/Program Files (x86)/Common Files"
HOME_SUFFIX = "ORVA Systems/Zentrova"
PVR_SUFFIX = "ORVA Systems/PVR/Supported3/Sources"

_TEMPLATE_LOCK = threading.Lock()
_DEBUGSTR = re.compile(r'warn:debugstr:OutputDebugStringA "(.*)"\s*$')


def base_env(prefix: Path, bridge_dir: Path | None = None) -> dict[str, str]:
    env = dict(os.environ)
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all,warn+debugstr",
        WINEDLLOVERRIDES="mscoree,mshtml=",
        WINEARCH="win64",
    )
    env.pop("DISPLAY", None)
    if bridge_dir is not None:
        env["WINEDLLPATH"] = str(Path(bridge_dir).resolve())
    return env


def _unescape(text: str) -> str:
    """Undoes Wine's C escaping of debug strings."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
        if n in simple:
            out.append(simple[n])
            i += 2
        elif n == "x":
            m = re.match(r"[0-9a-fA-F]{1,2}", text[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        elif n.isdigit():
            m = re.match(r"[0-7]{1,3}", text[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        else:
            out.append(n)
            i += 2
    return "".join(out)


def parse_log(stderr: str) -> list[str]:
    """The program's log lines: every OutputDebugStringA text, joined and split at CRLF."""
    stream = "".join(_unescape(m.group(1)) for m in map(_DEBUGSTR.search, stderr.splitlines()) if m)
    lines = stream.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


@dataclass
class RunResult:
    returncode: int
    log: list[str]
    stderr: str
    stdout: str = ""

    def has(self, text: str) -> bool:
        return any(text in line for line in self.log)


@dataclass
class WinePrefix:
    """One prefix per test run; `close()` ends its wineserver and deletes it."""

    bridge_dir: Path | None = None
    root: Path = field(default_factory=lambda: Path(tempfile.mkdtemp(prefix="tavrix-wine-")))

    def __post_init__(self):
        self.root = Path(self.root)
        if not (self.root / "system.reg").exists():
            self._init_prefix()

    # --- life cycle -------------------------------------------------------
    def _init_prefix(self):
        subprocess.run([WINE, "wineboot", "--init"], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        self.wait()

    def clone(self) -> "WinePrefix":
        """A copy of this prefix (fast: no second wineboot)."""
        self.wait()
        target = Path(tempfile.mkdtemp(prefix="tavrix-wine-"))
        shutil.rmtree(target)
        shutil.copytree(self.root, target, symlinks=True)
        return WinePrefix(bridge_dir=self.bridge_dir, root=target)

    def wait(self):
        """Waits until every process of the prefix has ended and the registry is on disk."""
        subprocess.run([WINESERVER, "-w"], env=self.env(), timeout=300)

    def kill(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def close(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- layout -----------------------------------------------------------
    def env(self, **extra: str) -> dict[str, str]:
        env = base_env(self.root, self.bridge_dir)
        env.update(extra)
        return env

    @property
    def common64(self) -> Path:
        return self.root / COMMON64

    @property
    def common32(self) -> Path:
        return self.root / COMMON32

    @property
    def home64(self) -> Path:
        return self.common64 / HOME_SUFFIX

    @property
    def home32(self) -> Path:
        return self.common32 / HOME_SUFFIX

    @property
    def pvr_folder(self) -> Path:
        """The PVR source folder of a 64-bit program."""
        return self.common64 / PVR_SUFFIX

    def install(self, exe: Path, ini_text: str | None = None, pvr_folder: bool = True) -> Path:
        """Installs `exe` as both copies; returns the 64-bit copy's path."""
        for home in (self.home64, self.home32):
            home.mkdir(parents=True, exist_ok=True)
            shutil.copy2(exe, home / "TavrixInstall.exe")
            if self.bridge_dir is not None:
                shutil.copy2(Path(self.bridge_dir) / "libhdhomerun.dll", home / "libhdhomerun.dll")
        if ini_text is not None:
            self.write_ini(ini_text)
        if pvr_folder:
            self.pvr_folder.mkdir(parents=True, exist_ok=True)
        return self.home64 / "TavrixInstall.exe"

    def write_ini(self, text: str):
        self.home32.mkdir(parents=True, exist_ok=True)
        (self.home32 / "TavrixInstall.ini").write_bytes(text.replace("\n", "\r\n").encode("latin-1"))

    def windows_path(self, path: Path) -> str:
        rel = Path(path).resolve().relative_to((self.root / "drive_c").resolve())
        return "C:\\" + str(rel).replace("/", "\\")

    # --- running ----------------------------------------------------------
    def run(self, exe: Path, args: list[str] | str = (), netns: str | None = None,
            timeout: float = 120, env: dict[str, str] | None = None, wait: bool = True) -> RunResult:
        """Runs a PE program; its exit code and log lines. `args` may be a raw command-line string."""
        command = [WINE, str(exe)]
        if isinstance(args, str):
            # wine64 joins argv with blanks; an empty string adds nothing.
            command += [args] if args else []
        else:
            command += list(args)
        if netns:
            command = ["ip", "netns", "exec", netns] + command
        proc = subprocess.run(command, env=env or self.env(), capture_output=True, timeout=timeout,
                              cwd=str(Path(exe).parent))
        if wait:
            self.wait()
        stderr = proc.stderr.decode("utf-8", "replace")
        return RunResult(proc.returncode, parse_log(stderr), stderr, proc.stdout.decode("utf-8", "replace"))

    def start(self, exe: Path, args: list[str] = (), netns: str | None = None,
              env: dict[str, str] | None = None, **popen) -> subprocess.Popen:
        command = [WINE, str(exe)] + list(args)
        if netns:
            command = ["ip", "netns", "exec", netns] + command
        return subprocess.Popen(command, env=env or self.env(), cwd=str(Path(exe).parent), **popen)

    # --- registry -----------------------------------------------------------
    def reg(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        proc = subprocess.run([WINE, "reg", *args], env=self.env(WINEDEBUG="-all"), capture_output=True,
                              timeout=120)
        self.wait()
        if check and proc.returncode != 0:
            raise RuntimeError(f"reg {' '.join(args)} failed: {proc.stdout!r} {proc.stderr!r}")
        return proc

    def reg_export(self, key: str) -> str:
        """`reg export` of a key as text ('' when the key is missing)."""
        out = self.root / "export.reg"
        proc = self.reg("export", key, "Z:" + str(out).replace("/", "\\"), "/y", check=False)
        if proc.returncode != 0 or not out.exists():
            return ""
        data = out.read_bytes()
        out.unlink()
        return data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")


_template: WinePrefix | None = None


def template_prefix(bridge_dir: Path | None = None) -> WinePrefix:
    """One initialised prefix per test run, cloned for every test."""
    global _template
    with _TEMPLATE_LOCK:
        if _template is None:
            _template = WinePrefix(bridge_dir=bridge_dir)
        return _template


def new_prefix(bridge_dir: Path | None = None) -> WinePrefix:
    prefix = template_prefix(bridge_dir).clone()
    prefix.bridge_dir = bridge_dir
    return prefix


def close_template():
    global _template
    with _TEMPLATE_LOCK:
        if _template is not None:
            _template.close()
            _template = None
