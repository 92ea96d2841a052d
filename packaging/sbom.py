# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""The release's software bill of materials, in CycloneDX 1.6 JSON
(ECMA-424): Orvello itself, the files it ships with their SHA-256, the
third-party components the linker put into its binaries (from
third_party.attribute), which binary links which, and the tools that built
them. Reproducible: its time is the commit's, and its serial number is a
name-based UUID of its content."""

import functools
import hashlib
import json
import os
import time
import uuid
from urllib.parse import quote

import third_party

SUPPLIER = "The Orvello authors"
# The toolchain that made the shipped bytes: (name, Debian package).
TOOLS = [("gcc", "g++-mingw-w64-x86-64-posix"), ("mingw-w64", "mingw-w64-x86-64-dev"),
         ("binutils", "binutils-mingw-w64-x86-64"), ("wixl", "wixl"), ("msitools", "msitools")]
SIGNING_TOOL = ("osslsigncode", "osslsigncode")


@functools.lru_cache(maxsize=None)
def distribution():
    """The Debian release the packages come from ("bookworm"), for their purls."""
    with open("/etc/os-release", encoding="utf-8") as f:
        fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return fields.get("VERSION_CODENAME", "").strip('"') or "debian"


def purl(package, version, arch):
    # The purl specification percent-encodes a version's "+" and ":".
    return "pkg:deb/debian/%s@%s?arch=%s&distro=%s" % (package, quote(version, safe=""), arch, distribution())


def tool(name, package):
    version, arch = third_party.package_version(package)
    return {"type": "application", "bom-ref": "tool:" + package, "supplier": {"name": "Debian"}, "name": name,
            "version": version, "description": "from the Debian package " + package,
            "purl": purl(package, version, arch)}


def bom(version, epoch, shipped, records, namespace, signed):
    """The SBOM as a dict. shipped: [(file name, CycloneDX type, bytes)] as
    they ship; records: third_party.attribute() of the shipped binaries."""
    product = "orvello@" + version
    ref = lambda name: "%s:%s" % (product, name)
    files = [{"type": kind, "bom-ref": ref(name), "name": name, "version": version,
              "supplier": {"name": SUPPLIER}, "licenses": [{"license": {"id": "MIT"}}],
              "hashes": [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]}
             for name, kind, data in shipped]
    linked = third_party.components(records)
    refs = {package: purl(package, c["version"], c["arch"]) for package, c in linked.items()}
    parts = []
    for package, c in sorted(linked.items()):
        occurrences = {}
        for r in records:
            if r["component"] != package:
                continue
            archive = os.path.basename(r["path"])
            if r["dll"]:
                key = "%s: %s, import records for %s" % (r["binary"], archive, r["dll"])
                occurrences[key] = "generated from %s; %s" % (r["source"], r["licence"])
            else:
                key = "%s: %s" % (r["binary"], "%s(%s)" % (archive, r["member"]) if r["member"] else archive)
                occurrences[key] = "compiled from %s; %s" % (r["source"], r["licence"])
        parts.append({
            "type": "library", "bom-ref": refs[package], "supplier": {"name": "Debian"},
            "name": package,
            "version": c["version"], "description": "%s, statically linked: %s" % (
                c["upstream"], "start-up and support code, import records" if c["upstream"] == "mingw-w64"
                else "libgcc's start-up objects and stack probe"),
            "licenses": [{"expression": third_party.licence_expression(c["licences"])}],
            "copyright": " ".join(sorted({r["copyright"].replace("\n", "; ") for r in records
                                          if r["component"] == package and r["copyright"]})),
            "purl": refs[package],
            "externalReferences": [{"type": "website", "url": third_party.UPSTREAM[c["upstream"]][0]}],
            "evidence": {"occurrences": [{"location": where, "additionalContext": context}
                                         for where, context in sorted(occurrences.items())]},
        })
    depends = [{"ref": product, "dependsOn": [ref(name) for name, _, _ in shipped]}]
    for name, _, _ in shipped:
        depends.append({"ref": ref(name), "dependsOn": sorted(
            refs[p] for p, c in linked.items() if name in c["binaries"])})
    depends += [{"ref": p["bom-ref"], "dependsOn": []} for p in parts]
    tools = [tool(name, package) for name, package in TOOLS + ([SIGNING_TOOL] if signed else [])]
    document = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": None, "version": 1,
        "metadata": {
            "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
            "lifecycles": [{"phase": "build"}],
            "authors": [{"name": SUPPLIER}],
            "tools": {"components": tools},
            "component": {"type": "application", "bom-ref": product, "name": "Orvello", "version": version,
                          "description": "Restarts the USB hubs that report a problem, at every start and resume "
                                         "of Windows.",
                          "supplier": {"name": SUPPLIER}, "licenses": [{"license": {"id": "MIT"}}],
                          "copyright": "Copyright (c) 2026 The Orvello authors"},
            "supplier": {"name": SUPPLIER},
        },
        "components": files + parts,
        "dependencies": depends,
    }
    content = json.dumps(document, sort_keys=True).encode()
    document["serialNumber"] = "urn:uuid:%s" % uuid.uuid5(namespace, hashlib.sha256(content).hexdigest())
    return document


def write(path, document):
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8", newline="\n") as f:
        json.dump(document, f, indent=2)
        f.write("\n")
    os.replace(partial, path)
