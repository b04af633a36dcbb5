#!/usr/bin/python3
"""Turns the records of bench/run.py into bench/RESULTS.md.

  report.py RECORDS OUT     again from a BENCH_RAW folder's records.jsonl
"""

import datetime
import json
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import textwrap

import pefile

sys.dont_write_bytecode = True  # leave no cache beside the scripts
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
import plots  # noqa: E402
import soak  # noqa: E402
from rig import WINE, carried_ns  # noqa: E402

MINGW = "x86_64-w64-mingw32-"
FRACTION_PER_MS = 4299266  # what the sender writes for each whole millisecond
HZ = os.sysconf("SC_CLK_TCK")


def datagram(rec):
    """Receive time and the two readings of the carried time, all in ns since 1970."""
    data = bytes.fromhex(rec["hex"])
    seconds, fraction = struct.unpack("!II", data[40:48])
    if fraction % FRACTION_PER_MS:
        raise SystemExit(f"fraction {fraction} is not whole ms: not this sender's packet")
    return {"rx": rec["t_ns"], "standard": carried_ns(seconds, fraction),
            "meant": carried_ns(seconds, 0) + fraction // FRACTION_PER_MS * 10**6, "data": data}


def datagrams(records, tag):
    return [datagram(r) for r in records
            if r["kind"] == "datagram" and r["tag"] == tag and r["t_ns"] is not None]


def spread(values):
    return {"median": statistics.median(values),
            "p95": statistics.quantiles(values, n=20, method="inclusive")[-1],
            "max": max(values), "min": min(values), "mean": statistics.fmean(values)}


def us(ns):
    return "%.0f" % (ns / 1000)


def wall_ms(records, tag):
    values = [r["ns"] / 1e6 for r in records if r["kind"] == "wall" and r["tag"] == tag]
    return statistics.median(values) if values else float("nan")


def accuracy_section(records, runs, folder):
    grams = datagrams(records, "accuracy")
    standard, meant = ([g["rx"] - g[reading] for g in grams] for reading in ("standard", "meant"))
    plots.arrival(os.path.join(folder, "arrival.svg"), standard, meant)
    s, m, k = spread(standard), spread(meant), spread([g["standard"] - g["meant"] for g in grams])
    delay_mean = m["mean"] - 500_000
    out = ["## 1. Arrival accuracy of `debug` broadcasts", "",
           "%d runs of `ostrival.exe debug` in one prefix (after one unmeasured warm-up run), "
           "one veth pair; %d datagrams received with a kernel timestamp. Offset = kernel "
           "receive time (SO_TIMESTAMPNS) minus the transmit time the packet carries; "
           "positive means it arrived after the time it states. One run of the exe, from "
           "outside Wine (`ip netns exec` to its exit), took %.0f ms (median)." % (
               runs, len(grams), wall_ms(records, "accuracy")), "",
           "![How the arrival offsets spread, by both readings of the carried time]"
           "(arrival.svg)", "",
           "| offset (µs) | median | 95th pct | max | min | mean |",
           "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for label, d in [("carried time by the standard rule (fraction / 2^32)", s),
                     ("carried time as the sender meant it (fraction / 4299266 ms)", m)]:
        out.append("| %s | %s |" % (label, " | ".join(
            us(d[key]) for key in ("median", "p95", "max", "min", "mean"))))
    out += ["", "Where the offset comes from (standard-rule offset = delay + truncation "
            "− fraction scale):", "",
            "| part | how it is known | mean (µs) | range (µs) |",
            "| --- | --- | ---: | --- |",
            "| truncation to whole ms | the clock reading lies uniformly inside its carried "
            "millisecond; not visible per datagram | 500 | 0 to 999 |",
            "| fraction scale (ms × 4299266 read as fraction / 2^32) | computed per datagram: "
            "standard reading minus the sender's ms | %s | %s to %s, i.e. ≈ ms × 0.996 |"
            % (us(k["mean"]), us(k["min"]), us(k["max"])),
            "| delay: socket set-up through the wineserver, send, delivery | sender's-ms "
            "offset minus the mean truncation | %s | %s to %s (each datagram's lies between "
            "its offset − 1000 and its offset) |" % (
                us(delay_mean), us(max(0, m["min"] - 1_000_000)), us(m["max"])),
            "", "On average, then, the representation adds %+.0f µs to the standard-rule "
            "offset (truncation +500 µs: the stamp is early; fraction scale %+.0f µs: it "
            "reads late) and delay adds about %+.0f µs. By the sender's own ms only "
            "truncation and delay remain." % (
                (500_000 - k["mean"]) / 1000, -k["mean"] / 1000, delay_mean / 1000), ""]
    return out


def cycle_rows(records):
    rows = []
    for n in sorted({r["adapters"] for r in records if r["kind"] == "drops"}):
        groups = {}  # one payload per cycle
        for g in datagrams(records, f"cycles-{n}"):
            groups.setdefault(g["data"], []).append(g)
        cycles = sorted(groups.values(), key=lambda c: c[0]["meant"])
        steps = [statistics.median(b - a for a, b in zip(t, t[1:]))
                 for t in (sorted(g["rx"] for g in c) for c in cycles) if len(t) > 1]
        rows.append({"n": n, "cycles": cycles, "steps": steps,
                     "last": [max(g["rx"] for g in c) - c[0]["meant"] for c in cycles],
                     "last_std": [max(g["rx"] for g in c) - c[0]["standard"] for c in cycles],
                     "first": [min(g["rx"] for g in c) - c[0]["meant"] for c in cycles],
                     "drops": sum(r["count"] for r in records
                                  if r["kind"] == "drops" and r["adapters"] == n),
                     "wall": wall_ms(records, f"cycles-{n}")})
    return rows


def cycles_section(records, cycles_per_n, folder):
    rows = cycle_rows(records)
    out = ["## 2. Cost of one cycle against the number of adapters", "",
           "`debug` in a namespace with N veths (one /24 each; all peers in one receiving "
           "namespace), %d cycles per N after one unmeasured warm-up run. Cost = kernel "
           "receive time of the last datagram of the cycle minus the carried time. The step "
           "is the time from one datagram of a cycle to the next: its median in each cycle, "
           "then the median, least and greatest of those over the cycles." % cycles_per_n, "",
           "| adapters | cycles | datagrams per cycle | last − carried, sender's ms (µs, "
           "median; min to max) | last − carried, standard rule (µs, median) | "
           "first − carried (µs, median) | step (µs, median; fastest to slowest cycle) | "
           "`debug` process, wall (ms, median) |",
           "| ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: |"]
    for r in rows:
        counts = sorted({len(c) for c in r["cycles"]})
        note = "" if counts == [r["n"]] else " (expected %d)" % r["n"]
        if r["drops"]:
            note += ", %d receive-buffer drops" % r["drops"]
        steps = "%s; %s to %s" % tuple(us(f(r["steps"])) for f in (
            statistics.median, min, max)) if r["steps"] else "–"
        out.append("| %d | %d | %s%s | %s; %s to %s | %s | %s | %s | %.0f |" % (
            r["n"], len(r["cycles"]), "/".join(map(str, counts)), note,
            us(statistics.median(r["last"])), us(min(r["last"])), us(max(r["last"])),
            us(statistics.median(r["last_std"])),
            us(statistics.median(r["first"])), steps, r["wall"]))
    return out + [""] + fits(rows, folder) + [""]


def fits(rows, folder):
    if len(rows) < 2:
        return ["(one adapter count only: no slope)"]
    points = [(r["n"], v / 1000) for r in rows for v in r["last"]]
    medians = [(r["n"], statistics.median(r["last"]) / 1000) for r in rows]
    slope, intercept = statistics.linear_regression(*zip(*medians))
    slope_all, intercept_all = statistics.linear_regression(*zip(*points))
    wall_slope, wall_icpt = statistics.linear_regression([r["n"] for r in rows],
                                                         [r["wall"] for r in rows])
    plots.cycles(os.path.join(folder, "cycles.svg"), points, medians, (slope, intercept))
    steps = [v for r in rows for v in r["steps"]]
    first = [v for r in rows for v in r["first"]]
    lines = ["![What a cycle costs against the number of adapters, with the fitted line]"
             "(cycles.svg)", "",
             "Least squares over the medians: **%.1f µs per adapter**, intercept %.0f µs "
             "(over all cycles: %.1f µs per adapter, intercept %.0f µs)." % (
                 slope, intercept, slope_all, intercept_all)]
    if steps:
        lines.append("Step by step, over all cycles with N > 1: median %.1f µs per further "
                     "datagram (one `sendto` through Wine, and the veth delivery it sets off); "
                     "the fastest cycle took %.1f µs a step, the slowest %.1f µs. Which a "
                     "cycle gets changes from one cycle to the next on this shared two-core "
                     "machine; the fastest is the nearest to the cost of a send itself." % (
                         statistics.median(steps) / 1000, min(steps) / 1000,
                         max(steps) / 1000))
    lines.append("Before the first datagram (first − carried, less the 500 µs mean "
                 "truncation: from the clock reading, the socket's set-up through the "
                 "wineserver, the first send and its delivery), median over all cycles: "
                 "%.0f µs." % (
                     statistics.median(first) / 1000 - 500))
    lines.append("The whole `debug` process, from outside Wine (Wine process start, adapter "
                 "list, cycle, exit): %.2f ms per adapter, intercept %.0f ms." % (
                     wall_slope, wall_icpt))
    return lines


def imports(exe):
    """(DLL, number of functions imported from it), in the order of the import table."""
    return [(i.dll.decode(), len(i.imports)) for i in pefile.PE(exe).DIRECTORY_ENTRY_IMPORT]


def footprint_section(exe):
    with tempfile.TemporaryDirectory() as tmp:
        stripped = os.path.join(tmp, "ostrival.exe")
        subprocess.run([MINGW + "strip", "-o", stripped, exe], check=True)
        out = ["## 3. Footprint", "",
               "`ostrival.exe`: **%d bytes** as built (Release, statically linked MinGW "
               "runtime, symbols kept); %d bytes after `strip`." % (
                   os.path.getsize(exe), os.path.getsize(stripped)), "",
               "| imported DLL | functions |", "| --- | ---: |"]
    return out + ["| %s | %d |" % (name, count) for name, count in imports(exe)] + [""]


def usage(records, a, b, ns, service, server):
    """What each process alive at both snapshots A and B used in between, service first, as
    table rows. Threads are paired by id: one born in between counts whole, one that ended
    is lost. Also the service's ages at A and B."""
    before, after = ({r["pid"]: r for r in records if r["kind"] == "cpu" and r["label"] == label
                      and r["ns"] == ns} for label in (a, b))
    rows = []
    for pid in set(before) & set(after):
        was, now = before[pid]["tasks"], after[pid]["tasks"]
        run, switches = (sum(t[i] - was.get(tid, [0, 0])[i] for tid, t in now.items())
                         for i in (0, 1))
        ended = len(set(was) - set(now))
        rank = 0 if pid == service else 1 if pid == server else 2
        role = ["**ostrival.exe (the service)**", "wineserver", after[pid]["name"]][rank]
        rows.append((rank, role, "| %s, pid %d | %.2f | %.4f | %d | %d%s |" % (
            role, pid, (after[pid]["ticks"] - before[pid]["ticks"]) / HZ, run / 1e9, switches,
            len(now), " (%d ended)" % ended if ended else "")))
    ages = [next(iter(side.values()))["age"] for side in (before, after)]
    return [row for *_, row in sorted(rows)], ages


USAGE_HEAD = ["| process | CPU s, utime + stime (/proc/PID/stat) | CPU s, scheduler run time "
              "(schedstat, all threads) | context switches (all threads) | threads |",
              "| --- | ---: | ---: | ---: | ---: |"]


def service_section(records, idle):
    service = next(r for r in records if r["kind"] == "service")
    pid, server = service["pid"], service["wineserver"]
    rows, (a, b) = usage(records, "idle-from", "idle-to", "svc", pid, server)
    out = ["### The running service, idle", "",
           "Registered and started under Wine's service manager (`ostrival.exe add`, "
           "`ostrival.exe start`, state 4 by `sc query`) in a namespace with one veth pair. "
           "Readings at %.1f s and %.1f s after the service process started (asked for %g s "
           "and %g s), so over %.1f s of waiting, before the first broadcast, in the "
           "service's namespace:" % (a, b, idle[0], idle[1], b - a), ""]
    out += USAGE_HEAD + rows
    control, _ = usage(records, "idle-from", "idle-to", "tx1", None,
                       service["control_wineserver"])
    out += ["", "At the same moments, a prefix of the same Wine without the service (the "
            "one-adapter sender of part 2, idle after its `debug` runs):", ""]
    out += USAGE_HEAD + control + [""]
    grams = datagrams(records, "service")
    if grams:
        rows, (c, d) = usage(records, "idle-to", "after-broadcast", "svc", pid, server)
        mark = next(r for r in records if r["kind"] == "cpu" and r["label"] == "idle-to")
        sent = ", ".join("%.2f s" % (mark["age"] + (g["rx"] - mark["wall_ns"]) / 1e9)
                         for g in grams)
        offsets = ", ".join("%s µs" % us(g["rx"] - g["meant"]) for g in grams)
        out += ["The first broadcast arrived %s after the service process started (arrival "
                "offset by the sender's ms: %s). From %.1f s to %.1f s, taking in that one "
                "cycle:" % (sent, offsets, c, d), ""] + USAGE_HEAD + rows
    return out + [""]


FIGURES = {"handles": "handles (system list)", "private_kb": "touched private memory (kB)",
           "process_fds": "process fds", "server_fds": "wineserver fds"}
SETTLE = 2000  # cycles before the figures are judged by the leak check too
YEAR = 246_000  # cycles of 128 s in a year


def soak_section(records, folder):
    run = next(r for r in records if r["kind"] == "soak")
    readings = [soak.Reading(**r) for r in run["readings"]]
    held, first, last = soak.Reading(**run["held"]), readings[0], readings[-1]
    ms = [b.us / (b.cycles - a.cycles) / 1000 for a, b in zip(readings, readings[1:])]
    everything, settled = soak.slopes(readings), soak.slopes(
        [r for r in readings if r.cycles >= SETTLE])
    plots.leaks(os.path.join(folder, "leaks.svg"),
                {FIGURES[f]: [(r.cycles, getattr(r, f)) for r in readings] for f in FIGURES})
    sent = last.cycles * run["adapters"]
    out = ["## 4. A long run: what the cycles leave behind", "",
           "`transmit_cycle()` run %d times in one process (`soak.exe`, `tools/soak`, linked to "
           "the program's own code) under Wine, in a namespace with %d veth pairs; %d of %d "
           "datagrams received. A reading before the first cycle and after every %d: the "
           "process's handles by the system handle list (`NtQuerySystemInformation`, "
           "`SystemHandleInformation`, counted by its process id; Wine's "
           "`GetProcessHandleCount` always says 0), its touched private memory "
           "(`PagefileUsage`; `PrivateUsage` is left unwritten), and from outside its file "
           "descriptors and its wineserver's (`/proc/PID/fd`), each cycle's socket being one "
           "of each. A cycle took **%.2f ms** (median over the %d-cycle stretches; %.2f to "
           "%.2f), %.0f s for the run from outside, readings included." % (
               last.cycles, run["adapters"], sum(run["received"].values()), sent, run["every"],
               statistics.median(ms), run["every"], min(ms), max(ms), run["wall_ns"] / 1e9), "",
           "![What the process and its wineserver hold against the cycles it has run]"
           "(leaks.svg)", "",
           "| figure | before the first cycle | after %d | at the end | least to greatest "
           "after %d | growth per cycle, all readings | growth per cycle, after %d | a year "
           "(%d cycles) at that growth |" % (readings[1].cycles, SETTLE, SETTLE, YEAR),
           "| --- | ---: | ---: | ---: | --- | ---: | ---: | ---: |"]
    for f, label in FIGURES.items():
        late = [getattr(r, f) for r in readings if r.cycles >= SETTLE]
        out.append("| %s | %d | %d | %d | %d to %d | %+.6f | **%+.6f** | %+.0f |" % (
            label, getattr(first, f), getattr(readings[1], f), getattr(last, f), min(late),
            max(late), everything[f], settled[f], settled[f] * YEAR))
    out += ["", "Growth is the least-squares slope of the figure against the cycle count. "
            "Each figure first proved that it sees what a leak would leave: with %s held on "
            "purpose before the cycles, it read %s more." % (
                "64 sockets that had each sent a datagram and 4096 kB touched",
                ", ".join("%+d %s" % (getattr(held, f) - getattr(first, f), label)
                          for f, label in FIGURES.items())), ""]
    return out


def holdings_section(records):
    holdings = [r for r in records if r["kind"] == "holding"]
    out = ["### The running service across its broadcasts", "",
            "What the service of part 3 holds, read a few seconds after each of its first %d "
            "broadcasts and once before them: handles by the system handle list (read by "
            "`soak.exe ostrival.exe` in its prefix), its file descriptors and its "
            "wineserver's. The first is taken just after `start`, before any cycle: what the "
            "first cycle opens and keeps shows once, between it and the second, and from "
            "there each reading should equal the one before." % (len(holdings) - 1), "",
            "| reading | service age (s) | handles | process fds | wineserver fds |",
            "| --- | ---: | ---: | ---: | ---: |"]
    out += ["| %s | %.1f | %d | %d | %d |" % (h["label"], h["age"], h["handles"],
                                             h["process_fds"], h["server_fds"]) for h in holdings]
    return out + [""]


def machine_section(records):
    load = {r["when"]: r for r in records if r["kind"] == "machine"}

    def first_line(*command):
        try:
            return subprocess.run(command, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "unknown"
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown")
    with open("/etc/debian_version") as f:
        debian = f.read().strip()
    return ["Measured %s by `bench/run.sh` at commit %s." % (
                datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                load["start"]["commit"]), "",
            "Machine: %s, %d cores, Linux %s, Debian %s, %s, %s. Load average (1, 5, 15 min) "
            "%s at the start and %s at the end: the machine is shared, so delays and costs "
            "carry its scheduling noise." % (
                cpu, os.cpu_count(), platform.release(), debian, first_line(WINE, "--version"),
                first_line(MINGW + "g++-posix", "--version"), load["start"]["load"],
                load["end"]["load"]), ""]


NOTES = [
    "## How it was measured", "",
    "- `bench/run.sh` as root, from a fresh clone: installs what is missing (`scripts/deps.sh`), "
    "builds `ostrival.exe` with the preset `mingw` into `./build`, measures (about 8 minutes, "
    "`bench/run.py`) and rewrites this file.",
    "- Every sender runs in throwaway namespaces made by `tools/rig/rig.py`, each with its own "
    "Wine prefix whose wineserver was started inside that namespace and checked there "
    "(`/proc/PID/ns/net`) before anything ran; all of it is removed at the end.",
    "- Sender and receiver share one kernel clock, so the offsets hold no clock difference. "
    "SO_TIMESTAMPNS is stamped when the veth hands the datagram to the receiving namespace; "
    "the receiver reads after each run, from a buffer large enough for a whole cycle.",
    "- The sender reads `GetSystemTimePreciseAsFileTime` (looked up at run time: Windows 7 "
    "lacks it and gets the coarse clock, a 15.6 ms tick) once a cycle, after the adapter list "
    "and before its socket, and cuts it to the millisecond: the stamp is 0 to 999 µs early, "
    "500 µs on average, the truncation above.",
    "- Percentiles interpolated (`statistics.quantiles`, inclusive), fits by least squares "
    "(`statistics.linear_regression`), imports read with `pefile`. utime + stime count whole clock ticks (%d per second); "
    "the scheduler's run time is in ns, summed over threads paired by id between readings." % HZ,
    "- No part of this is a test: nothing here passes or fails on a number.", ""]


def wrap(line):
    """Prose to 100 columns; tables and headings stay one line each."""
    if line.startswith(("|", "#")):
        return line
    indent = "  " if line.startswith("- ") else ""
    return textwrap.fill(line, 100, subsequent_indent=indent, break_on_hyphens=False)


def write(records, out):
    params = next(r for r in records if r["kind"] == "params")
    text = ["# Ostrival benchmark", ""] + machine_section(records)
    folder = os.path.dirname(os.path.abspath(out))
    text += accuracy_section(records, params["runs"], folder)
    text += cycles_section(records, params["cycles"], folder)
    text += footprint_section(params["exe"]) + service_section(records, params["idle"])
    text += soak_section(records, folder) + holdings_section(records)
    with open(out, "w") as f:
        f.write("\n".join(wrap(line) for line in text + NOTES).rstrip("\n") + "\n")


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        write([json.loads(line) for line in f], sys.argv[2])
