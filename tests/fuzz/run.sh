#!/bin/bash
# tests/fuzz/run.sh SECONDS OUT_DIR: builds the fuzz target natively with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it; fails on any report. The input
# that did it is left in OUT_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$2/corpus"
clang++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -I"$here/../../src" "$here/fuzz.cpp" \
  "$here/../../src/broadcast/packet.cpp" "$here/../../src/broadcast/target.cpp" -o "$2/fuzz"
"$2/fuzz" -max_total_time="$1" -artifact_prefix="$2/" "$2/corpus" "$here/corpus" 2>&1 | tail -n 30
