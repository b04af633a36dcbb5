#!/bin/bash
# add, remove and start against Wine's own service manager, through a whole life of the
# service: registration as written, refusals in the right words, a real start and a removal
# while it runs, command words in any case, an install from a folder with spaces in its
# name, and a refusal to install from a path too long to read whole. Every run shows exactly
# one notice box, exits 0, prints nothing and traces nothing.
#
# The service really runs here, so the prefix's wineserver lives in a namespace of this
# run. That namespace has only loopback, and no run lasts the 128 s to a first broadcast.
# A run takes about 20 s; past this the script stops itself and still cleans up.
E2E_DEADLINE=${E2E_DEADLINE:-150}
. "$(dirname "$0")/../../tools/rig/lib.sh"

exe=${OSTRIVAL_EXE:?set OSTRIVAL_EXE to the built ostrival.exe}
probe_exe=${SVCPROBE_EXE:?set SVCPROBE_EXE to the built svcprobe.exe}
caption="Ostrival Service"
description="Ostrival: Transmit an NTP v3 broadcast every 2 minutes based on the PC clock."

ok() { echo "ok   $*"; }

# probe ARGS...: svcprobe on the service; its output goes to $probed, its status is kept.
probe() {
  local out="$E2E_TMP/probe.out"
  probe_status=0
  e2e_wine host "$probe_exe" Ostrival "$@" >"$out" 2>&1 || probe_status=$?
  probed=$(tr -d '\r' <"$out")
}

# reaches STATE SECONDS: the service manager reports STATE (4 running, 1 stopped) in time.
reaches() {
  probe wait "$1" "$2"
  ((probe_status == 0)) || e2e_die "state $1 not reached in $2 s: $probed"
}

# gone_within SECONDS: waits until the service manager no longer knows the service.
gone_within() {
  for _ in $(seq $(($1 * 5))); do
    probe exists
    ((probe_status == 1)) && [[ $probed == exists=0 ]] && return 0
    sleep 0.2
  done
  e2e_die "service still registered after $1 s: $probed"
}

# Prints "pid command line" for each ostrival.exe process in the namespace. The admin
# commands have all ended when this is called, so these are service processes.
service_processes() {
  local pid cmd
  for pid in $(ip netns pids "$(e2e_ns host)"); do
    # Wine pads the command line it shows with spaces.
    cmd=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | sed 's/ *$//') || continue
    if [[ ${cmd,,} == *ostrival.exe* ]]; then printf '%s %s\n' "$pid" "$cmd"; fi
  done
}

# Waits up to 10 s for the last service process to end.
processes_end() {
  for _ in $(seq 50); do
    [[ -z $(service_processes) ]] && return 0
    sleep 0.2
  done
  e2e_die "service process still there: $(service_processes)"
}

runs=0
# expect_box PROGRAM WORD TEXT: one run of PROGRAM WORD shows exactly the box TEXT, exits 0
# and writes nothing on stdout.
expect_box() {
  runs=$((runs + 1))
  local out="$E2E_TMP/admin-$runs.out" err="$E2E_TMP/admin-$runs.err" status=0 boxes
  E2E_DEBUG=-all,+relay e2e_wine host "$1" "$2" </dev/null >"$out" 2>"$err" || status=$?
  boxes=$(e2e_box_texts "$err" "$caption")
  ((status == 0)) || e2e_die "$2: exit status $status"
  [[ ! -s $out ]] || e2e_die "$2 wrote on stdout: $(head -c 300 "$out" | od -c | head)"
  [[ $boxes == "$3" ]] || e2e_die "$2: boxes [$boxes], want exactly [$3]"
  ok "$2 -> \"$3\""
}

# expect_config PATH: the registration add writes, with PATH as the quoted command line.
expect_config() {
  probe config
  local want
  want=$(printf '%s\n' type=0x10 start=2 error=0 "path=\"$1\"" account=LocalSystem \
    "display=$caption" "description=$description")
  [[ $probed == "$want" ]] || e2e_die "registration is
$probed
want
$want"
  ok "config: own process, auto start, errors ignored, LocalSystem, path \"$1\""
}

# service_pid: the pid the manager holds for the running service, in $service_pid.
service_pid() {
  probe status
  [[ $'\n'$probed$'\n' == *$'\nstate=4\n'* ]] || e2e_die "service not running: $probed"
  service_pid=${probed##*pid=}
  ((service_pid > 0)) || e2e_die "no service pid: $probed"
}

e2e_ns_add host
e2e_wine_start host
e2e_relay_boxes host
prefix=${E2E_PREFIX[host]}

# Debug output of the whole run, with the writer's pid: only the service may appear.
capture="$E2E_TMP/trace.txt"
e2e_tracecap host "$capture"
service_pids=()

# installs_and_runs RUN_AS WINDOWS_PATH: add registers WINDOWS_PATH quoted, start runs it.
installs_and_runs() {
  expect_box "$1" add "Ostrival Service has been installed."
  expect_config "$2"
  expect_box "$1" start "Ostrival Service has been started."
  reaches 4 10
  service_pid; service_pids+=("$service_pid")
  running=$(service_processes)
  [[ $running == *"$2"* ]] || e2e_die "service runs as: $running"
  ok "running from $2, pid $service_pid, process: $running"
}

# Wine's own name for the built exe, as GetModuleFileName gives it.
e2e_wine host winepath -w "$exe" >"$E2E_TMP/winepath" 2>/dev/null
exe_windows=$(tr -d '\r\n' <"$E2E_TMP/winepath")

e2e_log "add and start, then each again"
installs_and_runs "$exe" "$exe_windows"
expect_box "$exe" add "Could not add service. Perhaps it already exists."
expect_box "$exe" start "Service is already running."

e2e_log "controls the service does not take, and interrogate"
probe control 2
# Wine fills in no status when it refuses a control: only ok and code mean anything.
[[ $probed == $'ok=0\ncode=1052\n'* ]] || e2e_die "pause: $probed"
ok "pause refused with 1052 (control not accepted)"
probe control 4
[[ $probed == $'ok=1\ncode=0\n'* ]] || e2e_die "interrogate: $probed"
ok "interrogate accepted: ${probed//$'\n'/ }"
service_pid
ok "still running, pid $service_pid"

e2e_log "remove while running"
expect_box "$exe" remove "Ostrival Service has been removed."
started=$(date +%s%N)
gone_within 10
processes_end
ok "service unregistered and its process ended $((($(date +%s%N) - started) / 1000000)) ms" \
  "after the remove returned"
expect_box "$exe" remove "Could not open service to delete it, is it installed?"
expect_box "$exe" start "Aborted: Could not open service to start it."

# The service never ran: remove must not try to stop it, or it would fail with
# "Could not stop service".
e2e_log "ADD and Remove, never started"
expect_box "$exe" ADD "Ostrival Service has been installed."
probe exists
((probe_status == 0)) || e2e_die "ADD registered nothing: $probed"
expect_box "$exe" Remove "Ostrival Service has been removed."
gone_within 2

# Unquoted, this path would let Windows try "C:\Program.exe" first, as local system.
e2e_log "install from a folder whose path has spaces"
spaced_dir="$prefix/drive_c/Program Files/Ostrival Test"
spaced_windows='C:\Program Files\Ostrival Test\ostrival.exe'
mkdir -p "$spaced_dir"
cp "$exe" "$spaced_dir/ostrival.exe"
installs_and_runs "$spaced_windows" "$spaced_windows"
probe control 1
[[ $probed == $'ok=1\n'* ]] || e2e_die "stop: $probed"
reaches 1 10
processes_end
# Stopped after a run: remove deletes it without a stop control.
expect_box "$spaced_windows" remove "Ostrival Service has been removed."
gone_within 2

e2e_log "install from a path too long to read whole"
# GetModuleFileNameW fills its 261-character buffer and cuts the path short:
# registering that would name some other program, so add must refuse.
long_rel=$(printf 'folder-%02d/' $(seq 1 25))
long_windows="C:\\$(tr / '\\' <<<"$long_rel")ostrival.exe"
((${#long_windows} > 261)) || e2e_die "long path is only ${#long_windows} characters"
mkdir -p "$prefix/drive_c/$long_rel"
cp "$exe" "$prefix/drive_c/${long_rel}ostrival.exe"
expect_box "$long_windows" add "Install aborted: Could not read the program path."
probe exists
((probe_status == 1)) || e2e_die "a service was registered from a cut path: $probed"
ok "nothing registered from a ${#long_windows}-character path"

e2e_log "debug output"
# The capture prints each line as it comes; the last ones may still be on their way.
sleep 0.5
lines=$(tr -d '\r' <"$capture")
printf '%s\n' "$lines" | sed 's/^/  trace: /'
for pid in "${service_pids[@]}"; do
  grep -qx "$pid: Ostrival Service: Shutdown Request." <<<"$lines" ||
    e2e_die "no shutdown trace from service $pid: the capture missed it"
done
pattern=$(printf '%s|' "${service_pids[@]}")
others=$(grep -Ev "^(${pattern%|}): " <<<"$lines" || true)
[[ -z $others ]] || e2e_die "debug output from others than the service: $others"
ok "admin commands traced nothing; each service traced its shutdown"
echo "PASS: $runs admin runs"
