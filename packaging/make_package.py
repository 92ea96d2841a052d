#!/usr/bin/env python3
"""Builds the release zip from orvello.exe and the files in packaging/.

    make_package.py --exe orvello.exe --version 3.5.6.0 --out dist/orvello-3.5.6.0.zip

Text files get Windows line endings; the task definition is written in
UTF-16 with a byte-order mark, the encoding schtasks /XML expects. Entries
carry a fixed time stamp, so the same inputs give the same zip.
"""

import argparse
import os
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TEXT_FILES = ("install.cmd", "uninstall.cmd", "README.txt")
TASK_FILE = "orvello-task.xml"
STAMP = (2020, 1, 1, 0, 0, 0)


def windows_text(name, version):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        text = f.read()
    if "@VERSION@" not in text:
        sys.exit("make_package: %s has no @VERSION@" % name)
    return text.replace("@VERSION@", version).replace("\r\n", "\n").replace("\n", "\r\n")


def add(archive, name, data):
    info = zipfile.ZipInfo(name, STAMP)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        exe = f.read()
    if exe[:2] != b"MZ":
        sys.exit("make_package: %s is not a Windows executable" % args.exe)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    partial = args.out + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        add(archive, "orvello.exe", exe)
        add(archive, TASK_FILE, b"\xff\xfe" + windows_text(TASK_FILE, args.version).encode("utf-16-le"))
        for name in TEXT_FILES:
            add(archive, name, windows_text(name, args.version).encode("ascii"))
    os.replace(partial, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
