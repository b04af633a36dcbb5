#!/bin/bash -p
# scripts/release.sh OUTDIR: the release of the committed tree, for every architecture the build
# makes: the zips and MSIs, the third-party notices, the release notes (CHANGELOG.md), BUILDINFO
# (what built them), the software bill of materials (ostrival-VERSION.cdx.json) and SHA256SUMS
# over them, written into OUTDIR (absent or empty) whole or not at all. Refuses a tree with
# uncommitted changes, and a version that CHANGELOG.md says nothing of.
#
# This script is the driver: it leaves its caller's environment behind, checks its inputs,
# exports the files of the commit HEAD names when it starts, and runs every step that makes
# bytes from those files, in a sandbox (bubblewrap) that holds Debian's /usr, the commit's files
# read-only, the build folder, and nothing else: no network, no caller's variable, no home. The
# same commit built with the same Debian packages gives the same bytes anywhere, at any time.
# BUILDINFO names the commit and those packages. A signal stops the running step at once and
# leaves nothing behind; a KILL leaves no process of it, only its scratch folders.
#
# What it reads, all else of the environment being dropped (doc/RELEASING.md says more):
#   OSTRIVAL_SIGN_CERTS   the certificate chain, PEM, the signer's first: what every signature
#                         carries
#   OSTRIVAL_SIGN_KEY     a PKCS#11 URI (with OSTRIVAL_SIGN_PKCS11_MODULE, the token's module)
#                         or a PKCS#12 file, whose certificate must be the first of the chain
#   OSTRIVAL_SIGN_PASS    the token's PIN (or in the URI as pin-value), or the PKCS#12 password
#   OSTRIVAL_SIGN_ENV     the names of the variables the signing tools need (SOFTHSM2_CONF, say),
#                         which reach them alone
#   OSTRIVAL_SIGN_TSA     an RFC 3161 time-stamp URL, optional
#   OSTRIVAL_SIGNATURES   the signatures folder of a release, to attach to this build instead of
#                         signing it; OSTRIVAL_SIGNATURES_CA and OSTRIVAL_SIGNATURES_TSA_CA, root
#                         certificates (PEM) that they and their time stamps must chain to
#   OSTRIVAL_RELEASE_URL  where the packages will be published (https): the release then has
#                         winget manifests of its MSIs, in OUTDIR/winget
#   TMPDIR                where the scratch folder goes

# Until the caller's environment is left behind, nothing may run that a setting of the caller's
# could change. The first line keeps out BASH_ENV, the caller's functions and SHELLOPTS (bash -p);
# a trace (bash -x) or allexport would show or pass on the secret; BASH_COMPAT would turn the
# here-strings below into files.
set +o xtrace +o allexport
unset BASH_COMPAT
# The script starts again from an empty environment but for what it reads, with the key and its
# PIN or password in two pipes, unless this is that start: the same process (a caller cannot know
# its id before it runs) with no secret in its environment.
if [[ ${OSTRIVAL_RELEASE_IMAGE-} != "$$" || -v OSTRIVAL_SIGN_KEY || -v OSTRIVAL_SIGN_PASS ]]; then
  keep=()
  read -r -d '' -a names <<<"${OSTRIVAL_SIGN_ENV-}"
  for name in "${names[@]}"; do
    case $name in
    [!A-Z]* | *[!A-Z0-9_]* | PATH | LD_* | BASH* | GIT_* | OSTRIVAL_*)
      exec /usr/bin/env -i /bin/sh -c 'echo "release.sh: OSTRIVAL_SIGN_ENV names $0:" \
        "not a variable for the signing tools to take" >&2; exit 1' "$name" ;;
    esac
  done
  for name in TMPDIR OSTRIVAL_SIGN_CERTS OSTRIVAL_SIGN_PKCS11_MODULE OSTRIVAL_SIGN_TSA \
    OSTRIVAL_SIGNATURES OSTRIVAL_SIGNATURES_CA OSTRIVAL_SIGNATURES_TSA_CA OSTRIVAL_RELEASE_URL \
    OSTRIVAL_SIGN_ENV "${names[@]}"; do
    [[ ! -v $name ]] || keep+=("$name=${!name}")
  done
  # Bash writes a here-string that its pipe cannot hold (64 KiB) to a file: these are far less.
  ((${#OSTRIVAL_SIGN_KEY} <= 4096 && ${#OSTRIVAL_SIGN_PASS} <= 4096)) || exec /usr/bin/env -i \
    /bin/sh -c 'echo "release.sh: OSTRIVAL_SIGN_KEY or OSTRIVAL_SIGN_PASS is too long" >&2; exit 1'
  exec 3<<<"${OSTRIVAL_SIGN_KEY-}" 4<<<"${OSTRIVAL_SIGN_PASS-}"
  exec /usr/bin/env -i "${keep[@]}" OSTRIVAL_RELEASE_IMAGE=$$ /bin/bash --noprofile --norc "$0" "$@"
fi
set -euo pipefail
# The key and the PIN or password, out of the pipes before anything starts, into variables no
# program is given; then nothing of what started this process is exported, and what the
# signing tools need is kept for them alone.
IFS= read -r -d '' sign_key <&3 || true
IFS= read -r -d '' sign_pass <&4 || true
exec 3<&- 4<&-
sign_key=${sign_key%$'\n'} sign_pass=${sign_pass%$'\n'}
sign_env=()
read -r -d '' -a names <<<"${OSTRIVAL_SIGN_ENV-}" || true
for name in "${names[@]}"; do
  [[ ! -v $name ]] || sign_env+=("$name=${!name}")
done
# shellcheck disable=SC2046
export -n $(compgen -e)
# Debian's tools, and a git that reads no configuration but the repository's.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 TZ=UTC GIT_CONFIG_NOSYSTEM=1 \
  GIT_CONFIG_GLOBAL=/dev/null GIT_NO_REPLACE_OBJECTS=1 GIT_TERMINAL_PROMPT=0
umask 022

die() {
  echo "release.sh: $*" >&2
  exit 1
}
(($# == 1)) || die "usage: scripts/release.sh OUTDIR"
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
root=$(realpath "$here/..")
out=$(realpath -m "$1")
if [[ -e $out ]]; then
  [[ -d $out ]] || die "$out is not a folder"
  [[ -r $out && -x $out ]] || die "$out cannot be read, so cannot be seen to be empty"
  [[ -z $(ls -A "$out") ]] || die "$out is not empty"
fi
url=${OSTRIVAL_RELEASE_URL:-}
if [[ -z $url ]]; then
  echo "release.sh: without OSTRIVAL_RELEASE_URL, the release has no winget manifests" >&2
else
  # winget fetches its installers over https alone.
  [[ $url =~ ^https://[^[:space:]]+$ ]] || die "OSTRIVAL_RELEASE_URL must be an https:// URL"
fi

# Of what the repository's configuration can start, nothing runs: its fsmonitor and hooks are
# turned off here, and no command below runs a filter or a diff driver.
git() {
  command git -C "$root" -c core.fsmonitor=false -c core.hooksPath=/dev/null \
    -c core.untrackedCache=false -c core.quotePath=false -c protocol.allow=never "$@"
}
# One commit, named once: what is built, its time, BUILDINFO and every message are of it, whatever
# is committed or checked out meanwhile.
commit=$(git rev-parse --verify --quiet 'HEAD^{commit}') || die "$root has no commit"
short=$(git rev-parse --short "$commit")
# Uncommitted changes, judged by bytes: the index against the commit, then each file against the
# index, hashed as it is (git status would run the repository's filters on a file it doubts).
git diff-index --cached --quiet "$commit" -- && [[ $(git ls-files -s | cut -d' ' -f2) == \
  "$(git ls-files | git hash-object --no-filters --stdin-paths 2>/dev/null)" ]] ||
  die "the tree has uncommitted changes: commit or stash them, then run again"
SOURCE_DATE_EPOCH=$(git log -1 --no-show-signature --format=%ct "$commit")
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "cannot read the time of $commit"
# Every release says what changed: a site reads it before it deploys.
version=$(git cat-file blob "$commit:CMakeLists.txt" |
  sed -n 's/^project(Ostrival VERSION \([0-9.]*\) .*/\1/p')
[[ -n $version ]] || die "cannot read the version in CMakeLists.txt of $commit"
git cat-file blob "$commit:CHANGELOG.md" | grep "^## \[${version//./\\.}\]" >/dev/null ||
  die "CHANGELOG.md has no entry for $version: say what changed in it, then commit and release"

# The scratch folder, and the release's own beside OUTDIR (its last step is then a rename within
# one file system, and a place that cannot take it is found before the build), with the folders
# above OUTDIR that are made for it. A signal meanwhile is acted on once they are all known, so
# that none is left behind.
work='' final='' made=() released='' pending=''
cleanup() {
  local dir
  rm -rf "$work" "$final"
  [[ -n $released ]] || for dir in "${made[@]}"; do rmdir "$dir" 2>/dev/null || break; done
}
trap cleanup EXIT
trap 'pending=129' HUP
trap 'pending=130' INT
trap 'pending=143' TERM
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrival-release.XXXXXX")
parent=$(dirname "$out")
dir=$parent
while [[ -n $dir && ! -e $dir ]]; do
  made+=("$dir")
  dir=${dir%/*}
done
mkdir -p "$parent"
final=$(mktemp -d "$parent/.release.XXXXXX") || die "cannot write beside $out"
# The running step, a process group of its own, ends with the script: found among this shell's
# jobs, since a signal may come before the script has seen the step's id.
stop() {
  set +e
  local steps pid
  steps=$(jobs -p)
  for pid in $steps; do kill -TERM -- "-$pid" 2>/dev/null; done
  wait
  for pid in $steps; do
    for _ in {1..50}; do kill -0 -- "-$pid" 2>/dev/null && sleep 0.1 || break; done
    kill -KILL -- "-$pid" 2>/dev/null
  done
  echo "release.sh: stopped by a signal; nothing is released" >&2
  exit "$1"
}
trap 'stop 129' HUP
trap 'stop 130' INT
trap 'stop 143' TERM
[[ -z $pending ]] || stop "$pending"

step() { # LOG COMMAND...: runs the command as a step, its output into LOG; its exit status
  local log=$1
  shift
  set -m
  "$@" </dev/null >"$log" 2>&1 &
  set +m
  wait $!
}
run() { # LOG COMMAND...: a step that must succeed, showing its log's end if it does not
  step "$@" || {
    tail -30 "$1" >&2
    die "failed: ${*:2}"
  }
}

# The commit's files as committed, one by one. git archive would pass them through what the
# repository, the user and the system say of them (line endings, filters, ident, export-subst,
# export-ignore), none of which the commit records.
export_commit() { # DIR
  local entry mode oid path
  git ls-tree -r -z --full-tree "$commit" >"$work/tree"
  while IFS= read -r -d '' entry; do
    mode=${entry%% *} oid=${entry%%$'\t'*} path=${entry#*$'\t'}
    oid=${oid##* }
    [[ /$path/ != */../* ]] || die "$commit holds a path that leaves its tree: $path"
    mkdir -p "$1/$(dirname "$path")"
    case $mode in
    100644 | 100755) git cat-file blob "$oid" >"$1/$path" ;;
    120000) ln -s "$(git cat-file blob "$oid")" "$1/$path" ;;
    *) die "$commit holds $path, neither a file nor a symbolic link" ;;
    esac
    [[ $mode != 100755 ]] || chmod 755 "$1/$path"
  done <"$work/tree"
}
mkdir "$work/src" "$work/build" "$work/out" "$work/tmp"
export TMPDIR=$work/tmp
export_commit "$work/src"
# From here on, what runs of the release is the commit's own: its packages, its signing steps,
# its build and its SBOM; nothing more of the working tree.
"$work/src/scripts/deps.sh" --release
command -v bwrap >/dev/null || die "bwrap is missing: install bubblewrap (scripts/deps.sh)"

# The sandbox of every step that makes bytes: Debian's /usr and dpkg's database (which the
# notices ask) read-only, the commit's files read-only at /src, the build at /build and the
# release at /out, a private /tmp and home, no network, and these variables alone. It dies with
# the script, KILL included, and all inside it with it.
environment=(HOME=/home/build LC_ALL=C.UTF-8 PATH=/usr/bin:/bin
  "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH" TMPDIR=/tmp TZ=UTC)
sandbox=(bwrap --die-with-parent --unshare-all --new-session --cap-drop ALL --clearenv
  --ro-bind /usr /usr --symlink usr/bin /bin --symlink usr/lib /lib --symlink usr/lib64 /lib64
  --ro-bind /var/lib/dpkg /var/lib/dpkg --proc /proc --dev /dev --tmpfs /tmp --dir /home/build
  --ro-bind "$work/src" /src --bind "$work/build" /build --bind "$work/out" /out --chdir /build)
for variable in "${environment[@]}"; do sandbox+=(--setenv "${variable%%=*}" "${variable#*=}"); done
sandbox+=(--)
# The signing steps see the machine, for the token and the time-stamp server, and end with the
# script as those do.
contained=(bwrap --die-with-parent --unshare-pid --new-session --dev-bind / / --)

# shellcheck source=scripts/signing.sh
. "$work/src/scripts/signing.sh"
choose_signing
check_signing_inputs

# What built the release, as Debian's .buildinfo says it of a package: the commit and its time,
# each MSI's product code (what msiexec /x takes once the package file is lost), the sandbox and
# its environment, and the exact version of every Debian package whose work is in the bytes:
# the compilers with their runtime, headers and binutils (the programs), Python and zlib (the
# zips), wixl with its libraries and olefile (the MSIs), PyYAML (the winget manifests),
# osslsigncode with OpenSSL (the signatures), cmake that drives them, base-files (the licence
# text in the notices), and bubblewrap that holds them. Nothing of the machine or the time it ran.
write_buildinfo() {
  local native python arch msi variable
  native=$(dpkg --print-architecture)
  python=$(dpkg -S "$(readlink -f /usr/bin/python3)" | cut -d: -f1)
  echo "Source: ostrival"
  echo "Version: $version"
  echo "Commit: $commit"
  echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
  for arch in x64 x86; do
    msi=$work/build/ostrival-$version-$arch.msi
    [[ $arch == x64 ]] || msi=$work/build/$arch/ostrival-$version-$arch.msi
    echo "Product-Code-$arch: $(msiinfo export "$msi" Property |
      sed -n 's/^ProductCode\t\([^\r]*\).*/\1/p')"
  done
  echo "Build-Sandbox: bubblewrap, without network, with this environment alone:"
  for variable in "${environment[@]}"; do echo " ${variable%%=*}=\"${variable#*=}\""; done
  echo "Installed-Build-Depends:"
  dpkg-query -W -f ' ${Package} (= ${Version}),\n' g++-mingw-w64-{x86-64,i686}-posix \
    gcc-mingw-w64-{x86-64,i686}-posix binutils-mingw-w64-{x86-64,i686} mingw-w64-{x86-64,i686}-dev \
    mingw-w64-common "$python" "zlib1g:$native" wixl "libmsi0:$native" "libgcab-1.0-0:$native" \
    "libgsf-1-114:$native" python3-olefile python3-yaml osslsigncode "libssl3:$native" cmake \
    base-files bubblewrap | sort | sed '$s/,$//'
}

run "$work/configure.log" "${sandbox[@]}" cmake --preset mingw -S /src -B /build \
  -DOSTRIVAL_TESTS=OFF
run "$work/build.log" "${sandbox[@]}" cmake --build /build -j"$(nproc)"
[[ $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/build/CMakeCache.txt") == "$version" ]] ||
  die "CMake took another version from CMakeLists.txt than $version"
write_buildinfo >"$work/out/BUILDINFO"
compare_buildinfo "$work/out/BUILDINFO"

# Each architecture's build tree: x64 at /build, x86 inside it. The zip and the MSI are packed
# again from the signed programs.
for arch in x64 x86; do
  tree=
  [[ $arch == x64 ]] || tree=/$arch
  for program in ostrival.exe tracecap.exe; do
    sign_file "$work/build$tree/stage/$program" "$work/out/signatures/$arch/$program.sig"
  done
  run "$work/pack.log" "${sandbox[@]}" sh -c "cmake --build /build$tree --target zip msi &&
    cp /build$tree/ostrival-$version-*.zip /build$tree/ostrival-$version-$arch.msi /out/"
  sign_file "$work/out/ostrival-$version-$arch.msi" \
    "$work/out/signatures/$arch/ostrival-$version-$arch.msi.sig"
done
run "$work/finish.log" "${sandbox[@]}" sh -c 'cp /build/stage/THIRD-PARTY-NOTICES.txt \
  /src/CHANGELOG.md /out/ && cd /out && python3 /src/scripts/sbom.py . &&
  { [ -z "$1" ] || python3 /src/scripts/winget.py . "$1"; } && sha256sum -- *.zip *.msi \
  *.cdx.json CHANGELOG.md THIRD-PARTY-NOTICES.txt BUILDINFO $(find winget -type f 2>/dev/null |
  sort) >SHA256SUMS' finish "$url"

cp -r "$work/out/." "$final/"
chmod 755 "$final"
outcome=$(signing_outcome)
# One rename: it takes the place of an empty OUTDIR, and fails, rather than landing inside, where
# a folder with something in it has appeared since the start. Once it is done, nothing may turn
# the release in place into a failure: not a signal, not a closed output.
trap '' INT TERM HUP PIPE
mv -T "$final" "$out"
released=yes
echo "release.sh: $outcome release of $short in $out" 2>/dev/null || true
