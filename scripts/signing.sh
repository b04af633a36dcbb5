# Sourced by release.sh: the Authenticode signatures of a release, made with osslsigncode in one
# of three ways, chosen from the environment (release.sh lists it): signed with a key, detached
# signatures attached, or none. Files are signed in place; each one's signature is then kept in
# signatures/ARCH/NAME.sig of the release. Every failure names what is wrong and ends the run.

# The PIN or password leaves the environment before anything else runs, so that apt, git, cmake
# and the compilers never hold it; from here it travels only through a pipe, into the one tool
# that asks for it. A pin-value in the key's URI (RFC 7512 puts it in the query, libp11 also
# takes it in the path) joins it, so that the URI can name the key on command lines and in
# messages.
key=${OSTRIVAL_SIGN_KEY:-} pass=${OSTRIVAL_SIGN_PASS:-} pin=
unset OSTRIVAL_SIGN_KEY OSTRIVAL_SIGN_PASS
while [[ $key == pkcs11:* && $key =~ ^(.*)([:;?&])pin-value=([^;?&]*)(.*)$ ]]; do
  pin=${BASH_REMATCH[3]} rest=${BASH_REMATCH[4]}
  case ${BASH_REMATCH[2]}$rest in
  [:?]?*) key=${BASH_REMATCH[1]}${BASH_REMATCH[2]}${rest:1} ;; # keeps "pkcs11:" or "?"
  *) key=${BASH_REMATCH[1]}$rest ;;
  esac
  printf -v pin '%b' "${pin//%/\\x}"
  [[ -z $pass || $pass == "$pin" ]] ||
    die "two different PINs given: give it once, in the URI or in OSTRIVAL_SIGN_PASS"
  pass=$pin
done

if [[ -n ${OSTRIVAL_SIGNATURES:-} ]]; then
  signing=attach
elif [[ -n $key ]]; then
  signing=sign
else
  signing=none
fi
# ", not time-stamped" once a signature is known to have no time stamp: it stops validating when
# its certificate expires.
unstamped=
[[ $signing != sign || -n ${OSTRIVAL_SIGN_TSA:-} ]] || unstamped=", not time-stamped"

# Before anything is built: a trial signature with the key, checked against the certificate,
# finds a wrong PIN or password and a certificate that is not the key's. Attaching needs the
# BUILDINFO published beside the signatures.
check_signing_inputs() {
  if [[ $signing == attach ]]; then
    [[ -d $OSTRIVAL_SIGNATURES ]] || die "OSTRIVAL_SIGNATURES=$OSTRIVAL_SIGNATURES is not a folder"
    published=$(realpath "$OSTRIVAL_SIGNATURES/..")/BUILDINFO
    [[ -f $published ]] ||
      die "no BUILDINFO beside $OSTRIVAL_SIGNATURES: give the signatures folder of a whole release"
    [[ -z ${OSTRIVAL_SIGNATURES_CA:-} || -r $OSTRIVAL_SIGNATURES_CA ]] ||
      die "OSTRIVAL_SIGNATURES_CA=$OSTRIVAL_SIGNATURES_CA cannot be read"
    return
  fi
  [[ $signing == sign ]] || return 0
  local certs=${OSTRIVAL_SIGN_CERTS:-} log=$work/trial.log held
  [[ -r $certs ]] || die "OSTRIVAL_SIGN_CERTS must name the certificate chain (PEM)"
  openssl x509 -in "$certs" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    die "the certificate in $certs is not for code signing (no codeSigning extended key usage)"
  head -c 32 /dev/urandom >"$work/trial"
  if [[ $key == pkcs11:* ]]; then
    [[ -r ${OSTRIVAL_SIGN_PKCS11_MODULE:-} ]] ||
      die "a PKCS#11 key needs OSTRIVAL_SIGN_PKCS11_MODULE, the token's module"
    keyargs=(-pkcs11module "$OSTRIVAL_SIGN_PKCS11_MODULE" -key "$key" -certs "$certs")
    # In braces, so that the shell's word on openssl's crash after a refused PIN goes to the log.
    { PKCS11_MODULE_PATH=$OSTRIVAL_SIGN_PKCS11_MODULE openssl pkeyutl -engine pkcs11 \
      -keyform engine -inkey "$key" ${pass:+-passin fd:3} -sign -in "$work/trial" \
      -out "$work/trial.sig" 3< <(printf '%s\n' "$pass"); } >"$log" 2>&1
  else
    [[ -r $key ]] || die "OSTRIVAL_SIGN_KEY=$key is neither a pkcs11: URI nor a readable PKCS#12 file"
    # Given the file, osslsigncode would sign with the certificates inside it, which a renewal
    # can leave behind. So its key is taken out, encrypted again with the same password (openssl
    # reads both from one descriptor, a line each), with the file's own certificate beside it,
    # and signs with the chain given once that certificate is seen to be the first of it.
    held=$work/held.pem
    keyargs=(-certs "$certs" -key "$held")
    openssl pkcs12 -in "$key" -clcerts -passin fd:3 -passout fd:3 -out "$held" \
      3< <(printf '%s\n%s\n' "$pass" "$pass") 2>"$log" &&
      openssl pkeyutl -sign -inkey "$held" -passin fd:3 -in "$work/trial" -out "$work/trial.sig" \
        3< <(printf '%s\n' "$pass") 2>>"$log"
  fi || {
    grep -q 'PIN incorrect' "$log" &&
      die "the token refused the PIN given; tokens lock after a few wrong ones"
    grep -qi 'mac verify\|invalid password' "$log" && die "wrong password (OSTRIVAL_SIGN_PASS) for $key"
    die "cannot sign with $key: $(grep -v '^Engine' "$log" | head -3 | tr '\n' ' ')"
  }
  [[ -z ${held:-} || $(fingerprint "$held") == "$(fingerprint "$certs")" ]] ||
    die "$key holds the certificate of $(subject "$held"), not $(subject "$certs"), the first of" \
      "$certs"
  openssl pkeyutl -verify -certin -inkey "$certs" -in "$work/trial" -sigfile "$work/trial.sig" \
    >/dev/null 2>&1 || die "the certificate in $certs is not the certificate of the key $key"
}

# Of the first certificate in a PEM file.
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 2>/dev/null; }
subject() {
  openssl x509 -in "$1" -noout -subject -nameopt RFC2253 2>/dev/null | sed 's/^subject=//'
}

# Where this build's BUILDINFO (FILE) differs from the one published with the signatures: which
# tool, and from what to what. Said before any byte is compared, as the likeliest reason for a
# signature not to fit; the bytes decide.
compare_buildinfo() {
  [[ $signing == attach ]] || return 0
  join -a1 -a2 -e '(none)' -o 0,1.2,2.2 <(fields "$published") <(fields "$1") |
    awk '$2 != $3 { print "release.sh: this build differs from the signed one in " $1 ": " \
                         $2 " there, " $3 " here" }' >&2
}
# BUILDINFO as "name value" lines, its fields and packages alike, in join's order.
fields() { sed -E 's/^ (\S+) \(= (\S+)\),?$/\1 \2/; s/^([^ :]+): */\1 /' "$1" | sort; }

# FILE, in place, by the chosen way; SIG gets its detached signature.
sign_file() {
  local file=$1 sig=$2 log=$work/sign.log
  case $signing in
  none) return ;;
  sign)
    osslsigncode sign "${keyargs[@]}" ${pass:+-readpass /dev/fd/3} \
      ${OSTRIVAL_SIGN_TSA:+-ts "$OSTRIVAL_SIGN_TSA"} -h sha256 -n "Ostrival Service" \
      -in "$file" -out "$file.signed" 3< <(printf '%s' "$pass") >"$log" 2>&1 ||
      die "signing $(basename "$file") failed: $(tail -3 "$log" | tr '\n' ' ')"
    ;;
  attach)
    local detached=$OSTRIVAL_SIGNATURES/${sig#"$work/out/signatures/"} chained=0
    [[ -f $detached ]] || die "no signature $detached for $(basename "$file")"
    # Without the root certificate, its verdict and exit status mean nothing: the digests alone
    # say whose the signature is. With it, the exit status says whether the chain holds.
    osslsigncode attach-signature -sigin "$detached" -in "$file" -out "$file.signed" >"$log" 2>&1 ||
      true
    osslsigncode verify ${OSTRIVAL_SIGNATURES_CA:+-CAfile "$OSTRIVAL_SIGNATURES_CA"} \
      -in "$file.signed" >"$log" 2>&1 || chained=$?
    if ! grep -q '^Calculated' "$log" || grep -q 'MISMATCH' "$log"; then
      die "the signature $detached belongs to another build: it does not cover this $(basename "$file")"
    fi
    [[ -z ${OSTRIVAL_SIGNATURES_CA:-} || $chained == 0 ]] ||
      die "the signature $detached does not chain to $OSTRIVAL_SIGNATURES_CA:" \
        "$(grep -i 'error\|fail' "$log" | head -2 | tr '\n' ' ')"
    ! grep -q '^Timestamp is not available' "$log" || unstamped=", not time-stamped"
    ;;
  esac
  mv "$file.signed" "$file"
  mkdir -p "$(dirname "$sig")"
  osslsigncode extract-signature -in "$file" -out "$sig" >"$log" 2>&1 ||
    die "could not keep the signature of $(basename "$file"): $(tail -2 "$log" | tr '\n' ' ')"
}

signing_outcome() {
  case $signing in
  none) echo "unsigned" ;;
  sign) echo "signed$unstamped" ;;
  attach)
    echo -n "signed$unstamped (signatures attached from $OSTRIVAL_SIGNATURES: their digests match"
    if [[ -n ${OSTRIVAL_SIGNATURES_CA:-} ]]; then
      echo " this build and they chain to $OSTRIVAL_SIGNATURES_CA)"
    else
      echo " this build; their chain was not checked)"
    fi
    ;;
  esac
}
