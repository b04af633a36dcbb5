#!/bin/bash
# Shows one broadcast end to end: builds ostrival.exe, makes two throwaway network namespaces
# joined by a veth pair, runs `ostrival.exe debug` under Wine in one (its wineserver inside
# that namespace, checked before anything sends), receives in the other and prints the
# datagram field by field. Removes everything it made, however it ends. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) != 0 ]]; then
  echo "demo.sh: run as root; it creates network namespaces" >&2
  exit 1
fi
scripts/deps.sh
echo "== building ostrival.exe (preset mingw, ./build)"
cmake --preset mingw >/dev/null
cmake --build build -j2 --target ostrival >/dev/null
exec /usr/bin/python3 scripts/demo.py "$PWD/build/ostrival.exe"
