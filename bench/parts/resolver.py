"""resolver: "-I" with 64 boxes of 4 tuners (no host name in the hosts file) on a LAN whose
resolver never answers, each query waiting 15 s, about what a resolver that gets no answer takes
to give up on Windows: the longest search the program's own time limits allow, against the
bound after which the packages end a copy (ZENTROVA_WAIT_SECONDS)."""

from __future__ import annotations

import re
from pathlib import Path

from benchlib import REPO, BenchPrefix, Lan, check_install, fill_lan, load_average, summary

BOXES, QUERY_S = 64, 15


def package_bound() -> int:
    wxs = (REPO / "installer" / "TavrixInstall.wxs").read_text()
    return int(re.search(r'<Property Id="ZENTROVA_WAIT_SECONDS" Value="(\d+)"/>', wxs).group(1))


def run(build: Path, quick: bool) -> dict:
    walls = []
    with BenchPrefix(build) as prefix, Lan() as lan:
        fill_lan(lan, BOXES, named=False)
        load_before = load_average()
        for _ in range(1 if quick else 3):
            prefix.program(["-R"])
            with lan.silent_resolver(QUERY_S):
                measured = prefix.meter(prefix.exe, ["-I"], netns=lan.program_ns)
            if measured["exit_code"] != 0:
                raise RuntimeError("-I ended with %d" % measured["exit_code"])
            check_install(prefix, BOXES)  # every tuner of every box, names or not
            walls.append(measured["wall_ms"] / 1000)
    return {"boxes": BOXES, "query_timeout_s": QUERY_S, "wall_s": summary(walls), "raw": walls,
            "package_bound_s": package_bound(), "load_average": [load_before, load_average()]}


def report(r: dict) -> list[str]:
    wall = r["wall_s"]
    return ["| boxes × 4 tuners, resolver silent (query %d s) | `-I`, s: median (min–max), %d runs | "
            "the packages' bound, s | bound ÷ slowest run |" % (r["query_timeout_s"], wall["n"]), "|---|---|---|---|",
            "| %d | %.1f (%.1f–%.1f) | %d | %.1f |" % (r["boxes"], wall["median"], wall["min"], wall["max"],
                                                   r["package_bound_s"], r["package_bound_s"] / wall["max"])]
