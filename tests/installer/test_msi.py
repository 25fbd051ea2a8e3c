"""The MSI packages: the x64 one installed, upgraded and removed by Wine's msiexec on a simulated
LAN; the x86 one (which cannot run here) and the default configuration file read as data."""

import configparser
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
from conftest import BUILD, _template_cleanup, bridge_dir, prefix  # noqa: E402,F401
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402

VERSION = re.search(r"project\(\w+ VERSION ([\d.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
NEWER = "1.0.1.9"  # Windows Installer compares three fields only
BOX = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc"), Tuner("dvbt")])
TUNERS = {f"ORVA Tavrix {BOX.id_text}-{n}" for n in range(2)}
CATEGORIES = ("{FD0A5AF4-B41D-11d2-9C95-00C04F7971E0}", "{71985F48-1CA1-11d3-9CC8-00C04F7971E0}")
OTHER = "Vendor X Tuner"


def build_packages(root: Path, out: Path, *options: str) -> Path:
    subprocess.run(["bash", str(REPO / "installer" / "build.sh"), str(root), "--out", str(out),
                    "--hdhomerun-x64", str(BUILD / "bridge" / "libhdhomerun.dll"), *options],
                   check=True, capture_output=True, timeout=120)
    return out


@pytest.fixture(scope="module")
def packages(tmp_path_factory) -> Path:
    return build_packages(BUILD.parent, tmp_path_factory.mktemp("msi"))


@pytest.fixture(scope="module")
def newer(tmp_path_factory) -> Path:
    """Packages of a later build: the same executables, each with a marker appended."""
    root = tmp_path_factory.mktemp("newer")
    for arch in ("x64", "x86"):
        (root / arch).mkdir()
        data = (BUILD.parent / arch / "TavrixInstall.exe").read_bytes()
        (root / arch / "TavrixInstall.exe").write_bytes(data + b"newer build")
    return build_packages(root, root / "out", "--version", NEWER)


@pytest.fixture(scope="module")
def lan():
    with Lan() as net:
        net.add_box(BOX)
        yield net


def msiexec(prefix, lan, *args):
    return prefix.run("msiexec", [*args, "/qn"], netns=lan.program_ns, timeout=300).returncode


def rows(msi: Path, table: str) -> list[list[str]]:
    text = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def query(prefix, key: str) -> str:
    return prefix.reg("query", key, "/s", check=False).stdout.decode("utf-8", "replace")


def stored_ids(prefix) -> set[str]:
    """Box ids a user's load finds: the user's root, else the default user's."""
    for hive in ("HKCU", r"HKEY_USERS\.DEFAULT"):
        text = query(prefix, hive + r"\Software\ORVA Systems\Zentrova")
        if text.strip():
            return set(re.findall(r"\\Devices\\([0-9A-F]{8})\s*$", text, re.M))
    return set()


def instances(prefix, category: str) -> set[str]:
    return set(re.findall(r"\\Instance\\(.+?)\s*$", query(prefix, rf"HKCR\CLSID\{category}\Instance"), re.M))


def products(prefix) -> list[dict[str, str]]:
    """The Add/Remove Programs entries of the maker, as value name -> data."""
    blocks = re.split(r"\n(?=HKEY_)", query(prefix, r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"))
    return [dict(re.findall(r"^ +(\w+) +REG_\w+ +(.*?)\s*$", b, re.M)) for b in blocks
            if re.search(r"Publisher +REG_SZ +ORVA Systems", b)]


def start_menu_link(prefix) -> bytes:
    # Wine puts a per-machine package's shortcut into the installing user's menu.
    links = [*prefix.root.glob("drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Zentrova.lnk"),
             *prefix.root.glob("drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zentrova.lnk")]
    return links[0].read_bytes() if links else b""


def test_install_and_removal_on_the_lan(prefix, packages, lan):
    prefix.reg("add", rf"HKCR\CLSID\{CATEGORIES[1]}\Instance\{OTHER}", "/v", "FriendlyName", "/d", OTHER)
    assert msiexec(prefix, lan, "/i", str(packages / f"TavrixInstall-{VERSION}-x64.msi")) == 0
    for home, names in ((prefix.home64, {"TavrixInstall.exe", "libhdhomerun.dll"}),
                        (prefix.home32, {"TavrixInstall.exe", "TavrixInstall.ini"})):
        assert {p.name for p in home.iterdir()} == names, home
    assert (prefix.home32 / "TavrixInstall.ini").read_bytes() == (REPO / "installer/TavrixInstall.ini").read_bytes()
    assert stored_ids(prefix) == {BOX.id_text}
    assert all(instances(prefix, c) >= TUNERS for c in CATEGORIES)
    icons = re.findall(r"ProductIcon +REG_SZ +C:\\(.*?)\s*$", query(prefix, r"HKLM\Software\Classes\Installer\Products"), re.M)
    assert [(prefix.root / "drive_c" / i.replace("\\", "/")).read_bytes() for i in icons] == [  # Add/Remove Programs
        (REPO / "res/icons/tuner.ico").read_bytes()]
    assert rb"Common Files\ORVA Systems\Zentrova\TavrixInstall.exe" in start_menu_link(prefix)

    assert msiexec(prefix, lan, "/x", str(packages / f"TavrixInstall-{VERSION}-x64.msi")) == 0  # 3010: reboot
    assert not (prefix.common64 / "ORVA Systems").exists() and not (prefix.common32 / "ORVA Systems").exists()
    assert stored_ids(prefix) == set()
    assert instances(prefix, CATEGORIES[0]) == set() and instances(prefix, CATEGORIES[1]) == {OTHER}
    assert start_menu_link(prefix) == b""
    assert "PendingFileRename" not in query(prefix, r"HKLM\System\CurrentControlSet\Control\Session Manager")


def test_newer_package_replaces_the_older_one_and_the_older_is_refused(prefix, packages, newer, lan):
    older, newest = packages / f"TavrixInstall-{VERSION}-x64.msi", newer / f"TavrixInstall-{NEWER}-x64.msi"
    assert msiexec(prefix, lan, "/i", str(older)) == 0
    assert msiexec(prefix, lan, "/i", str(newest)) == 0
    assert [p["DisplayVersion"] for p in products(prefix)] == [NEWER]
    for exe in (prefix.home64 / "TavrixInstall.exe", prefix.home32 / "TavrixInstall.exe"):
        assert exe.read_bytes().endswith(b"newer build"), exe
    assert stored_ids(prefix) == {BOX.id_text}
    assert msiexec(prefix, lan, "/i", str(older)) != 0
    assert [p["DisplayVersion"] for p in products(prefix)] == [NEWER]
    # Wine's quiet mode shows no text; Windows shows this launch condition's.
    assert ["NOT WIX_DOWNGRADE_DETECTED", "A newer version of Zentrova is already installed."] in rows(
        older, "LaunchCondition")


def test_x86_package_puts_its_copy_and_configuration_in_the_32_bit_home(packages):
    msi = packages / f"TavrixInstall-{VERSION}-x86.msi"
    directories = {d[0]: (d[1], d[2].split("|")[-1]) for d in rows(msi, "Directory")}

    def path(directory):  # from the system folder down
        parent, name = directories[directory]
        return [directory] if name == "." else path(parent) + [name]
    components = {c[0]: (path(c[2]), int(c[3]) & 256) for c in rows(msi, "Component")}  # 256: 64-bit
    files = {f[2].split("|")[-1]: components[f[1]] for f in rows(msi, "File")}
    home = (["CommonFilesFolder", "ORVA Systems", "Zentrova"], 0)
    assert files == {"TavrixInstall.exe": home, "TavrixInstall.ini": home}
    exe = next(f[0] for f in rows(msi, "File") if f[2].endswith("TavrixInstall.exe"))
    actions = {a[0]: (int(a[1]) & 0xC40, a[2], a[3]) for a in rows(msi, "CustomAction")}
    assert actions == {"DetectAndInstall": (0xC40, exe, "-I"), "UninstallAll": (0xC40, exe, "-R")}  # elevated


def test_configuration_file_has_every_text_the_program_looks_up():
    source = "".join(p.read_text() for p in (REPO / "tray").glob("*.[ch]*"))
    keys = set(re.findall(r'(?:__Lookup\(|__AddMenuItem\(\w+, )"([^"]+)"', source))
    keys |= set(re.findall(r'"(Zentrova \(\d\d Bit\))"', source))
    fixed = re.findall(r'GetPrivateProfileStringA\("(\w+)", "(\w+)"', source)
    assert len(keys) > 10 and fixed, "the patterns no longer find the program's look-ups"
    ini = configparser.ConfigParser(interpolation=None, delimiters=("=",))
    ini.optionxform = str
    ini.read(REPO / "installer" / "TavrixInstall.ini")
    assert sorted(k for k in keys if not ini.get("en", k, fallback="")) == []
    assert [pair for pair in fixed if not ini.get(*pair, fallback="")] == []
