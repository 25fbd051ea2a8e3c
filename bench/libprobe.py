#!/usr/bin/python3
"""Drive Debian's libhdhomerun through ctypes with the calls the program makes,
and print what the library returns, as JSON on stdout.

Run it inside the program namespace:
  libprobe.py discover [MAX]          hdhomerun_discover_find_devices_v2(ds, 0, 1, wildcard, list, MAX)
  libprobe.py get ID VAR [VAR...]     create_from_str(ID), get_var(VAR) for each
  libprobe.py scan ID [ID...]         per id: set_tuner(n) and model/owner/available reads
                                      until a model read fails (a list, one entry per id)

Each call is reported with its result and its duration in seconds; get_var
results: 1 success, 0 error reply (error text given), -1 communication failure.
"""

import ctypes
import ctypes.util
import json
import sys
import time

DEVICE_TYPE_TUNER = 1
DEVICE_ID_WILDCARD = 0xFFFFFFFF


class DiscoverDevice(ctypes.Structure):
    _fields_ = [
        ("ip_addr", ctypes.c_uint32),
        ("device_type", ctypes.c_uint32),
        ("device_id", ctypes.c_uint32),
        ("tuner_count", ctypes.c_uint8),
        ("is_legacy", ctypes.c_bool),
        ("device_auth", ctypes.c_char * 25),
        ("base_url", ctypes.c_char * 29),
    ]


def load():
    lib = ctypes.CDLL(ctypes.util.find_library("hdhomerun") or "libhdhomerun.so.4")
    lib.hdhomerun_discover_create.restype = ctypes.c_void_p
    lib.hdhomerun_discover_create.argtypes = [ctypes.c_void_p]
    lib.hdhomerun_discover_destroy.argtypes = [ctypes.c_void_p]
    lib.hdhomerun_discover_find_devices_v2.restype = ctypes.c_int
    lib.hdhomerun_discover_find_devices_v2.argtypes = [
        ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
        ctypes.POINTER(DiscoverDevice), ctypes.c_int]
    lib.hdhomerun_device_create_from_str.restype = ctypes.c_void_p
    lib.hdhomerun_device_create_from_str.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    lib.hdhomerun_device_destroy.argtypes = [ctypes.c_void_p]
    lib.hdhomerun_device_set_tuner.restype = ctypes.c_int
    lib.hdhomerun_device_set_tuner.argtypes = [ctypes.c_void_p, ctypes.c_uint]
    lib.hdhomerun_device_get_var.restype = ctypes.c_int
    lib.hdhomerun_device_get_var.argtypes = [
        ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_char_p)]
    return lib


def text(raw):
    return None if raw is None else raw.decode("latin-1")


def discover(lib, max_count=64):
    ds = lib.hdhomerun_discover_create(None)
    devices = (DiscoverDevice * max_count)()
    start = time.monotonic()
    count = lib.hdhomerun_discover_find_devices_v2(ds, 0, DEVICE_TYPE_TUNER, DEVICE_ID_WILDCARD, devices, max_count)
    seconds = time.monotonic() - start
    lib.hdhomerun_discover_destroy(ds)
    found = []
    for dev in devices[:max(count, 0)]:
        ip = dev.ip_addr
        found.append({
            "id": "%08X" % dev.device_id,
            "ip": "%u.%u.%u.%u" % (ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF),
            "device_type": dev.device_type,
            "tuners": dev.tuner_count,
            "legacy": bool(dev.is_legacy),
            "base_url": text(dev.base_url),
        })
    return {"count": count, "seconds": round(seconds, 3), "devices": found}


def get_var(lib, hd, name, want_value=True):
    value = ctypes.c_char_p()
    error = ctypes.c_char_p()
    start = time.monotonic()
    result = lib.hdhomerun_device_get_var(hd, name.encode(), ctypes.byref(value) if want_value else None,
                                          ctypes.byref(error))
    return {"var": name, "result": result, "value": text(value.value) if result == 1 and want_value else None,
            "error": text(error.value) if result == 0 else None, "seconds": round(time.monotonic() - start, 3)}


def open_device(lib, device_id):
    start = time.monotonic()
    hd = lib.hdhomerun_device_create_from_str(device_id.encode(), None)
    return hd, {"id": device_id, "created": bool(hd), "seconds": round(time.monotonic() - start, 3)}


def get(lib, device_id, names):
    hd, report = open_device(lib, device_id)
    report["reads"] = [get_var(lib, hd, name) for name in names] if hd else []
    if hd:
        lib.hdhomerun_device_destroy(hd)
    return report


def scan(lib, device_id, limit=64):
    hd, report = open_device(lib, device_id)
    report["tuners"] = []
    if not hd:
        return report
    for n in range(limit):
        lib.hdhomerun_device_set_tuner(hd, n)
        model = get_var(lib, hd, "/tuner%d/model" % n)
        report["end"] = model
        if model["result"] != 1:
            break
        owner = get_var(lib, hd, "/tuner%d/owner" % n)
        available = get_var(lib, hd, "/tuner%d/available" % n, want_value=False)
        report["tuners"].append({"index": n, "model": model["value"], "owner": owner, "available": available["result"]})
    lib.hdhomerun_device_destroy(hd)
    return report


def main(argv):
    lib = load()
    if argv and argv[0] == "discover":
        out = discover(lib, int(argv[1]) if len(argv) > 1 else 64)
    elif len(argv) >= 3 and argv[0] == "get":
        out = get(lib, argv[1], argv[2:])
    elif len(argv) >= 2 and argv[0] == "scan":
        out = [scan(lib, device_id) for device_id in argv[1:]]
    else:
        sys.stderr.write(__doc__)
        return 2
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
