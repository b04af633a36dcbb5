#!/bin/bash
# Code lines (non-blank, not starting with a # or // comment) of the tracked sources, by
# part, and the tests' share of them. Everything only the tests use lives under tests/.
set -euo pipefail
cd "$(dirname "$0")/.."

code='\.(cpp|h|py|sh|js|cmake|rc|rc\.in|wxs)$|(^|/)CMakeLists\.txt$|^\.ci/'
count() {
  git ls-files -- "$@" | grep -E "$code" | while read -r file; do [[ -f $file ]] && cat "$file"; done |
    grep -cvE '^\s*($|//|#|<!--)' || true
}

program=$(count src res)
build=$(count CMakeLists.txt cmake packaging .ci)
other=$(count tools bench scripts)
tests=$(count tests)
all=$((program + build + other + tests))
printf '%-34s %5d\n' "program (src, res)" "$program" "build and packaging" "$build" \
  "tools, bench, scripts" "$other" "tests" "$tests" "all" "$all"
printf '%-34s %4d%%\n' "tests, share of all" $((100 * tests / all))
