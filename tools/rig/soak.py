"""soak.exe (tools/soak) in a prefix of the rig: thousands of transmit cycles in one process,
with what that process holds read every so many cycles: its handles (by the system's list) and
its touched private memory, which it prints, and from outside its file descriptors and those
of the prefix's wineserver, which holds one for every socket open in the prefix. The leak
check judges the readings; the benchmark reports them."""

import collections
import os
import statistics
import subprocess

# One reading: the cycles run so far, what the process and its wineserver held then, and the
# microseconds the cycles since the reading before took.
Reading = collections.namedtuple("Reading", "cycles handles private_kb process_fds server_fds us")
FIGURES = ("handles", "private_kb", "process_fds", "server_fds")
# What soak.exe holds on purpose for its "held" reading: 64 sockets that have sent, and
# 4096 kB touched.
HELD = {"handles": 64, "private_kb": 4096, "process_fds": 64, "server_fds": 64}


def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def run(prefix, exe, receiver, adapters, cycles, every):
    """CYCLES cycles of soak.exe EXE in PREFIX, read before the first and after each EVERY.
    Returns the readings, the reading taken with HELD held (just after the first), and the
    datagrams received, by destination. RECEIVER takes the ADAPTERS datagrams of each cycle
    as they come, so that its buffer never overflows however long the run."""
    process = prefix.spawn(exe, cycles, every, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    readings, held, received = [], None, collections.Counter()
    try:
        # `ip netns exec` and Wine's loader each become the next program: the pid is soak.exe's.
        for line in process.stdout:
            what, done, handles, private_kb, us = line.split()
            got = receiver.take(count=int(done) * adapters - sum(received.values()), timeout=10,
                                quiet=0)
            received.update(d.dst for d in got)
            reading = Reading(int(done), int(handles), int(private_kb), fds(process.pid),
                              fds(prefix.server.pid), int(us))
            if what == b"held":
                held = reading
            else:
                readings.append(reading)
            process.stdin.write(b"\n")
            process.stdin.flush()
        if process.wait(30):
            raise RuntimeError(f"soak.exe exited with {process.returncode}")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    received.update(d.dst for d in receiver.take())  # a late one, or one more than was sent
    return readings, held, received


def slopes(readings):
    """Each figure's growth per cycle over READINGS, by least squares."""
    cycles = [r.cycles for r in readings]
    return {name: statistics.linear_regression(cycles, [getattr(r, name) for r in readings])[0]
            for name in FIGURES}


def service(lab, short, prefix, exe):
    """What the one ostrival.exe running in namespace SHORT holds: (its handles, by soak.exe
    EXE in PREFIX; its file descriptors; its wineserver's, read before soak.exe adds its own)."""
    pid, = lab.pids(short, "ostrival.exe")
    process_fds, server_fds = fds(pid), fds(prefix.server.pid)
    status, out, err = prefix.run(exe, "ostrival.exe")
    if status or len(out.split()) != 3:
        raise RuntimeError(f"soak.exe ostrival.exe: {status} {out!r} {err[-500:]}")
    return int(out.split()[2]), process_fds, server_fds
