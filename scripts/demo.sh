#!/bin/bash
# Shows one broadcast end to end: builds ostrival.exe, makes two throwaway
# network namespaces joined by a veth pair, runs `ostrival.exe debug` under
# Wine in one (its wineserver inside that namespace, checked before anything
# sends), receives in the other and prints the datagram field by field with
# its arrival offset. Removes everything it made, however it ends.
# Needs root (namespaces, and apt-get on a fresh machine).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) != 0 ]]; then
  echo "demo.sh: run as root; it creates network namespaces" >&2
  exit 1
fi
if [[ -x scripts/deps.sh ]]; then scripts/deps.sh; fi

echo "== building ostrival.exe (preset mingw, ./build)"
cmake --preset mingw >/dev/null
cmake --build build -j2 --target ostrival >/dev/null
EXE=$PWD/build/ostrival.exe

. tools/rig/lib.sh
e2e_ns_add pc
e2e_ns_add lan
e2e_veth pc eth0 192.0.2.10/24 lan eth0 192.0.2.20/24
echo "== namespaces $(e2e_ns pc) (sender, 192.0.2.10/24) and $(e2e_ns lan) (receiver)"

echo "== starting a throwaway Wine prefix inside $(e2e_ns pc)"
e2e_wine_start pc
echo "   wineserver ${E2E_SERVER[pc]} is in $(readlink "/proc/${E2E_SERVER[pc]}/ns/net")," \
  "$(e2e_ns pc) is $(e2e_ns_id pc)," "the shell is in $E2E_ROOT_NS"

RECEIVED=$E2E_TMP/received.jsonl
e2e_receiver lan "$RECEIVED" --count 1
receiver=$E2E_LAST_PID

echo "== ostrival.exe debug"
status=0
e2e_wine pc "$EXE" debug || status=$?
echo "   exit status $status"
for _ in $(seq 30); do [[ -s $RECEIVED ]] && break; sleep 0.1; done
e2e_stop "$receiver"

echo "== received in $(e2e_ns lan)"
if [[ ! -s $RECEIVED ]]; then
  echo "   nothing arrived" >&2
  exit 1
fi
"$E2E_PY" "$E2E_DIR/ntp_receive.py" decode "$RECEIVED"
echo "(the transmit time is decoded as fraction / 2^32; Ostrival writes whole"
echo " milliseconds times 4299266, so it reads up to 1 ms late within each second)"
echo "== removing namespaces and the prefix"
