#!/bin/bash
# Code health, four checks over the sources; exits non-zero on any finding:
#   1. a warning-free build (-Wall -Wextra -Werror) with the second compiler,
#      clang on MinGW-w64 (cmake/clang-mingw-w64-x86_64.cmake), tests too;
#   2. clang-tidy (.clang-tidy) on every file of src/ and tools/
#      that build compiles, through its compile database;
#   3. cppcheck on the same directories (cppcheck-suppressions.xml);
#   4. clang-format --dry-run --Werror (.clang-format) on src/, tests/, tools/.
# Installs nothing: scripts/deps.sh brings the tools.
#
#   scripts/check-code.sh [BUILD_DIR]     default: build-clang, the preset's
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-clang}
jobs=2
cd "$root" || exit 2

failed=()
run_step() {
  local name=$1 started=$SECONDS
  shift
  echo "== $name"
  if "$@"; then
    echo "-- $name: clean ($((SECONDS - started)) s)"
  else
    echo "-- $name: FINDINGS ($((SECONDS - started)) s)"
    failed+=("$name")
  fi
}

clang_build() {
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DOSTRIVAL_TESTS=ON >/dev/null ||
    return 1
  # Progress lines hide the warnings; everything else is shown.
  cmake --build "$build" -j"$jobs" 2>&1 | grep -vE '^\[ *[0-9]+%\]|^gmake'
  return "${PIPESTATUS[0]}"
}

# The files the clang build compiles under our own directories: those are the
# ones with a compile command, so Windows headers resolve.
own_sources() {
  grep -o '"file": "[^"]*"' "$build/compile_commands.json" | sed 's/^"file": "//; s/"$//' |
    grep -E "^$root/(src|tools)/" | sort -u
}

tidy() {
  [[ -f $build/compile_commands.json ]] || { echo "no compile database in $build"; return 1; }
  local files
  files=$(own_sources)
  [[ -n $files ]] || { echo "no sources found in the compile database"; return 1; }
  echo "$(wc -l <<<"$files") files"
  local log=$build/clang-tidy.log status
  xargs -P"$jobs" -n1 clang-tidy -p "$build" --quiet \
    --header-filter="^$root/(src|tools)/" <<<"$files" >"$log" 2>&1
  status=$?
  grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' \
    "$log"
  return "$status"
}

cppcheck_run() {
  cppcheck --enable=warning,style,performance,portability,information --std=c++17 --language=c++ \
    --platform=win64 --library=windows -D_WIN32 -DUNICODE -D_UNICODE -I src \
    --suppress-xml=cppcheck-suppressions.xml --error-exitcode=1 --quiet \
    src tools
}

format_check() {
  local files
  files=$(find src tests tools -name node_modules -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
  echo "$(wc -l <<<"$files") files"
  xargs clang-format --dry-run --Werror <<<"$files"
}

run_step "clang-mingw build" clang_build
run_step "clang-tidy" tidy
run_step "cppcheck" cppcheck_run
run_step "clang-format" format_check

if ((${#failed[@]})); then
  echo "code health: findings in: ${failed[*]}"
  exit 1
fi
echo "code health: clean"
