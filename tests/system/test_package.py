"""The release zip as a user receives it: made by the build with its checksum beside it,
holding the two programs, the README and the third-party notices; the programs built for the
zip's architecture, stripped, hardened (ASLR, DEP), importing only DLLs that Windows has and
nothing that Windows 7 lacks, and carrying the project's version; the unpacked service prints
its usage."""

import hashlib
import os
import zipfile

import pefile

from conftest import ARCH, BUILD, RESOURCE, USAGE, VERSION, version_resource


def section_names(pe):
    """Long names ("/4") are offsets into the string table after the symbols: x86 keeps its
    .eh_frame there, stripped or not."""
    table = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    names = [s.Name.rstrip(b"\0") for s in pe.sections]
    return [pe.__data__[table + int(n[1:]):].split(b"\0")[0] if n[:1] == b"/" else n
            for n in names]


def test_zip(lab, tmp_path):
    name = f"ostrival-{VERSION}-win{32 if ARCH == 'x86' else 64}.zip"
    with open(os.path.join(BUILD, name), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(os.path.join(BUILD, name + ".sha256")) as f:
        assert f.read() == f"{digest}  {name}\n"
    with zipfile.ZipFile(os.path.join(BUILD, name)) as z:
        assert z.namelist() == ["ostrival.exe", "tracecap.exe", "README.md",
                                "THIRD-PARTY-NOTICES.txt"]
        z.extractall(tmp_path)

    pc = lab.prefix("pkg")
    system32 = {dll.lower() for dll in os.listdir(pc.drive_c(r"C:\windows\system32"))}
    for exe in ("ostrival.exe", "tracecap.exe"):
        pe = pefile.PE(tmp_path / exe)
        assert pe.FILE_HEADER.Machine == {"x64": 0x8664, "x86": 0x14C}[ARCH]
        assert pe.FILE_HEADER.NumberOfSymbols == 0, f"{exe} is not stripped"
        assert not [n for n in section_names(pe) if n.startswith(b".debug")], exe
        # ASLR, with high-entropy addresses where 64-bit, and DEP; relocations kept for ASLR.
        hardened = 0x40 | 0x100 | (0x20 if ARCH == "x64" else 0)
        assert pe.OPTIONAL_HEADER.DllCharacteristics & hardened == hardened, exe
        assert pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size and not pe.FILE_HEADER.Characteristics & 1
        assert {i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT} <= system32
        # Named, it would keep the program from starting on Windows 7, which lacks it.
        assert b"GetSystemTimePreciseAsFileTime" not in {
            f.name for i in pe.DIRECTORY_ENTRY_IMPORT for f in i.imports}
    assert version_resource(tmp_path / "ostrival.exe") == RESOURCE
    assert pc.run(tmp_path / "ostrival.exe", "help")[:2] == (0, USAGE)
