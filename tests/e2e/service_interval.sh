#!/bin/bash
# The running service's first broadcast, under Wine's service manager in
# throwaway namespaces: nothing for two minutes after the manager reports it
# running, then one 48-byte NTP broadcast about 128 s after that report,
# carrying the sender's clock to within a few milliseconds of the receiver's,
# traced once as "Transmitting update."; then nothing more until the stop
# control ends it cleanly. Slow: about three minutes.
#
# Needs root, iproute2, Wine, python3; OSTRIVAL_EXE, TRACECAP_EXE, SVCPROBE_EXE.
E2E_DEADLINE=${E2E_DEADLINE:-380}
. "$(dirname "$0")/../../tools/rig/lib.sh"
. "$(dirname "$0")/service_lib.sh"
RX="$E2E_DIR/ntp_receive.py"

# Past the broadcast due at 128 s and well short of the next at 256 s.
LISTEN_S=150
# Loose bounds around 128 s: the running report is seen up to a poll and a
# Wine process start late, and a loaded machine may wake the service late.
DELAY_MIN_S=120
DELAY_MAX_S=140
# The sender truncates its clock to whole ms; the rest is the path through
# the wineserver and the veth, well under a millisecond when idle.
MAX_OFFSET_MS=10
TRANSMIT="Ostrival Service: Transmitting update."

svc_rig_up
svc_add_and_start
e2e_log "running as process $SVC_PID; listening for $LISTEN_S s"

seen=0
elapsed=0
while ((elapsed < LISTEN_S)); do
  sleep 1
  elapsed=$(svc_seconds "$SVC_T_RUNNING" "$EPOCHREALTIME")
  elapsed=${elapsed%.*}
  now=$(svc_rx_count)
  if ((now != seen)); then
    e2e_log "datagram $now arrived by $elapsed s after running"
    seen=$now
  fi
done
svc_probe status || e2e_die "no status after listening"
svc_expect "still running" state=4 controls=0x4D pid="$SVC_PID"

svc_stop
svc_receiver_stop

count=$(svc_rx_count)
((count == 1)) || svc_fail "$count datagram(s) arrived in $LISTEN_S s after running, expected 1"
if ((count >= 1)); then
  /usr/bin/python3 "$RX" decode "$SVC_RX" >&2
  # The first one is judged alone; the count above already covers any others.
  head -n 1 "$SVC_RX" >"$E2E_TMP/first.jsonl"
  /usr/bin/python3 "$RX" verify "$E2E_TMP/first.jsonl" --expect 10.1.1.255=1 \
    --max-offset-ms "$MAX_OFFSET_MS" || svc_fail "the first datagram is not a good broadcast"
  # Its kernel receive time, in seconds.
  arrival=$(/usr/bin/python3 -c 'import json, sys
print("%.6f" % (json.loads(open(sys.argv[1]).readline())["t_ns"] / 1e9))' "$E2E_TMP/first.jsonl")
  delay=$(svc_seconds "$SVC_T_RUNNING" "$arrival")
  e2e_log "first broadcast $delay s after the running report" \
    "($(svc_seconds "$SVC_T_START" "$arrival") s after \`ostrival.exe start\`)"
  svc_within "$delay" "$DELAY_MIN_S" "$DELAY_MAX_S" ||
    svc_fail "first broadcast $delay s after running, expected $DELAY_MIN_S to $DELAY_MAX_S s"
  # The trace line comes just before the cycle that sends.
  traced=$(awk -v p="$SVC_PID:" -v t="$TRANSMIT" \
    '$2 == p && substr($0, index($0, ": ") + 2) == t { print $1; exit }' "$SVC_TRACE")
  if [[ -n $traced ]]; then
    lead=$(svc_seconds "$traced" "$arrival")
    e2e_log "\"$TRANSMIT\" captured $lead s before the datagram arrived"
    # Loose: the capture relays each line through another Wine process.
    svc_within "$lead" -5 5 ||
      svc_fail "\"$TRANSMIT\" captured $lead s from the datagram's arrival"
  fi
fi

# Only the privilege lines come before these: the lifecycle test checks them.
svc_trace_of "$SVC_PID" | grep -v '^Ostrival: ' >"$E2E_TMP/service.trace" || true
printf '%s\n' "$TRANSMIT" "Ostrival Service: Shutdown Request." >"$E2E_TMP/service.want"
diff -u "$E2E_TMP/service.want" "$E2E_TMP/service.trace" >&2 ||
  svc_fail "service trace after start differs (- expected, + captured)"
svc_trace_only_from_service
svc_finish
