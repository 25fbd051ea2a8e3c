"""The stored device list as the real executable treats it: "-R" empties it."""

from __future__ import annotations

ROOT = r"HKCU\SOFTWARE\ORVA Systems\Zentrova"
DEVICES = ROOT + r"\Devices"
EXPORTED_ROOT = r"[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova]"
EXPORTED_DEVICES = r"[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices"
DELETE_FAILED = "Registry access - delete devices failed!"

# Two boxes, a box without tuners, a tuner with a deeper hand-made key, and Flags.
STORED_LIST = r"""REGEDIT4

[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova]
"Flags"=dword:00000005

[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices\10A0000D]
"Ip"="192.0.2.10"
"Name"="Zentrova@box-a"
"Modified"=dword:00000080

[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices\10A0000D\Tuners\0]
"Id"="10A0000D-0"
"Model"="zx-dual"
"Name"="Zentrova Dual"
"Owner"="viewer-pc"

[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices\10A0000D\Tuners\1\extra\deeper]
"Note"="x"

[HKEY_CURRENT_USER\SOFTWARE\ORVA Systems\Zentrova\Devices\10A00012\Tuners]

"""


def store_list(prefix):
    path = prefix.root / "stored-list.reg"
    path.write_bytes(STORED_LIST.replace("\n", "\r\n").encode("latin-1"))
    prefix.reg("import", "Z:" + str(path).replace("/", "\\"))
    export = prefix.reg_export(ROOT)
    assert EXPORTED_DEVICES + r"\10A0000D\Tuners\1\extra\deeper]" in export
    assert EXPORTED_DEVICES + r"\10A00012\Tuners]" in export


class TestUninstallAllEmptiesTheStore:
    def test_first_run_deletes_the_tree_and_creates_nothing(self, installed):
        prefix, exe = installed
        store_list(prefix)

        result = prefix.run(exe, "-R")

        assert result.returncode == 0
        assert DELETE_FAILED not in result.log, result.log
        export = prefix.reg_export(ROOT)
        # The product key and its Flags stay (a 64-bit program never changes Flags);
        # nothing of the list is left or made again.
        assert EXPORTED_ROOT in export
        assert '"Flags"=dword:00000005' in export
        assert EXPORTED_DEVICES not in export
        assert "10A0000D" not in export

    def test_second_run_logs_the_missing_tree(self, installed):
        prefix, exe = installed
        store_list(prefix)
        first = prefix.run(exe, "-R")
        assert first.returncode == 0
        assert DELETE_FAILED not in first.log, first.log

        second = prefix.run(exe, "-R")

        assert second.returncode == 0
        assert second.log.count(DELETE_FAILED) == 1, second.log
        export = prefix.reg_export(ROOT)
        assert EXPORTED_ROOT in export
        assert EXPORTED_DEVICES not in export

    def test_without_a_product_key_the_run_leaves_only_the_empty_root(self, installed):
        prefix, exe = installed

        result = prefix.run(exe, "-R")

        assert result.returncode == 0
        assert result.log.count(DELETE_FAILED) == 1, result.log
        export = prefix.reg_export(ROOT)
        assert EXPORTED_ROOT in export
        assert EXPORTED_DEVICES not in export
        assert '"Flags"' not in export
