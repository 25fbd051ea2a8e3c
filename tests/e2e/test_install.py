"""Installation and removal by the real 64-bit TavrixInstall.exe under Wine: the filter
instances under both BDA categories, other products' instances and the 32-bit registry view
left alone, and the device-change notice as a window of another process sees it. The stored
list is imported with `reg`: `-i`, `-r` and `-R` need no LAN."""

from __future__ import annotations

import queue
import shutil
import subprocess
import threading

import pytest

RECEIVER = "{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}"
TUNER = "{71985F48-1CA1-11D3-9CC8-00C04F7971E0}"
TAVRIX = "{55994794-BB06-46B0-8C23-0CA89D30AFAD}"
# What the platform's mapper stores for version 1, MERIT_DO_NOT_USE and no pins.
FILTER_DATA = "02000000000020000000000000000000"
STORE = r"HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova"
BOX_A = ("10A0000D", ["2040:5200:ofdm", "dvbc"])
BOX_B = ("10A00012", ["qam256"])
FOREIGN = {"Other Tuner 1", "orva tavrix 1", "ORVA Tavri 1"}


def instance_key(category: str) -> str:
    return rf"HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{category}\Instance"


def ours(*boxes) -> set[str]:
    return {f"ORVA Tavrix {box_id}-{i}" for box_id, models in boxes for i in range(len(models))}


def import_reg(prefix, lines: list[str], view: int = 64):
    path = prefix.root / "import.reg"
    path.write_text("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]), encoding="latin-1")
    prefix.reg("import", "Z:" + str(path).replace("/", "\\"), f"/reg:{view}")


def stored(*boxes, flags: int | None = None) -> list[str]:
    """The stored list as the program saves it, replacing what was stored."""
    root = STORE + r"\Devices"
    lines = [f"[-{root}]"]
    for box_id, models in boxes:
        lines += [f"[{root}\\{box_id}]", '"Ip"="192.0.2.10"', f'"Name"="Zentrova@{box_id}"', f"[{root}\\{box_id}\\Tuners]"]
        for i, model in enumerate(models):
            lines += [f"[{root}\\{box_id}\\Tuners\\{i}]", f'"Id"="{box_id}-{i}"', f'"Model"="{model}"', '"Name"="T"']
    return lines + ([f"[{STORE}]", f'"Flags"=dword:{flags:08x}'] if flags is not None else [])


def foreign(name: str, clsid: str = "{0D1B2A3C-1111-2222-3333-444455556666}") -> list[str]:
    """An instance in both categories as another product's setup leaves it."""
    data = ",".join(FILTER_DATA[i:i + 2] for i in range(0, len(FILTER_DATA), 2))
    return [line for category in (RECEIVER, TUNER) for line in (
        f"[{instance_key(category)}\\{name}]", f'"FriendlyName"="{name}"', f'"CLSID"="{clsid}"', f'"FilterData"=hex:{data}')]


def registered(prefix, category: str, view: int = 64) -> dict[str, dict[str, str]]:
    """{instance name: {value name: data}} as `reg query /s` lists them."""
    out = prefix.reg("query", instance_key(category), "/s", f"/reg:{view}", check=False).stdout.decode("latin-1")
    found: dict[str, dict[str, str]] = {}
    for line in out.splitlines():
        if line.startswith("HKEY_") and "\\Instance\\" in line:
            values = found.setdefault(line.rsplit("\\", 1)[1], {})
        elif line.startswith("    "):
            name, _, data = (line.strip().split("    ") + [""])[:3]
            values[name] = data
    return found


def run(prefix, exe, option: str):
    result = prefix.run(exe, [option] if option else [], timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    return result


def test_every_tuner_is_registered_in_both_categories_of_the_64bit_view(installed):
    prefix, exe = installed
    import_reg(prefix, stored(BOX_A, BOX_B, flags=0x17))
    run(prefix, exe, "-i")
    for category in (RECEIVER, TUNER):
        assert registered(prefix, category) == {
            name: {"CLSID": TAVRIX, "FilterData": FILTER_DATA, "FriendlyName": name} for name in ours(BOX_A, BOX_B)}
        assert registered(prefix, category, view=32) == {}
    # The 64-bit copy completed its own share only.
    assert "0x15" in prefix.reg("query", STORE, "/v", "Flags").stdout.decode()


@pytest.mark.parametrize("option,listed", [("-r", (BOX_A,)), ("-R", ())], ids=["unlisted", "all"])
def test_uninstall_removes_only_our_unlisted_instances(installed, option, listed):
    prefix, exe = installed
    import_reg(prefix, stored(BOX_A, BOX_B))
    run(prefix, exe, "-i")
    import_reg(prefix, [line for name in FOREIGN for line in foreign(name)])
    import_reg(prefix, foreign("ORVA Tavrix 10A00012-0", TAVRIX), view=32)  # the 32-bit copy's
    (prefix.pvr_folder / "Zentrova 10A00012-0").mkdir()
    before = {category: registered(prefix, category) for category in (RECEIVER, TUNER)}
    before32 = registered(prefix, TUNER, view=32)
    import_reg(prefix, stored(*listed))

    run(prefix, exe, option)

    for category in (RECEIVER, TUNER):
        after = registered(prefix, category)
        assert set(after) == ours(*listed) | FOREIGN, category
        assert {name: after[name] for name in FOREIGN} == {name: before[category][name] for name in FOREIGN}
    assert registered(prefix, TUNER, view=32) == before32
    # Tuner folders are the 32-bit copy's to remove.
    assert (prefix.pvr_folder / "Zentrova 10A00012-0").is_dir()


class Listener:
    """window_listener.exe holding the single-instance mutex like a resident tray."""

    def __init__(self, prefix, programs):
        shutil.copy2(programs / "window_listener.exe", prefix.home64)
        self.process = prefix.start(prefix.home64 / "window_listener.exe", ["--hold-instance", "--seconds", "600"],
                                    env=prefix.env(WINEDEBUG="-all"), stdout=subprocess.PIPE, text=True)
        self.lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line.strip()) for line in self.process.stdout],
                         daemon=True).start()
        assert self.lines_until("ready") == []

    def lines_until(self, last: str, limit: float = 60) -> list[str]:
        """What the window reported before `last`."""
        seen = []
        try:
            while (line := self.lines.get(timeout=limit)) != last:
                seen.append(line)
        except queue.Empty:
            raise AssertionError(f"no {last!r} within {limit} s; seen {seen}") from None
        return seen


NOTICE = "devicechange 7 0"  # WM_DEVICECHANGE with DBT_DEVNODES_CHANGED
# The 64-bit program: Install reports success only for an empty list; its cleanup always counts.
NOTICE_STEPS = [("-i", (BOX_A,), 0), ("-i", (), 1), ("-r", (BOX_A,), 1), ("-R", (BOX_A,), 1)]


def test_device_change_notice_reaches_another_process_exactly_when_posted(installed, programs):
    prefix, exe = installed
    prefix.headless()
    listener = Listener(prefix, programs)
    try:
        for option, listed, notices in NOTICE_STEPS:
            import_reg(prefix, stored(*listed))
            run(prefix, exe, option)
            # A second start without options only announces itself: a message posted after the job's.
            run(prefix, exe, "")
            seen = listener.lines_until("instance-message")
            assert seen == [NOTICE] * notices, (option, listed, seen)
    finally:
        listener.process.kill()
