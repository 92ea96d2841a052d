#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Runs the program on a simulated machine and shows its device calls as they happen.

    run.py --exe orvello.exe --trace-exe orvello-trace.exe --standin cfgmgr32.dll \\
           --run-dir DIR [--scenario NAME]

Prepares the machine of sim/scenarios/NAME.txt (default failing-hub), starts
the program under Wine as Windows starts it at boot (no arguments, hidden
window), follows the stand-in's call log as it grows and ends with one
summary line. Exits 0 when the exit code and the device calls are the
scenario's, 1 when they are not, 2 when the machine could not be prepared.
Runs inside scripts/wine-session; scripts/run builds and calls it.
"""

import argparse
import os
import shutil
import signal
import sys
import time

import machine as sim

SCENARIOS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
# Why a node has a problem, by the numbers a scenario is likely to give.
PROBLEMS = {10: "it failed to start", 22: "disabled", 28: "no driver installed", 43: "its driver reported a failure"}
# The stand-in's answers to a disable or enable: the code each returns, or the fault.
CODES = {"ok": "CR_SUCCESS", "fail": "CR_FAILURE", "vetoed": "CR_REMOVE_VETOED",
         "not-disableable": "CR_NOT_DISABLEABLE", "denied": "CR_ACCESS_DENIED", "gone": "CR_NO_SUCH_DEVINST"}
FAULTS = {"av": "an access violation", "raise": "an exception"}
FUNCTIONS = {"status": "CM_Get_DevNode_Status", "disable": "CM_Disable_DevNode", "enable": "CM_Enable_DevNode"}
VERBS = {v: k for k, v in FUNCTIONS.items()}
SILENCE = 2.0  # seconds without a device call before a "waiting" line


# ---------------------------------------------------------------- scenarios

def status_text(word):
    """A scenario's status word (healthy, problem, problem:N, disabled; or
    fail, <hex>[:N] as the stand-in takes them) as the stand-in logs it."""
    name, colon, number = word.partition(":")
    if word == "healthy":
        return sim.logged_status(sim.HEALTHY)
    if word == "disabled":
        return sim.logged_status(sim.PROBLEM, sim.DISABLED)
    if name == "problem":
        sim.check(not colon or number.isdigit() and int(number) > 0, "not a problem number: " + word)
        return sim.logged_status(sim.PROBLEM, int(number) if colon else sim.FAILED_START)
    return word


def status_word(text):
    """The scenario's word for a logged status, for messages."""
    for word in ("healthy", "disabled", "problem"):
        if status_text(word) == text:
            return word
    status, _, number = text.partition(":")
    return "problem:" + number if number and status == "0x%08X" % sim.PROBLEM else text


def scenario_names():
    return sorted(f[:-4] for f in os.listdir(SCENARIOS) if f.endswith(".txt"))


def load_scenario(name):
    """sim/scenarios/NAME.txt as a record: about, program, exit, devices
    (machine.device records with a "name") and the expected calls, each
    (function, instance id, result) as the stand-in logs them."""
    path = os.path.join(SCENARIOS, name + ".txt")
    scenario = {"name": name, "about": "", "program": "orvello.exe", "exit": 1, "devices": [], "calls": []}
    by_name = {}
    passes = 0
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            where = "%s:%d: " % (path, number)
            kind, rest = words[0], words[1:]
            if kind == "about":
                scenario["about"] = " ".join(rest)
            elif kind == "program":
                sim.check(rest in (["orvello.exe"], ["orvello-trace.exe"]),
                          where + "program is orvello.exe or orvello-trace.exe")
                scenario["program"] = rest[0]
            elif kind == "exit":
                scenario["exit"] = int(rest[0])
            elif kind == "device":
                sim.check(len(rest) >= 3 and rest[1].upper().startswith("USB\\") and rest[1].count("\\") == 2
                          and "=" not in rest[-1],
                          where + "device NAME USB\\KEY\\INSTANCE BEHAVIOUR... HARDWARE-ID...")
                name_, instance_id = rest[0], rest[1].upper()
                behaviour = [w for w in rest[2:] if "=" in w]
                for k, v in (w.split("=", 1) for w in behaviour):
                    sim.check(k not in ("disable", "enable") or all(a in CODES or a in FAULTS for a in v.split(",")),
                              where + "not an action, or a list of them: %s=%s" % (k, v))
                key, instance = instance_id[len("USB\\"):].split("\\")
                script = " ".join(k + "=" + (status_text(v) if k in ("status", "after") else v)
                                  for k, v in (w.split("=", 1) for w in behaviour))
                dev = sim.device(key, [w for w in rest[2:] if "=" not in w], script, instance)
                dev.update(name=name_, behaviour=" ".join(behaviour))
                scenario["devices"].append(dev)
                by_name[name_] = dev
            elif kind == "pass":
                first, _, last = rest[0].partition("-")
                sim.check(int(first) == passes + 1, where + "passes are numbered 1, 2, ... in order")
                passes = int(last or first)
                calls = []
                for call in " ".join(rest[1:]).split(","):
                    parts = call.split()
                    sim.check(len(parts) == 3 and parts[0] in FUNCTIONS and parts[1] in by_name,
                              where + "not a call of a device: " + call)
                    result = status_text(parts[2]) if parts[0] == "status" else parts[2]
                    calls.append((FUNCTIONS[parts[0]], by_name[parts[1]]["id"], result))
                scenario["calls"] += calls * (passes - int(first) + 1)
            else:
                raise sim.Failure(where + "unknown line: " + line.strip())
    return scenario


# ---------------------------------------------------------------- what is shown

def plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def describe(function, result):
    verb = VERBS.get(function, function)
    if verb == "status":
        if result == "fail":
            return "unreadable (CR_FAILURE)"
        status, _, number = result.partition(":")
        if number:
            why = PROBLEMS.get(int(number))
            return "problem %s (%s)%s" % (number, status, ": " + why if why else "")
        if status.startswith("0x"):
            return "healthy (%s)" % status
    if result == "ok":
        return {"disable": "ok: stopped", "enable": "ok: running again, restarted"}.get(verb, result)
    left = "the device is left alone" if verb == "disable" else "the device is left disabled"
    if result in CODES:
        return "%s (%s): %s" % ("refused" if verb == "disable" else "failed", CODES[result], left)
    if result in FAULTS:
        return "faulted (%s inside the call): %s" % (FAULTS[result], left)
    return result


def stopped(call):
    """A disable that succeeded: the program pauses 3 s before the enable."""
    return call is not None and call[1] == "CM_Disable_DevNode" and call[3] == "ok"


def show(seconds, what):
    print("%7.2f s  %s" % (seconds, what), flush=True)


def follower(session, scenario, start):
    """A watch function for machine.run_program: prints each new call of the
    stand-in's log as it appears, and a "waiting" line after SILENCE seconds
    without one. Call times are the stand-in's own stamps (Wine's
    QueryPerformanceCounter, Linux's CLOCK_MONOTONIC_RAW) from the start;
    passes and pauses are inferred from the gaps between calls."""
    names = {d["id"].upper(): d["name"] for d in scenario["devices"]}
    state = {"offset": 0, "calls": [], "last": start, "waiting": False, "pass": 1, "stamps": True}

    def watch():
        now = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
        lines = []
        if os.path.exists(session.log):
            with open(session.log, "rb") as f:
                f.seek(state["offset"])
                text = f.read()
            complete = text[:text.rfind(b"\n") + 1]  # a line being written waits for the next look
            state["offset"] += len(complete)
            lines = complete.decode(errors="replace").splitlines()
        for line in lines:
            call = sim.parse_call(line)
            seen = call[0] / 1000.0
            if state["stamps"] and not (start - 1.0 < seen <= now + 0.1):
                state["stamps"] = False
                print("(the stand-in's clock is not ours: times below are when a call was seen)")
            at = seen if state["stamps"] else now
            previous = state["calls"][-1] if state["calls"] else None
            if previous and at - state["last"] >= 4.0 and not stopped(previous):
                state["pass"] += 1
            state["calls"].append(call)
            state["last"], state["waiting"] = at, False
            show(at - start, "%-7s  %-7s  %-11s  %s" % ("pass %d" % state["pass"], VERBS.get(call[1], call[1]),
                                                         names.get(call[2].upper(), call[2]),
                                                         describe(call[1], call[3])))
        if not state["waiting"] and now - state["last"] >= SILENCE:
            state["waiting"] = True
            previous = state["calls"][-1] if state["calls"] else None
            if previous is None:
                why = "no device call yet"
            elif stopped(previous):
                why = "no device call for %.0f s: the restart's 3 s pause (inferred)" % SILENCE
            else:
                why = "no device call for %.0f s: the 5 s pause between passes (inferred)" % SILENCE
            show(now - start, "waiting  " + why)

    return watch, state


def summary(code, elapsed, calls):
    """Restarts, failures and the pauses the run must take: 20 s between
    passes, plus 3 s after each disable that succeeded. A device counts by
    its last restart: restarted when its enable succeeded, failed when its
    disable or enable did not; restarts that came after a failed one are
    counted apart."""
    attempts = {}  # node: whether each of its restarts succeeded
    for _, function, node, result in calls:
        if function == "CM_Enable_DevNode" or function == "CM_Disable_DevNode" and result != "ok":
            attempts.setdefault(node, []).append(function == "CM_Enable_DevNode" and result == "ok")
    restarted = [node for node, done in attempts.items() if done[-1]]
    retried = sum(1 for node in restarted if not all(attempts[node]))
    pauses = 20.0 + 3.0 * sum(1 for c in calls if stopped(c))
    return "run: exit code %d after %.1f s (pauses %.1f s); %s restarted%s, %d failed" % (
        code, elapsed, pauses, plural(len(restarted), "device"),
        " (%d after a failed attempt)" % retried if retried else "", len(attempts) - len(restarted))


def differences(scenario, code, stdout, calls):
    """What is not as the scenario expects, one line each."""
    wrong = []
    if code != scenario["exit"]:
        wrong.append("exit code %d, expected %d" % (code, scenario["exit"]))
    if stdout:
        wrong.append("the program printed %r" % stdout)
    actual = [(f, node.upper(), r) for _, f, node, r in calls]
    if actual != scenario["calls"]:
        at = next((i for i, (x, y) in enumerate(zip(actual, scenario["calls"])) if x != y),
                  min(len(actual), len(scenario["calls"])))
        names = {d["id"]: d["name"] for d in scenario["devices"]}

        def shown(calls_):
            if at >= len(calls_):
                return "nothing"
            function, node, result = calls_[at]
            verb = VERBS.get(function, function)
            return " ".join((verb, names.get(node, node), status_word(result) if verb == "status" else result))
        wrong.append("%d device calls, expected %d; call %d is %s, expected %s" % (
            len(actual), len(scenario["calls"]), at + 1, shown(actual), shown(scenario["calls"])))
    return wrong


# ---------------------------------------------------------------- the run

def run(args, scenario, session):
    devices = scenario["devices"]
    print("run: scenario %s: %s" % (scenario["name"], scenario["about"]))
    print("run: simulated machine in %s: %s in the registry, the CfgMgr32 stand-in in System32"
          % (os.path.relpath(session.run_dir), plural(len(devices), "USB device")))
    for dev in devices:
        target = "target" if any(dev["hwids"][0].startswith(t) for t in sim.TARGETS) else "other"
        print("       %-12s %-38s %-6s  %s" % (dev["name"], dev["id"], target, dev["behaviour"]))
    sim.start_session(session, devices)
    exe = args.trace_exe if scenario["program"] == "orvello-trace.exe" else args.exe
    sim.install_program(session, exe, args.standin)
    # Wine's services start with a prefix's first program: not the run's time.
    sim.wine_tool(session, ["wine", "cmd", "/c", "exit"])

    print("run: %s under Wine as at boot: no arguments, hidden window; its device calls:"
          % os.path.basename(exe), flush=True)
    start = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
    watch, state = follower(session, scenario, start)
    code, elapsed, stdout = sim.run_program(session, exe, limit=150, watch=watch)
    time.sleep(0.1)
    watch()  # the last lines
    show(elapsed, "exit     %s ended with exit code %d" % (os.path.basename(exe), code))
    calls = state["calls"]
    if not calls:
        print("run: no device call: the passes and their pauses leave nothing in the call log")

    wrong = differences(scenario, code, stdout, calls)
    if scenario["program"] == "orvello-trace.exe":
        lines = []
        if os.path.exists(session.trace_log):
            with open(session.trace_log, "rb") as f:
                lines = f.read().decode("latin-1").splitlines()
        print("run: C:\\ProgramData\\Tamrisk.txt, the trace log (%s):" % plural(len(lines), "line"))
        for line in lines:
            print("       " + line)
        if not lines:
            wrong.append("the trace build wrote no trace log")
    for line in wrong:
        print("run: not as expected: " + line)
    print(summary(code, elapsed, calls), flush=True)
    return 1 if wrong else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--trace-exe", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--run-dir", required=True, help="the machine's folder (emptied first, kept after)")
    parser.add_argument("--scenario", default="failing-hub", choices=scenario_names())
    args = parser.parse_args()
    # A test runner's SIGTERM still gets the prefix's processes stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    shutil.rmtree(args.run_dir, ignore_errors=True)
    session = sim.Session(os.path.abspath(args.run_dir), display=True)
    try:
        result = run(args, load_scenario(args.scenario), session)
    except sim.Failure as failure:
        print("run: failed: %s" % failure, flush=True)
        result = 2
    finally:
        left = sim.end_session(session)
    if left:
        print("run: processes left behind in the machine's prefix: %s" % left)
    return result or (1 if left else 0)


if __name__ == "__main__":
    sys.exit(main())
