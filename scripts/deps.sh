#!/bin/sh
# Installs from Debian what building, testing and releasing Ostrival needs: the MinGW-w64
# cross compilers (x64 and x86), Wine with its 32-bit side (wine32 from the i386 architecture,
# which this adds) to run the results, GoogleTest's sources, pytest with pyroute2 (namespaces),
# scapy (NTP decoding) and pefile for the scenarios, wixl, msitools and olefile for the MSI,
# osslsigncode with the PKCS#11 engine, SoftHSM2 and OpenSC for signing and its test (with
# strace, to see every program a release starts, and ssh-keygen, to sign a commit there),
# bubblewrap for the release's sandbox, PyYAML for its winget manifests (with jsonschema, which
# judges them, and faketime, which moves a verifier's clock past a certificate's end),
# diffoscope to show where two builds differ, clang for fuzzing and with its linker and static
# checkers for scripts/check-code.sh; and from npm, as tests/sbom/package-lock.json pins them,
# the CycloneDX library and package-URL parser that the release scenario judges the SBOM with
# (Debian's npm where the machine has none), which a release (--release) goes without. Does
# nothing when all of it is there. Run as root.
set -eu

PACKAGES="cmake make clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
mingw-w64-tools wine64 wine32:i386 iproute2 procps googletest python3 lld clang-tidy clang-format
cppcheck"
# Their recommends would bring plotting and desktop libraries nothing here uses.
PYTHON="python3-pytest python3-pyroute2 python3-scapy python3-pefile wixl msitools python3-olefile
osslsigncode libengine-pkcs11-openssl softhsm2 opensc diffoscope openssh-client strace bubblewrap
python3-yaml python3-jsonschema faketime"

missing() {
  for p in "$@"; do
    [ "$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] ||
      printf ' %s' "$p"
  done
}
# shellcheck disable=SC2086
full=$(missing $PACKAGES) lean=$(missing $PYTHON)
tests=yes
[ "${1-}" != --release ] || tests=''
[ -z "$tests" ] || command -v npm >/dev/null || lean="$lean npm"
if [ -n "$full$lean" ]; then
  echo "deps.sh: installing$full$lean" >&2
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  [ -z "$full" ] || apt-get install -y $full
  # shellcheck disable=SC2086
  [ -z "$lean" ] || apt-get install -y --no-install-recommends $lean
fi

sbom=$(dirname "$0")/../tests/sbom
[ -z "$tests" ] || [ -d "$sbom/node_modules" ] || npm ci --prefix "$sbom" --omit=optional --no-audit --no-fund
