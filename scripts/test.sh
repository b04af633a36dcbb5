#!/bin/bash
# Builds everything and runs every test. What CI runs. Ends with one line per architecture
# saying how many of its tests ran, and why the others were skipped: a green run says what it
# did not prove.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset mingw
cmake --build --preset mingw -j"$(nproc)"
status=0 results=$PWD/build/ctest.xml
rm -f "$results"
ctest --preset mingw --output-junit "$results" "$@" || status=$?
[[ -f $results ]] || exit $((status ? status : 1))
/usr/bin/python3 - "$results" <<'EOF_PY'
import collections, re, sys, xml.etree.ElementTree as ET
run, skipped = collections.Counter(), collections.defaultdict(list)
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    arch = case.get("name").rpartition("-")[2]
    if arch not in ("x64", "x86"):
        continue
    run[arch] += 0
    if case.get("status") != "notrun":
        run[arch] += 1
        continue
    # Why, as wine-run ("skipped: REASON (detail)") or pytest ("SKIPPED [1] WHERE: REASON") says.
    said = re.findall(r"(?im)skipped(?: \[\d+\] \S+)?: (.+?)(?: \(.*)?$",
                      case.findtext("system-out") or "")
    skipped[arch].append(said[-1] if said else "no reason given")
for arch in sorted(run):
    why = "; ".join(sorted(set(skipped[arch])))
    print(f"{arch}: {run[arch]} of {run[arch] + len(skipped[arch])} tests run"
          + (f", {len(skipped[arch])} skipped: {why}" if why else ""))
EOF_PY
exit $status
