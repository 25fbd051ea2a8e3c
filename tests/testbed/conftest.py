"""Shared helpers for the test-bed tests (simulator, LAN, bridge)."""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
TESTBED = REPO / "testbed"
sys.path.insert(0, str(TESTBED))
sys.path.insert(0, str(TESTBED / "simulator"))

PYTHON = "/usr/bin/python3"
LIBPROBE = str(TESTBED / "simulator" / "libprobe.py")
BOXSIM = str(TESTBED / "simulator" / "boxsim.py")


def pytest_configure(config):
    config.addinivalue_line("markers", "scale: many boxes on one LAN (65); part of the normal run")
    config.addinivalue_line("markers", "wine: runs a PE program under wine64")


@pytest.fixture(scope="session")
def netns_ok():
    """Namespaces need root and iproute2; without them the LAN tests cannot run at all."""
    if os.geteuid() != 0:
        pytest.fail("network-namespace tests need root")
    if shutil.which("ip") is None:
        pytest.fail("iproute2 (ip) is not installed")
    if shutil.which("hdhomerun_config") is None:
        pytest.fail("hdhomerun_config (package hdhomerun-config) is not installed")


def probe(lan, *args, timeout=120):
    """libprobe.py in the program namespace; its JSON answer."""
    result = lan.run([PYTHON, LIBPROBE, *args], timeout=timeout)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def probe_parallel(lan, arg_lists, timeout=120):
    """Several libprobe runs at once (for cases that wait on library time-outs)."""
    procs = [subprocess.Popen(lan.exec_prefix() + [PYTHON, LIBPROBE, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for args in arg_lists]
    out = []
    for proc in procs:
        stdout, stderr = proc.communicate(timeout=timeout)
        assert proc.returncode == 0, stderr
        out.append(json.loads(stdout))
    return out


def timed_run(lan, args, timeout=120):
    start = time.monotonic()
    result = lan.run(args, timeout=timeout)
    return result, time.monotonic() - start


def discovered(lan):
    """{id text: address} from `hdhomerun_config discover`."""
    result = lan.run(["hdhomerun_config", "discover"])
    found = {}
    for line in result.stdout.splitlines():
        words = line.split()
        # "hdhomerun device 10A0000D found at 192.0.2.10"
        if len(words) == 6 and words[:2] == ["hdhomerun", "device"] and words[3:5] == ["found", "at"]:
            found[words[2]] = words[5]
    return found
