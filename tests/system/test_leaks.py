"""A year of cycles in one process, in small: thousands of transmit cycles leave what the
process holds, and what its wineserver holds for it, as they found it, with every datagram
sent."""

from conftest import expect_no_growth


def test_cycles_leave_nothing_behind(lab):
    for k in range(4):
        lab.veth("host", f"v{k}", f"10.9.{k}.1/24", "peer", f"p{k}", f"10.9.{k}.2/24")
    rx = lab.receiver("peer")
    pc = lab.prefix("host")
    expect_no_growth(pc, rx, [f"10.9.{k}.255" for k in range(4)], settle=2000, measured=3000)
