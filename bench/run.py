"""Benchmarks ostrival.exe (OSTRIVAL_EXE) under Wine and writes bench/RESULTS.md, with its three
pictures beside it (bench/plots.py), saying as it goes which phase it is in and how far:
  1. arrival accuracy: `debug` run many times in one prefix over one veth pair; the kernel
     receive time of each broadcast (SO_TIMESTAMPNS) against the time it carries;
  2. cost of one cycle against the number of adapters (1, 16, 64, 256): the receive time
     of the last datagram of a cycle against the carried time;
  3. footprint: exe size and imports, and the CPU time the running service uses while it
     waits for its first broadcast (and for that broadcast);
  4. a long run: many cycles in one process (soak.exe, tools/soak, OSTRIVAL_SOAK), over four
     adapters, with what the process and its wineserver hold read as they go, run while the
     service waits for its second broadcast; and what the service holds before its first
     broadcast and after each.
Every sender runs in throwaway namespaces of the rig (tools/rig/rig.py), each with its own
Wine prefix whose wineserver lives in that namespace. About 8 minutes, most of it the waits
for the service's broadcasts; needs root.

Knobs: BENCH_RUNS (100), BENCH_CYCLES (10), BENCH_ADAPTERS ("1 16 64 256"), BENCH_IDLE
("10 110", seconds after the service process started), BENCH_SOAK (20000 cycles, read every
500), BENCH_BROADCASTS (3), BENCH_OUT (bench/RESULTS.md), BENCH_RAW (a folder to keep the raw
records in, records.jsonl; bench/report.py reads it).
"""

import json
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # leave no cache beside the scripts
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
import report  # noqa: E402
import rig  # noqa: E402
import soak  # noqa: E402
from pyroute2 import netns  # noqa: E402

HZ = os.sysconf("SC_CLK_TCK")
EXE = os.path.abspath(os.environ["OSTRIVAL_EXE"])
SOAK = os.environ.get("OSTRIVAL_SOAK", os.path.join(os.path.dirname(EXE), "tools/soak/soak.exe"))
RUNS = int(os.environ.get("BENCH_RUNS", "100"))
CYCLES = int(os.environ.get("BENCH_CYCLES", "10"))
ADAPTERS = [int(n) for n in os.environ.get("BENCH_ADAPTERS", "1 16 64 256").split()]
IDLE = [float(s) for s in os.environ.get("BENCH_IDLE", "10 110").split()]
SOAK_CYCLES, SOAK_EVERY, SOAK_ADAPTERS = int(os.environ.get("BENCH_SOAK", "20000")), 500, 4
BROADCASTS = int(os.environ.get("BENCH_BROADCASTS", "3"))
OUT = os.path.abspath(os.environ.get("BENCH_OUT", "bench/RESULTS.md"))
RAW = os.environ.get("BENCH_RAW")
records = []


def note(**fields):
    records.append(fields)


def log(text):
    print(time.strftime("[%T] ") + text, file=sys.stderr, flush=True)


def progress(phase, done, total, unit=""):
    """Where PHASE stands, DONE of TOTAL: one line rewritten in place on a terminal, a line
    every tenth of the way in a log."""
    line = f"{time.strftime('[%T]')} {phase}: {done} of {total}{unit}"
    if sys.stderr.isatty():
        print("\r" + line, end="\n" if done >= total else "", file=sys.stderr, flush=True)
    elif done == total or done % max(1, total // 10) == 0:
        print(line, file=sys.stderr, flush=True)


def read(path):
    with open(path) as f:
        return f.read()


def run(prefix, *argv):
    status, _, err = prefix.run(*argv)
    if status:
        raise SystemExit(f"{argv} exited with {status}: {err[-2000:]}")


def keep(tag, got):
    for d in got:
        note(kind="datagram", tag=tag, t_ns=d.t_ns, dst=d.dst, hex=d.data.hex())


def debug_runs(prefix, rx, count, adapters, tag, phase):
    """COUNT runs of `debug`, each followed by taking its ADAPTERS datagrams."""
    for done in range(1, count + 1):
        started = time.monotonic_ns()
        run(prefix, EXE, "debug")
        note(kind="wall", tag=tag, ns=time.monotonic_ns() - started)
        keep(tag, rx.take(count=adapters, timeout=5, quiet=0))
        progress(phase, done, count, " runs")


def rcvbuf_errors(lab, short):
    netns.pushns(lab.name(short))
    try:
        head, values = (line.split() for line in read("/proc/thread-self/net/snmp").splitlines()
                        if line.startswith("Udp:"))
    finally:
        netns.popns()
    return int(dict(zip(head, values))["RcvbufErrors"])


def age(pid):
    """Seconds since process PID started."""
    start = int(read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()[19])
    return time.clock_gettime(time.CLOCK_BOOTTIME) - start / HZ


def snapshot(lab, label, service):
    """What every process in the service's namespace, and in tx1 (the same Wine without the
    service: the control), has used so far. Per process utime + stime in ticks; per thread
    the scheduler's run time (ns) and context switches, which the kernel keeps per thread
    only, so the report pairs threads by id and sees one that ended as missing."""
    when, now = age(service), time.time_ns()  # the age, paired with datagrams' receive times
    for short in ("svc", "tx1"):
        for pid in lab.pids(short):
            try:
                fields = read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()
                name = read(f"/proc/{pid}/cmdline").split("\0")[0].replace("\\", "/")
                tids = os.listdir(f"/proc/{pid}/task")
            except (FileNotFoundError, ProcessLookupError):
                continue  # ended while being read
            tasks = {}
            for tid in tids:
                task = f"/proc/{pid}/task/{tid}"
                try:
                    switches = sum(int(line.split(":")[1]) for line in
                                   read(task + "/status").splitlines() if "ctxt_switches:" in line)
                    tasks[tid] = [int(read(task + "/schedstat").split()[0]), switches]
                except (FileNotFoundError, ProcessLookupError):
                    pass
            # After the name, fields[0] is field 3 (state): utime and stime (14, 15) are 11, 12.
            note(kind="cpu", label=label, ns=short, age=when, wall_ns=now, pid=pid,
                 name=name.rsplit("/", 1)[-1] or "?", ticks=int(fields[11]) + int(fields[12]),
                 tasks=tasks)


def measure_debug(lab, prefixes):
    # A first run in a fresh prefix loads everything from disk; it is not measured.
    for n in ADAPTERS:
        run(prefixes[n], EXE, "debug")
    receivers = {n: lab.receiver(f"rx{n}") for n in ADAPTERS}
    debug_runs(prefixes[1], receivers[1], RUNS, 1, "accuracy", "1. debug over one veth pair")
    for n in ADAPTERS:
        drops = rcvbuf_errors(lab, f"rx{n}")
        debug_runs(prefixes[n], receivers[n], CYCLES, n, f"cycles-{n}", f"2. cycles, {n} adapters")
        note(kind="drops", adapters=n, count=rcvbuf_errors(lab, f"rx{n}") - drops)


def holding(lab, svc, service, label):
    handles, process_fds, server_fds = soak.service(lab, "svc", svc, SOAK)
    note(kind="holding", label=label, age=age(service), handles=handles, process_fds=process_fds,
         server_fds=server_fds)


def measure_soak(lab, prefix):
    log(f"4. {SOAK_CYCLES} cycles in one process, over {SOAK_ADAPTERS} adapters")
    started = time.monotonic_ns()
    readings, held, got = soak.run(prefix, SOAK, lab.receiver("soakrx"), SOAK_ADAPTERS,
                                   SOAK_CYCLES, SOAK_EVERY)
    note(kind="soak", every=SOAK_EVERY, adapters=SOAK_ADAPTERS,
         wall_ns=time.monotonic_ns() - started, readings=[r._asdict() for r in readings], held=held._asdict(), received=got)


def measure_service(lab, svc, control, meanwhile):
    """The service from its start to its BROADCASTS-th broadcast; MEANWHILE runs after the
    first, while it waits for the next."""
    log(f"3. the service, idle from {IDLE[0]:g} s to {IDLE[1]:g} s after it starts")
    rx = lab.receiver("svcrx")
    run(svc, EXE, "add")
    run(svc, EXE, "start")
    rig.wait_for("service running", lambda: svc.service_state() == 4, 30)
    # The admin commands have ended: the one ostrival.exe left in the namespace is the service.
    found = lab.pids("svc", "ostrival.exe")
    if len(found) != 1:
        raise SystemExit(f"expected one service process, found {found}")
    service = found[0]
    note(kind="service", pid=service, wineserver=svc.server.pid,
         control_wineserver=control.server.pid)
    log(f"service: Linux pid {service}, {age(service):.2f} s old")
    holding(lab, svc, service, "before its first broadcast")
    for label, at in zip(("idle-from", "idle-to"), IDLE):
        while age(service) < at:
            progress("3. the service, idle", min(int(age(service)), int(at)), int(at), " s")
            time.sleep(max(0, min(1, at - age(service))))
        progress("3. the service, idle", int(at), int(at), " s")
        snapshot(lab, label, service)
    if rx.take(quiet=0.01):
        raise SystemExit(f"the service sent before {IDLE[1]:g} s")
    log("3. waiting for the service's first broadcast, due 128 s after it started")
    got = rx.take(count=1, timeout=max(0, 160 - age(service)), quiet=0)
    if not got:
        raise SystemExit("no broadcast by 160 s")
    keep("service", got)
    time.sleep(2)
    snapshot(lab, "after-broadcast", service)
    holding(lab, svc, service, "after broadcast 1")
    meanwhile()
    for n in range(2, BROADCASTS + 1):
        log(f"3. waiting for the service's broadcast {n}, due {128 * n} s after it started")
        if not rx.take(count=1, timeout=max(0, 128 * n + 30 - age(service)), quiet=0):
            raise SystemExit(f"no broadcast {n} by {128 * n + 30} s")
        time.sleep(2)
        holding(lab, svc, service, f"after broadcast {n}")
    run(svc, "sc", "stop", rig.SERVICE)
    rig.wait_for("service stopped", lambda: svc.service_state() == 1, 30)
    run(svc, EXE, "remove")
    rig.wait_for("service removed", lambda: svc.service_state() is None, 30)


def machine(**more):
    note(kind="machine", **more, load=" ".join(read("/proc/loadavg").split()[:3]))


def commit():
    # No optional locks: others may be using the same working tree's index meanwhile.
    git = ["git", "--no-optional-locks"]
    head = subprocess.run(git + ["rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    changed = subprocess.run(git + ["diff", "--quiet", "HEAD", "--", ".", ":!bench/RESULTS.md"])
    return (head.stdout.strip() or "unknown") + (" with local changes" * bool(changed.returncode))


def main():
    # A signal ends the run through the lab's exit, which removes all it made.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, _: sys.exit(128 + number))
    if ADAPTERS[0] != 1:
        raise SystemExit("bench/run.py: BENCH_ADAPTERS must start with 1 (the accuracy runs)")
    note(kind="params", runs=RUNS, cycles=CYCLES, idle=IDLE, exe=EXE, broadcasts=BROADCASTS)
    machine(when="start", commit=commit())
    with rig.Lab("bench") as lab:
        started = time.monotonic()
        for n in ADAPTERS:
            for k in range(n):
                lab.veth(f"tx{n}", f"e{k}", f"198.18.{k}.1/24",
                         f"rx{n}", f"r{k}", f"198.18.{k}.2/24")
        lab.veth("svc", "e0", "198.18.0.1/24", "svcrx", "r0", "198.18.0.2/24")
        for k in range(SOAK_ADAPTERS):
            lab.veth("soak", f"e{k}", f"198.18.{k}.1/24", "soakrx", f"r{k}", f"198.18.{k}.2/24")
        log(f"{sum(ADAPTERS) + 1 + SOAK_ADAPTERS} veth pairs in {time.monotonic() - started:.1f} s")
        # Wine reads the adapters once, so every interface exists before its prefix. One at a
        # time: fresh prefixes booting side by side once left one unable to load kernel32.dll.
        prefixes = {}
        for short in [f"tx{n}" for n in ADAPTERS] + ["svc", "soak"]:
            log(f"booting a prefix in {short}")
            p = prefixes[short] = lab.prefix(short)
            log(f"{short}: wineserver {p.server.pid} in {rig.ns_of(p.server.pid)}, namespace is "
                f"{p.inode}, this process in {rig.ns_of('self')}")
        measure_debug(lab, {n: prefixes[f"tx{n}"] for n in ADAPTERS})
        measure_service(lab, prefixes["svc"], prefixes["tx1"],
                        lambda: measure_soak(lab, prefixes["soak"]))
    machine(when="end")
    if RAW:
        os.makedirs(RAW, exist_ok=True)
        with open(os.path.join(RAW, "records.jsonl"), "w") as f:
            f.writelines(json.dumps(r) + "\n" for r in records)
    log(f"writing {OUT}")
    report.write(records, OUT)
    print(read(OUT), end="")


if __name__ == "__main__":
    main()
