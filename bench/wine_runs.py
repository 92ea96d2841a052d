#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Wall time of the real orvello.exe under Wine, against the pauses it must spend.

    wine_runs.py --exe orvello.exe [--standin cfgmgr32.dll] [--runs 3] --out runs.json

Two kinds of run, each repeated on one warmed-up simulated machine
(sim/machine.py: a private prefix cloned from $WINEPREFIX, so run inside
scripts/wine-session):
  no-device  no device matches: 60 checks and four 5 s pauses (20,000 ms)
  faulty     one matching device that reports a problem and stays faulty,
             so every pass cycles it: 20,000 + 5 x 3,000 ms
Also timed: an empty Wine program (cmd /c exit), the cost of starting any
program under Wine. Without --standin the faulty runs are left out.
"""

import argparse
import json
import shutil
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import machine as sim  # noqa: E402  (the simulated machine: prefix, devices, stand-in)

NO_DEVICE_PAUSE_MS = 4 * 5000
FAULTY_PAUSE_MS = 4 * 5000 + 5 * 3000


def summary(values):
    return {"runs": values, "min": min(values), "median": statistics.median(values), "max": max(values)}


def launch_cost(session, runs):
    """Wall time of an empty program: what Wine adds to any run."""
    times = []
    for _ in range(runs):
        start = time.monotonic()
        code, _ = sim.wine_tool(session, ["wine", "cmd", "/c", "exit"])
        times.append((time.monotonic() - start) * 1000)
        sim.check(code == 0, "cmd /c exit ended with %d" % code)
    return times


def timed_runs(session, exe, runs, expected_cycles):
    times = []
    for n in range(runs):
        if os.path.exists(session.log):
            os.remove(session.log)
        code, elapsed, stdout = sim.run_program(session, exe, limit=120)
        sim.check(code == 1, "run %d: exit code %d, expected 1" % (n + 1, code))
        sim.check(stdout == "", "run %d: unexpected output %r" % (n + 1, stdout))
        calls = sim.read_call_log(session)
        cycles = sum(1 for c in calls if c[1] == "CM_Enable_DevNode")
        sim.check(cycles == expected_cycles, "run %d: %d cycles, expected %d" % (n + 1, cycles, expected_cycles))
        print("  run %d: exit code %d after %.1f s" % (n + 1, code, elapsed), flush=True)
        times.append(elapsed * 1000)
    return times


def measure(kind, args, work_dir):
    session = sim.Session(tempfile.mkdtemp(prefix=kind + "-", dir=work_dir), display=True)
    try:
        if kind == "no-device":
            # The system's own cfgmgr32: nothing matches, so no node is touched.
            session.env["WINEDLLOVERRIDES"] = sim.BASE_OVERRIDES
            sim.start_session(session, [])
            exe = os.path.join(session.run_dir, "orvello.exe")
            shutil.copy2(args.exe, exe)
            expected_cycles, pause_ms = 0, NO_DEVICE_PAUSE_MS
        else:
            faulty = sim.device("BENCH_FAULTY", [sim.TARGETS[0]], "status=%X disable=ok enable=ok" % sim.PROBLEM)
            sim.start_session(session, [faulty])
            exe = sim.install_program(session, args.exe, args.standin)
            expected_cycles, pause_ms = 5, FAULTY_PAUSE_MS
        # Warm the prefix: its first program also starts Wine's services.
        launch = launch_cost(session, args.runs + 1)[1:]
        times = timed_runs(session, exe, args.runs, expected_cycles)
    finally:
        sim.end_session(session)
    wall = summary(times)
    return {
        "pause_ms": pause_ms,
        "cycles": expected_cycles,
        "wall_ms": wall,
        "ratio": {k: wall[k] / pause_ms for k in ("min", "median", "max")},
        "wine_launch_ms": summary(launch),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--standin")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    work_dir = tempfile.mkdtemp(prefix="orvello-wine-bench-")
    results = {"exe": os.path.abspath(args.exe), "exe_bytes": os.path.getsize(args.exe), "runs": args.runs,
               "standin": os.path.abspath(args.standin) if args.standin else None}
    try:
        for kind in ("no-device", "faulty"):
            if kind == "faulty" and not args.standin:
                results[kind] = {"pending": "no cfgmgr32 stand-in was built"}
                continue
            print("%s: %d runs" % (kind, args.runs), flush=True)
            results[kind] = measure(kind, args, work_dir)
    except sim.Failure as failure:
        print("wine_runs: %s" % failure, file=sys.stderr)
        return 1
    with open(args.out, "w") as f:
        json.dump(results, f, indent=2)
    shutil.rmtree(work_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
