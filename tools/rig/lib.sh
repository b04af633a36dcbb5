# End-to-end rig, sourced by every e2e script: throwaway network namespaces
# joined by veth pairs, a Wine prefix whose wineserver lives inside one of
# them, receivers and captures in the others, and a cleanup that removes all
# of it however the script ends. Nothing here ever sends in the namespace the
# script was started in: every sender runs under `ip netns exec` in a
# namespace this script made, checked first by e2e_refuse_root_ns.
#
# Typical use:
#   . "$(dirname "$0")/../../tools/rig/lib.sh"
#   e2e_ns_add host; e2e_ns_add peer
#   e2e_veth host v1 198.19.1.1/24 peer p1 198.19.1.2/24
#   e2e_wine_start host
#   e2e_receiver peer "$E2E_TMP/rx.jsonl"
#   e2e_wine host "$OSTRIVAL_EXE" debug
#   e2e_stop "$E2E_LAST_PID"

set -euo pipefail

# Namespaces need root; elsewhere the test reports itself skipped (CTest
# knows the code through SKIP_RETURN_CODE).
if [[ $(id -u) != 0 ]]; then
  echo "SKIP: end-to-end tests create network namespaces and need root" >&2
  exit 77
fi

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_TAG="ostv-$$"          # every namespace of this run starts with this
E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/$E2E_TAG.XXXXXX")
E2E_PY=/usr/bin/python3
E2E_WINE=/usr/lib/wine/wine64
E2E_WINESERVER=/usr/lib/wine/wineserver
E2E_DEADLINE=${E2E_DEADLINE:-240}  # seconds before the run stops itself
E2E_DEBUG=-all             # WINEDEBUG for e2e_wine; a call may turn channels on
E2E_NAMESPACES=()
E2E_PIDS=()
E2E_LAST_PID=
declare -A E2E_PREFIX=()   # namespace -> Wine prefix
declare -A E2E_SERVER=()   # namespace -> wineserver pid
declare -A E2E_SERVER_TMP=()  # namespace -> the /tmp/wine-XXXXXX its wineserver made
E2E_ROOT_NS=$(readlink /proc/$$/ns/net)
# Put between `ip netns exec NS` and a command: the process checks its own
# namespace is neither ours nor PID 1's before it becomes that command.
E2E_GUARD=(/bin/bash -c '
  here=$(readlink /proc/self/ns/net)
  if [[ $here == "$1" || $here == "$(readlink /proc/1/ns/net)" ]]; then
    echo "e2e guard: refusing to run $2 in the machine'"'"'s own network namespace" >&2
    exit 97
  fi
  shift; exec "$@"' e2e-guard "$E2E_ROOT_NS")

# Prints a progress line on stderr (stdout belongs to the test's results).
e2e_log() { printf '[%s] %s\n' "$(date +%T.%3N)" "$*" >&2; }

# Reports a failure and ends the script; the EXIT trap cleans up.
e2e_die() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# Prints the full name of this run's namespace SHORT.
e2e_ns() { printf '%s-%s' "$E2E_TAG" "$1"; }

# Prints the network namespace identity (net:[inode]) of namespace SHORT.
e2e_ns_id() { ip netns exec "$(e2e_ns "$1")" readlink /proc/self/ns/net; }

# Creates namespace SHORT with loopback up and reverse-path filtering off.
e2e_ns_add() {
  local ns; ns=$(e2e_ns "$1")
  ip netns add "$ns"
  E2E_NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up
  # Peers with two links on one subnet must accept broadcasts on either.
  ip netns exec "$ns" sysctl -qw net.ipv4.conf.all.rp_filter=0 \
    net.ipv4.conf.default.rp_filter=0
}

# e2e_no_ipv6 NS...: IPv6 off, so link counters and captures see our datagrams only.
e2e_no_ipv6() {
  local short
  for short in "$@"; do
    ip netns exec "$(e2e_ns "$short")" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
      net.ipv6.conf.default.disable_ipv6=1
  done
}

# Adds ADDR/LEN (or nothing for "-") to interface IF in namespace SHORT, brings IF up.
e2e_addr_up() {
  local ns; ns=$(e2e_ns "$1")
  if [[ $3 != - ]]; then ip -n "$ns" addr add "$3" dev "$2"; fi
  ip -n "$ns" link set "$2" up
}

# e2e_veth NS_A IF_A ADDR_A NS_B IF_B ADDR_B: a veth pair made directly in its namespaces.
e2e_veth() {
  # Created inside NS_A, so no name ever exists in the starting namespace.
  ip -n "$(e2e_ns "$1")" link add "$2" type veth peer name "$5" netns "$(e2e_ns "$4")"
  e2e_addr_up "$1" "$2" "$3"
  e2e_addr_up "$4" "$5" "$6"
}

# e2e_tun NS IF ADDR: a persistent tun device (Wine reports Type 1) with an address.
e2e_tun() {
  ip -n "$(e2e_ns "$1")" tuntap add dev "$2" mode tun
  e2e_addr_up "$1" "$2" "$3"
}

# Ends the script unless namespace SHORT exists and is not the one we started in.
e2e_refuse_root_ns() {
  local id; id=$(e2e_ns_id "$1") || e2e_die "namespace $1 does not exist"
  if [[ $id == "$E2E_ROOT_NS" || $id == "$(readlink /proc/1/ns/net)" ]]; then
    e2e_die "namespace $1 is the machine's own network namespace: refusing to send"
  fi
}

# e2e_wine_start NS...: a throwaway prefix per namespace, its wineserver inside it.
# Build the namespaces' interfaces first: Wine caches their types.
e2e_wine_start() {
  local short ns prefix
  for short in "$@"; do
    ns=$(e2e_ns "$short")
    e2e_refuse_root_ns "$short"
    prefix=$(mktemp -d "$E2E_TMP/prefix-$short.XXXXXX")
    E2E_PREFIX[$short]=$prefix
    ip netns exec "$ns" "${E2E_GUARD[@]}" env WINEPREFIX="$prefix" "$E2E_WINESERVER" -f -p \
      >"$E2E_TMP/wineserver-$short.log" 2>&1 &
    E2E_SERVER[$short]=$!
    e2e_check_server "$short"
    e2e_wait_socket "$short"
    # Any first command boots a prefix; `wineboot -i` as well would start a
    # second services.exe. One at a time: fresh prefixes booting side by side
    # have been seen to fail to load kernel32.dll.
    e2e_wine "$short" cmd /c exit 0 >"$E2E_TMP/boot-$short.log" 2>&1 ||
      e2e_die "prefix in $short did not boot: $(cat "$E2E_TMP/boot-$short.log")"
  done
}

# Restarts the prefix of namespace SHORT as Windows restarts: stops its
# wineserver and every process in it, then starts a new one inside SHORT on
# the same prefix and boots it. Auto-start services start again.
e2e_wine_reboot() {
  local short=$1 old=${E2E_SERVER[$1]:-}
  [[ -n $old ]] || e2e_die "no Wine prefix started in $short"
  e2e_refuse_root_ns "$short"
  WINEPREFIX="${E2E_PREFIX[$short]}" "$E2E_WINESERVER" -k 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$old" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$old" 2>/dev/null || true
  wait "$old" 2>/dev/null || true
  rm -rf "${E2E_SERVER_TMP[$short]}"
  ip netns exec "$(e2e_ns "$short")" "${E2E_GUARD[@]}" env WINEPREFIX="${E2E_PREFIX[$short]}" \
    "$E2E_WINESERVER" -f -p >>"$E2E_TMP/wineserver-$short.log" 2>&1 &
  E2E_SERVER[$short]=$!
  e2e_check_server "$short"
  e2e_wait_socket "$short"
  e2e_wine "$short" cmd /c exit 0 >"$E2E_TMP/boot-$short.log" 2>&1 ||
    e2e_die "prefix in $short did not boot again: $(cat "$E2E_TMP/boot-$short.log")"
}

# Waits until the wineserver of SHORT listens, so no client starts a server of its own.
e2e_wait_socket() {
  local pid=${E2E_SERVER[$1]} cwd=
  for _ in $(seq 100); do
    # Debian's wineserver works in a fresh $TMPDIR/wine-XXXXXX/server-DEV-INODE
    # that outlives it; the cleanup removes it.
    cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || e2e_die "wineserver for $1 died"
    if [[ $cwd == */wine-*/server-* && -S $cwd/socket ]]; then
      E2E_SERVER_TMP[$1]=${cwd%/server-*}
      return 0
    fi
    sleep 0.1
  done
  e2e_die "wineserver for $1 never opened its socket"
}

# Ends the script unless the wineserver of namespace SHORT is alive and inside it.
e2e_check_server() {
  local pid=${E2E_SERVER[$1]} want got=
  want=$(e2e_ns_id "$1")
  for _ in $(seq 50); do
    got=$(readlink "/proc/$pid/ns/net" 2>/dev/null) || e2e_die "wineserver for $1 died"
    # `ip netns exec` has switched namespace once the readlink shows it.
    [[ $got == "$want" ]] && return 0
    sleep 0.1
  done
  e2e_die "wineserver $pid is in $got, not in namespace $1 ($want)"
}

# e2e_wine_bg NS PROGRAM ARGS...: starts a Windows program in NS's prefix, inside NS;
# its pid goes to E2E_LAST_PID. It is ended after E2E_WINE_TIMEOUT seconds (default
# 120); a capture meant to outlast that sets it for its own call only.
e2e_wine_bg() {
  local short=$1; shift
  [[ -n ${E2E_PREFIX[$short]:-} ]] || e2e_die "no Wine prefix started in $short"
  e2e_refuse_root_ns "$short"
  e2e_check_server "$short"
  ip netns exec "$(e2e_ns "$short")" "${E2E_GUARD[@]}" env -u DISPLAY -u WAYLAND_DISPLAY \
    WINEPREFIX="${E2E_PREFIX[$short]}" WINEDLLOVERRIDES=mscoree,mshtml= WINEDEBUG="$E2E_DEBUG" \
    timeout "${E2E_WINE_TIMEOUT:-120}" "$E2E_WINE" "$@" &
  E2E_LAST_PID=$!
  E2E_PIDS+=("$E2E_LAST_PID")
}

# e2e_wine NS PROGRAM ARGS...: runs a Windows program in NS's prefix, inside NS; its status.
e2e_wine() {
  e2e_wine_bg "$@"
  # Waiting on a background job lets a signal reach the trap at once.
  wait "$E2E_LAST_PID"
}

# e2e_bg NS CMD...: starts CMD in the background inside NS; its pid goes to E2E_LAST_PID.
e2e_bg() {
  local ns; ns=$(e2e_ns "$1"); shift
  ip netns exec "$ns" "${E2E_GUARD[@]}" "$@" &
  E2E_LAST_PID=$!
  E2E_PIDS+=("$E2E_LAST_PID")
}

# e2e_tracecap NS OUT: tracecap -p ("pid: line") in NS's prefix into OUT, armed on return;
# it runs until e2e_stop "$E2E_LAST_PID" or the end of the script.
e2e_tracecap() {
  : "${TRACECAP_EXE:?set TRACECAP_EXE to tracecap.exe}"
  E2E_WINE_TIMEOUT=$E2E_DEADLINE e2e_wine_bg "$1" "$TRACECAP_EXE" -p >"$2" 2>"$2.err"
  local pid=$E2E_LAST_PID
  for _ in $(seq 300); do
    grep -q '^tracecap: ready' "$2.err" && return 0
    kill -0 "$pid" 2>/dev/null || e2e_die "tracecap ended: $(cat "$2.err")"
    sleep 0.1
  done
  e2e_die "tracecap not armed after 30 s: $(cat "$2.err")"
}

# Waits up to 10 s for file $1 to exist (a readiness mark), else ends the script.
e2e_wait_file() {
  for _ in $(seq 100); do [[ -e $1 ]] && return 0; sleep 0.1; done
  e2e_die "timed out waiting for $1"
}

# e2e_receiver NS OUT [ntp_receive.py record options]: NTP receiver on UDP 123 in NS.
e2e_receiver() {
  local short=$1 out=$2; shift 2
  local ready="$out.ready"
  e2e_bg "$short" "$E2E_PY" "$E2E_DIR/ntp_receive.py" record --out "$out" --ready "$ready" "$@"
  e2e_wait_file "$ready"
}

# e2e_capture NS FILE [IFACE]: dumpcap of UDP port 123 in NS (default all interfaces).
e2e_capture() {
  local log="$2.log"
  e2e_bg "$1" dumpcap -q -i "${3:-any}" -f 'udp port 123' -w "$2" 2>"$log"
  local pid=$E2E_LAST_PID
  for _ in $(seq 100); do
    grep -q 'Capturing on' "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || e2e_die "dumpcap failed: $(cat "$log")"
    sleep 0.1
  done
  e2e_die "dumpcap did not start"
}

# e2e_relay_boxes NS: from now on a program in NS's prefix run with
# E2E_DEBUG=-all,+relay logs each MessageBoxW call on its stderr. Without an X
# display the box itself returns at once, unseen; this log is the only way to read it.
e2e_relay_boxes() {
  e2e_wine "$1" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxW /f \
    >/dev/null
}

# e2e_box_texts FILE CAPTION: prints the text of each MessageBoxW call logged in FILE, one
# per line, in order. A box with an owner window, another caption or any style but a plain
# MB_OK prints as "BAD BOX: <log line>", so no comparison of texts can pass over it.
e2e_box_texts() {
  "$E2E_PY" - "$1" "$2" <<'EOF'
import re, sys

path, caption = sys.argv[1], sys.argv[2]
call = re.compile(r'^[0-9a-f]+:Call user32\.MessageBoxW\((.*)\) ret=[0-9a-f]+$')
string = r'[0-9a-f]+ L"((?:[^"\\]|\\.)*)"'
args = re.compile(r'^00000000,' + string + ',' + string + r',00000000$')
# Wine's log escapes these; anything else stays as logged.
escapes = {'n': '\n', 'r': '\r', 't': '\t', '"': '"', '\\': '\\'}

def unescape(text):
    return re.sub(r'\\(.)', lambda m: escapes.get(m.group(1), m.group(0)), text)

with open(path, encoding='utf-8', errors='replace') as log:
    for line in log:
        line = line.rstrip('\n')
        found = call.match(line)
        if not found:
            continue
        box = args.match(found.group(1))
        if box and unescape(box.group(2)) == caption:
            print(unescape(box.group(1)))
        else:
            print('BAD BOX: ' + line)
EOF
}

# Succeeds while PID is still a child of this script (not a stranger that reused the id).
e2e_ours() { [[ $(ps -o ppid= -p "$1" 2>/dev/null) =~ ^\ *$$$ ]]; }

# Stops a background process started here (SIGTERM lets receivers and dumpcap flush;
# SIGINT would not do: background jobs of a script start with it ignored).
e2e_stop() {
  e2e_ours "$1" || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do e2e_ours "$1" || break; sleep 0.1; done
  e2e_ours "$1" && kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null || true
}

# Removes everything this run made; runs once, from the EXIT trap.
e2e_cleanup() {
  local status=$?
  set +e
  trap - EXIT INT TERM HUP
  local pid short ns server
  for pid in "${E2E_PIDS[@]}"; do e2e_stop "$pid"; done
  for short in "${!E2E_PREFIX[@]}"; do
    WINEPREFIX="${E2E_PREFIX[$short]}" "$E2E_WINESERVER" -k 2>/dev/null
    server=${E2E_SERVER[$short]}
    for _ in $(seq 50); do e2e_ours "$server" || break; sleep 0.1; done
    e2e_ours "$server" && kill -KILL "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  done
  # Whatever is still inside our namespaces was started by this run.
  for ns in "${E2E_NAMESPACES[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns delete "$ns" 2>/dev/null
  done
  for short in "${!E2E_SERVER_TMP[@]}"; do rm -rf "${E2E_SERVER_TMP[$short]}"; done
  rm -rf "$E2E_TMP"
  exit "$status"
}

trap e2e_cleanup EXIT
trap 'exit 130' INT HUP
trap 'exit 143' TERM

# A run that outlives its deadline stops itself, so the trap still cleans up
# before any outer timeout kills the script outright.
(
  trap 'kill "$nap" 2>/dev/null; exit 0' INT TERM
  sleep "$E2E_DEADLINE" & nap=$!
  wait "$nap" && kill -TERM $$
) >/dev/null 2>&1 &
E2E_PIDS+=("$!")
