#!/usr/bin/python3
"""One simulated tuner box speaking libhdhomerun's discover and control protocol.

Wire format (libhdhomerun's hdhomerun_pkt.h): u16 BE type, u16 BE payload
length, payload of tag-length-value fields (length <= 127 in one byte, else two
bytes: low 7 bits | 0x80, then length >> 7), CRC-32 (zlib) little-endian.
Discovery: request 2 / reply 3 on UDP 65001. Control: get/set request 4 /
reply 5 on TCP 65001.

Usage: boxsim.py CONFIG.json        (or: boxsim.py --config-json '{...}')
Prints "READY <id> udp=<port> tcp=<port>" on stdout once both sockets
listen (port 0 in the config picks free ports); logs every request to stderr.

Config keys:
  device_id   int or 8 hex digits
  tuners      [{"model": str, "owner": str|null, "available": bool}, ...]
  sys_model, sys_hwmodel, sys_version   texts for /sys/model, /sys/hwmodel, /sys/version
  misbehave   {see MISBEHAVIOURS below}
  bind, port  listen address/port (default 0.0.0.0 / 65001)

A tuner without owner answers "/tunerN/owner" with an empty value: the box
knows the variable, nobody holds the tuner.  "/tunerN/available" answers
"1" when free and the error "ERROR: tuner in use" otherwise.
"""

import heapq
import json
import selectors
import socket
import struct
import sys
import time
import zlib

PORT = 65001

TYPE_DISCOVER_REQ = 0x0002
TYPE_DISCOVER_RPY = 0x0003
TYPE_GETSET_REQ = 0x0004
TYPE_GETSET_RPY = 0x0005

TAG_DEVICE_TYPE = 0x01
TAG_DEVICE_ID = 0x02
TAG_GETSET_NAME = 0x03
TAG_GETSET_VALUE = 0x04
TAG_ERROR_MESSAGE = 0x05
TAG_TUNER_COUNT = 0x10
TAG_GETSET_LOCKKEY = 0x15
TAG_BASE_URL = 0x2A

DEVICE_TYPE_TUNER = 0x00000001
WILDCARD = 0xFFFFFFFF

MAX_PACKET_SIZE = 1460
# The library's own packet buffer; a request frame claiming more is junk.
MAX_ACCEPTED_FRAME = 3074

ERR_UNKNOWN = "ERROR: unknown getset variable"
ERR_IN_USE = "ERROR: tuner in use"
ERR_READ_ONLY = "ERROR: permission denied"

MISBEHAVIOURS = {
    "invalid_id": "the device id fails the checksum on purpose (announced as is)",
    "error_vars": "list of names (or {name: message}) answered with an error",
    "silent_vars": "list of names never answered (connection stays open)",
    "silent": "no control reply at all",
    "discover_silent": "no discovery reply at all",
    "vanish_after": "answer N control requests, then close every socket and exit",
    "delay": "seconds to wait before each control reply",
    "discover_delay": "seconds to wait before each discovery reply",
    "control_garbage": "kind of broken packet sent instead of every control reply",
    "discover_garbage": "kind of broken packet sent instead of every discovery reply",
    "garbage_vars": "{name: kind}: broken packet instead of the reply for that name",
}
GARBAGE_KINDS = ("random", "bad_crc", "truncated", "oversized", "bad_tlv", "wrong_type", "short")


# ---------------------------------------------------------------- packets

def encode_varlen(length):
    if length < 0 or length > 0x7FFF:
        raise ValueError("TLV length out of range: %d" % length)
    if length <= 127:
        return bytes([length])
    return bytes([(length & 0x7F) | 0x80, length >> 7])


def encode_tlv(tag, value):
    return bytes([tag]) + encode_varlen(len(value)) + value


def encode_text(text):
    """Text value with its terminating NUL, as get/set fields carry it."""
    return text.encode("latin-1", "replace") + b"\0"


def seal(ptype, payload):
    frame = struct.pack(">HH", ptype, len(payload)) + payload
    return frame + struct.pack("<I", zlib.crc32(frame) & 0xFFFFFFFF)


def decode_tlvs(payload):
    """[(tag, value)]; raises ValueError on a field running past the payload."""
    fields = []
    pos = 0
    while pos < len(payload):
        tag = payload[pos]
        pos += 1
        if pos >= len(payload):
            raise ValueError("TLV without length")
        length = payload[pos]
        pos += 1
        if length & 0x80:
            if pos >= len(payload):
                raise ValueError("TLV with cut two-byte length")
            length = (length & 0x7F) | (payload[pos] << 7)
            pos += 1
        if pos + length > len(payload):
            raise ValueError("TLV value runs past the payload")
        fields.append((tag, payload[pos:pos + length]))
        pos += length
    return fields


def frame_size(buf):
    """Size of the first frame in buf, or None while the header is incomplete."""
    if len(buf) < 4:
        return None
    (length,) = struct.unpack(">H", buf[2:4])
    return 4 + length + 4


def open_frame(frame):
    """(type, payload) of one whole frame; ValueError when the CRC is wrong."""
    if len(frame) < 8:
        raise ValueError("frame too short")
    ptype, length = struct.unpack(">HH", frame[:4])
    if len(frame) != 8 + length:
        raise ValueError("frame length mismatch")
    (crc,) = struct.unpack("<I", frame[-4:])
    if crc != zlib.crc32(frame[:-4]) & 0xFFFFFFFF:
        raise ValueError("bad crc")
    return ptype, frame[4:-4]


def text_of(value):
    return value.split(b"\0", 1)[0].decode("latin-1")


def discover_request(device_type=DEVICE_TYPE_TUNER, device_id=WILDCARD):
    payload = encode_tlv(TAG_DEVICE_TYPE, struct.pack(">I", device_type))
    payload += encode_tlv(TAG_DEVICE_ID, struct.pack(">I", device_id))
    return seal(TYPE_DISCOVER_REQ, payload)


def getset_request(name, value=None):
    payload = encode_tlv(TAG_GETSET_NAME, encode_text(name))
    if value is not None:
        payload += encode_tlv(TAG_GETSET_VALUE, encode_text(value))
    return seal(TYPE_GETSET_REQ, payload)


def garbage(kind, good_frame, rng):
    """A broken variant of good_frame."""
    if kind == "random":
        return bytes(rng.getrandbits(8) for _ in range(64))
    if kind == "bad_crc":
        return good_frame[:-4] + bytes(b ^ 0xFF for b in good_frame[-4:])
    if kind == "truncated":
        return good_frame[:max(4, len(good_frame) - 5)]
    if kind == "oversized":
        ptype = struct.unpack(">H", good_frame[:2])[0]
        return seal(ptype, good_frame[4:-4] + encode_tlv(0x7E, b"X" * 4000))
    if kind == "bad_tlv":
        # Valid CRC, but the first field claims more bytes than the payload has.
        ptype = struct.unpack(">H", good_frame[:2])[0]
        payload = good_frame[4:-4]
        return seal(ptype, bytes([payload[0], 0x7F]) + payload[2:10])
    if kind == "wrong_type":
        ptype = struct.unpack(">H", good_frame[:2])[0]
        other = TYPE_DISCOVER_RPY if ptype == TYPE_GETSET_RPY else TYPE_GETSET_RPY
        return seal(other, good_frame[4:-4])
    if kind == "short":
        return good_frame[:2]
    raise ValueError("unknown garbage kind %r" % kind)


# ---------------------------------------------------------------- box state

def parse_device_id(value):
    if isinstance(value, int):
        return value & 0xFFFFFFFF
    return int(str(value), 16) & 0xFFFFFFFF


class BoxModel:
    """What the box answers, independent of sockets."""

    def __init__(self, config):
        self.device_id = parse_device_id(config["device_id"])
        self.tuners = list(config.get("tuners", []))
        self.misbehave = dict(config.get("misbehave") or {})
        unknown = set(self.misbehave) - set(MISBEHAVIOURS)
        if unknown:
            raise ValueError("unknown misbehaviour(s): %s" % ", ".join(sorted(unknown)))
        for key in ("control_garbage", "discover_garbage"):
            if key in self.misbehave and self.misbehave[key] not in GARBAGE_KINDS:
                raise ValueError("unknown garbage kind %r" % self.misbehave[key])
        self.sys_vars = {
            "/sys/model": config.get("sys_model", "zentrova"),
            "/sys/hwmodel": config.get("sys_hwmodel", "ZTV-%d" % len(self.tuners)),
            "/sys/version": config.get("sys_version", "20220303"),
            "/sys/copyright": "simulated box",
            "/sys/features": "",
            "/sys/debug": "",
        }
        errs = self.misbehave.get("error_vars") or {}
        if isinstance(errs, list):
            errs = {name: ERR_UNKNOWN for name in errs}
        self.error_vars = errs
        self.silent_vars = set(self.misbehave.get("silent_vars") or [])
        self.garbage_vars = dict(self.misbehave.get("garbage_vars") or {})

    def tuner_count_byte(self):
        return min(len(self.tuners), 255)

    def matches_discovery(self, fields):
        types = [struct.unpack(">I", v)[0] for t, v in fields if t == TAG_DEVICE_TYPE and len(v) == 4]
        ids = [struct.unpack(">I", v)[0] for t, v in fields if t == TAG_DEVICE_ID and len(v) == 4]
        if types and not any(t in (WILDCARD, DEVICE_TYPE_TUNER) for t in types):
            return False
        if ids and not any(i in (WILDCARD, self.device_id) for i in ids):
            return False
        return True

    def discover_reply(self, own_ip):
        payload = encode_tlv(TAG_DEVICE_TYPE, struct.pack(">I", DEVICE_TYPE_TUNER))
        payload += encode_tlv(TAG_DEVICE_ID, struct.pack(">I", self.device_id))
        payload += encode_tlv(TAG_TUNER_COUNT, bytes([self.tuner_count_byte()]))
        if own_ip:
            payload += encode_tlv(TAG_BASE_URL, ("http://%s:80" % own_ip).encode())
        return seal(TYPE_DISCOVER_RPY, payload)

    def lookup(self, name):
        """(value, None) or (None, error message) for a get."""
        if name in self.error_vars:
            return None, self.error_vars[name]
        if name in self.sys_vars:
            return self.sys_vars[name], None
        parts = name.split("/")
        if len(parts) == 3 and parts[0] == "" and parts[1].startswith("tuner") and parts[1][5:].isdigit():
            index = int(parts[1][5:])
            if index >= len(self.tuners):
                return None, ERR_UNKNOWN
            tuner = self.tuners[index]
            leaf = parts[2]
            if leaf == "model":
                return tuner.get("model", ""), None
            if leaf == "owner":
                return tuner.get("owner") or "", None
            if leaf == "available":
                return ("1", None) if tuner.get("available", True) else (None, ERR_IN_USE)
            if leaf in ("channel", "lockkey", "target"):
                return "none", None
            if leaf == "status":
                return "ch=none lock=none ss=0 snq=0 seq=0 bps=0 pps=0", None
        return None, ERR_UNKNOWN

    def getset_reply(self, name, set_value):
        if set_value is not None:
            known = self.lookup(name)[1] is None
            value, error = None, (ERR_READ_ONLY if known else ERR_UNKNOWN)
        else:
            value, error = self.lookup(name)
        payload = encode_tlv(TAG_GETSET_NAME, encode_text(name))
        if error is None:
            payload += encode_tlv(TAG_GETSET_VALUE, encode_text(value))
        else:
            payload += encode_tlv(TAG_ERROR_MESSAGE, encode_text(error))
        return seal(TYPE_GETSET_RPY, payload), value, error


# ---------------------------------------------------------------- server

class Connection:
    def __init__(self, sock, peer):
        self.sock = sock
        self.peer = peer
        self.buf = b""
        self.closed = False


class Server:
    def __init__(self, model, bind="0.0.0.0", port=PORT, log=sys.stderr):
        self.model = model
        self.log_file = log
        self.rng = None
        self.sel = selectors.DefaultSelector()
        self.timers = []
        self.timer_seq = 0
        self.requests = 0
        self.vanished = False

        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.udp.bind((bind, port))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((bind, port))
        self.tcp.listen(64)
        self.udp.setblocking(False)
        self.tcp.setblocking(False)
        self.sel.register(self.udp, selectors.EVENT_READ, self.on_discover)
        self.sel.register(self.tcp, selectors.EVENT_READ, self.on_accept)

    def log(self, text):
        self.log_file.write("%.3f %08X %s\n" % (time.time(), self.model.device_id, text))
        self.log_file.flush()

    def garbage_rng(self):
        if self.rng is None:
            import random  # only misbehaving boxes pay for it
            self.rng = random.Random(self.model.device_id)
        return self.rng

    def later(self, delay, action):
        self.timer_seq += 1
        heapq.heappush(self.timers, (time.monotonic() + max(0.0, delay), self.timer_seq, action))

    # discovery
    def on_discover(self, _sock):
        try:
            data, peer = self.udp.recvfrom(4096)
        except OSError:
            return
        try:
            ptype, payload = open_frame(data)
            fields = decode_tlvs(payload)
        except ValueError as exc:
            self.log("discover from %s:%d ignored: %s" % (peer[0], peer[1], exc))
            return
        if ptype != TYPE_DISCOVER_REQ:
            self.log("discover from %s:%d ignored: type %d" % (peer[0], peer[1], ptype))
            return
        mb = self.model.misbehave
        if not self.model.matches_discovery(fields):
            self.log("discover from %s:%d: filter does not match" % peer)
            return
        if mb.get("discover_silent"):
            self.log("discover from %s:%d: silent" % peer)
            return
        reply = self.model.discover_reply(self.own_ip_towards(peer[0]))
        kind = mb.get("discover_garbage")
        if kind:
            reply = garbage(kind, reply, self.garbage_rng())
        self.log("discover from %s:%d: reply%s" % (peer[0], peer[1], " garbage:" + kind if kind else ""))
        self.later(float(mb.get("discover_delay", 0)), lambda: self.send_udp(reply, peer))

    def own_ip_towards(self, peer_ip):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.connect((peer_ip, PORT))  # no packet: only picks the route's source
            return probe.getsockname()[0]
        except OSError:
            return ""
        finally:
            probe.close()

    def send_udp(self, data, peer):
        if self.vanished:
            return
        try:
            self.udp.sendto(data, peer)
        except OSError as exc:
            self.log("discover reply to %s:%d failed: %s" % (peer[0], peer[1], exc))

    # control
    def on_accept(self, _sock):
        try:
            sock, peer = self.tcp.accept()
        except OSError:
            return
        sock.setblocking(False)
        conn = Connection(sock, peer)
        self.sel.register(sock, selectors.EVENT_READ, lambda _s: self.on_control(conn))
        self.log("control connect from %s:%d" % peer)

    def close_conn(self, conn):
        if conn.closed:
            return
        conn.closed = True
        try:
            self.sel.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        conn.sock.close()

    def on_control(self, conn):
        try:
            data = conn.sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.log("control close from %s:%d" % conn.peer)
            self.close_conn(conn)
            return
        conn.buf += data
        while not conn.closed and not self.vanished:
            size = frame_size(conn.buf)
            if size is None or len(conn.buf) < size:
                if size is not None and size > MAX_ACCEPTED_FRAME:
                    self.log("control request too long (%d), closing" % size)
                    self.close_conn(conn)
                break
            frame, conn.buf = conn.buf[:size], conn.buf[size:]
            self.on_request(conn, frame)

    def on_request(self, conn, frame):
        try:
            ptype, payload = open_frame(frame)
            fields = decode_tlvs(payload)
        except ValueError as exc:
            self.log("control request dropped: %s" % exc)
            return
        if ptype != TYPE_GETSET_REQ:
            self.log("control request dropped: type %d" % ptype)
            return
        names = [text_of(v) for t, v in fields if t == TAG_GETSET_NAME]
        values = [text_of(v) for t, v in fields if t == TAG_GETSET_VALUE]
        if not names:
            self.log("control request dropped: no name")
            return
        name = names[0]
        set_value = values[0] if values else None
        self.requests += 1
        mb = self.model.misbehave
        what = "set %s=%s" % (name, set_value) if set_value is not None else "get %s" % name
        limit = mb.get("vanish_after")
        if limit is not None and self.requests > int(limit):
            self.log("#%d %s: vanish" % (self.requests, what))
            self.vanish()
            return
        if mb.get("silent") or name in self.model.silent_vars:
            self.log("#%d %s: silent" % (self.requests, what))
            return
        reply, value, error = self.model.getset_reply(name, set_value)
        kind = self.model.garbage_vars.get(name) or mb.get("control_garbage")
        if kind:
            reply = garbage(kind, reply, self.garbage_rng())
            outcome = "garbage:" + kind
        elif error is not None:
            outcome = "error %r" % error
        else:
            outcome = "value %r" % value
        self.log("#%d %s: %s" % (self.requests, what, outcome))
        vanish_now = limit is not None and self.requests == int(limit)

        def send():
            if self.vanished or conn.closed:
                return
            try:
                conn.sock.sendall(reply)
            except OSError as exc:
                self.log("control reply failed: %s" % exc)
                self.close_conn(conn)
            if vanish_now:
                self.log("vanish after %d requests" % self.requests)
                self.vanish()

        self.later(float(mb.get("delay", 0)), send)

    def vanish(self):
        self.vanished = True

    def shutdown(self):
        for key in list(self.sel.get_map().values()):
            try:
                key.fileobj.close()
            except OSError:
                pass
        self.sel.close()

    def serve(self):
        while not self.vanished:
            timeout = None
            if self.timers:
                timeout = max(0.0, self.timers[0][0] - time.monotonic())
            for key, _mask in self.sel.select(timeout):
                key.data(key.fileobj)
                if self.vanished:
                    break
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now and not self.vanished:
                _, _, action = heapq.heappop(self.timers)
                action()
        self.shutdown()


def load_config(argv):
    if len(argv) >= 2 and argv[0] == "--config-json":
        return json.loads(argv[1])
    if len(argv) == 1 and argv[0] not in ("-h", "--help"):
        with open(argv[0], encoding="utf-8") as handle:
            return json.load(handle)
    sys.stderr.write(__doc__)
    sys.exit(2)


def main(argv):
    config = load_config(argv)
    model = BoxModel(config)
    server = Server(model, config.get("bind", "0.0.0.0"), int(config.get("port", PORT)))
    sys.stdout.write("READY %08X udp=%d tcp=%d\n" % (
        model.device_id, server.udp.getsockname()[1], server.tcp.getsockname()[1]))
    sys.stdout.flush()
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
