"""Throwaway Wine prefixes that hold the layout of an installed TavrixInstall.

Each prefix keeps one wineserver from its start to `close()`, shared by every program and `reg`
call. libhdhomerun.dll lists the network interfaces through a service that the server starts, so it
sees the namespace the server started in: a prefix runs a program in a LAN's namespace by moving
its server there first (`enter`), and everything it starts later runs there too.

WoW64 prefixes (`wow64=True`) run the 32-bit copy too. They need the i386 Wine loader, which only
a process under testbed/with-wine32.sh sees; their template is the one ctest's `wow64_template`
entry boots (`TAVRIX_WOW64_TEMPLATE`), or else one booted by this process."""

from __future__ import annotations

import codecs
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WINE32 = Path("/usr/lib/wine/wine")  # the i386 loader, visible under testbed/with-wine32.sh only
WRAPPER = Path(__file__).resolve().parents[1] / "with-wine32.sh"
# Wine's own binaries in a prefix are never written: clones share them through hard links.
_SHARED_DIRS = ("drive_c/windows/system32", "drive_c/windows/syswow64", "drive_c/windows/winsxs")
START_FAILED = b"err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data"
_DEBUGSTR = re.compile(r'warn:debugstr:OutputDebugStringA "(.*)"\s*$')


def parse_log(stderr: str) -> list[str]:
    """The program's log lines: every OutputDebugStringA text (C-escaped by Wine), split at CRLF."""
    stream = "".join(codecs.decode(m.group(1), "unicode_escape")
                     for m in map(_DEBUGSTR.search, stderr.splitlines()) if m)
    lines = stream.split("\r\n")
    return lines[:-1] if lines and lines[-1] == "" else lines


def parse_export(text: str) -> dict:
    """A `reg export` as nested keys; a REG_SZ value as its text, any other type as written."""
    tree: dict = {}
    node = None
    for line in text.replace("\\\r\n", "").replace("\\\n", "").splitlines():
        if line.startswith("["):
            node = tree
            for part in line.strip("[]").split("\\"):
                node = node.setdefault(part, {})
        elif line.startswith('"') and node is not None:
            name, _, data = line[1:].partition('"=')
            node[name] = data[1:-1].replace('\\"', '"').replace("\\\\", "\\") if data.startswith('"') else data
    return tree


def subtree(tree: dict, path: str) -> dict | None:
    for part in path.split("\\"):
        tree = tree.get(part) if tree is not None else None
    return tree


@dataclass
class RunResult:
    returncode: int
    log: list[str]
    stderr: str
    stdout: str = ""


class RunTimeout(AssertionError):
    """A program that did not end in time, with the log it wrote until it was killed."""


def _execute(command: list[str], env: dict[str, str], timeout: float, cwd: str | None = None, tries: int = 3):
    """(exit code, stdout, stderr) through files: a service started on demand may inherit a pipe.
    Debian's Wine has no preloader, so now and then a process cannot map the shared user data at
    its start (exit code 1, before any of its code runs): such a start is repeated."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            code = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout, cwd=cwd).returncode
        except subprocess.TimeoutExpired:
            err.seek(0)
            text = err.read().decode("utf-8", "replace")
            raise RunTimeout(f"{command} still ran after {timeout} s (killed); its log:\n" +
                             "\n".join(parse_log(text) or text.splitlines()[-40:])) from None
        result = code, *(f.seek(0) or f.read() for f in (out, err))
    if code == 1 and tries > 1 and START_FAILED in result[2]:
        return _execute(command, env, timeout, cwd, tries - 1)
    return result


class WinePrefix:
    """One prefix per test run, with its own wineserver; `close()` ends both."""

    loader = WINE  # what starts every program of the prefix

    def __init__(self, libraries: Path | None = None, root: Path | None = None, serve: bool = True,
                 wow64: bool = False):
        """`libraries`: a build root whose x64/ and x86/ hold libhdhomerun.dll (tools/build.sh)."""
        self.libraries, self.wow64, self.netns = libraries, wow64, None
        if wow64 and not WINE32.exists():
            raise RuntimeError(f"no i386 Wine loader at {WINE32}: run the tests under {WRAPPER}")
        self.root = Path(root or tempfile.mkdtemp(prefix="tavrix-wine-"))
        if serve:
            self.serve()
        if not (self.root / "system.reg").exists():
            subprocess.run([self.loader, "wineboot", "--init"], env=self.env(), check=True, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not serve:  # a template: its registry must be on disk before it is copied
                subprocess.run([WINESERVER, "-w"], env=self.env(), timeout=300)
            if wow64 and not (self.root / "drive_c/windows/syswow64/kernel32.dll").exists():
                raise RuntimeError(f"{self.root} booted without its 32-bit system (syswow64)")

    def clone(self, libraries: Path | None = None) -> "WinePrefix":
        """A copy of this quiet prefix, with a server of its own (fast: no second wineboot)."""
        target = Path(tempfile.mkdtemp(prefix="tavrix-wine-"))
        def copy(source, destination):
            if any(Path(source).is_relative_to(self.root / d) for d in _SHARED_DIRS):
                try:
                    return os.link(source, destination)
                except OSError:  # another file system
                    pass
            return shutil.copy2(source, destination)
        shutil.copytree(self.root, target, symlinks=True, copy_function=copy, dirs_exist_ok=True)
        return WinePrefix(libraries=libraries, root=target, wow64=self.wow64)

    def serve(self):
        """Starts the prefix's server, to run until `kill()` or `close()`."""
        subprocess.run(self.wrap([WINESERVER, "-p"]), env=self.env(), check=True, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def enter(self, netns: str):
        """Moves the server, and every program and `reg` started later, into a network namespace.
        Ends what runs when it moves."""
        if netns != self.netns:
            self.kill()
            self.netns = netns
            self.serve()

    def wrap(self, command: list[str]) -> list[str]:
        return ["ip", "netns", "exec", self.netns, *command] if self.netns else command

    def headless(self):
        """Wine's null graphics driver: windows, menus and broadcasts without a display. The
        desktop process chooses its driver when it starts, so the server starts again."""
        self.reg("add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
        self.kill()
        self.serve()

    def kill(self):
        """Ends the server and every program of the prefix."""
        subprocess.run([WINESERVER, "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def close(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def env(self, **extra: str) -> dict[str, str]:
        env = dict(os.environ, WINEPREFIX=str(self.root), WINEDEBUG="-all,warn+debugstr,err+virtual",
                   WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        env.pop("DISPLAY", None)
        env.update(extra)
        return env

    common64 = property(lambda self: self.root / "drive_c/Program Files/Common Files")
    common32 = property(lambda self: self.root / "drive_c/Program Files (x86)/Common Files")
    home64 = property(lambda self: self.common64 / "ORVA Systems/Zentrova")
    home32 = property(lambda self: self.common32 / "ORVA Systems/Zentrova")
    pvr_folder = property(lambda self: self.common64 / "ORVA Systems/PVR/Supported3/Sources")  # of a 64-bit program
    pvr_folder32 = property(lambda self: self.common32 / "ORVA Systems/PVR/Supported3/Sources")  # of a 32-bit one
    exe32 = property(lambda self: self.home32 / "TavrixInstall.exe")

    def install(self, exe: Path, ini_text: str | None = None, pvr_folder: bool = True,
                exe32: Path | None = None) -> Path:
        """Installs `exe` as both copies, or, given the x86 build `exe32` (WoW64 prefixes), each
        build as its own copy, as the package lays them out; with `pvr_folder`, the PVR source
        folder of the copy that writes PVR files; each copy with the library of its bitness. Returns
        the 64-bit copy's path."""
        for home, program, arch in ((self.home64, exe, "x64"), (self.home32, exe32 or exe, "x86" if exe32 else "x64")):
            home.mkdir(parents=True, exist_ok=True)
            shutil.copy2(program, home / "TavrixInstall.exe")
            if self.libraries is not None:
                shutil.copy2(Path(self.libraries) / arch / "libhdhomerun.dll", home)
        if ini_text is not None:
            self.write_ini(ini_text)
        if pvr_folder:
            (self.pvr_folder32 if exe32 else self.pvr_folder).mkdir(parents=True, exist_ok=True)
        return self.home64 / "TavrixInstall.exe"

    def write_ini(self, text: str | bytes):
        """The configuration file: text stored as the package ships it (UTF-16 LE with its BOM, CRLF),
        bytes as they are."""
        data = text if isinstance(text, bytes) else b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")
        self.home32.mkdir(parents=True, exist_ok=True)
        (self.home32 / "TavrixInstall.ini").write_bytes(data)

    def windows_path(self, path: Path) -> str:
        rel = Path(path).resolve().relative_to((self.root / "drive_c").resolve())
        return "C:\\" + str(rel).replace("/", "\\")

    def _command(self, exe: Path, args: list[str] | str, netns: str | None) -> list[str]:
        # A string is one raw command line; wine64 joins argv with blanks, so "" adds nothing.
        command = [self.loader, str(exe)] + (([args] if args else []) if isinstance(args, str) else list(args))
        if netns:
            self.enter(netns)
        return self.wrap(command)

    def run(self, exe: Path, args: list[str] | str = (), netns: str | None = None, timeout: float = 120,
            env: dict[str, str] | None = None) -> RunResult:
        """Runs a PE program to its end: its exit code and log lines."""
        code, out, err = _execute(self._command(exe, args, netns), env or self.env(), timeout, str(Path(exe).parent))
        stderr = err.decode("utf-8", "replace")
        return RunResult(code, parse_log(stderr), stderr, out.decode("utf-8", "replace"))

    def start(self, exe: Path, args: list[str] = (), netns: str | None = None,
              env: dict[str, str] | None = None, **popen) -> subprocess.Popen:
        return subprocess.Popen(self._command(exe, list(args), netns), env=env or self.env(),
                                cwd=str(Path(exe).parent), **popen)

    def reg(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        code, out, err = _execute(self.wrap([self.loader, "reg", *args]), self.env(WINEDEBUG="-all,err+virtual"), 120)
        if check and code != 0:
            raise RuntimeError(f"reg {' '.join(args)} failed: {out!r} {err!r}")
        return subprocess.CompletedProcess(["reg", *args], code, out, err)

    def reg_read(self, *args: str) -> subprocess.CompletedProcess | None:
        """A reading `reg` command; None when its key is missing, an error when it failed otherwise:
        "could not read" must never look like "nothing there"."""
        run = self.reg(*args, check=False)
        if run.returncode != 0 and b"Unable to find the specified registry key" not in run.stdout + run.stderr:
            raise RuntimeError(f"reg {' '.join(args)} failed ({run.returncode}): {run.stdout!r} {run.stderr!r}")
        return run if run.returncode == 0 else None

    def reg_export(self, key: str, view: int = 64) -> str:
        """`reg export` of a key in the 64- or 32-bit registry view as text ('' when it is missing)."""
        out = self.root / "export.reg"
        out.unlink(missing_ok=True)
        if self.reg_read("export", key, "Z:" + str(out).replace("/", "\\"), "/y", f"/reg:{view}") is None:
            return ""
        return out.read_bytes().decode("utf-16")


_templates: dict[bool, WinePrefix] = {}  # by wow64: booted by this process, removed at its end


def new_prefix(libraries: Path | None = None, wow64: bool = False) -> WinePrefix:
    """A clone of the run's one booted template prefix (a WoW64 one with `wow64`)."""
    shared = os.environ.get("TAVRIX_WOW64_TEMPLATE") if wow64 else None
    if shared:
        if not (Path(shared) / "system.reg").exists():
            raise RuntimeError(f"no booted WoW64 template in {shared} (ctest's wow64_template entry)")
        return WinePrefix(root=Path(shared), serve=False, wow64=True).clone(libraries)
    if wow64 not in _templates:
        _templates[wow64] = WinePrefix(serve=False, wow64=wow64)
    return _templates[wow64].clone(libraries)


def close_template():
    for template in _templates.values():
        shutil.rmtree(template.root, ignore_errors=True)
    _templates.clear()


if __name__ == "__main__":  # wineprefix.py DIR: boots the WoW64 template the 32-bit entries share
    shutil.rmtree(sys.argv[1], ignore_errors=True)
    WinePrefix(root=Path(sys.argv[1]), serve=False, wow64=True)
