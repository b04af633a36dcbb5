"""One broadcast end to end: `ostrival.exe debug` under Wine in namespace "pc", whose
wineserver runs inside it, received in namespace "lan" at the other end of a veth pair, and
printed field by field with how long after the time it carries it arrived."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools", "rig"))
import rig  # noqa: E402
from scapy.layers.ntp import NTP  # noqa: E402

with rig.Lab("demo") as lab:
    lab.veth("pc", "eth0", "192.0.2.10/24", "lan", "eth0", "192.0.2.20/24")
    print(f"== namespaces {lab.name('pc')} (sender, 192.0.2.10/24) and {lab.name('lan')}")
    rx = lab.receiver("lan")
    pc = lab.prefix("pc")
    print(f"== a throwaway Wine prefix whose wineserver (pid {pc.server.pid}) is in "
          f"{rig.ns_of(pc.server.pid)}, the namespace {pc.ns};")
    print(f"   this script is in {rig.ns_of('self')}")
    print("== ostrival.exe debug")
    status, out, _ = pc.run(sys.argv[1], "debug")
    print(f"   exit status {status}, {len(out)} bytes on stdout")
    got = rx.take(count=1, timeout=5)
    if not got:
        sys.exit("   nothing arrived")
    for d in got:
        print(f"== received in {lab.name('lan')}: {len(d.data)} bytes to {d.dst}:123")
        packet = NTP(d.data)
        packet.show()
        seconds, fraction = divmod(packet.fields["sent"], 2**32)
        # Ostrival writes whole milliseconds times 4299266 as the fraction; read it that way.
        ms = fraction // 4299266
        meant = rig.carried_ns(seconds, 0) + ms * 10**6
        print(f"   reference identifier {d.data[12:16].decode()!r}; transmit time "
              f"{time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(meant // 10**9))}.{ms:03} UTC "
              f"(fraction {fraction} = {ms} ms x 4299266)")
        print(f"   arrived {(d.t_ns - meant) / 1e6:.3f} ms after the millisecond it carries")
    print("== removing the namespaces and the prefix")
