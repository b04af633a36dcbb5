#!/bin/bash
# Long native fuzz run of the adapter-record choice and the packet builder:
# scripts/fuzz.sh [seconds per target, default 300]. Needs clang and
# libclang-rt-14-dev; builds into build-fuzz unless OSTRIVAL_FUZZ_BUILD says.
set -euo pipefail
exec bash "$(dirname "$0")/../tests/fuzz/run.sh" "${1:-300}"
