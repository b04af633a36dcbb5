"""The service's life under Wine's service manager, as an administrator lives it: add from a
folder with spaces, start, the first broadcast 128 s later to the adapters as they are then,
the next 128 s after it holding no more than the first left, remove while running, and the
refusals on the way, each in its own box."""

import time

import soak
from conftest import REGISTERED, EXE, SOAK, TRACECAP, admin, expect_datagrams, registration, relay
from rig import wait_for

SPACED = r"C:\Program Files\Ostrival Test\ostrival.exe"
# Too long for the 261-character buffer the path is read into.
LONG = "C:\\" + "".join(f"folder-{n:02}\\" for n in range(25)) + "ostrival.exe"
# Quoted: unquoted, Windows would try "C:\Program.exe" first, as local system.
ADDED = dict(REGISTERED, ImagePath=f'"{SPACED}"')
PER_NAME = {"Ostrival: Lookup Privilege failed.",
            "Ostrival: The token does not have the specified privilege."}


def test_service_life(lab):
    lab.veth("host", "v1", "10.1.1.1/24", "peer", "p1", "10.1.1.2/24")
    rx = lab.receiver("peer")
    pc = lab.prefix("host")
    relay(pc)
    traces = pc.traces(TRACECAP)
    spaced = pc.put(EXE, SPACED)
    long = pc.put(EXE, LONG)

    assert admin(pc, spaced, "start") == ["Aborted: Could not open service to start it."]
    assert admin(pc, spaced, "remove") == ["Could not open service to delete it, is it installed?"]
    assert admin(pc, long, "add") == ["Install aborted: Could not read the program path."]
    assert registration(pc) is None
    assert admin(pc, spaced, "add") == ["Ostrival Service has been installed."]
    assert {k: v for k, v in registration(pc).items() if k in ADDED} == ADDED
    assert admin(pc, spaced, "ADD") == ["Could not add service. Perhaps it already exists."]

    started = time.time_ns()
    assert admin(pc, spaced, "Start") == ["Ostrival Service has been started."]
    wait_for("running", lambda: pc.service_state() == 4, 60)
    assert admin(pc, spaced, "start") == ["Service is already running."]
    # Each cycle reads the adapters afresh: one added and one moved before the first.
    lab.veth("host", "v2", "10.2.2.1/24", "peer", "p2", "10.2.2.2/24")
    lab.readdress("host", "v1", "10.1.3.1/24")
    lab.readdress("peer", "p1", "10.1.3.2/24")
    # Nothing at start; the first cycle 128 s after running was reported, so after `start`.
    want = {"10.1.3.255": 1, "10.2.2.255": 1}
    expect_datagrams(rx.take(count=2, timeout=200), want, started + 128 * 10**9)
    # The first cycle may open what the process keeps; each after it must add nothing.
    held = soak.service(lab, "host", pc, SOAK)
    expect_datagrams(rx.take(count=2, timeout=140), want, started + 256 * 10**9)
    assert soak.service(lab, "host", pc, SOAK) == held, "(handles, fds, wineserver fds) grew"

    assert admin(pc, spaced, "remove") == ["Ostrival Service has been removed."]
    wait_for("service deleted", lambda: registration(pc) is None, 30)
    wait_for("service process gone", lambda: not lab.pids("host", "ostrival.exe"), 30)
    assert rx.take() == []
    lines = traces.lines()
    assert len({pid for pid, _ in lines}) == 1, "traced by more than the service process"
    assert [text for _, text in lines if text not in PER_NAME] == [
        "Ostrival: Disabling all privileges", "Ostrival: Removing privileges",
        "Ostrival Service: Transmitting update.", "Ostrival Service: Transmitting update.",
        "Ostrival Service: Shutdown Request."]

    # Never started: removed without a stop.
    assert admin(pc, EXE, "add") == ["Ostrival Service has been installed."]
    assert admin(pc, EXE, "Remove") == ["Ostrival Service has been removed."]
    assert registration(pc) is None
