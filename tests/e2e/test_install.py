"""Installation and removal by the real 64-bit TavrixInstall.exe: the filter instances in both
BDA categories, other products' instances and the 32-bit registry view left alone, and the
device-change notice as another process sees it. Stored lists are imported: no LAN needed."""

import re

import pytest

from tavrix_testbed.listener import Listener
from tavrix_testbed.msi import query

CATEGORIES = RECEIVER, TUNER = "{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}", "{71985F48-1CA1-11D3-9CC8-00C04F7971E0}"
TAVRIX = "{55994794-BB06-46B0-8C23-0CA89D30AFAD}"
FILTER_DATA = "02000000000020000000000000000000"  # as the mapper stores version 1, MERIT_DO_NOT_USE, no pins
STORE = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova"
INSTANCES = r"HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{}\Instance"
BOX_A, BOX_B = ("10A0000D", 2), ("10A00012", 1)  # box Id, tuner count
FOREIGN = {"Other Tuner 1", "orva tavrix 1", "ORVA Tavri 1"}


def ours(*boxes) -> set[str]:
    return {f"ORVA Tavrix {box_id}-{i}" for box_id, count in boxes for i in range(count)}


def import_reg(prefix, lines: list[str], view: int = 64):
    path = prefix.root / "import.reg"
    path.write_text("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]), encoding="latin-1")
    prefix.reg("import", "Z:" + str(path).replace("/", "\\"), f"/reg:{view}")


def stored(*boxes, flags: int | None = None) -> list[str]:
    """The stored list as the program saves it, in place of what was stored."""
    lines = [rf"[-{STORE}\Devices]"] + ([f"[{STORE}]", f'"Flags"=dword:{flags:08x}'] if flags is not None else [])
    for box_id, count in boxes:
        key = rf"{STORE}\Devices\{box_id}"
        lines += [f"[{key}]", f'"Name"="Zentrova@{box_id}"']
        for i in range(count):
            lines += [rf"[{key}\Tuners\{i}]", f'"Id"="{box_id}-{i}"', '"Model"="2040:5200:ofdm"', '"Name"="T"']
    return lines


def foreign(name: str, clsid: str = "{0D1B2A3C-1111-2222-3333-444455556666}") -> list[str]:
    """An instance in both categories as another product's setup leaves it."""
    return [line for category in CATEGORIES for line in (f"[{INSTANCES.format(category)}\\{name}]",
            f'"FriendlyName"="{name}"', f'"CLSID"="{clsid}"', '"FilterData"=hex:02,00,00,00,00,00,20,00')]


def registered(prefix, category: str, view: int = 64) -> dict[str, dict[str, str]]:  # name: {value: data}
    out = query(prefix, INSTANCES.format(category), view)
    return {name: dict(re.findall(r"    (\S+)    \S+    (.*)\r", values))
            for name, values in re.findall(r"\\Instance\\(.+)\r\n((?:    .*\r\n)*)", out)}


def run(prefix, exe, *args: str):
    result = prefix.run(exe, list(args), timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]


@pytest.mark.parametrize("option,listed", [("-r", (BOX_A,)), ("-R", ())], ids=["unlisted", "all"])
def test_install_then_uninstall_of_our_unlisted_instances_only(installed, option, listed):
    prefix, exe = installed
    import_reg(prefix, stored(BOX_A, BOX_B, flags=0x17))
    run(prefix, exe, "-i")
    for category in CATEGORIES:  # every tuner, in both categories of the 64-bit view
        assert registered(prefix, category) == {
            name: {"CLSID": TAVRIX, "FilterData": FILTER_DATA, "FriendlyName": name} for name in ours(BOX_A, BOX_B)}
    # The 64-bit copy completed its own share only.
    assert "0x15" in prefix.reg("query", STORE, "/v", "Flags").stdout.decode()
    import_reg(prefix, [line for name in FOREIGN for line in foreign(name)])
    import_reg(prefix, foreign("ORVA Tavrix 10A00012-0", TAVRIX), view=32)  # the 32-bit copy's
    (prefix.pvr_folder / "Zentrova 10A00012-0").mkdir()
    before = {category: registered(prefix, category) for category in CATEGORIES}
    import_reg(prefix, stored(*listed))

    run(prefix, exe, option)

    for category in CATEGORIES:
        after = registered(prefix, category)
        assert set(after) == ours(*listed) | FOREIGN, category
        assert {name: after[name] for name in FOREIGN} == {name: before[category][name] for name in FOREIGN}
        assert set(registered(prefix, category, view=32)) == {"ORVA Tavrix 10A00012-0"}
    # Tuner folders are the 32-bit copy's to remove.
    assert (prefix.pvr_folder / "Zentrova 10A00012-0").is_dir()


NOTICE = "devicechange 7 0"  # WM_DEVICECHANGE with DBT_DEVNODES_CHANGED
# The 64-bit program: Install reports success only for an empty list; its cleanup always counts.
NOTICE_STEPS = [("-i", (BOX_A,), 0), ("-i", (), 1), ("-r", (BOX_A,), 1), ("-R", (BOX_A,), 1)]


def test_device_change_notice_reaches_another_process_exactly_when_posted(installed, programs):
    prefix, exe = installed
    prefix.headless()
    # The listener holds the single-instance mutex like a resident tray; its start boots the session.
    listener = Listener(prefix, programs, hold_instance=True, start_limit=120)
    try:
        for option, listed, notices in NOTICE_STEPS:
            import_reg(prefix, stored(*listed))
            run(prefix, exe, option)
            # A start without options then only announces itself, with a message posted after the job's.
            run(prefix, exe)
            assert listener.until("instance-message") == [NOTICE] * notices, (option, listed)
    finally:
        listener.close()
