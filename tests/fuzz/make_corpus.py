#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/<target>/).

Each seed is a small, readable case in the input layout that the target's
header comment describes; the fuzzer grows its own corpus from them.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def units(text):
    return text.encode("utf-16-le")


def match_seed(target, ids, flags=0):
    return bytes([flags, len(target)]) + target + units(ids)


MATCH = {
    "exact": match_seed(b"USB\\VID_05E3&PID_0610&REV_6941", "USB\\VID_05E3&PID_0610&REV_6941\0USB\\VID_05E3\0\0"),
    "longer": match_seed(b"USB\\VID_05E3&PID_0610&REV_6941", "USB\\VID_05E3&PID_0610&REV_69410\0\0"),
    "case": match_seed(b"USB\\VID_05E3&PID_0610&REV_6941", "usb\\vid_05e3&pid_0610&rev_6941\0\0"),
    "second-only": match_seed(b"USB\\VID_05E3", "HID\\X\0USB\\VID_05E3\0\0"),
    "non-ascii": match_seed(b"USB\\?ID", "USB\\\u00e9ID\u4e2d"),
    "unterminated-repeated": match_seed(b"ABABAB", "AB", flags=2 | (7 << 2)),
    "null": match_seed(b"", "", flags=1),
}

# fuzz_check: target kind; device count; per device: ID kind, its pieces,
# read error, reported size, status result, status, node flags; failure
# count and (op, nth, error) triples; check count and one trace byte each.
TARGET_0610 = 0
OK, FAIL_DISABLE, FAIL_ENABLE = 0, 1, 2
HEALTHY, FAULTY = 0, 2
SNAPSHOT, ENUM, READ_IDS, ALLOC = 0, 1, 2, 3


def device(id_bytes, read_error=0, reported=0, status_result=0, status=HEALTHY, node=OK):
    return bytes(id_bytes) + bytes([read_error, reported, status_result, status, node])


def multi(*pieces):
    # kind 0: a multi-string of the given pieces (piece selector bytes).
    return [0, len(pieces) - 1] + [b for p in pieces for b in p]


TARGET_ID, OTHER_ID, LONG_ID = [0], [4], [8, 120]


def check_seed(devices, failures=(), checks=(1,)):
    out = bytes([TARGET_0610, len(devices)]) + b"".join(devices)
    out += bytes([len(failures)]) + b"".join(bytes(f) for f in failures)
    return out + bytes([len(checks) - 1]) + bytes(checks)


CHECK = {
    "healthy-then-faulty": check_seed([device(multi(OTHER_ID)), device(multi(TARGET_ID)),
                                        device(multi(TARGET_ID), status=FAULTY)]),
    "faulty-cycled-twice": check_seed([device(multi(TARGET_ID, OTHER_ID), status=FAULTY)], checks=(1, 0)),
    "long-list-reread": check_seed([device(multi(TARGET_ID, LONG_ID), status=FAULTY)]),
    "status-unreadable-enable-fails": check_seed([device(multi(TARGET_ID), status_result=6, node=FAIL_ENABLE)],
                                                 checks=(1, 1)),
    "disable-fails": check_seed([device(multi(TARGET_ID), status=FAULTY, node=FAIL_DISABLE)]),
    "snapshot-and-alloc-fail": check_seed([device(multi(TARGET_ID), status=FAULTY)],
                                          failures=[(SNAPSHOT, 0, 5), (ALLOC, 1, 0)], checks=(1, 1, 1)),
    "raw-odd-unterminated": check_seed([bytes([2]) + struct.pack("<H", 7) + b"U\0S\0B\0\\"
                                        + bytes([0, 6, 0, 0, 0]), device(multi(TARGET_ID), status=FAULTY)]),
}


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


write("fuzz_match", MATCH)
write("fuzz_check", CHECK)
