#!/bin/bash
# Installs every Debian package the build, the demo and the tests need.
# Idempotent; run as root.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix mingw-w64-tools   # cross compiler, windres
  googletest                                   # sources, cross-built with the tests
  wine64                                       # Windows runtime for the exe and tests
  iproute2                                     # network namespaces and veth pairs
  tshark                                       # independent NTP decoder
  python3                                      # receiver in the peer namespaces
  clang lld                                    # second compiler and its linker (code_health)
  clang-tidy clang-format cppcheck             # static checks and layout (code_health)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
