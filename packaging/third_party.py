#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Which third-party code the linker put into each shipped binary, under
which licence, and what those licences ask of a release.

Reads GNU ld's link maps (-Wl,-Map, written by the windows preset) and
attributes every object the linker took (the start-up objects and each
archive member it included) to a component: Orvello's own code, or the
toolchain package it came from, with the package's version, the upstream
project, the source file the object was compiled from and that file's
licence. A member no rule below covers stops the build: its licence is
unknown until someone has read its source and added a rule.

    third_party.py NAME=MAP...    prints the attribution; exit 1 when a member is not covered
"""

import os
import re
import subprocess
import sys
import tempfile
import textwrap

# ---------------------------------------------------------------- licences

PUBLIC_DOMAIN = "LicenseRef-Public-Domain"
GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"

# Why a licence asks for no notice in a binary release. Every licence not
# listed here is taken to require its notice, whose text then comes from the
# package's copyright file.
NO_NOTICE = {
    PUBLIC_DOMAIN: "its source files are in the public domain (their headers say so), so there is no licence to "
                   "follow and no notice to reproduce",
    GCC_RUNTIME: "the GCC Runtime Library Exception 3.1 lets a program compiled with GCC and linked with this code be "
                 "conveyed under terms of its own choice, with no notice",
}

# Debian's short licence names (DEP-5 copyright files) as SPDX expressions.
DEBIAN_LICENCES = {"public-domain": PUBLIC_DOMAIN, "ZPL-2.1": "ZPL-2.1", "expat": "MIT", "ISC": "ISC",
                   "BSD-3-clause": "BSD-3-Clause", "Lucent": "LicenseRef-Lucent", "David-Gay": "LicenseRef-David-Gay",
                   "Keith-Marshall": "LicenseRef-Keith-Marshall"}

# ---------------------------------------------------------------- rules

# Upstream projects: their home page and the sources' top folder.
UPSTREAM = {
    "mingw-w64": ("https://www.mingw-w64.org/", "mingw-w64-crt/"),
    "GCC": ("https://gcc.gnu.org/", ""),
}

# mingw-w64 10.0.0's runtime, member by member: archive, member prefix,
# source folder (under mingw-w64-crt/) and the members' stems, each built
# from <folder><stem>.c. The paths are the members' own DWARF compile units,
# which attribute() checks; each file's header places it in the public domain
# ("This file has no copyright assigned and is placed in the Public Domain."
# or "THIS SOFTWARE IS NOT COPYRIGHTED"), or it has no header and Debian's
# copyright file lists it as public domain.
MINGW_RUNTIME = """
libmingw32.a lib64_libmingw32_a- crt/ CRT_fp10 _newmode cinitexe crt0_w crt_handler gccmain merr mingw_helpers natstart
                                      pesect pseudo-reloc-list pseudo-reloc tlsmcrt tlssup tlsthrd udllargc usermatherr
                                      wildcard xncommod xtxtmode
libmingwex.a lib64_libmingwex_a- crt/ dllentry dllmain
libmingwex.a lib64_libmingwex_a- misc/ delay-f delayimp mingw_matherr
libmsvcrt.a lib64_libmsvcrt_extra_a- misc/ __p__commode __p__fmode __p__wcmdln invalid_parameter_handler
libmsvcrt.a lib64_libmsvcrt_common_a- misc/ onexit_table
libmsvcrt.a lib64_libmsvcrt_common_a- stdio/ acrt_iob_func
libuuid.a lib64_libuuid_a- libsrc/ dxva-uuid
"""
# Debian's copyright file lists stdio/ by name and misses this one, whose
# header places it in the public domain like its neighbours in misc/.
HEADER_OVER_DEBIAN = {"mingw-w64-crt/stdio/acrt_iob_func.c": PUBLIC_DOMAIN}

# Start-up objects, linked whole: (upstream, source). crt2u.o is built from
# ucrtexe.c, which includes crtexe.c ("u": Unicode, wWinMain).
START_UP = {
    "crt2u.o": ("mingw-w64", "mingw-w64-crt/crt/ucrtexe.c"),
    "dllcrt2.o": ("mingw-w64", "mingw-w64-crt/crt/crtdll.c"),
    "crtbegin.o": ("GCC", "libgcc/config/i386/cygming-crtbegin.c"),
    "crtend.o": ("GCC", "libgcc/config/i386/cygming-crtend.c"),
}

# libgcc's members: (source, what it holds).
LIBGCC = {
    "_chkstk_ms.o": "libgcc/config/i386/cygwin.S",  # the stack probe
    "_ctors.o": "libgcc/libgcc2.c",                 # __CTOR_LIST__, __DTOR_LIST__
}

# Import libraries: dlltool's stubs that bind a binary to a Windows DLL, one
# per imported function plus the table's head and tail. They are generated
# from mingw-w64's definition files, which state no licence; Debian's
# copyright file (and mingw-w64's own COPYING) put such files under the
# project's default licence.
IMPORT_LIBRARIES = {
    "libkernel32.a": ("KERNEL32.dll", "mingw-w64-crt/lib-common/kernel32.def.in"),
    "libuser32.a": ("USER32.dll", "mingw-w64-crt/lib-common/user32.def.in"),
    "libsetupapi.a": ("SETUPAPI.dll", "mingw-w64-crt/lib64/setupapi.def"),
    "libmsvcrt.a": ("msvcrt.dll", "mingw-w64-crt/lib-common/msvcrt.def.in"),
    "libmsi.a": ("msi.dll", "mingw-w64-crt/lib64/msi.def"),
    "libole32.a": ("OLE32.dll", "mingw-w64-crt/lib-common/ole32.def.in"),
    "liboleaut32.a": ("OLEAUT32.dll", "mingw-w64-crt/lib-common/oleaut32.def.in"),
}

# Orvello's own archives (and the objects CMake compiles): MIT, LICENSE.
# libcfgmgr32_delay.a is dlltool's output from src/recovery/cfgmgr32_delay.def.
OWN_ARCHIVES = {"liborvello_core.a", "liborvello_platform.a", "liborvello_seh_guard.a", "libcfgmgr32_delay.a"}
ORVELLO = "Orvello"
IMPORT_RECORDS = ("the import records, generated from mingw-w64's definition files, which state no licence of "
                  "their own and so fall under the project's default licence")

WHAT_TO_DO = ("read the source file it is built from (its DWARF compile unit: x86_64-w64-mingw32-objdump --dwarf=info), "
              "find its licence in its header and in /usr/share/doc/<package>/copyright, and add a rule for it to "
              "packaging/third_party.py, with the notice its licence requires; or change the code so it is not "
              "linked")


def rules():
    """{(archive or object file name, member or None): (upstream, source, licence or None)}; licence None: the
    package's copyright file gives it."""
    table = {}
    for line in re.sub(r"\n\s+", " ", MINGW_RUNTIME).strip().splitlines():
        archive, prefix, folder, *stems = line.split()
        for stem in stems:
            source = UPSTREAM["mingw-w64"][1] + folder + stem + ".c"
            table[(archive, prefix + stem + ".o")] = ("mingw-w64", source, HEADER_OVER_DEBIAN.get(source))
    for name, (upstream, source) in START_UP.items():
        table[(name, None)] = (upstream, source, GCC_RUNTIME if upstream == "GCC" else None)
    for member, source in LIBGCC.items():
        table[("libgcc.a", member)] = ("GCC", source, GCC_RUNTIME)
    return table


def import_record(archive, member):
    """The DLL and definition file of an import library's stub, or None."""
    if archive not in IMPORT_LIBRARIES:
        return None
    stem = "msvcrt_def" if archive == "libmsvcrt.a" else archive[3:-2]
    if re.fullmatch(r"lib%s(s\d+|h|t)\.o" % re.escape(stem), member):
        return IMPORT_LIBRARIES[archive]
    return None


# ---------------------------------------------------------------- link maps

def linked_objects(map_path):
    """What the linker put into one binary, from its map: (path, member)
    pairs; member is None for an object linked whole. Paths are as ld wrote
    them (the project's own are relative to the build folder)."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    included = text.partition("Archive member included to satisfy reference by file (symbol)\n\n")[2]
    if not included:
        raise ValueError("%s is not a GNU ld link map" % map_path)
    found = []
    for line in included.partition("\n\n")[0].splitlines():
        m = re.fullmatch(r"(\S.*?\.a)\((.+)\)", line)
        if m:
            found.append((m.group(1), m.group(2)))
    for line in text.splitlines():
        m = re.fullmatch(r"LOAD (.+\.(?:o|obj|res))", line)
        if m:
            found.append((m.group(1), None))
    return sorted(set(found), key=lambda pm: (pm[0], pm[1] or ""))


def owning_packages(paths):
    """{absolute path: Debian package} by dpkg -S of each real path."""
    real = {p: os.path.realpath(p) for p in paths}
    done = subprocess.run(["dpkg", "-S"] + sorted(set(real.values())), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    owner = {}
    for line in done.stdout.splitlines():
        package, _, path = line.partition(": ")
        owner[path] = package.split(":")[0]
    return {p: owner.get(r) for p, r in real.items()}


def package_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f", "${Version}\t${Architecture}", package],
                          stdout=subprocess.PIPE, text=True, check=True).stdout.split("\t")


def compile_units(wanted):
    """{(archive, member): the source file it was compiled from, by its DWARF
    (None without)}, one ar and one objdump run per archive."""
    units = {}
    by_archive = {}
    for archive, member in wanted:
        by_archive.setdefault(archive, set()).add(member)
    for archive, members in sorted(by_archive.items()):
        with tempfile.TemporaryDirectory() as scratch:
            subprocess.run(["x86_64-w64-mingw32-ar", "x", os.path.abspath(archive)] + sorted(members), cwd=scratch,
                           check=True)
            info = subprocess.run(["x86_64-w64-mingw32-objdump", "--dwarf=info"] + sorted(members), cwd=scratch,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        # Each file's part starts with "<name>:     file format ...".
        for part in re.split(r"\n(?=\S+:\s+file format )", "\n" + info):
            m = re.match(r"(\S+):\s+file format ", part)
            if m and m.group(1) in members:
                name = re.search(r"DW_AT_name\s*:\s*(?:\(indirect[^)]*\):\s*)?(\S+)", part)
                units[(archive, m.group(1))] = name.group(1).removeprefix("./") if name else None
    return units


# ---------------------------------------------------------------- copyright files

def copyright_text(package):
    with open("/usr/share/doc/%s/copyright" % package, encoding="utf-8") as f:
        return f.read()


def dep5_paragraphs(text):
    """The paragraphs of a DEP-5 copyright file as {field: value} (continuation
    lines joined with newlines, " ." lines as empty ones)."""
    paragraphs = []
    for block in re.split(r"\n\s*\n", text):
        fields, name = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and name:
                # One leading space marks a continuation; the rest is the text's own indentation.
                fields[name] += "\n" + ("" if line.strip() == "." else line[1:].rstrip())
            elif ":" in line:
                name, _, value = line.partition(":")
                fields[name] = value.strip()
        paragraphs.append(fields)
    return paragraphs


def glob_matches(pattern, path):
    return re.fullmatch(re.escape(pattern).replace(r"\*", ".*").replace(r"\?", "."), path) is not None


def dep5_entry(text, source):
    """(SPDX licence, copyright lines, licence text) the copyright file gives a
    source path: the last paragraph whose Files match it; the text from the
    paragraph or from the standalone paragraph of that licence."""
    paragraphs = dep5_paragraphs(text)
    matching = [p for p in paragraphs if any(glob_matches(g, source) for g in p.get("Files", "").split())]
    if not matching:
        return None
    entry = matching[-1]
    name, _, body = entry["License"].partition("\n")
    if not body:
        body = next((p["License"].partition("\n")[2] for p in paragraphs
                     if "Files" not in p and p.get("License", "").partition("\n")[0] == name), "")
    return DEBIAN_LICENCES.get(name, "LicenseRef-Debian-" + name), entry.get("Copyright", ""), body


def copyright_entry(package, source):
    """(licence, copyright, licence text) as the package's copyright file gives
    them for a source file; licence None when the file does not say."""
    text = copyright_text(package)
    if text.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/"):
        return dep5_entry(text, source) or (None, "", "")
    # GCC's is free text, inherited from gcc's own package.
    flat = " ".join(text.split())
    if source.startswith("libgcc/") and ("The following runtime libraries are licensed under the terms of the GNU "
                                         "General Public License (v3 or later) with version 3.1 of the GCC Runtime "
                                         "Library Exception (included in this file): - libgcc (libgcc/") in flat:
        return GCC_RUNTIME, "Free Software Foundation, Inc.", ""
    return None, "", ""


# ---------------------------------------------------------------- attribution

class Unattributed(Exception):
    pass


def attribute(maps):
    """Attributes every object linked into each binary ({name: map path}).
    Returns a list of records (plain dicts): binary, path, member, component
    (Orvello or a Debian package), version, arch, upstream, source, licence,
    copyright, licence_text, dll (import records only). Raises Unattributed
    naming every member no rule covers."""
    table = rules()
    linked = {name: linked_objects(path) for name, path in sorted(maps.items())}
    absolute = {p for objects in linked.values() for p, _ in objects if os.path.isabs(p)}
    owners = owning_packages(absolute)
    units = compile_units({(p, m) for objects in linked.values() for p, m in objects
                           if m and (os.path.basename(p), m) in table})
    versions, entries, records, missing = {}, {}, [], []
    for binary, objects in linked.items():
        for path, member in objects:
            archive = os.path.basename(path)
            where = "%s(%s)" % (archive, member) if member else archive
            record = {"binary": binary, "path": path, "member": member, "dll": None}
            if not os.path.isabs(path):
                if archive in OWN_ARCHIVES or (member is None and re.match(r"(.*/)?CMakeFiles/", path)):
                    record.update(component=ORVELLO, version=None, arch=None, upstream=ORVELLO,
                                  source=None, licence="MIT", copyright="2026 The Orvello authors", licence_text="")
                    records.append(record)
                else:
                    missing.append("%s in %s: not an archive or object of Orvello's own" % (where, binary))
                continue
            package = owners.get(path)
            rule = table.get((archive, member))
            imported = import_record(archive, member) if member else None
            if package is None or (rule is None and imported is None):
                missing.append("%s in %s (%s, package %s): no rule covers it"
                               % (where, binary, path, package or "unknown"))
                continue
            if imported:
                upstream, source, licence = "mingw-w64", imported[1], None
                record["dll"] = imported[0]
            else:
                upstream, source, licence = rule
                unit = units.get((path, member))
                if unit is not None and unit != source:
                    missing.append("%s in %s: its rule names %s, but it was compiled from %s"
                                   % (where, binary, source, unit))
                    continue
            if (package, source) not in entries:
                entries[(package, source)] = copyright_entry(package, source)
            debian, holders, text = entries[(package, source)]
            if debian is None or (licence is not None and debian != licence and source not in HEADER_OVER_DEBIAN):
                missing.append("%s in %s: /usr/share/doc/%s/copyright gives %s no licence%s"
                               % (where, binary, package, source, "" if debian is None else " of " + debian
                                  + " but its rule says " + licence))
                continue
            if package not in versions:
                versions[package] = package_version(package)
            record.update(component=package, version=versions[package][0], arch=versions[package][1],
                          upstream=upstream, source=source, licence=licence or debian, copyright=holders,
                          licence_text=text)
            records.append(record)
    if missing:
        raise Unattributed("linked code whose licence is not known:\n  " + "\n  ".join(missing) +
                           "\nFor each: " + WHAT_TO_DO + ".")
    return records


def components(records):
    """The third-party components: {package: record of its first member}, with
    "licences" (sorted) and "binaries" (sorted) added."""
    found = {}
    for r in records:
        if r["component"] == ORVELLO:
            continue
        entry = found.setdefault(r["component"], dict(r, licences=set(), binaries=set()))
        entry["licences"].add(r["licence"])
        entry["binaries"].add(r["binary"])
    for entry in found.values():
        entry["licences"], entry["binaries"] = sorted(entry["licences"]), sorted(entry["binaries"])
    return found


def licence_expression(licences):
    return " AND ".join(("(%s)" % l if " " in l and len(licences) > 1 else l) for l in sorted(licences))


def listing(records):
    """The builder's lines: per binary, each third-party object with its
    source and licence; import records and Orvello's own counted per archive;
    then the components with their versions."""
    lines = []
    for binary in sorted({r["binary"] for r in records}):
        lines.append(binary + ":")
        rows, counted = [], {}
        for r in (r for r in records if r["binary"] == binary):
            archive = os.path.basename(r["path"])
            if r["component"] == ORVELLO or r["dll"]:
                counted.setdefault((archive, r["dll"], r["source"] or "Orvello's own", r["licence"]), []).append(r)
            else:
                rows.append(("%s(%s)" % (archive, r["member"]) if r["member"] else archive, r["source"], r["licence"]))
        for (archive, dll, source, licence), members in sorted(counted.items()):
            what = "%d import records (%s)" % (len(members), dll) if dll else (
                "%d member%s" % (len(members), "s"[:len(members) != 1]) if members[0]["member"] else "")
            rows.append(("%s: %s" % (archive, what) if what else archive, source, licence))
        lines += ["  %-55s %-42s %s" % row for row in sorted(rows)]
    for package, c in sorted(components(records).items()):
        lines.append("component %s %s (%s): %s" % (package, c["version"], c["upstream"],
                                                  licence_expression(c["licences"])))
    return lines


# ---------------------------------------------------------------- notices

def wrap(text, indent="  "):
    # Licence names such as GPL-3.0-or-later stay on one line.
    return textwrap.fill(text, 78, initial_indent=indent, subsequent_indent=indent, break_on_hyphens=False,
                         break_long_words=False)


def notices(records, version):
    """THIRD-PARTY-NOTICES.txt's text: each binary's components with their
    licences, then what each licence requires, with the notice text of every
    licence that asks for one (from the package's copyright file)."""
    by_binary = {}
    for r in records:
        if r["component"] != ORVELLO:
            by_binary.setdefault(r["binary"], {}).setdefault(r["component"], []).append(r)
    title = "Third-party code in Orvello %s" % version
    out = [title, "=" * len(title), "",
           wrap("orvello.exe and task_actions.dll (the MSI's custom actions) are Orvello's own code, under the MIT "
                "License (LICENSE.txt), statically linked with parts of the toolchain they were built with. This "
                "file is generated from the linker's map of each binary when the package is built: it lists every "
                "third-party component linked in, the licences of the source files it was linked from, and the "
                "notice each licence requires.", ""), ""]
    for binary, found in sorted(by_binary.items()):
        out += [binary, "-" * len(binary)]
        for package, members in sorted(found.items()):
            first = members[0]
            licences = sorted({m["licence"] for m in members})
            out.append("  %s (Debian package %s %s, from %s)" % (first["upstream"], package, first["version"],
                                                               UPSTREAM[first["upstream"]][0]))
            out.append("    licence: %s" % licence_expression(licences))
            sources = sorted({m["source"] for m in members if not m["dll"]})
            dlls = sorted({m["dll"] for m in members if m["dll"]})
            for source in sources:
                out.append("    %s" % source)
            if dlls:
                out.append(wrap("import records for %s" % ", ".join(dlls), "    "))
        out.append("")
    out += ["Notices", "-------"]
    required = {}
    for r in records:
        if r["component"] != ORVELLO:
            required.setdefault((r["component"], r["upstream"], r["licence"]), []).append(r)
    for (package, upstream, licence), members in sorted(required.items()):
        what = "%s (%s), %s" % (upstream, package, licence)
        if licence in NO_NOTICE:
            out += [wrap("%s: no notice is required: %s." % (what, NO_NOTICE[licence])), ""]
            continue
        kinds = sorted({IMPORT_RECORDS if m["dll"] else m["source"] for m in members})
        out.append(wrap("%s, for %s: its licence requires this notice in binary distributions:"
                        % (what, ", ".join(kinds))))
        for holders in sorted({m["copyright"] for m in members}):
            out.append("")
            out += ["    Copyright " + line for line in holders.splitlines() if line.strip()]
        texts = sorted({m["licence_text"] for m in members})
        if not any(t.strip() for t in texts):
            raise Unattributed("%s requires a notice, but /usr/share/doc/%s/copyright holds no text of %s"
                               % (what, package, licence))
        for text in texts:
            out.append("")
            out += [("    " + line).rstrip() for line in text.splitlines()]
        out.append("")
    return "\n".join(out).rstrip() + "\n"


def main():
    maps = dict(arg.split("=", 1) for arg in sys.argv[1:])
    if not maps:
        sys.exit("usage: third_party.py NAME=MAP...")
    try:
        records = attribute(maps)
    except Unattributed as e:
        sys.exit("third_party: %s" % e)
    print("\n".join(listing(records)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
