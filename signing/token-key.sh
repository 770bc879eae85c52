# Sourced by sign.sh when LANYUE_SIGN_KEY is a PKCS#11 URI (RFC 7512): installs
# what a token needs and, before anything is signed, checks the module, the
# token, the PIN and the key, naming whichever fails. The key never leaves the
# token; the PIN reaches each tool through a file it reads or a pipe, never argv.
# Uses sign.sh's die and note, and its $work folder.
# shellcheck shell=bash
# shellcheck disable=SC2154  # $work is sign.sh's

# token_key_args URI MODULE PIN_FILE CERT: checks all of it, then sets
# key_args, the osslsigncode options that sign with that key.
token_key_args() {
    local uri=$1 module=$2 pinfile=$3 cert=$4 attrs attr label="" labels engine out
    # A PIN in the URI would reach osslsigncode's command line. This message
    # leaves the URI out, since it holds the PIN.
    [[ $uri != *pin-value=* && $uri != *pin-source=* ]] \
        || die "LANYUE_SIGN_KEY carries the PIN (pin-value or pin-source); put it in LANYUE_SIGN_PASSWORD_FILE instead"
    ensure_packages libengine-pkcs11-openssl opensc \
        || die "signing with a token needs OpenSSL's PKCS#11 engine and pkcs11-tool (libengine-pkcs11-openssl, opensc)"

    out=$(openssl version -e) || die "openssl version -e failed: cannot find OpenSSL's engines folder"
    out=${out#*\"}
    engine=${out%\"*}/pkcs11.so
    [ -f "$engine" ] || die "OpenSSL's PKCS#11 engine is not at $engine (package libengine-pkcs11-openssl)"

    # Loading the module and listing its tokens needs no PIN.
    pkcs11-tool --module "$module" --list-token-slots >"$work/slots" 2>&1 || {
        sed 's/^/  /' "$work/slots" >&2
        die "LANYUE_SIGN_PKCS11_MODULE: $module is not a PKCS#11 library that loads (pkcs11-tool --module $module --list-token-slots)"
    }
    labels=$(sed -n 's/^  token label *: //p' "$work/slots")
    [ -n "$labels" ] || die "no token in $module's slots (is it plugged in, and initialised?)"
    # The URI's path attributes (before any ?query), token= percent-decoded.
    out=${uri#pkcs11:}
    IFS=';' read -r -a attrs <<<"${out%%\?*}"
    for attr in "${attrs[@]}"; do
        [[ $attr != token=* ]] || label=${attr#token=}
    done
    label=${label//%/\\x}
    printf -v label '%b' "$label"
    if [ -n "$label" ] && ! grep -qxF -- "$label" <<<"$labels"; then
        die "no token labelled '$label' in $module; its tokens: ${labels//$'\n'/, }"
    fi

    # One signature with the token's key, over a random challenge, checked with
    # the certificate's public key: proves the PIN, the key and the pair, and
    # needs no public key object on the token. One login: a wrong PIN is tried
    # once, never again, so this run does not lock the token.
    openssl rand -out "$work/challenge" 32
    openssl x509 -in "$cert" -noout -pubkey >"$work/cert.pub"
    # In a subshell of two commands, so that it waits: the engine may crash on
    # its way out after a failure, and the shell's word on that goes to the log.
    if ! (PKCS11_MODULE_PATH=$module openssl dgst -sha256 -engine pkcs11 -keyform engine \
              -sign "$uri" -passin "file:$pinfile" -out "$work/challenge.sig" "$work/challenge" \
              </dev/null; exit $?) >"$work/token.log" 2>&1; then
        if grep -q 'PIN incorrect\|PIN_INCORRECT\|PIN len range\|PIN_LEN_RANGE' "$work/token.log"; then
            die "the token${label:+ '$label'} refused the PIN in LANYUE_SIGN_PASSWORD_FILE (wrong PIN)"
        elif grep -q 'PIN locked\|PIN_LOCKED' "$work/token.log"; then
            die "the token${label:+ '$label'} has locked its PIN; unlock it with its SO PIN"
        elif grep -q 'object not found\|private key was not found' "$work/token.log"; then
            die "no private key at $uri on the token"
        fi
        grep -v '^Engine "pkcs11" set' "$work/token.log" | sed 's/^/  /' >&2 || true
        die "cannot sign with the key at $uri (openssl dgst -engine pkcs11 -sign)"
    fi
    openssl dgst -sha256 -verify "$work/cert.pub" -signature "$work/challenge.sig" "$work/challenge" \
        >/dev/null 2>&1 \
        || die "the key at $uri does not belong to the certificate in LANYUE_SIGN_CERT (its public key is another)"

    # shellcheck disable=SC2034  # sign.sh passes it to osslsigncode
    key_args=(-pkcs11engine "$engine" -pkcs11module "$module" -key "$uri")
    note "key on the token${label:+ '$label'}, through $module"
}
