#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Builds the release zip and the Windows Installer package from orvello.exe
and the files in packaging/.

    make_package.py --exe orvello.exe --version 3.5.6.0 --epoch SECONDS \
        --map orvello.exe=orvello.map [--map task_actions.dll=task_actions.map] \
        [--zip dist/orvello-3.5.6.0.zip] [--msi dist/orvello-3.5.6.0.msi --dll task_actions.dll] \
        [--sbom dist/orvello-3.5.6.0.cdx.json [--signed]]

The MSI carries task_actions.dll, its custom actions, in its Binary table.
Both packages hold LICENSE.txt and THIRD-PARTY-NOTICES.txt, which is made
from the binaries' link maps (third_party.py): a linked object whose
licence no rule states stops the build. The SBOM (sbom.py) lists the
shipped files with their hashes and the components linked into them.

Text files get Windows line endings; the task definition is written in
UTF-16 with a byte-order mark, the encoding schtasks /XML and the MSI's
custom action expect, and without the comments after its first. Both
files are the same bytes for the same inputs: every time stamp inside them
is --epoch (scripts/package passes the commit's time), and the MSI's
package code is derived from its inputs.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile

import sbom
import third_party

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEXT_FILES = ("install.cmd", "uninstall.cmd", "README.txt")
TASK_FILE = "orvello-task.xml"
LICENSE_FILE, NOTICES_FILE = "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"
WXS = os.path.join(HERE, "orvello.wxs")
ICON = os.path.join(ROOT, "res", "orvello.ico")

# Custom action types: 1 calls a DLL of the Binary table; 51 sets a
# property; +64 ignores the result; +1024 runs in the installation script
# (deferred); +256 with it, only when that script is rolled back, +512 only
# when it succeeded (commit); +2048 as LocalSystem. wixl writes rollback and
# commit actions as immediate ones and adds 2048 to every action, so these
# types are set after it.
ROLLBACK = 1 + 64 + 1024 + 256 + 2048
COMMIT = 1 + 64 + 1024 + 512 + 2048
FIXED_TYPES = {"FixInstallDir": 51, "SetCreateTask": 51, "SetRemoveTaskRollback": 51,
               "CreateTaskRollback": ROLLBACK, "RemoveTaskRollback": ROLLBACK, "ForgetSavedTask": COMMIT}
# Before ProcessComponents, inside the transaction: a failed upgrade puts
# the older version back. wixl ignores MajorUpgrade's Schedule and puts it
# after InstallFinalize, where the old version's removal runs after the
# new one is installed.
REMOVE_EXISTING_SEQUENCE = 1510
# wixl writes the feature's attributes as 0; the descriptor asks for no
# advertising (8) and no absent state in the UI (16).
FEATURE_ATTRIBUTES = 8 + 16
# The language of orvello.exe's resources (res/orvello.rc), Chinese (Taiwan).
EXE_LANGUAGE = "1028"
# Windows Installer compares the first three fields of a version, at most
# these; it ignores the fourth.
VERSION_LIMITS = (255, 255, 65535)


def fail(message):
    sys.exit("make_package: " + message)


def descriptor():
    """orvello.wxs's text: its upgrade code names the product family."""
    with open(WXS, encoding="utf-8") as f:
        return f.read()


def version_problem(version):
    """Why a version can't be a package's (None when it can)."""
    m = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)\.(\d+)", version)
    if not m:
        return "version %r is not four numbers" % version
    fields = [int(x) for x in m.groups()]
    if fields[3] != 0:
        return ("version %s: the fourth field must be 0. Windows Installer ignores it when it compares versions, so "
                "this package would install beside %d.%d.%d.0 instead of replacing it; raise the third field instead"
                % (version, *fields[:3]))
    for name, value, limit in zip(("major", "minor", "build"), fields, VERSION_LIMITS):
        if value > limit:
            return "version %s: the %s field is above %d, the largest Windows Installer can compare" % (
                version, name, limit)
    return None


def file_version(exe):
    """The executable's file version (its VS_FIXEDFILEINFO) as a.b.c.d, or None."""
    at = exe.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0 or at + 16 > len(exe):
        return None
    high, low = struct.unpack_from("<II", exe, at + 8)
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def windows_text(name, version):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        text = f.read()
    if "@VERSION@" not in text:
        fail("%s has no @VERSION@" % name)
    wxs_text = descriptor()
    for name, value in (("@VERSION@", version), ("@PRODUCTCODE@", product_code(version, wxs_text)),
                        ("@UPGRADECODE_PACKED@", packed_guid(upgrade_code(wxs_text)))):
        text = text.replace(name, value)
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def task_bytes(version):
    """The task definition with its first comment only: Task Scheduler keeps
    no comment, and under Wine, whose task service the package test uses, a
    10 KB definition made later programs fail now and then (6 runs in 64);
    a 7 KB one never did (0 in 44)."""
    head, end, rest = windows_text(TASK_FILE, version).partition("-->")
    return b"\xff\xfe" + (head + end + re.sub(r"\s*<!--.*?-->", "", rest, flags=re.S)).encode("utf-16-le")


def notice_files(notices):
    """LICENSE.txt and THIRD-PARTY-NOTICES.txt as they ship: Windows line endings."""
    with open(os.path.join(ROOT, "LICENSE"), encoding="utf-8") as f:
        licence = f.read()
    crlf = lambda text: text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")
    return {LICENSE_FILE: crlf(licence), NOTICES_FILE: crlf(notices)}


def write_zip(out, exe, version, epoch, notices):
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip dates start in 1980

    def add(archive, name, data):
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        archive.writestr(info, data)

    partial = out + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        add(archive, "orvello.exe", exe)
        add(archive, TASK_FILE, task_bytes(version))
        for name in TEXT_FILES:
            add(archive, name, windows_text(name, version).encode("ascii"))
        for name, data in notice_files(notices).items():
            add(archive, name, data)
    os.replace(partial, out)


def upgrade_code(wxs_text):
    m = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', wxs_text)
    if not m:
        fail("orvello.wxs has no UpgradeCode")
    return uuid.UUID(m.group(1))


def packed_guid(guid):
    """A GUID as Windows Installer writes it into registry key names: the
    first three groups reversed, every byte of the rest with its two hex
    digits swapped."""
    digits = guid.hex.upper()
    rest = digits[16:]
    return digits[7::-1] + digits[11:7:-1] + digits[15:11:-1] + "".join(rest[i + 1] + rest[i] for i in range(0, 16, 2))


def product_code(version, wxs_text=None):
    """The product code of a version: the same for every build of it, so a
    rebuild is the same product, and different for every other version."""
    if wxs_text is None:
        wxs_text = descriptor()
    return "{%s}" % str(uuid.uuid5(upgrade_code(wxs_text), "Orvello " + version)).upper()


def run(args, cwd, epoch):
    """Runs a msitools program with the clock held at epoch: wixl and msibuild
    write the current time into the summary information."""
    clock = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    done = subprocess.run(["faketime", "-f", clock] + args, cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        fail("%s failed (exit code %d):\n%s" % (" ".join(args), done.returncode, done.stdout))


def export(msi, name):
    """A table of the built package: its column names and its rows, as strings (msiinfo export)."""
    with tempfile.TemporaryDirectory() as scratch:  # it writes binary columns out as files there
        text = subprocess.run(["msiinfo", "export", os.path.abspath(msi), name], cwd=scratch, check=True,
                              stdout=subprocess.PIPE, text=True).stdout
    lines = text.splitlines()
    return lines[0].split("\t"), [line.split("\t") for line in lines[3:] if line]


def table(msi, name):
    return export(msi, name)[1]


def patches(exe):
    """What wixl gets wrong, as (table, key, column, value): rows keyed by
    their first column."""
    rows = [("CustomAction", action, "Type", t) for action, t in sorted(FIXED_TYPES.items())]
    return rows + [
        ("InstallExecuteSequence", "RemoveExistingProducts", "Sequence", REMOVE_EXISTING_SEQUENCE),
        ("Feature", "Orvello", "Attributes", FEATURE_ATTRIBUTES),
        # Versioned: repair and upgrade compare it by version, as Windows
        # Installer does for programs, and it needs no hash row.
        ("File", "orvello.exe", "Version", file_version(exe)),
        ("File", "orvello.exe", "Language", EXE_LANGUAGE),
    ]


def patch_queries(msi, fixes):
    keys = {name: export(msi, name)[0][0] for name in {t for t, _, _, _ in fixes}}
    quoted = lambda value: str(value) if isinstance(value, int) else "'%s'" % value
    return ["UPDATE `%s` SET `%s` = %s WHERE `%s` = '%s'" % (t, column, quoted(value), keys[t], key)
            for t, key, column, value in fixes] + ["DELETE FROM `MsiFileHash` WHERE `File_` = 'orvello.exe'"]


def check_patched(msi, fixes):
    """msibuild says nothing of an UPDATE that matched no row: read them back."""
    tables = {name: export(msi, name) for name in {t for t, _, _, _ in fixes}}
    for name, key, column, value in fixes:
        columns, rows = tables[name]
        found = [row[columns.index(column)] for row in rows if row[0] == key]
        if found != [str(value)]:
            fail("%s row %s has %s %s after patching, not %s" % (name, key, column, found, value))
    if any(row[0] == "orvello.exe" for row in table(msi, "MsiFileHash")):
        fail("orvello.exe still has a MsiFileHash row")


def check_actions(msi, wxs_text):
    """wixl leaves out some custom actions without an error, yet keeps their
    sequence rows: refuse a package that would skip one silently."""
    actions = {row[0] for row in table(msi, "CustomAction")}
    declared = set(re.findall(r'<CustomAction Id="(\w+)"', wxs_text))
    if declared - actions:
        fail("wixl left out the custom actions %s" % sorted(declared - actions))


def write_msi(out, exe, dll, version, epoch, notices):
    wxs_text = descriptor()
    stage = tempfile.mkdtemp(prefix="orvello-msi-")
    try:
        # wixl reads its sources relative to the descriptor, and the cabinet
        # keeps each file's modification time.
        inputs = {"orvello.exe": exe, "task_actions.dll": dll, TASK_FILE: task_bytes(version),
                  "orvello.wxs": wxs_text.encode()}
        inputs.update(notice_files(notices))
        with open(ICON, "rb") as f:
            inputs["orvello.ico"] = f.read()
        digest = hashlib.sha256(version.encode())
        for name in sorted(inputs):
            with open(os.path.join(stage, name), "wb") as f:
                f.write(inputs[name])
            os.utime(os.path.join(stage, name), (epoch, epoch))
            digest.update(b"\0%s\0%d\0" % (name.encode(), len(inputs[name])) + inputs[name])
        msi = os.path.join(stage, "orvello.msi")
        run(["wixl", "-a", "x64", "-D", "Version=" + version, "-D", "ProductCode=" + product_code(version, wxs_text),
             "-D", "Exe=orvello.exe", "-D", "TaskXml=" + TASK_FILE, "-D", "TaskActions=task_actions.dll",
             "-D", "Icon=orvello.ico", "-D", "License=" + LICENSE_FILE, "-D", "Notices=" + NOTICES_FILE,
             "-o", msi, "orvello.wxs"], stage, epoch)
        check_actions(msi, wxs_text)
        if file_version(exe) is None:
            fail("orvello.exe has no version resource")
        fixes = patches(exe)
        queries = patch_queries(msi, fixes)
        # A package code derived from everything that went in: the same
        # inputs give the same package, different ones a different code.
        package_code = "{%s}" % str(uuid.uuid5(upgrade_code(wxs_text), digest.hexdigest())).upper()
        run(["msibuild", msi, "-q", ";".join(queries),
             "-s", "Orvello " + version, "Orvello", "x64;1033", package_code], stage, epoch)
        check_patched(msi, fixes)
        os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
        shutil.copyfile(msi, out + ".partial")
        os.replace(out + ".partial", out)
    finally:
        shutil.rmtree(stage)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", type=int, required=True, help="the time stamp of every file, in seconds")
    parser.add_argument("--zip")
    parser.add_argument("--msi")
    parser.add_argument("--dll", help="the custom actions' DLL, for --msi")
    parser.add_argument("--map", action="append", default=[], metavar="NAME=MAP", required=True,
                        help="a shipped binary's link map (orvello.exe=..., task_actions.dll=...)")
    parser.add_argument("--sbom", help="where to write the CycloneDX SBOM")
    parser.add_argument("--signed", action="store_true", help="the binaries were signed (the SBOM names the tool)")
    args = parser.parse_args()
    if args.msi and not args.dll:
        parser.error("--msi needs --dll")
    maps = dict(m.split("=", 1) for m in args.map)
    shipped = {"orvello.exe"} | ({"task_actions.dll"} if args.msi else set())
    if set(maps) != shipped:
        parser.error("--map must name the link maps of %s" % ", ".join(sorted(shipped)))
    problem = version_problem(args.version)
    if problem:
        fail(problem)
    with open(args.exe, "rb") as f:
        exe = f.read()
    if exe[:2] != b"MZ":
        fail("%s is not a Windows executable" % args.exe)
    if file_version(exe) != args.version:
        fail("%s is version %s, not %s" % (args.exe, file_version(exe), args.version))
    try:
        records = third_party.attribute(maps)
        notices = third_party.notices(records, args.version)
    except (third_party.Unattributed, OSError, ValueError) as e:
        fail(str(e))
    print("make_package: linked into the shipped binaries:\n" + "\n".join(third_party.listing(records)))
    dll = None
    if args.msi:
        with open(args.dll, "rb") as f:
            dll = f.read()
        if dll[:2] != b"MZ":
            fail("%s is not a Windows DLL" % args.dll)
    if args.zip:
        os.makedirs(os.path.dirname(os.path.abspath(args.zip)), exist_ok=True)
        write_zip(args.zip, exe, args.version, args.epoch, notices)
    if args.msi:
        write_msi(args.msi, exe, dll, args.version, args.epoch, notices)
    if args.sbom:
        shipped = [("orvello.exe", "application", exe)] + ([("task_actions.dll", "library", dll)] if dll else []) + [
            (TASK_FILE, "file", task_bytes(args.version))] + [
            (name, "file", windows_text(name, args.version).encode("ascii")) for name in ("install.cmd", "uninstall.cmd")]
        sbom.write(args.sbom, sbom.bom(args.version, args.epoch, shipped, records, upgrade_code(descriptor()),
                                       args.signed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
