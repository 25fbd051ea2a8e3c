#!/usr/bin/python3
"""Benchmarks of TavrixInstall under Wine on the simulated LAN.

Usage: bench.py [--build DIR] [--out FILE] [--quick] [--fresh] [PART ...]
PART (default: all five, in this order), each in bench/parts/:
  store  CStorage SaveDevices/LoadDevices of 64 boxes x 8 tuners (bench_store.exe)
  jobs   "-I" with 1, 8 and 64 boxes beside the floor of an empty program plus the network work
  resolver  "-I" with 64 boxes on a LAN whose resolver never answers, against the packages' bound
  tray   the resident tray with 8 boxes over 30 refresh cycles: CPU, memory, handles, menu
  menu   the tray's menu open time with 64 boxes

Results: one JSON file (default bench/results/latest.json; a run of some parts replaces those
parts and keeps the others) and a Markdown summary of every part in it on stdout.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from benchlib import REPO, WINE  # noqa: E402
from parts import jobs, menu, resolver, store, tray  # noqa: E402

PARTS = {"store": store, "jobs": jobs, "resolver": resolver, "tray": tray, "menu": menu}


def machine() -> dict:
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    with open("/proc/cpuinfo") as handle:
        model = next((line.split(":", 1)[1].strip() for line in handle if line.startswith("model name")), "?")
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release(), "wine": wine,
            "date": time.strftime("%Y-%m-%d %H:%M:%S")}


def commit() -> str:
    return subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"], capture_output=True,
                          text=True).stdout.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=REPO / "build" / "bench")
    parser.add_argument("--out", type=Path, help="results file (default results/latest.json, "
                                                  "with --quick results/quick.json)")
    parser.add_argument("--quick", action="store_true", help="few repetitions: checks the script, not the program")
    parser.add_argument("--fresh", action="store_true", help="start a new results file instead of updating its parts")
    parser.add_argument("parts", nargs="*", metavar="PART", help=", ".join(PARTS) + " (default: all)")
    args = parser.parse_args()
    if set(args.parts) - set(PARTS):
        parser.error("unknown part(s): %s" % ", ".join(sorted(set(args.parts) - set(PARTS))))
    out = args.out or REPO / "bench" / "results" / ("quick.json" if args.quick else "latest.json")
    results = json.loads(out.read_text()) if out.exists() and not args.fresh else {}
    results.update({"machine": machine(), "quick": args.quick, "commit": commit()})
    for name in args.parts or PARTS:
        start = time.monotonic()
        print("== %s" % name, flush=True)
        results[name] = PARTS[name].run(args.build.resolve(), args.quick)
        results[name]["date"] = time.strftime("%Y-%m-%d %H:%M:%S")
        print("   %.0f s" % (time.monotonic() - start), flush=True)
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(json.dumps(results, indent=1))
    print("\n\n".join("\n".join(PARTS[name].report(results[name])) for name in PARTS if name in results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
