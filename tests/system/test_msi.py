"""The Windows Installer package of one architecture, under Wine's msiexec in a prefix of its
architecture: it installs and starts the service, upgrades in place, refuses to go back to an
earlier version, and uninstalls without leftovers. Wine registers the service path unquoted
whatever the package says; that is Wine's, not the package's."""

import os

from conftest import ARCH, BUILD, REGISTERED, VERSION, entries, msiexec, registration, version_resource
from rig import wait_for

MSI, NEXT = f"{BUILD}/ostrival-{VERSION}-{ARCH}.msi", os.environ.get("OSTRIVAL_NEXT", "")
FOLDER = r"C:\Program Files\Ostrival"
FILES = ["CHANGELOG.txt", "LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt", "ostrival.exe",
         "tracecap.exe"]


def installed(prefix):
    """The files in the install folder, and the version ostrival.exe there carries."""
    folder = prefix.drive_c(FOLDER)
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    if "ostrival.exe" not in names:
        return names, None
    return names, version_resource(os.path.join(folder, "ostrival.exe"))["040904E4"]["FileVersion"]


def test_install_upgrade_remove(lab):
    pc = lab.prefix("msi")
    package, later = pc.put(MSI, r"C:\packages\first.msi"), pc.put(NEXT, r"C:\packages\next.msi")
    assert msiexec(pc, "/i", package)[0] == 0
    wait_for("running", lambda: pc.service_state() == 4, 60)
    installed_as = dict(REGISTERED, ImagePath=FOLDER + r"\ostrival.exe")
    assert {k: v for k, v in registration(pc).items() if k in installed_as} == installed_as
    assert entries(pc) == [("Ostrival Service", VERSION)]
    assert installed(pc) == (FILES, VERSION + ".0")

    assert msiexec(pc, "/i", later)[0] == 0
    wait_for("running", lambda: pc.service_state() == 4, 60)
    [(_, version)] = entries(pc)
    assert version != VERSION
    assert installed(pc) == (FILES, version + ".0")
    assert msiexec(pc, "/i", package)[0] == 1603, "an earlier version went over a later one"
    assert entries(pc) == [("Ostrival Service", version)]

    # Stopped first: under load, Wine's msiexec was seen to leave ostrival.exe behind, in use by
    # a service process that outlived its stopped report. The stop at uninstall is in the table.
    pc.run("sc", "stop", "Ostrival")
    wait_for("service process gone", lambda: not lab.pids("msi", "ostrival.exe"), 30)
    assert msiexec(pc, "/x", later)[0] == 0
    assert (registration(pc), entries(pc), installed(pc)) == (None, [], ([], None))
