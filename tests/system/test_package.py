"""The packages of one architecture as the build leaves them, read without running them, so
that they are checked on any machine: the zip with its checksum beside it, holding the two
programs, the texts a site reads (the administrator's guide, the release notes, the licence,
each as a Windows editor expects it) and the third-party notices; the programs built for the zip's
architecture, stripped, hardened (ASLR, DEP), importing only DLLs that Windows has and nothing
that Windows 7 lacks, and carrying the project's version; the MSI's tables, read from Linux,
which say what it asks of Windows (wixl drops what it does not understand without a word, so
each value is read back). The x86 MSI refuses 64-bit Windows, naming the x64 package, so that
one machine never holds two copies of the service: shown under 64-bit Wine."""

import hashlib
import os
import re
import subprocess
import zipfile

import pefile
import pytest

from conftest import (ARCH, BOX, BUILD, REGISTERED, RESOURCE, VERSION, entries, msiexec,
                      registration, relay, unpack, version_resource)

MSI, NEXT = f"{BUILD}/ostrival-{VERSION}-{ARCH}.msi", os.environ.get("OSTRIVAL_NEXT", "")
SOURCE = os.environ.get("OSTRIVAL_SOURCE", "")
REFUSAL = (f"This package is for 32-bit Windows. On 64-bit Windows install "
           f"ostrival-{VERSION}-x64.msi.")
# The DLLs Wine brings for the architecture, as its prefixes list them in system32.
DLLS = {"x64": "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
        "x86": "/usr/lib/i386-linux-gnu/wine/i386-windows"}[ARCH]


def section_names(pe):
    """Long names ("/4") are offsets into the string table after the symbols: x86 keeps its
    .eh_frame there, stripped or not."""
    table = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    names = [s.Name.rstrip(b"\0") for s in pe.sections]
    return [pe.__data__[table + int(n[1:]):].split(b"\0")[0] if n[:1] == b"/" else n
            for n in names]


def test_zip(tmp_path):
    name = f"ostrival-{VERSION}-win{32 if ARCH == 'x86' else 64}.zip"
    with open(os.path.join(BUILD, name), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(os.path.join(BUILD, name + ".sha256")) as f:
        assert f.read() == f"{digest}  {name}\n"
    with zipfile.ZipFile(os.path.join(BUILD, name)) as z:
        assert z.namelist() == ["ostrival.exe", "tracecap.exe", "README.txt", "CHANGELOG.txt",
                                "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"]
        z.extractall(tmp_path)
    for shipped, source in (("LICENSE.txt", "LICENSE"), ("CHANGELOG.txt", "CHANGELOG.md")):
        with open(os.path.join(SOURCE, source), "rb") as f:
            assert (tmp_path / shipped).read_bytes() == f.read().replace(b"\n", b"\r\n")
    guide = (tmp_path / "README.txt").read_bytes()
    assert guide.count(b"\n") == guide.count(b"\r\n") and f"ostrival-{VERSION}-".encode() in guide
    # An administrator's guide: nothing of how the program is built or tested.
    assert not re.findall(rb"(?i)cmake|ctest|debian|apt-get|wine|scripts/|mingw-w64-|\.sh\b", guide)

    windows = {dll.lower() for dll in os.listdir(DLLS)}
    for exe in ("ostrival.exe", "tracecap.exe"):
        pe = pefile.PE(tmp_path / exe)
        assert pe.FILE_HEADER.Machine == {"x64": 0x8664, "x86": 0x14C}[ARCH]
        assert pe.FILE_HEADER.NumberOfSymbols == 0, f"{exe} is not stripped"
        assert not [n for n in section_names(pe) if n.startswith(b".debug")], exe
        # ASLR, with high-entropy addresses where 64-bit, and DEP; relocations kept for ASLR.
        hardened = 0x40 | 0x100 | (0x20 if ARCH == "x64" else 0)
        assert pe.OPTIONAL_HEADER.DllCharacteristics & hardened == hardened, exe
        assert pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size and not pe.FILE_HEADER.Characteristics & 1
        assert {i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT} <= windows
        # Named, it would keep the program from starting on Windows 7, which lacks it.
        assert b"GetSystemTimePreciseAsFileTime" not in {
            f.name for i in pe.DIRECTORY_ENTRY_IMPORT for f in i.imports}
    assert version_resource(tmp_path / "ostrival.exe") == RESOURCE


def table(msi, name):
    out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True,
                         check=True).stdout
    columns, _types, _keys, *rows = out.replace("\r", "").splitlines()
    return [dict(zip(columns.split("\t"), row.split("\t"))) for row in rows]


def test_msi_tables(tmp_path):
    assert table(MSI, "ServiceInstall") == [{
        "ServiceInstall": "Service", "Name": "Ostrival", "DisplayName": "Ostrival Service",
        "ServiceType": "16", "StartType": "2", "ErrorControl": "0", "LoadOrderGroup": "",
        "Dependencies": "", "StartName": "", "Password": "", "Arguments": "",
        "Component_": "Service", "Description": REGISTERED["Description"]}]
    # Started at install; stopped at install and uninstall, deleted at uninstall, waited for.
    assert [(c["Name"], c["Event"], c["Wait"]) for c in table(MSI, "ServiceControl")] == [
        ("Ostrival", str(0x01 | 0x02 | 0x20 | 0x80), "1")]
    assert {(f["FileName"], f["Component_"]) for f in table(MSI, "File")} == {
        ("ostrival.exe", "Service"), ("tracecap.exe", "Tracecap"),
        ("THIRD-PARTY-NOTICES.txt", "Notices"), ("README.txt", "Guide"),
        ("CHANGELOG.txt", "Notes"), ("LICENSE.txt", "Licence")}
    summary = subprocess.run(["msiinfo", "suminfo", MSI], capture_output=True, text=True).stdout
    assert {"x64": "Template: x64;1033\n", "x86": "Template: Intel;1033\n"}[ARCH] in summary
    # Judged at install only, so that an installed copy can still be repaired and removed.
    conditions = {c["Condition"]: c["Description"] for c in table(MSI, "LaunchCondition")}
    assert conditions.get("Installed OR NOT VersionNT64") == (REFUSAL if ARCH == "x86" else None)
    # Name and version as the packaged program's own version resource has them, and one
    # UpgradeCode for every version.
    assert version_resource(unpack(MSI, tmp_path)["ostrival.exe"]) == RESOURCE
    first, later = ({p["Property"]: p["Value"] for p in table(msi, "Property")}
                    for msi in (MSI, NEXT))
    assert (first["ProductName"], first["Manufacturer"], first["ProductVersion"]) == (
        RESOURCE["040904E4"]["FileDescription"], "The Ostrival authors", VERSION)
    assert first["UpgradeCode"] == later["UpgradeCode"]


@pytest.mark.skipif(ARCH != "x86", reason="the x64 package's platform keeps it off 32-bit Windows")
def test_x86_msi_refused_on_64_bit_windows(lab):
    pc = lab.prefix("msi64", arch="x64")
    relay(pc)
    # With a basic UI, so that the refusal is shown in a box.
    status, log = msiexec(pc, "/i", pc.put(MSI, r"C:\packages\x86.msi"), ui="/qb",
                          debug="-all,+relay")
    assert (status, [text for _, text, _, _ in BOX.findall(log)]) == (1603, [REFUSAL])
    assert (registration(pc), entries(pc)) == (None, [])
    assert not os.path.exists(pc.drive_c(r"C:\Program Files (x86)\Ostrival"))
