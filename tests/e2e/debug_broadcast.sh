#!/bin/bash
# `ostrival.exe debug` in a namespace full of adapters of every kind sends
# one identical 48-byte NTP broadcast to each suitable adapter's broadcast
# address and nothing anywhere else, prints nothing and exits 0; with no
# suitable adapter at all it sends nothing. Checked from peer namespaces by
# our receiver and by tshark's NTP dissector, and from the sending namespace
# itself, where Linux loops a copy of every broadcast back to local sockets.
#
# Needs root, iproute2, Wine, tshark; OSTRIVAL_EXE is the exe to test.
. "$(dirname "$0")/../../tools/rig/lib.sh"
: "${OSTRIVAL_EXE:?set OSTRIVAL_EXE to ostrival.exe}"
RX="$E2E_DIR/ntp_receive.py"
TSHARK_CHECK="$E2E_DIR/tshark_check.py"

# Addresses come from 198.18.0.0/15, the range set aside for network tests.
# host: the sender's namespace. Its adapters, and what each must get:
#   v1   198.19.1.1/24             -> 198.19.1.255
#   v2   198.18.0.1/16             -> 198.18.255.255
#   v3   198.19.3.1/32             -> 198.19.3.1 itself (delivered inside host)
#   v4, v5 on one /24              -> 198.19.4.255 twice (both leave by one link)
#   v6   no IPv4                   -> nothing
#   tun0 198.19.7.1/24 (Type 1)    -> nothing
#   v7   198.19.8.1/28             -> 198.19.8.15
#   v10..v15 198.19.1x.1/24        -> 198.19.1x.255
# 14 adapters in all, more than the first 640-byte GetAdaptersInfo call holds.
# peer: the other end of every veth, with an address in the same subnet
# (p6 too, so a broadcast leaking out of the no-IPv4 link would be heard).
# bare: a tun and a veth without IPv4 only; barepeer listens beyond the veth.
e2e_ns_add host
e2e_ns_add peer
e2e_ns_add bare
e2e_ns_add barepeer
e2e_veth host v1 198.19.1.1/24 peer p1 198.19.1.2/24
e2e_veth host v2 198.18.0.1/16 peer p2 198.18.0.2/16
e2e_veth host v3 198.19.3.1/32 peer p3 198.19.3.2/32
e2e_veth host v4 198.19.4.1/24 peer p4 198.19.4.11/24
e2e_veth host v5 198.19.4.2/24 peer p5 198.19.4.12/24
e2e_veth host v6 - peer p6 198.19.6.2/24
e2e_tun host tun0 198.19.7.1/24
e2e_veth host v7 198.19.8.1/28 peer p7 198.19.8.2/28
# With a default route a send to 255.255.255.255 (what a no-IPv4 adapter's
# "0.0.0.0" would compute to) leaves through v1 and is heard, not refused.
ip -n "$(e2e_ns host)" route add default via 198.19.1.2
EXPECT=(198.19.1.255=1 198.18.255.255=1 198.19.4.255=2 198.19.8.15=1)
for n in 10 11 12 13 14 15; do
  e2e_veth host "v$n" "198.19.$n.1/24" peer "p$n" "198.19.$n.2/24"
  EXPECT+=("198.19.$n.255=1")
done
e2e_tun bare tun0 198.19.7.1/24
e2e_veth bare v6 - barepeer p6 198.19.6.2/24
ip -n "$(e2e_ns bare)" route add default dev v6

e2e_log "booting prefixes in host and bare"
e2e_wine_start host bare

failures=0
fail() { printf 'FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }
declare -A PEER_OF=([host]=peer [bare]=barepeer)

# run_debug NS TAG WORDS...: one run of the exe with WORDS, with receivers in NS
# and in its peer namespace and a capture in the peer namespace around it.
run_debug() {
  local short=$1 tag=$2; shift 2
  local out="$E2E_TMP/$tag" peer=${PEER_OF[$short]} pids=() status=0
  e2e_receiver "$short" "$out-self.jsonl"; pids+=("$E2E_LAST_PID")
  e2e_receiver "$peer" "$out-peer.jsonl"; pids+=("$E2E_LAST_PID")
  e2e_capture "$peer" "$out-peer.pcapng"; pids+=("$E2E_LAST_PID")
  e2e_log "$tag: ostrival.exe $*"
  e2e_wine "$short" "$OSTRIVAL_EXE" "$@" >"$out.stdout" 2>"$out.stderr" || status=$?
  # Loopback and veth delivery is immediate; the pause only covers scheduling.
  sleep 0.5
  for pid in "${pids[@]}"; do e2e_stop "$pid"; done
  [[ $status == 0 ]] || fail "$tag: exit status $status"
  [[ ! -s $out.stdout ]] || fail "$tag: printed $(od -c "$out.stdout" | head -5)"
}

# check_cycle TAG [SELF_ONLY] -- ADDRESS=COUNT...: what the peers must have received
# (by our receiver and by tshark) and, with the SELF_ONLY extras, what the sender's
# own namespace saw; every copy anywhere must carry the same bytes.
check_cycle() {
  local tag=$1 out="$E2E_TMP/$1" peer=() self=() both=() item; shift
  while [[ $1 != -- ]]; do self+=(--expect "$1"); both+=(--expect "$1"); shift; done
  shift
  for item in "$@"; do
    peer+=(--expect "$item"); self+=(--expect "$item")
    both+=(--expect "${item%=*}=$((2 * ${item#*=}))")
  done
  /usr/bin/python3 "$RX" decode "$out-peer.jsonl" "$out-self.jsonl" >&2
  /usr/bin/python3 "$RX" verify "$out-peer.jsonl" "${peer[@]}" ||
    fail "$tag: datagrams at the peers"
  /usr/bin/python3 "$RX" verify "$out-self.jsonl" "${self[@]}" ||
    fail "$tag: datagrams seen inside the sender's namespace"
  /usr/bin/python3 "$RX" verify "$out-peer.jsonl" "$out-self.jsonl" "${both[@]}" ||
    fail "$tag: all copies, peers and sender together"
  /usr/bin/python3 "$TSHARK_CHECK" "$out-peer.pcapng" "${peer[@]}" ||
    fail "$tag: tshark's reading of the capture"
}

# A tun is reported as Type 1 and must be skipped: not even a dropped send.
check_tun_silent() {
  local counts
  counts=$(ip netns exec "$(e2e_ns "$1")" cat /sys/class/net/tun0/statistics/tx_packets \
    /sys/class/net/tun0/statistics/tx_dropped | tr '\n' ' ')
  [[ $counts == "0 0 " ]] || fail "$1: tun0 tx_packets, tx_dropped = $counts"
}

run_debug host debug debug
check_cycle debug 198.19.3.1=1 -- "${EXPECT[@]}"
# Only the first word counts, in any case.
run_debug host debug-words DEBUG extra words
check_cycle debug-words 198.19.3.1=1 -- "${EXPECT[@]}"
check_tun_silent host

# No suitable adapter: nothing anywhere, no output, exit 0.
run_debug bare bare debug
check_cycle bare --
check_tun_silent bare

if ((failures)); then
  e2e_die "$failures check(s) failed"
fi
echo "debug_broadcast: all checks passed" >&2
