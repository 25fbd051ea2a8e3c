"""What an MSI package holds and what an installation left in a Wine prefix; a pure 32-bit prefix."""

import re
import subprocess
import tempfile
from pathlib import Path

from tavrix_testbed.wineprefix import WINE32, WinePrefix


def rows(msi: str, table: str) -> list[list[str]]:
    """The rows of one table of a package (msitools' msiinfo)."""
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def query(prefix, key: str, view: int = 64) -> str:
    """`reg query /s` of a key in the 64- or 32-bit registry view as text ('' when the key is missing)."""
    run = prefix.reg_read("query", key, "/s", f"/reg:{view}")
    return run.stdout.decode("utf-8", "replace") if run else ""


def stored_ids(prefix) -> set[str]:
    """Box ids a user's load finds: the user's product key, else the default user's."""
    for hive in ("HKCU", r"HKEY_USERS\.DEFAULT"):
        if text := query(prefix, hive + r"\Software\ORVA Systems\Zentrova").strip():
            return set(re.findall(r"\\Devices\\([0-9A-F]{8})\s*$", text, re.M))
    return set()


def instances(prefix, category: str, view: int = 64) -> set[str]:
    """Names of the filter instances under a category in one registry view."""
    return set(re.findall(r"\\Instance\\(.+?)\s*$", query(prefix, rf"HKCR\CLSID\{category}\Instance", view), re.M))


def versions(prefix, publisher: str = "ORVA Systems") -> list[str]:
    """DisplayVersion of each of a publisher's entries in Add/Remove Programs."""
    blocks = query(prefix, r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall").split("\nHKEY_")
    return [re.search(r"DisplayVersion +REG_SZ +(\S+)", b).group(1) for b in blocks if publisher in b]


def start_menu_link(prefix, name: str) -> bytes:
    """The Start-menu shortcut's bytes, b'' when there is none (Wine puts a per-machine
    package's shortcut into the installing user's menu)."""
    return b"".join(p.read_bytes() for p in prefix.root.glob(f"drive_c/**/Start Menu/Programs/{name}.lnk"))


def ours_running(prefix) -> list[str]:
    """Windows command lines of the prefix's running programs from our homes (ORVA Systems\\Zentrova)."""
    found = []
    for process in Path("/proc").glob("[0-9]*"):
        try:
            environment, arguments = (process / "environ").read_bytes(), (process / "cmdline").read_bytes()
        except (FileNotFoundError, ProcessLookupError, PermissionError):  # ended meanwhile, or not the tests' own
            continue
        words = [w.decode("utf-8", "replace") for w in arguments.split(b"\0") if w]
        ours = [i for i, w in enumerate(words) if "ORVA Systems\\Zentrova\\" in w]
        if ours and f"WINEPREFIX={prefix.root}".encode() in environment.split(b"\0"):
            found.append(" ".join(words[ours[0]:]))  # a 32-bit one runs under qemu-i386 and the loader
    return found


class Win32Prefix(WinePrefix):
    """A pure 32-bit prefix, as on 32-bit Windows: WINEARCH=win32, every program run by the i386
    loader (under testbed/with-wine32.sh), windows without a display (Wine's null driver). Booted
    for itself: about 20 s, 0.6 GB."""

    loader = str(WINE32)

    def __init__(self, libraries: Path | None = None):
        super().__init__(libraries, Path(tempfile.mkdtemp(prefix="tavrix-wine32-")))
        self.headless()

    def env(self, **extra: str) -> dict[str, str]:
        return super().env(**{"WINEARCH": "win32", **extra})
