"""`debug` sends one identical broadcast to the directed broadcast address of every Ethernet
adapter with an IPv4 address, whatever else the adapter list holds, and prints nothing. The
time it carries is read from the precise clock, once, after the adapter list and before the
socket."""

import time

from conftest import CYCLE, EXE, expect_datagrams, relay


def test_one_cycle_reaches_every_suitable_adapter_once(lab):
    # Listed first and down: its send fails, and the ones after it must still go.
    lab.veth("host", "d0", "10.20.0.1/24", "void", "q0", "10.20.0.2/24")
    lab.down("host", "d0")
    want = {"198.19.4.255": 2}  # two adapters on one subnet: two sends, not merged
    lab.veth("host", "v4", "198.19.4.1/24", "peer", "p4", "198.19.4.11/24")
    lab.veth("host", "v5", "198.19.4.2/24", "peer", "p5", "198.19.4.12/24")
    # Other sizes of subnet, and 300 adapters: a list of some 200 kB.
    adapters = [("198.19.1.1/24", "198.19.1.255"), ("198.18.0.1/16", "198.18.255.255"),
                ("198.19.8.1/28", "198.19.8.15")] + [
        (f"10.{1 + n // 250}.{n % 250}.1/24", f"10.{1 + n // 250}.{n % 250}.255")
        for n in range(300)]
    for n, (cidr, broadcast) in enumerate(adapters):
        lab.veth("host", f"v{n}x", cidr, "peer", f"p{n}x", cidr.replace(".1/", ".2/"))
        want[broadcast] = 1
    # No IPv4: were it sent to, its "0.0.0.0" would give 255.255.255.255, heard through v0x.
    lab.veth("host", "v6", None, "peer", "p6", "198.19.6.2/24")
    lab.route("host", "198.19.1.2")
    lab.tun("host", "tun0", "198.19.7.1/24")
    rx = lab.receiver("peer")
    pc = lab.prefix("host")

    relay(pc)

    before = time.time_ns()
    status, out, err = pc.run(EXE, "debug", debug="-all,+relay")
    assert (status, out) == (0, b"")
    calls = CYCLE.findall(err)
    assert calls[len(calls) - calls[::-1].index("GetAdaptersInfo"):] == [
        "GetSystemTimePreciseAsFileTime", "socket"]
    expect_datagrams(rx.take(count=sum(want.values()), timeout=10), want, before)
    assert lab.sent("host", "tun0") == 0
