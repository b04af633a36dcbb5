# shellcheck shell=bash
# Service steps shared by the service scripts, sourced after lib.sh. The
# service runs under Wine's own service manager in namespace "host", whose
# one veth leads to namespace "peer" where a receiver listens on UDP 123.
# Every debug-output line of host's prefix is captured with the wall-clock
# time it arrived, the same clock the receiver stamps datagrams with.
#
# Needs OSTRIVAL_EXE, TRACECAP_EXE and SVCPROBE_EXE (set by CTest).

: "${OSTRIVAL_EXE:?set OSTRIVAL_EXE to ostrival.exe}"
: "${TRACECAP_EXE:?set TRACECAP_EXE to tracecap.exe}"
: "${SVCPROBE_EXE:?set SVCPROBE_EXE to svcprobe.exe}"

SVC_NAME=Ostrival
SVC_TRACE="$E2E_TMP/trace.txt"  # "EPOCH WINPID: text", one per debug-output line
SVC_RX="$E2E_TMP/rx.jsonl"      # ntp_receive.py records from peer
SVC_RX_PID=
SVC_OUT=          # what the last svc_probe printed, without CRs
SVC_PID=          # the service's Windows process id while it runs
SVC_T_START=      # wall clock when `ostrival.exe start` was run
SVC_T_RUNNING=    # wall clock when svcprobe first saw the running state
SVC_FAILURES=0

# Counts a failed check; the script goes on and svc_finish reports them all.
svc_fail() {
  printf 'FAIL: %s\n' "$*" >&2
  SVC_FAILURES=$((SVC_FAILURES + 1))
}

svc_finish() {
  ((SVC_FAILURES == 0)) || e2e_die "$SVC_FAILURES check(s) failed"
  e2e_log "$(basename "$0" .sh): all checks passed"
}

# Namespaces, prefix, receiver and trace capture, in the order Wine needs them.
svc_rig_up() {
  e2e_ns_add host
  e2e_ns_add peer
  e2e_veth host v1 10.1.1.1/24 peer p1 10.1.1.2/24
  e2e_log "booting a prefix in host"
  e2e_wine_start host
  e2e_receiver peer "$SVC_RX"
  SVC_RX_PID=$E2E_LAST_PID
  svc_trace_start
}

# Starts tracecap in host's prefix behind a stamper and waits until it is armed.
svc_trace_start() {
  local fifo="$E2E_TMP/trace.fifo" err="$E2E_TMP/tracecap.err" stamper
  mkfifo "$fifo"
  # Ends at tracecap's end of file; the trap only serves a cleanup that comes first.
  (
    trap 'exit 0' INT
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done
  ) <"$fifo" >"$SVC_TRACE" &
  stamper=$!
  # The capture must outlast every step of the script, not the usual 120 s.
  E2E_WINE_TIMEOUT=$E2E_DEADLINE e2e_wine_bg host "$TRACECAP_EXE" -p >"$fifo" 2>"$err"
  local capture=$E2E_LAST_PID
  # After the capture, so a cleanup ends the writer before the reader.
  E2E_PIDS+=("$stamper")
  for _ in $(seq 300); do
    grep -q '^tracecap: ready' "$err" && return 0
    kill -0 "$capture" 2>/dev/null || e2e_die "tracecap ended: $(cat "$err")"
    sleep 0.1
  done
  e2e_die "tracecap not armed after 30 s: $(cat "$err")"
}

# svc_probe ARGS...: svcprobe on our service in host; output in SVC_OUT, its status returned.
svc_probe() {
  local status=0
  e2e_wine host "$SVCPROBE_EXE" "$SVC_NAME" "$@" >"$E2E_TMP/probe.out" || status=$?
  SVC_OUT=$(tr -d '\r' <"$E2E_TMP/probe.out")
  e2e_log "svcprobe $*: $(tr '\n' ' ' <<<"$SVC_OUT")(exit $status)"
  return "$status"
}

# svc_seconds FROM TO: the seconds from one wall-clock reading to another, to the millisecond.
svc_seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# svc_within X LO HI: true when LO <= X <= HI (decimal numbers).
svc_within() { awk -v x="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(x >= lo && x <= hi) }'; }

# Prints the value of KEY in SVC_OUT.
svc_field() { sed -n "s/^$1=//p" <<<"$SVC_OUT"; }

# svc_expect WHAT KEY=VALUE...: each KEY of SVC_OUT must read VALUE.
svc_expect() {
  local what=$1 item got; shift
  for item in "$@"; do
    got=$(svc_field "${item%%=*}")
    [[ $got == "${item#*=}" ]] || svc_fail "$what: ${item%%=*}=$got, expected ${item#*=}"
  done
}

# Prints the texts of the captured lines of Windows process PID, in order.
svc_trace_of() { awk -v p="$1:" '$2 == p { sub(/^[^ ]+ [^ ]+ /, ""); print }' "$SVC_TRACE"; }

# svc_wait_trace PID COUNT SECS: waits until PID has COUNT lines; false on time-out.
svc_wait_trace() {
  for _ in $(seq $(($3 * 10))); do
    (($(svc_trace_of "$1" | wc -l) >= $2)) && return 0
    sleep 0.1
  done
  return 1
}

# svc_trace_is WHAT PID LINE...: PID's captured lines must be exactly LINE..., in order.
svc_trace_is() {
  local what=$1 pid=$2; shift 2
  printf '%s\n' "$@" >"$E2E_TMP/trace.want"
  svc_trace_of "$pid" >"$E2E_TMP/trace.got"
  diff -u "$E2E_TMP/trace.want" "$E2E_TMP/trace.got" >&2 ||
    svc_fail "$what: trace lines of process $pid differ (- expected, + captured)"
}

# Every line naming us must come from the one service process: a second
# one (a restart, a by-hand start) would show here.
svc_trace_only_from_service() {
  local others
  others=$(awk -v p="$SVC_PID:" '$2 != p && / Ostrival/' "$SVC_TRACE")
  [[ -z $others ]] || svc_fail "trace lines from other processes: $others"
}

# Registers the service, starts it and waits for the manager to report it running.
svc_add_and_start() {
  e2e_log "ostrival.exe add"
  e2e_wine host "$OSTRIVAL_EXE" add || svc_fail "add: exit status $?"
  svc_probe exists || e2e_die "the service was not registered"
  svc_probe status || e2e_die "no status for the registered service"
  svc_expect "registered, before start" state=1 controls=0x0 pid=0
  e2e_log "ostrival.exe start"
  SVC_T_START=$EPOCHREALTIME
  e2e_wine host "$OSTRIVAL_EXE" start || svc_fail "start: exit status $?"
  # Generous: a loaded machine can take many seconds to start a Wine process.
  svc_probe wait 4 60 || e2e_die "the service did not reach the running state in 60 s"
  SVC_T_RUNNING=$EPOCHREALTIME
  svc_probe status || e2e_die "no status for the running service"
  svc_expect "running" state=4 controls=0x4D exit=0
  SVC_PID=$(svc_field pid)
  [[ $SVC_PID =~ ^[1-9][0-9]*$ ]] || e2e_die "running service has process id '$SVC_PID'"
}

# Prints the pids of live Linux processes in host whose command line names ostrival.exe.
svc_linux_pids() {
  local pid state
  for pid in $(ip netns pids "$(e2e_ns host)"); do
    state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) || continue
    [[ $state != Z ]] || continue
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qi 'ostrival\.exe' && echo "$pid"
  done
  return 0
}

# Stops the service with the stop control and checks that it ends: the
# manager reports it stopped, its last trace line is the shutdown request,
# and its process is gone.
svc_stop() {
  local before state
  before=$(svc_trace_of "$SVC_PID" | wc -l)
  svc_probe control 1 || e2e_die "svcprobe control 1 failed"
  svc_expect "stop control" ok=1 code=0
  # The handler reports stop pending; the stop itself may already be done.
  state=$(svc_field state)
  [[ $state == 3 || $state == 1 ]] || svc_fail "stop control: state=$state, expected 3 or 1"
  svc_probe wait 1 60 || e2e_die "the service did not stop within 60 s"
  svc_probe status || e2e_die "no status for the stopped service"
  svc_expect "stopped" state=1 controls=0x0 exit=0 pid=0
  svc_wait_trace "$SVC_PID" $((before + 1)) 20 || svc_fail "no trace line after the stop control"
  local gone=
  for _ in $(seq 200); do
    [[ -z $(svc_linux_pids) ]] && { gone=1; break; }
    sleep 0.1
  done
  [[ -n $gone ]] || svc_fail "service process still alive 20 s after stopping: $(svc_linux_pids)"
}

# Ends the receiver, so its file holds everything that arrived.
svc_receiver_stop() { e2e_stop "$SVC_RX_PID"; }

# Prints the number of datagrams the receiver recorded.
svc_rx_count() { if [[ -e $SVC_RX ]]; then wc -l <"$SVC_RX"; else echo 0; fi; }
