"""What libhdhomerun itself returns for each box behaviour, through the calls the program makes
(hdhomerun_discover_find_devices_v2, hdhomerun_device_create_from_str, hdhomerun_device_set_tuner,
hdhomerun_device_get_var), driven by libprobe.py in the program namespace."""

import pytest

from conftest import probe, probe_parallel
from tavrix_testbed.lan import Box, Lan, Tuner, invalid_device_id, nth_valid_device_id

pytestmark = pytest.mark.usefixtures("netns_ok")

IDS = iter(nth_valid_device_id(40 + n) for n in range(40))
BOX_TWO = next(IDS)
BOX_LONG = next(IDS)
BOX_INVALID = invalid_device_id(41)
BOX_ERR = next(IDS)
BOX_SILENT_VAR = next(IDS)
BOX_SILENT = next(IDS)
BOX_SLOW = next(IDS)
BOX_VANISH = next(IDS)
BOX_NO_TUNERS = next(IDS)
CONTROL_GARBAGE = {kind: next(IDS) for kind in
                   ("random", "bad_crc", "truncated", "oversized", "bad_tlv", "wrong_type", "short")}
DISCOVER_GARBAGE = {kind: next(IDS) for kind in
                    ("random", "bad_crc", "truncated", "oversized", "bad_tlv", "wrong_type", "short")}
BOX_HIDDEN = next(IDS)
BOX_DISC_SLOW = next(IDS)
SLOW = 0.5
FIRST_IP = 10


def hex_id(device_id):
    return "%08X" % device_id


def all_boxes():
    dvbc = [Tuner("dvbc")]
    boxes = [
        Box(BOX_TWO, "", None, [Tuner("dvbc"), Tuner("dvbt", "192.0.2.77", available=False)]),
        Box(BOX_LONG, "", None, [Tuner("M" * 300, "O" * 300)]),
        Box(BOX_INVALID, "", None, dvbc, {"invalid_id": True}),
        Box(BOX_ERR, "", None, dvbc, {"error_vars": {"/tuner0/owner": "ERROR: no owner"}}),
        Box(BOX_SILENT_VAR, "", None, dvbc, {"silent_vars": ["/tuner0/model"]}),
        Box(BOX_SILENT, "", None, dvbc, {"silent": True}),
        Box(BOX_SLOW, "", None, dvbc, {"delay": SLOW}),
        Box(BOX_VANISH, "", None, dvbc, {"vanish_after": 1}),
        Box(BOX_NO_TUNERS, "", None, []),
        Box(BOX_HIDDEN, "", None, dvbc, {"discover_silent": True}),
        Box(BOX_DISC_SLOW, "", None, dvbc, {"discover_delay": 1.0}),
    ]
    boxes += [Box(i, "", None, dvbc, {"control_garbage": k}) for k, i in CONTROL_GARBAGE.items()]
    boxes += [Box(i, "", None, dvbc, {"discover_garbage": k}) for k, i in DISCOVER_GARBAGE.items()]
    for n, box in enumerate(boxes):
        box.ip = "192.0.2.%d" % (FIRST_IP + n)
    return boxes


@pytest.fixture(scope="module")
def lan():
    with Lan() as lan:
        lan.add_boxes(all_boxes())
        yield lan


def ip_of(lan, device_id):
    return lan.running_box(device_id).box.ip


class TestDiscovery:
    def test_finds_every_box_with_a_sound_reply(self, lan):
        result = probe(lan, "discover")
        hidden = {BOX_HIDDEN, BOX_DISC_SLOW, *DISCOVER_GARBAGE.values()}
        expected = {hex_id(b.device_id): b.ip for b in lan.boxes if b.device_id not in hidden}
        assert result["count"] == len(expected)
        assert {d["id"]: d["ip"] for d in result["devices"]} == expected
        by_id = {d["id"]: d for d in result["devices"]}
        assert by_id[hex_id(BOX_TWO)]["tuners"] == 2
        assert by_id[hex_id(BOX_NO_TUNERS)]["tuners"] == 0
        assert by_id[hex_id(BOX_TWO)]["device_type"] == 1
        assert by_id[hex_id(BOX_TWO)]["base_url"] == "http://%s:80" % ip_of(lan, BOX_TWO)
        assert 0.3 <= result["seconds"] < 2.0  # two sends, 200 ms of listening each

    def test_max_count_limits_the_list(self, lan):
        assert probe(lan, "discover", "3")["count"] == 3


class TestTunerScan:
    def test_two_tuner_box_as_the_program_reads_it(self, lan):
        report, = probe(lan, "scan", hex_id(BOX_TWO))
        assert report["created"]
        assert [(t["index"], t["model"], t["owner"]["value"], t["available"]) for t in report["tuners"]] == [
            (0, "dvbc", "", 1), (1, "dvbt", "192.0.2.77", 0)]
        assert (report["end"]["var"], report["end"]["result"], report["end"]["error"]) == (
            "/tuner2/model", 0, "ERROR: unknown getset variable")

    def test_box_without_tuners_ends_at_the_first_model_read(self, lan):
        report, = probe(lan, "scan", hex_id(BOX_NO_TUNERS))
        assert report["created"] and report["tuners"] == []
        assert report["end"]["result"] == 0

    def test_long_texts_arrive_whole(self, lan):
        report, = probe(lan, "scan", hex_id(BOX_LONG))
        assert report["tuners"][0]["model"] == "M" * 300
        assert report["tuners"][0]["owner"]["value"] == "O" * 300

    def test_invalid_id_cannot_be_opened(self, lan):
        report, = probe(lan, "scan", hex_id(BOX_INVALID))
        assert report["created"] is False

    def test_error_var_is_result_0_with_the_message(self, lan):
        report, = probe(lan, "scan", hex_id(BOX_ERR))
        owner = report["tuners"][0]["owner"]
        assert (owner["result"], owner["error"]) == (0, "ERROR: no owner")

    def test_slow_box_delays_each_read(self, lan):
        report = probe(lan, "get", hex_id(BOX_SLOW), "/tuner0/model", "/tuner0/owner")
        assert [(r["result"], r["value"]) for r in report["reads"]] == [(1, "dvbc"), (1, "")]
        assert all(r["seconds"] >= SLOW for r in report["reads"])

    def test_vanished_box_answers_then_fails(self, lan):
        report = probe(lan, "get", hex_id(BOX_VANISH), "/tuner0/model", "/tuner0/model")
        assert [r["result"] for r in report["reads"]] == [1, -1]
        assert not lan.box_running(BOX_VANISH)


class TestFailures:
    """Each case on its own box; the ones that wait for the library's time-outs run side by side."""

    CASES = [
        # (box, variable, expected result of get_var, shortest duration in seconds)
        (BOX_SILENT_VAR, "/tuner0/model", -1, 2.0),
        (BOX_SILENT, "/tuner0/model", -1, 2.0),
        (BOX_HIDDEN, "/tuner0/model", -1, 0.3),
        (BOX_DISC_SLOW, "/tuner0/model", -1, 0.3),
    ] + [(i, "/tuner0/model", -1, 0.0) for i in CONTROL_GARBAGE.values()] \
      + [(i, "/tuner0/model", -1, 0.3) for i in DISCOVER_GARBAGE.values()]

    def test_every_broken_answer_is_a_communication_failure(self, lan):
        reports = probe_parallel(lan, [["get", hex_id(box), var] for box, var, _, _ in self.CASES])
        got = [(r["id"], r["created"], r["reads"][0]["result"], r["reads"][0]["seconds"] >= least)
               for r, (_, _, _, least) in zip(reports, self.CASES)]
        assert got == [(hex_id(box), True, result, True) for box, _, result, _ in self.CASES]
        assert "get /tuner0/model: silent" in lan.box_log(BOX_SILENT)
        assert "get /tuner0/model: garbage:truncated" in lan.box_log(CONTROL_GARBAGE["truncated"])
