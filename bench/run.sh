#!/bin/bash
# Benchmarks ostrival.exe under Wine and writes bench/RESULTS.md:
#   1. arrival accuracy: `debug` run many times in one prefix over one veth pair; the kernel
#      receive time of each broadcast (SO_TIMESTAMPNS) against the time it carries;
#   2. cost of one cycle against the number of adapters (1, 16, 64, 256): the receive time
#      of the last datagram of a cycle against the carried time;
#   3. footprint: exe size and imports, and the CPU time the running service uses while it
#      waits for its first broadcast (and for that broadcast).
# Every sender runs inside throwaway namespaces made by the e2e rig, each with its own Wine
# prefix whose wineserver lives in that namespace. About 3 minutes; needs root.
#
#   bench/run.sh                  deps, build with the preset mingw (./build), measure
#   OSTRIVAL_EXE=... SVCPROBE_EXE=... bench/run.sh     measure these, build nothing
# Knobs: BENCH_RUNS (100), BENCH_CYCLES (10), BENCH_ADAPTERS ("1 16 64 256"),
# BENCH_IDLE ("10 110", seconds after the service process started), BENCH_OUT
# (bench/RESULTS.md), BENCH_RAW (a folder to keep the raw records in).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
if [[ $(id -u) != 0 ]]; then
  echo "bench/run.sh: run as root; it creates network namespaces" >&2
  exit 1
fi

RUNS=${BENCH_RUNS:-100}
CYCLES=${BENCH_CYCLES:-10}
read -r -a ADAPTERS <<<"${BENCH_ADAPTERS:-1 16 64 256}"
read -r IDLE_FROM IDLE_TO <<<"${BENCH_IDLE:-10 110}"
OUT=$(realpath -m "${BENCH_OUT:-bench/RESULTS.md}")
# The accuracy runs use the sender with a single adapter.
if [[ ${ADAPTERS[0]} != 1 ]]; then
  echo "bench/run.sh: BENCH_ADAPTERS must start with 1" >&2
  exit 1
fi

scripts/deps.sh
if [[ -z ${OSTRIVAL_EXE:-} || -z ${SVCPROBE_EXE:-} ]]; then
  echo "== building ostrival.exe and svcprobe.exe (preset mingw, ./build)" >&2
  cmake --preset mingw >/dev/null
  cmake --build build -j2 --target ostrival svcprobe >/dev/null
  OSTRIVAL_EXE=$ROOT/build/ostrival.exe
  SVCPROBE_EXE=$ROOT/build/tools/svcprobe.exe
fi
OSTRIVAL_EXE=$(realpath "$OSTRIVAL_EXE")
SVCPROBE_EXE=$(realpath "$SVCPROBE_EXE")

E2E_DEADLINE=${E2E_DEADLINE:-840}
. tools/rig/lib.sh
RAW=$E2E_TMP/raw
mkdir -p "$RAW"
# Measurements for the report, one JSON object per line: fact KEY VALUE... (numbers bare,
# anything else quoted; no value holds a quote or a backslash).
FACTS=$RAW/facts.jsonl
fact() {
  local out='' sep=''
  while (($#)); do
    if [[ $2 =~ ^-?[0-9]+$ ]]; then out+="$sep\"$1\":$2"; else out+="$sep\"$1\":\"$2\""; fi
    sep=,; shift 2
  done
  printf '{%s}\n' "$out" >>"$FACTS"
}
now_ns() { date +%s%N; }

# veths TX RX COUNT: COUNT veth pairs from TX to RX, pair k on 198.18.k.0/24 (.1 in TX,
# .2 in RX); two `ip -batch` runs, since one `ip` per step takes seconds for 256 pairs.
veths() {
  local tx=$1 rx=$2 k
  for ((k = 0; k < $3; k++)); do
    printf 'link add e%d type veth peer name r%d netns %s\n' "$k" "$k" "$(e2e_ns "$rx")"
    printf 'addr add 198.18.%d.1/24 dev e%d\nlink set e%d up\n' "$k" "$k" "$k"
  done >"$RAW/batch-$tx"
  for ((k = 0; k < $3; k++)); do
    printf 'addr add 198.18.%d.2/24 dev r%d\nlink set r%d up\n' "$k" "$k" "$k"
  done >"$RAW/batch-$rx"
  ip -n "$(e2e_ns "$tx")" -batch "$RAW/batch-$tx"
  ip -n "$(e2e_ns "$rx")" -batch "$RAW/batch-$rx"
}

# lines FILE: how many records FILE holds (0 before the first).
lines() { if [[ -f $1 ]]; then wc -l <"$1"; else echo 0; fi; }

# debug_runs NS RECORDS COUNT ADAPTERS TAG: COUNT runs of `debug` in NS, each waited for
# until its ADAPTERS datagrams are in RECORDS; process wall times go to the facts.
debug_runs() {
  local short=$1 records=$2 adapters=$4 tag=$5 run want started ended
  for ((run = 1; run <= $3; run++)); do
    want=$(($(lines "$records") + adapters))
    started=$(now_ns)
    e2e_wine "$short" "$OSTRIVAL_EXE" debug
    ended=$(now_ns)
    for _ in $(seq 100); do (($(lines "$records") >= want)) && break; sleep 0.05; done
    fact kind wall tag "$tag" run "$run" ns $((ended - started))
  done
}

# udp_errors NS: the UDP receive-buffer drops counted in NS so far.
udp_errors() {
  # shellcheck disable=SC2016
  ip netns exec "$(e2e_ns "$1")" awk '/^Udp:/ { if (seen++) print $6 }' /proc/net/snmp
}

# --- namespaces and prefixes: every interface exists before its prefix starts ---
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- . ':!bench/RESULTS.md' 2>/dev/null || commit+=" with local changes"
fact kind machine load_start "$(cut -d' ' -f1-3 /proc/loadavg)" commit "$commit"
senders=()
for n in "${ADAPTERS[@]}"; do
  e2e_ns_add "tx$n"
  e2e_ns_add "rx$n"
  veths "tx$n" "rx$n" "$n"
  senders+=("tx$n")
done
e2e_ns_add svc
e2e_ns_add svcrx
veths svc svcrx 1
# One at a time: five fresh prefixes booting side by side on a busy machine once left one
# unable to load kernel32.dll.
for short in "${senders[@]}" svc; do
  e2e_log "booting a prefix in $short"
  e2e_wine_start "$short"
done
for short in "${senders[@]}" svc; do
  server=${E2E_SERVER[$short]}
  e2e_log "$short: wineserver $server in $(readlink "/proc/$server/ns/net")," \
    "namespace is $(e2e_ns_id "$short"), this shell in $E2E_ROOT_NS"
done

# --- 1. arrival accuracy, and 2. cost against the number of adapters ---
# A first run in a fresh prefix loads everything from disk; it is not measured.
for short in "${senders[@]}"; do e2e_wine "$short" "$OSTRIVAL_EXE" debug; done

e2e_log "1. $RUNS debug runs over one veth pair"
e2e_receiver rx1 "$RAW/accuracy.jsonl"
receiver=$E2E_LAST_PID
debug_runs tx1 "$RAW/accuracy.jsonl" "$RUNS" 1 accuracy
e2e_stop "$receiver"

for n in "${ADAPTERS[@]}"; do
  e2e_log "2. $CYCLES cycles with $n adapters"
  drops=$(udp_errors "rx$n")
  e2e_receiver "rx$n" "$RAW/cycles-$n.jsonl"
  receiver=$E2E_LAST_PID
  debug_runs "tx$n" "$RAW/cycles-$n.jsonl" "$CYCLES" "$n" "cycles-$n"
  e2e_stop "$receiver"
  fact kind drops adapters "$n" count $(($(udp_errors "rx$n") - drops))
done

# --- 3. the running service, idle ---
CLK_TCK=$(getconf CLK_TCK)

# age PID: seconds since process PID started, to the hundredth.
age() {
  local stat; stat=$(<"/proc/$1/stat")
  read -r -a stat <<<"${stat##*) }"
  awk -v start="${stat[19]}" -v hz="$CLK_TCK" '{ printf "%.2f", $1 - start / hz }' /proc/uptime
}

# sleep_to_age PID SECONDS: returns once process PID is that old.
sleep_to_age() {
  local left; left=$(awk -v a="$(age "$1")" -v t="$2" 'BEGIN { print (t > a ? t - a : 0) }')
  sleep "$left"
}

# snapshot LABEL: what every process in the service's namespace and in tx1 (the same Wine,
# no service: the control) has used so far, tagged with the service's age.
snapshot() {
  local when short
  when=$(age "$service")
  for short in svc tx1; do
    # shellcheck disable=SC2046
    "$E2E_PY" bench/snapshot.py "$FACTS" "$1" "$short" "$when" \
      $(ip netns pids "$(e2e_ns "$short")")
  done
}

# probe ARGS...: svcprobe on the service, its output in $probed.
probe() {
  e2e_wine svc "$SVCPROBE_EXE" Ostrival "$@" >"$RAW/probe.out" 2>&1 || true
  probed=$(tr -d '\r' <"$RAW/probe.out")
}

e2e_log "3. the service, idle from ${IDLE_FROM} s to ${IDLE_TO} s after it starts"
e2e_receiver svcrx "$RAW/service.jsonl"
receiver=$E2E_LAST_PID
e2e_wine svc "$OSTRIVAL_EXE" add >/dev/null 2>&1
e2e_wine svc "$OSTRIVAL_EXE" start >/dev/null 2>&1
probe wait 4 30
[[ $probed == state=4 ]] || e2e_die "service did not start: $probed"
probe status
# The admin commands have ended: the one ostrival.exe left in the namespace is the service.
found=()
for pid in $(ip netns pids "$(e2e_ns svc)"); do
  cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || continue
  if [[ ${cmdline,,} == *ostrival.exe* ]]; then found+=("$pid"); fi
done
((${#found[@]} == 1)) || e2e_die "expected one service process, found: ${found[*]:-none}"
service=${found[0]}
fact kind service pid "$service" windows_pid "${probed##*pid=}" wineserver "${E2E_SERVER[svc]}" \
  control_wineserver "${E2E_SERVER[tx1]}"
e2e_log "service: Linux pid $service, ${probed//$'\n'/ }, $(age "$service") s old"

sleep_to_age "$service" "$IDLE_FROM"
snapshot idle-from
sleep_to_age "$service" "$IDLE_TO"
snapshot idle-to
(($(lines "$RAW/service.jsonl") == 0)) || e2e_die "the service sent before ${IDLE_TO} s"
e2e_log "waiting for the service's first broadcast"
while (($(lines "$RAW/service.jsonl") == 0)); do
  awk -v a="$(age "$service")" 'BEGIN { exit !(a < 160) }' || e2e_die "no broadcast by 160 s"
  sleep 0.2
done
sleep 2
snapshot after-broadcast
e2e_stop "$receiver"

probe control 1
probe wait 1 30
[[ $probed == state=1 ]] || e2e_die "service did not stop: $probed"
e2e_wine svc "$OSTRIVAL_EXE" remove >/dev/null 2>&1
probe exists
[[ $probed == exists=0 ]] || e2e_die "service still registered: $probed"

# --- report ---
fact kind machine load_end "$(cut -d' ' -f1-3 /proc/loadavg)"
e2e_log "writing $OUT"
"$E2E_PY" bench/report.py --raw "$RAW" --exe "$OSTRIVAL_EXE" --out "$OUT" \
  --runs "$RUNS" --cycles "$CYCLES" --idle "$IDLE_FROM" "$IDLE_TO"
if [[ -n ${BENCH_RAW:-} ]]; then mkdir -p "$BENCH_RAW" && cp -r "$RAW"/. "$BENCH_RAW"/; fi
cat "$OUT"
