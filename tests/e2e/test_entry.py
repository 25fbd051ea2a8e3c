"""The executable itself: PE properties, command line, start line, single instance."""

from __future__ import annotations

import re
import subprocess
import time
from pathlib import Path

import pefile
import pytest

from conftest import BUILD, REPO

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
    "comctl32.dll", "ws2_32.dll", "version.dll", "msvcrt.dll", "shlwapi.dll",
}
HDHOMERUN_FUNCTIONS = {
    "hdhomerun_discover_create", "hdhomerun_discover_destroy", "hdhomerun_discover_find_devices_v2",
    "hdhomerun_device_create_from_str", "hdhomerun_device_destroy", "hdhomerun_device_set_tuner",
    "hdhomerun_device_get_var",
}
USAGE = ("Cmdline: TavrixInstall [parameter]\n-I: detect and install\n-i: install\n-R: uninstall ALL\n"
         "-r: uninstall no longer available\n")
START_LINE = re.compile(r"^\[0x([0-9a-f]{8})\] CmdLine:(.*)  System:(64|32)Bit  Exe:(64|32)Bit  IsAdmin:(yes|no)\n$",
                        re.S)


def executables():
    return [pytest.param((BUILD / "TavrixInstall.exe", 0x8664), id="x64"),
            pytest.param((BUILD.parent / "x86" / "TavrixInstall.exe", 0x14C), id="x86")]


@pytest.fixture(params=executables())
def pe(request):
    path, machine = request.param
    if not path.exists():
        pytest.fail(f"{path} is not built (tools/build.sh builds both)")
    image = pefile.PE(str(path))
    assert image.FILE_HEADER.Machine == machine
    yield image
    image.close()


class TestPortableExecutable:
    def test_gui_subsystem(self, pe):
        assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]

    def test_imports_only_system_dlls_and_libhdhomerun(self, pe):
        imports = {entry.dll.decode().lower(): entry for entry in pe.DIRECTORY_ENTRY_IMPORT}
        assert "libhdhomerun.dll" in imports
        assert set(imports) - {"libhdhomerun.dll"} <= SYSTEM_DLLS, sorted(imports)
        names = {i.name.decode() for i in imports["libhdhomerun.dll"].imports}
        assert names == HDHOMERUN_FUNCTIONS

    def test_version_block(self, pe):
        fixed = pe.VS_FIXEDFILEINFO[0]
        assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 0x00000009)
        assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010000, 0x00000009)
        strings = {}
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        assert strings["CompanyName"] == "ORVA Systems"
        assert strings["ProductName"] == "Zentrova"
        assert strings["FileDescription"] == "Tavrix Install"
        assert strings["InternalName"] == "TavrixInstall"
        assert strings["OriginalFilename"] == "TavrixInstall.exe"
        assert strings["FileVersion"] == "1, 0, 0, 9"
        assert strings["ProductVersion"] == "1, 0, 0, 9"
        assert strings["LegalCopyright"]

    def _resources(self, pe, type_id):
        for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id == type_id:
                return entry.directory.entries
        return []

    def test_manifest_runs_as_invoker_on_vista_and_7(self, pe):
        (manifest,) = self._resources(pe, 24)
        data_entry = manifest.directory.entries[0].data.struct
        text = pe.get_data(data_entry.OffsetToData, data_entry.Size).decode()
        assert re.search(r'requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"', text)
        assert "{e2011457-1546-43c5-a5fe-008deee3d3f0}" in text  # Windows Vista
        assert "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}" in text  # Windows 7

    def test_icon_groups(self, pe):
        groups = {entry.id for entry in self._resources(pe, 14)}
        assert groups == {100, 101, 102}


def run_raw(prefix, exe: Path, programs: Path, tail: str, netns: str | None = None):
    """Runs the program with exactly `tail` after its name on the command line."""
    launcher = prefix.home64 / "launch_raw.exe"
    if not launcher.exists():
        launcher.write_bytes((programs / "launch_raw.exe").read_bytes())
    env = prefix.env(TAVRIX_RAW_TAIL=tail, WINEDEBUG="-all,warn+debugstr")
    return prefix.run(launcher, [prefix.windows_path(exe)], env=env, netns=netns)


class TestCommandLine:
    @pytest.mark.parametrize("tail", ["-x", "-i ", "-Ix", "/I", "-ii", "I"])
    def test_unknown_options_log_only_the_usage_text(self, installed, programs, tail):
        prefix, exe = installed
        result = run_raw(prefix, exe, programs, tail)
        assert result.returncode == 0
        assert len(result.log) == 2, result.log
        assert START_LINE.match(result.log[0]).group(2) == tail
        assert result.log[1] == USAGE

    def test_start_line_has_handle_command_line_bitness_and_admin(self, installed, programs):
        prefix, exe = installed
        result = run_raw(prefix, exe, programs, "-x")
        match = START_LINE.match(result.log[0])
        assert match, result.log[0]
        handle, command_line, system, exe_bits, admin = match.groups()
        image = pefile.PE(str(exe), fast_load=True)
        assert int(handle, 16) == image.OPTIONAL_HEADER.ImageBase & 0xFFFFFFFF
        assert (command_line, system, exe_bits, admin) == ("-x", "64", "64", "yes")

    def test_uninstall_all_with_empty_store_runs_its_job_and_exits_zero(self, installed, isolated_netns):
        prefix, exe = installed
        result = prefix.run(exe, "-R", netns=isolated_netns)
        assert result.returncode == 0
        assert START_LINE.match(result.log[0]).group(2) == "-R"
        assert USAGE not in result.log


class TestSingleInstance:
    @pytest.fixture
    def running_copy(self, installed, programs, xserver):
        """A process that holds the single-instance mutex and listens for the instance message."""
        prefix, exe = installed
        listener = prefix.home64 / "window_listener.exe"
        listener.write_bytes((programs / "window_listener.exe").read_bytes())
        process = prefix.start(listener, ["--hold-instance", "--seconds", "60"],
                               env=xserver.env(prefix.env(WINEDEBUG="-all")),
                               stdout=subprocess.PIPE, text=True)
        assert process.stdout.readline().strip() == "ready"
        yield prefix, exe, process, xserver
        process.kill()
        process.wait()

    def _wait_for_line(self, process, expected, timeout=20.0):
        deadline = time.monotonic() + timeout
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(process.stdout, selectors.EVENT_READ)
        while time.monotonic() < deadline:
            if sel.select(timeout=0.5):
                line = process.stdout.readline().strip()
                if line == expected:
                    return True
        return False

    def test_second_tray_start_broadcasts_and_ends(self, running_copy):
        prefix, exe, listener, xserver = running_copy
        result = prefix.run(exe, "", env=xserver.env(prefix.env()), wait=False)
        assert result.returncode == 0
        assert result.log == []  # no start line: it ended before COM and logging
        assert self._wait_for_line(listener, "instance-message")

    def test_unknown_option_beside_a_running_copy_only_broadcasts(self, running_copy, programs):
        prefix, exe, listener, xserver = running_copy
        result = prefix.run(exe, "-x", env=xserver.env(prefix.env()), wait=False)
        assert result.returncode == 0
        assert result.log == []
        assert self._wait_for_line(listener, "instance-message")

    def test_job_option_beside_a_running_copy_runs_its_job(self, running_copy, isolated_netns):
        prefix, exe, listener, xserver = running_copy
        result = prefix.run(exe, "-I", netns=isolated_netns, env=xserver.env(prefix.env()), wait=False)
        assert result.returncode == 0
        assert START_LINE.match(result.log[0]).group(2) == "-I"
