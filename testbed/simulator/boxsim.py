#!/usr/bin/python3
"""One simulated tuner box speaking libhdhomerun's discover and control protocol.

Wire format (libhdhomerun's hdhomerun_pkt.h): u16 BE type, u16 BE payload length, payload
of tag-length-value fields (length <= 127 in one byte, else two bytes: low 7 bits | 0x80,
then length >> 7), CRC-32 (zlib) little-endian. Discovery: request 2 / reply 3 on UDP 65001.
Control: get/set request 4 / reply 5 on TCP 65001 (gets only).

Usage: boxsim.py CONFIG.json
Prints "READY <id>" on stdout once both sockets listen; logs every request to stderr.

Config: {"device_id": int, "tuners": [{"model", "owner", "available"}], "sys_model": str,
         "misbehave": {name: value}} with the misbehaviours of MISBEHAVIOURS.
A tuner without owner answers "/tunerN/owner" with an empty value; "/tunerN/available"
answers "1" when free and the error "ERROR: tuner in use" otherwise.
"""

import heapq
import itertools
import json
import selectors
import socket
import struct
import sys
import time
import zlib

PORT = 65001
DISCOVER_REQ, DISCOVER_RPY, GETSET_REQ, GETSET_RPY = 2, 3, 4, 5
TAG_DEVICE_TYPE, TAG_DEVICE_ID, TAG_NAME, TAG_VALUE, TAG_ERROR = 1, 2, 3, 4, 5
TAG_TUNER_COUNT, TAG_BASE_URL = 0x10, 0x2A
DEVICE_TYPE_TUNER = 1
WILDCARD = 0xFFFFFFFF
ERR_UNKNOWN = "ERROR: unknown getset variable"
ERR_IN_USE = "ERROR: tuner in use"

MISBEHAVIOURS = {
    "error_vars": "list of variable names answered with an error",
    "silent": "no control reply at all",
    "discover_silent": "no discovery reply at all",
    "vanish_after": "answer N control requests, then close every socket and exit",
    "delay": "seconds to wait before each control reply",
    "control_garbage": "kind of broken packet (GARBAGE_KINDS) sent instead of every control reply",
    "discover_garbage": "kind of broken packet sent instead of every discovery reply",
    "endless_tuners": "answers /tunerN/model (and owner, available) for every N",
}
GARBAGE_KINDS = ("bad_crc", "bad_tlv")


def tlv(tag, value):
    length = len(value)
    head = bytes([length]) if length <= 127 else bytes([(length & 0x7F) | 0x80, length >> 7])
    return bytes([tag]) + head + value


def text(value):
    return value.encode("latin-1", "replace") + b"\0"


def seal(ptype, payload):
    frame = struct.pack(">HH", ptype, len(payload)) + payload
    return frame + struct.pack("<I", zlib.crc32(frame))


def open_frame(frame):
    """(type, [(tag, value)]) of one whole frame; ValueError when it is broken."""
    ptype, length = struct.unpack(">HH", frame[:4]) if len(frame) >= 8 else (0, -1)
    payload, fields, pos = frame[4:-4], [], 0
    if length != len(payload) or zlib.crc32(frame[:-4]) != struct.unpack("<I", frame[-4:])[0]:
        raise ValueError("bad length or crc")
    while pos < len(payload):
        tag, size, pos = payload[pos], (payload + b"\xff")[pos + 1], pos + 2
        if size & 0x80:
            size, pos = (size & 0x7F) | ((payload + b"\xff")[pos] << 7), pos + 1
        if pos + size > len(payload):
            raise ValueError("field runs past the payload")
        fields.append((tag, payload[pos:pos + size]))
        pos += size
    return ptype, fields


def garbage(kind, frame):
    if kind == "bad_crc":
        return frame[:-4] + bytes(b ^ 0xFF for b in frame[-4:])
    # Sound CRC, but the first field claims more bytes than the payload holds.
    return seal(struct.unpack(">H", frame[:2])[0], bytes([frame[4], 0x7F]) + frame[6:12])


class BoxModel:
    """What the box answers, independent of sockets."""

    def __init__(self, config):
        self.device_id = int(config["device_id"]) & 0xFFFFFFFF
        self.tuners = list(config.get("tuners", []))
        self.misbehave = dict(config.get("misbehave") or {})
        unknown = set(self.misbehave) - set(MISBEHAVIOURS)
        for key in ("control_garbage", "discover_garbage"):
            if self.misbehave.get(key, GARBAGE_KINDS[0]) not in GARBAGE_KINDS:
                unknown.add("%s=%s" % (key, self.misbehave[key]))
        if unknown:
            raise ValueError("unknown misbehaviour(s): %s" % ", ".join(sorted(unknown)))
        self.sys_vars = {"/sys/model": config.get("sys_model", "zentrova"),
                         "/sys/hwmodel": "ZTV-%d" % len(self.tuners), "/sys/version": "20220303"}

    def wants(self, fields):
        types = [struct.unpack(">I", v)[0] for t, v in fields if t == TAG_DEVICE_TYPE and len(v) == 4]
        ids = [struct.unpack(">I", v)[0] for t, v in fields if t == TAG_DEVICE_ID and len(v) == 4]
        return (not types or any(t in (WILDCARD, DEVICE_TYPE_TUNER) for t in types)) and \
               (not ids or any(i in (WILDCARD, self.device_id) for i in ids))

    def discover_reply(self, own_ip):
        payload = tlv(TAG_DEVICE_TYPE, struct.pack(">I", DEVICE_TYPE_TUNER))
        payload += tlv(TAG_DEVICE_ID, struct.pack(">I", self.device_id))
        payload += tlv(TAG_TUNER_COUNT, bytes([min(len(self.tuners), 255)]))
        payload += tlv(TAG_BASE_URL, ("http://%s:80" % own_ip).encode())
        return seal(DISCOVER_RPY, payload)

    def lookup(self, name):
        """(value, None) or (None, error message) for a get."""
        if name in (self.misbehave.get("error_vars") or []):
            return None, ERR_UNKNOWN
        if name in self.sys_vars:
            return self.sys_vars[name], None
        parts = name.split("/")
        if len(parts) != 3 or parts[0] or not parts[1].startswith("tuner") or not parts[1][5:].isdigit():
            return None, ERR_UNKNOWN
        index = int(parts[1][5:])
        if index < len(self.tuners):
            tuner = self.tuners[index]
        elif self.misbehave.get("endless_tuners"):
            tuner = {"model": "endless"}
        else:
            return None, ERR_UNKNOWN
        if parts[2] == "model":
            return tuner.get("model", ""), None
        if parts[2] == "owner":
            return tuner.get("owner") or "", None
        if parts[2] == "available":
            return ("1", None) if tuner.get("available", True) else (None, ERR_IN_USE)
        return None, ERR_UNKNOWN

    def getset_reply(self, name):
        value, error = self.lookup(name)
        payload = tlv(TAG_NAME, text(name))
        payload += tlv(TAG_VALUE, text(value)) if error is None else tlv(TAG_ERROR, text(error))
        return seal(GETSET_RPY, payload), "value %r" % value if error is None else "error %r" % error


class Server:
    def __init__(self, model, port=PORT):
        self.model = model
        self.mb = model.misbehave
        self.sel = selectors.DefaultSelector()
        self.timers = []  # (when, sequence, action)
        self.sequence = itertools.count()
        self.requests = 0
        self.vanished = False
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        for sock in (self.udp, self.tcp):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("0.0.0.0", port))
            sock.setblocking(False)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.tcp.listen(64)
        self.sel.register(self.udp, selectors.EVENT_READ, self.on_discover)
        self.sel.register(self.tcp, selectors.EVENT_READ, self.on_accept)

    def log(self, line):
        sys.stderr.write("%.3f %08X %s\n" % (time.time(), self.model.device_id, line))
        sys.stderr.flush()

    def later(self, delay, action):
        heapq.heappush(self.timers, (time.monotonic() + float(delay), next(self.sequence), action))

    def on_discover(self, _sock):
        try:
            data, peer = self.udp.recvfrom(4096)
            ptype, fields = open_frame(data)
        except (OSError, ValueError, IndexError) as exc:
            return self.log("discover ignored: %r" % exc)
        if ptype != DISCOVER_REQ or not self.model.wants(fields):
            return self.log("discover from %s: not for this box" % peer[0])
        if self.mb.get("discover_silent"):
            return self.log("discover from %s: silent" % peer[0])
        reply = self.model.discover_reply(self.own_ip_towards(peer[0]))
        kind = self.mb.get("discover_garbage")
        if kind:
            reply = garbage(kind, reply)
        self.log("discover from %s: reply%s" % (peer[0], " garbage:" + kind if kind else ""))
        self.udp.sendto(reply, peer)

    @staticmethod
    def own_ip_towards(peer_ip):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.connect((peer_ip, PORT))  # sends nothing: only picks the route's source
            return probe.getsockname()[0]

    def on_accept(self, _sock):
        try:
            sock, peer = self.tcp.accept()
        except OSError:
            return
        sock.setblocking(False)
        conn = {"sock": sock, "buf": b"", "open": True}
        self.sel.register(sock, selectors.EVENT_READ, lambda _s: self.on_control(conn))
        self.log("control connect from %s" % peer[0])

    def close(self, conn):
        if conn["open"]:
            conn["open"] = False
            self.sel.unregister(conn["sock"])
            conn["sock"].close()

    def on_control(self, conn):
        try:
            data = conn["sock"].recv(65536)
        except OSError:
            data = b""
        if not data:
            return self.close(conn)
        conn["buf"] += data
        while conn["open"] and not self.vanished and len(conn["buf"]) >= 4:
            size = 8 + struct.unpack(">H", conn["buf"][2:4])[0]
            if len(conn["buf"]) < size:
                break
            frame, conn["buf"] = conn["buf"][:size], conn["buf"][size:]
            self.on_request(conn, frame)

    def on_request(self, conn, frame):
        try:
            ptype, fields = open_frame(frame)
            name = [v for t, v in fields if t == TAG_NAME][0].split(b"\0", 1)[0].decode("latin-1")
        except (ValueError, IndexError) as exc:
            return self.log("control request dropped: %s" % exc)
        self.requests += 1
        what = "#%d get %s" % (self.requests, name)
        limit = self.mb.get("vanish_after")
        if ptype != GETSET_REQ or self.mb.get("silent") or (limit is not None and self.requests > limit):
            self.vanished = limit is not None and self.requests > limit
            return self.log("%s: %s" % (what, "vanish" if self.vanished else "silent"))
        reply, outcome = self.model.getset_reply(name)
        kind = self.mb.get("control_garbage")
        if kind:
            reply, outcome = garbage(kind, reply), "garbage:" + kind
        self.log("%s: %s" % (what, outcome))

        def send():
            if conn["open"] and not self.vanished:
                try:
                    conn["sock"].sendall(reply)
                except OSError:
                    self.close(conn)

        self.later(self.mb.get("delay", 0), send)

    def serve(self):
        while not self.vanished:
            timeout = max(0.0, self.timers[0][0] - time.monotonic()) if self.timers else None
            for key, _mask in self.sel.select(timeout):
                key.data(key.fileobj)
            while self.timers and self.timers[0][0] <= time.monotonic() and not self.vanished:
                heapq.heappop(self.timers)[2]()
        for key in list(self.sel.get_map().values()):
            key.fileobj.close()


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[0], encoding="utf-8") as handle:
        model = BoxModel(json.load(handle))
    server = Server(model)
    sys.stdout.write("READY %08X\n" % model.device_id)
    sys.stdout.flush()
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
