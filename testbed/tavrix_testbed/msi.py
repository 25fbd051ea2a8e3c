"""What an MSI package holds and what an installation left in a Wine prefix."""

import re
import subprocess


def rows(msi: str, table: str) -> list[list[str]]:
    """The rows of one table of a package (msitools' msiinfo)."""
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def query(prefix, key: str) -> str:
    """`reg query /s` of a key as text ('' when the key is missing)."""
    return prefix.reg("query", key, "/s", check=False).stdout.decode("utf-8", "replace")


def stored_ids(prefix) -> set[str]:
    """Box ids a user's load finds: the user's product key, else the default user's."""
    for hive in ("HKCU", r"HKEY_USERS\.DEFAULT"):
        if text := query(prefix, hive + r"\Software\ORVA Systems\Zentrova").strip():
            return set(re.findall(r"\\Devices\\([0-9A-F]{8})\s*$", text, re.M))
    return set()


def instances(prefix, category: str) -> set[str]:
    """Names of the filter instances under a category."""
    return set(re.findall(r"\\Instance\\(.+?)\s*$", query(prefix, rf"HKCR\CLSID\{category}\Instance"), re.M))


def versions(prefix, publisher: str = "ORVA Systems") -> list[str]:
    """DisplayVersion of each of a publisher's entries in Add/Remove Programs."""
    blocks = query(prefix, r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall").split("\nHKEY_")
    return [re.search(r"DisplayVersion +REG_SZ +(\S+)", b).group(1) for b in blocks if publisher in b]


def start_menu_link(prefix, name: str) -> bytes:
    """The Start-menu shortcut's bytes, b'' when there is none (Wine puts a per-machine
    package's shortcut into the installing user's menu)."""
    return b"".join(p.read_bytes() for p in prefix.root.glob(f"drive_c/**/Start Menu/Programs/{name}.lnk"))
