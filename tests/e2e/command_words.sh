#!/bin/bash
# Command words the table has to survive: any case, extra arguments, an empty
# word, a 32 000-character word and non-ASCII words. help in any case prints
# the usage and nothing else; any other word, or none, makes this process the
# service, which run by hand prints the notice and gives up. Every run exits
# 0 and none crashes.
#
# No word here may select debug, add, remove or start in any case: debug
# sends and the others touch the service manager; they are tested elsewhere.
# The runs still happen in a namespace of their own with nothing but
# loopback, so a word that slipped through could reach no network.
. "$(dirname "$0")/../../tools/rig/lib.sh"
exe=${OSTRIVAL_EXE:?set OSTRIVAL_EXE to the built ostrival.exe}
work=$E2E_TMP
# Arguments reach Wine as UTF-8 whatever the caller's locale.
export LC_ALL=C.UTF-8

e2e_ns_add words
e2e_wine_start words
e2e_tracecap words "$work/trace"
capture=$E2E_LAST_PID

# msvcrt writes each line feed to a pipe as CR LF.
printf '%s\r\n' 'Ostrival Service Application.' 'Use one of these parameters:' \
  '  add        - add this as a windows service' \
  '  remove     - remove this as a windows service' \
  '  start      - start the installed service' >"$work/usage"
printf '%s\r\n%s\r\n%s' 'Ostrival Service. If you see this message you have run' \
  'this the wrong way: this should be started as a windows service.' \
  'You can start it by passing "start" on the command line.' >"$work/notice"

names=() wants=() pids=()

# run NAME usage|notice WORDS...: starts the exe with WORDS in the background.
# A word that makes the service waits about 10 s for the dispatcher to give
# up, so the runs overlap; the prefix is booted before they start.
run() {
  local id=${#names[@]}
  names+=("$1") wants+=("$2")
  shift 2
  e2e_wine_bg words "$exe" "$@" </dev/null >"$work/$id.out" 2>"$work/$id.err"
  pids+=("$E2E_LAST_PID")
}

# Collects the exit status of every run started so far.
collect() {
  local id status
  for id in "${!pids[@]}"; do
    [[ -e $work/$id.status ]] && continue
    status=0
    wait "${pids[$id]}" || status=$?
    echo "$status" >"$work/$id.status"
  done
}

# Exit status 0, stdout exactly the expected text, and no crash: Wine reports
# one on stderr as "wine: Unhandled page fault ..., starting debugger".
judge() {
  local id=$1 name=${names[$1]} want=${wants[$1]} why=()
  local status
  status=$(cat "$work/$id.status")
  ((status == 0)) || why+=("exit status $status")
  cmp -s "$work/$id.out" "$work/$want" || why+=("stdout is not the $want text")
  if grep -qE 'Unhandled|starting debugger|Backtrace:' "$work/$id.err"; then
    why+=("crashed")
  fi
  if ((${#why[@]} == 0)); then
    echo "ok   $name -> $want"
    passed=$((passed + 1))
  else
    echo "FAIL $name: ${why[*]}"
    echo "  stdout:"; od -c "$work/$id.out" | head -n 12 | sed 's/^/    /'
    echo "  stderr:"; head -n 20 "$work/$id.err" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
}

many=()
for i in $(seq 1 200); do many+=("arg$i"); done
long=$(head -c 32000 /dev/zero | tr '\0' x)
long_help="help${long:4}"

run "help" usage help
collect
run "HELP" usage HELP
run "HeLp with extra words" usage HeLp extra words
run "help and 200 more arguments" usage help "${many[@]}"
run "no word" notice
run "empty word" notice ""
run "32 000 x" notice "$long"
run "help followed by 31 996 x" notice "$long_help"
run "helpx" notice helpx
run "hel" notice hel
run "hel and 200 more arguments" notice hel "${many[@]}"
run "help with a space" notice "help "
run "accented e" notice "héllo"
run "accented help" notice "hélp"
run "Cyrillic" notice "дебаг"
run "Han" notice "帮助"
collect
e2e_stop "$capture"

passed=0 failed=0
for id in "${!names[@]}"; do judge "$id"; done
# Each run that became the service stripped its token before the dispatcher
# gave up; help runs write no trace at all.
notices=$(printf '%s\n' "${wants[@]}" | grep -c notice)
for line in "Ostrival: Disabling all privileges" "Ostrival: Removing privileges"; do
  seen=$(grep -cx "[0-9]*: $line" "$work/trace" || true)
  if ((seen == notices)); then
    echo "ok   \"$line\" traced by each of the $notices service starts"
    passed=$((passed + 1))
  else
    echo "FAIL \"$line\" traced $seen times for $notices service starts"
    failed=$((failed + 1))
  fi
done
echo "command_words: $passed passed, $failed failed"
((failed == 0))
