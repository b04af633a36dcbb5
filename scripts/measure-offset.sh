#!/bin/bash
# Measures how long after the time it carries a `debug` broadcast arrives:
# runs `ostrival.exe debug` RUNS times (default 25) under Wine in a throwaway
# namespace, receives in a peer namespace, and reports the kernel receive
# time minus the carried transmit time, median and max. Two readings of the
# carried time are shown: the standard one (fraction / 2^32) and the one the
# sender meant (fraction / 4299266 whole ms), which is the clock reading
# truncated to the millisecond. Needs root; builds nothing: pass the exe.
#
#   scripts/measure-offset.sh [path/to/ostrival.exe] [RUNS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
EXE=$(realpath "${1:-$ROOT/build/ostrival.exe}")
RUNS=${2:-25}
[[ -f $EXE ]] || { echo "measure-offset.sh: no $EXE (build it first)" >&2; exit 1; }

E2E_DEADLINE=$((60 + RUNS * 10))
. "$ROOT/tests/e2e/lib.sh"
e2e_ns_add pc
e2e_ns_add lan
e2e_veth pc eth0 198.19.1.1/24 lan eth0 198.19.1.2/24
e2e_wine_start pc

RECEIVED=$E2E_TMP/received.jsonl
e2e_receiver lan "$RECEIVED"
receiver=$E2E_LAST_PID
for run in $(seq "$RUNS"); do
  e2e_wine pc "$EXE" debug
  # Wait for this run's datagram so the lines pair up with runs.
  for _ in $(seq 50); do (($(wc -l <"$RECEIVED") >= run)) && break; sleep 0.1; done
done
e2e_stop "$receiver"

"$E2E_PY" - "$RECEIVED" "$RUNS" "$E2E_DIR" <<'EOF'
import json, statistics, sys
sys.path.insert(0, sys.argv[3])
import ntp_receive as rx

records = rx.load([sys.argv[1]])
standard, meant = [], []
for rec in records:
    f = rx.parse(bytes.fromhex(rec["hex"]))
    seconds, fraction = f["transmit"]
    carried_ns = (seconds - rx.NTP_UNIX_OFFSET) * 10**9
    standard.append(rx.arrival_offset_ms(rec))
    meant.append((rec["t_ns"] - carried_ns) / 1e6 - fraction // rx.SENDER_FRACTION_PER_MS)
print("runs %s, datagrams received %d" % (sys.argv[2], len(records)))
print("%-38s %9s %9s %9s" % ("arrival offset (ms)", "median", "max", "min"))
for label, values in [("by fraction / 2^32", standard), ("by the sender's whole ms", meant)]:
    if values:
        print("%-38s %9.3f %9.3f %9.3f" % (label, statistics.median(values), max(values),
                                          min(values)))
print("each run, by the sender's whole ms: " + " ".join("%.2f" % v for v in meant))
EOF
