"""65 boxes on one LAN: more than one search of the program (64 records) can hold."""

import time

import pytest

from conftest import discovered, probe
from tavrix_testbed.lan import Box, Lan, Tuner, valid_device_ids

pytestmark = [pytest.mark.usefixtures("netns_ok"), pytest.mark.scale]

COUNT = 65


@pytest.fixture(scope="module")
def lan():
    boxes = [Box(device_id, "192.0.2.%d" % (10 + n), "box-%02d" % n, [Tuner("model-%02d" % n), Tuner("second")])
             for n, device_id in enumerate(valid_device_ids(COUNT))]
    with Lan() as lan:
        start = time.monotonic()
        lan.add_boxes(boxes)
        print("\n%d boxes started in %.2f s" % (COUNT, time.monotonic() - start))
        yield lan


def test_every_simulator_runs(lan):
    assert len(lan.boxes) == COUNT
    assert all(lan.box_running(b.device_id) for b in lan.boxes)


def test_library_finds_all_when_the_list_is_large_enough(lan):
    result = probe(lan, "discover", "128")
    assert result["count"] == COUNT
    assert {d["id"]: d["ip"] for d in result["devices"]} == {b.id_text: b.ip for b in lan.boxes}
    assert {d["tuners"] for d in result["devices"]} == {2}


def test_a_list_of_64_gets_64(lan):
    result = probe(lan, "discover", "64")
    assert result["count"] == 64
    assert len({d["id"] for d in result["devices"]}) == 64


def test_the_client_lists_at_most_64_real_boxes(lan):
    found = discovered(lan)
    everything = {b.id_text: b.ip for b in lan.boxes}
    assert len(found) == 64
    assert all(everything[i] == ip for i, ip in found.items())


def test_every_box_is_readable_by_id(lan):
    reports = probe(lan, "scan", *[b.id_text for b in lan.boxes], timeout=300)
    assert [(r["id"], [t["model"] for t in r["tuners"]]) for r in reports] == [
        (b.id_text, ["model-%02d" % n, "second"]) for n, b in enumerate(lan.boxes)]


def test_every_hostname_resolves_both_ways(lan):
    last = lan.boxes[-1]
    assert lan.run(["getent", "hosts", last.hostname]).stdout.split() == [last.ip, last.hostname]
    assert lan.run(["getent", "hosts", last.ip]).stdout.split() == [last.ip, last.hostname]
    assert lan.hosts_text().count("\tbox-") == COUNT
