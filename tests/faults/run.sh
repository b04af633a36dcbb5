#!/bin/bash
# tests/faults/run.sh [ID...]: plants each fault of faults.tsv (default all), one at a time, in
# a scratch worktree of HEAD, commits it there (the release scenario builds commits), builds it
# and runs the suite there, quick tests first and the service scenario only if they catch
# nothing. Prints one line per fault: id, caught or MISSED, the tests that failed (or the x86
# build, where x64 builds and x86 does not), what the fault is. A fault is a perl substitution
# on a file.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-faults.XXXXXX")
trap 'git -C "$here" worktree remove --force "$tree"' EXIT
git -C "$here" worktree add -q --detach "$tree" HEAD
"$tree/scripts/deps.sh" # what is not tracked: the npm packages of tests/sbom
base=$(git -C "$tree" rev-parse HEAD)
cmake --preset mingw -S "$tree" >/dev/null && cmake --build "$tree/build" -j2 >/dev/null || exit 2
(($#)) || set -- $(cut -f1 "$here/faults.tsv")
for id in "$@"; do
  IFS=$'\t' read -r _ file change what < <(grep "^$id	" "$here/faults.tsv")
  git -C "$tree" reset -q --hard "$base"
  perl -0pi -e "$change" "$tree/$file"
  if git -C "$tree" diff --quiet; then echo "$id	NOT PLANTED	-	$what"; continue; fi
  git -C "$tree" commit -qam "planted $id"
  log=$tree/build/$id.log
  if ! cmake --build "$tree/build" -j2 >"$log" 2>&1; then
    if cmake --build "$tree/build" -j2 --target ostrival >>"$log" 2>&1; then
      echo "$id	caught	x86 build	$what"
    else
      echo "$id	BUILD FAILED	-	$what"
    fi
    continue
  fi
  # The service scenario only when the quick tests catch nothing.
  (cd "$tree/build" && ctest -E 'code_health|service' -j3 --stop-on-failure --output-on-failure >>"$log" 2>&1 &&
    ctest -R '^service-' -j2 --output-on-failure >>"$log" 2>&1)
  failed=$(sed -n '/(Skipped)$/!s/^[[:space:]]*[0-9]* - \([a-z0-9_-]*\) .*/\1/p' "$log" | paste -sd,)
  if [[ -n $failed ]]; then echo "$id	caught	$failed	$what"; else echo "$id	MISSED	-	$what"; fi
done
