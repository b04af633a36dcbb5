#!/bin/bash
# Benchmarks ostrival.exe under Wine and writes bench/RESULTS.md: arrival accuracy, cycle cost
# against the number of adapters, footprint of the running service, and what a long run of
# cycles leaves behind (bench/run.py says how, and its knobs), with three pictures beside it as
# SVG, drawn with Debian's matplotlib, which only the benchmark needs and so installs itself.
# About 8 minutes; needs root.
#
#   bench/run.sh                   deps, build with the preset mingw (./build), measure
#   OSTRIVAL_EXE=... bench/run.sh  measure this exe, and the soak.exe of its build tree (or
#                                  OSTRIVAL_SOAK), build nothing
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) != 0 ]]; then
  echo "bench/run.sh: run as root; it creates network namespaces" >&2
  exit 1
fi
scripts/deps.sh
dpkg-query -W -f '${Status}' python3-matplotlib 2>/dev/null | grep -q '^install ok installed$' ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-matplotlib
if [[ -z ${OSTRIVAL_EXE:-} ]]; then
  echo "== building ostrival.exe and soak.exe (preset mingw, ./build)" >&2
  cmake --preset mingw >/dev/null
  cmake --build build -j2 --target ostrival soak >/dev/null
  export OSTRIVAL_EXE=$PWD/build/ostrival.exe
fi
exec /usr/bin/python3 bench/run.py "$@"
