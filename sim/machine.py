# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""The simulated machine: USB device nodes and a scripted CfgMgr32 under Wine.

A machine is a private, throw-away Wine prefix cloned cheaply from the
session's prefix ($WINEPREFIX): copies of its registry files, a drive C whose
folders link back to the session's (ProgramData is a private copy, for the
trace log), and its own wineserver. Its devices are registry entries
HKLM\\System\\CurrentControlSet\\Enum\\USB\\<key>\\<instance> (HardwareID and
ClassGUID, written by one regedit import), which Wine's SetupAPI lists as
present devices. Its device-node calls go to the scripted cfgmgr32.dll
stand-in (cfgmgr32_standin.cpp), put in place of the prefix's own System32
copy and loaded with WINEDLLOVERRIDES "cfgmgr32=n"; the stand-in logs every
call, one line each, which read_call_log returns.

Used by sim/run.py (scripts/run), tests/e2e/run_e2e.py and
bench/wine_runs.py, inside scripts/wine-session (WINEPREFIX, DISPLAY).
"""

import os
import shutil
import signal
import subprocess
import time

HEALTHY = 0x0180200A  # started (DN_STARTED, 0x8), its driver loaded
PROBLEM = 0x01802400  # DN_HAS_PROBLEM (0x400), not started, no driver loaded
DN_HAS_PROBLEM = 0x400
FAILED_START, DISABLED = 10, 22  # CM_PROB_FAILED_START, CM_PROB_DISABLED
CLASS_GUID = "{36fc9e60-c465-11cf-8056-444553540000}"  # USB
ENUM_USB = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB"
BASE_OVERRIDES = "mscoree,mshtml=;winedbg.exe=d"

# The hardware IDs the program looks for, in the order it checks them.
TARGETS = [
    r"USB\VID_05E3&PID_0610&REV_6941", r"USB\VID_05E3&PID_0610&REV_6942",
    r"USB\VID_05E3&PID_0625&REV_6941", r"USB\VID_05E3&PID_0625&REV_6942",
    r"USB\VID_05E3&PID_0610&REV_2001", r"USB\VID_05E3&PID_0610&REV_3001",
    r"USB\VID_05E3&PID_0625&REV_2001", r"USB\VID_05E3&PID_0625&REV_3001",
    r"USB\VID_05E3&PID_0610&REV_2000", r"USB\VID_05E3&PID_0610&REV_3000",
    r"USB\VID_05E3&PID_0625&REV_2000", r"USB\VID_05E3&PID_0625&REV_3000",
]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---------------------------------------------------------------- devices

def device(key, hardware_ids, script, instance="0000"):
    """A device USB\\<key>\\<instance>: its hardware IDs (None for an empty
    value) and the stand-in's script for it ("status=... disable=... ...")."""
    return {"key": key, "id": "USB\\%s\\%s" % (key, instance), "hwids": hardware_ids, "script": script}


def reg_file_text(devices):
    lines = ["Windows Registry Editor Version 5.00", ""]
    for dev in devices:
        if dev["hwids"] is None:
            data = ""  # a value of no bytes at all
        else:
            multi = "".join(h + "\0" for h in dev["hwids"]) + "\0"
            data = ",".join("%02x" % b for b in multi.encode("utf-16-le"))
        lines += ["[%s\\%s]" % (ENUM_USB, dev["id"][len("USB\\"):]),
                  '"HardwareID"=hex(7):' + data,
                  '"ClassGUID"="%s"' % CLASS_GUID, ""]
    return "\r\n".join(lines) + "\r\n"


def logged_status(status, problem=FAILED_START):
    """A status as the stand-in takes it in a script and logs it: the status
    word and, with DN_HAS_PROBLEM, ":" and the problem number."""
    if status & DN_HAS_PROBLEM:
        return "0x%08X:%d" % (status, problem)
    return "0x%08X" % status


def script_text(devices):
    return "".join("%s %s\n" % (d["id"], d["script"]) for d in devices)


# ---------------------------------------------------------------- Wine

def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def system32(prefix):
    return os.path.join(prefix, "drive_c", "windows", "system32")


def link_all_but(source, target, private):
    """target: a folder of links to source's entries, but for the private ones."""
    os.makedirs(target, exist_ok=True)
    for name in os.listdir(source):
        if name.lower() not in (p.lower() for p in private):
            os.symlink(os.path.join(source, name), os.path.join(target, name))


def clone_prefix(template, prefix):
    """A private prefix sharing the template's installed files."""
    if not os.path.isfile(os.path.join(template, "system.reg")):
        raise Failure("no Wine prefix at %s; run inside scripts/wine-session" % template)
    os.makedirs(os.path.join(prefix, "dosdevices"))
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        # The timestamp keeps Wine from re-running its prefix update (seconds).
        if os.path.exists(os.path.join(template, name)):
            shutil.copy2(os.path.join(template, name), prefix)
    drive_c = os.path.join(prefix, "drive_c")
    os.makedirs(drive_c)
    template_c = os.path.join(template, "drive_c")
    link_all_but(template_c, drive_c, ("ProgramData", "windows"))
    # The stand-in replaces cfgmgr32.dll in this prefix's System32 alone.
    link_all_but(os.path.join(template_c, "windows"), os.path.join(drive_c, "windows"), ("system32",))
    link_all_but(os.path.join(template_c, "windows", "system32"), system32(prefix), ("cfgmgr32.dll",))
    # Private, so the trace log is this run's alone.
    if os.path.isdir(os.path.join(template_c, "ProgramData")):
        shutil.copytree(os.path.join(template_c, "ProgramData"), os.path.join(drive_c, "ProgramData"), symlinks=True)
    else:
        os.makedirs(os.path.join(drive_c, "ProgramData"))
    os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
    os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))


def processes_of(prefix):
    """Pids of processes running in the given prefix (from their environment)."""
    marker = ("WINEPREFIX=" + prefix).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker in f.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


class Session:
    """A machine's prefix, environment and wineserver (a plain record)."""

    def __init__(self, run_dir, display):
        self.run_dir = run_dir
        self.prefix = os.path.join(run_dir, "prefix")
        self.log = os.path.join(run_dir, "standin.log")
        self.trace_log = os.path.join(self.prefix, "drive_c", "ProgramData", "Tamrisk.txt")
        self.env = dict(os.environ)
        self.env.update({
            # Wine's own errors only, into the run's stderr.txt: what a run
            # that failed by chance met (a timed-out wait, a process that
            # could not start).
            "WINEPREFIX": self.prefix, "WINEARCH": "win64", "WINEDEBUG": "-all,err+all",
            "WINEDLLOVERRIDES": BASE_OVERRIDES + ";cfgmgr32=n",
            "ORVELLO_STANDIN_SCRIPT": windows_path(os.path.join(run_dir, "standin.txt")),
            "ORVELLO_STANDIN_LOG": windows_path(self.log),
        })
        if not display:
            self.env.pop("DISPLAY", None)
            self.env.pop("WAYLAND_DISPLAY", None)


def wine_tool(session, args, limit=60):
    # Output through a file, not a pipe: Wine's helper processes (services,
    # device hosts) that the first program of a prefix starts inherit it and
    # would hold a pipe open until the server ends.
    out_path = os.path.join(session.run_dir, "tool-output.txt")
    with open(out_path, "wb") as out:
        result = subprocess.run(args, env=session.env, cwd=session.run_dir, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=limit)
    with open(out_path, "rb") as f:
        return result.returncode, f.read().decode(errors="replace")


def start_session(session, devices):
    """Clones the prefix, starts its server and puts the devices in."""
    os.makedirs(session.run_dir, exist_ok=True)
    clone_prefix(os.environ.get("WINEPREFIX", ""), session.prefix)
    # A persistent server, started first and away from any pipe of ours: the
    # server outlives its starter and would hold such a pipe open.
    subprocess.run(["wineserver", "-p"], env=session.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    if devices:
        import_devices(session, devices)
    write_script(session, devices)


# A step that prepares the machine, not the program under test, is tried
# this many times: a Wine tool that could not start (as one in about 5,000
# did before scripts/wine-session turned address randomisation off) must
# not fail the test of something else.
SETUP_ATTEMPTS = 3


def setup_step(what, attempt):
    """Runs attempt() (None when done, else why not) up to SETUP_ATTEMPTS
    times, saying each time why it tries again; Failure when it never
    succeeds."""
    for n in range(1, SETUP_ATTEMPTS + 1):
        problem = attempt()
        if problem is None:
            return
        if n < SETUP_ATTEMPTS:
            print("  machine: %s: %s; trying again (%d of %d)" % (what, problem.strip()[:2000], n + 1,
                                                                   SETUP_ATTEMPTS), flush=True)
    raise Failure("%s, %d times: %s" % (what, SETUP_ATTEMPTS, problem))


def import_devices(session, devices, limit=60):
    """Writes the devices into the prefix's registry with one regedit run
    (again, should it fail), and checks that each is there."""
    reg = os.path.join(session.run_dir, "devices.reg")
    with open(reg, "w", encoding="utf-16", newline="") as f:
        f.write(reg_file_text(devices))

    def attempt():
        code, output = wine_tool(session, ["wine", "regedit", "/S", windows_path(reg)], limit)
        if code != 0:
            return "regedit failed (%d): %s" % (code, output)
        code, listing = wine_tool(session, ["wine", "reg", "query", ENUM_USB.replace("HKEY_LOCAL_MACHINE", "HKLM")],
                                  limit)
        if code != 0:
            return "reg query failed (%d): %s" % (code, listing)
        listed = {line.strip().rsplit("\\", 1)[-1].upper() for line in listing.splitlines()}
        missing = [dev["key"] for dev in devices if dev["key"].upper() not in listed]
        return "devices %s not in the registry:\n%s" % (missing, listing[:2000]) if missing else None

    setup_step("writing the devices into the registry", attempt)


def write_script(session, devices):
    with open(os.path.join(session.run_dir, "standin.txt"), "w", newline="\r\n") as f:
        f.write("# generated by sim/machine.py\n" + script_text(devices))


def install_program(session, exe, standin):
    """Copies the program into the run folder and the stand-in into System32,
    where the program loads cfgmgr32.dll from."""
    shutil.copy2(exe, session.run_dir)
    shutil.copy2(standin, os.path.join(system32(session.prefix), "cfgmgr32.dll"))
    return os.path.join(session.run_dir, os.path.basename(exe))


def end_session(session):
    """Stops every process of the prefix; reports any that outlived it."""
    try:
        subprocess.run(["wineserver", "-k"], env=session.env, timeout=20,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass
    deadline = time.monotonic() + 10
    left = processes_of(session.prefix)
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left = processes_of(session.prefix)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return left


def run_program(session, exe, limit, watch=None):
    """Runs the copy of exe in the run folder under Wine, with no arguments,
    within a time limit; calls watch() about every 50 ms while it runs.
    Returns (exit code, seconds, stdout)."""
    local_exe = os.path.join(session.run_dir, os.path.basename(exe))
    out_path = os.path.join(session.run_dir, "stdout.txt")
    # Files, not pipes: a Wine helper started by the run could keep a pipe open.
    with open(out_path, "wb") as out, open(os.path.join(session.run_dir, "stderr.txt"), "wb") as err:
        start = time.monotonic()
        proc = subprocess.Popen(["wine", local_exe], env=session.env, cwd=session.run_dir,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True)
        code = None
        while code is None:
            try:
                code = proc.wait(timeout=0.05)
            except subprocess.TimeoutExpired:
                if time.monotonic() - start > limit:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
                    raise Failure("%s still running after %d s (hang or crash dialog)"
                                  % (os.path.basename(exe), limit))
                if watch:
                    watch()
        elapsed = time.monotonic() - start
    with open(out_path, "rb") as f:
        stdout = f.read().decode(errors="replace")
    return code, elapsed, stdout


def wine_errors(session):
    """Wine's own error lines from the last run's stderr ("0024:err:..."), or ""."""
    path = os.path.join(session.run_dir, "stderr.txt")
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return "".join(line for line in f if ":err:" in line[:16])


def parse_call(line):
    """One stand-in log line as (ms, function, instance id, result); a
    status read's result is fail or as logged_status gives it."""
    parts = line.split()
    check(len(parts) == 4, "malformed stand-in log line: %r" % line)
    return float(parts[0]), parts[1], parts[2], parts[3]


def read_call_log(session):
    """The stand-in's calls so far, as (ms, function, instance id, result)."""
    if not os.path.exists(session.log):
        return []
    with open(session.log, encoding="utf-8", errors="replace") as f:
        return [parse_call(line) for line in f]
