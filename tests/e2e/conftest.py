"""Fixtures for end-to-end tests of the real TavrixInstall.exe under Wine."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "testbed"))

from tavrix_testbed import wineprefix  # noqa: E402

BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", REPO / "build" / "x64")).resolve()
ARTIFACTS = Path(os.environ.get("TAVRIX_ARTIFACTS", REPO / "artifacts"))


@pytest.fixture(scope="session")
def exe() -> Path:
    path = BUILD / "TavrixInstall.exe"
    if not path.exists():
        pytest.fail(f"{path} is not built (run tools/build.sh)")
    return path


@pytest.fixture(scope="session")
def bridge_dir() -> Path:
    path = BUILD / "bridge"
    if not (path / "libhdhomerun.dll").exists():
        pytest.fail(f"the libhdhomerun bridge is not built in {path} (run tools/build.sh)")
    return path


@pytest.fixture(scope="session", autouse=True)
def _template_cleanup():
    yield
    wineprefix.close_template()


@pytest.fixture
def prefix(bridge_dir):
    """A fresh prefix (cloned from the run's template) without the program installed."""
    p = wineprefix.new_prefix(bridge_dir)
    yield p
    p.close()


@pytest.fixture
def installed(prefix, exe):
    """A fresh prefix with both copies installed and the PVR source folder present.

    Returns (prefix, path of the 64-bit copy)."""
    return prefix, prefix.install(exe)


@pytest.fixture
def artifacts(request) -> Path:
    """A folder for screenshots and logs that outlive the test."""
    path = ARTIFACTS / request.node.name
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture
def xserver():
    """A private Xvfb display for tests that need windows."""
    from tavrix_testbed.xserver import XServer

    with XServer() as server:
        yield server


@pytest.fixture(scope="session")
def programs() -> Path:
    """The small test programs of tests/programs (window_listener.exe, followup_probe.exe)."""
    return BUILD / "tests" / "programs"


@pytest.fixture
def isolated_netns():
    """A network namespace with only loopback: discovery inside it reaches no box and no other host."""
    import subprocess
    import uuid

    name = f"tavrix-iso-{os.getpid()}-{uuid.uuid4().hex[:6]}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
        yield name
    finally:
        subprocess.run(["ip", "netns", "delete", name])
