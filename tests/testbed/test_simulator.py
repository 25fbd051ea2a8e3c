"""The box simulator against the library's own client, hdhomerun_config: what it finds and reads
is what the program can rely on."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testbed"))

from tavrix_testbed.lan import Box, Lan, Tuner, nth_valid_device_id  # noqa: E402

A = Box(nth_valid_device_id(0), "192.0.2.10", "box-a", [Tuner("dvbc"), Tuner("dvbt", "192.0.2.77", False)])
B = Box(nth_valid_device_id(1), "192.0.2.11", None, [Tuner("M" * 300)])


def test_hdhomerun_config_discovers_and_reads_the_simulated_boxes():
    with Lan() as lan:
        lan.add_boxes([A, B])

        found = lan.run(["hdhomerun_config", "discover"]).stdout.splitlines()
        reads = {(box.id_text, var): lan.run(["hdhomerun_config", box.id_text, "get", var]).stdout.strip()
                 for box, var in [(A, "/tuner0/model"), (A, "/tuner1/owner"), (A, "/tuner0/available"),
                                  (A, "/tuner1/available"), (A, "/tuner2/model"), (B, "/tuner0/model")]}

    assert sorted(found) == ["hdhomerun device %s found at %s" % (b.id_text, b.ip) for b in (A, B)]
    assert reads == {
        (A.id_text, "/tuner0/model"): "dvbc",
        (A.id_text, "/tuner1/owner"): "192.0.2.77",
        (A.id_text, "/tuner0/available"): "1",
        (A.id_text, "/tuner1/available"): "ERROR: tuner in use",
        (A.id_text, "/tuner2/model"): "ERROR: unknown getset variable",
        (B.id_text, "/tuner0/model"): "M" * 300,  # a two-byte field length
    }
