#!/usr/bin/python3
"""Appends what each given process has used so far to a JSON-lines file.

  snapshot.py FACTS LABEL NAMESPACE AGE PID...

AGE is the service's age in seconds, stored with the wall clock read here.

Per process one line: utime + stime in clock ticks from /proc/PID/stat (threads
that have ended included) and its name. Per thread one line: the scheduler's
run time in ns (/proc/PID/task/TID/schedstat) and its context switches, which
the kernel keeps per thread only; bench/report.py pairs threads across two
snapshots, so a thread that ends in between is seen missing rather than
subtracted.
"""

import json
import os
import sys
import time


def read(path):
    with open(path) as f:
        return f.read()


def process(pid):
    fields = read("/proc/%s/stat" % pid).rsplit(")", 1)[1].split()
    # After the name: field 3 (state) is fields[0], so utime (14) and stime (15) are 11, 12.
    words = read("/proc/%s/cmdline" % pid).split("\0")[0]
    name = words.replace("\\", "/").rsplit("/", 1)[-1] or "?"
    return {"ticks": int(fields[11]) + int(fields[12]), "name": name}


def thread(pid, tid):
    task = "/proc/%s/task/%s" % (pid, tid)
    switches = 0
    for line in read(task + "/status").splitlines():
        if "ctxt_switches:" in line:  # voluntary and involuntary
            switches += int(line.split(":")[1])
    return {"run_ns": int(read(task + "/schedstat").split()[0]), "switches": switches}


def threads(pid):
    tasks = []
    for tid in os.listdir("/proc/%s/task" % pid):
        try:
            tasks.append(dict(thread(pid, tid), tid=int(tid)))
        except (FileNotFoundError, ProcessLookupError):
            pass  # ended while being read
    return tasks


def main():
    facts, label, namespace, age = sys.argv[1:5]
    now = time.time_ns()  # pairs AGE with the receive times of datagrams
    lines = []
    for pid in sys.argv[5:]:
        try:
            record = process(pid)
            tasks = threads(pid)
        except (FileNotFoundError, ProcessLookupError):
            continue  # ended while being read
        base = {"label": label, "ns": namespace, "age": float(age), "wall_ns": now,
                "pid": int(pid)}
        lines.append(dict(base, kind="cpu", threads=len(tasks), **record))
        lines += [dict(base, kind="task", **t) for t in tasks]
    with open(facts, "a") as out:
        out.writelines(json.dumps(line) + "\n" for line in lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
