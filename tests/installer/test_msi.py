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
from tavrix_testbed.msi import instances, query, rows, start_menu_link, stored_ids, versions  # noqa: E402

VERSION = re.search(r"project\(\w+ VERSION ([\d.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
NEWER = "1.0.1.9"  # Windows Installer compares three fields only
BOX = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc"), Tuner("dvbt")])
CATEGORIES = ("{FD0A5AF4-B41D-11d2-9C95-00C04F7971E0}", "{71985F48-1CA1-11d3-9CC8-00C04F7971E0}")
OTHER = "Vendor X Tuner"
PRODUCT = r"\Software\ORVA Systems\Zentrova"
RUN = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
OURS = r"C:\Program Files\Common Files\ORVA Systems\Zentrova\TavrixInstall.exe"  # as Autostart writes it


@pytest.fixture(scope="module")
def msi(tmp_path_factory):
    """msi(arch, newer=False): a package of this build, or of a later one (each executable with a
    marker appended), with the test bed's library bridge as the x64 libhdhomerun.dll."""
    root = tmp_path_factory.mktemp("newer")
    for arch in ("x64", "x86"):
        (root / arch).mkdir()
        exe = (BUILD.parent / arch / "TavrixInstall.exe").read_bytes()
        (root / arch / "TavrixInstall.exe").write_bytes(exe + b"newer")
    for build, options in ((BUILD.parent, []), (root, ["--version", NEWER])):
        subprocess.run(["bash", REPO / "installer/build.sh", build, "--out", root / "msi", *options,
                        "--hdhomerun-x64", BUILD / "bridge/libhdhomerun.dll"], check=True, capture_output=True)
    return lambda arch, newer=False: str(root / "msi" / f"TavrixInstall-{NEWER if newer else VERSION}-{arch}.msi")


@pytest.fixture(scope="module")
def lan():
    with Lan() as net:
        net.add_box(BOX)
        yield net


def msiexec(prefix, lan, *args):
    return prefix.run("msiexec", [*args, "/qn"], netns=lan.program_ns, timeout=300).returncode


def test_install_and_removal_on_the_lan(prefix, msi, lan):
    prefix.reg("add", rf"HKCR\CLSID\{CATEGORIES[1]}\Instance\{OTHER}", "/v", "FriendlyName", "/d", OTHER)
    assert msiexec(prefix, lan, "/i", msi("x64")) == 0
    assert {p.name for p in prefix.home64.iterdir()} == {"TavrixInstall.exe", "libhdhomerun.dll"}
    assert {p.name for p in prefix.home32.iterdir()} == {"TavrixInstall.exe", "TavrixInstall.ini"}
    assert (prefix.home32 / "TavrixInstall.ini").read_bytes() == (REPO / "installer/TavrixInstall.ini").read_bytes()
    assert stored_ids(prefix) == {BOX.id_text}
    assert all(instances(prefix, c) >= {f"ORVA Tavrix {BOX.id_text}-{n}" for n in (0, 1)} for c in CATEGORIES)
    icons = re.findall(r"ProductIcon +REG_SZ +C:\\(.*?)\s*$", query(prefix, r"HKLM\Software\Classes\Installer"), re.M)
    assert [(prefix.root / "drive_c" / i.replace("\\", "/")).read_bytes() for i in icons] == [  # Add/Remove Programs
        (REPO / "res/icons/tuner.ico").read_bytes()]
    assert rb"Common Files\ORVA Systems\Zentrova\TavrixInstall.exe" in start_menu_link(prefix, "Zentrova")

    prefix.reg("add", RUN, "/v", "TavrixInstall.exe", "/d", OURS, "/f")
    prefix.reg("add", RUN, "/v", "Other", "/d", r"C:\other.exe", "/f")
    # On Windows the elevated -I runs as the system account, whose hive is .DEFAULT.
    prefix.reg("add", r"HKU\.DEFAULT" + PRODUCT, "/v", "Flags", "/t", "REG_DWORD", "/d", "0", "/f")
    assert msiexec(prefix, lan, "/x", msi("x64")) == 0  # 3010 would ask for a reboot
    assert not (prefix.common64 / "ORVA Systems").exists() and not (prefix.common32 / "ORVA Systems").exists()
    assert [hive for hive in ("HKCU", r"HKU\.DEFAULT") if "Zentrova" in query(prefix, hive + PRODUCT)] == []
    assert "TavrixInstall.exe" not in query(prefix, RUN) and r"C:\other.exe" in query(prefix, RUN)
    assert start_menu_link(prefix, "Zentrova") == b""
    assert instances(prefix, CATEGORIES[0]) == set() and instances(prefix, CATEGORIES[1]) == {OTHER}
    assert "PendingFileRename" not in query(prefix, r"HKLM\System\CurrentControlSet\Control\Session Manager")


def test_newer_package_replaces_the_older_one_and_the_older_is_refused(prefix, msi, lan):
    assert msiexec(prefix, lan, "/i", msi("x64")) == 0
    assert msiexec(prefix, lan, "/i", msi("x64", newer=True)) == 0
    assert versions(prefix) == [NEWER]
    assert all((home / "TavrixInstall.exe").read_bytes().endswith(b"newer") for home in (prefix.home64, prefix.home32))
    assert stored_ids(prefix) == {BOX.id_text}
    assert msiexec(prefix, lan, "/i", msi("x64")) != 0 and versions(prefix) == [NEWER]
    # Wine's quiet mode shows no text; Windows shows this launch condition's.
    assert ["NOT WIX_DOWNGRADE_DETECTED", "A newer version of Zentrova is already installed."] in rows(
        msi("x64"), "LaunchCondition")


def test_x86_package_puts_its_copy_and_configuration_in_the_32_bit_home(msi):
    directories = {d[0]: (d[1], d[2].split("|")[-1]) for d in rows(msi("x86"), "Directory")}

    def path(directory):  # from the system folder down
        parent, name = directories[directory]
        return [directory] if name == "." else path(parent) + [name]
    components = {c[0]: (path(c[2]), int(c[3]) & 256) for c in rows(msi("x86"), "Component")}  # 256: 64-bit
    files = {f[0]: (f[2].split("|")[-1], *components[f[1]]) for f in rows(msi("x86"), "File")}
    home = (["CommonFilesFolder", "ORVA Systems", "Zentrova"], 0)
    assert sorted(files.values()) == [("TavrixInstall.exe", *home), ("TavrixInstall.ini", *home)]
    exe = next(key for key, row in files.items() if row[0] == "TavrixInstall.exe")
    actions = {a[0]: (int(a[1]) & 0xC40, a[2], a[3]) for a in rows(msi("x86"), "CustomAction")}
    elevated = [(0xC40, exe, "-I"), (0xC40, exe, "-R")]  # deferred, not impersonated, result ignored
    assert [actions[a] for a in ("DetectAndInstall", "UninstallAll")] == elevated
    assert actions["FindRegExe"][2] == "[SystemFolder]reg.exe"  # 32-bit Windows has no System64Folder
    for arch in ("x64", "x86"):  # Wine's msiexec reports Windows 7: the refusal shows only here
        assert ["VersionNT >= 600", "Zentrova needs Windows Vista or later."] in rows(msi(arch), "LaunchCondition")


def test_configuration_file_has_every_text_the_program_looks_up():
    source = "".join(p.read_text() for p in (REPO / "tray").glob("*.[ch]*"))
    keys = set(re.findall(r'(?:__Lookup\(|__AddMenuItem\(\w+, )"([^"]+)"|"(Zentrova \(\d\d Bit\))"', source))
    keys = {a or b for a, b in keys}
    fixed = re.findall(r'GetPrivateProfileStringA\("(\w+)", "(\w+)"', source)
    assert len(keys) > 10 and fixed, "the patterns no longer find the program's look-ups"
    ini = configparser.ConfigParser(interpolation=None, delimiters=("=",))
    ini.optionxform = str
    ini.read(REPO / "installer" / "TavrixInstall.ini")
    assert sorted(k for k in keys if not ini.get("en", k, fallback="")) == []
    assert [pair for pair in fixed if not ini.get(*pair, fallback="")] == []
