"""The verbs the scenarios are written in, on top of the rig: a lab per scenario, and the
expectations (datagrams, boxes, registration). Each fact is judged here, once."""

import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import zipfile
from collections import Counter

import pefile
import pytest
from scapy.layers.ntp import NTP

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "rig"))
import rig  # noqa: E402
import soak  # noqa: E402
import wine32  # noqa: E402

# Each scenario runs once per architecture, on that build tree's programs, in prefixes of its
# kind (x64 or x86).
ARCH = os.environ.get("OSTRIVAL_ARCH", "x64")
BUILD, VERSION = os.environ.get("OSTRIVAL_BUILD", ""), os.environ.get("OSTRIVAL_VERSION", "")
EXE, TRACECAP = f"{BUILD}/ostrival.exe", f"{BUILD}/tools/tracecap/tracecap.exe"
SOAK = f"{BUILD}/tools/soak/soak.exe"
CAPTION = "Ostrival Service"
# What the program promises where more than one scenario looks.
USAGE = (b"Ostrival Service Application.\r\nUse one of these parameters:\r\n"
         b"  add        - add this as a windows service\r\n"
         b"  remove     - remove this as a windows service\r\n"
         b"  start      - start the installed service\r\n")
REGISTERED = {"Type": 0x10, "Start": 2, "ErrorControl": 0, "ObjectName": "LocalSystem",
              "DisplayName": "Ostrival Service",
              "Description": "Ostrival: Transmit an NTP v3 broadcast every 2 minutes "
                             "based on the PC clock."}
RESOURCE = {"040904E4": {
    "Comments": "Relies on the PC clock being synchronised to a good time source.",
    "FileDescription": "Ostrival Service", "FileVersion": VERSION + ".0",
    "InternalName": "Ostrival", "ProductVersion": VERSION + ".0"}}
# Without an X display a box returns at once, unseen: Wine's relay log is how it is read,
# with the manager handles the command opens and closes, and which clock a cycle reads.
RELAY = ("user32.MessageBoxW;advapi32.OpenSCManagerW;advapi32.OpenServiceW;"
         "advapi32.CreateServiceW;advapi32.CloseServiceHandle;iphlpapi.GetAdaptersInfo;"
         "kernel32.GetSystemTimeAsFileTime;kernel32.GetSystemTimePreciseAsFileTime;ws2_32.socket")
CYCLE = re.compile(r"Call \w+\.(GetAdaptersInfo|GetSystemTime\w*|socket)\(")
BOX = re.compile(r'Call user32\.MessageBoxW\((\w+),\w+ L"(.*)",\w+ L"(.*)",(\w+)\) ret=')
OPENED = re.compile(r"Ret  advapi32\.(?:OpenSCManagerW|OpenServiceW|CreateServiceW)\(\) "
                    r"retval=(\w+)")
CLOSED = re.compile(r"Call advapi32\.CloseServiceHandle\((\w+)\)")


class Stop(Exception):
    """Not a TimeoutError, which the rig's waits take as a quiet moment and go on."""


def pytest_configure(config):
    # Ends the scenario before CTest would kill it, or when told to, so its lab still cleans up.
    def stop(*_):
        raise Stop("out of time, or told to stop")
    signal.signal(signal.SIGALRM, stop)
    signal.signal(signal.SIGTERM, stop)
    signal.alarm(int(os.environ.get("OSTRIVAL_DEADLINE", "0")))


# The tests skipped because this kernel cannot run what they need.
KERNEL_SKIPS = []


def pytest_runtest_logreport(report):
    if report.skipped and wine32.KERNEL in str(report.longrepr):
        KERNEL_SKIPS.append(report.nodeid)


def pytest_sessionfinish(session, exitstatus):
    # Not proven is not passed: CTest shows the scenario as skipped, with the reason.
    if exitstatus == 0 and KERNEL_SKIPS:
        print(f"\nskipped: {wine32.KERNEL}")
        session.exitstatus = wine32.REFUSED


@pytest.fixture
def lab(request):
    with rig.Lab(request.node.name.replace("test_", "")[:6], ARCH) as made:
        yield made


def expect_datagrams(got, want, sent_after_ns):
    """GOT is exactly one copy of our broadcast per WANT address ({address: count}), the same
    48 bytes each, carrying the time it was sent: after SENT_AFTER_NS and before it arrived."""
    assert Counter(d.dst for d in got) == Counter(want)
    assert len({d.data for d in got}) <= 1, "one cycle sent different bytes"
    for d in got:
        assert len(d.data) == 48
        p = NTP(d.data)
        assert (p.leap, p.version, p.mode, p.stratum, p.poll, p.precision) == (0, 3, 5, 15, 7, 0)
        assert (p.delay, p.dispersion, socket.inet_aton(p.id)) == (0, 0, b"LOCL")
        assert (p.orig, p.recv, p.fields["ref"]) == (0, 0, p.fields["sent"])
        # Whole milliseconds, in a fraction that runs up to 1 ms fast within the second.
        carried = rig.carried_ns(*divmod(p.fields["sent"], 2**32))
        assert sent_after_ns - 10**6 <= carried <= d.t_ns + 10**6


# Growth per cycle allowed over the 3000 cycles judged, from the noise of a dozen runs:
# none in the process's handles and fds, nor in its memory after its first 500 cycles (+70 kB);
# the wineserver's fds wander by 16 and back in a prefix's first seconds, a slope of up to
# 0.007 where that falls in the cycles judged. A leak of one socket a cycle is 1 of each, an
# adapter list 3 kB, the first guess at it 0.64 kB.
GROWTH = {"handles": 0.01, "private_kb": 0.1, "process_fds": 0.01, "server_fds": 0.05}


def expect_no_growth(prefix, rx, broadcasts, settle, measured):
    """SETTLE and then MEASURED cycles in one process reach each of BROADCASTS once a cycle,
    and leave no figure of what the process holds growing with them over the MEASURED ones;
    each figure sees first what soak.exe holds on purpose."""
    readings, held, got = soak.run(prefix, SOAK, rx, len(broadcasts), settle + measured, 250)
    seen = {f: getattr(held, f) - getattr(readings[0], f) for f in soak.HELD}
    assert all(seen[f] >= n for f, n in soak.HELD.items()), f"blind to what was held: {seen}"
    assert got == {address: settle + measured for address in broadcasts}
    slopes = soak.slopes([r for r in readings if r.cycles >= settle])
    grown = {f: round(slope, 3) for f, slope in slopes.items() if slope > GROWTH[f]}
    assert not grown, f"grows with the cycles, per cycle: {grown}"


def relay(prefix):
    status, _, err = prefix.run("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude",
                                "/d", RELAY, "/f")
    assert status == 0, err


def admin(prefix, program, word):
    """The texts of the boxes one admin command shows. Each must be a plain OK box with our
    caption and no owner; the run must exit 0, print nothing and close what it opened."""
    status, out, err = prefix.run(program, word, debug="-all,+relay")
    assert (status, out) == (0, b""), err[-2000:]
    boxes = BOX.findall(err)
    assert {(owner, caption, style) for owner, _, caption, style in boxes} <= {
        ("00000000", CAPTION, "00000000")}
    opened = Counter(h for h in OPENED.findall(err) if int(h, 16))
    assert opened == Counter(CLOSED.findall(err)), "manager handles left open"
    return [text for _, text, _, _ in boxes]


def msiexec(prefix, *args, ui="/qn", debug="-all"):
    """msiexec's own exit code, and Wine's log: wine64 would cut the code to 8 bits, cmd waits
    and tells it whole."""
    _, out, err = prefix.run("cmd", "/c", f"msiexec {' '.join(args)} {ui} & echo %ERRORLEVEL%",
                             timeout=120, debug=debug)
    return int(out.split()[-1]), err


def entries(prefix):
    """(name, version) of each entry in Programs and Features named for us."""
    uninstall = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
    return [(v["DisplayName"], v.get("DisplayVersion"))
            for v in registry(prefix, uninstall).values()
            if v.get("DisplayName") == "Ostrival Service"]


def version_resource(path):
    """The string tables of an executable's version resource, by language and code page."""
    tables = [t for info in pefile.PE(path).FileInfo[0] for t in getattr(info, "StringTable", [])]
    return {t.LangID.decode(): {k.decode(): v.decode() for k, v in t.entries.items()}
            for t in tables}


def registry(prefix, key):
    """The values of KEY and of every key below it: {key: {name: value}}, KEY first."""
    status, out, _ = prefix.run("reg", "query", key, "/s")
    keys, values = {}, {}
    for line in out.decode().replace("\r", "").splitlines() if status == 0 else []:
        if line.startswith("HKEY_"):
            values = keys.setdefault(line, {})
        elif line.strip():
            name, kind, value = (line.strip().split("    ", 2) + ["", ""])[:3]
            values[name] = int(value, 16) if kind == "REG_DWORD" else value
    return keys


def registration(prefix):
    """The service's values in the manager's database, None when it has none."""
    return next(iter(registry(prefix, r"HKLM\System\CurrentControlSet\Services\Ostrival").values()),
                None)


def unpack(package, into):
    """The files a zip or an MSI holds, unpacked into INTO: {name: path}."""
    if str(package).endswith(".zip"):
        with zipfile.ZipFile(package) as z:
            z.extractall(into)
    else:
        subprocess.run(["msiextract", "-C", into, package], check=True, capture_output=True)
    return {p.name: p for p in pathlib.Path(into).rglob("*") if p.is_file()}
