# Sourced by release.sh, from the commit it releases: the Authenticode signatures of a release,
# made with osslsigncode in one of three ways, chosen from what release.sh reads: signed with a
# key, detached signatures attached, or none. Files are signed in place; each one's signature is
# then kept in signatures/ARCH/NAME.sig of the release. Every failure names what is wrong and
# ends the run. Each tool runs as a step of release.sh (step, with the prefix contained), and
# one that asks for the PIN or password reads it from a pipe on its descriptor 3 (with_secret).

# COMMAND..., with the PIN or password on descriptors 3 and 4 (a here-string: a pipe with no
# process of its own) and the variables OSTRIVAL_SIGN_ENV names, in place of the shell that runs
# it, so that a signal to the step or the script's death reaches the command itself.
with_secret() {
  ((${#sign_env[@]} == 0)) || export "${sign_env[@]}"
  exec "$@" 3<<<"$sign_pass" 4<<<"$sign_pass"
}

# The way of signing, from the key (in sign_key, with sign_pass) and the environment. A PIN in
# the key's URI joins sign_pass, so that the URI can name the key on command lines and in
# messages; no message shows a key that still holds one.
choose_signing() {
  local LC_ALL=C
  case $sign_key in
  [[:space:]\"\']* | *[[:space:]\"\'])
    die "OSTRIVAL_SIGN_KEY begins or ends with white space or a quote: give the URI or file alone" ;;
  *$'\n'*) die "OSTRIVAL_SIGN_KEY holds a line break" ;;
  pkcs11:*) take_pin ;;
  *[pP][iI][nN]-[vV][aA][lL][uU][eE]=*)
    die "OSTRIVAL_SIGN_KEY holds a pin-value but does not begin with pkcs11:" ;;
  esac
  # A line ends what a tool reads from its descriptor: the token would be tried with part of it.
  [[ $sign_pass != *[$'\r\n']* ]] ||
    die "the PIN or password holds a line break; no token or file is tried with it"
  if [[ -n ${OSTRIVAL_SIGNATURES:-} ]]; then
    signing=attach
  elif [[ -n $sign_key ]]; then
    signing=sign
  else
    [[ -z $sign_pass ]] || die "OSTRIVAL_SIGN_PASS is given, but no OSTRIVAL_SIGN_KEY to use it with"
    signing=none
  fi
  # What the signatures hold, once they are made: a signature without a time stamp stops
  # validating when its certificate expires.
  stamps=" and time-stamped"
}

# RFC 7512: pkcs11:PATH?QUERY, the path's attributes split on ";", the query's on "&" (a query
# value may hold "?"); pin-value belongs in the query, and libp11 takes it in the path too. Its
# value is percent-decoded, nothing else: a backslash is a backslash.
take_pin() {
  local +x path=${sign_key%%\?*} query='' pins=() kept pin
  [[ $sign_key != *\?* ]] || query=${sign_key#*\?}
  without_pin ";" "${path#pkcs11:}"
  path=$kept
  without_pin "&" "$query"
  sign_key=pkcs11:$path${kept:+?$kept}
  for pin in "${pins[@]}"; do
    [[ -z $sign_pass || $sign_pass == "$pin" ]] ||
      die "two different PINs given: give it once, in the URI or in OSTRIVAL_SIGN_PASS"
    sign_pass=$pin
  done
}

# SEPARATOR ATTRIBUTES: the attributes but pin-value into kept, each pin-value's value into pins.
without_pin() {
  local +x attrs attr rest byte pin
  kept=''
  IFS=$1 read -r -a attrs <<<"$2"
  for attr in "${attrs[@]}"; do
    if [[ ${attr%%=*} != [pP][iI][nN]-[vV][aA][lL][uU][eE] || $attr != *=* ]]; then
      kept+=${kept:+$1}$attr
      continue
    fi
    rest=${attr#*=} pin=''
    while [[ $rest =~ ^([^%]*)%([0-9A-Fa-f]{2})(.*)$ ]]; do
      [[ ${BASH_REMATCH[2]} != 00 ]] || die "the pin-value in OSTRIVAL_SIGN_KEY holds %00"
      printf -v byte "\\x${BASH_REMATCH[2]}"
      pin+=${BASH_REMATCH[1]}$byte rest=${BASH_REMATCH[3]}
    done
    [[ $rest != *%* ]] || die "the pin-value in OSTRIVAL_SIGN_KEY holds a % that begins no %XX"
    pins+=("$pin$rest")
  done
}

# Before anything is built: a trial signature with the key, checked against the certificate,
# finds a wrong PIN or password and a certificate that is not the key's. Attaching needs the
# BUILDINFO published beside the signatures.
check_signing_inputs() {
  [[ $signing == none ]] || command -v osslsigncode >/dev/null ||
    die "osslsigncode is missing from $PATH: install it (scripts/deps.sh)"
  if [[ $signing == attach ]]; then
    [[ -d $OSTRIVAL_SIGNATURES ]] || die "OSTRIVAL_SIGNATURES=$OSTRIVAL_SIGNATURES is not a folder"
    published=$(realpath "$OSTRIVAL_SIGNATURES/..")/BUILDINFO
    [[ -f $published ]] ||
      die "no BUILDINFO beside $OSTRIVAL_SIGNATURES: give the signatures folder of a whole release"
    for roots in ${OSTRIVAL_SIGNATURES_CA:+"$OSTRIVAL_SIGNATURES_CA"} \
      ${OSTRIVAL_SIGNATURES_TSA_CA:+"$OSTRIVAL_SIGNATURES_TSA_CA"}; do
      [[ -r $roots ]] || die "$roots cannot be read (OSTRIVAL_SIGNATURES_CA, _TSA_CA)"
    done
    return
  fi
  [[ $signing == sign ]] || return 0
  local certs=${OSTRIVAL_SIGN_CERTS:-} log=$work/trial.log held
  [[ -r $certs ]] || die "OSTRIVAL_SIGN_CERTS must name the certificate chain (PEM)"
  openssl x509 -in "$certs" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    die "the certificate in $certs is not for code signing (no codeSigning extended key usage)"
  head -c 32 /dev/urandom >"$work/trial"
  if [[ $sign_key == pkcs11:* ]]; then
    [[ -r ${OSTRIVAL_SIGN_PKCS11_MODULE:-} ]] ||
      die "a PKCS#11 key needs OSTRIVAL_SIGN_PKCS11_MODULE, the token's module"
    keyargs=(-pkcs11module "$OSTRIVAL_SIGN_PKCS11_MODULE" -key "$sign_key" -certs "$certs")
    step "$log" with_secret "${contained[@]}" env PKCS11_MODULE_PATH="$OSTRIVAL_SIGN_PKCS11_MODULE" \
      openssl pkeyutl -engine pkcs11 -keyform engine -inkey "$sign_key" ${sign_pass:+-passin fd:3} \
      -sign -in "$work/trial" -out "$work/trial.sig"
  else
    [[ -r $sign_key ]] ||
      die "OSTRIVAL_SIGN_KEY=$sign_key is neither a pkcs11: URI nor a readable PKCS#12 file"
    # Its key is kept encrypted with that password, which therefore cannot be empty.
    [[ -n $sign_pass ]] || die "the PKCS#12 file $sign_key needs its password in OSTRIVAL_SIGN_PASS"
    # Given the file, osslsigncode would sign with the certificates inside it, which a renewal
    # can leave behind. So its key is taken out, encrypted again with the same password, with
    # the file's own certificate beside it, and signs with the chain given once that
    # certificate is seen to be the first of it.
    held=$work/held.pem
    keyargs=(-certs "$certs" -key "$held")
    step "$log" with_secret "${contained[@]}" openssl pkcs12 -in "$sign_key" -clcerts \
      -passin fd:3 -passout fd:4 -out "$held" &&
      step "$log.key" with_secret "${contained[@]}" openssl pkeyutl -sign -inkey "$held" \
        -passin fd:3 -in "$work/trial" -out "$work/trial.sig"
  fi || {
    [[ ! -f $log.key ]] || cat "$log.key" >>"$log"
    grep -q 'PIN incorrect' "$log" &&
      die "the token refused the PIN given; tokens lock after a few wrong ones"
    grep -qi 'mac verify\|invalid password' "$log" &&
      die "wrong password (OSTRIVAL_SIGN_PASS) for $sign_key"
    die "cannot sign with $sign_key: $(grep -v '^Engine' "$log" | head -3 | tr '\n' ' ')"
  }
  [[ -z ${held:-} || $(fingerprint "$held") == "$(fingerprint "$certs")" ]] ||
    die "$sign_key holds the certificate of $(subject "$held"), not $(subject "$certs"), the" \
      "first of $certs"
  openssl pkeyutl -verify -certin -inkey "$certs" -in "$work/trial" -sigfile "$work/trial.sig" \
    >/dev/null 2>&1 || die "the certificate in $certs is not the certificate of the key $sign_key"
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
    # A time-stamp server that never answers would hold the release for ever.
    local status=0 wait=()
    [[ -z ${OSTRIVAL_SIGN_TSA:-} ]] || wait=(timeout -k 5 60)
    step "$log" with_secret "${contained[@]}" "${wait[@]}" osslsigncode sign "${keyargs[@]}" \
      ${sign_pass:+-readpass /dev/fd/3} ${OSTRIVAL_SIGN_TSA:+-ts "$OSTRIVAL_SIGN_TSA"} -h sha256 \
      -n "Ostrival Service" -in "$file" -out "$file.signed" || status=$?
    ((status != 124)) ||
      die "the time-stamp server $OSTRIVAL_SIGN_TSA did not answer within 60 s"
    ! grep -q 'timestamping failed' "$log" ||
      die "the time-stamp server $OSTRIVAL_SIGN_TSA gave no time stamp:" \
        "$(grep -m1 'HTTP\|code=' "$log" | tr '\n' ' ')"
    ((status == 0)) || die "signing $(basename "$file") failed: $(tail -3 "$log" | tr '\n' ' ')"
    step "$log" "${contained[@]}" osslsigncode verify -in "$file.signed" || true
    [[ -z ${OSTRIVAL_SIGN_TSA:-} ]] || ! grep -q '^Timestamp is not available' "$log" ||
      die "the time-stamp server $OSTRIVAL_SIGN_TSA gave no time stamp to $(basename "$file")"
    ;;
  attach)
    local detached=$OSTRIVAL_SIGNATURES/${sig#"$work/out/signatures/"} chained=0
    [[ -f $detached ]] || die "no signature $detached for $(basename "$file")"
    rm -f "$file.signed"
    # attach-signature fails where it cannot verify against the system's CAs, yet writes the
    # file: no file is what says that it could not attach. Then, without the root certificate,
    # verify's verdict and exit status mean nothing: the digests alone say whose the signature
    # is. With it, the exit status says whether the chain holds, at the time of the stamp where
    # the stamp's own chain holds (and osslsigncode says so only in words).
    step "$log" "${contained[@]}" osslsigncode attach-signature -sigin "$detached" -in "$file" \
      -out "$file.signed" ||
      [[ -f $file.signed ]] ||
      die "osslsigncode could not attach $detached: $(tail -3 "$log" | tr '\n' ' ')"
    step "$log" "${contained[@]}" osslsigncode verify \
      ${OSTRIVAL_SIGNATURES_CA:+-CAfile "$OSTRIVAL_SIGNATURES_CA"} \
      ${OSTRIVAL_SIGNATURES_TSA_CA:+-TSA-CAfile "$OSTRIVAL_SIGNATURES_TSA_CA"} \
      -in "$file.signed" || chained=$?
    ! grep -q 'MISMATCH' "$log" ||
      die "the signature $detached belongs to another build: it does not cover this $(basename "$file")"
    grep -q '^Calculated' "$log" ||
      die "osslsigncode could not check $detached on $(basename "$file"): $(tail -3 "$log" | tr '\n' ' ')"
    if grep -q '^Timestamp is not available' "$log"; then
      ! grep -q 'certificate has expired' "$log" ||
        die "the signature $detached has no time stamp, and its certificate has expired"
    elif [[ -n ${OSTRIVAL_SIGNATURES_TSA_CA:-} ]]; then
      grep -q '^Timestamp Server Signature verification: ok' "$log" ||
        die "the time stamp of $detached does not chain to $OSTRIVAL_SIGNATURES_TSA_CA"
    fi
    [[ -z ${OSTRIVAL_SIGNATURES_CA:-} || $chained == 0 ]] ||
      die "the signature $detached does not chain to $OSTRIVAL_SIGNATURES_CA:" \
        "$(grep -i 'error\|fail' "$log" | head -2 | tr '\n' ' ')"
    ;;
  esac
  ! grep -q '^Timestamp is not available' "$log" || stamps=", not time-stamped"
  mv "$file.signed" "$file"
  mkdir -p "$(dirname "$sig")"
  step "$log" "${contained[@]}" osslsigncode extract-signature -in "$file" -out "$sig" ||
    die "could not keep the signature of $(basename "$file"): $(tail -2 "$log" | tr '\n' ' ')"
}

signing_outcome() {
  case $signing in
  none) echo "unsigned" ;;
  sign) echo "signed$stamps" ;;
  attach)
    echo -n "signed$stamps (signatures attached from $OSTRIVAL_SIGNATURES: their digests match"
    if [[ -n ${OSTRIVAL_SIGNATURES_CA:-} ]]; then
      echo -n " this build and they chain to $OSTRIVAL_SIGNATURES_CA"
    else
      echo -n " this build; their chain was not checked"
    fi
    echo "${OSTRIVAL_SIGNATURES_TSA_CA:+, their time stamps to $OSTRIVAL_SIGNATURES_TSA_CA})"
    ;;
  esac
}
