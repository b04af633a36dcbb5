#!/bin/sh
# Installs from Debian what building and testing Ostrival needs: the MinGW-w64
# cross compiler, Wine to run the result, GoogleTest's sources, iproute2 and
# procps for the test namespaces, tshark and Python for the receivers, clang's
# linker and static checkers for scripts/check-code.sh.
# Does nothing when all of it is already there. Run as root.
set -eu

PACKAGES="cmake make clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 iproute2 procps tshark
python3 googletest
lld clang-tidy clang-format cppcheck"

missing=
for p in $PACKAGES; do
  status=$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing="$missing $p"
done
[ -n "$missing" ] || exit 0

echo "deps.sh: installing$missing" >&2
apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
