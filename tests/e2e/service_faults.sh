#!/bin/bash
# The service under Wine's service manager when its process dies, and under
# many install/start/remove rounds:
#   - killed from Linux (SIGKILL) and from Windows (taskkill /f): once the
#     manager reports it stopped, `start` runs it again. Wine 8's manager
#     never notices (it keeps reporting RUNNING); then the admin commands
#     must say so rather than claim success, and a restart of the prefix
#     (Wine's reboot) must bring the auto-start service back;
#   - ROUNDS rounds of add, start, remove: each round registers, runs and
#     unregisters it, nothing stays registered or running afterwards, and
#     services.exe holds no more handles at the last round than at round 10;
#   - the same rounds with the admin code called in one long-lived process
#     (admin_rounds, which the manager also runs as the service): its kernel
#     handle count must not grow and every manager handle it opens must be
#     closed; whatever the commands leave open dies unseen with a short-lived
#     ostrival.exe.
# The namespace has loopback only: the service finds no adapter to send on.
. "$(dirname "$0")/../../tools/rig/lib.sh"

ROUNDS=${SERVICE_ROUNDS:-50}
MARK=$((ROUNDS < 10 ? ROUNDS : 10))  # the round whose handle count is the reference
HANDLE_SLACK=${HANDLE_SLACK:-4}
: "${OSTRIVAL_EXE:?}" "${SVCPROBE_EXE:?}" "${ADMINROUNDS_EXE:?}"

probe() { e2e_wine host "$SVCPROBE_EXE" "$@" | tr -d '\r'; }
ostrival() { e2e_wine host "$OSTRIVAL_EXE" "$@"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# Linux pids of this prefix's processes running our exe (services.exe starts
# it with the prefix in its environment).
service_pids() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qx "WINEPREFIX=${E2E_PREFIX[host]}" ||
      continue
    tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -qi 'ostrival\.exe' && echo "${p#/proc/}"
  done
  return 0
}

# Waits until the service is no longer registered (the manager deletes it
# once it has stopped).
wait_gone() {
  for _ in $(seq 100); do
    probe Ostrival exists >/dev/null || return 0
    sleep 0.1
  done
  return 1
}

start_and_wait() {
  ostrival start
  probe Ostrival wait 4 10 >/dev/null || e2e_die "$1: service not running after start"
}

# The text of the message box an admin command shows (traced by relay).
box() {
  E2E_DEBUG=-all,+relay e2e_wine host "$OSTRIVAL_EXE" "$@" 2>&1 |
    sed -n 's/.*MessageBoxW([^,]*,[^"]*L"\([^"]*\)".*/\1/p' | head -1
}

# After the service process was ended by $1: either the manager sees it stop
# and `start` works, or (Wine 8) it still reports RUNNING, `start` and
# `remove` say they could not act, and a reboot runs the service again.
recover() {
  local how=$1 t0; t0=$(now)
  if probe Ostrival wait 1 10 >/dev/null; then
    echo "$how: manager reported it stopped after $(since "$t0") s"
    start_and_wait "start after $how"
    return 0
  fi
  echo "$how: manager still reports $(probe Ostrival status | grep -E '^(state|pid)=' |
    paste -sd' ') after $(since "$t0") s; interrogate: $(probe Ostrival control 4 |
    grep -E '^(ok|code)=' | paste -sd' ')"
  local said_start said_remove
  said_start=$(box start)
  said_remove=$(box remove)
  echo "$how: start says \"$said_start\"; remove says \"$said_remove\""
  [[ $said_start == "Service is already running." ]] || e2e_die "start after $how: $said_start"
  [[ $said_remove == "Uninstall aborted: Could not stop service." ]] ||
    e2e_die "remove after $how: $said_remove"
  probe Ostrival exists >/dev/null ||
    e2e_die "remove after $how deleted a service it could not stop"
  t0=$(now)
  E2E_DEBUG=-all,err+service,err+sync e2e_wine_reboot host
  probe Ostrival wait 4 20 >/dev/null || e2e_die "service did not auto-start after the reboot"
  [[ -n $(service_pids) ]] || e2e_die "service reports running after the reboot, but no process"
  echo "$how: after a reboot of the prefix ($(since "$t0") s) the service runs again:" \
    "$(probe Ostrival status | grep -E '^(state|pid)=' | paste -sd' ')"
}

# Ends the script after a round that did not complete (mostly a removal that
# never finished), with what Wine's service code logged: a stop that
# deadlocks shows up as a critical section wait "blocked by" another thread.
stuck() {
  e2e_die "$1: did not complete; the manager still holds the service:" \
    "$(probe Ostrival status | grep -E '^(state|pid)=' | paste -sd' '); linux processes" \
    "still running it: $(service_pids | paste -sd' ')." \
    "Wine errors: $(grep -h 'err:' "$E2E_TMP"/boot-host.log | tail -5)"
}

services_handles() { probe - pidof services.exe | sed -n 's/.*handles=//p'; }

e2e_ns_add host
# Errors of Wine's service and lock code go to the boot log, from services.exe
# and the service processes it starts.
E2E_DEBUG=-all,err+service,err+sync e2e_wine_start host
e2e_wine host reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
  /d user32.MessageBoxW /f >/dev/null

[[ $(box add) == "Ostrival Service has been installed." ]] || e2e_die "add did not say installed"
probe Ostrival exists >/dev/null || e2e_die "add did not register the service"
start_and_wait "first start"

# Fault 1: the process is killed from outside Wine, as by a crash.
pids=$(service_pids)
[[ $(wc -w <<<"$pids") == 1 ]] || e2e_die "expected one service process, found: $pids"
kill -KILL "$pids"
recover SIGKILL

# Fault 2: the process is terminated from inside Wine.
winpid=$(probe Ostrival status | sed -n 's/^pid=//p')
e2e_wine host taskkill /f /pid "$winpid" >/dev/null 2>&1 || e2e_die "taskkill failed"
recover "taskkill /f"

# Removal while running stops it, then the manager forgets it.
ostrival remove
wait_gone || stuck "remove after the faults"

# Rounds. Handles are counted after each round's removal has finished.
t0=$(now)
baseline=$(services_handles)
for ((round = 1; round <= ROUNDS; round++)); do
  ostrival add
  start_and_wait "round $round"
  ostrival remove
  wait_gone || stuck "round $round: remove"
  case $round in
    "$MARK") atmark=$(services_handles) ;;&
    "$ROUNDS") atlast=$(services_handles) ;;
  esac
done
echo "$ROUNDS rounds in $(since "$t0") s; services.exe handles: before $baseline," \
  "round $MARK $atmark, round $ROUNDS $atlast"

probe Ostrival exists >/dev/null && e2e_die "service still registered after the rounds"
left=$(service_pids)
[[ -z $left ]] || e2e_die "service processes left running: $left"
((atlast <= atmark + HANDLE_SLACK)) ||
  e2e_die "services.exe handles grew from $atmark to $atlast over $((ROUNDS - MARK)) rounds"

# The same rounds in one process: its own kernel handles after each round,
# and every manager handle it opened (Wine traces each call) closed again.
t0=$(now)
E2E_DEBUG=-all,trace+service e2e_wine host "$ADMINROUNDS_EXE" rounds "$ROUNDS" \
  2>"$E2E_TMP/rounds-trace.log" | tr -d '\r' >"$E2E_TMP/rounds.txt" ||
  stuck "in-process rounds: $(tail -1 "$E2E_TMP/rounds.txt")"
ownmark=$(sed -n "s/^round=$MARK handles=//p" "$E2E_TMP/rounds.txt")
ownlast=$(sed -n "s/^round=$ROUNDS handles=//p" "$E2E_TMP/rounds.txt")
opened=$(grep -cE 'trace:service:(OpenSCManagerW|OpenServiceW|CreateServiceW) ' \
  "$E2E_TMP/rounds-trace.log" || true)
closed=$(grep -c 'trace:service:CloseServiceHandle ' "$E2E_TMP/rounds-trace.log" || true)
echo "$ROUNDS in-process rounds in $(since "$t0") s; its handles: round 1" \
  "$(sed -n 's/^round=1 handles=//p' "$E2E_TMP/rounds.txt"), round $MARK $ownmark," \
  "round $ROUNDS $ownlast; manager handles opened $opened, closed $closed"
probe Ostrival exists >/dev/null && e2e_die "service still registered after in-process rounds"
((ownlast <= ownmark + HANDLE_SLACK)) ||
  e2e_die "the admin commands' process grew from $ownmark to $ownlast handles"
((opened > 0 && opened == closed)) ||
  e2e_die "the admin commands left $((opened - closed)) manager handles open"
e2e_log "PASS: killed service restarts; $ROUNDS rounds leave nothing behind"
