#!/bin/bash
# scripts/release.sh OUTDIR: the release of the committed tree, for every architecture the build
# makes: the zips and MSIs, the third-party notices, the release notes (CHANGELOG.md), BUILDINFO
# (what built them), the software bill of materials (ostrival-VERSION.cdx.json) and SHA256SUMS
# over them, written into OUTDIR (absent or empty) whole or not at all. Refuses a tree with
# uncommitted changes, and a version that CHANGELOG.md says nothing of.
#
# The build is the one the tests use (preset mingw), from the files of the commit HEAD names
# when the script starts, in a scratch folder, with time from that commit (SOURCE_DATE_EPOCH)
# and Debian's tools (PATH is Debian's directories alone): the same commit built with the same
# Debian packages gives the same bytes anywhere, at any time, under any time zone, umask or git
# settings. BUILDINFO names the commit and those packages' versions, so that a rebuilder who
# gets other bytes can tell a changed tool from a changed file. A signal stops the running step
# at once and leaves nothing behind.
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

# First, before anything can print or pass on a PIN: a trace shows every value a line touches,
# and allexport would hand each variable to every program run.
set +o xtrace +o allexport
# /proc/PID/environ shows the environment a process was started with, whatever unset does. So the
# key and its PIN or password go into pipes, and the script starts again without them in its
# environment, before it runs anything else.
if [[ ${OSTRIVAL_SIGN_PIPES-} != 3,4 && (-v OSTRIVAL_SIGN_KEY || -v OSTRIVAL_SIGN_PASS) ]]; then
  exec 3<<<"${OSTRIVAL_SIGN_KEY-}" 4<<<"${OSTRIVAL_SIGN_PASS-}"
  unset OSTRIVAL_SIGN_KEY OSTRIVAL_SIGN_PASS
  OSTRIVAL_SIGN_PIPES=3,4 exec /bin/bash "$0" "$@"
fi
set -euo pipefail
die() {
  echo "release.sh: $*" >&2
  exit 1
}
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
# shellcheck source=scripts/signing.sh
. "$here/signing.sh"
take_signing_inputs
choose_signing

# The tools that BUILDINFO names are Debian's: no other directory, such as /usr/local/bin, may
# put its own cmake, compiler or signing tool in their place.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin GIT_NO_REPLACE_OBJECTS=1
root=$(cd "$here/.." && pwd)
(($# == 1)) || die "usage: scripts/release.sh OUTDIR"
out=$(realpath -m "$1")
if [[ -e $out ]]; then
  [[ -d $out ]] || die "$out is not a folder"
  [[ -r $out && -x $out ]] || die "$out cannot be read, so cannot be seen to be empty"
  [[ -z $(ls -A "$out") ]] || die "$out is not empty"
fi
# One commit, named once: what is built, its time, BUILDINFO and every message are of it, whatever
# is committed meanwhile.
commit=$(git -C "$root" rev-parse --verify --quiet 'HEAD^{commit}') || die "$root has no commit"
short=$(git -C "$root" rev-parse --short "$commit")
[[ -z $(git -C "$root" status --porcelain --untracked-files=no) ]] ||
  die "the tree has uncommitted changes: commit or stash them, then run again"
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --no-show-signature --format=%ct "$commit")
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "cannot read the time of $commit"
# Every release says what changed: a site reads it before it deploys.
version=$(git -C "$root" cat-file blob "$commit:CMakeLists.txt" |
  sed -n 's/^project(Ostrival VERSION \([0-9.]*\) .*/\1/p')
[[ -n $version ]] || die "cannot read the version in CMakeLists.txt of $commit"
git -C "$root" cat-file blob "$commit:CHANGELOG.md" | grep "^## \[${version//./\\.}\]" >/dev/null ||
  die "CHANGELOG.md has no entry for $version: say what changed in it, then commit and release"
"$root/scripts/deps.sh" --release

# The scratch folder, and the release's own beside OUTDIR (its last step is then a rename within
# one file system, and a place that cannot take it is found before the build), with the folders
# above OUTDIR that are made for it. Signals wait while they are made, so that none is left
# without the trap that removes it.
work='' final='' made=() released='' step=''
cleanup() {
  local i
  rm -rf "$work" "$final"
  [[ -n $released ]] || for ((i = ${#made[@]} - 1; i >= 0; i--)); do
    rmdir "${made[i]}" 2>/dev/null || break
  done
}
trap cleanup EXIT
trap '' INT TERM HUP
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-release.XXXXXX")
parent=$(dirname "$out")
dir=$parent
while [[ -n $dir && ! -e $dir ]]; do
  made=("$dir" "${made[@]}")
  dir=${dir%/*}
done
mkdir -p "$parent"
final=$(mktemp -d "$parent/.release.XXXXXX") || die "cannot write beside $out"
# The running step, a process group of its own, ends with the script.
stop() {
  set +e
  if [[ -n $step ]]; then
    kill -TERM -- "-$step" 2>/dev/null
    wait "$step"
    for _ in {1..50}; do kill -0 -- "-$step" 2>/dev/null && sleep 0.1 || break; done
    kill -KILL -- "-$step" 2>/dev/null
  fi
  echo "release.sh: stopped by a signal; nothing is released" >&2
  exit "$1"
}
trap 'stop 129' HUP
trap 'stop 130' INT
trap 'stop 143' TERM
umask 022
# The build's own temporary files (the compilers') go with the scratch folder, however it ends.
mkdir "$work/tmp"
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH TMPDIR=$work/tmp
check_signing_inputs

run() { # LOG COMMAND...: runs the command as a step, showing its log's end only if it fails
  local log=$1
  shift
  set -m
  "$@" </dev/null >"$log" 2>&1 &
  step=$!
  set +m
  wait "$step" || {
    tail -30 "$log" >&2
    die "failed: $*"
  }
  step=''
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
  echo "Commit: $commit"
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

# The commit's files as committed, one by one. git archive would pass them through what the
# repository, the user and the system say of them (line endings, filters, ident, export-subst,
# export-ignore), none of which the commit records.
export_commit() { # DIR
  local entry mode oid path
  git -C "$root" ls-tree -r -z --full-tree "$commit" >"$work/tree"
  while IFS= read -r -d '' entry; do
    mode=${entry%% *} oid=${entry%%$'\t'*} path=${entry#*$'\t'}
    oid=${oid##* }
    [[ /$path/ != */../* ]] || die "$commit holds a path that leaves its tree: $path"
    mkdir -p "$1/$(dirname "$path")"
    case $mode in
    100644 | 100755) git -C "$root" cat-file blob "$oid" >"$1/$path" ;;
    120000) ln -s "$(git -C "$root" cat-file blob "$oid")" "$1/$path" ;;
    *) die "$commit holds $path, neither a file nor a symbolic link" ;;
    esac
    [[ $mode != 100755 ]] || chmod 755 "$1/$path"
  done <"$work/tree"
}

mkdir "$work/src" "$work/out"
export_commit "$work/src"
build=$work/build
run "$work/configure.log" cmake --preset mingw -S "$work/src" -B "$build" -DOSTRIVAL_TESTS=OFF
run "$work/build.log" cmake --build "$build" -j"$(nproc)"
[[ $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") == "$version" ]] ||
  die "CMake took another version from CMakeLists.txt than $version"
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
cp "$build/stage/THIRD-PARTY-NOTICES.txt" "$work/src/CHANGELOG.md" "$work/out/"
python3 "$root/scripts/sbom.py" "$work/out"
(cd "$work/out" && sha256sum -- *.zip *.msi *.cdx.json CHANGELOG.md THIRD-PARTY-NOTICES.txt \
  BUILDINFO >SHA256SUMS)

cp -r "$work/out/." "$final/"
chmod 755 "$final"
outcome=$(signing_outcome)
# One rename: it takes the place of an empty OUTDIR, and fails, rather than landing inside, where
# a folder with something in it has appeared since the start. Once it is done, nothing may turn
# the release in place into a failure: not a signal, not a closed output.
trap '' INT TERM HUP
mv -T "$final" "$out"
released=yes
echo "release.sh: $outcome release of $short in $out" || true
