"""Box and tuner descriptions for the box simulator, and libhdhomerun device ids.

libhdhomerun opens a box by its id text only when the id's checksum holds
(hdhomerun_discover_validate_device_id); the check is ported here.
"""

import ipaddress
import json
import os
from dataclasses import dataclass, field
from typing import List, Optional

SIMULATOR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "simulator", "boxsim.py")
LAN_NETWORK = ipaddress.ip_network("192.0.2.0/24")
TEST_NETWORKS = (LAN_NETWORK, ipaddress.ip_network("198.51.100.0/24"))
DEVICE_ID_BASE = 0x10A00000
KNOWN_MISBEHAVIOURS = ("invalid_id", "error_vars", "silent", "discover_silent", "vanish_after", "delay",
                       "control_garbage", "discover_garbage", "endless_tuners")

# Every second nibble goes through this substitution, the others are xor-ed in as they
# are; a valid id xors to zero.
_CHECKSUM_TABLE = (0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB, 0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0)


def is_valid_device_id(device_id: int) -> bool:
    checksum = 0
    for shift in range(28, -1, -8):
        checksum ^= _CHECKSUM_TABLE[(device_id >> shift) & 0xF] ^ ((device_id >> (shift - 4)) & 0xF)
    return checksum == 0


def nth_valid_device_id(n: int, base: int = DEVICE_ID_BASE) -> int:
    """The n-th valid id above `base`: 0 -> 10A0000D, 1 -> 10A00012. The last nibble enters
    the checksum unchanged, so exactly one value of it makes any seven leading nibbles valid."""
    if not 0 <= n <= 0xFFFF:
        raise ValueError("n out of range: %d" % n)
    prefix = (base & 0xFFFFFFF0) + (n << 4)
    return next(prefix | nibble for nibble in range(16) if is_valid_device_id(prefix | nibble))


def invalid_device_id(n: int = 0, base: int = DEVICE_ID_BASE) -> int:
    """An id that fails the checksum: a valid one with its last nibble changed."""
    return nth_valid_device_id(n, base) ^ 0x1


def format_device_id(device_id: int) -> str:
    return "%08X" % device_id


@dataclass
class Tuner:
    model: str
    owner: Optional[str] = None
    available: bool = True


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
        misbehave = self.misbehave or {}
        unknown = set(misbehave) - set(KNOWN_MISBEHAVIOURS)
        if unknown:
            raise ValueError("unknown misbehaviour(s): %s" % ", ".join(sorted(unknown)))
        if not 0 <= self.device_id <= 0xFFFFFFFF or \
                is_valid_device_id(self.device_id) == bool(misbehave.get("invalid_id")):
            raise ValueError("device id %08X: valid=%s, but misbehave invalid_id=%s" % (
                self.device_id, is_valid_device_id(self.device_id), misbehave.get("invalid_id")))
        address = ipaddress.ip_address(self.ip)
        if address not in LAN_NETWORK or address in (LAN_NETWORK.network_address, LAN_NETWORK.broadcast_address):
            raise ValueError("box address %s is not a host of %s" % (self.ip, LAN_NETWORK))

    def write_config(self, path: str) -> None:
        misbehave = {k: v for k, v in (self.misbehave or {}).items() if k != "invalid_id"}
        config = {"device_id": self.device_id, "misbehave": misbehave, "sys_model": self.sys_model,
                  "tuners": [{"model": t.model, "owner": t.owner, "available": t.available} for t in self.tuners]}
        with open(path, "w", encoding="utf-8") as handle:
            json.dump(config, handle)
