#!/bin/bash
# Broken links ahead of good ones: the adapter list starts with links whose
# sends fail or go nowhere, and every good adapter after them must still get
# its datagram. Wine's winsock trace shows which sends the kernel refused.
#
# Links, in the order GetAdaptersInfo lists them (creation order):
#   d0  address kept, host end set down after the prefix started: no route,
#       sendto fails (Network is unreachable)
#   d1  the same, set down before the prefix started
#   n2  up with its address, peer end down (no carrier): sendto succeeds and
#       the link drops the frame
#   g3, g4, g5  good links
. "$(dirname "$0")/../../tools/rig/lib.sh"

: "${OSTRIVAL_EXE:?}" "${ADAPTERLIST_EXE:?}"
host_ns() { ip netns exec "$(e2e_ns host)" "$@"; }
stat_of() { host_ns cat "/sys/class/net/$1/statistics/$2"; }

e2e_ns_add host
e2e_ns_add peer
e2e_no_ipv6 host peer
e2e_veth host d0 10.20.0.1/24 peer q0 10.20.0.2/24
e2e_veth host d1 10.20.1.1/24 peer q1 10.20.1.2/24
e2e_veth host n2 10.20.2.1/24 peer q2 10.20.2.2/24
for i in 3 4 5; do e2e_veth host "g$i" "10.20.$i.1/24" peer "q$i" "10.20.$i.2/24"; done
ip -n "$(e2e_ns host)" link set d1 down
ip -n "$(e2e_ns peer)" link set q2 down

e2e_wine_start host
ip -n "$(e2e_ns host)" link set d0 down
host_ns ip -4 route get 10.20.0.255 >/dev/null 2>&1 && e2e_die "d0's broadcast still has a route"

e2e_wine host "$ADAPTERLIST_EXE" | tr -d '\r' >"$E2E_TMP/adapters.txt"
cat "$E2E_TMP/adapters.txt" >&2
order=$(sed -n 's/.* type=6 .* desc=\([^ ]*\) ip=10\.20\..*/\1/p' "$E2E_TMP/adapters.txt" |
  paste -sd' ')
[[ $order == "d0 d1 n2 g3 g4 g5" ]] ||
  e2e_die "GetAdaptersInfo lists '$order', not the down links first with their addresses"

dropped_before=$(stat_of n2 tx_dropped)
rx="$E2E_TMP/rx.jsonl"
e2e_receiver peer "$rx"
receiver=$E2E_LAST_PID
E2E_DEBUG=+winsock e2e_wine host "$OSTRIVAL_EXE" debug 2>"$E2E_TMP/winsock.log"
sleep 1
e2e_stop "$receiver"

"$E2E_PY" "$E2E_DIR/ntp_receive.py" verify "$rx" \
  --expect 10.20.3.255=1 --expect 10.20.4.255=1 --expect 10.20.5.255=1 ||
  e2e_die "good adapters after the broken ones did not each get one datagram"

# One sendto per listed adapter, in list order: the two down links refused
# (STATUS_NETWORK_UNREACHABLE), everything after them accepted.
statuses=$(sed -n 's/.*WS2_sendto status \(0x[0-9a-f]*\|0\)\..*/\1/p' "$E2E_TMP/winsock.log" |
  paste -sd' ')
unreachable=$(grep -c 'sendmsg: Network is unreachable' "$E2E_TMP/winsock.log" || true)
echo "sendto statuses in list order: $statuses; kernel refusals: $unreachable"
[[ $statuses == "0xc000023c 0xc000023c 0 0 0 0" && $unreachable == 2 ]] ||
  e2e_die "sends were not: two refused, then four accepted"

# n2's send was accepted, so the link itself must have dropped it; the down
# links put nothing on the wire.
dropped=$(($(stat_of n2 tx_dropped) - dropped_before))
echo "n2 frames dropped for want of carrier: $dropped;" \
  "d0/d1 frames sent: $(stat_of d0 tx_packets)/$(stat_of d1 tx_packets)"
[[ $dropped == 1 ]] || e2e_die "n2 dropped $dropped frames, expected 1"
[[ $(stat_of d0 tx_packets) == 0 && $(stat_of d1 tx_packets) == 0 ]] ||
  e2e_die "a down link sent frames"
e2e_log "PASS: refused and dropped sends did not stop the good ones"
