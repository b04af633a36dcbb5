#!/bin/bash
# Adapters that come and go under the running service: each cycle must send
# to the adapters as they are when it runs, not as they were at start.
#   start:            a1 10.30.1.1/24, a2 10.30.2.1/24, a3 10.30.3.1/24
#   before cycle 1:   b4 10.30.4.1/24 added, a2 deleted, a3 now 10.31.3.1/16
#   before cycle 2:   c5 10.30.5.1/24 added, b4 deleted, a1 now 10.32.1.1/24
# Wine keeps an interface's type by index, so added links get names never
# used before. Also checks the service process holds no more handles after
# the second cycle than after the first. Takes two intervals (~260 s).
E2E_DEADLINE=${E2E_DEADLINE:-420}
. "$(dirname "$0")/../../tools/rig/lib.sh"

: "${OSTRIVAL_EXE:?}" "${SVCPROBE_EXE:?}" "${ADAPTERLIST_EXE:?}"
HANDLE_SLACK=${HANDLE_SLACK:-2}

probe() { e2e_wine host "$SVCPROBE_EXE" "$@" | tr -d '\r'; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
host_ip() { ip -n "$(e2e_ns host)" "$@"; }
peer_ip() { ip -n "$(e2e_ns peer)" "$@"; }

# readdress HOST_IF HOST_ADDR PEER_IF PEER_ADDR: both ends of a link move to new addresses.
readdress() {
  host_ip addr flush dev "$1"
  host_ip addr add "$2" dev "$1"
  peer_ip addr flush dev "$3"
  peer_ip addr add "$4" dev "$3"
}

# Prints GetAdaptersInfo's list (Ethernet records with our addresses) as the
# service will read it, one "name ip/mask" per adapter.
adapters() {
  e2e_wine host "$ADAPTERLIST_EXE" | tr -d '\r' |
    sed -n 's/.* type=6 .* desc=\([^ ]*\) ip=\(10\.[^ ]*\) mask=\(.*\)/\1 \2\/\3/p' | paste -sd' '
}

# Waits until the receiver has recorded at least $1 datagrams, for up to $2 s.
wait_datagrams() {
  for _ in $(seq $(($2 * 5))); do
    (($(wc -l <"$rx") >= $1)) && return 0
    sleep 0.2
  done
  e2e_die "only $(wc -l <"$rx") datagrams after waiting $2 s for $1"
}

service_handles() {
  probe - handles "$(probe Ostrival status | sed -n 's/^pid=//p')" | sed -n 's/^handles=//p'
}

e2e_ns_add host
e2e_ns_add peer
e2e_no_ipv6 host peer
for i in 1 2 3; do e2e_veth host "a$i" "10.30.$i.1/24" peer "q$i" "10.30.$i.2/24"; done

e2e_wine_start host
rx="$E2E_TMP/rx.jsonl"
e2e_receiver peer "$rx"
receiver=$E2E_LAST_PID

e2e_wine host "$OSTRIVAL_EXE" add
e2e_wine host "$OSTRIVAL_EXE" start
probe Ostrival wait 4 10 >/dev/null || e2e_die "service did not start"
started=$(now)
echo "at start: $(adapters)"

# Change 1, well inside the first interval.
e2e_veth host b4 10.30.4.1/24 peer r4 10.30.4.2/24
host_ip link delete a2
readdress a3 10.31.3.1/16 q3 10.31.3.2/16
list1=$(adapters)
echo "before cycle 1 ($(since "$started") s after start): $list1"
[[ $list1 == "a1 10.30.1.1/255.255.255.0 a3 10.31.3.1/255.255.0.0 b4 10.30.4.1/255.255.255.0" ]] ||
  e2e_die "GetAdaptersInfo does not show change 1: $list1"

wait_datagrams 3 150
cycle1_at=$(since "$started")
sleep 2
handles1=$(service_handles)

# Change 2, between the cycles.
e2e_veth host c5 10.30.5.1/24 peer r5 10.30.5.2/24
host_ip link delete b4
readdress a1 10.32.1.1/24 q1 10.32.1.2/24
list2=$(adapters)
echo "cycle 1 arrived ${cycle1_at} s after start; before cycle 2: $list2"
[[ $list2 == "a1 10.32.1.1/255.255.255.0 a3 10.31.3.1/255.255.0.0 c5 10.30.5.1/255.255.255.0" ]] ||
  e2e_die "GetAdaptersInfo does not show change 2: $list2"

wait_datagrams 6 150
echo "cycle 2 arrived $(since "$started") s after start"
sleep 2
handles2=$(service_handles)
e2e_stop "$receiver"

# The two cycles are told apart by the time they carry (one reading each).
"$E2E_PY" - "$rx" "$E2E_TMP" <<'EOF' || e2e_die "could not split the datagrams into two cycles"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
order = []
for r in records:
    if r["hex"] not in order:
        order.append(r["hex"])
if len(order) != 2:
    sys.exit("%d different payloads, expected 2" % len(order))
for n, payload in enumerate(order, 1):
    with open("%s/cycle%d.jsonl" % (sys.argv[2], n), "w") as out:
        out.writelines(json.dumps(r) + "\n" for r in records if r["hex"] == payload)
EOF
"$E2E_PY" "$E2E_DIR/ntp_receive.py" verify "$E2E_TMP/cycle1.jsonl" --max-offset-ms 50 \
  --expect 10.30.1.255=1 --expect 10.31.255.255=1 --expect 10.30.4.255=1 ||
  e2e_die "cycle 1 did not go to the adapters of change 1"
"$E2E_PY" "$E2E_DIR/ntp_receive.py" verify "$E2E_TMP/cycle2.jsonl" --max-offset-ms 50 \
  --expect 10.32.1.255=1 --expect 10.31.255.255=1 --expect 10.30.5.255=1 ||
  e2e_die "cycle 2 did not go to the adapters of change 2"
"$E2E_PY" - "$E2E_TMP" "$E2E_DIR" <<'EOF'
import json, sys
sys.path.insert(0, sys.argv[2])
import ntp_receive
def carried(n):
    rec = json.loads(open("%s/cycle%d.jsonl" % (sys.argv[1], n)).readline())
    s, f = ntp_receive.parse(bytes.fromhex(rec["hex"]))["transmit"]
    return s + f // ntp_receive.SENDER_FRACTION_PER_MS / 1000.0
print("interval between the cycles' carried times: %.3f s" % (carried(2) - carried(1)))
EOF

echo "service process handles: after cycle 1 $handles1, after cycle 2 $handles2"
((handles2 <= handles1 + HANDLE_SLACK)) ||
  e2e_die "the service's handles grew from $handles1 to $handles2 in one cycle"
e2e_log "PASS: each cycle used the adapters as they were when it ran"
