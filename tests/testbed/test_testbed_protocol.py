"""The simulator's wire format and answers, without namespaces (loopback only)."""

import json
import socket
import struct
import subprocess
import time
import zlib

import pytest

import boxsim
from conftest import BOXSIM, PYTHON
from tavrix_testbed.simulator_config import nth_valid_device_id

# A discovery request exactly as `hdhomerun_config discover` sends it (seen with strace):
# type 2, 12 payload bytes, device type and id both wildcard, CRC little-endian.
LIBRARY_DISCOVER_REQUEST = (b"\x00\x02\x00\x0c\x01\x04\xff\xff\xff\xff\x02\x04\xff\xff\xff\xff"
                            b"s\xcc}\x8f")

BOX_ID = nth_valid_device_id(3)


class TestWireFormat:
    def test_varlen_is_one_byte_up_to_127_and_two_bytes_above(self):
        assert boxsim.encode_varlen(0) == b"\x00"
        assert boxsim.encode_varlen(127) == b"\x7f"
        assert boxsim.encode_varlen(128) == b"\x80\x01"
        assert boxsim.encode_varlen(300) == bytes([(300 & 0x7F) | 0x80, 300 >> 7])

    def test_request_bytes_equal_the_librarys_own(self):
        assert boxsim.discover_request(boxsim.WILDCARD, boxsim.WILDCARD) == LIBRARY_DISCOVER_REQUEST

    def test_crc_is_zlib_crc32_little_endian_over_header_and_payload(self):
        frame = boxsim.seal(boxsim.TYPE_GETSET_RPY, b"abc")
        assert frame[:4] == b"\x00\x05\x00\x03"
        assert struct.unpack("<I", frame[-4:])[0] == zlib.crc32(b"\x00\x05\x00\x03abc")

    def test_tlv_round_trip_with_long_value(self):
        payload = boxsim.encode_tlv(boxsim.TAG_GETSET_NAME, b"x" * 300) + boxsim.encode_tlv(0x10, b"\x02")
        assert boxsim.decode_tlvs(payload) == [(boxsim.TAG_GETSET_NAME, b"x" * 300), (0x10, b"\x02")]

    @pytest.mark.parametrize("payload", [b"\x03", b"\x03\x05ab", b"\x03\x85"])
    def test_tlv_running_past_the_payload_is_rejected(self, payload):
        with pytest.raises(ValueError):
            boxsim.decode_tlvs(payload)

    def test_open_frame_rejects_a_wrong_crc(self):
        frame = bytearray(boxsim.seal(4, b""))
        frame[-1] ^= 1
        with pytest.raises(ValueError):
            boxsim.open_frame(bytes(frame))


class TestGarbage:
    GOOD = boxsim.seal(boxsim.TYPE_GETSET_RPY, boxsim.encode_tlv(boxsim.TAG_GETSET_NAME, b"/tuner0/model\0")
                       + boxsim.encode_tlv(boxsim.TAG_GETSET_VALUE, b"dvbc\0"))

    def broken(self, kind):
        import random
        return boxsim.garbage(kind, self.GOOD, random.Random(1))

    @pytest.mark.parametrize("kind", ["random", "bad_crc", "truncated", "short"])
    def test_frame_does_not_open(self, kind):
        with pytest.raises(ValueError):
            boxsim.open_frame(self.broken(kind))

    def test_oversized_exceeds_the_largest_packet(self):
        frame = self.broken("oversized")
        assert len(frame) > boxsim.MAX_PACKET_SIZE
        assert boxsim.open_frame(frame)[0] == boxsim.TYPE_GETSET_RPY  # well-formed, only too big

    def test_bad_tlv_has_valid_crc_but_fields_do_not_parse(self):
        ptype, payload = boxsim.open_frame(self.broken("bad_tlv"))
        assert ptype == boxsim.TYPE_GETSET_RPY
        with pytest.raises(ValueError):
            boxsim.decode_tlvs(payload)

    def test_wrong_type_swaps_reply_types(self):
        assert boxsim.open_frame(self.broken("wrong_type"))[0] == boxsim.TYPE_DISCOVER_RPY


class TestBoxModel:
    def model(self, **extra):
        config = {"device_id": BOX_ID, "tuners": [
            {"model": "dvbc", "owner": None, "available": True},
            {"model": "dvbt", "owner": "192.0.2.77", "available": False}]}
        config.update(extra)
        return boxsim.BoxModel(config)

    def test_tuner_variables(self):
        m = self.model()
        assert m.lookup("/tuner0/model") == ("dvbc", None)
        assert m.lookup("/tuner1/model") == ("dvbt", None)
        assert m.lookup("/tuner0/owner") == ("", None)
        assert m.lookup("/tuner1/owner") == ("192.0.2.77", None)
        assert m.lookup("/tuner0/available") == ("1", None)
        assert m.lookup("/tuner1/available") == (None, boxsim.ERR_IN_USE)
        assert m.lookup("/tuner2/model") == (None, boxsim.ERR_UNKNOWN)
        assert m.lookup("/sys/model") == ("zentrova", None)
        assert m.lookup("/tunerx/model") == (None, boxsim.ERR_UNKNOWN)

    def test_error_vars_override_known_variables(self):
        m = self.model(misbehave={"error_vars": {"/tuner0/model": "ERROR: busy"}})
        assert m.lookup("/tuner0/model") == (None, "ERROR: busy")
        assert m.lookup("/tuner1/model") == ("dvbt", None)

    def test_set_is_refused(self):
        frame, value, error = self.model().getset_reply("/tuner0/owner", "192.0.2.5")
        assert (value, error) == (None, boxsim.ERR_READ_ONLY)
        fields = boxsim.decode_tlvs(boxsim.open_frame(frame)[1])
        assert (boxsim.TAG_ERROR_MESSAGE, b"ERROR: permission denied\0") in fields

    @pytest.mark.parametrize("device_type,device_id,match", [
        (boxsim.WILDCARD, boxsim.WILDCARD, True),
        (1, BOX_ID, True),
        (5, boxsim.WILDCARD, False),
        (1, nth_valid_device_id(4), False),
    ])
    def test_discovery_filters(self, device_type, device_id, match):
        request = boxsim.discover_request(device_type, device_id)
        assert self.model().matches_discovery(boxsim.decode_tlvs(boxsim.open_frame(request)[1])) is match

    def test_unknown_misbehaviour_is_refused(self):
        with pytest.raises(ValueError):
            self.model(misbehave={"slowly": 1})


@pytest.fixture
def loopback_box():
    """Start boxsim on 127.0.0.1 with free ports; yields (process, udp port, tcp port)."""
    procs = []

    def start(**config):
        config.setdefault("device_id", BOX_ID)
        config.setdefault("tuners", [{"model": "dvbc", "owner": None, "available": True}])
        config.update(bind="127.0.0.1", port=0)
        proc = subprocess.Popen([PYTHON, BOXSIM, "--config-json", json.dumps(config)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        words = proc.stdout.readline().split()
        assert words[:2] == ["READY", "%08X" % config["device_id"]], proc.stderr.read()
        return proc, int(words[2][4:]), int(words[3][4:])

    yield start
    for proc in procs:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def udp_exchange(port, request, wait=0.5):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(wait)
        sock.sendto(request, ("127.0.0.1", port))
        try:
            return sock.recvfrom(4096)[0]
        except socket.timeout:
            return None


def read_frame(sock):
    buf = b""
    while True:
        size = boxsim.frame_size(buf)
        if size is not None and len(buf) >= size:
            return buf[:size]
        chunk = sock.recv(4096)
        if not chunk:
            return buf or None
        buf += chunk


def tcp_get(port, *names, timeout=3.0):
    """[(tag dict or None)] for each name, on one connection."""
    out = []
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        for name in names:
            try:
                sock.sendall(boxsim.getset_request(name))
            except (BrokenPipeError, ConnectionResetError):
                out.append("closed")
                continue
            try:
                frame = read_frame(sock)
            except socket.timeout:
                out.append(None)
                continue
            except ConnectionResetError:  # closed with our request still unread
                frame = None
            if frame is None:
                out.append("closed")
                continue
            ptype, payload = boxsim.open_frame(frame)
            assert ptype == boxsim.TYPE_GETSET_RPY
            out.append(dict(boxsim.decode_tlvs(payload)))
    return out


class TestSimulatorOnLoopback:
    def test_discovery_reply_carries_type_id_and_tuner_count(self, loopback_box):
        _, udp, _ = loopback_box(tuners=[{"model": "a"}, {"model": "b"}, {"model": "c"}])
        ptype, payload = boxsim.open_frame(udp_exchange(udp, LIBRARY_DISCOVER_REQUEST))
        fields = dict(boxsim.decode_tlvs(payload))
        assert ptype == boxsim.TYPE_DISCOVER_RPY
        assert struct.unpack(">I", fields[boxsim.TAG_DEVICE_TYPE])[0] == 1
        assert struct.unpack(">I", fields[boxsim.TAG_DEVICE_ID])[0] == BOX_ID
        assert fields[boxsim.TAG_TUNER_COUNT] == b"\x03"

    def test_discovery_for_another_id_gets_no_reply(self, loopback_box):
        _, udp, _ = loopback_box()
        assert udp_exchange(udp, boxsim.discover_request(1, nth_valid_device_id(9)), wait=0.3) is None
        assert udp_exchange(udp, boxsim.discover_request(1, BOX_ID)) is not None

    def test_get_replies_name_and_value_or_error(self, loopback_box):
        _, _, tcp = loopback_box(tuners=[{"model": "M" * 300, "owner": "O" * 300}])
        model, owner, missing = tcp_get(tcp, "/tuner0/model", "/tuner0/owner", "/tuner1/model")
        assert model[boxsim.TAG_GETSET_NAME] == b"/tuner0/model\0"
        assert model[boxsim.TAG_GETSET_VALUE] == b"M" * 300 + b"\0"
        assert owner[boxsim.TAG_GETSET_VALUE] == b"O" * 300 + b"\0"
        assert missing[boxsim.TAG_ERROR_MESSAGE] == b"ERROR: unknown getset variable\0"
        assert boxsim.TAG_GETSET_VALUE not in missing

    def test_delay_holds_every_reply(self, loopback_box):
        _, _, tcp = loopback_box(misbehave={"delay": 0.4})
        start = time.monotonic()
        model, = tcp_get(tcp, "/tuner0/model")
        assert model[boxsim.TAG_GETSET_VALUE] == b"dvbc\0"
        assert time.monotonic() - start >= 0.4

    def test_silent_var_gets_nothing_but_the_connection_stays_usable(self, loopback_box):
        _, _, tcp = loopback_box(misbehave={"silent_vars": ["/tuner0/owner"]})
        owner, model = tcp_get(tcp, "/tuner0/owner", "/tuner0/model", timeout=0.5)
        assert owner is None
        assert model[boxsim.TAG_GETSET_VALUE] == b"dvbc\0"

    def test_vanish_after_n_requests_closes_and_exits(self, loopback_box):
        proc, udp, tcp = loopback_box(misbehave={"vanish_after": 2})
        first, second, third = tcp_get(tcp, "/tuner0/model", "/sys/model", "/tuner0/model")
        assert first[boxsim.TAG_GETSET_VALUE] == b"dvbc\0"
        assert second[boxsim.TAG_GETSET_VALUE] == b"zentrova\0"
        assert third == "closed"
        assert proc.wait(timeout=3) == 0
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", tcp), timeout=1).close()
        assert udp_exchange(udp, LIBRARY_DISCOVER_REQUEST, wait=0.3) is None

    def test_garbage_replaces_the_reply(self, loopback_box):
        _, _, tcp = loopback_box(misbehave={"garbage_vars": {"/tuner0/model": "bad_crc"}})
        with socket.create_connection(("127.0.0.1", tcp), timeout=3) as sock:
            sock.sendall(boxsim.getset_request("/tuner0/model"))
            with pytest.raises(ValueError, match="crc"):
                boxsim.open_frame(read_frame(sock))

    def test_junk_request_is_ignored_and_the_box_keeps_serving(self, loopback_box):
        proc, udp, tcp = loopback_box()
        assert udp_exchange(udp, b"\x00\x02\x00\x40junk", wait=0.3) is None
        with socket.create_connection(("127.0.0.1", tcp), timeout=3) as sock:
            sock.sendall(b"\x00\x04\x00\x01x\x00\x00\x00\x00")  # bad CRC: dropped
            sock.sendall(boxsim.getset_request("/tuner0/model"))
            ptype, payload = boxsim.open_frame(read_frame(sock))
            assert dict(boxsim.decode_tlvs(payload))[boxsim.TAG_GETSET_VALUE] == b"dvbc\0"
        assert proc.poll() is None
