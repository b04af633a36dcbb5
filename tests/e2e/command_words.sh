#!/bin/bash
# Command words the table has to survive: any case, extra arguments, an empty
# word, a 32 000-character word and non-ASCII words. help in any case prints
# the usage and nothing else; any other word, or none, makes this process the
# service, which run by hand prints the notice and gives up. Every run exits
# 0 and none crashes.
#
# No word here may select debug, add, remove or start in any case: debug
# sends and the others touch the service manager, so they are tested where
# that is safe. Nothing here sends, so this prefix's wineserver may live in
# the machine's own network namespace.
set -euo pipefail

exe=${OSTRIVAL_EXE:?set OSTRIVAL_EXE to the built ostrival.exe}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-words.XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-words-out.XXXXXX")
export WINEPREFIX WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
# Arguments reach Wine as UTF-8 whatever the caller's locale.
export LC_ALL=C.UTF-8
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT

# msvcrt writes each line feed to a pipe as CR LF.
printf '%s\r\n' 'Ostrival Service Application.' 'Use one of these parameters:' \
  '  add        - add this as a windows service' \
  '  remove     - remove this as a windows service' \
  '  start      - start the installed service' >"$work/usage"
printf '%s\r\n%s\r\n%s' 'Ostrival Service. If you see this message you have run' \
  'this the wrong way: this should be started as a windows service.' \
  'You can start it by passing "start" on the command line.' >"$work/notice"

names=() wants=()

# run NAME usage|notice WORDS...: starts the exe with WORDS in the background.
# A word that makes the service waits about 10 s for the dispatcher to give
# up, so the runs overlap; the prefix is booted before they start.
run() {
  local id=${#names[@]}
  names+=("$1") wants+=("$2")
  shift 2
  (
    status=0
    "$wine" "$exe" "$@" </dev/null >"$work/$id.out" 2>"$work/$id.err" || status=$?
    echo "$status" >"$work/$id.status"
  ) &
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
wait
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
wait

passed=0 failed=0
for id in "${!names[@]}"; do judge "$id"; done
echo "command_words: $passed passed, $failed failed"
((failed == 0))
