"""store: the registry store with the program's own code. bench_store.exe calls CStorage's
SaveDevices and LoadDevices in-process on 64 boxes of 8 tuners, 200 times each (QPC), and
compares every load with the saved list."""

from __future__ import annotations

import json
from pathlib import Path

from benchlib import BenchPrefix, load_average


def run(build: Path, quick: bool) -> dict:
    with BenchPrefix(build) as prefix:
        load_before = load_average()
        result = prefix.run(prefix.tool("bench_store.exe"), [str(20 if quick else 200), "64", "8"], timeout=3600,
                            check=True)
        data = json.loads(result.stdout)
        data["load_average"] = [load_before, load_average()]
    return data


def report(r: dict) -> list[str]:
    lines = ["| store, 64 boxes × 8 tuners (%d runs) | median ms | p10–p90 ms | min–max ms |" % r["repetitions"],
             "|---|---|---|---|"]
    for name, s in r.items():
        if isinstance(s, dict) and "median_ms" in s:
            lines.append("| %s | %.2f | %.2f–%.2f | %.2f–%.2f |" % (
                name, s["median_ms"], s["p10_ms"], s["p90_ms"], s["min_ms"], s["max_ms"]))
    return lines
