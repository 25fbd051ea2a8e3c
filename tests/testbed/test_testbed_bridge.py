"""The libhdhomerun bridge: a mingw PE program finds and reads simulated boxes under wine64."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import REPO
from tavrix_testbed.lan import Box, Lan, Tuner, invalid_device_id, nth_valid_device_id

pytestmark = [pytest.mark.usefixtures("netns_ok"), pytest.mark.wine]

HERE = Path(__file__).resolve().parent
BUILD_SH = REPO / "testbed" / "bridge" / "build.sh"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
EXPORTS = sorted([
    "hdhomerun_discover_create", "hdhomerun_discover_destroy", "hdhomerun_discover_find_devices_v2",
    "hdhomerun_device_create_from_str", "hdhomerun_device_destroy", "hdhomerun_device_set_tuner",
    "hdhomerun_device_get_var",
])

BOX_A = nth_valid_device_id(70)
BOX_B = nth_valid_device_id(71)
BOX_INVALID = invalid_device_id(72)


def run(cmd, **kwargs):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=300, **kwargs)
    assert result.returncode == 0, "%s\n%s%s" % (" ".join(map(str, cmd)), result.stdout, result.stderr)
    return result


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """Bridge in OUT, probe exe beside its stub."""
    out = tmp_path_factory.mktemp("bridge")
    run([BUILD_SH, out])
    run(["x86_64-w64-mingw32-dlltool", "-d", HERE / "libhdhomerun.def", "-l", out / "libhdhomerun.a",
         "-m", "i386:x86-64"])
    app = out / "app"
    app.mkdir()
    run(["x86_64-w64-mingw32-gcc-posix", "-std=c11", "-O2", "-Wall", "-Wextra", "-Werror",
         "-isystem", "/usr/include/libhdhomerun", "-o", app / "bridge_probe.exe",
         HERE / "bridge_probe.c", out / "libhdhomerun.a"])
    shutil.copy(out / "libhdhomerun.dll", app / "libhdhomerun.dll")
    return out


@pytest.fixture(scope="module")
def wine_env(built):
    prefix = tempfile.mkdtemp(prefix="tvx-bridge-%d-" % os.getpid())
    env = dict(os.environ, WINEPREFIX=prefix, WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="-all",
               WINEDLLPATH=str(built))
    env.pop("DISPLAY", None)
    try:
        run([WINE, "wineboot", "--init"], env=env)
        yield env
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, capture_output=True, timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)


@pytest.fixture(scope="module")
def lan():
    with Lan() as lan:
        lan.add_boxes([
            Box(BOX_A, "192.0.2.10", "box-a", [Tuner("dvbc"), Tuner("dvbt", "192.0.2.77", available=False)]),
            Box(BOX_B, "192.0.2.11", None, [Tuner("M" * 300)]),
            Box(BOX_INVALID, "192.0.2.12", None, [Tuner("dvbc")], {"invalid_id": True}),
        ])
        yield lan


def probe_exe(lan, built, env, *args):
    result = lan.run([WINE, str(built / "app" / "bridge_probe.exe"), *args], env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_bridge_exports_exactly_the_programs_calls(built, wine_env):
    others = ["hdhomerun_discover_find_devices_custom_v2", "hdhomerun_device_get_tuner_status",
              "hdhomerun_discover_validate_device_id", "bridge_device_get_var"]
    result = run([WINE, built / "app" / "bridge_probe.exe", "--exports", *EXPORTS, *others], env=wine_env)
    assert result.stdout.splitlines() == (["export %s yes" % n for n in EXPORTS]
                                          + ["export %s no" % n for n in others])
    assert (built / "x86_64-unix" / "libhdhomerun.dll.so").is_file()


def test_pe_program_discovers_and_reads_boxes(lan, built, wine_env):
    lines = probe_exe(lan, built, wine_env)
    a, b, bad = "%08X" % BOX_A, "%08X" % BOX_B, "%08X" % BOX_INVALID
    assert lines[0] == "count 3"
    assert sorted(lines[1:4]) == sorted([
        "device %s 192.0.2.10 tuners 2" % a,
        "device %s 192.0.2.11 tuners 1" % b,
        "device %s 192.0.2.12 tuners 1" % bad,
    ])
    rest = lines[4:]
    assert "tuner %s-0 model=dvbc owner= available=1" % a in rest
    assert "tuner %s-1 model=dvbt owner=192.0.2.77 available=0" % a in rest
    assert "tuner %s-2 end result=0 error=ERROR: unknown getset variable" % a in rest
    assert "tuner %s-0 model=%s owner= available=1" % (b, "M" * 300) in rest
    assert "open %s failed" % bad in rest
    assert len(rest) == 6


def test_pe_program_opens_by_id_only_with_a_valid_id(lan, built, wine_env):
    lines = probe_exe(lan, built, wine_env, "%08X" % BOX_B, "%08X" % BOX_INVALID)
    assert lines == [
        "tuner %08X-0 model=%s owner= available=1" % (BOX_B, "M" * 300),
        "tuner %08X-1 end result=0 error=ERROR: unknown getset variable" % BOX_B,
        "open %08X failed" % BOX_INVALID,
    ]
