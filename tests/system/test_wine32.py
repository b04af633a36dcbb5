"""What an x86 run does where 32-bit Wine cannot run, shown on any machine by standing in for
its loader: a unit test through scripts/wine-run and a scenario through the rig both fail
naming the package where the loader is missing, and are skipped (CTest's 77) with the kernel's
reason where the kernel refuses to execute it, as an ELF file for no machine is refused
everywhere."""

import os
import subprocess
import sys

import pytest

from conftest import BUILD

HERE = os.path.dirname(__file__)
WINE_RUN = os.path.join(HERE, "..", "..", "scripts", "wine-run")
# An ELF header whose machine (0x5A5A) no kernel runs and no emulator claims.
FOREIGN_ELF = (b"\x7fELF\x02\x01\x01" + bytes(9) + (2).to_bytes(2, "little")
               + (0x5A5A).to_bytes(2, "little") + (1).to_bytes(4, "little") + bytes(40))


@pytest.mark.parametrize("loader, status, reason", [
    ("absent", 1, "32-bit Wine is missing (LOADER: No such file or directory): install wine32:i386"),
    ("foreign", 77, "this kernel cannot run 32-bit programs (LOADER: Exec format error)")])
def test_loader_that_cannot_run(tmp_path, loader, status, reason):
    path = tmp_path / loader
    if loader == "foreign":
        path.write_bytes(FOREIGN_ELF)
        path.chmod(0o755)
    env = dict(os.environ, OSTRIVAL_WINE32=str(path), OSTRIVAL_ARCH="x86")
    unit = subprocess.run([WINE_RUN, "--win32", f"{BUILD}/tests/packet_test.exe"], env=env,
                          capture_output=True, text=True)
    scenario = subprocess.run([sys.executable, "-m", "pytest", "-q", "-rs", "-p",
                               "no:cacheprovider", os.path.join(HERE, "test_console.py")],
                              env=env, capture_output=True, text=True)
    for run in (unit, scenario):
        assert run.returncode == status, run.stdout + run.stderr
        assert reason.replace("LOADER", str(path)) in run.stdout + run.stderr
