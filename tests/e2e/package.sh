#!/bin/bash
# The release package as a user gets it: cpack in the build tree makes the
# zip and its checksum; the checksum must match, the zip must hold exactly the
# programs and the README, the programs stripped and importing only system
# DLLs; the unpacked service must carry version resource $OSTRIVAL_VERSION.0
# and print its usage text under Wine. Nothing here sends: `help` and the
# version reader run in a throwaway prefix in the current namespace (never
# `debug` or the service).
#
# Environment (set by CTest): OSTRIVAL_BUILD, OSTRIVAL_SOURCE, OSTRIVAL_VERSION,
# OSTRIVAL_EXE, CPACK, OBJDUMP, VERINFO_EXE, EXPECT_TRACECAP (1 or 0).
set -euo pipefail

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
name=ostrival-$OSTRIVAL_VERSION-win64
zip=$OSTRIVAL_BUILD/$name.zip
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-package.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  if [[ -d $WINEPREFIX ]]; then "$WINESERVER" -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# Prints the files of directory $1, one relative path per line, sorted.
list_files() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

build_package() {
  rm -f "$zip" "$zip.sha256"
  (cd "$OSTRIVAL_BUILD" && "$CPACK" -G ZIP --config CPackConfig.cmake >"$work/cpack.log") ||
    fail "cpack: $(cat "$work/cpack.log")"
  [[ -f $zip ]] || fail "cpack made no $zip"
  [[ -f $zip.sha256 ]] || fail "cpack wrote no checksum beside the zip"
  # sha256sum's own format, so `sha256sum -c` works where the zip lies.
  grep -qxE "[0-9a-f]{64}  $name\.zip" "$zip.sha256" ||
    fail "checksum file not in sha256sum format: $(cat "$zip.sha256")"
  (cd "$OSTRIVAL_BUILD" && sha256sum --quiet -c "$name.zip.sha256") || fail "checksum mismatch"
  echo "package: $(stat -c %s "$zip") bytes, checksum $(cut -c1-16 "$zip.sha256")..."
}

unpack() {
  mkdir "$work/unpacked"
  (cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
  local expected="README.md
ostrival.exe"
  if [[ $EXPECT_TRACECAP == 1 ]]; then expected+=$'\ntracecap.exe'; fi
  local got
  got=$(list_files "$work/unpacked")
  [[ $got == "$(LC_ALL=C sort <<<"$expected")" ]] ||
    fail "zip holds:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
  cmp -s "$work/unpacked/README.md" "$OSTRIVAL_SOURCE/README.md" || fail "README.md differs"
}

# Stripped: no symbol table and no debug sections left.
check_stripped() {
  local exe=$1
  "$OBJDUMP" -t "$exe" | grep -q '^SYMBOL TABLE:' || fail "objdump cannot read $exe"
  if "$OBJDUMP" -t "$exe" | sed '1,/^SYMBOL TABLE:/d' | grep -q '^\['; then
    fail "$(basename "$exe") still has its symbol table"
  fi
  if "$OBJDUMP" -h "$exe" | grep -q ' \.debug'; then fail "$(basename "$exe") has debug sections"; fi
}

# Every DLL imported must be one Windows has in system32: a MinGW runtime
# DLL (libstdc++, libgcc, libwinpthread) would not be found on a user's PC.
check_imports() {
  local exe=$1 dll system32=$WINEPREFIX/drive_c/windows/system32
  local dlls
  dlls=$("$OBJDUMP" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  [[ -n $dlls ]] || fail "no imports read from $exe"
  while read -r dll; do
    [[ -f $system32/${dll,,} ]] || fail "$(basename "$exe") imports $dll, which is no system DLL"
  done <<<"$dlls"
  echo "$(basename "$exe"): $(stat -c %s "$exe") bytes, imports $(tr '\n' ' ' <<<"$dlls")"
}

check_version() {
  local v=$OSTRIVAL_VERSION.0
  local expected="FixedFileVersion: $v
FixedProductVersion: $v
Translation: 040904E4
FileVersion: $v
ProductVersion: $v
FileDescription: Ostrival Service
InternalName: Ostrival
Comments: Relies on the PC clock being synchronised to a good time source."
  local got
  # Its stderr also takes Wine's notes on building the prefix.
  got=$("$WINE" "$VERINFO_EXE" "$work/unpacked/ostrival.exe" 2>"$work/verinfo.err" |
    tr -d '\r' | head -n 8) ||
    fail "verinfo could not read the unpacked ostrival.exe: $(cat "$work/verinfo.err")"
  [[ $got == "$expected" ]] || fail "version resource:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
  echo "version resource: $v, 040904E4, strings as expected"
}

check_help() {
  printf '%s\r\n' "Ostrival Service Application." \
    "Use one of these parameters:" \
    "  add        - add this as a windows service" \
    "  remove     - remove this as a windows service" \
    "  start      - start the installed service" >"$work/help.expected"
  # Through a pipe, as a script would read it: text mode turns \n into CRLF.
  (cd "$work/unpacked" && "$WINE" ./ostrival.exe help | cat >"$work/help.out") ||
    fail "ostrival.exe help failed"
  cmp "$work/help.out" "$work/help.expected" ||
    fail "usage text differs:"$'\n'"$(od -c "$work/help.out" | head -20)"
  echo "ostrival.exe help: usage text as expected"
}

# The stripped capture tool still starts: a wrong argument gets its usage
# line and exit code 2, before it opens anything.
check_tracecap_starts() {
  local status=0
  (cd "$work/unpacked" && "$WINE" ./tracecap.exe --no-such-option 2>"$work/tracecap.err") ||
    status=$?
  [[ $status == 2 ]] && grep -q '^usage: tracecap' "$work/tracecap.err" ||
    fail "tracecap.exe did not start (exit $status): $(cat "$work/tracecap.err")"
  echo "tracecap.exe: starts, usage on a wrong argument"
}

build_package
unpack
mkdir "$WINEPREFIX"
check_version  # first Wine command: it also builds the prefix, system32 included
for exe in "$work"/unpacked/*.exe; do
  check_stripped "$exe"
  check_imports "$exe"
done
echo "build tree ostrival.exe: $(stat -c %s "$OSTRIVAL_EXE") bytes unstripped"
check_help
if [[ $EXPECT_TRACECAP == 1 ]]; then check_tracecap_starts; fi
echo "package: all checks passed"
