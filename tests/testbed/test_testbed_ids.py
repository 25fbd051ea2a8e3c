"""Device ids: the checksum port agrees with libhdhomerun, and the id sequence is valid."""

import random

import pytest

from tavrix_testbed.simulator_config import (
    Box, Tuner, checksum_ok, invalid_device_id, is_valid_device_id, library_validates,
    nth_valid_device_id, valid_device_ids,
)


def test_library_is_loadable_through_ctypes():
    assert library_validates(0x10A0000D) is True


@pytest.mark.parametrize("device_id,valid", [
    (0x10A0000D, True), (0x10A00012, True), (0x1A2B3C46, True), (0x1A2B3C4D, False), (0x10A0000C, False)])
def test_known_ids(device_id, valid):
    assert library_validates(device_id) is valid
    assert checksum_ok(device_id) is valid


def test_port_agrees_with_the_library_on_many_ids():
    rng = random.Random(20220303)
    ids = [rng.getrandbits(32) for _ in range(20000)] + valid_device_ids(101)
    mismatches = [i for i in ids if checksum_ok(i) != library_validates(i)]
    assert mismatches == []


def test_nth_valid_id_sequence():
    ids = valid_device_ids(101)
    assert ids[0] == 0x10A0000D and ids[1] == 0x10A00012
    assert all(library_validates(i) for i in ids)
    assert ids == sorted(set(ids))
    assert nth_valid_device_id(100) == ids[100]


def test_invalid_id_fails_the_check():
    for n in range(20):
        assert not library_validates(invalid_device_id(n))


def test_box_demands_the_invalid_id_flag_to_match_its_id():
    Box(nth_valid_device_id(0), "192.0.2.10", None, [Tuner("x")]).validate()
    Box(invalid_device_id(0), "192.0.2.10", None, [Tuner("x")], {"invalid_id": True}).validate()
    with pytest.raises(ValueError):
        Box(invalid_device_id(0), "192.0.2.10", None, [Tuner("x")]).validate()
    with pytest.raises(ValueError):
        Box(nth_valid_device_id(0), "192.0.2.10", None, [Tuner("x")], {"invalid_id": True}).validate()


@pytest.mark.parametrize("ip", ["10.0.0.5", "198.51.100.7", "192.0.2.0", "192.0.2.255", "127.0.0.1"])
def test_box_address_must_be_a_lan_host(ip):
    with pytest.raises(ValueError):
        Box(nth_valid_device_id(0), ip, None, []).validate()


def test_is_valid_device_id_uses_the_library_verdict():
    assert is_valid_device_id(0x1A2B3C46) and not is_valid_device_id(0x1A2B3C4D)
