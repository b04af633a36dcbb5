#!/bin/bash
# Many adapters: 300 veth links in the sender's namespace, each on a subnet of
# its own, their peers all in one namespace. One `debug` cycle must put
# exactly one datagram on each link, to that link's own broadcast address,
# and nothing anywhere else. Prints how long the whole cycle took.
. "$(dirname "$0")/../../tools/rig/lib.sh"

COUNT=${SCALE_ADAPTERS:-300}
: "${OSTRIVAL_EXE:?}" "${ADAPTERLIST_EXE:?}"

# Link N: host side hN 10.A.B.1/24, peer side pN 10.A.B.2/24.
subnet_of() { printf '10.%d.%d' $((1 + $1 / 250)) $(($1 % 250)); }

e2e_ns_add host
e2e_ns_add peer
e2e_no_ipv6 host peer

e2e_log "creating $COUNT veth pairs"
started=$(date +%s.%N)
{
  for ((i = 0; i < COUNT; i++)); do
    echo "link add h$i type veth peer name p$i netns $(e2e_ns peer)"
    echo "addr add $(subnet_of $i).1/24 dev h$i"
    echo "link set h$i up"
  done
} >"$E2E_TMP/host.batch"
for ((i = 0; i < COUNT; i++)); do
  echo "addr add $(subnet_of $i).2/24 dev p$i"
  echo "link set p$i up"
done >"$E2E_TMP/peer.batch"
ip -n "$(e2e_ns host)" -batch "$E2E_TMP/host.batch"
ip -n "$(e2e_ns peer)" -batch "$E2E_TMP/peer.batch"
e2e_log "links made in $(awk -v a="$started" -v b="$(date +%s.%N)" \
  'BEGIN { printf "%.1f", b - a }') s"

# Wine learns the interfaces when the prefix starts, so they exist first.
e2e_wine_start host
e2e_wine host "$ADAPTERLIST_EXE" | tr -d '\r' >"$E2E_TMP/adapters.txt"
listed=$(grep -c ' type=6 .* ip=10\.' "$E2E_TMP/adapters.txt" || true)
[[ $listed == "$COUNT" ]] ||
  e2e_die "GetAdaptersInfo lists $listed Ethernet adapters with our addresses, not $COUNT"

rx="$E2E_TMP/rx.jsonl"
e2e_receiver peer "$rx"
receiver=$E2E_LAST_PID
e2e_wine host "$OSTRIVAL_EXE" debug
# Nothing more is due; a straggler or a second copy would arrive within this.
sleep 1
e2e_stop "$receiver"

expect=()
for ((i = 0; i < COUNT; i++)); do expect+=(--expect "$(subnet_of $i).255=1"); done
"$E2E_PY" "$E2E_DIR/ntp_receive.py" verify "$rx" --max-offset-ms 10000 "${expect[@]}" ||
  e2e_die "the cycle did not reach every adapter exactly once" \
    "(peer UDP: $(ip netns exec "$(e2e_ns peer)" grep '^Udp: [0-9]' /proc/net/snmp))"

# Each datagram came in on the link whose subnet it was sent to. The cycle's
# length is the last arrival against the time all of them carry (read once,
# after the adapter list and before the socket is made).
"$E2E_PY" - "$rx" "$E2E_DIR" <<'EOF' || e2e_die "datagrams arrived on the wrong links"
import json, sys
sys.path.insert(0, sys.argv[2])
import ntp_receive
records = [json.loads(line) for line in open(sys.argv[1])]
wrong = []
for r in records:
    a, b = (int(x) for x in r["dst"].split(".")[1:3])
    want = "p%d" % ((a - 1) * 250 + b)
    if r["ifname"] != want:
        wrong.append("%s came in on %s, not %s" % (r["dst"], r["ifname"], want))
for w in wrong:
    print("scale: " + w, file=sys.stderr)

def carried_ns(rec):
    """The time the sender meant: its fraction counts whole milliseconds."""
    f = ntp_receive.parse(bytes.fromhex(rec["hex"]))
    seconds, fraction = f["transmit"]
    return ((seconds - ntp_receive.NTP_UNIX_OFFSET) * 1_000_000_000
            + fraction // ntp_receive.SENDER_FRACTION_PER_MS * 1_000_000)

offsets = sorted((r["t_ns"] - carried_ns(r)) / 1e6 for r in records)
times = sorted(r["t_ns"] for r in records)
print("adapters=%d datagrams=%d first_arrival_ms=%.3f last_arrival_ms=%.3f spread_ms=%.3f"
      % (len({r["ifname"] for r in records}), len(records), offsets[0], offsets[-1],
         (times[-1] - times[0]) / 1e6))
sys.exit(1 if wrong else 0)
EOF
e2e_log "PASS: $COUNT adapters, one datagram each"
