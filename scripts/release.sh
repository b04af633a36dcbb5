#!/bin/bash
# scripts/release.sh OUTDIR: the release of the committed tree, for every architecture the build
# makes: the zips and MSIs, the third-party notices, BUILDINFO (what built them) and SHA256SUMS
# over them, written into OUTDIR (absent or empty) whole or not at all. Refuses a tree with
# uncommitted changes.
#
# The build is the one the tests use (preset mingw), from an export of HEAD in a scratch
# folder, with time from the commit (SOURCE_DATE_EPOCH): the same commit built with the same
# Debian packages gives the same bytes anywhere, at any time, under any time zone, umask or git
# settings. BUILDINFO names the commit and those packages' versions, so that a rebuilder who gets
# other bytes can tell a changed tool from a changed file.
#
# Signing, with osslsigncode, where asked:
#   OSTRIVAL_SIGN_CERTS   the certificate chain, PEM, the signer's first: what every signature
#                         carries
#   OSTRIVAL_SIGN_KEY     a PKCS#11 URI (with OSTRIVAL_SIGN_PKCS11_MODULE, the token's module)
#                         or a PKCS#12 file, whose certificate must be the first of the chain
#   OSTRIVAL_SIGN_PASS    the token's PIN (or in the URI as pin-value), or the PKCS#12 password
#   OSTRIVAL_SIGN_TSA     an RFC 3161 time-stamp URL, optional
# signs both programs of each architecture, packs them, signs the MSIs, and writes the detached
# signatures into OUTDIR/signatures. OSTRIVAL_SIGNATURES=DIR, the signatures folder of a
# release, attaches its signatures to this build instead, giving the same bytes as the signed
# release; with OSTRIVAL_SIGNATURES_CA, root certificates (PEM), each must chain to one of them.
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
if [[ -e $out ]]; then
  [[ -d $out ]] || die "$out is not a folder"
  [[ -r $out && -x $out ]] || die "$out cannot be read, so cannot be seen to be empty"
  [[ -z $(ls -A "$out") ]] || die "$out is not empty"
fi
[[ -z $(git -C "$root" status --porcelain --untracked-files=no) ]] ||
  die "the tree has uncommitted changes: commit or stash them, then run again"
"$root/scripts/deps.sh"

# The scratch folder, and the release's own beside OUTDIR (its last step is then a rename within
# one file system, and a place that cannot take it is found before the build). Signals wait while
# they are made, so that none is left without the trap that removes it.
work='' final=''
trap 'rm -rf "$work" "$final"' EXIT
trap '' INT TERM HUP
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-release.XXXXXX")
mkdir -p "$(dirname "$out")"
final=$(mktemp -d "$(dirname "$out")/.release.XXXXXX") || die "cannot write beside $out"
trap 'exit 1' INT TERM HUP
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

# What built the release, as Debian's .buildinfo says it of a package: the commit and its time,
# each MSI's product code (what msiexec /x takes once the package file is lost), and the exact
# version of every Debian package whose work is in the bytes: the compilers with their runtime,
# headers and binutils (the programs), Python and zlib (the zips), wixl with its libraries and
# olefile (the MSIs), osslsigncode with OpenSSL (the signatures), cmake that drives them, and
# base-files (the licence text in the notices). Nothing of the machine or the time it ran.
write_buildinfo() {
  local native python arch msi
  native=$(dpkg --print-architecture)
  python=$(dpkg -S "$(readlink -f /usr/bin/python3)" | cut -d: -f1)
  echo "Source: ostrival"
  echo "Version: $version"
  echo "Commit: $(git -C "$root" rev-parse HEAD)"
  echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
  for arch in x64 x86; do
    msi=$build/ostrival-$version-$arch.msi
    [[ $arch == x64 ]] || msi=$build/$arch/ostrival-$version-$arch.msi
    echo "Product-Code-$arch: $(msiinfo export "$msi" Property |
      sed -n 's/^ProductCode\t\([^\r]*\).*/\1/p')"
  done
  echo "Installed-Build-Depends:"
  dpkg-query -W -f ' ${Package} (= ${Version}),\n' g++-mingw-w64-{x86-64,i686}-posix \
    gcc-mingw-w64-{x86-64,i686}-posix binutils-mingw-w64-{x86-64,i686} mingw-w64-{x86-64,i686}-dev \
    mingw-w64-common "$python" "zlib1g:$native" wixl "libmsi0:$native" "libgcab-1.0-0:$native" \
    "libgsf-1-114:$native" python3-olefile osslsigncode "libssl3:$native" cmake base-files |
    sort | sed '$s/,$//'
}

mkdir "$work/src" "$work/out"
# Line endings as committed, whatever this user's git settings: core.autocrlf would give a
# rebuilder a README with CRLF, and another zip.
git -C "$root" -c core.autocrlf=false -c core.eol=lf -c core.attributesFile=/dev/null \
  archive HEAD | tar -x -C "$work/src"
build=$work/build
run "$work/configure.log" cmake --preset mingw -S "$work/src" -B "$build" -DOSTRIVAL_TESTS=OFF
run "$work/build.log" cmake --build "$build" -j"$(nproc)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
write_buildinfo >"$work/out/BUILDINFO"
compare_buildinfo "$work/out/BUILDINFO"

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
(cd "$work/out" && sha256sum -- *.zip *.msi THIRD-PARTY-NOTICES.txt BUILDINFO >SHA256SUMS)

cp -r "$work/out/." "$final/"
chmod 755 "$final"
# One rename: it takes the place of an empty OUTDIR, and fails, rather than landing inside, where
# a folder with something in it has appeared since the start.
mv -T "$final" "$out"
echo "release.sh: $(signing_outcome) release of $(git -C "$root" rev-parse --short HEAD) in $out"
