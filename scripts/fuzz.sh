#!/bin/bash
# A long native fuzz run of the packet builder and the target choice under the sanitizers:
# scripts/fuzz.sh [seconds, default 300]. Builds into build-fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash tests/fuzz/run.sh "${1:-300}" build-fuzz
