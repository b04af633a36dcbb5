#!/usr/bin/python3
"""Turns the raw records of bench/run.sh into bench/RESULTS.md.

Reads from --raw: accuracy.jsonl, cycles-N.jsonl and service.jsonl (datagrams as
tools/rig/ntp_receive.py records them) and facts.jsonl (process wall times, CPU
snapshots, receive-buffer drops, machine notes written by run.sh).
"""

import argparse
import datetime
import glob
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import textwrap

sys.dont_write_bytecode = True  # leave no cache beside the test scripts
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "rig"))
import ntp_receive as rx  # noqa: E402

MINGW = "x86_64-w64-mingw32-"


def load_facts(raw):
    with open(os.path.join(raw, "facts.jsonl")) as f:
        return [json.loads(line) for line in f if line.strip()]


def datagram(rec):
    """Receive time and the two readings of the carried time, all in ns since 1970."""
    f = rx.parse(bytes.fromhex(rec["hex"]))
    seconds, fraction = f["transmit"]
    whole = (seconds - rx.NTP_UNIX_OFFSET) * 10**9
    if fraction % rx.SENDER_FRACTION_PER_MS:
        raise SystemExit("fraction %d is not whole ms: not this sender's packet" % fraction)
    return {"rx": rec["t_ns"], "standard": rx.ntp_to_unix_ns(seconds, fraction),
            "meant": whole + fraction // rx.SENDER_FRACTION_PER_MS * 10**6, "hex": rec["hex"]}


def percentile(values, share):
    """Nearest rank: the smallest value with at least SHARE of all at or below it."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def spread(values):
    return {"median": statistics.median(values), "p95": percentile(values, 0.95),
            "max": max(values), "min": min(values), "mean": statistics.fmean(values)}


def us(ns):
    return "%.0f" % (ns / 1000)


def least_squares(points):
    """Slope and intercept of the straight line nearest to (x, y) POINTS."""
    mx = statistics.fmean(x for x, _ in points)
    my = statistics.fmean(y for _, y in points)
    sxx = sum((x - mx) ** 2 for x, _ in points)
    slope = sum((x - mx) * (y - my) for x, y in points) / sxx
    return slope, my - slope * mx


def wall_ms(facts, tag):
    values = [f["ns"] / 1e6 for f in facts if f["kind"] == "wall" and f["tag"] == tag]
    return statistics.median(values) if values else float("nan")


def accuracy_section(raw, facts, runs):
    grams = [datagram(r) for r in rx.load([os.path.join(raw, "accuracy.jsonl")])
             if r["t_ns"] is not None]
    standard = [g["rx"] - g["standard"] for g in grams]
    meant = [g["rx"] - g["meant"] for g in grams]
    scale = [g["standard"] - g["meant"] for g in grams]
    s, m, k = spread(standard), spread(meant), spread(scale)
    delay_mean = m["mean"] - 500_000
    out = ["## 1. Arrival accuracy of `debug` broadcasts", "",
           "%d runs of `ostrival.exe debug` in one prefix (after one unmeasured warm-up run), "
           "one veth pair; %d datagrams received with a kernel timestamp. Offset = kernel "
           "receive time (SO_TIMESTAMPNS) minus the transmit time the packet carries; "
           "positive means it arrived after the time it states. One run of the exe, as the "
           "shell sees it, took %.0f ms (median)." % (runs, len(grams),
                                                   wall_ms(facts, "accuracy")), "",
           "| offset (µs) | median | 95th pct | max | min | mean |",
           "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for label, d in [("carried time by the standard rule (fraction / 2^32)", s),
                     ("carried time as the sender meant it (fraction / 4299266 ms)", m)]:
        out.append("| %s | %s | %s | %s | %s | %s |" % (
            label, us(d["median"]), us(d["p95"]), us(d["max"]), us(d["min"]), us(d["mean"])))
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


def cycles_of(path):
    """The datagrams of one file grouped by cycle (one payload per cycle), in order."""
    groups = {}
    for rec in rx.load([path]):
        if rec["t_ns"] is not None:
            g = datagram(rec)
            groups.setdefault(g["hex"], []).append(g)
    return sorted(groups.values(), key=lambda c: c[0]["meant"])


def cycle_rows(raw, facts):
    rows = []
    for path in glob.glob(os.path.join(raw, "cycles-*.jsonl")):
        n = int(re.search(r"cycles-(\d+)\.jsonl$", path).group(1))
        cycles = cycles_of(path)
        last = [max(g["rx"] for g in c) - c[0]["meant"] for c in cycles]
        last_std = [max(g["rx"] for g in c) - c[0]["standard"] for c in cycles]
        first = [min(g["rx"] for g in c) - c[0]["meant"] for c in cycles]
        steps = [statistics.median(b - a for a, b in zip(t, t[1:]))
                 for t in (sorted(g["rx"] for g in c) for c in cycles) if len(t) > 1]
        drops = sum(f["count"] for f in facts if f["kind"] == "drops" and f["adapters"] == n)
        rows.append({"n": n, "cycles": cycles, "last": last, "last_std": last_std,
                     "first": first, "steps": steps, "counts": [len(c) for c in cycles],
                     "drops": drops,
                     "wall": wall_ms(facts, "cycles-%d" % n)})
    return sorted(rows, key=lambda r: r["n"])


def cycles_section(raw, facts, cycles_per_n):
    rows = cycle_rows(raw, facts)
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
        counts = sorted(set(r["counts"]))
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
    out += [""] + fits(rows) + [""]
    return out


def fits(rows):
    if len(rows) < 2:
        return ["(one adapter count only: no slope)"]
    medians = [(r["n"], statistics.median(r["last"])) for r in rows]
    every = [(r["n"], v) for r in rows for v in r["last"]]
    slope, intercept = least_squares(medians)
    slope_all, intercept_all = least_squares(every)
    wall_slope, wall_icpt = least_squares([(r["n"], r["wall"]) for r in rows])
    steps = [v for r in rows for v in r["steps"]]
    first = [v for r in rows for v in r["first"]]
    lines = ["Least squares over the medians: **%.1f µs per adapter**, intercept %.0f µs "
             "(over all cycles: %.1f µs per adapter, intercept %.0f µs)." % (
                 slope / 1000, intercept / 1000, slope_all / 1000, intercept_all / 1000)]
    if steps:
        lines.append("Step by step, over all cycles with N > 1: median %.1f µs per further "
                     "datagram (one `sendto` through Wine, and the veth delivery it sets off); "
                     "the fastest cycle took %.1f µs a step, the slowest %.1f µs. Which a "
                     "cycle gets changes from one cycle to the next on this shared two-core "
                     "machine; the fastest is the nearest to the cost of a send itself." % (
                         statistics.median(steps) / 1000, min(steps) / 1000,
                         max(steps) / 1000))
    lines.append("Before the first datagram (first − carried, less the 500 µs mean "
                 "truncation: reading the clock, the socket's set-up through the wineserver, "
                 "the first send), median over all cycles: %.0f µs." % (
                     statistics.median(first) / 1000 - 500))
    lines.append("The whole `debug` process, from the shell (Wine process start, adapter "
                 "list, cycle, exit): %.2f ms per adapter, intercept %.0f ms." % (
                     wall_slope, wall_icpt))
    return lines


def imports(exe):
    text = subprocess.run([MINGW + "objdump", "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    table = []
    for line in text.splitlines():
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            table.append([found.group(1), 0])
        elif table and re.match(r"\t[0-9a-f]+\t\s*\d+\s+\S+$", line):
            table[-1][1] += 1  # one imported function: address, hint, name
    return table


def stripped_size(exe):
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "ostrival.exe")
        subprocess.run([MINGW + "strip", "-o", copy, exe], check=True)
        return os.path.getsize(copy)


def footprint_section(exe):
    out = ["## 3. Footprint", "",
           "`ostrival.exe`: **%d bytes** as built (Release, statically linked MinGW "
           "runtime, symbols kept); %d bytes after `strip`." % (
               os.path.getsize(exe), stripped_size(exe)), "",
           "| imported DLL | functions |", "| --- | ---: |"]
    out += ["| %s | %d |" % (name, count) for name, count in imports(exe)]
    return out + [""]


def snapshot(facts, label, namespace):
    """Processes by pid and threads by (pid, tid) in one snapshot of one namespace."""
    chosen = [f for f in facts if f.get("label") == label and f.get("ns") == namespace]
    return ({f["pid"]: f for f in chosen if f["kind"] == "cpu"},
            {(f["pid"], f["tid"]): f for f in chosen if f["kind"] == "task"})


def usage(facts, a, b, namespace, service, server):
    """What each process alive at both snapshots A and B used in between, service first.
    Threads are paired by id: one born in between counts whole, one that ended is lost."""
    (procs_a, tasks_a), (procs_b, tasks_b) = (snapshot(facts, a, namespace),
                                              snapshot(facts, b, namespace))
    rows = []
    for pid in sorted(set(procs_a) & set(procs_b)):
        role = "**ostrival.exe (the service)**" if pid == service else \
            "wineserver" if pid == server else procs_b[pid]["name"]
        run = switches = 0
        for key, t in tasks_b.items():
            if key[0] == pid:
                was = tasks_a.get(key, {"run_ns": 0, "switches": 0})
                run += t["run_ns"] - was["run_ns"]
                switches += t["switches"] - was["switches"]
        ended = sum(1 for key in tasks_a if key[0] == pid and key not in tasks_b)
        rows.append({"role": "%s, pid %d" % (role, pid), "ended": ended,
                     "rank": 0 if pid == service else 1 if pid == server else 2,
                     "ticks": procs_b[pid]["ticks"] - procs_a[pid]["ticks"], "run": run,
                     "switches": switches, "threads": procs_b[pid]["threads"]})
    rows.sort(key=lambda r: (r["rank"], r["role"]))
    any_a, any_b = next(iter(procs_a.values())), next(iter(procs_b.values()))
    return rows, (any_a["age"], any_b["age"])


USAGE_HEAD = ["| process | CPU s, utime + stime (/proc/PID/stat) | CPU s, scheduler run time "
              "(schedstat, all threads) | context switches (all threads) | threads |",
              "| --- | ---: | ---: | ---: | ---: |"]


def usage_rows(rows):
    hz = os.sysconf("SC_CLK_TCK")
    return ["| %s | %.2f | %.4f | %d | %d%s |" % (
        r["role"], r["ticks"] / hz, r["run"] / 1e9, r["switches"], r["threads"],
        " (%d ended)" % r["ended"] if r["ended"] else "") for r in rows]


def service_section(raw, facts, idle):
    service = next(f for f in facts if f["kind"] == "service")
    pid, server = service["pid"], service["wineserver"]
    rows, (a, b) = usage(facts, "idle-from", "idle-to", "svc", pid, server)
    out = ["### The running service, idle", "",
           "Registered and started under Wine's service manager (`ostrival.exe add`, "
           "`ostrival.exe start`, state 4 by svcprobe) in a namespace with one veth pair. "
           "Readings at %.1f s and %.1f s after the service process started (asked for %s s "
           "and %s s), so over %.1f s of waiting, before the first broadcast, in the "
           "service's namespace:" % (a, b, idle[0], idle[1], b - a), ""]
    out += USAGE_HEAD + usage_rows(rows)
    control, _ = usage(facts, "idle-from", "idle-to", "tx1", None,
                       service["control_wineserver"])
    out += ["", "At the same moments, a prefix of the same Wine without the service (the "
            "one-adapter sender of part 2, idle after its `debug` runs):", ""]
    out += USAGE_HEAD + usage_rows(control) + [""]
    grams = [datagram(r) for r in rx.load([os.path.join(raw, "service.jsonl")])
             if r["t_ns"] is not None]
    if grams:
        rows, (c, d) = usage(facts, "idle-to", "after-broadcast", "svc", pid, server)
        mark = next(f for f in facts
                    if f.get("label") == "idle-to" and f.get("ns") == "svc")
        sent = ", ".join("%.2f s" % (mark["age"] + (g["rx"] - mark["wall_ns"]) / 1e9)
                         for g in grams)
        offsets = ", ".join("%s µs" % us(g["rx"] - g["meant"]) for g in grams)
        out += ["The first broadcast arrived %s after the service process started (arrival "
                "offset by the sender's ms: %s). From %.1f s to %.1f s, taking in that one "
                "cycle:" % (sent, offsets, c, d), ""]
        out += USAGE_HEAD + usage_rows(rows)
    return out + [""]


def machine_section(facts):
    m = {}
    for f in facts:
        if f["kind"] == "machine":
            m.update(f)

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
                m.get("commit", "unknown")), "",
            "Machine: %s, %d cores, Linux %s, Debian %s, %s, %s. Load average (1, 5, 15 min) "
            "%s at the start and %s at the end: the machine is shared, so delays and costs "
            "carry its scheduling noise." % (
                cpu, os.cpu_count(), platform.release(), debian,
                first_line("/usr/lib/wine/wine64", "--version"),
                first_line(MINGW + "g++-posix", "--version"), m.get("load_start", "?"),
                m.get("load_end", "?")), ""]


def notes_section():
    return ["## How it was measured", "",
            "- `bench/run.sh` as root, from a fresh clone: installs what is missing "
            "(`scripts/deps.sh`), builds `ostrival.exe` and `svcprobe.exe` with the preset "
            "`mingw` into `./build`, measures (about 3 minutes) and rewrites this file.",
            "- Every sender runs in throwaway namespaces made by `tools/rig/lib.sh`, each "
            "with its own Wine prefix whose wineserver was started inside that namespace "
            "and checked there (`/proc/PID/ns/net`) before anything sent; all of it is "
            "removed at the end.",
            "- Sender and receiver share one kernel clock, so the offsets hold no clock "
            "difference. SO_TIMESTAMPNS is stamped when the veth hands the datagram to the "
            "receiving namespace.",
            "- The truncation model assumes Wine's `GetSystemTimeAsFileTime` is finer than "
            "1 ms; on this machine it was seen advancing in 100 ns steps (a one-off check "
            "outside the benchmark).",
            "- 95th percentile by nearest rank. utime + stime count whole clock ticks (%d per "
            "second); the scheduler's run time is in ns, summed over threads paired by id "
            "between readings." % os.sysconf("SC_CLK_TCK"),
            "- No part of this is a test: nothing here passes or fails on a number.", ""]


def wrap(line):
    """Prose to 100 columns; tables and headings stay one line each."""
    if line.startswith(("|", "#")):
        return line
    indent = "  " if line.startswith("- ") else ""
    return textwrap.fill(line, 100, subsequent_indent=indent, break_on_hyphens=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--raw", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--cycles", type=int, required=True)
    parser.add_argument("--idle", nargs=2, required=True)
    args = parser.parse_args()
    facts = load_facts(args.raw)
    text = ["# Ostrival benchmark", ""] + machine_section(facts)
    text += accuracy_section(args.raw, facts, args.runs)
    text += cycles_section(args.raw, facts, args.cycles)
    text += footprint_section(args.exe) + service_section(args.raw, facts, args.idle)
    text += notes_section()
    with open(args.out, "w") as f:
        f.write("\n".join(wrap(line) for line in text).rstrip("\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
