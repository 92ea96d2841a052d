#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Writes bench/RESULTS.md from the benchmark and Wine-run JSON files.

    report.py --bench check_bench.json --wine wine_runs.json --out RESULTS.md
"""

import argparse
import json
import sys

SIZES = (100, 1000, 10000, 100000)
POSITIONS = ("first", "last", "absent")
LINEAR_LIMIT = 1.2


def medians(bench):
    """name -> median aggregate row (repetitions) or the single row."""
    rows = {}
    for row in bench["benchmarks"]:
        if row.get("error_occurred"):
            sys.exit("report: %s failed: %s" % (row["name"], row.get("error_message")))
        name = row.get("run_name", row["name"])
        if row.get("aggregate_name", "median") == "median":
            rows[name] = row
    return rows


def number(text):
    return "?" if text is None else "%g" % float(text)


def ns(seconds):
    return seconds * 1e9


def check_device_section(rows):
    out = ["## CheckDevice against the fake platform", "",
           "Median CPU time of %s repetitions; time per member is the check's time divided by the members it examined "
           "(1 when the match is first, so that row is per check: snapshot, one member, status read and the "
           "healthy-device path)." % rows[next(iter(rows))].get("repetitions", 1), "",
           "| match | devices | time per check | time per member | platform buffers per member "
           "| operator new per member (all) | operator new per member (program's own) |",
           "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    per_member = {}
    for position in POSITIONS:
        for size in SIZES:
            row = rows["CheckDevice/match:%s/devices:%d" % (position, size)]
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[row["time_unit"]]
            check_ns = row["cpu_time"] * scale
            member_ns = ns(row["time_per_member"])
            per_member[position, size] = member_ns
            out.append("| %s | %s | %s | %.1f ns | %.3f | %.3f | %.3f |" % (
                position, format(size, ","), duration(check_ns), member_ns, row["buffers_per_member"],
                row["news_per_member"], row["program_news_per_member"]))
    out += ["", "Growth: time per member at 100,000 devices over that at 1,000 (linear cost: at most %.1f)." % LINEAR_LIMIT,
            "", "| match | per member at 1,000 | per member at 100,000 | ratio | within %.1f× |" % LINEAR_LIMIT,
            "| --- | ---: | ---: | ---: | --- |"]
    for position in POSITIONS:
        a, b = per_member[position, 1000], per_member[position, 100000]
        label = position + (" (one member: per check)" if position == "first" else "")
        out.append("| %s | %.1f ns | %.1f ns | %.3f | %s |" % (label, a, b, b / a, "yes" if b / a <= LINEAR_LIMIT else "NO"))
    return out


def duration(value_ns):
    if value_ns >= 1e6:
        return "%.2f ms" % (value_ns / 1e6)
    if value_ns >= 1e3:
        return "%.1f µs" % (value_ns / 1e3)
    return "%.0f ns" % value_ns


def schedule_section(rows):
    row = rows["Schedule/devices:300/faulty:1"]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[row["time_unit"]]
    run_ms = row["cpu_time"] * scale
    pause_ms = row["virtual_pause_ms"]
    return ["## The whole schedule, pauses virtualised", "",
            "Five passes over the twelve IDs on a machine of %d devices, one of which matches and stays faulty, "
            "so each pass cycles it. The fake's pause only records." % row["devices"], "",
            "| work per run | device enumerations | cycles | pauses it would sleep | work / pauses |",
            "| ---: | ---: | ---: | ---: | ---: |",
            "| %.2f ms | %s | %d | %s ms | %.1e |" % (run_ms, format(int(row["members_walked"]), ","), row["cycles"],
                                                  format(int(pause_ms), ","), run_ms / pause_ms)]


def wine_section(wine):
    out = ["## The real executable under Wine", "",
           "`%s` (%s bytes), %d runs of each kind in a warmed-up private prefix; wall time from starting "
           "`wine orvello.exe` to its exit (code 1, checked), against the pauses the run must spend. "
           "An empty program (`cmd /c exit`) shows what Wine adds to any start. The faulty device is a registry "
           "device node whose status, disable and enable come from the cfgmgr32 stand-in of the end-to-end tests "
           "(it keeps its problem, so all five passes cycle it)." % (
               wine["exe"].split("/work/main/")[-1], format(wine["exe_bytes"], ","), wine["runs"]), "",
           "| run | pauses | wall min | wall median | wall max | overhead (median) | ratio min / median / max | empty program (median) |",
           "| --- | ---: | ---: | ---: | ---: | ---: | --- | ---: |"]
    labels = {"no-device": "no matching device", "faulty": "one faulty device (5 cycles)"}
    for kind in ("no-device", "faulty"):
        r = wine.get(kind)
        if r is None or "pending" in r:
            reason = r["pending"] if r else "not run"
            out.append("| %s | %s ms | pending: %s | | | | | |" % (labels[kind], "35,000" if kind == "faulty" else "20,000", reason))
            continue
        w, q = r["wall_ms"], r["ratio"]
        out.append("| %s | %s ms | %s ms | %s ms | %s ms | %+.0f ms | %.4f / %.4f / %.4f | %.0f ms |" % (
            labels[kind], format(r["pause_ms"], ","), format(round(w["min"]), ","), format(round(w["median"]), ","),
            format(round(w["max"]), ","), w["median"] - r["pause_ms"], q["min"], q["median"], q["max"],
            r["wine_launch_ms"]["median"]))
    if wine.get("standin"):
        out += ["", "Stand-in: `%s`." % wine["standin"].split("/work/main/")[-1]]
    out += ["", "Each run's wall times, ms: " + "; ".join(
        "%s: %s" % (k, ", ".join("%.0f" % t for t in wine[k]["wall_ms"]["runs"]))
        for k in ("no-device", "faulty") if "wall_ms" in wine.get(k, {}))]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bench", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.bench) as f:
        bench = json.load(f)
    rows = medians(bench)
    ctx = bench["context"]
    lines = ["# Benchmark results", "",
             "Written by `scripts/bench` on %s: %d CPUs at %.0f MHz, load average %s. "
             "Native figures: Release build, Google Benchmark %s." % (
                 ctx["date"], ctx["num_cpus"], ctx["mhz_per_cpu"],
                 " ".join("%.2f" % x for x in ctx.get("load_avg", [])), "1.7"), "",
             "Allocations: *platform buffers* are the property buffers the program asks the platform for "
             "(LocalAlloc on Windows, the fake's AllocBuffer here); *operator new* counts every C++ heap allocation "
             "in the process, and *program's own* leaves out the fake's bookkeeping (%s per buffer, %s per snapshot, "
             "measured before the runs)." % (number(ctx.get("fake_news_per_buffer")), number(ctx.get("fake_news_per_snapshot"))), ""]
    lines += check_device_section(rows) + [""] + schedule_section(rows) + [""]
    if args.wine:
        with open(args.wine) as f:
            lines += wine_section(json.load(f))
    else:
        lines += ["## The real executable under Wine", "", "Not run (`scripts/bench --native-only`)."]
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
