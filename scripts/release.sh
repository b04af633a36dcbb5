#!/bin/bash
# scripts/release.sh OUTDIR: the release of the committed tree, for every architecture the build
# makes: the zips and MSIs, the third-party notices and SHA256SUMS over them, written into
# OUTDIR (absent or empty) whole or not at all. Refuses a tree with uncommitted changes.
#
# The build is the one the tests use (preset mingw), from an export of HEAD in a scratch
# folder, with time from the commit (SOURCE_DATE_EPOCH): the same commit gives the same bytes
# anywhere, at any time, under any time zone or umask.
#
# Signing, with osslsigncode, where asked:
#   OSTRIVAL_SIGN_CERTS   the certificate chain, PEM, the signer's first: what every signature
#                         carries
#   OSTRIVAL_SIGN_KEY     a PKCS#11 URI (with OSTRIVAL_SIGN_PKCS11_MODULE, the token's module)
#                         or a PKCS#12 file, whose certificate must be the first of the chain
#   OSTRIVAL_SIGN_PASS    the token's PIN (or in the URI as pin-value), or the PKCS#12 password
#   OSTRIVAL_SIGN_TSA     an RFC 3161 time-stamp URL, optional
# signs both programs of each architecture, packs them, signs the MSIs, and writes the detached
# signatures into OUTDIR/signatures. OSTRIVAL_SIGNATURES=DIR, such a folder, attaches its
# signatures to this build instead, giving the same bytes as the signed release.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
die() {
  echo "release.sh: $*" >&2
  exit 1
}
# shellcheck source=scripts/signing.sh
. "$root/scripts/signing.sh" # first: it takes the PIN or password out of the environment
(($# == 1)) || die "usage: scripts/release.sh OUTDIR"
out=$(realpath -m "$1")
[[ ! -e $out || -z $(ls -A "$out") ]] || die "$out is not empty"
[[ -z $(git -C "$root" status --porcelain --untracked-files=no) ]] ||
  die "the tree has uncommitted changes: commit or stash them, then run again"
"$root/scripts/deps.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 022
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
check_signing_inputs

run() { # LOG COMMAND...: runs the command, showing its log's end only if it fails
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    tail -30 "$log" >&2
    die "failed: $*"
  }
}
mkdir "$work/src" "$work/out"
git -C "$root" archive HEAD | tar -x -C "$work/src"
build=$work/build
run "$work/configure.log" cmake --preset mingw -S "$work/src" -B "$build" -DOSTRIVAL_TESTS=OFF
run "$work/build.log" cmake --build "$build" -j"$(nproc)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# Each architecture's build tree: x64 here, x86 inside it. The zip and the MSI are packed again
# from the signed programs.
for arch in x64 x86; do
  tree=$build
  [[ $arch == x64 ]] || tree=$build/$arch
  for program in ostrival.exe tracecap.exe; do
    sign_file "$tree/stage/$program" "$work/out/signatures/$arch/$program.sig"
  done
  run "$work/pack.log" cmake --build "$tree" --target zip msi
  cp "$tree"/ostrival-"$version"-*.zip "$tree/ostrival-$version-$arch.msi" "$work/out/"
  sign_file "$work/out/ostrival-$version-$arch.msi" \
    "$work/out/signatures/$arch/ostrival-$version-$arch.msi.sig"
done
cp "$build/stage/THIRD-PARTY-NOTICES.txt" "$work/out/"
(cd "$work/out" && sha256sum -- *.zip *.msi THIRD-PARTY-NOTICES.txt >SHA256SUMS)

# Renamed into place whole, from beside it: a rename within one file system.
mkdir -p "$(dirname "$out")"
final=$(mktemp -d "$(dirname "$out")/.release.XXXXXX")
trap 'rm -rf "$work" "$final"' EXIT
cp -r "$work/out/." "$final/"
chmod 755 "$final"
[[ ! -e $out ]] || rmdir "$out"
mv "$final" "$out"
echo "release.sh: $(signing_outcome) release of $(git -C "$root" rev-parse --short HEAD) in $out"
