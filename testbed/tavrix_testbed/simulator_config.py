"""Box and tuner descriptions for the box simulator, and libhdhomerun device ids.

A device id is only usable by id when libhdhomerun's checksum holds
(hdhomerun_discover_validate_device_id). The library itself is the judge:
`is_valid_device_id` asks it through ctypes and falls back to a port of the
check when the library cannot be loaded; the tests compare both.
"""

import ctypes
import ctypes.util
import functools
import ipaddress
import json
import os
from dataclasses import dataclass, field
from typing import List, Optional

SIMULATOR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "simulator", "boxsim.py")

LAN_NETWORK = ipaddress.ip_network("192.0.2.0/24")
TEST_NETWORKS = (ipaddress.ip_network("192.0.2.0/24"), ipaddress.ip_network("198.51.100.0/24"))

# First id of the sequence handed out by nth_valid_device_id.
DEVICE_ID_BASE = 0x10A00000

# Nibble substitution of the checksum: every second nibble goes through it,
# the others are xor-ed in as they are; a valid id xors to zero.
_CHECKSUM_TABLE = (0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB, 0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0)

KNOWN_MISBEHAVIOURS = (
    "invalid_id", "error_vars", "silent_vars", "silent", "discover_silent", "vanish_after",
    "delay", "discover_delay", "control_garbage", "discover_garbage", "garbage_vars",
)


@functools.lru_cache(maxsize=1)
def _library():
    name = ctypes.util.find_library("hdhomerun") or "libhdhomerun.so.4"
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return None
    lib.hdhomerun_discover_validate_device_id.argtypes = [ctypes.c_uint32]
    lib.hdhomerun_discover_validate_device_id.restype = ctypes.c_bool
    return lib


def library_validates(device_id: int) -> Optional[bool]:
    """libhdhomerun's own verdict, or None when the library is not there."""
    lib = _library()
    if lib is None:
        return None
    return bool(lib.hdhomerun_discover_validate_device_id(device_id & 0xFFFFFFFF))


def checksum_ok(device_id: int) -> bool:
    """Pure-Python port of the device-id self-check."""
    checksum = 0
    for shift in range(28, -1, -8):
        checksum ^= _CHECKSUM_TABLE[(device_id >> shift) & 0xF]
        checksum ^= (device_id >> (shift - 4)) & 0xF
    return checksum == 0


def is_valid_device_id(device_id: int) -> bool:
    verdict = library_validates(device_id)
    return checksum_ok(device_id) if verdict is None else verdict


def _fix_last_nibble(prefix: int) -> int:
    # The last nibble enters the checksum unchanged, so exactly one value of it
    # makes any seven leading nibbles valid.
    for nibble in range(16):
        if is_valid_device_id(prefix | nibble):
            return prefix | nibble
    raise AssertionError("no valid id with prefix %08X" % prefix)


def nth_valid_device_id(n: int, base: int = DEVICE_ID_BASE) -> int:
    """The n-th valid id (n = 0, 1, 2, ...) above `base`: 0 -> 10A0000D, 1 -> 10A00012."""
    if n < 0 or n > 0xFFFF:
        raise ValueError("n out of range: %d" % n)
    return _fix_last_nibble((base & 0xFFFFFFF0) + (n << 4))


def valid_device_ids(count: int, base: int = DEVICE_ID_BASE) -> List[int]:
    return [nth_valid_device_id(n, base) for n in range(count)]


def invalid_device_id(n: int = 0, base: int = DEVICE_ID_BASE) -> int:
    """An id that fails the checksum: a valid one with its last nibble changed."""
    valid = nth_valid_device_id(n, base)
    return valid ^ 0x1


def format_device_id(device_id: int) -> str:
    return "%08X" % device_id


@dataclass
class Tuner:
    model: str
    owner: Optional[str] = None
    available: bool = True

    def to_config(self) -> dict:
        return {"model": self.model, "owner": self.owner, "available": bool(self.available)}


@dataclass
class Box:
    device_id: int
    ip: str
    hostname: Optional[str] = None
    tuners: List[Tuner] = field(default_factory=list)
    misbehave: Optional[dict] = None
    sys_model: str = "zentrova"

    @property
    def id_text(self) -> str:
        return format_device_id(self.device_id)

    def validate(self) -> None:
        if not 0 <= self.device_id <= 0xFFFFFFFF:
            raise ValueError("device id out of range: %r" % self.device_id)
        misbehave = self.misbehave or {}
        unknown = set(misbehave) - set(KNOWN_MISBEHAVIOURS)
        if unknown:
            raise ValueError("unknown misbehaviour(s): %s" % ", ".join(sorted(unknown)))
        wants_invalid = bool(misbehave.get("invalid_id"))
        if is_valid_device_id(self.device_id) == wants_invalid:
            raise ValueError("device id %08X is %s; misbehave invalid_id=%s" % (
                self.device_id, "valid" if not wants_invalid else "invalid", wants_invalid))
        address = ipaddress.ip_address(self.ip)
        if address not in LAN_NETWORK or address in (LAN_NETWORK.network_address, LAN_NETWORK.broadcast_address):
            raise ValueError("box address %s is not a host of %s" % (self.ip, LAN_NETWORK))

    def to_config(self) -> dict:
        return {
            "device_id": self.device_id,
            "tuners": [t.to_config() for t in self.tuners],
            "misbehave": dict(self.misbehave or {}),
            "sys_model": self.sys_model,
        }

    def write_config(self, path: str) -> None:
        with open(path, "w", encoding="utf-8") as handle:
            json.dump(self.to_config(), handle)
