#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Checks the release zip, and runs its scripts under Wine's cmd.

    test_package.py dist/orvello-3.5.6.0.zip [unittest options]

The contents checks read the zip: the five files, the task definition
(UTF-16 with a byte-order mark, well-formed, running orvello.exe at startup
with the highest privileges, listed, with a time limit, on every boot and
resume event), Windows line endings in the scripts and nothing in them that
real cmd.exe reads otherwise than Wine's. Each is also run against damaged
copies of the zip, which it must reject. The MSI's checks read its tables:
no custom action runs a program or a script, the task's are deferred
LocalSystem actions of a hardened 64-bit DLL in the Binary table that
imports system DLLs only; damaged copies of the MSI must fail them too.
Under Wine's msiexec the MSI installs, upgrades, repairs, refuses a
downgrade, is removed and rolls back, and the lines its custom actions
write into the /l*v log are read.

The Wine checks need $WINEPREFIX (run inside scripts/wine-session). They
install and uninstall in that prefix and bring it back to a clean state
before and after. The scripts call their tools from System32 by full path,
so a stand-in goes into the prefix's system32 for a step and out again:
Wine has no fltmc, and its net session succeeds, so Wine counts as
elevated; the not-elevated and elevated answers come from a stub fltmc.exe
there, and a ping.exe that returns at once (with WINEDLLOVERRIDES, since
Wine prefers its builtin ping) makes uninstall's wait run out. Wine's icacls changes nothing and always succeeds; it logs its
arguments as a fixme, and disabling it makes it fail. Each step runs from a
working folder that holds planted tools of the same names (cmd looks there
before PATH); none may run. Wine 8's schtasks registers
and deletes tasks from XML but cannot list them (/Query prints nothing and
succeeds), which install.cmd covers by also looking in the task store; it
stores the registration and settings it reads but drops the trigger, the
principal and the command line, so those are checked in the zip only.
Wine's schtasks also accepts an unknown verb with exit code 0. Wine refuses
to delete the file of a running program, as Windows does; its msiexec
leaves such a file in place where Windows replaces it at the next restart.
"""

import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock
import xml.etree.ElementTree as ET
import zipfile

ZIP = os.environ.get("ORVELLO_PACKAGE")
HERE = os.path.dirname(os.path.abspath(__file__))
EXPECTED = {"orvello.exe", "orvello-task.xml", "install.cmd", "uninstall.cmd", "README.txt", "LICENSE.txt",
            "THIRD-PARTY-NOTICES.txt"}
NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
TASK = "Orvello"
# The longest a run can take: four 5 s pauses and sixty 3 s cycles.
WORST_RUN_S = 4 * 5 + 60 * 3


# ---------------------------------------------------------------- contents

def iso_duration_seconds(text):
    m = re.fullmatch(r"P(?:(\d+)D)?(?:T(?:(\d+)H)?(?:(\d+)M)?(?:(\d+)S)?)?", text or "")
    if not m or text in ("P", "PT"):
        return None
    d, h, mi, s = (int(x or 0) for x in m.groups())
    return ((d * 24 + h) * 60 + mi) * 60 + s


# The System log's events that start a run: every boot (Fast Startup's too,
# which fires no boot trigger), a resume from sleep or hibernation (two
# records of it), a resume from Modern Standby.
TRIGGER_EVENTS = [("Microsoft-Windows-Kernel-Boot", 27), ("Microsoft-Windows-Power-Troubleshooter", 1),
                  ("Microsoft-Windows-Kernel-Power", 107), ("Microsoft-Windows-Kernel-Power", 507)]


def event_query(subscription, provider, event):
    """Whether an event subscription selects exactly this event of the System log."""
    try:
        select = ET.fromstring(subscription or "").findall("Query/Select")
    except ET.ParseError:
        return False
    wanted = "*[System[Provider[@Name='%s'] and EventID=%d]]" % (provider, event)
    return [(q.get("Path"), q.text) for q in select] == [("System", wanted)]


def task_problems(data):
    """What is wrong with the task definition's bytes (empty when sound)."""
    if not data.startswith(b"\xff\xfe"):
        return ["orvello-task.xml does not start with a UTF-16LE byte-order mark"]
    try:
        text = data[2:].decode("utf-16-le")
    except UnicodeDecodeError as e:
        return ["orvello-task.xml is not UTF-16: %s" % e]
    if not re.match(r'<\?xml version="1.0" encoding="UTF-16"\?>', text):
        return ["orvello-task.xml does not declare encoding UTF-16"]
    try:
        # The parser wants bytes in the declared encoding.
        root = ET.fromstring(data)
    except ET.ParseError as e:
        return ["orvello-task.xml is not well-formed: %s" % e]
    problems = []

    def one(path):
        found = root.findall(path, NS)
        if len(found) != 1:
            problems.append("orvello-task.xml has %d %s, expected 1" % (len(found), path))
            return None
        return found[0]

    def value(path, expected):
        node = one(path)
        if node is not None and (node.text or "").strip() != expected:
            problems.append("%s is %r, expected %r" % (path, node.text, expected))

    if root.tag != "{%s}Task" % NS["t"]:
        problems.append("root element is %s, not Task" % root.tag)
    command = one("t:Actions/t:Exec/t:Command")
    # Quoted: Task Scheduler's editor splits an unquoted path at its space.
    if command is not None and command.text != '"%ProgramFiles%\\Orvello\\orvello.exe"':
        problems.append('the task runs %r, not "%%ProgramFiles%%\\Orvello\\orvello.exe"' % command.text)
    if not root.findall("t:Triggers/t:BootTrigger", NS) and not root.findall("t:Triggers/t:LogonTrigger", NS):
        problems.append("the task has no boot or logon trigger")
    for event in TRIGGER_EVENTS:
        if not any(event_query(e.text, *event) for e in root.findall("t:Triggers/t:EventTrigger/t:Subscription", NS)):
            problems.append("the task has no trigger on the System log's event %s %d" % event)
    value("t:Principals/t:Principal/t:RunLevel", "HighestAvailable")
    value("t:Principals/t:Principal/t:UserId", "S-1-5-18")
    value("t:Settings/t:Hidden", "false")  # administrators see it
    value("t:Settings/t:Enabled", "true")
    value("t:Settings/t:MultipleInstancesPolicy", "IgnoreNew")
    limit = one("t:Settings/t:ExecutionTimeLimit")
    if limit is not None:
        seconds = iso_duration_seconds(limit.text)
        # An end of a run between its disable and its enable leaves a hub off.
        if seconds is None or not 10 * WORST_RUN_S <= seconds <= 86400:
            problems.append("ExecutionTimeLimit %r is not between ten times the longest run and a day" % limit.text)
    principal = one("t:Principals/t:Principal")
    actions = one("t:Actions")
    if principal is not None and actions is not None and actions.get("Context") != principal.get("id"):
        problems.append("the actions' context %r names no principal" % actions.get("Context"))
    return problems


def cmd_problems(script):
    """What real cmd.exe reads otherwise than Wine's: a substring of a variable that "if not defined" has not
    tested yet (undefined, a syntax error that aborts the script), Sysnative tested as a folder (only an alias)."""
    unsure = [m.group(1).decode() for m in re.finditer(rb"%(\w+):~", script)
              if not re.search(rb"if not defined %s\b" % m.group(1), script[:m.start()], re.I)]
    return ["takes a substring of %s before testing that it is defined" % v for v in unsure] + (
        ["tests Sysnative as a folder, not a file in it"] if re.search(rb'Sysnative\\"', script, re.I) else [])


def package_problems(path):
    """What is wrong with the zip's contents (empty when sound)."""
    try:
        archive = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile) as e:
        return ["cannot open %s: %s" % (path, e)]
    with archive:
        names = set(archive.namelist())
        problems = []
        if names != EXPECTED:
            problems.append("zip holds %s; missing %s, unexpected %s"
                            % (sorted(names), sorted(EXPECTED - names), sorted(names - EXPECTED)))
        if archive.testzip() is not None:
            problems.append("zip entry %s is damaged" % archive.testzip())
        files = {n: archive.read(n) for n in names & EXPECTED}
    exe = files.get("orvello.exe", b"")
    if exe and (exe[:2] != b"MZ" or b"PE\0\0" not in exe[:1024]):
        problems.append("orvello.exe is not a PE file")
    if "orvello-task.xml" in files:
        problems += task_problems(files["orvello-task.xml"])
    for name in ("install.cmd", "uninstall.cmd", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"):
        data = files.get(name)
        if data is None:
            continue
        if re.search(rb"(?<!\r)\n", data):
            problems.append("%s has lines not ended by CR LF" % name)
        if name == "LICENSE.txt":
            if not data.startswith(b"MIT License\r\n\r\nCopyright (c) 2026 The Orvello authors\r\n"):
                problems.append("LICENSE.txt is not the MIT License of The Orvello authors")
            continue
        if b"3.5.6.0" not in data:
            problems.append("%s does not name version 3.5.6.0" % name)
        if re.search(rb"@[A-Z_]+@", data):
            problems.append("%s holds a placeholder the builder did not fill in" % name)
        if name.endswith(".cmd"):
            problems += ["%s %s" % (name, p) for p in cmd_problems(data)]
    install = files.get("install.cmd", b"")
    if install and (b"orvello-task.xml" not in install
                    or not re.search(rb'schtasks(?:\.exe")? /Create .*/XML', install)):
        problems.append("install.cmd does not register orvello-task.xml with schtasks /Create /XML")
    uninstall = files.get("uninstall.cmd", b"")
    if uninstall and not re.search(rb'schtasks(?:\.exe")? /Delete /TN', uninstall):
        problems.append("uninstall.cmd does not remove the task with schtasks /Delete")
    if re.search(rb"/End\b|taskkill", uninstall, re.IGNORECASE):
        problems.append("uninstall.cmd ends a running orvello.exe")
    return problems


def rewrite_zip(source, target, change):
    """Copies the zip with change(name, data) -> data, or None to leave it out."""
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as dst:
        for name in src.namelist():
            data = change(name, src.read(name))
            if data is not None:
                dst.writestr(name, data)


def utf16(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


def edit_task(edit):
    return lambda name, data: utf16(edit(data[2:].decode("utf-16-le"))) if name == "orvello-task.xml" else data


class Contents(unittest.TestCase):
    def test_package_is_sound(self):
        self.assertEqual(package_problems(ZIP), [])


class DamagedPackages(unittest.TestCase):
    """The contents checks reject each kind of damage."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def assertRejected(self, change, expected):
        damaged = os.path.join(self.tmp, "damaged.zip")
        rewrite_zip(ZIP, damaged, change)
        problems = package_problems(damaged)
        self.assertTrue(any(expected in p for p in problems), "expected %r among %s" % (expected, problems))

    def test_missing_file(self):
        self.assertRejected(lambda n, d: None if n == "uninstall.cmd" else d, "missing ['uninstall.cmd']")

    def test_malformed_xml(self):
        self.assertRejected(edit_task(lambda t: t.replace("</Principals>", "</Principal>", 1)), "not well-formed")

    def test_task_saved_as_utf8(self):
        self.assertRejected(lambda n, d: d[2:].decode("utf-16-le").encode() if n == "orvello-task.xml" else d,
                            "byte-order mark")

    def test_task_runs_another_program(self):
        self.assertRejected(edit_task(lambda t: t.replace("\\orvello.exe", "\\orvelo.exe")), "the task runs")

    def test_task_command_unquoted(self):
        self.assertRejected(edit_task(lambda t: re.sub(r'"(%ProgramFiles%.*?)"', r"\1", t)), "the task runs")

    def test_task_without_an_event_trigger(self):
        for event in ("EventID=27]", "EventID=1]", "EventID=107]", "EventID=507]"):
            with self.subTest(event):
                self.assertRejected(edit_task(lambda t: t.replace(event, "EventID=42]")), "System log's event")

    def test_task_without_highest_privileges(self):
        self.assertRejected(edit_task(lambda t: t.replace("HighestAvailable", "LeastPrivilege")), "RunLevel")

    def test_task_without_time_limit(self):
        self.assertRejected(edit_task(lambda t: t.replace("PT1H", "PT5M")), "ExecutionTimeLimit")

    def test_script_real_cmd_reads_otherwise(self):
        for old, new, expected in ((b"if not defined PF goto no_program_files\r\n", b"", "before testing"),
                                   (b'Sysnative\\cmd.exe"', b'Sysnative\\"', "Sysnative as a folder")):
            with self.subTest(expected):
                self.assertRejected(lambda n, d: d.replace(old, new) if n == "uninstall.cmd" else d, expected)

    def test_script_with_unix_line_ends(self):
        self.assertRejected(lambda n, d: d.replace(b"\r\n", b"\n") if n == "install.cmd" else d, "CR LF")


# ---------------------------------------------------------------- MSI

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "packaging"), os.path.join(ROOT, "tests", "pe")]
import make_package  # noqa: E402  (builds a lower version; reads tables)
import check_pe  # noqa: E402  (the hardening checks of orvello.exe)
import pefile  # noqa: E402

CODES = [make_package.product_code(v) for v in ("3.5.6.0", "3.5.5.0")]
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def rows(msi, name, columns):
    return sorted(tuple(row[:columns]) for row in make_package.table(msi, name))


def validation_problems(msi):
    """The rules of Windows Installer's validation that apply here, which
    nothing on this machine runs; each lists the rows that break it."""
    t = {n: make_package.table(msi, n) for n in ("Component", "CustomAction", "Directory", "Icon",
                                                  "InstallExecuteSequence", "InstallUISequence", "Property")}
    parent = dict(row[:2] for row in t["Directory"])
    root = lambda d: d if not parent.get(d) or parent[d] == "TARGETDIR" else root(parent[d])
    execute, ui = ({row[0]: int(row[2]) for row in t[n]} for n in ("InstallExecuteSequence", "InstallUISequence"))
    icon = dict(row[:2] for row in t["Property"]).get("ARPPRODUCTICON")
    rules = [
        ("64-bit components in 64-bit folders, only", [c[0] for c in t["Component"]
                                                       if bool(int(c[3]) & 256) != ("64" in root(c[2]))]),
        ("in-script actions between InstallInitialize and InstallFinalize", [
            a[0] for a in t["CustomAction"] if int(a[1]) & 1024
            and not execute["InstallInitialize"] < execute.get(a[0], 0) < execute["InstallFinalize"]]),
        ("directories set before CostFinalize in both sequences", [
            a[0] for a in t["CustomAction"] for s in (execute, ui)
            if int(a[1]) & 63 == 51 and a[2] in parent and not 0 < s.get(a[0], 0) < s["CostFinalize"]]),
        ("the product's icon in the Icon table", [icon] if icon not in {row[0] for row in t["Icon"]} else []),
    ]
    return ["%s: broken by %s" % (rule, broken) for rule, broken in rules if broken]


# Custom action base types (the low six bits) that run a program or a
# script: from the Binary table, a file, a folder or a property.
PROGRAM_TYPES = {2, 18, 34, 50, 5, 6, 21, 22, 37, 38, 53, 54}
# The task's actions: 1 a DLL of the Binary table, +64 its result ignored,
# +1024 deferred, +256 only in a rollback, +2048 as LocalSystem; entry,
# sequence, condition.
REMOVED, FIRST_INSTALL = "$TaskDefinition=2 AND NOT UPGRADINGPRODUCTCODE", "NOT Installed AND NOT WIX_UPGRADE_DETECTED"
TASK_ACTIONS = {"RemoveTaskRollback": ("3393", "RegisterOrvelloTask", "3480", REMOVED),
                "RemoveTask": ("3137", "DeleteOrvelloTask", "3490", REMOVED),
                "SaveTask": ("3073", "SaveOrvelloTask", "4005",
                             "$TaskDefinition=3 AND " + FIRST_INSTALL + " AND NOT RollbackDisabled"),
                "CreateTaskRollback": ("3393", "RestoreOrvelloTask", "4010", "$TaskDefinition=3 AND " + FIRST_INSTALL),
                "CreateTask": ("3073", "RegisterOrvelloTask", "4020", "$TaskDefinition=3"),
                # +512: only when the installation succeeded (commit).
                "ForgetSavedTask": ("3649", "ForgetOrvelloTask", "4025", "$TaskDefinition=3 AND " + FIRST_INSTALL)}
# The CustomActionData of the actions that register: the definition's path.
TASK_DATA = {"CreateTask": "[#orvello_task.xml]", "RemoveTaskRollback": "[INSTALLDIR]orvello-task.xml"}
SYSTEM_DLLS = {"kernel32.dll", "msi.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll"}


def binary(msi, name="TaskActions"):
    return subprocess.run(["msiinfo", "extract", msi, "Binary." + name], stdout=subprocess.PIPE, check=True).stdout


def dll_problems(data):
    """What is wrong with the custom actions' DLL: a hardened 64-bit DLL that imports system DLLs only."""
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as e:
        return ["is not a PE file: %s" % e]
    report = check_pe.Report(False)
    check_pe.check_hardening(pe, report)
    imports = {e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    return report.failures + (["is not a 64-bit DLL"] if pe.FILE_HEADER.Machine != 0x8664
                              or not pe.FILE_HEADER.Characteristics & 0x2000 else []) + (
        ["imports %s" % sorted(imports - SYSTEM_DLLS)] if imports - SYSTEM_DLLS else [])


def msi_problems(msi):
    """What is wrong with the MSI's custom actions (empty when sound): none runs a program or a script, and the
    task's are deferred LocalSystem DLL actions, each at its place, with the definition's path where it reads it."""
    actions = {row[0]: tuple(row[1:4]) for row in make_package.table(msi, "CustomAction")}
    sequence = {row[0]: (row[2], row[1]) for row in make_package.table(msi, "InstallExecuteSequence")}
    problems = ["%s runs a program or a script (type %s)" % (a, row[0]) for a, row in sorted(actions.items())
                if int(row[0]) & 63 in PROGRAM_TYPES]
    for action, (kind, entry, number, condition) in TASK_ACTIONS.items():
        found = actions.get(action), sequence.get(action)
        if found != ((kind, "TaskActions", entry), (number, condition)):
            problems.append("%s is %s, not %s" % (action, found, ((kind, "TaskActions", entry), (number, condition))))
    for action, path in TASK_DATA.items():
        if not any(row == ("51", action, path) and 0 < int(sequence.get(a, ("0",))[0]) < int(TASK_ACTIONS[action][2])
                   for a, row in actions.items()):
            problems.append("nothing sets %s's CustomActionData to %s before it runs" % (action, path))
    return problems + ["the Binary table's TaskActions " + p for p in dll_problems(binary(msi))]


class MsiTables(unittest.TestCase):
    """wixl drops or changes some rows without an error: read what it built."""

    def test_tables(self):
        msi = ZIP[:-4] + ".msi"
        self.assertEqual(validation_problems(msi), [])
        self.assertIn("Template: x64;1033", subprocess.run(["msiinfo", "suminfo", msi], stdout=subprocess.PIPE,
                                                           text=True).stdout)
        self.assertEqual(rows(msi, "File", 3), [("LICENSE.txt", "License", "LICENSE.txt"),
                                                ("THIRD_PARTY_NOTICES.txt", "Notices", "THIRD-PARTY-NOTICES.txt"),
                                                ("orvello.exe", "Program", "orvello.exe"),
                                                ("orvello_task.xml", "TaskDefinition", "orvello-task.xml")])
        self.assertEqual([r[2:] for r in rows(msi, "Component", 4)], [("INSTALLDIR", "256")] * 4)  # 64-bit
        self.assertEqual(msi_problems(msi), [])
        self.assertIn(("FixInstallDir", "51", "INSTALLDIR", "[ProgramFiles64Folder]Orvello\\"),
                      rows(msi, "CustomAction", 4))
        sequence = {row[0]: int(row[2]) for row in make_package.table(msi, "InstallExecuteSequence")}
        order = ["InstallValidate", "InstallInitialize", "RemoveExistingProducts", "RemoveTaskRollback",
                 "RemoveTask", "RemoveFiles", "InstallFiles", "SaveTask", "CreateTaskRollback", "CreateTask",
                 "ForgetSavedTask", "InstallFinalize"]
        self.assertEqual(sorted(order, key=sequence.get), order)
        expected = {"ALLUSERS": "1", "ARPNOMODIFY": "1", "ARPPRODUCTICON": "orvello.ico", "Manufacturer": "Orvello",
                    "ProductVersion": "3.5.6.0", "UpgradeCode": "{635F32A0-7438-4B7D-AEFC-DFBD858190C7}",
                    "MSIRESTARTMANAGERCONTROL": "DisableShutdown", "REBOOT": "ReallySuppress"}
        properties = dict(rows(msi, "Property", 2))
        self.assertEqual({k: properties.get(k) for k in expected}, expected)
        self.assertEqual(rows(msi, "Icon", 1), [("orvello.ico",)])
        self.assertIn("newer version of Orvello", str(rows(msi, "LaunchCondition", 2)))
        with tempfile.TemporaryDirectory() as out, zipfile.ZipFile(ZIP) as z:  # the task the contents checks read
            subprocess.run(["msiextract", "-C", out, os.path.abspath(msi)], cwd=out, check=True, **QUIET)
            with open(os.path.join(out, "Orvello", "orvello-task.xml"), "rb") as f:
                self.assertTrue(f.read() == z.read("orvello-task.xml"), "the MSI's task definition is not the zip's")


class DamagedMsi(unittest.TestCase):
    """The MSI's checks reject each kind of damage."""

    def assertRejected(self, expected, queries=(), dll=None):
        with tempfile.TemporaryDirectory() as tmp:
            msi = os.path.join(tmp, "damaged.msi")
            shutil.copyfile(ZIP[:-4] + ".msi", msi)
            if dll is not None:
                with open(os.path.join(tmp, "dll"), "wb") as f:
                    f.write(dll(binary(msi)))
            subprocess.run(["msibuild", msi] + (["-q", ";".join(queries)] if queries else []) +
                           (["-a", "Binary.TaskActions", os.path.join(tmp, "dll")] if dll else []), check=True)
            problems = msi_problems(msi)
        self.assertTrue(any(expected in p for p in problems), "expected %r among %s" % (expected, problems))

    def test_program_or_script(self):
        for kind in (3122, 38):  # schtasks through a property, inline VBScript
            with self.subTest(kind):
                self.assertRejected("runs a program", ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, "
                                                       "`Target`) VALUES ('Run', %d, 'Run', 'x')" % kind])

    def test_task_action_moved_or_changed(self):
        for query, expected in (("UPDATE `CustomAction` SET `Type` = 1025 WHERE `Action` = 'CreateTask'",
                                 "CreateTask is ("),  # impersonated
                                ("UPDATE `InstallExecuteSequence` SET `Condition` = '$TaskDefinition=3' "
                                 "WHERE `Action` = 'CreateTaskRollback'", "CreateTaskRollback is (")):
            with self.subTest(expected):
                self.assertRejected(expected, [query])

    def test_definition_path_set_too_late(self):
        self.assertRejected("nothing sets CreateTask's", ["UPDATE `InstallExecuteSequence` SET `Sequence` = 4030 "
                                                          "WHERE `Action` = 'SetCreateTask'"])

    def test_dll_damaged(self):
        def unhardened(data):
            pe = pefile.PE(data=data)
            pe.OPTIONAL_HEADER.DllCharacteristics &= ~check_pe.DLLCHAR_HIGH_ENTROPY_VA
            return bytes(pe.write())
        with zipfile.ZipFile(ZIP) as z:
            exe = z.read("orvello.exe")
        for change, expected in ((lambda d: exe, "not a 64-bit DLL"), (lambda d: d.replace(b"msi.dll", b"msx.dll"),
                                 "imports ['msx.dll']"), (unhardened, "HIGH_ENTROPY_VA")):
            with self.subTest(expected):
                self.assertRejected(expected, dll=change)


# ---------------------------------------------------------------- licences, notices, SBOM

import third_party  # noqa: E402  (the link maps' attribution, the notices)

BUILD = os.path.join(ROOT, "build", "windows")
MAPS = {"orvello.exe": os.path.join(BUILD, "orvello.map"),
        "task_actions.dll": os.path.join(BUILD, "packaging", "task_actions.map")}
# Code that needs notices: the C library's formatter (gdtoa) and threads (winpthreads).
PROBES = {"swprintf": ("#include <cwchar>\nint Probe(wchar_t* out) { return std::swprintf(out, 8, L\"%f\", 1.5); }",
                       (), "libmingwex.a(lib64_libmingwex_a-gdtoa.o)"),
          "thread": ("#include <thread>\nint Probe(wchar_t*) { std::thread t([] {}); t.join(); return 0; }",
                     ("no_exceptions_win.cpp.obj",),  # libstdc++'s own throw helpers come with threads
                     "libpthread.a(libwinpthread_la-thread.o)")}


def link_variant(tmp, name, source, drop):
    """orvello.exe linked again as the windows preset links it, with one more
    object compiled from source and without the objects named in drop;
    returns the variant's link map."""
    line = subprocess.run(["ninja", "-C", BUILD, "-t", "commands", "orvello"], stdout=subprocess.PIPE, text=True,
                          check=True).stdout.splitlines()[-1]
    link = shlex.split(line.split("&&")[1])
    probe = os.path.join(tmp, name + ".obj")
    with open(probe[:-4] + ".cpp", "w") as f:
        f.write(source)
    subprocess.run([link[0], "-std=c++20", "-Os", "-fno-exceptions", "-c", probe[:-4] + ".cpp", "-o", probe],
                   check=True)
    out = os.path.join(tmp, name)
    link = [out + ".exe" if a == "orvello.exe" else "-Wl,-Map=%s.map" % out if a.startswith("-Wl,-Map=") else a
            for a in link if not a.endswith(drop) and not a.startswith("-Wl,--out-implib")]
    subprocess.run(link + [probe], cwd=BUILD, check=True, **QUIET)
    return out + ".map"


class ReleaseMetadata(unittest.TestCase):
    """LICENSE, THIRD-PARTY-NOTICES.txt and the SBOM say what the binaries hold."""

    @classmethod
    def setUpClass(cls):
        cls.dist = os.path.dirname(os.path.abspath(ZIP))
        cls.sbom_path = ZIP[:-4] + ".cdx.json"
        with open(cls.sbom_path) as f:
            cls.sbom = json.load(f)
        cls.records = third_party.attribute(MAPS)

    def test_sbom_is_valid_cyclonedx(self):
        check = subprocess.run(["node", os.path.join(HERE, "validate_sbom.js"), os.path.abspath(self.sbom_path)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=HERE)
        self.assertEqual((check.returncode, check.stdout.strip()), (0, "valid"))
        with open(os.path.join(self.dist, "SHA256SUMS")) as f:
            self.assertIn(os.path.basename(self.sbom_path), f.read())

    def test_sbom_names_what_ships_and_what_is_linked(self):
        with zipfile.ZipFile(ZIP) as z:
            shipped = {n: z.read(n) for n in ("orvello.exe", "orvello-task.xml", "install.cmd", "uninstall.cmd")}
        shipped["task_actions.dll"] = binary(ZIP[:-4] + ".msi")
        parts = {c["name"]: c for c in self.sbom["components"]}
        hashes = {n: [h["content"] for h in parts[n]["hashes"]] for n in shipped if n in parts}
        self.assertEqual(hashes, {n: [hashlib.sha256(d).hexdigest()] for n, d in shipped.items()})
        linked = {p: (c["version"], third_party.licence_expression(c["licences"]), c["binaries"])
                  for p, c in third_party.components(self.records).items()}
        depends = {d["ref"]: d["dependsOn"] for d in self.sbom["dependencies"]}
        listed = {c["name"]: (c["version"], c["licenses"][0]["expression"],
                              sorted(b for b in ("orvello.exe", "task_actions.dll")
                                     if c["bom-ref"] in depends[parts[b]["bom-ref"]]))
                  for c in self.sbom["components"] if c["type"] == "library" and "purl" in c}
        self.assertEqual(listed, linked)
        self.assertTrue(linked, "nothing third-party attributed")

    def test_notices_follow_the_link(self):
        with zipfile.ZipFile(ZIP) as z:
            notices = z.read("THIRD-PARTY-NOTICES.txt").decode()
        self.assertEqual(notices, third_party.notices(self.records, "3.5.6.0").replace("\n", "\r\n"))

    def test_unknown_code_fails_the_build_and_notices_come_with_known_code(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, (source, drop, member) in PROBES.items():
                with self.subTest(name):
                    build = subprocess.run(
                        [sys.executable, os.path.join(ROOT, "packaging", "make_package.py"), "--exe",
                         os.path.join(BUILD, "orvello.exe"), "--version", "3.5.6.0", "--epoch", "0",
                         "--map", "orvello.exe=" + link_variant(tmp, name, source, drop), "--zip", tmp + "/x.zip"],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                    self.assertNotEqual(build.returncode, 0)
                    self.assertIn(member, build.stdout)
                    self.assertIn("add a rule for it", build.stdout)
                    self.assertFalse(os.path.exists(tmp + "/x.zip"), "a package was made")
            # With rules for the formatter's members, their Lucent notice comes in
            # (the probe's own object left out of the map).
            with open(tmp + "/swprintf.map") as f:
                text = f.read().replace("LOAD %s/swprintf.obj\n" % tmp, "")
            with open(tmp + "/known.map", "w") as f:
                f.write(text)
            extra = ("libmingwex.a lib64_libmingwex_a- gdtoa/ dmisc gdtoa gmisc misc\n"
                     "libmingwex.a lib64_libmingwex_a- stdio/ mingw_vsnprintfw mingw_pformatw\n"
                     "libmingwex.a lib64_libmingwex_a- misc/ strnlen wcsnlen\n"
                     "libmsvcrt.a lib64_libmsvcrt_common_a- misc/ mbrtowc\n")
            with mock.patch.object(third_party, "MINGW_RUNTIME", third_party.MINGW_RUNTIME + extra):
                text = third_party.notices(third_party.attribute({"orvello.exe": tmp + "/known.map"}), "0")
            self.assertIn("LicenseRef-Lucent, for mingw-w64-crt/gdtoa/dmisc.c", " ".join(text.split()))
            self.assertIn("Copyright 1997-2001 Lucent Technologies", text)
            self.assertIn("LUCENT DISCLAIMS ALL WARRANTIES", text)

    def test_every_file_states_its_licence(self):
        # reuse lint on the tracked files passes; one file more without a licence fails it.
        with tempfile.TemporaryDirectory() as tmp:
            tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, stdout=subprocess.PIPE,
                                     check=True).stdout.decode().split("\0")
            for name in filter(None, tracked):
                os.makedirs(os.path.dirname(os.path.join(tmp, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(tmp, name))
            lint = lambda: subprocess.run(["reuse", "--root", tmp, "lint"], stdout=subprocess.PIPE, text=True)
            result = lint()
            self.assertEqual(result.returncode, 0, result.stdout)
            with open(os.path.join(tmp, "src", "added.cpp"), "w") as f:
                f.write("int Added() { return 0; }\n")
            result = lint()
            self.assertEqual((result.returncode, "/src/added.cpp\n" in result.stdout), (1, True), result.stdout)


def msiexec(*args):
    code = subprocess.run(["timeout", "180", "wine", "msiexec"] + list(args) + ["/qn"], **QUIET).returncode
    print("  msiexec %s: exit code %d" % (" ".join(args), code))
    return code


def logged_msiexec(tmp, *args):
    """msiexec's exit code and the lines its custom actions wrote into its /l*v log."""
    log = os.path.join(tmp, "msiexec.log")
    code = msiexec(*args, "/l*v", windows_path(log))
    with open(log, errors="replace") as f:
        return code, [line.strip() for line in f if "task Orvello" in line]


REGISTERED = ["registered the task Orvello from C:\\Program Files\\Orvello\\orvello-task.xml"]
NOT_BEFORE = "the task Orvello was not registered before this installation"
KEPT = "kept the task Orvello registered before this installation in C:\\windows\\Installer\\Orvello-task-before-install.xml"
AGAIN = "registered the task Orvello again as it was before this installation"


def msi_registered(code):
    key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + code
    return subprocess.run(["wine", "reg", "query", key], **QUIET).returncode == 0


class MsiUnderWine(unittest.TestCase):
    """Wine's msiexec; its exit codes are Windows' low byte (1603 reads 67)."""

    @classmethod
    def setUpClass(cls):
        cls.prefix, cls.tmp = session_prefix(), tempfile.mkdtemp()
        cls.new, cls.old, cls.failing = (windows_path(p) for p in (ZIP[:-4] + ".msi", cls.tmp + "/old.msi",
                                                                   cls.tmp + "/failing.msi"))
        with zipfile.ZipFile(ZIP) as z:
            cls.exe = z.read("orvello.exe")
            z.extractall(os.path.join(cls.tmp, "zip"))
            cls.notices = z.read("THIRD-PARTY-NOTICES.txt").decode().replace("\r\n", "\n")
            cls.shipped_text = {n: z.read(n) for n in ("LICENSE.txt", "THIRD-PARTY-NOTICES.txt")}
        cls.dll = binary(ZIP[:-4] + ".msi")
        make_package.write_msi(cls.tmp + "/old.msi", cls.exe, cls.dll, "3.5.5.0", 1577836800, cls.notices)
        # A step after the task's creation that fails if, and only if, the
        # task is there: the install must then roll it back. Type 3106 is a
        # deferred LocalSystem command line (34 + 3072), a row wixl cannot make.
        shutil.copyfile(ZIP[:-4] + ".msi", cls.tmp + "/failing.msi")
        subprocess.run(["msibuild", cls.tmp + "/failing.msi", "-q", "INSERT INTO `CustomAction` (`Action`, `Type`, "
                        "`Source`, `Target`) VALUES ('FailIfTask', 3106, 'INSTALLDIR', '[System64Folder]cmd.exe /c "
                        "if exist [System64Folder]tasks\\%s exit 1');INSERT INTO `InstallExecuteSequence` (`Action`, "
                        "`Sequence`) VALUES ('FailIfTask', 4030)" % TASK], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def setUp(self):  # also after an interrupted run
        for what in clean_prefix(self.prefix):
            print("  clean-up: removed %s" % what)
        self.assertInstalled(None)

    tearDown = setUp

    def logged(self, *args):
        return logged_msiexec(self.tmp, *args)

    def assertInstalled(self, code):
        self.assertIsNone(self.prefix.saved_task(), "the copy of an earlier task is left")
        self.assertEqual([msi_registered(c) for c in CODES], [c == code for c in CODES])
        self.assertEqual(self.prefix.task_file() is not None, code is not None, "task %s" % TASK)
        if code is None:
            self.assertIsNone(self.prefix.program_dir())
            return
        with open(self.prefix.installed_exe() or os.devnull, "rb") as installed:
            self.assertTrue(installed.read() == self.exe, "the installed orvello.exe is not the packaged one")
        for name, data in self.shipped_text.items():  # the licence and the notices, beside it
            with open(find_ci(self.prefix.program_dir(), name) or os.devnull, "rb") as installed:
                self.assertTrue(installed.read() == data, "the installed %s is not the packaged one" % name)

    def test_install_upgrade_repair_downgrade_uninstall(self):
        # A folder from the command line is ignored: the program lands where
        # the task's command (checked in the zip) looks.
        self.assertEqual(self.logged("/i", self.old, "INSTALLDIR=C:\\Tools\\Orvello"), (0, [NOT_BEFORE] + REGISTERED))
        self.assertInstalled(CODES[1])
        self.assertIsNone(find_ci(self.prefix.drive_c, "Tools"), "the install wrote into C:\\Tools")
        # A major upgrade: one product left, its task updated, never deleted.
        self.assertEqual(self.logged("/i", self.new), (0, REGISTERED))
        self.assertInstalled(CODES[0])
        for script in ("install.cmd", "uninstall.cmd"):  # the zip's scripts leave it alone
            code, output = run_cmd(os.path.join(self.tmp, "zip", script), self.tmp, self.tmp)
            self.assertEqual((code, "from its MSI package" in output), (8, True), output)
        os.remove(self.prefix.installed_exe())
        os.remove(self.prefix.task_file())
        # The notes' repair with the package at hand: missing or older files
        # only. Wine's msiexec has no /f for a product code.
        self.assertEqual(self.logged("/i", self.new, "REINSTALL=ALL", "REINSTALLMODE=omus"), (0, REGISTERED))
        self.assertInstalled(CODES[0])
        self.assertEqual(self.logged("/i", self.old), (1603 & 0xFF, []))  # downgrade refused
        self.assertInstalled(CODES[0])
        self.assertEqual(self.logged("/x", CODES[0]), (0, ["deleted the task Orvello"]))
        self.assertInstalled(None)

    def test_removals_leave_no_task_and_end_no_run(self):
        self.assertEqual(msiexec("/i", self.new), 0)
        # The feature's removal takes the task with its files.
        self.assertEqual(msiexec("/i", self.new, "REMOVE=Orvello"), 0)
        self.assertEqual((self.prefix.task_file(), self.prefix.program_dir()), (None, None))
        # A file in use is left for the next restart (3010), its program
        # running; Wine leaves it and answers 0.
        self.assertEqual(msiexec("/i", self.new), 0)
        running, folder = start_instance(self.prefix, self.tmp)
        try:
            self.assertIn(msiexec("/x", CODES[0]), (0, 3010 & 0xFF))
            self.assertIsNone(running.poll(), "the removal ended the running orvello.exe")
            self.assertEqual((msi_registered(CODES[0]), self.prefix.task_file()), (False, None))
        finally:
            end_instance(running, folder)
        self.assertEqual(running.returncode, 42)

    def test_failed_install_rolls_back_the_task(self):
        # Wine answers a failed deferred action with 1627 (91), Windows with 1603.
        code, lines = self.logged("/i", self.failing)
        self.assertEqual((code != 0, lines), (True, [NOT_BEFORE] + REGISTERED + ["deleted the task Orvello"]))
        self.assertInstalled(None)

    def test_takes_over_a_zip_install_and_gives_its_task_back_when_it_fails(self):
        # The zip's install, its definition marked so that it shows in Wine's task store.
        package = os.path.join(self.tmp, "marked")
        shutil.copytree(os.path.join(self.tmp, "zip"), package)
        with open(os.path.join(package, "orvello-task.xml"), "rb") as f:
            text = f.read()[2:].decode("utf-16-le")
        self.assertIn("<Version>3.5.6.0</Version>", text)
        with open(os.path.join(package, "orvello-task.xml"), "wb") as f:
            f.write(utf16(text.replace("<Version>3.5.6.0</Version>", "<Version>zip</Version>")))
        code, output = run_cmd(os.path.join(package, "install.cmd"), self.tmp, self.tmp)
        self.assertEqual(code, 0, output)
        zip_task = self.stored_task()
        self.assertIn("<Version>zip</Version>", zip_task)
        # A first MSI install that fails after registering the task: the
        # zip's task comes back as it was, and no copy of it is left.
        code, lines = self.logged("/i", self.failing)
        self.assertEqual((code != 0, lines), (True, [KEPT] + REGISTERED + [AGAIN]))
        self.assertEqual(self.stored_task(), zip_task)
        self.assertIsNone(self.prefix.saved_task())
        print("  after the rollback under Wine: C:\\Program Files\\Orvello %s" % (
            sorted(os.listdir(self.prefix.program_dir())) if self.prefix.program_dir() else "is gone"))
        # The MSI takes over: one task, its own; the zip's scripts refuse.
        self.assertEqual(self.logged("/i", self.new), (0, [KEPT] + REGISTERED))
        self.assertInstalled(CODES[0])
        self.assertIn("<Version>3.5.6.0</Version>", self.stored_task())
        code, output = run_cmd(os.path.join(package, "uninstall.cmd"), self.tmp, self.tmp)
        self.assertEqual((code, "from its MSI package" in output), (8, True), output)
        self.assertEqual(self.logged("/x", CODES[0]), (0, ["deleted the task Orvello"]))
        self.assertInstalled(None)

    def stored_task(self):
        # Wine rewrites a task's file in place without truncating it: a
        # shorter definition leaves the end of the longer one behind it.
        with open(self.prefix.task_file() or os.devnull, "rb") as f:
            return stored_task_text(f.read()).partition("</Task>")[0]

    def test_bad_definition_fails_the_install(self):
        # The file and the error named; the rollback finds no task to delete.
        good = make_package.task_bytes("3.5.6.0")
        for name, data, error in (("malformed", good.replace("</Principals>".encode("utf-16-le"), b""), "0x"),
                                  ("empty", b"", "it is empty")):
            with self.subTest(name), mock.patch.object(make_package, "task_bytes", lambda version: data):
                make_package.write_msi(os.path.join(self.tmp, name + ".msi"), self.exe, self.dll, "3.5.6.0", 0,
                                       self.notices)
                code, lines = self.logged("/i", windows_path(os.path.join(self.tmp, name + ".msi")))
                self.assertEqual((code != 0, lines[:1], lines[2:]),
                                 (True, [NOT_BEFORE], ["the task Orvello was not registered"]))
                self.assertTrue(lines[1].startswith("could not register the task Orvello from C:\\Program Files\\"
                                                    "Orvello\\orvello-task.xml: " + error), lines)
                self.assertInstalled(None)


class Rebuilt(unittest.TestCase):
    """The same sources packaged in a folder of another name give the same
    bytes; packaged there with a certificate, both programs verify."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.copy, cls.dist = os.path.join(cls.tmp, "other name"), os.path.dirname(os.path.abspath(ZIP))
        shutil.copytree(ROOT, cls.copy, ignore=shutil.ignore_patterns("build", "dist", ".git", "__pycache__"))
        epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
            ["git", "log", "-1", "--format=%ct"], cwd=ROOT, stdout=subprocess.PIPE, text=True, check=True).stdout
        cls.env = dict(os.environ, SOURCE_DATE_EPOCH=epoch.strip())
        cls.output = cls.package()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    @classmethod
    def package(cls, **env):
        return subprocess.run(["scripts/package"], cwd=cls.copy, env=dict(cls.env, **env), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, check=True).stdout

    def test_same_bytes_and_sums(self):
        names = sorted(os.listdir(self.dist))
        self.assertEqual((len(names), names), (4, sorted(os.listdir(os.path.join(self.copy, "dist")))))
        for name in names:
            with open(os.path.join(self.dist, name), "rb") as a, open(os.path.join(self.copy, "dist", name), "rb") as b:
                self.assertTrue(a.read() == b.read(), "%s differs when built in %s" % (name, self.copy))
        self.assertEqual(subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=self.dist, **QUIET).returncode, 0)
        self.assertEqual([line for line in self.output.splitlines() if "unsigned" in line], [
            "package: ORVELLO_SIGN_PKCS12 is not set: orvello.exe, the custom-action DLL and the MSI are unsigned"])

    def test_signed(self):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test",
                        "-addext", "extendedKeyUsage=codeSigning", "-keyout", "key.pem", "-out", "cert.pem"],
                       cwd=self.tmp, check=True, **QUIET)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "test.p12",
                        "-passout", "pass:throwaway"], cwd=self.tmp, check=True)
        output = self.package(ORVELLO_SIGN_PKCS12=os.path.join(self.tmp, "test.p12"), ORVELLO_SIGN_PASSWORD="throwaway")
        self.assertEqual(len([line for line in output.splitlines() if "no time stamp" in line]), 1, output)
        msi = os.path.join(self.copy, "dist", os.path.basename(ZIP)[:-4] + ".msi")
        subprocess.run(["msiextract", "-C", ".", msi], cwd=self.tmp, check=True, **QUIET)  # icons go to the cwd
        with zipfile.ZipFile(msi[:-4] + ".zip") as z, open(msi, "rb") as m, \
                open(os.path.join(self.tmp, "Orvello", "orvello.exe"), "rb") as e:
            exe, installer, inside = z.read("orvello.exe"), m.read(), e.read()
        self.assertTrue(inside == exe, "the MSI holds another orvello.exe than the zip")
        # One byte changed in each: an imported function's name, a custom action's entry, an exported name.
        for name, data, text in (("orvello.exe", exe, b"SetupDiGetClassDevs"),
                                 ("orvello.msi", installer, b"DeleteOrvello"),
                                 ("task_actions.dll", binary(msi), b"DeleteOrvello")):
            at = data.index(text)
            for what, content, ok in (("signed", data, True), ("changed", data[:at] + b"X" + data[at + 1:], False)):
                with open(os.path.join(self.tmp, name), "wb") as f:
                    f.write(content)
                verify = subprocess.run(["osslsigncode", "verify", "-CAfile", "cert.pem", "-in", name], cwd=self.tmp,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                print("  osslsigncode verify, %s %s: exit code %d, %s" % (what, name, verify.returncode, "; ".join(
                    l.strip() for l in verify.stdout.splitlines() if "Subject" in l or "verification:" in l)))
                self.assertEqual((verify.returncode, "Subject: /CN=Test" in verify.stdout), (0, True) if ok else (1, False))


# ---------------------------------------------------------------- Wine

def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def find_ci(parent, *names):
    """parent/names..., matching each name without regard to case; None if absent."""
    path = parent
    for name in names:
        if not os.path.isdir(path):
            return None
        match = [n for n in os.listdir(path) if n.lower() == name.lower()]
        if not match:
            return None
        path = os.path.join(path, match[0])
    return path


class Prefix:
    """Where install.cmd's effects show in the Wine prefix (a plain record)."""

    def __init__(self, root):
        self.drive_c = os.path.join(root, "drive_c")

    def installed_exe(self):
        return find_ci(self.drive_c, "Program Files", "Orvello", "orvello.exe")

    def program_dir(self):
        return find_ci(self.drive_c, "Program Files", "Orvello")

    def task_file(self):
        return find_ci(self.drive_c, "windows", "system32", "tasks", TASK)

    def saved_task(self):
        """The MSI's copy of a task registered before its first install."""
        return find_ci(self.drive_c, "windows", "Installer", "Orvello-task-before-install.xml")

    def system32(self):
        return find_ci(self.drive_c, "windows", "system32")


# Marks the stand-in tools, so a later run knows them from Wine's own.
TOOL_TAG = b"\0orvello package test tool\0"


def session_prefix():
    # The tests delete what they find there: never in someone's own prefix.
    if os.environ.get("WINEPREFIX") is None or os.environ["WINEPREFIX"] != os.environ.get("ORVELLO_WINE_SESSION"):
        raise AssertionError("not in scripts/wine-session's prefix: run inside scripts/wine-session")
    return Prefix(os.environ["WINEPREFIX"])


SAVED = ".saved-by-test"  # a real tool's name while a stand-in takes its place


def clean_prefix(prefix):
    """Removes what an install or a test run left in the prefix, all that a
    case checks is absent, and puts back the tools stand-ins replaced; says
    what it removed."""
    removed = []
    for code in filter(msi_registered, CODES):
        msiexec("/x", code)
        removed.append("MSI product " + code)
    # C:\Tools: where a package that honours INSTALLDIR writes.
    leftovers = [prefix.task_file(), prefix.program_dir(), find_ci(prefix.drive_c, "Orvello"),
                 find_ci(prefix.drive_c, "Tools"), prefix.saved_task()]
    stubs = [os.path.join(prefix.system32(), name) for name in ("fltmc.exe", "ping.exe")]
    for stub in filter(os.path.exists, stubs):
        with open(stub, "rb") as f:
            leftovers += [stub] if TOOL_TAG in f.read() else []
    for path in filter(None, leftovers):
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)
        removed.append(path)
    for stub in filter(lambda s: os.path.exists(s + SAVED), stubs):
        os.replace(stub + SAVED, stub)
    return removed


def stub_tools(prefix, stubs):
    """Puts stand-ins (name: program) in place of the prefix's tools; returns what puts them back."""
    paths = {os.path.join(prefix.system32(), name): program for name, program in stubs.items()}
    for path, program in paths.items():
        if os.path.exists(path):
            os.replace(path, path + SAVED)
        shutil.copyfile(program, path)
    return lambda: [os.replace(p + SAVED, p) if os.path.exists(p + SAVED) else os.remove(p) for p in paths]


# Stands in for a run of orvello.exe: runs until the file "hold" is gone, or,
# once "end-when-waited" exists, until uninstall.cmd says it is waiting for
# it; then exits with 42, so an end by anyone else shows.
INSTANCE = r"""fclose(fopen("running", "w"));
for (int i = 0; i < 3000 && GetFileAttributesA("hold") != INVALID_FILE_ATTRIBUTES; i++, Sleep(100)) {
    /* The marker before the output: what is read after it exists is never an earlier step's output. */
    int armed = GetFileAttributesA("end-when-waited") != INVALID_FILE_ATTRIBUTES;
    char text[4096] = {0};
    FILE *f = fopen("..\\cmd-output.txt", "rb");
    if (f) fread(text, 1, sizeof text - 1, f), fclose(f);
    if (armed && strstr(text, "waiting")) break;
}
return 42;"""


def start_instance(prefix, tmp):
    """Starts INSTANCE as the installed orvello.exe; returns (process, working folder) once it runs."""
    folder = tempfile.mkdtemp(dir=tmp)
    shutil.copyfile(build_exe(folder, "instance", INSTANCE), prefix.installed_exe())
    open(os.path.join(folder, "hold"), "w").close()
    running = subprocess.Popen(["wine", "C:\\Program Files\\Orvello\\orvello.exe"], cwd=folder, **QUIET)
    for _ in range(600):
        if os.path.exists(os.path.join(folder, "running")) or running.poll() is not None:
            break
        time.sleep(0.1)
    return running, folder


def end_instance(running, folder):
    os.remove(os.path.join(folder, "hold"))
    running.wait(timeout=60)


def stored_task_text(data):
    """A task file from Wine's task store (UTF-8 or UTF-16, with a BOM) as text."""
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", errors="replace")
    return data.decode("utf-8-sig", errors="replace")


def run_cmd(script, cwd, out_dir, env=None):
    """Runs a script (a Linux path, or a Windows one) with Wine's cmd (env: variables to change);
    returns (exit code, its console text)."""
    # Through a file, not a pipe: a Wine helper it starts could hold a pipe open.
    out_path = os.path.join(out_dir, "cmd-output.txt")
    env = dict(os.environ, **(env or {}))
    command = ["wine", "cmd", "/c", windows_path(script) if os.path.isabs(script) else script]
    with open(out_path, "wb") as out:
        code = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.STDOUT, timeout=120, env=env).returncode
    with open(out_path, "rb") as f:
        return code, f.read().decode(errors="replace")


def build_exe(directory, name, body):
    """A Windows program name.exe in directory whose main() runs body."""
    os.makedirs(directory, exist_ok=True)
    source = os.path.join(directory, name + ".c")
    with open(source, "w") as f:
        f.write("#include <stdio.h>\n#include <string.h>\n#include <windows.h>\nint main(void) {\n%s\n}\n" % body)
    exe = os.path.join(directory, name + ".exe")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-o", exe, source], check=True)
    with open(exe, "ab") as f:
        f.write(TOOL_TAG)
    return exe


def wine_problems(package_dir, prefix, tmp):
    """Drives install.cmd and uninstall.cmd through every outcome; what went wrong."""
    problems = []
    install = os.path.join(package_dir, "install.cmd")
    uninstall = os.path.join(package_dir, "uninstall.cmd")
    tools = os.path.join(tmp, "tools")
    denied = build_exe(tools, "denied", "return (int)0x80070005;")  # fltmc's refusal
    granted = build_exe(tools, "granted", "return 0;")
    # The working folder holds tools a user could have planted; none may run.
    work = os.path.join(tmp, "work")
    planted = build_exe(tools, "planted", 'FILE *f = fopen("planted-ran.txt", "a");\n'
                        'if (f) { fprintf(f, "%s\\n", GetCommandLineA()); fclose(f); }\nreturn 0;')
    os.makedirs(work)
    for name in ("fltmc", "net", "icacls", "schtasks", "find", "ping"):
        shutil.copyfile(planted, os.path.join(work, name + ".exe"))
    planted_log = os.path.join(work, "planted-ran.txt")

    def step(what, script, code, text, fltmc=None, env=None, ping=None):
        # fltmc None: no fltmc, as in Wine, so Wine's own answer counts.
        undo = stub_tools(prefix, {n: p for n, p in (("fltmc.exe", fltmc), ("ping.exe", ping)) if p})
        if ping:  # Wine prefers its own builtin ping to the file in system32
            env = dict(env or {}, WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "") + ";ping.exe=n")
        try:
            actual, output = run_cmd(script, work, tmp, env)
        finally:
            undo()
        print("  %s: exit code %d: %s" % (what, actual, " / ".join(output.splitlines()).strip(" /")))
        if actual != code:
            problems.append("%s: exit code %d, expected %d; output:\n%s" % (what, actual, code, output))
        if text not in output:
            problems.append("%s: output lacks %r:\n%s" % (what, text, output))
        for error in ("Can't recognize", "is not recognized", "syntax of the command is incorrect", "unexpected"):
            if error in output:
                problems.append("%s: the script hit a command error (%r):\n%s" % (what, error, output))
        if os.path.exists(planted_log):
            with open(planted_log) as f:
                problems.append("%s: a tool planted in the working folder ran: %s" % (what, f.read()))
            os.remove(planted_log)
        return output

    def expect(condition, message):
        if not condition:
            problems.append(message)

    def plant():
        # A folder someone made before the install, with files SYSTEM would load.
        os.makedirs(os.path.join(find_ci(prefix.drive_c, "Program Files"), "Orvello", "sub"), exist_ok=True)
        for name in ("CFGMGR32.dll", os.path.join("sub", "planted.txt")):
            with open(os.path.join(prefix.program_dir(), name), "w") as f:
                f.write("planted\n")

    step("install, not elevated", install, 2, "must be run as an administrator", fltmc=denied)
    expect(prefix.program_dir() is None, "install copied files although not elevated")
    expect(prefix.task_file() is None, "install registered the task although not elevated")
    step("uninstall, not elevated", uninstall, 2, "must be run as an administrator", fltmc=denied)

    # Without ProgramW6432 and ProgramFiles the folder would be \Orvello on
    # the current drive (C: here). Not call: Wine's call loses the exit code.
    bare = os.path.join(tmp, "no-program-files.cmd")
    for script in (install, uninstall):
        with open(bare, "w", newline="\r\n") as f:
            f.write('@cd /d C:\\\n@set "ProgramFiles="\n@set "ProgramW6432="\n@"%%ComSpec%%" /c "%s"\n'
                    '@exit /b %%errorlevel%%\n' % windows_path(script))
        step(os.path.basename(script) + " without Program Files", bare, 7, "neither ProgramW6432", fltmc=granted)

    partial = os.path.join(tmp, "partial")
    shutil.copytree(package_dir, partial)
    os.remove(os.path.join(partial, "orvello-task.xml"))
    step("install from an incomplete package", os.path.join(partial, "install.cmd"), 4,
         "orvello-task.xml is missing", fltmc=granted)
    expect(prefix.program_dir() is None, "an incomplete package still copied files")
    inside = os.path.join(find_ci(prefix.drive_c, "Program Files"), "Orvello", "package")
    shutil.copytree(package_dir, inside)
    # By its C: path, the one an administrator would use.
    step("install from inside the install folder", "C:\\Program Files\\Orvello\\package\\install.cmd", 4,
         "extract it elsewhere", fltmc=granted)
    expect(sorted(os.listdir(inside)) == sorted(EXPECTED), "install removed the package it was started from")
    shutil.rmtree(os.path.dirname(inside))

    plant()
    step("install, icacls fails", install, 7, "icacls could not", fltmc=granted,
         env={"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";icacls.exe=d"})
    expect(prefix.program_dir() is None, "install left C:\\Program Files\\Orvello although icacls failed")
    expect(prefix.task_file() is None, "install registered the task although icacls failed")

    plant()
    output = step("install over a planted folder", install, 0, "registered the task", fltmc=granted,
                  env={"WINEDEBUG": "-all,fixme+icacls"})
    folder = prefix.program_dir()
    expect(folder is not None and os.listdir(folder) == ["orvello.exe"],
           "C:\\Program Files\\Orvello holds %s after install, not only orvello.exe"
           % (os.listdir(folder) if folder else None))
    # Wine's icacls names each call's arguments (doubling backslashes).
    for args in ('"/reset" "/T"', '"/setowner" "*S-1-5-32-544" "/T"'):
        expect('icacls.exe" "C:\\\\Program Files\\\\Orvello" ' + args in output,
               "install did not run icacls on the folder with %s:\n%s" % (args, output))
    exe = prefix.installed_exe()
    if exe is not None:
        with open(exe, "rb") as a, open(os.path.join(package_dir, "orvello.exe"), "rb") as b:
            expect(a.read() == b.read(), "the installed orvello.exe differs from the packaged one")
    stored = prefix.task_file()
    expect(stored is not None, "no task %s in Wine's task store after install" % TASK)
    if stored is not None:
        with open(stored, "rb") as f:
            kept = stored_task_text(f.read())
        # Wine keeps what it understood of our definition; it drops the
        # trigger, the principal and the action's command line.
        for element in ("<Version>3.5.6.0</Version>", "<URI>\\Orvello</URI>", "<Hidden>false</Hidden>",
                        "<ExecutionTimeLimit>PT1H</ExecutionTimeLimit>"):
            expect(element in kept, "the registered task lacks %s:\n%s" % (element, kept))

    step("install again", install, 3, "already registered", fltmc=granted)

    # A run under way is never ended: uninstall removes the task, then
    # waits for the run. One that outlasts the wait (a ping that returns at once)
    # is left running with 5; one that ends while it waits is followed by
    # the removal.
    if prefix.installed_exe() is not None:
        running, folder = start_instance(prefix, tmp)
        try:
            step("uninstall while a run outlasts the wait", uninstall, 5, "left running", fltmc=granted, ping=granted)
            expect(running.poll() is None, "uninstall ended the running orvello.exe")
            expect(prefix.task_file() is None, "the task is still registered after uninstall")
            os.remove(os.path.join(tmp, "cmd-output.txt"))  # the instance reads the next step's output
            open(os.path.join(folder, "end-when-waited"), "w").close()
            step("uninstall while a run ends", uninstall, 0, "finished its run", fltmc=granted)
            expect(prefix.program_dir() is None, "C:\\Program Files\\Orvello is still there after the run ended")
        finally:
            end_instance(running, folder)
        expect(running.returncode == 42, "orvello.exe did not end on its own (exit code %s)" % running.returncode)
        plant()
    step("uninstall (Wine's own elevation answer)", uninstall, 0, "removed")
    expect(prefix.task_file() is None, "the task is still in Wine's task store after uninstall")
    expect(prefix.program_dir() is None, "C:\\Program Files\\Orvello is still there after uninstall")
    step("uninstall again", uninstall, 0, "nothing to remove")
    return problems


class ScriptsUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = session_prefix()

    def setUp(self):
        # An interrupted run may have left an install or stand-in tools behind.
        for what in clean_prefix(self.prefix):
            print("  setUp: removed leftover %s" % what)
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        clean_prefix(self.prefix)
        shutil.rmtree(self.tmp)

    def unpack(self, change=None):
        directory = os.path.join(self.tmp, "package")
        if change is None:
            with zipfile.ZipFile(ZIP) as z:
                z.extractall(directory)
        else:
            damaged = os.path.join(self.tmp, "damaged.zip")
            rewrite_zip(ZIP, damaged, change)
            with zipfile.ZipFile(damaged) as z:
                z.extractall(directory)
        return directory

    def test_scripts_run_to_every_outcome(self):
        self.assertEqual(wine_problems(self.unpack(), self.prefix, self.tmp), [])

    def test_script_error_is_caught(self):
        # A misspelt schtasks verb. Windows' schtasks fails it (install exits
        # 6); Wine's ignores it and succeeds, so only the missing task shows.
        broken = self.unpack(lambda n, d: d.replace(b"/Create /TN", b"/Craete /TN") if n == "install.cmd" else d)
        problems = wine_problems(broken, self.prefix, self.tmp)
        self.assertIn("no task %s in Wine's task store after install" % TASK, problems)

    def test_elevation_check_is_needed(self):
        # An install.cmd that skips its elevation check goes on without rights.
        broken = self.unpack(lambda n, d: d.replace(b"call :elevated\r\n", b"ver >nul\r\n")
                             if n == "install.cmd" else d)
        problems = wine_problems(broken, self.prefix, self.tmp)
        self.assertTrue(any(p.startswith("install, not elevated: exit code") for p in problems), problems)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        ZIP = sys.argv.pop(1)
    if not ZIP or not os.path.isfile(ZIP):
        sys.exit("usage: test_package.py dist/orvello-<version>.zip [unittest options]")
    unittest.main(verbosity=2)
