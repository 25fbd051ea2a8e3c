"""jobs: "-I" with 1, 8 and 64 boxes of 4 tuners. bench_meter.exe gives wall time and peak
memory of each run; beside it the floor: an empty program under Wine, plus the program's network
work done by hdhomerun_config (the client floor) or by the library in one process
(bench_lib_probe.exe: the built libhdhomerun.dll with the program's calls).
Repeated, interleaved, for median and spread."""

from __future__ import annotations

import json
from pathlib import Path

from benchlib import BenchPrefix, Box, Lan, check_install, fill_lan, fmt, load_average, summary


def program_reads(box: Box) -> list[str]:
    """The variables the program reads from a box, in its order (owner text decides whether
    availability is asked), ending with the model read of the first missing tuner."""
    reads = []
    for n, tuner in enumerate(box.tuners):
        reads += ["/tuner%d/model" % n, "/tuner%d/owner" % n] + ([] if tuner.owner else ["/tuner%d/available" % n])
    return reads + ["/tuner%d/model" % len(box.tuners)]


def floor_client(lan: Lan, boxes: list[Box]) -> float:
    """hdhomerun_config doing the program's network work: one discovery, then per box the
    same reads. The client takes one command per process and connects anew each time; the
    first read of a box goes by device id (the library then searches for that id, as the
    program's open by id does), the others by address. Seconds of the whole sequence, timed
    inside the namespace."""
    commands = [["hdhomerun_config", "discover"]]
    for box in boxes:
        commands += [["hdhomerun_config", box.id_text if i == 0 else box.ip, "get", var]
                     for i, var in enumerate(program_reads(box))]
    script = ("import subprocess,sys,time,json\ncmds=json.loads(sys.stdin.read())\nt=time.perf_counter()\n"
              "bad=[c for c in cmds if subprocess.run(c,stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL)"
              ".returncode not in (0,1)]\nprint(json.dumps({'seconds':time.perf_counter()-t,'bad':len(bad)}))\n")
    result = json.loads(lan.run(["/usr/bin/python3", "-c", script], input=json.dumps(commands), timeout=600).stdout)
    if result["bad"]:
        raise RuntimeError("hdhomerun_config failed %d times" % result["bad"])
    return result["seconds"]


def check_client_answers(lan: Lan, box: Box):
    """The client reads what the box holds: the floor does real work."""
    out = lan.run(["hdhomerun_config", box.id_text, "get", "/tuner0/model"]).stdout.strip()
    if out != box.tuners[0].model:
        raise RuntimeError("hdhomerun_config read %r, expected %r" % (out, box.tuners[0].model))


def floor_library(prefix: BenchPrefix, lan: Lan, boxes: list[Box]) -> dict:
    """The library in one process with the program's calls: seconds of the whole and of the search."""
    probe = prefix.run(prefix.tool("bench_lib_probe.exe"), [b.id_text for b in boxes], netns=lan.program_ns, check=True)
    result = json.loads(probe.stdout.strip().splitlines()[-1])
    if result["found"] != len(boxes) or result["tuners"] != 4 * len(boxes):
        raise RuntimeError("library floor saw %s" % result)
    return result


def run(build: Path, quick: bool) -> dict:
    results = {}
    for count, repetitions in [(1, 3), (8, 3)] if quick else [(1, 11), (8, 11), (64, 7)]:
        print("jobs: %d boxes, %d repetitions" % (count, repetitions), flush=True)
        with BenchPrefix(build) as prefix, Lan() as lan:
            boxes = fill_lan(lan, count).boxes
            check_client_answers(lan, boxes[0])
            ns = lan.program_ns
            # One unmeasured round: first-use costs of the prefix are not the program's.
            prefix.meter(prefix.exe, ["-I"], netns=ns)
            rows = {"first": [], "repeat": [], "empty": [], "client": [], "library": [], "library_search": []}
            load_before = load_average()
            for rep in range(repetitions):
                prefix.program(["-R"])
                rows["first"].append(prefix.meter(prefix.exe, ["-I"], netns=ns))
                if rep in (0, repetitions - 1):
                    check_install(prefix, count)
                rows["repeat"].append(prefix.meter(prefix.exe, ["-I"], netns=ns))
                rows["empty"].append(prefix.meter(prefix.tool("bench_empty.exe"), []))
                rows["client"].append(floor_client(lan, boxes))
                library = floor_library(prefix, lan, boxes)
                rows["library"].append(library["seconds"])
                rows["library_search"].append(library["search_seconds"])
            bad = [r for r in rows["first"] + rows["repeat"] + rows["empty"] if r["exit_code"] != 0]
            if bad:
                raise RuntimeError("a measured run did not end with 0: %s" % bad)
            results[str(count)] = summarise(rows, load_before)
    return results


def summarise(rows: dict, load_before: list[float]) -> dict:
    def of(key, field, scale):
        return summary([r[field] * scale for r in rows[key]])

    out = {"load_average": [load_before, load_average()], "raw": rows,
           "client_s": summary(rows["client"]), "library_s": summary(rows["library"]),
           "library_search_s": summary(rows["library_search"]),
           "first_peak_private_mib": of("first", "peak_pagefile", 2 ** -20),
           "empty_peak_private_mib": of("empty", "peak_pagefile", 2 ** -20)}
    for key in ("first", "repeat", "empty"):
        out[key + "_wall_s"] = of(key, "wall_ms", 0.001)
        out[key + "_peak_ws_mib"] = of(key, "peak_working_set", 2 ** -20)
    return out


def report(results: dict) -> list[str]:
    lines = ["| boxes × 4 tuners | `-I` first run, s | `-I` repeat, s | peak working set, MiB | empty program, s | "
             "hdhomerun_config work, s | floor, s | ratio first / repeat | library in one process, s | "
             "ratio to empty + library, first / repeat |", "|---|---|---|---|---|---|---|---|---|---|"]
    for count, r in results.items():
        if isinstance(r, dict):  # not the part's "date"
            first, repeat, empty = (r[k + "_wall_s"]["median"] for k in ("first", "repeat", "empty"))
            floor, library_floor = empty + r["client_s"]["median"], empty + r["library_s"]["median"]
            lines.append("| %s | %s | %s | %s | %s | %s | %.3f | %.2f / %.2f | %s | %.2f / %.2f |" % (
                count, fmt(r["first_wall_s"]), fmt(r["repeat_wall_s"]), fmt(r["first_peak_ws_mib"], digits=1),
                fmt(r["empty_wall_s"]), fmt(r["client_s"]), floor, first / floor, repeat / floor, fmt(r["library_s"]),
                first / library_floor, repeat / library_floor))
    lines += ["", "| boxes | peak working set repeat / empty program, MiB | peak private bytes first / empty program, "
              "MiB | search of the library, s |", "|---|---|---|---|"]
    lines += ["| %s | %s / %s | %s / %s | %s |" % (
        count, fmt(r["repeat_peak_ws_mib"], digits=1), fmt(r["empty_peak_ws_mib"], digits=1),
        fmt(r["first_peak_private_mib"], digits=1), fmt(r["empty_peak_private_mib"], digits=1),
        fmt(r["library_search_s"]) if "library_search_s" in r else "-") for count, r in results.items()
        if isinstance(r, dict)]
    return lines
