#!/bin/bash
# Builds the fuzz targets natively with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for the given number of seconds,
# starting from the seed corpus. Exits non-zero on any crash, sanitizer
# report or broken invariant; the input that did it is left in the build dir.
#
#   tests/fuzz/run.sh [seconds per target]     (OSTRIVAL_FUZZ_BUILD: build dir)
set -euo pipefail

seconds=${1:-20}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${OSTRIVAL_FUZZ_BUILD:-$root/build-fuzz}
cxx=${OSTRIVAL_FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (Debian packages clang and libclang-rt-14-dev)" >&2
  exit 1
fi
mkdir -p "$out"

# shellcheck disable=SC2054 # the sanitizer list is one comma-separated flag
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root/src")

# name, then the product sources it links
targets=(
  "target_fuzz src/broadcast/target.cpp"
  "packet_fuzz src/broadcast/packet.cpp"
)

build() {
  local name=$1; shift
  local sources=("$here/$name.cpp")
  local s
  for s in "$@"; do sources+=("$root/$s"); done
  "$cxx" "${flags[@]}" "${sources[@]}" -o "$out/$name"
}

# libFuzzer's exit status covers crashes, timeouts and sanitizer aborts; the
# log is read as well so a report that somehow let the run go on still fails.
run() {
  local name=$1 seeds=$here/corpus/${1%_fuzz}
  local corpus=$out/corpus/$name log=$out/$name.log
  local dict=$here/${name%_fuzz}.dict
  local extra=()
  [[ -f $dict ]] && extra+=(-dict="$dict")
  mkdir -p "$corpus"
  echo "fuzz: $name for ${seconds}s"
  local status=0
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/$name-" "${extra[@]}" \
      "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log" || true
  if ((status != 0)) || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|_fuzz: ' "$log"; then
    echo "fuzz: $name FAILED (status $status); log $log" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
  if ! grep -qE '^Done [1-9][0-9]* runs' "$log"; then
    echo "fuzz: $name ran no input; log $log" >&2
    return 1
  fi
}

for t in "${targets[@]}"; do
  # shellcheck disable=SC2086
  build $t
done
failed=0
for t in "${targets[@]}"; do
  run "${t%% *}" || failed=1
done
exit "$failed"
