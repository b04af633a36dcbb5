#!/bin/bash
# tracecap as the other scripts lean on it: "ready" on stderr once armed, each trace line on
# stdout at once ("pid: text" with -p), a second capturer refused, Ctrl+C and the seconds
# argument both ending the run cleanly. Nothing here sends; the rig's namespace keeps it so.
. "$(dirname "$0")/../../tools/rig/lib.sh"

EMIT="$OSTRIVAL_BUILD/tests/trace_emit.exe"
[[ -f $EMIT ]] || e2e_die "no $EMIT: build the trace_emit target"

e2e_ns_add host
e2e_wine_start host

out=$E2E_TMP/tracecap.out
err=$E2E_TMP/tracecap.err
e2e_bg host env WINEPREFIX="${E2E_PREFIX[host]}" WINEDLLOVERRIDES="mscoree,mshtml=" \
  WINEDEBUG=-all "$E2E_WINE" "$TRACECAP_EXE" -p >"$out" 2>"$err"
capture=$E2E_LAST_PID
for _ in $(seq 100); do grep -q '^tracecap: ready$' "$err" && break; sleep 0.1; done
grep -q '^tracecap: ready$' "$err" || e2e_die "tracecap never armed: $(cat "$err")"

e2e_wine host "$EMIT" "Ostrival: first line" "" "second, after an empty one"
# The emitter's writes returned before it ended; the lines are on their way, not lost.
for _ in $(seq 100); do (($(wc -l <"$out") >= 3)) && break; sleep 0.1; done
mapfile -t lines <"$out"
((${#lines[@]} == 3)) || e2e_die "expected 3 lines, got: $(cat -A "$out")"
pid=${lines[0]%%: *}
[[ $pid =~ ^[0-9]+$ ]] || e2e_die "no pid column: ${lines[0]}"
[[ ${lines[0]} == "$pid: Ostrival: first line" && ${lines[1]} == "$pid: " &&
   ${lines[2]} == "$pid: second, after an empty one" ]] || e2e_die "lines: $(cat -A "$out")"
e2e_log "lines arrived whole, LF-ended, with the writer's pid $pid"

rc=0
e2e_wine host "$TRACECAP_EXE" 1 2>"$E2E_TMP/second.err" || rc=$?
((rc == 1)) || e2e_die "a second capturer exited with $rc, not 1"
grep -q 'another capture program' "$E2E_TMP/second.err" ||
  e2e_die "second capturer said: $(cat "$E2E_TMP/second.err")"
rc=0
e2e_wine host "$TRACECAP_EXE" soon 2>/dev/null || rc=$?
((rc == 2)) || e2e_die "a bad argument exited with $rc, not 2"

# Wine turns SIGINT into Ctrl+C for a console program.
kill -INT "$capture"
rc=0
wait "$capture" || rc=$?
((rc == 0)) || e2e_die "Ctrl+C ended tracecap with $rc, not 0"

rc=0
e2e_wine host "$TRACECAP_EXE" 1 >"$E2E_TMP/timed.out" 2>"$E2E_TMP/timed.err" || rc=$?
((rc == 0)) || e2e_die "tracecap 1 exited with $rc: $(cat "$E2E_TMP/timed.err")"
grep -q '^tracecap: ready$' "$E2E_TMP/timed.err" || e2e_die "the channel was not free after Ctrl+C"
e2e_log "refusal, usage error, Ctrl+C and the seconds argument all behave"
echo "PASS tracecap"
