#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Check a built orvello.exe: headers, imports, hardening and every resource.

Usage: check_pe.py path/to/orvello.exe [--trace]

Exits 0 when every check passes, 1 when any fails (each failure is printed),
2 when the file cannot be read as a PE image. --trace also prints the checks
that pass. pefile walks the resource directory; the resource formats
themselves are decoded here with struct so that a wrong byte cannot hide
behind a library's leniency.
"""
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

RT_ICON, RT_MENU, RT_DIALOG, RT_STRING = 3, 4, 5, 6
RT_ACCELERATOR, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 9, 14, 16, 24
RT_NAMES = {RT_ICON: "RT_ICON", RT_MENU: "RT_MENU", RT_DIALOG: "RT_DIALOG",
            RT_STRING: "RT_STRING", RT_ACCELERATOR: "RT_ACCELERATOR",
            RT_GROUP_ICON: "RT_GROUP_ICON", RT_VERSION: "RT_VERSION",
            RT_MANIFEST: "RT_MANIFEST"}

LANG_ZH_TW = 0x0404
LANG_EN_US = 0x0409

# (type, id) -> language; RT_ICON images are checked through the groups.
EXPECTED_RESOURCES = {
    (RT_STRING, 7): LANG_ZH_TW,        # block 7 holds strings 96..111
    (RT_MENU, 109): LANG_ZH_TW,
    (RT_ACCELERATOR, 109): LANG_ZH_TW,
    (RT_DIALOG, 103): LANG_ZH_TW,
    (RT_GROUP_ICON, 107): LANG_ZH_TW,
    (RT_GROUP_ICON, 108): LANG_ZH_TW,
    (RT_VERSION, 1): LANG_ZH_TW,
    (RT_MANIFEST, 1): LANG_EN_US,
}

# Loaded at start-up: all on Windows' known-DLL list, so never looked for
# beside the executable. CfgMgr32 is not, and must only be delay-loaded.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "setupapi.dll"}
DELAY_IMPORTS = {
    "cfgmgr32.dll": {"CM_Get_DevNode_Status", "CM_Disable_DevNode",
                     "CM_Enable_DevNode"},
}
REQUIRED_IMPORTS = {
    "setupapi.dll": ["SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo",
                     "SetupDiGetDeviceRegistryPropertyW",
                     "SetupDiDestroyDeviceInfoList"],
    "user32.dll": ["LoadStringW", "LoadIconW", "LoadCursorW",
                   "RegisterClassExW", "CreateWindowExW", "ShowWindow",
                   "UpdateWindow", "LoadAcceleratorsW", "DefWindowProcW",
                   "DestroyWindow", "PostQuitMessage", "BeginPaint",
                   "EndPaint", "DialogBoxParamW", "EndDialog",
                   "RegisterSuspendResumeNotification",
                   "RegisterPowerSettingNotification"],
    "kernel32.dll": ["Sleep", "LocalAlloc", "LocalFree", "GetLastError",
                     "WideCharToMultiByte", "SetDefaultDllDirectories",
                     "LoadLibraryExA"],
    "msvcrt.dll": ["system"],
}

CLASS_BUTTON, CLASS_STATIC = 0x0080, 0x0082
DS_SETFONT = 0x40
MF_POPUP, MF_END = 0x10, 0x80
FALT, ACCEL_LAST = 0x10, 0x80   # no FVIRTKEY (0x01): character keys

DIALOG_STYLE = 0x80C800C8
DIALOG_GEOMETRY = (0, 0, 170, 62)
DIALOG_CAPTION = "關於 Orvello"
DIALOG_FONT = (9, 0, 0, 1, "MS Shell Dlg")
# class atom, style, x, y, cx, cy, id, text (int = resource ordinal)
DIALOG_CONTROLS = [
    (CLASS_STATIC, 0x50000003, 14, 14, 21, 20, -1, 128),
    (CLASS_STATIC, 0x50020080, 42, 14, 114, 8, -1, "Orvello, 版本 1.0"),
    (CLASS_STATIC, 0x50020000, 42, 26, 114, 8, -1, None),  # free notice
    (CLASS_BUTTON, 0x50030001, 113, 41, 50, 14, 1, "確定"),
]

MENU_TREE = [
    ("檔案(&F)", [("結束(&X)", 105)]),
    ("說明(&H)", [("關於(&A)...", 104)]),
]

STRINGS = {103: "Orvello", 109: "ORVELLO"}

VERSION_MS_LS = (0x00030005, 0x00060000)      # 3.5.6.0
VERSION_KEYS = {"CompanyName", "FileDescription", "FileVersion",
                "InternalName", "LegalCopyright", "OriginalFilename",
                "ProductName", "ProductVersion"}
LEGAL_COPYRIGHT = "Copyright (c) 2026 The Orvello authors"

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
DLLCHAR_HIGH_ENTROPY_VA = 0x0020
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100


class Report:
    def __init__(self, trace):
        self.trace = trace
        self.passed = 0
        self.failures = []

    def check(self, cond, what, detail=""):
        if cond:
            self.passed += 1
            if self.trace:
                print("pe-check: ok: " + what)
        else:
            self.failures.append(what + (": " + detail if detail else ""))
            print("pe-check: FAIL: " + self.failures[-1])
        return cond

    def equal(self, actual, expected, what):
        return self.check(actual == expected, what,
                          "got %r, expected %r" % (actual, expected))


class Reader:
    """Little-endian cursor over one resource's bytes."""

    def __init__(self, data, pos=0):
        self.data = data
        self.pos = pos

    def take(self, fmt):
        vals = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return vals if len(vals) > 1 else vals[0]

    def wstr(self):
        end = self.pos
        while True:
            if end + 2 > len(self.data):
                raise ValueError("unterminated UTF-16 string at %d" % self.pos)
            if self.data[end:end + 2] == b"\0\0":
                break
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def sz_or_ord(self):
        """None for 0x0000, an int for 0xFFFF + ordinal, else a string."""
        first = struct.unpack_from("<H", self.data, self.pos)[0]
        if first == 0:
            self.pos += 2
            return None
        if first == 0xFFFF:
            self.pos += 4
            return struct.unpack_from("<H", self.data, self.pos - 2)[0]
        return self.wstr()

    def align(self, n=4):
        self.pos = (self.pos + n - 1) & ~(n - 1)

    def at_end(self):
        return self.pos >= len(self.data)


def hx(v):
    return "0x%X" % v


# ---------------------------------------------------------------- headers

def check_headers(pe, r):
    r.equal(hx(pe.FILE_HEADER.Machine), hx(0x8664), "machine is AMD64")
    r.equal(hx(pe.OPTIONAL_HEADER.Magic), hx(0x20B), "image is PE32+")
    r.equal(pe.OPTIONAL_HEADER.Subsystem, 2, "subsystem is WINDOWS_GUI")


def section_name(pe, s):
    """Section name, with "/N" long names looked up in the COFF string table."""
    name = s.Name.rstrip(b"\0").decode("latin-1")
    fh = pe.FILE_HEADER
    if name.startswith("/") and name[1:].isdigit() and fh.PointerToSymbolTable:
        table = fh.PointerToSymbolTable + 18 * fh.NumberOfSymbols
        start = table + int(name[1:])
        end = pe.__data__.find(b"\0", start)
        if 0 <= start < end:
            name = pe.__data__[start:end].decode("latin-1")
    return name


def check_hardening(pe, r):
    dc = pe.OPTIONAL_HEADER.DllCharacteristics
    for flag, name in ((DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE"),
                       (DLLCHAR_HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"),
                       (DLLCHAR_NX_COMPAT, "NX_COMPAT")):
        r.check(dc & flag, "DllCharacteristics has " + name,
                "DllCharacteristics is " + hx(dc))

    r.check(not pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED,
            "relocations not stripped (file header)")
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    r.check(reloc.VirtualAddress and reloc.Size > 8,
            "base relocation directory present",
            "RVA %s size %d" % (hx(reloc.VirtualAddress), reloc.Size))

    debug = []
    for s in pe.sections:
        name = section_name(pe, s)
        wx = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE
        r.check(s.Characteristics & wx != wx,
                "section %s is not both writable and executable" % name)
        # An unresolvable "/4" still means a long name, which only DWARF
        # sections use here.
        if name.startswith((".debug", ".zdebug", "/")):
            debug.append(name)
    r.check(not debug, "no debug sections", ", ".join(debug))

    dbg = pe.OPTIONAL_HEADER.DATA_DIRECTORY[6]
    r.check(dbg.Size == 0, "no debug directory", "size %d" % dbg.Size)
    r.check(pe.FILE_HEADER.PointerToSymbolTable == 0
            and pe.FILE_HEADER.NumberOfSymbols == 0,
            "no COFF symbol table (stripped)",
            "%d symbols" % pe.FILE_HEADER.NumberOfSymbols)


# ---------------------------------------------------------------- imports

def delay_imports(pe):
    """{dll: names} of the delay-load descriptors. GNU ld leaves the
    delay-import directory empty, so each descriptor is found by its
    attributes (1: RVAs) and the RVA of its DLL's name."""
    image = pe.get_memory_mapped_image()
    found = {}
    for dll in DELAY_IMPORTS:
        name_rva = image.find(dll.encode() + b"\0")
        at = image.find(struct.pack("<II", 1, name_rva)) if name_rva > 0 else -1
        if at < 0:
            continue
        names, entry = set(), struct.unpack_from("<I", image, at + 16)[0]
        while entry and (thunk := struct.unpack_from("<Q", image, entry)[0]):
            if not thunk & (1 << 63):
                names.add(image[thunk + 2:image.index(b"\0", thunk + 2)].decode("ascii", "replace"))
            entry += 8
        found[dll] = names
    return found


def check_imports(pe, r):
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace").lower()
        names = {i.name.decode("ascii", "replace") for i in entry.imports
                 if i.name}
        imports.setdefault(dll, set()).update(names)

    extra = sorted(set(imports) - ALLOWED_DLLS)
    r.check(not extra, "only system DLLs are imported",
            "unexpected " + ", ".join(extra))
    for dll, funcs in REQUIRED_IMPORTS.items():
        missing = [f for f in funcs if f not in imports.get(dll, ())]
        r.check(not missing, "required imports from %s" % dll,
                "missing " + ", ".join(missing))
    delayed = delay_imports(pe)
    for dll, funcs in DELAY_IMPORTS.items():
        r.equal(delayed.get(dll), funcs, "delay-loaded from %s" % dll)
    # The CM_* re-exports of SETUPAPI bind there when the libraries are
    # linked in the wrong order.
    stray = sorted(f for f in imports.get("setupapi.dll", ())
                   if f.startswith("CM_"))
    r.check(not stray, "no CM_* functions bound to SETUPAPI.dll",
            ", ".join(stray))


# ---------------------------------------------------------------- resources

def collect_resources(pe):
    """{(type, id): {lang: bytes}}; named entries keep their name string."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return out
    for t in root.entries:
        tkey = t.id if t.name is None else str(t.name)
        for n in t.directory.entries:
            nkey = n.id if n.name is None else str(n.name)
            for l in n.directory.entries:
                st = l.data.struct
                out.setdefault((tkey, nkey), {})[l.id] = \
                    pe.get_data(st.OffsetToData, st.Size)
    return out


def res_label(key):
    t, n = key
    return "%s %s" % (RT_NAMES.get(t, t), n)


def check_inventory(res, r):
    icon_keys = {k for k in res if k[0] == RT_ICON}
    others = set(res) - icon_keys
    r.equal(sorted(map(res_label, others)),
            sorted(map(res_label, EXPECTED_RESOURCES)),
            "resource set (besides icon images)")
    for key, lang in sorted(EXPECTED_RESOURCES.items()):
        if key in res:
            r.equal(sorted(map(hx, res[key])), [hx(lang)],
                    "language of " + res_label(key))
    for key in sorted(icon_keys):
        r.equal(sorted(map(hx, res[key])), [hx(LANG_ZH_TW)],
                "language of " + res_label(key))


def one(res, key, lang=LANG_ZH_TW):
    langs = res.get(key, {})
    return langs.get(lang)


def check_strings(data, r):
    rd = Reader(data)
    found = {}
    for i in range(16):
        n = rd.take("H")
        text = rd.data[rd.pos:rd.pos + 2 * n].decode("utf-16-le")
        rd.pos += 2 * n
        if n:
            found[(7 - 1) * 16 + i] = text
    r.equal(found, STRINGS, "string table block 7")


def check_menu(data, r):
    rd = Reader(data)
    r.equal(rd.take("HH"), (0, 0), "menu is a standard template (header 0, 0)")

    def items(depth):
        out = []
        while True:
            flags = rd.take("H")
            if flags & MF_POPUP:
                text = rd.wstr()
                out.append((flags, text, items(depth + 1)))
            else:
                cmd = rd.take("H")
                out.append((flags, rd.wstr(), cmd))
            if flags & MF_END:
                return out
            if rd.at_end():
                raise ValueError("menu level %d has no MF_END item" % depth)

    tree = items(0)
    r.check(rd.at_end(), "menu has no trailing data")
    got = [(f, t, [(sf, st, c) for sf, st, c in sub]) for f, t, sub in tree]
    want = []
    for i, (text, subs) in enumerate(MENU_TREE):
        last = MF_END if i == len(MENU_TREE) - 1 else 0
        want.append((MF_POPUP | last, text,
                     [(MF_END if j == len(subs) - 1 else 0, st, c)
                      for j, (st, c) in enumerate(subs)]))
    r.equal(got, want, "menu tree (flags, texts, commands)")


def check_accelerators(data, r):
    r.equal(len(data), 16, "accelerator table holds two 8-byte entries")
    if len(data) != 16:
        return
    entries = [struct.unpack_from("<HHHH", data, i) for i in (0, 8)]
    for i, (flags, key, cmd, _pad) in enumerate(entries):
        want_key = "?/"[i]
        want_flags = FALT | (ACCEL_LAST if i == 1 else 0)
        r.equal(hx(flags), hx(want_flags),
                "accelerator %d flags (FALT, character not FVIRTKEY%s)"
                % (i + 1, ", last" if i == 1 else ""))
        r.equal(chr(key), want_key, "accelerator %d key" % (i + 1))
        r.equal(cmd, 104, "accelerator %d command" % (i + 1))


def check_dialog(data, r):
    rd = Reader(data)
    ver, sig = rd.take("HH")
    if not r.equal((ver, hx(sig)), (1, "0xFFFF"),
                   "dialog is an extended template"):
        return
    help_id, exstyle, style, count = rd.take("IIIH")
    geom = rd.take("hhhh")
    r.equal(hx(style), hx(DIALOG_STYLE), "dialog style")
    r.equal(hx(exstyle), hx(0), "dialog extended style")
    r.equal(help_id, 0, "dialog help id")
    r.equal(geom, DIALOG_GEOMETRY, "dialog position and size")
    r.equal(rd.sz_or_ord(), None, "dialog has no menu")
    r.equal(rd.sz_or_ord(), None, "dialog has the default class")
    r.equal(rd.wstr(), DIALOG_CAPTION, "dialog caption")
    if r.check(style & DS_SETFONT, "dialog style carries DS_SETFONT"):
        size, weight, italic, charset = rd.take("HHBB")
        face = rd.wstr()
        r.equal((size, weight, italic, charset, face), DIALOG_FONT,
                "dialog font (size, weight, italic, charset, face)")
    r.equal(count, len(DIALOG_CONTROLS), "dialog control count")

    for i in range(count):
        rd.align()
        help_id, exstyle, style, x, y, cx, cy, cid = rd.take("IIIhhhhi")
        cls = rd.sz_or_ord()
        text = rd.sz_or_ord()
        extra = rd.take("H")
        rd.pos += extra
        if i >= len(DIALOG_CONTROLS):
            continue
        wcls, wstyle, wx, wy, wcx, wcy, wid, wtext = DIALOG_CONTROLS[i]
        n = i + 1
        r.equal(cls, wcls, "control %d class atom" % n)
        r.equal(hx(style), hx(wstyle), "control %d style" % n)
        r.equal(hx(exstyle), hx(0), "control %d extended style" % n)
        r.equal((x, y, cx, cy), (wx, wy, wcx, wcy),
                "control %d position and size" % n)
        r.equal(cid, wid, "control %d id" % n)
        if wtext is None:
            r.check(isinstance(text, str) and text.strip()
                    and "\n" not in text,
                    "control %d holds a one-line notice" % n, repr(text))
        else:
            r.equal(text, wtext, "control %d text" % n)
        r.equal(extra, 0, "control %d has no creation data" % n)
    rd.align()
    r.check(rd.at_end(), "dialog has no trailing data")


def check_icons(res, r):
    images = []
    for gid in (107, 108):
        data = one(res, (RT_GROUP_ICON, gid))
        if data is None:
            continue
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        r.equal((reserved, kind, count), (0, 1, 1),
                "icon group %d is an icon directory with one image" % gid)
        r.equal(len(data), 6 + 14 * count, "icon group %d size" % gid)
        if count < 1 or len(data) < 20:
            continue
        w, h, colors, _res, planes, bpp, size, nid = \
            struct.unpack_from("<BBBBHHIH", data, 6)
        r.equal((w, h, colors, planes, bpp), (32, 32, 0, 1, 24),
                "icon group %d entry (32x32, 24 bpp)" % gid)
        img = one(res, (RT_ICON, nid))
        if not r.check(img is not None,
                       "icon group %d names an existing image" % gid,
                       "RT_ICON %d missing" % nid):
            continue
        r.equal(len(img), size, "icon group %d image size" % gid)
        hdr = struct.unpack_from("<IiiHH", img, 0) if len(img) >= 16 else ()
        r.equal(hdr, (40, 32, 64, 1, 24),
                "icon %d is a 32x32 24-bpp DIB with mask" % nid)
        r.equal(len(img), 40 + 32 * 32 * 3 + 32 * 4,
                "icon %d holds colour and mask rows" % nid)
        images.append((nid, img))
    if len(images) == 2:
        r.check(images[0][1] == images[1][1],
                "both icon groups show byte-identical images")
    referenced = {nid for nid, _ in images}
    present = {k[1] for k in res if k[0] == RT_ICON}
    r.equal(sorted(present), sorted(referenced),
            "every icon image belongs to a group")


def version_node(data, pos):
    """Parse one VS_VERSIONINFO-style node; return (key, type, value, children, end)."""
    length, vlen, vtype = struct.unpack_from("<HHH", data, pos)
    if length < 6 or pos + length > len(data):
        raise ValueError("bad version node length %d at %d" % (length, pos))
    rd = Reader(data, pos + 6)
    key = rd.wstr()
    rd.align()
    end = pos + length
    vbytes = vlen * 2 if vtype == 1 else vlen
    value = data[rd.pos:rd.pos + vbytes]
    rd.pos += vbytes
    children = []
    rd.align()
    while rd.pos < end:
        child = version_node(data, rd.pos)
        children.append(child)
        rd.pos = child[4]
        rd.align()
    return key, vtype, value, children, end


def check_version(data, r):
    key, _t, fixed, children, _end = version_node(data, 0)
    r.equal(key, "VS_VERSION_INFO", "version root key")
    if not r.equal(len(fixed), 52, "version fixed part size"):
        return
    f = struct.unpack("<13I", fixed)
    r.equal(hx(f[0]), hx(0xFEEF04BD), "version fixed part signature")
    r.equal((f[2], f[3]), VERSION_MS_LS, "FILEVERSION 3.5.6.0")
    r.equal((f[4], f[5]), VERSION_MS_LS, "PRODUCTVERSION 3.5.6.0")
    r.equal((hx(f[6]), hx(f[7])), ("0x3F", "0x0"), "file flags mask and flags")
    r.equal((hx(f[8]), f[9]), ("0x40004", 1), "file OS and type")

    kids = {c[0]: c for c in children}
    r.equal(sorted(kids), ["StringFileInfo", "VarFileInfo"],
            "version blocks")
    sfi = kids.get("StringFileInfo")
    if sfi:
        tables = {c[0]: c for c in sfi[3]}
        r.equal(sorted(tables), ["040404b0"], "string block name")
        table = tables.get("040404b0")
        if table:
            values = {}
            for k, vtype, v, _c, _e in table[3]:
                values[k] = v.decode("utf-16-le").rstrip("\0")
            r.equal(sorted(values), sorted(VERSION_KEYS), "version string keys")
            for k in ("FileVersion", "ProductVersion"):
                r.equal(values.get(k), "3.5.6.0", "version string " + k)
            # The holder and year of LICENSE.
            r.equal(values.get("LegalCopyright"), LEGAL_COPYRIGHT, "version string LegalCopyright")
            empty = sorted(k for k, v in values.items() if not v.strip())
            r.check(not empty, "version strings are not empty",
                    ", ".join(empty))
    vfi = kids.get("VarFileInfo")
    if vfi:
        trans = {c[0]: c[2] for c in vfi[3]}
        pairs = trans.get("Translation", b"")
        r.equal([hx(x) for x in struct.unpack("<%dH" % (len(pairs) // 2), pairs)],
                ["0x404", "0x4B0"], "version translation 0x0404, 1200")


def local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(data, r):
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        r.check(False, "manifest is well-formed XML", str(e))
        return
    r.equal(root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly",
            "manifest root element")
    r.equal([local(c.tag) for c in root], ["trustInfo"],
            "manifest holds only trustInfo")
    levels = [e for e in root.iter() if local(e.tag) == "requestedExecutionLevel"]
    if r.equal(len(levels), 1, "one requestedExecutionLevel"):
        r.equal(levels[0].get("level"), "requireAdministrator",
                "execution level")
        r.equal(levels[0].get("uiAccess"), "false", "uiAccess")
    banned = sorted({local(e.tag) for e in root.iter()} &
                    {"dependency", "compatibility", "dpiAware",
                     "dpiAwareness", "windowsSettings", "application"})
    r.check(not banned, "no dependency, compatibility or DPI elements",
            ", ".join(banned))


def guarded(r, what, fn, *args):
    # A malformed resource must be reported, not crash the whole run.
    try:
        fn(*args)
    except (struct.error, ValueError, IndexError, UnicodeDecodeError) as e:
        r.check(False, what + " is well-formed", str(e))


def check_resources(pe, r):
    res = collect_resources(pe)
    check_inventory(res, r)
    parts = [
        ("string table", check_strings, (RT_STRING, 7), LANG_ZH_TW),
        ("menu", check_menu, (RT_MENU, 109), LANG_ZH_TW),
        ("accelerators", check_accelerators, (RT_ACCELERATOR, 109), LANG_ZH_TW),
        ("About dialog", check_dialog, (RT_DIALOG, 103), LANG_ZH_TW),
        ("version block", check_version, (RT_VERSION, 1), LANG_ZH_TW),
        ("manifest", check_manifest, (RT_MANIFEST, 1), LANG_EN_US),
    ]
    for what, fn, key, lang in parts:
        data = one(res, key, lang)
        if r.check(data is not None, what + " resource present"):
            guarded(r, what, fn, data, r)
    guarded(r, "icons", check_icons, res, r)


def main(argv):
    args = [a for a in argv[1:] if a != "--trace"]
    if len(args) != 1:
        print("usage: check_pe.py path/to/orvello.exe [--trace]", file=sys.stderr)
        return 2
    try:
        pe = pefile.PE(args[0])
    except (OSError, pefile.PEFormatError) as e:
        print("pe-check: cannot read %s: %s" % (args[0], e), file=sys.stderr)
        return 2
    r = Report("--trace" in argv[1:])
    check_headers(pe, r)
    check_hardening(pe, r)
    check_imports(pe, r)
    check_resources(pe, r)
    if r.failures:
        print("pe-check: %d of %d checks failed" %
              (len(r.failures), len(r.failures) + r.passed))
        return 1
    print("pe-check: %d checks passed" % r.passed)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
