"""sbom.py RELEASE: writes RELEASE/ostrival-VERSION.cdx.json, the release's software bill of
materials in CycloneDX 1.5 JSON, for a site's inventory and vulnerability tools. It names
Ostrival (version, licence, commit); every package in RELEASE and each file inside it, with its
SHA-256 (an MSI holds the files of its architecture's zip); and the runtime linked statically
into each program, with the Debian package it came from.

Versions, commit and time come from RELEASE/BUILDINFO alone, so that the two never disagree;
nothing else varies, so the same release gives the same bytes."""

import hashlib
import json
import os
import re
import sys
import uuid
import zipfile
from datetime import datetime, timezone
from urllib.parse import quote

release = sys.argv[1]
GCC = "GPL-3.0-or-later WITH GCC-exception-3.1"
# What a static C++ link with MinGW-w64 puts into every program, by the Debian package (of the
# architecture's triplet) that holds it: a component of its own each, under every licence that
# the package's copyright file gives the parts linked in (SPDX's name where there is one). Of
# the runtime: the start-up code (crt: public domain), the rest under the ZPL, and what printf
# formats numbers with: gdtoa (Lucent's licence) and mingw_pformat (Keith Marshall's).
RUNTIME = [("libgcc", "gcc-mingw-w64-{}-posix", GCC),
           ("libstdc++", "g++-mingw-w64-{}-posix", GCC),
           ("winpthreads", "mingw-w64-{}-dev", "MIT AND BSD-3-Clause"),
           ("mingw-w64-runtime", "mingw-w64-{}-dev", "ZPL-2.1 AND LicenseRef-public-domain AND "
            "LicenseRef-Lucent AND LicenseRef-Keith-Marshall")]
ARCHES = {"x64": ("x86-64", "win64"), "x86": ("i686", "win32")}
PROGRAMS = ("ostrival.exe", "tracecap.exe")

with open(os.path.join(release, "BUILDINFO"), encoding="utf-8") as f:
    info = f.read()
field = dict(re.findall(r"^([\w-]+): (\S+)$", info, re.M))
debian = dict(re.findall(r"^ (\S+) \(= (\S+)\),?$", info, re.M))
version, commit = field["Version"], field["Commit"]


def sha256(data):
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]


def purl(package):
    return f"pkg:deb/debian/{quote(package, safe='')}@{quote(debian[package], safe='')}"


components, dependencies = [], []
for arch, (triplet, windows) in ARCHES.items():
    runtime = []
    for name, package, licence in RUNTIME:
        package = package.format(triplet)
        runtime.append(f"{arch}/{name}")
        components.append({"type": "library", "bom-ref": runtime[-1], "name": name,
                           "version": debian[package], "purl": purl(package),
                           "licenses": [{"expression": licence}]})
    with zipfile.ZipFile(os.path.join(release, f"ostrival-{version}-{windows}.zip")) as z:
        files = {name: sha256(z.read(name)) for name in z.namelist()}
    for package in (f"ostrival-{version}-{windows}.zip", f"ostrival-{version}-{arch}.msi"):
        inside = []
        for name, digest in files.items():
            inside.append({"type": "application" if name in PROGRAMS else "file",
                           "bom-ref": f"{package}/{name}", "name": name, "hashes": digest})
            if name in PROGRAMS:
                dependencies.append({"ref": inside[-1]["bom-ref"], "dependsOn": runtime})
        with open(os.path.join(release, package), "rb") as f:
            components.append({"type": "file", "bom-ref": package, "name": package,
                               "hashes": sha256(f.read()), "components": inside})
    dependencies += [{"ref": ref, "dependsOn": []} for ref in runtime]

bom = {
    "bomFormat": "CycloneDX", "specVersion": "1.5", "version": 1,
    # Named by what it describes: the same however often the release is built, and another
    # wherever a file differs (signed or not, say).
    "serialNumber": uuid.uuid5(uuid.NAMESPACE_URL, " ".join(
        [f"ostrival {version} {commit}"] + [c["hashes"][0]["content"] for c in components
                                           if c["type"] == "file"])).urn,
    "metadata": {
        "timestamp": datetime.fromtimestamp(int(field["Source-Date-Epoch"]), timezone.utc)
        .strftime("%Y-%m-%dT%H:%M:%SZ"),
        "component": {"type": "application", "bom-ref": "ostrival", "name": "Ostrival",
                      "version": version, "licenses": [{"license": {"id": "MIT"}}],
                      "properties": [{"name": "ostrival:commit", "value": commit}]}},
    "components": components,
    "dependencies": [{"ref": "ostrival", "dependsOn": [c["bom-ref"] for c in components
                                                       if c["type"] == "file"]}]
    + dependencies,
}
with open(os.path.join(release, f"ostrival-{version}.cdx.json"), "w", encoding="utf-8") as f:
    json.dump(bom, f, indent=2)
    f.write("\n")
