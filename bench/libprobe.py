#!/usr/bin/python3
"""The library floor of the jobs benchmark: Debian's libhdhomerun driven through ctypes with the
calls the program makes, in one process. Run it inside the program namespace:

  libprobe.py ID...     one search (hdhomerun_discover_find_devices_v2), then per id: open by id,
                        set_tuner(n), the model and owner reads and, without an owner text, the
                        available read, until a model read fails; close.

Prints one JSON line: seconds of the whole sequence and of the search alone, boxes found,
tuners read.
"""

import ctypes
import ctypes.util
import json
import sys
import time

DEVICE_TYPE_TUNER = 1
DEVICE_ID_WILDCARD = 0xFFFFFFFF
MAX_DEVICES = 64


class DiscoverDevice(ctypes.Structure):
    _fields_ = [("ip_addr", ctypes.c_uint32), ("device_type", ctypes.c_uint32), ("device_id", ctypes.c_uint32),
                ("tuner_count", ctypes.c_uint8), ("is_legacy", ctypes.c_bool), ("device_auth", ctypes.c_char * 25),
                ("base_url", ctypes.c_char * 29)]


def load():
    lib = ctypes.CDLL(ctypes.util.find_library("hdhomerun") or "libhdhomerun.so.4")
    for name, restype, argtypes in [
            ("hdhomerun_discover_create", ctypes.c_void_p, [ctypes.c_void_p]),
            ("hdhomerun_discover_destroy", None, [ctypes.c_void_p]),
            ("hdhomerun_discover_find_devices_v2", ctypes.c_int,
             [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, ctypes.POINTER(DiscoverDevice),
              ctypes.c_int]),
            ("hdhomerun_device_create_from_str", ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_void_p]),
            ("hdhomerun_device_destroy", None, [ctypes.c_void_p]),
            ("hdhomerun_device_set_tuner", ctypes.c_int, [ctypes.c_void_p, ctypes.c_uint]),
            ("hdhomerun_device_get_var", ctypes.c_int,
             [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_char_p)])]:
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


def discover(lib) -> int:
    ds = lib.hdhomerun_discover_create(None)
    devices = (DiscoverDevice * MAX_DEVICES)()
    count = lib.hdhomerun_discover_find_devices_v2(ds, 0, DEVICE_TYPE_TUNER, DEVICE_ID_WILDCARD, devices, MAX_DEVICES)
    lib.hdhomerun_discover_destroy(ds)
    return count


def read(lib, hd, name: str, want_value: bool = True):
    """The value text (None on failure), or without `want_value` whether the read succeeded."""
    value = ctypes.c_char_p()
    ok = lib.hdhomerun_device_get_var(hd, name.encode(), ctypes.byref(value) if want_value else None, None) == 1
    return (value.value if ok else None) if want_value else ok


def scan(lib, device_id: str) -> int:
    """Tuners read from one box; the program's reads in its order."""
    hd = lib.hdhomerun_device_create_from_str(device_id.encode(), None)
    if not hd:
        return 0
    n = 0
    while n < MAX_DEVICES:
        lib.hdhomerun_device_set_tuner(hd, n)
        if read(lib, hd, "/tuner%d/model" % n) is None:
            break
        if not read(lib, hd, "/tuner%d/owner" % n):  # availability is asked only of a tuner nobody names
            read(lib, hd, "/tuner%d/available" % n, want_value=False)
        n += 1
    lib.hdhomerun_device_destroy(hd)
    return n


def main(ids: list[str]) -> int:
    lib = load()
    start = time.perf_counter()
    found = discover(lib)
    search = time.perf_counter() - start
    tuners = sum(scan(lib, device_id) for device_id in ids)
    print(json.dumps({"seconds": time.perf_counter() - start, "search_seconds": search, "found": found,
                      "tuners": tuners}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
