"""The library's own client, hdhomerun_config, against simulated boxes in the program namespace."""

import pytest

from conftest import discovered, timed_run
from tavrix_testbed.lan import Box, Lan, Tuner, invalid_device_id, nth_valid_device_id

pytestmark = pytest.mark.usefixtures("netns_ok")

IDS = [nth_valid_device_id(20 + n) for n in range(12)]
BOX_A, BOX_LONG, BOX_ERR, BOX_SLOW, BOX_SILENT_VAR, BOX_HIDDEN, BOX_DISC_SLOW, BOX_DISC_GARBAGE, BOX_VANISH = IDS[:9]
BOX_INVALID = invalid_device_id(30)
SLOW = 0.6
LONG_MODEL = "M" * 299 + "m"
LONG_OWNER = "O" * 299 + "o"


def hex_id(device_id):
    return "%08X" % device_id


@pytest.fixture(scope="module")
def lan():
    with Lan() as lan:
        dvbc = [Tuner("dvbc")]
        lan.add_boxes([
            Box(BOX_A, "192.0.2.10", "box-a", [Tuner("dvbc"), Tuner("dvbt", "192.0.2.77", available=False)]),
            Box(BOX_LONG, "192.0.2.11", None, [Tuner(LONG_MODEL, LONG_OWNER)]),
            Box(BOX_INVALID, "192.0.2.12", None, dvbc, {"invalid_id": True}),
            Box(BOX_ERR, "192.0.2.13", None, dvbc, {"error_vars": ["/tuner0/model"]}),
            Box(BOX_SLOW, "192.0.2.14", None, dvbc, {"delay": SLOW}),
            Box(BOX_SILENT_VAR, "192.0.2.15", None, dvbc, {"silent_vars": ["/tuner0/owner"]}),
            Box(BOX_HIDDEN, "192.0.2.16", None, dvbc, {"discover_silent": True}),
            Box(BOX_DISC_SLOW, "192.0.2.17", None, dvbc, {"discover_delay": 1.0}),
            Box(BOX_DISC_GARBAGE, "192.0.2.18", None, dvbc, {"discover_garbage": "bad_crc"}),
        ])
        yield lan


def get(lan, target, name):
    result = lan.run(["hdhomerun_config", target, "get", name])
    return result.returncode, result.stdout.rstrip("\n"), result.stderr.strip()


class TestDiscovery:
    def test_lists_every_answering_box_with_id_and_address(self, lan):
        assert discovered(lan) == {
            hex_id(BOX_A): "192.0.2.10",
            hex_id(BOX_LONG): "192.0.2.11",
            hex_id(BOX_INVALID): "192.0.2.12",
            hex_id(BOX_ERR): "192.0.2.13",
            hex_id(BOX_SLOW): "192.0.2.14",
            hex_id(BOX_SILENT_VAR): "192.0.2.15",
        }

    @pytest.mark.parametrize("device_id,ip,logged", [
        (BOX_HIDDEN, "192.0.2.16", ": silent"),
        (BOX_DISC_SLOW, "192.0.2.17", ": reply"),
        (BOX_DISC_GARBAGE, "192.0.2.18", ": reply garbage:bad_crc"),
    ])
    def test_box_without_usable_discovery_reply_cannot_be_reached(self, lan, device_id, ip, logged):
        # The library locates a box by a discovery request even when given its
        # address, so neither way gets through; the box did see the requests.
        assert get(lan, hex_id(device_id), "/tuner0/model") == (1, "", "unable to connect to device")
        assert get(lan, ip, "/tuner0/model") == (1, "", "unable to connect to device")
        log = lan.box_log(device_id)
        assert "discover from 192.0.2.2:" in log and logged in log
        assert " get " not in log


class TestGet:
    @pytest.mark.parametrize("device_id,name,value", [
        (BOX_A, "/tuner0/model", "dvbc"),
        (BOX_A, "/tuner1/model", "dvbt"),
        (BOX_A, "/tuner0/owner", ""),
        (BOX_A, "/tuner1/owner", "192.0.2.77"),
        (BOX_A, "/tuner0/available", "1"),
        (BOX_A, "/sys/model", "zentrova"),
        (BOX_LONG, "/tuner0/model", LONG_MODEL),
        (BOX_LONG, "/tuner0/owner", LONG_OWNER),
    ])
    def test_value(self, lan, device_id, name, value):
        assert get(lan, hex_id(device_id), name) == (0, value, "")

    @pytest.mark.parametrize("device_id,name,error", [
        (BOX_A, "/tuner2/model", "ERROR: unknown getset variable"),
        (BOX_A, "/tuner1/available", "ERROR: tuner in use"),
        (BOX_A, "/no/such/thing", "ERROR: unknown getset variable"),
        (BOX_ERR, "/tuner0/model", "ERROR: unknown getset variable"),
    ])
    def test_error_reply(self, lan, device_id, name, error):
        assert get(lan, hex_id(device_id), name) == (1, error, "")

    def test_error_var_leaves_other_variables_alone(self, lan):
        assert get(lan, hex_id(BOX_ERR), "/tuner0/available") == (0, "1", "")

    def test_box_with_hostname_is_also_reachable_by_name(self, lan):
        assert get(lan, "box-a", "/tuner1/model") == (0, "dvbt", "")


class TestMisbehaviour:
    def test_invalid_id_is_refused_but_the_box_answers_by_address(self, lan):
        assert get(lan, hex_id(BOX_INVALID), "/tuner0/model") == (
            1, "", "invalid device id: %s" % hex_id(BOX_INVALID))
        assert get(lan, "192.0.2.12", "/tuner0/model") == (0, "dvbc", "")

    def test_slow_box_answers_after_its_delay(self, lan):
        before = lan.box_log(BOX_SLOW).count(" get ")
        result, seconds = timed_run(lan, ["hdhomerun_config", hex_id(BOX_SLOW), "get", "/tuner0/model"])
        requests = lan.box_log(BOX_SLOW).count(" get ") - before
        assert result.stdout.strip() == "dvbc"
        assert requests == 2  # the client asks for /sys/model first
        assert seconds >= requests * SLOW

    def test_silent_variable_times_out_and_the_box_keeps_serving(self, lan):
        result, seconds = timed_run(lan, ["hdhomerun_config", hex_id(BOX_SILENT_VAR), "get", "/tuner0/owner"])
        assert result.returncode == 1
        assert result.stderr.strip() == "communication error sending request to hdhomerun device"
        assert seconds >= 2.0
        assert get(lan, hex_id(BOX_SILENT_VAR), "/tuner0/model") == (0, "dvbc", "")


def test_vanished_box_stops_answering():
    with Lan() as lan:
        lan.add_box(Box(BOX_VANISH, "192.0.2.20", None, [Tuner("dvbc")], {"vanish_after": 3}))
        assert get(lan, hex_id(BOX_VANISH), "/tuner0/model") == (0, "dvbc", "")  # requests 1, 2
        assert lan.box_running(BOX_VANISH)
        # Request 3 (/sys/model) is answered, then the box is gone before /tuner0/model.
        code, out, err = get(lan, hex_id(BOX_VANISH), "/tuner0/model")
        assert code == 1 and out == ""
        assert "vanish after 3 requests" in lan.box_log(BOX_VANISH)
        lan.running_box(BOX_VANISH).process.wait(timeout=5)
        assert not lan.box_running(BOX_VANISH)
        assert discovered(lan) == {}
        assert get(lan, "192.0.2.20", "/tuner0/model")[0] == 1
