"""The MSI packages with Wine's msiexec and the real copies (under testbed/with-wine32.sh): the x64
package in WoW64 prefixes on a simulated LAN, where its 32-bit copy does the work and the 32-bit
tray runs on the prefix's one desktop; the x86 package in a pure 32-bit prefix; and in the tables
what Wine cannot show."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(REPO / "testbed" / "tray"))
from conftest import BUILD, _template_cleanup, programs  # noqa: E402,F401
from tavrix_testbed.listener import Listener  # noqa: E402
from traydesk import wait_until  # noqa: E402
from tavrix_testbed import wineprefix  # noqa: E402
from tavrix_testbed.signing import issue  # noqa: E402
from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402
from tavrix_testbed.msi import (Win32Prefix, instances, ours_running, query, rows, start_menu_link,  # noqa: E402
                                stored_ids, versions)

VERSION = re.search(r"project\(\w+ VERSION ([\d.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
NEWER = "1.0.1.9"  # Windows Installer compares three fields only
BOX = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("qam"), Tuner("ofdm")])  # models with PVR files
OURS = {f"ORVA Tavrix {BOX.id_text}-{n}" for n in range(2)}
FOLDERS = {f"Zentrova {BOX.id_text}-{n}" for n in range(2)}
CATEGORIES = ("{FD0A5AF4-B41D-11d2-9C95-00C04F7971E0}", "{71985F48-1CA1-11d3-9CC8-00C04F7971E0}")
OTHER = "Vendor X Tuner"
HIVES = ("HKCU", r"HKU\.DEFAULT")
PRODUCT = r"\Software\ORVA Systems\Zentrova"
RUN = r"\Software\Microsoft\Windows\CurrentVersion\Run"
EXE32 = r"Program Files (x86)\Common Files\ORVA Systems\Zentrova\TavrixInstall.exe"
REMOVAL_ONLY = 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE'
LIBRARY = ("libhdhomerun.dll", "libhdhomerun-LICENSE.txt")  # the LGPL library beside each copy


@pytest.fixture(scope="module")
def msi(tmp_path_factory, programs):
    """msi(arch, kind=""): a package of this build with the libraries tools/build.sh ships, signed as a
    release is (with a throwaway CA's certificate); "newer", a later version of it (each copy with a
    marker appended); "standin", one whose 64-bit copy is a program that runs a minute."""
    root = tmp_path_factory.mktemp("msi")
    cert, key = issue(root, "orva")
    builds = {"": (BUILD.parent, ["--cert", cert, "--key", key]), "newer": (root / "newer", ["--version", NEWER]),
              "standin": (root / "standin", [])}
    for arch in ("x64", "x86"):
        program = (BUILD.parent / arch / "TavrixInstall.exe").read_bytes()
        for kind, copy in (("newer", program + b"newer"), ("standin", program)):
            (builds[kind][0] / arch).mkdir(parents=True)
            (builds[kind][0] / arch / "TavrixInstall.exe").write_bytes(copy)
            for built in ["TavrixActions.dll", "libhdhomerun.dll", *(BUILD.parent / arch).glob("*.orig.tar.gz")]:
                shutil.copy2(BUILD.parent / arch / built, builds[kind][0] / arch)  # built by tools/build.sh
    (builds["standin"][0] / "x64/TavrixInstall.exe").write_bytes((programs / "followup_probe.exe").read_bytes())
    for kind, (build, options) in builds.items():
        subprocess.run(["bash", REPO / "installer/build.sh", build, "--out", root / kind, *options], check=True,
                       capture_output=True)
    return lambda arch, kind="": str(root / kind / f"TavrixInstall-{NEWER if kind == 'newer' else VERSION}-{arch}.msi")


@pytest.fixture(scope="module")
def lan():
    with Lan() as net:
        net.add_box(BOX)
        yield net


@pytest.fixture
def wow64(lan):
    p = wineprefix.new_prefix(wow64=True)
    try:
        p.headless()  # the tray's window without a display, on the desktop msiexec's actions see
        p.enter(lan.program_ns)  # before anything runs: the move ends what runs
        yield p
    finally:
        p.close()


def msiexec(prefix, lan, *args, vista: bool = False) -> tuple[int, str]:
    """msiexec's exit code and its log, with the copies' lines; with `vista`, without the variable
    CommonProgramW6432, as on Windows Vista (Wine sets it only for a process that no Windows
    process started)."""
    command = subprocess.list2cmdline(["msiexec", *args, "/l*", r"C:\msi.log", "/qn"])
    run = prefix.run("cmd", f"/c set CommonProgramW6432=&& {command}" if vista else "/c " + command,
                     netns=lan.program_ns, timeout=300)
    return run.returncode, (prefix.root / "drive_c/msi.log").read_text(errors="replace") + "\n".join(run.log)


def start_tray(prefix, lan, exe: Path, searched: bool = True) -> subprocess.Popen:
    """The resident tray; with `searched`, once its first search has reached the box."""
    seen = searched and lan.box_log(BOX.device_id).count("discover from")
    tray = prefix.start(exe, netns=lan.program_ns, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if searched:
        wait_until(lambda: lan.box_log(BOX.device_id).count("discover from") > seen, 60, "the tray's first search")
    return tray


def installed_everywhere(prefix) -> bool:
    """Every tuner of the box registered in both categories of both registry views."""
    return all(instances(prefix, c, v) >= OURS for c in CATEGORIES for v in (32, 64))


@pytest.mark.parametrize("vista", [False, True], ids=["windows7", "vista"])
def test_install_with_boxes_then_removal_with_the_32bit_tray_running(wow64, msi, lan, vista):
    (wow64.pvr_folder32 / "Other Tuner").mkdir(parents=True)  # Vistello's source folder exists
    for view in (32, 64):
        wow64.reg("add", rf"HKCR\CLSID\{CATEGORIES[1]}\Instance\{OTHER}", "/v", "FriendlyName", "/d", OTHER,
                  f"/reg:{view}")
    code, log = msiexec(wow64, lan, "/i", msi("x64"), vista=vista)
    # Without the variable the 32-bit copy cannot find the 64-bit one: the package runs it itself.
    assert code == 0 and ("Error setup programFilesCommon64!" in log) == vista
    # Every copy the install started has ended, its work done.
    assert ours_running(wow64) == [] and installed_everywhere(wow64)
    assert {p.name for p in wow64.home64.iterdir()} == {"TavrixInstall.exe", *LIBRARY}
    assert {p.name for p in wow64.home32.iterdir()} == {"TavrixInstall.exe", "TavrixInstall.ini", *LIBRARY}
    assert [(h / LIBRARY[0]).read_bytes() for h in (wow64.home64, wow64.home32)] == [
        (BUILD.parent / arch / LIBRARY[0]).read_bytes() for arch in ("x64", "x86")]
    assert (wow64.home32 / "TavrixInstall.ini").read_bytes() == (REPO / "installer/TavrixInstall.ini").read_bytes()
    assert stored_ids(wow64) == {BOX.id_text}
    assert {p.name for p in wow64.pvr_folder32.iterdir()} == FOLDERS | {"Other Tuner"}
    assert all(len(list((wow64.pvr_folder32 / f).iterdir())) == 3 for f in FOLDERS)
    icons = re.findall(r"ProductIcon +REG_SZ +C:\\(.*?)\s*$", query(wow64, r"HKLM\Software\Classes\Installer"), re.M)
    assert [(wow64.root / "drive_c" / i.replace("\\", "/")).read_bytes() for i in icons] == [  # Add/Remove Programs
        (REPO / "res/icons/tuner.ico").read_bytes()]
    assert EXE32.encode() in start_menu_link(wow64, "Zentrova")

    tray = start_tray(wow64, lan, wow64.home32 / "TavrixInstall.exe")
    for hive in HIVES:
        wow64.reg("add", hive + RUN, "/v", "TavrixInstall.exe", "/d", "C:\\" + EXE32, "/f")
        wow64.reg("add", hive + RUN, "/v", "Other", "/d", r"C:\other.exe", "/f")
    # On Windows the elevated -I runs as the system account, whose hive is .DEFAULT.
    wow64.reg("add", r"HKU\.DEFAULT" + PRODUCT, "/v", "Flags", "/t", "REG_DWORD", "/d", "0", "/f")
    assert msiexec(wow64, lan, "/x", msi("x64"), vista=vista)[0] == 0  # 3010 would ask for a reboot
    assert tray.wait(timeout=60) == 0  # Exit's way out, not a kill
    assert ours_running(wow64) == []
    assert not (wow64.common64 / "ORVA Systems").exists() and not wow64.home32.exists()
    assert [p.name for p in wow64.pvr_folder32.iterdir()] == ["Other Tuner"]
    assert [hive for hive in HIVES if "Zentrova" in query(wow64, hive + PRODUCT)] == []
    assert [hive for hive in HIVES if "TavrixInstall.exe" in query(wow64, hive + RUN)] == []
    assert all(r"C:\other.exe" in query(wow64, hive + RUN) for hive in HIVES)
    assert start_menu_link(wow64, "Zentrova") == b""
    assert [(instances(wow64, c, v), v) for c in CATEGORIES for v in (32, 64)] == [
        (set(), 32), (set(), 64), ({OTHER}, 32), ({OTHER}, 64)]
    assert "PendingFileRename" not in query(wow64, r"HKLM\System\CurrentControlSet\Control\Session Manager")


def test_upgrade_ends_the_tray_and_leaves_one_newer_product_that_finds_the_list_again(wow64, msi, lan):
    wow64.pvr_folder32.mkdir(parents=True)
    assert msiexec(wow64, lan, "/i", msi("x64"))[0] == 0
    tray = start_tray(wow64, lan, wow64.home32 / "TavrixInstall.exe")
    assert msiexec(wow64, lan, "/i", msi("x64", "newer"))[0] == 0
    assert tray.wait(timeout=60) == 0
    assert versions(wow64) == [NEWER]
    assert all((home / "TavrixInstall.exe").read_bytes().endswith(b"newer") for home in (wow64.home64, wow64.home32))
    # Wine's msiexec runs the old package's -R too (no UPGRADINGPRODUCTCODE): the new -I finds the box again.
    assert stored_ids(wow64) == {BOX.id_text} and installed_everywhere(wow64)
    assert msiexec(wow64, lan, "/i", msi("x64"))[0] != 0 and versions(wow64) == [NEWER]


def test_install_on_a_lan_without_boxes_and_the_tray_finds_them_later(wow64, msi):
    wow64.pvr_folder32.mkdir(parents=True)
    with Lan() as empty:
        assert msiexec(wow64, empty, "/i", msi("x64"))[0] == 0
        assert stored_ids(wow64) == set() and not any(instances(wow64, c, 32) for c in CATEGORIES)
        start_tray(wow64, empty, wow64.home32 / "TavrixInstall.exe", searched=False)
        empty.add_box(BOX)
        wait_until(lambda: installed_everywhere(wow64), 120, "the tray's install of the new box")
        assert stored_ids(wow64) == {BOX.id_text}
        assert {p.name for p in wow64.pvr_folder32.iterdir()} == FOLDERS


@pytest.mark.parametrize("kind", ["standin", ""], ids=["a-followup-never-ends", "the-store-lock-squatted"])
def test_copies_still_running_at_the_bound_are_ended_and_removal_leaves_nothing(wow64, msi, lan, programs, kind):
    wow64.pvr_folder32.mkdir(parents=True)
    # A normal user's program may hold the lock that every copy of ours waits for without bound.
    squatter = None if kind else Listener(wow64, programs, own_mutex="GlobalZentrovaLock")
    for option in ("/i", "/x"):
        code, log = msiexec(wow64, lan, option, msi("x64", kind), "ZENTROVA_WAIT_SECONDS=5")
        assert code == 0 and re.search(r"after 5 s still running: .*\\TavrixInstall\.exe \(process \d+\); ended", log)
        assert ours_running(wow64) == [], option
    assert not (wow64.common64 / "ORVA Systems").exists() and not wow64.home32.exists()
    if squatter:
        squatter.close()


def test_x86_package_installed_and_removed_on_32bit_windows(msi, lan):
    ca = Path(msi("x86")).parent / "ca.pem"  # what follows installs and removes a signed package
    assert subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", msi("x86")]).returncode == 0
    with Win32Prefix() as win32:
        pvr, home = win32.common64 / "ORVA Systems/PVR/Supported3/Sources", win32.common64 / "ORVA Systems/Zentrova"
        pvr.mkdir(parents=True)
        assert msiexec(win32, lan, "/i", msi("x86"))[0] == 0
        assert {p.name for p in home.iterdir()} == {"TavrixInstall.exe", "TavrixInstall.ini", *LIBRARY}
        assert stored_ids(win32) == {BOX.id_text} and instances(win32, CATEGORIES[1], 32) == OURS
        assert {p.name for p in pvr.iterdir()} == FOLDERS
        assert b"C:\\" + EXE32.replace(" (x86)", "").encode() in start_menu_link(win32, "Zentrova")
        tray = start_tray(win32, lan, home / "TavrixInstall.exe")
        assert msiexec(win32, lan, "/x", msi("x86"))[0] == 0
        assert tray.wait(timeout=60) == 0 and ours_running(win32) == []
        assert not home.exists() and list(pvr.iterdir()) == []
        assert instances(win32, CATEGORIES[1], 32) == set()
        assert [hive for hive in HIVES if "Zentrova" in query(win32, hive + PRODUCT, 32)] == []


def longest_job_seconds() -> float:
    """The search's limits (the program's source) and twice the slowest "-I" of the benchmarks' largest LAN."""
    limits = re.findall(r"k(?:Search|Lookup)BudgetMs = (\d+);", (REPO / "devices/Discovery.cpp").read_text())
    jobs = json.loads((REPO / "bench/results/latest.json").read_text())["jobs"]
    assert len(limits) == 2 and jobs, "the search's limits or the benchmarks' jobs are not where they were"
    largest = max((k for k in jobs if k.isdigit()), key=int)  # by box count; the part also says when it ran
    return sum(map(int, limits)) / 1000 + 2 * jobs[largest]["first_wall_s"]["max"]


@pytest.mark.parametrize("arch, tools", [("x64", "System64Folder"), ("x86", "SystemFolder")])
def test_tables_of_what_wine_does_not_show(msi, arch, tools):
    actions = {a[0]: (int(a[1]), a[2], a[3]) for a in rows(msi(arch), "CustomAction")}
    sequence = {s[0]: (s[1], int(s[2])) for s in rows(msi(arch), "InstallExecuteSequence")}
    share64 = ["UninstallShare64Data", "UninstallShare64", "InstallShare64Data", "InstallShare64"] * (arch == "x64")
    # Every copy runs deferred, not impersonated (0xC00), result ignored (0x40), through the waiting
    # DLL action; the trays end in the user's context (immediate). What each runs, the packages show.
    copies = ["DetectAndInstall", "UninstallAll", *share64[1::2]]
    assert {a: actions[a] for a in copies} == dict.fromkeys(copies, (0xC41, "TavrixActions", "RunCopy"))
    assert actions["EndTrays"][0] & 0xC00 == 0 and actions["FindRegExe"][2] == f"[{tools}]reg.exe"
    # The bound ends only a copy that hangs, never one that works within the program's own limits.
    [(name, seconds)] = [p for p in rows(msi(arch), "Property") if p[0].startswith("ZENTROVA")]
    assert name == "ZENTROVA_WAIT_SECONDS" and int(seconds) >= 2 * longest_job_seconds()
    # Wine's msiexec sets no UPGRADINGPRODUCTCODE while an upgrade removes the old package.
    removal = ["UninstallAllData", "UninstallAll", *share64[:2], "FindRegExe", "ForgetUserStore", "ForgetAutostart",
               "ForgetSystemStore", "ForgetSystemAutostart"]
    assert {a: sequence[a][0] for a in removal} == dict.fromkeys(removal, REMOVAL_ONLY)
    assert sequence["EndTrays"][0] == 'REMOVE~="ALL" OR WIX_UPGRADE_DETECTED'
    assert {a: sequence[a][0] for a in share64[2:]} == dict.fromkeys(share64[2:], 'NOT REMOVE~="ALL"')
    # The trays go before InstallValidate looks for files in use; the 64-bit copy's share follows the 32-bit one's.
    order = ["EndTrays", "InstallValidate", "RemoveExistingProducts", "InstallInitialize", "UninstallAll",
             *share64[:2], "ForgetUserStore", "RemoveFiles", "InstallFiles", "DetectAndInstall", *share64[2:]]
    assert sorted(order, key=lambda a: sequence[a][1]) == order
    # Wine reports Windows 7 and quiet mode shows no text; Windows shows these.
    conditions = rows(msi(arch), "LaunchCondition")
    assert ["VersionNT >= 600", "Zentrova needs Windows Vista or later."] in conditions
    assert ["NOT WIX_DOWNGRADE_DETECTED", "A newer version of Zentrova is already installed."] in conditions

