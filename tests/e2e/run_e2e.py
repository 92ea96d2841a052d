# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""End-to-end runs of orvello.exe under Wine, on the simulated machine.

Each scenario gets a simulated machine of its own (sim/machine.py): a
private, throw-away Wine prefix cloned from the session's, its own test
devices in that prefix's registry, and the scripted cfgmgr32.dll stand-in in
its System32. So scenarios can run in parallel, and one started without a
display (no-display) cannot spoil later GUI runs. The stand-in's call log is
what most checks read.

    run_e2e.py --exe orvello.exe --trace-exe orvello-trace.exe \
               --standin cfgmgr32.dll [--work-dir DIR] [--keep] SCENARIO...

Scenarios: no-device, no-display, devices, trace, stress, planted-dll (or all). Runs inside
scripts/wine-session, which provides WINEPREFIX and DISPLAY.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pe"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))
from check_pe import delay_imports  # noqa: E402
import machine as sim  # noqa: E402
from machine import (BASE_OVERRIDES, HEALTHY, PROBLEM, TARGETS, Failure, Session, check, device,  # noqa: E402
                     end_session, import_devices, logged_status, read_call_log, start_session, wine_tool,
                     windows_path, write_script)


# Present but never to be examined: the program matches the first hardware
# ID only, as a case-sensitive prefix of the target. Scripted as faulty so
# that any status read or cycle of them shows in the call log.
DECOYS = [
    # Target 6 only as the second ID; the first is a proper prefix of it.
    device("E2E_S_SECOND_ID", [TARGETS[5][:-1], TARGETS[5]], "status=%X disable=ok enable=ok" % PROBLEM),
    device("E2E_T_LOWER_CASE", [TARGETS[6].lower()], "status=%X disable=ok enable=ok" % PROBLEM),
    device("E2E_U_OTHER_REV", [r"USB\VID_05E3&PID_0625&REV_3002"], "status=%X disable=ok enable=ok" % PROBLEM),
    device("E2E_V_OTHER_PID", [r"USB\VID_05E3&PID_0611&REV_2000"], "status=fail disable=ok enable=ok"),
]


def run_program(session, exe, limit):
    """Runs exe on the machine; returns (exit code, seconds, stdout)."""
    code, elapsed, stdout = sim.run_program(session, exe, limit)
    print("  %s: exit code %d after %.1f s" % (os.path.basename(exe), code, elapsed))
    return code, elapsed, stdout


def cfgmgr32_imports(path):
    """What the program takes from cfgmgr32.dll, imported or delay-loaded."""
    pe = pefile.PE(path)
    try:
        names = set(delay_imports(pe).get("cfgmgr32.dll", ()))
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            if entry.dll.decode().lower() == "cfgmgr32.dll":
                names.update(i.name.decode() for i in entry.imports if i.name)
    finally:
        pe.close()
    return names


def prepare_run(session, exe, standin):
    # The stand-in only takes effect where the program calls cfgmgr32.dll.
    cm = cfgmgr32_imports(exe)
    for name in ("CM_Get_DevNode_Status", "CM_Disable_DevNode", "CM_Enable_DevNode"):
        check(name in cm, "%s does not import %s from cfgmgr32.dll" % (exe, name))
    sim.install_program(session, exe, standin)


# ---------------------------------------------------------------- scenarios

def scenario_no_device(args, session):
    """Decoys only: sixty checks, four pauses, no device call, exit 1."""
    start_session(session, DECOYS)
    prepare_run(session, args.exe, args.standin)
    code, elapsed, stdout = run_program(session, args.exe, limit=90)
    print("  wall time %.1f s" % elapsed)
    check(code == 1, "exit code %d, expected 1" % code)
    check(elapsed >= 20.0, "run took %.1f s, expected at least the four 5 s pauses" % elapsed)
    check(elapsed < 40.0, "run took %.1f s, expected no pause beyond the four 5 s pauses" % elapsed)
    check(stdout == "", "unexpected standard output: %r" % stdout)
    calls = read_call_log(session)
    check(calls == [], "no device matched, yet the stand-in was called:\n%s" % format_calls(calls))


def scenario_no_display(args, session):
    """No display: the window cannot be created, so exit 0 and touch nothing."""
    problem = device("E2E_A_PROBLEM", [TARGETS[0]], "status=%X disable=ok enable=ok" % PROBLEM)
    start_session(session, [problem])
    prepare_run(session, args.exe, args.standin)
    code, elapsed, stdout = run_program(session, args.exe, limit=20)
    check(code == 0, "exit code %d, expected 0" % code)
    check(elapsed < 10.0, "took %.1f s; the schedule must not run" % elapsed)
    check("SetupDiGetClassDevs" not in stdout, "a check ran: %r" % stdout)
    calls = read_call_log(session)
    check(calls == [], "device calls without a window:\n%s" % format_calls(calls))


REFUSALS = ["vetoed", "not-disableable", "denied", "gone", "fail"]


def devices_scenario_devices():
    return [
        device("E2E_A_PROBLEM", [TARGETS[0], r"USB\VID_05E3&PID_0610"], "status=%X disable=ok enable=ok" % PROBLEM),
        device("E2E_B_UNREADABLE", [TARGETS[1]], "status=fail disable=ok enable=ok after=%X" % HEALTHY),
        device("E2E_C_DISABLE_RAISES", [TARGETS[2]], "status=%X disable=raise enable=ok" % PROBLEM),
        device("E2E_D_DISABLE_FAULTS", [TARGETS[3]], "status=%X disable=av enable=ok" % PROBLEM),
        # Its first enable raises, which leaves it disabled: the next pass
        # finds problem 22 and cycles it again.
        device("E2E_E_ENABLE_RAISES", [TARGETS[4]],
               "status=%X disable=ok enable=raise,ok after=%X" % (PROBLEM, HEALTHY)),
        # Each of Windows' refusals of a disable, one a pass: none is followed by an enable.
        device("E2E_F_REFUSED", [TARGETS[7]], "status=%X disable=%s enable=ok" % (PROBLEM, ",".join(REFUSALS))),
        # A longer first ID still matches; the faulty twin after it in
        # snapshot order must never be reached.
        device("E2E_H1_HEALTHY", [TARGETS[11] + "&MI_00"], "status=%X disable=ok enable=ok" % HEALTHY),
        device("E2E_H2_SAME_ID", [TARGETS[11] + "&MI_00"], "status=%X disable=ok enable=ok" % PROBLEM),
    ] + DECOYS


def expected_device_calls(devs):
    a, b, c, d, e, f, h = (devs[i]["id"] for i in range(7))
    st, dis, en = "CM_Get_DevNode_Status", "CM_Disable_DevNode", "CM_Enable_DevNode"
    problem, healthy = logged_status(PROBLEM), logged_status(HEALTHY)
    disabled = logged_status(PROBLEM, sim.DISABLED)
    passes = []
    for n in range(5):
        calls = [(st, a, problem), (dis, a, "ok"), (en, a, "ok")]
        calls += [(st, b, "fail"), (dis, b, "ok"), (en, b, "ok")] if n == 0 else [(st, b, healthy)]
        calls += [(st, c, problem), (dis, c, "raise")]
        calls += [(st, d, problem), (dis, d, "av")]
        calls += ([(st, e, problem), (dis, e, "ok"), (en, e, "raise")] if n == 0 else
                  [(st, e, disabled), (dis, e, "ok"), (en, e, "ok")] if n == 1 else [(st, e, healthy)])
        calls += [(st, f, problem), (dis, f, REFUSALS[n])]
        calls += [(st, h, healthy)]
        passes.append(calls)
    return passes


def format_calls(calls):
    return "\n".join("    %10.1f %s %s %s" % c for c in calls)


def scenario_devices(args, session):
    """Faulty, healthy, unreadable and faulting devices in one run."""
    devs = devices_scenario_devices()
    start_session(session, devs)
    prepare_run(session, args.exe, args.standin)
    code, elapsed, stdout = run_program(session, args.exe, limit=150)
    calls = read_call_log(session)
    print("  stand-in calls:\n" + format_calls(calls))
    check(code == 1, "exit code %d, expected 1 (a fault inside a device call must not end the run)" % code)
    check(stdout == "", "unexpected standard output: %r" % stdout)

    passes = expected_device_calls(devs)
    expected = [c for p in passes for c in p]
    actual = [c[1:] for c in calls]
    if actual != expected:
        diff = next((i for i, (x, y) in enumerate(zip(actual, expected)) if x != y), min(len(actual), len(expected)))
        raise Failure("device calls differ from call %d: got %s, expected %s"
                      % (diff, actual[diff:diff + 3], expected[diff:diff + 3]))

    # Timing: 3 s between each disable and its enable, 5 s between passes,
    # and no other pause.
    index = 0
    for n, p in enumerate(passes):
        chunk = calls[index:index + len(p)]
        if n > 0:
            gap = chunk[0][0] - calls[index - 1][0]
            check(gap >= 5000, "only %.0f ms between pass %d and pass %d" % (gap, n, n + 1))
        for prev, cur in zip(chunk, chunk[1:]):
            gap = cur[0] - prev[0]
            if prev[1] == "CM_Disable_DevNode" and cur[1] == "CM_Enable_DevNode":
                check(3000 <= gap < 5000, "%.0f ms between disable and enable of %s" % (gap, cur[2]))
            else:
                check(gap < 1500, "unexpected pause of %.0f ms before %s %s" % (gap, cur[1], cur[2]))
        index += len(p)
    check(elapsed >= 44.0, "run took %.1f s, expected 20 s of pass pauses and eight 3 s cycles" % elapsed)


# ---------------------------------------------------------------- stress

# Chosen from measurement: Wine's SetupDiGetClassDevsW and the list's
# destruction cost about 1 ms per present device (1.0-1.4 s a snapshot at
# 1,000 devices, 2.4 s at 2,000), so sixty snapshots of this many stay within
# about half an empty run. --stress-devices runs a bigger crowd by hand.
STRESS_DEVICES = 200


def id_list(first, total_bytes, seed, inner=None):
    """A hardware-ID list of about total_bytes (UTF-16), starting with first."""
    ids = [first]
    n = 0
    while 2 * sum(len(h) + 1 for h in ids) < total_bytes:
        ids.append(r"USB\VID_%04X&PID_%04X&REV_%04X&MI_%02X" % (0x2000 + seed % 0xD000, n, seed % 9999, n % 100))
        n += 1
        if inner is not None and n == 7:
            ids.append(inner)  # a target deep in the list, where it must not count
    return ids


def sized_list(first, exact_bytes):
    """A list of exactly exact_bytes (UTF-16, terminators included)."""
    pad = exact_bytes // 2 - (len(first) + 1) - 2
    return [first, "X" * pad]


def stress_filler(i):
    """Device i of the crowd: none of its first IDs begins with a target."""
    target = TARGETS[i % len(TARGETS)]
    plain = r"USB\VID_%04X&PID_%04X&REV_%04X" % (0x1000 + i % 0xE000, i & 0xFFFF, i % 10000)
    kind, variant = i % 13, i // 13
    if kind == 0:    # several KB, a target inside: read only after the re-read
        hwids = id_list(plain, 2048 * (1 + variant % 4), i, inner=target)
    elif kind == 1:  # empty value
        hwids = None
    elif kind == 2:  # only the list's terminator
        hwids = []
    elif kind == 3:  # empty first ID, the target after it
        hwids = ["", target]
    elif kind == 4:  # a proper prefix of a target
        hwids = [target[:-(1 + variant % 9)], target]
    elif kind == 5:  # one character off
        at = len(target) - 1 - variant % 8
        hwids = [target[:at] + ("7" if target[at] != "7" else "8") + target[at + 1:]]
    elif kind == 6:  # case differs
        hwids = [target.lower() if variant % 2 else target.replace("VID", "Vid")]
    elif kind == 7:  # CJK, and a target whose last character became CJK
        hwids = [target[:-1] + "\u4e2d", "USB\\VID_\u4e2d\u6587&PID_\u8bbe\u5907&REV_%d" % i, target]
    elif kind == 8:  # accented, including where the target has plain letters
        hwids = [target.replace("USB", "\u00dcSB"), "USB\\VID_\u00c9\u00e7\u00e0&PID_\u00f1\u00f8%d" % i]
    elif kind == 9:  # outside the BMP (surrogate pairs)
        hwids = [target[:-2] + "\U0001F600", "USB\\VID_\U00020000&PID_\U0001D11E%d" % i, target]
    elif kind == 10:  # a first ID over 512 bytes that only nearly matches
        hwids = id_list(target[:-1] + "&" + "Y" * 300, 1024, i, inner=target)
    elif kind == 11:  # lists of exactly 510, 512 and 514 bytes around the first buffer's size
        hwids = sized_list(target[:-1], (510, 512, 514)[variant % 3])
    else:
        hwids = [plain, plain[:-9]]
    # Scripted faulty, like the decoys: a wrong match would also be cycled.
    return device("STRESS_%05d" % i, hwids, "status=%X disable=ok enable=ok" % PROBLEM)


def stress_scenario_devices(count):
    """The crowd, then the matches, whose keys sort after every other USB key."""
    crowd = [stress_filler(i) for i in range(count)]
    for dev in crowd:
        first = (dev["hwids"] or [""])[0]
        check(not any(first.startswith(t) for t in TARGETS), "filler %s matches: %r" % (dev["key"], first))
    problem, healthy = "status=%X disable=ok enable=ok" % PROBLEM, "status=%X disable=ok enable=ok" % HEALTHY
    matches = [
        # Stays faulty, so every pass cycles it; several KB of IDs.
        device("ZZZZ_1_FAULTY", id_list(TARGETS[2], 6000, 1), problem),
        # Non-ASCII after the target still matches.
        device("ZZZZ_2_HEALTHY", [TARGETS[6] + "&MI_00\u4e2d\u6587", TARGETS[0]], healthy),
        # The first ID alone is over 512 bytes: seen only after the re-read.
        device("ZZZZ_3_LONG_FIRST_ID", [TARGETS[9] + "&" + "Z" * 400, TARGETS[1]], healthy),
        # Same first ID as the healthy match but later: never examined.
        device("ZZZZ_4_LATE_TWIN", [TARGETS[6] + "&MI_00\u4e2d\u6587"], problem),
    ]
    return crowd + DECOYS + matches


def expected_stress_calls(faulty, healthy, long_first):
    st, dis, en = "CM_Get_DevNode_Status", "CM_Disable_DevNode", "CM_Enable_DevNode"
    problem, fine = logged_status(PROBLEM), logged_status(HEALTHY)
    one_pass = [(st, faulty, problem), (dis, faulty, "ok"), (en, faulty, "ok"), (st, healthy, fine),
                (st, long_first, fine)]
    return one_pass * 5


def scenario_stress(args, session):
    """A crowd of present devices with odd ID lists: the same calls, about an empty run's time."""
    start_session(session, [])
    prepare_run(session, args.exe, args.standin)
    # Wine's services start with a prefix's first program; not the baseline's cost.
    wine_tool(session, ["wine", "cmd", "/c", "exit"])
    code, empty_elapsed, stdout = run_program(session, args.exe, limit=90)
    check(code == 1 and stdout == "", "empty run: exit code %d, output %r" % (code, stdout))
    check(read_call_log(session) == [], "empty run called the stand-in")

    devs = stress_scenario_devices(args.stress_devices)
    start = time.monotonic()
    import_devices(session, devs, limit=120)
    import_seconds = time.monotonic() - start
    print("  %d devices imported and listed in %.1f s (.reg file %.1f MB)"
          % (len(devs), import_seconds, os.path.getsize(os.path.join(session.run_dir, "devices.reg")) / 1e6))
    write_script(session, devs)

    # Sixty snapshots at up to 5 ms a device, on top of the pauses.
    code, elapsed, stdout = run_program(session, args.exe, limit=90 + 0.3 * len(devs))
    calls = read_call_log(session)
    print("  stand-in calls:\n" + format_calls(calls[:5]) + ("\n    ..." if len(calls) > 5 else ""))
    check(code == 1, "exit code %d, expected 1" % code)
    check(stdout == "", "unexpected standard output: %r" % stdout)
    faulty, healthy, long_first = (d["id"] for d in devs[-4:-1])
    expected = expected_stress_calls(faulty, healthy, long_first)
    actual = [c[1:] for c in calls]
    if actual != expected:
        diff = next((i for i, (x, y) in enumerate(zip(actual, expected)) if x != y), min(len(actual), len(expected)))
        raise Failure("device calls differ from call %d: got %s, expected %s"
                      % (diff, actual[diff:diff + 3], expected[diff:diff + 3]))

    # Between the faulty match's enable and the long-ID match's status read
    # lie seven snapshots read to (nearly) the end and no pause.
    spans = [calls[i + 4][0] - calls[i + 2][0] for i in range(0, len(calls), 5)]
    per_snapshot = sorted(spans)[len(spans) // 2] / 7
    for n in range(5):
        gap = calls[5 * n + 2][0] - calls[5 * n + 1][0]
        check(3000 <= gap < 5000, "%.0f ms between disable and enable in pass %d" % (gap, n + 1))
    pauses = 20.0 + 5 * 3.0
    comparable = elapsed - 5 * 3.0  # without the cycles an empty run has none of
    print("  per snapshot of %d devices: %.1f ms (median of the passes)" % (len(devs), per_snapshot))
    print("  empty run %.1f s; stress run %.1f s, %.1f s without its five 3 s cycles: %.2f x the empty run"
          % (empty_elapsed, elapsed, comparable, comparable / empty_elapsed))
    check(elapsed >= pauses, "run took %.1f s, expected at least %.0f s of pauses" % (elapsed, pauses))
    # Generous: catches a blow-up, not a slow machine.
    check(per_snapshot < 5.0 * len(devs), "%.0f ms per snapshot" % per_snapshot)


TRACE_STAMP = r"\[(?!%time%)[^\]]*\d:\d\d[^\]]*\]"


def expected_trace_lines():
    problem, healthy = str(PROBLEM), str(HEALTHY)
    stamped = lambda text: TRACE_STAMP + re.escape(text)
    cycle_ok = [stamped(" disable Device "), stamped(" enable Device ")]
    lines = []
    for n in range(5):
        # Target 1: faulty, repaired by its first cycle.
        if n == 0:
            lines += [re.escape(problem), stamped(" Yellow bang ")] + cycle_ok
        else:
            lines += [re.escape(healthy), stamped(" No Yellow bang ")]
        # Target 2: status unreadable, disable raises every time.
        lines += [stamped("  disable device "), stamped(" disable Device "), stamped(" disable Device fail ")]
        # Target 3: faulty; its enable faults once, which leaves it disabled
        # (problem 22, the same status word), so the next pass cycles it
        # again, and then it is healthy.
        if n == 0:
            lines += [re.escape(problem), stamped(" Yellow bang ")] + cycle_ok + [stamped(" enable Device fail ")]
        elif n == 1:
            lines += [re.escape(problem), stamped(" Yellow bang ")] + cycle_ok
        else:
            lines += [re.escape(healthy), stamped(" No Yellow bang ")]
    return lines


def scenario_trace(args, session):
    """The trace build appends the expected lines, in order, with time stamps."""
    devs = [
        device("E2E_A_PROBLEM", [TARGETS[0]], "status=%X disable=ok enable=ok after=%X" % (PROBLEM, HEALTHY)),
        device("E2E_B_UNREADABLE", [TARGETS[1]], "status=fail disable=raise enable=ok"),
        device("E2E_C_ENABLE_FAULTS", [TARGETS[2]], "status=%X disable=ok enable=av,ok after=%X" % (PROBLEM, HEALTHY)),
    ] + DECOYS
    start_session(session, devs)
    trace_log = session.trace_log
    if os.path.exists(trace_log):
        os.remove(trace_log)
    prepare_run(session, args.trace_exe, args.standin)
    code, elapsed, stdout = run_program(session, args.trace_exe, limit=150)
    check(code == 1, "exit code %d, expected 1" % code)
    check(stdout == "", "unexpected standard output: %r" % stdout)
    check(os.path.exists(trace_log), "C:\\ProgramData\\Tamrisk.txt was not written")
    with open(trace_log, "rb") as f:
        raw = f.read().decode("latin-1")
    lines = raw.split("\r\n")
    check(lines[-1] == "", "trace log does not end with a line break: %r" % lines[-1])
    lines = lines[:-1]
    print("  trace log, %d lines; first: %r" % (len(lines), lines[:4]))
    patterns = expected_trace_lines()
    for i, (line, pattern) in enumerate(zip(lines, patterns)):
        check(re.fullmatch(pattern, line), "trace line %d is %r, expected /%s/" % (i + 1, line, pattern))
    check(len(lines) == len(patterns), "%d trace lines, expected %d" % (len(lines), len(patterns)))


def scenario_planted_dll(args, session):
    """A cfgmgr32.dll planted beside the program is never loaded, even where
    Wine searches the program's folder first, as Windows does for it."""
    check(args.planted, "planted-dll needs --planted")
    problem = device("E2E_A_PROBLEM", [TARGETS[0]], "status=%X disable=ok enable=ok after=%X" % (PROBLEM, HEALTHY))
    start_session(session, [problem])
    prepare_run(session, args.exe, args.standin)
    shutil.copy2(args.planted, os.path.join(session.run_dir, "cfgmgr32.dll"))
    marker = os.path.join(session.run_dir, "planted-dll-loaded")
    session.env["ORVELLO_PLANTED_MARKER"] = windows_path(marker)
    session.env["WINEDLLOVERRIDES"] = BASE_OVERRIDES + ";cfgmgr32=n,b"
    code, _, stdout = run_program(session, args.exe, limit=90)
    check(not os.path.exists(marker), "orvello.exe loaded the cfgmgr32.dll planted beside it")
    check(code == 1, "exit code %d, expected 1" % code)
    calls = [c[1:] for c in read_call_log(session)]
    st, a = "CM_Get_DevNode_Status", problem["id"]
    expected = [(st, a, logged_status(PROBLEM)), ("CM_Disable_DevNode", a, "ok"), ("CM_Enable_DevNode", a, "ok")]
    expected += [(st, a, logged_status(HEALTHY))] * 4
    check(calls == expected, "device calls through System32's cfgmgr32.dll: %s" % calls)


SCENARIOS = {
    "no-device": scenario_no_device,
    "no-display": scenario_no_display,
    "devices": scenario_devices,
    "trace": scenario_trace,
    "stress": scenario_stress,
    "planted-dll": scenario_planted_dll,
}


def run_scenario(args, name):
    run_dir = tempfile.mkdtemp(prefix=name + "-", dir=args.work_dir)
    session = Session(run_dir, display=(name != "no-display"))
    print("%s (in %s)" % (name, run_dir))
    start = time.monotonic()
    failure = None
    try:
        SCENARIOS[name](args, session)
    except Failure as e:
        failure = str(e)
    except subprocess.TimeoutExpired as e:
        failure = "time limit: %s" % e
    finally:
        left = end_session(session)
    if left and failure is None:
        failure = "processes left behind in the prefix: %s" % left
    errors = sim.wine_errors(session) if failure is not None else ""
    if errors:
        print("  Wine's errors during the last run:\n" + errors.rstrip())
    print("  %s in %.1f s" % ("FAILED: " + failure if failure else "passed", time.monotonic() - start))
    if failure is None and not args.keep:
        shutil.rmtree(run_dir, ignore_errors=True)
    return failure is None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--trace-exe", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--planted", help="a cfgmgr32.dll to plant beside the program (planted-dll)")
    parser.add_argument("--work-dir", default=None, help="where run folders go (default: a temp folder)")
    parser.add_argument("--keep", action="store_true", help="keep the run folders of passing runs")
    parser.add_argument("--stress-devices", type=int, default=STRESS_DEVICES, help="crowd size of the stress run")
    parser.add_argument("scenarios", nargs="+", choices=sorted(SCENARIOS) + ["all"])
    args = parser.parse_args()
    if args.work_dir:
        os.makedirs(args.work_dir, exist_ok=True)
    # A test runner's SIGTERM still gets the prefix's processes stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    names = sorted(SCENARIOS) if "all" in args.scenarios else args.scenarios
    results = [run_scenario(args, name) for name in names]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
