#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Prove that check_pe.py rejects damaged executables.

Usage: test_check_pe.py path/to/orvello.exe [unittest options]
(or set ORVELLO_EXE). Each test copies the good executable, damages one
thing and expects the checker to exit 1 naming the damaged item.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_pe.py")
GOOD_EXE = os.environ.get("ORVELLO_EXE")


def run_checker(path):
    p = subprocess.run([sys.executable, CHECKER, path],
                       capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout + p.stderr


def resource_offset(pe, rtype, rid):
    """File offset and size of the first language of one resource."""
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id != rtype:
            continue
        for n in t.directory.entries:
            if n.id == rid:
                st = n.directory.entries[0].data.struct
                return pe.get_offset_from_rva(st.OffsetToData), st.Size
    raise AssertionError("resource %d/%d not in the good executable" % (rtype, rid))


class DamagedExe(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.path = os.path.join(self.tmp, "orvello.exe")
        shutil.copyfile(GOOD_EXE, self.path)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def patch_resource(self, rtype, rid, old, new):
        pe = pefile.PE(self.path)
        off, size = resource_offset(pe, rtype, rid)
        pe.close()
        with open(self.path, "r+b") as f:
            f.seek(off)
            data = f.read(size)
            self.assertEqual(data.count(old), 1, "pattern to damage not found once")
            f.seek(off)
            f.write(data.replace(old, new))

    def assert_rejected(self, expected):
        rc, out = run_checker(self.path)
        self.assertEqual(rc, 1, out)
        self.assertIn(expected, out)

    def test_good_executable_passes(self):
        rc, out = run_checker(self.path)
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"pe-check: \d+ checks passed")

    def test_missing_nx_flag(self):
        pe = pefile.PE(self.path)
        pe.OPTIONAL_HEADER.DllCharacteristics &= ~0x0100
        pe.write(self.path + ".new")
        pe.close()
        os.replace(self.path + ".new", self.path)
        self.assert_rejected("NX_COMPAT")

    def test_dialog_without_fixedsys(self):
        self.patch_resource(5, 103, struct.pack("<I", 0x80C800C8),
                            struct.pack("<I", 0x80C800C0))
        self.assert_rejected("FAIL: dialog style")

    def test_button_id_changed(self):
        # IDOK (1) at the end of the last control's fixed part, then the
        # Button class atom.
        self.patch_resource(5, 103, b"\x01\x00\x00\x00\xff\xff\x80\x00",
                            b"\x02\x00\x00\x00\xff\xff\x80\x00")
        self.assert_rejected("control 4 id")

    def test_menu_text_changed(self):
        self.patch_resource(4, 109, "結束(&X)".encode("utf-16-le"),
                            "結束(&Q)".encode("utf-16-le"))
        self.assert_rejected("menu tree")

    def test_virtkey_accelerator(self):
        self.patch_resource(9, 109, b"\x10\x00?\x00", b"\x11\x00?\x00")
        self.assert_rejected("accelerator 1 flags")

    def test_manifest_not_elevated(self):
        self.patch_resource(24, 1, b'"requireAdministrator"',
                            b'"highestAvailable"    ')
        self.assert_rejected("execution level")

    def test_file_version_changed(self):
        # Signature, structure version, then FileVersionMS (3.5).
        self.patch_resource(16, 1, struct.pack("<III", 0xFEEF04BD, 0x10000, 0x30005),
                            struct.pack("<III", 0xFEEF04BD, 0x10000, 0x30006))
        self.assert_rejected("FILEVERSION 3.5.6.0")

    def test_icon_images_differ(self):
        pe = pefile.PE(self.path)
        off, size = resource_offset(pe, 3, 2)
        pe.close()
        with open(self.path, "r+b") as f:
            f.seek(off + size - 1)
            last = f.read(1)[0]
            f.seek(off + size - 1)
            f.write(bytes([last ^ 0x01]))
        self.assert_rejected("byte-identical")


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        GOOD_EXE = sys.argv.pop(1)
    if not GOOD_EXE or not os.path.isfile(GOOD_EXE):
        sys.exit("usage: test_check_pe.py path/to/orvello.exe (or set ORVELLO_EXE)")
    unittest.main()
