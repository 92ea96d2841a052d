#!/usr/bin/env python3
"""Builds the release zip and the Windows Installer package from orvello.exe
and the files in packaging/.

    make_package.py --exe orvello.exe --version 3.5.6.0 --epoch SECONDS \
        [--zip dist/orvello-3.5.6.0.zip] [--msi dist/orvello-3.5.6.0.msi]

Text files get Windows line endings; the task definition is written in
UTF-16 with a byte-order mark, the encoding schtasks /XML expects. Both
files are the same bytes for the same inputs: every time stamp inside them
is --epoch (scripts/package passes the commit's time), and the MSI's
package code is derived from its inputs.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEXT_FILES = ("install.cmd", "uninstall.cmd", "README.txt")
TASK_FILE = "orvello-task.xml"
WXS = os.path.join(HERE, "orvello.wxs")
ICON = os.path.join(ROOT, "res", "orvello.ico")

# Custom action types: 50 runs the program a property names; +64 ignores
# its exit code; +1024 runs it in the installation script (deferred); +256
# with it, only when that script is rolled back; +2048 as LocalSystem.
# wixl writes rollback actions as immediate ones and adds 2048 to every
# action, so these types are set after it.
ROLLBACK = 50 + 64 + 1024 + 256 + 2048
FIXED_TYPES = {"SetSchtasks": 51, "CreateTaskRollback": ROLLBACK, "RemoveTaskRollback": ROLLBACK}
# Before ProcessComponents, inside the transaction: a failed upgrade puts
# the older version back. wixl ignores MajorUpgrade's Schedule and puts it
# after InstallFinalize, where the old version's removal runs after the
# new one is installed.
REMOVE_EXISTING_SEQUENCE = 1510


def fail(message):
    sys.exit("make_package: " + message)


def windows_text(name, version):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        text = f.read()
    if "@VERSION@" not in text:
        fail("%s has no @VERSION@" % name)
    text = text.replace("@VERSION@", version).replace("@PRODUCTCODE@", product_code(version))
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def task_bytes(version):
    return b"\xff\xfe" + windows_text(TASK_FILE, version).encode("utf-16-le")


def write_zip(out, exe, version, epoch):
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
    os.replace(partial, out)


def upgrade_code(wxs_text):
    m = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', wxs_text)
    if not m:
        fail("orvello.wxs has no UpgradeCode")
    return uuid.UUID(m.group(1))


def product_code(version, wxs_text=None):
    """The product code of a version: the same for every build of it, so a
    rebuild is the same product, and different for every other version."""
    if wxs_text is None:
        with open(WXS, encoding="utf-8") as f:
            wxs_text = f.read()
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


def table(msi, name):
    """A table of the built package as rows of strings (msiinfo export)."""
    with tempfile.TemporaryDirectory() as scratch:  # it writes binary columns out as files there
        text = subprocess.run(["msiinfo", "export", os.path.abspath(msi), name], cwd=scratch, check=True,
                              stdout=subprocess.PIPE, text=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:] if line]


def check_actions(msi, wxs_text):
    """wixl leaves out some custom actions without an error, yet keeps their
    sequence rows: refuse a package that would skip one silently."""
    actions = {row[0] for row in table(msi, "CustomAction")}
    declared = set(re.findall(r'<CustomAction Id="(\w+)"', wxs_text))
    if declared - actions:
        fail("wixl left out the custom actions %s" % sorted(declared - actions))


def write_msi(out, exe, version, epoch):
    with open(WXS, encoding="utf-8") as f:
        wxs_text = f.read()
    stage = tempfile.mkdtemp(prefix="orvello-msi-")
    try:
        # wixl reads its sources relative to the descriptor, and the cabinet
        # keeps each file's modification time.
        inputs = {"orvello.exe": exe, TASK_FILE: task_bytes(version), "orvello.wxs": wxs_text.encode()}
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
             "-D", "Exe=orvello.exe", "-D", "TaskXml=" + TASK_FILE, "-D", "Icon=orvello.ico",
             "-o", msi, "orvello.wxs"], stage, epoch)
        check_actions(msi, wxs_text)
        queries = ["UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'" % (t, a)
                   for a, t in sorted(FIXED_TYPES.items())]
        queries.append("UPDATE `InstallExecuteSequence` SET `Sequence` = %d WHERE `Action` = 'RemoveExistingProducts'"
                       % REMOVE_EXISTING_SEQUENCE)
        # A package code derived from everything that went in: the same
        # inputs give the same package, different ones a different code.
        package_code = "{%s}" % str(uuid.uuid5(upgrade_code(wxs_text), digest.hexdigest())).upper()
        run(["msibuild", msi, "-q", ";".join(queries),
             "-s", "Orvello " + version, "Orvello", "x64;1033", package_code], stage, epoch)
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
    args = parser.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", args.version):
        fail("version %r is not four numbers" % args.version)
    with open(args.exe, "rb") as f:
        exe = f.read()
    if exe[:2] != b"MZ":
        fail("%s is not a Windows executable" % args.exe)
    if args.zip:
        os.makedirs(os.path.dirname(os.path.abspath(args.zip)), exist_ok=True)
        write_zip(args.zip, exe, args.version, args.epoch)
    if args.msi:
        write_msi(args.msi, exe, args.version, args.epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
