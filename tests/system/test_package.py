"""The release zip as a user receives it: made by cpack with its checksum beside it, holding
the two programs and the README; the programs stripped, importing only DLLs that Windows has
and nothing that Windows 7 lacks, and carrying the project's version; the unpacked service
prints its usage."""

import hashlib
import os
import subprocess
import zipfile

import pefile

from conftest import BUILD, RESOURCE, USAGE, VERSION, version_resource


def test_zip(lab, tmp_path):
    name = f"ostrival-{VERSION}-win64.zip"
    subprocess.run([os.environ["CPACK"], "-G", "ZIP"], cwd=BUILD, check=True, capture_output=True)
    with open(os.path.join(BUILD, name), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(os.path.join(BUILD, name + ".sha256")) as f:
        assert f.read() == f"{digest}  {name}\n"
    with zipfile.ZipFile(os.path.join(BUILD, name)) as z:
        assert sorted(z.namelist()) == ["README.md", "ostrival.exe", "tracecap.exe"]
        z.extractall(tmp_path)

    pc = lab.prefix("pkg")
    system32 = {dll.lower() for dll in os.listdir(pc.drive_c(r"C:\windows\system32"))}
    for exe in ("ostrival.exe", "tracecap.exe"):
        pe = pefile.PE(tmp_path / exe)
        assert pe.FILE_HEADER.NumberOfSymbols == 0, f"{exe} is not stripped"
        assert all(s.Name.startswith(b".") for s in pe.sections), f"{exe} has debug sections"
        assert {i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT} <= system32
        # Named, it would keep the program from starting on Windows 7, which lacks it.
        assert b"GetSystemTimePreciseAsFileTime" not in {
            f.name for i in pe.DIRECTORY_ENTRY_IMPORT for f in i.imports}
    assert version_resource(tmp_path / "ostrival.exe") == RESOURCE
    assert pc.run(tmp_path / "ostrival.exe", "help")[:2] == (0, USAGE)
