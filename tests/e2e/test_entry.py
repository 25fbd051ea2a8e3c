"""The command line of the real program: the four jobs by exact option, the usage text for
anything else, and the single-instance rule beside a resident copy."""

from __future__ import annotations

import re

import pytest

from station import CATEGORIES, FOUND, Listener, stored_text

USAGE = ("Cmdline: TavrixInstall [parameter]\n-I: detect and install\n-i: install\n-R: uninstall ALL\n"
         "-r: uninstall no longer available\n")
START = re.compile(r"^\[0x[0-9a-f]{8}\] CmdLine:(.*)  System:64Bit  Exe:64Bit  IsAdmin:yes\n$", re.S)
ORPHAN = "ORVA Tavrix 10A00012-0"  # an instance whose tuner is not listed
LISTED = "ORVA Tavrix 1A2B3C46-0"  # the instance of the stored tuner
FOUND_INSTANCE = "ORVA Tavrix %s-0" % FOUND.id_text
# Registered as the program does it, in both categories.
ORPHAN_KEY = "".join(f"""[{category}\\{ORPHAN}]
"CLSID"="{{55994794-BB06-46B0-8C23-0CA89D30AFAD}}"
"FriendlyName"="{ORPHAN}"
"FilterData"=hex:02,00,00,00,00,00,20,00,00,00,00,00,00,00,00,00
""" for category in CATEGORIES)

# Command-line tail -> filter instances left from {ORPHAN} with the tuner of the stored box
# listed and FOUND on the LAN; None: the usage text and nothing else.
OPTIONS = [
    pytest.param("-I", {ORPHAN, LISTED, FOUND_INSTANCE}, id="detect-and-install"),
    pytest.param("-i", {ORPHAN, LISTED}, id="install-stored"),
    pytest.param("-R", set(), id="uninstall-all"),
    pytest.param("-r", {LISTED}, id="uninstall-unlisted"),
    pytest.param("-x", None, id="unknown"),
    pytest.param("-i ", None, id="blank-after"),
    pytest.param("-Ix", None, id="characters-after"),
    pytest.param("/I", None, id="slash"),
    pytest.param("I", None, id="no-dash"),
]


def run_raw(station, programs, tail: str):
    """The program started with exactly `tail` after its name (no shell or wine64 quoting)."""
    prefix = station.prefix
    launcher = prefix.home64 / "launch_raw.exe"
    launcher.write_bytes((programs / "launch_raw.exe").read_bytes())
    result = prefix.run(launcher, [prefix.windows_path(station.exe)], netns=station.lan.program_ns,
                        env=prefix.env(TAVRIX_RAW_TAIL=tail), timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    return result


@pytest.mark.parametrize("tail,instances", OPTIONS)
def test_option_selects_its_job_or_logs_the_usage(station, programs, tail, instances):
    station.set_lan([FOUND])
    station.reset(stored_text() + ORPHAN_KEY)

    result = run_raw(station, programs, tail)

    assert START.match(result.log[0]).group(1) == tail, result.log
    if instances is None:
        assert result.log[1:] == [USAGE]
        assert station.instances() == {ORPHAN}
    else:
        assert USAGE not in result.log
        assert station.instances() == instances


@pytest.fixture(scope="module")
def resident(station, programs):
    listener = Listener(station.prefix, programs, hold_instance=True)
    yield listener
    listener.close()


# Beside a resident copy: job options of either case run; the rest only ask it to come forward.
@pytest.mark.parametrize("tail,runs", [("", False), ("-x", False), ("-I", True), ("-i", True), ("-r", True),
                                       ("-R", True)])
def test_beside_a_resident_copy(station, resident, programs, tail, runs):
    station.reset()

    result = run_raw(station, programs, tail)

    if runs:
        assert START.match(result.log[0]).group(1) == tail, result.log
    else:
        assert result.log == []  # it ended before its start line
        assert resident.next() == "instance-message"
