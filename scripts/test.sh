#!/bin/bash
# Builds everything and runs every test. What CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset mingw
cmake --build --preset mingw -j"$(nproc)"
ctest --preset mingw "$@"
