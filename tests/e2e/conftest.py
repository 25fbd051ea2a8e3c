"""Fixtures for end-to-end tests of the real TavrixInstall.exe under Wine."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "testbed"))

from tavrix_testbed import wineprefix  # noqa: E402
from tavrix_testbed.lan import Lan  # noqa: E402
from tavrix_testbed.xserver import XServer  # noqa: E402
from station import INI, Station  # noqa: E402

BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", REPO / "build" / "x64")).resolve()
ARTIFACTS = Path(os.environ.get("TAVRIX_ARTIFACTS", REPO / "artifacts"))


def _built(path: Path) -> Path:
    if not path.exists():
        pytest.fail(f"{path} is not built (run tools/build.sh)")
    return path


@pytest.fixture(scope="session")
def exe() -> Path:
    return _built(BUILD / "TavrixInstall.exe")


@pytest.fixture(scope="session")
def exe32() -> Path:
    return _built(BUILD.parent / "x86" / "TavrixInstall.exe")


@pytest.fixture(scope="session")
def libraries() -> Path:
    """The build root: libhdhomerun.dll of each bitness in x64/ and x86/, as tools/build.sh ships them."""
    return _built(BUILD.parent / "x86" / "libhdhomerun.dll").parents[1]


@pytest.fixture(scope="session")
def programs() -> Path:
    """The small test programs of tests/programs (window_listener.exe, followup_probe.exe, ...)."""
    return BUILD / "tests" / "programs"


@pytest.fixture(scope="session", autouse=True)
def _template_cleanup():
    yield
    wineprefix.close_template()


@pytest.fixture
def prefix(libraries):
    """A fresh prefix (cloned from the run's template) without the program installed."""
    p = wineprefix.new_prefix(libraries)
    yield p
    p.close()


@pytest.fixture
def installed(prefix, exe):
    """Both copies installed and the PVR source folder present: (prefix, the 64-bit copy)."""
    return prefix, prefix.install(exe)


@pytest.fixture
def wow64(exe, exe32, libraries):
    """A WoW64 prefix (only under testbed/with-wine32.sh) with each build installed as its own copy
    and the 32-bit copy's PVR source folder; the 32-bit copy is `prefix.exe32`."""
    p = wineprefix.new_prefix(libraries, wow64=True)
    try:
        p.install(exe, ini_text=INI, exe32=exe32)
        yield p
    finally:
        p.close()


@pytest.fixture
def artifacts(request) -> Path:
    """A folder for screenshots and logs that outlive the test."""
    path = ARTIFACTS / request.node.name
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture
def xserver():
    with XServer() as server:
        yield server


@pytest.fixture(scope="module")
def station(exe, libraries, programs):
    """One prefix and one LAN for a whole test file; each test resets what it uses."""
    prefix = wineprefix.new_prefix(libraries)
    try:
        installed = prefix.install(exe, ini_text=INI)
        prefix.headless()  # the notice listener's window needs no display
        with Lan() as lan:
            yield Station(prefix, installed, lan, programs)
    finally:
        prefix.close()
