#!/usr/bin/env bash
# Authenticode-signs the release exe: a SHA-1 signature (what XP and Vista
# understand) with a nested SHA-256 one, each carrying an RFC 3161 timestamp.
# Usage: signing/sign.sh UNSIGNED OUT   (installs osslsigncode and openssl if missing)
# Development chain by default; LANYUE_SIGN_* selects the release key, in a PEM
# file or on a PKCS#11 token (signing/README.md).
set -euo pipefail

die() { echo "sign.sh: error: $*" >&2; exit 1; }
note() { echo "sign.sh: $*" >&2; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$repo/scripts/stop-report.sh"
trap 'stop_report sign.sh' EXIT

[ $# -eq 2 ] || die "usage: $0 UNSIGNED OUT"
in=$1
out=$2
[ "$(realpath -m -- "$in")" != "$(realpath -m -- "$out")" ] \
    || die "OUT must differ from UNSIGNED: $out"
# A stale exe from an earlier run must not pass for this run's output.
rm -f -- "$out"
[ -f "$in" ] || die "unsigned image not found: $in"

# shellcheck source=scripts/ensure-packages.sh
. "$repo/scripts/ensure-packages.sh"
ensure_packages openssl || die "openssl is needed"
ensure_osslsigncode || die "osslsigncode 2.8 or later is needed"

# Work next to OUT so the final mv is a rename, never a partial copy.
mkdir -p -- "$(dirname -- "$out")"
work=$(mktemp -d "$(dirname -- "$out")/.sign.XXXXXX") || die "cannot make a work folder next to $out"
trap 'stop_report sign.sh; rm -rf --one-file-system -- "$work"' EXIT
# Signing a signed file again would stack signatures; osslsigncode never overwrites.
if osslsigncode extract-signature -in "$in" -out "$work/existing.sig" >/dev/null 2>&1; then
    die "$in already carries a signature; give the unsigned image"
fi

# Signing time: the commit time, so every build of a commit says the same.
# shellcheck source=signing/signing-time.sh
. "$here/signing-time.sh"
when=$(signing_time "$repo") || die "$when"

# require_file VAR: the variable names a readable, non-empty file.
require_file() {
    local var=$1 path=${!1}
    [ -n "$path" ] || die "$var is set but empty"
    [ -f "$path" ] && [ -r "$path" ] || die "$var: no readable file at '$path'"
    [ -s "$path" ] || die "$var: '$path' is empty"
}

# require_valid_at CERT WHAT TIME: TIME lies within CERT's validity.
require_valid_at() {
    local from to
    from=$(openssl x509 -in "$1" -noout -startdate) && to=$(openssl x509 -in "$1" -noout -enddate) \
        || die "$2: cannot read the validity of $1"
    from=$(date -u -d "${from#*=}" +%s) && to=$(date -u -d "${to#*=}" +%s) \
        || die "$2: cannot read the validity of $1"
    [ "$3" -ge "$from" ] && [ "$3" -le "$to" ] \
        || die "$2 is not valid at $(date -u -d "@$3" '+%F %T UTC') (valid $(date -u -d "@$from" +%F) to $(date -u -d "@$to" +%F))"
}

# Any release variable, even an empty one (a CI secret that did not arrive),
# means release mode: never fall back to the development key then.
release=0
for var in LANYUE_SIGN_CERT LANYUE_SIGN_KEY LANYUE_SIGN_PASSWORD_FILE \
           LANYUE_TIMESTAMP_URL LANYUE_SIGN_CAFILE LANYUE_SIGN_PKCS11_MODULE; do
    if [ -n "${!var+set}" ]; then release=1; fi
done

# The pass phrase or PIN reaches osslsigncode as the file's first line through
# a pipe on fd 3: never on its command line, never in a file of ours.
passfile=""
pass=()
if [ $release -eq 1 ]; then
    [ -n "${LANYUE_SIGN_CERT+set}" ] \
        || die "release signing needs LANYUE_SIGN_CERT (PEM certificate chain, leaf first)"
    [ -n "${LANYUE_SIGN_KEY+set}" ] \
        || die "release signing needs LANYUE_SIGN_KEY (PEM private key, or pkcs11: URI of a key on a token)"
    [ -n "${LANYUE_TIMESTAMP_URL+set}" ] \
        || die "release signing needs LANYUE_TIMESTAMP_URL (RFC 3161 timestamp server)"
    require_file LANYUE_SIGN_CERT
    cert=$LANYUE_SIGN_CERT
    key=$LANYUE_SIGN_KEY
    if [ -n "${LANYUE_SIGN_PASSWORD_FILE+set}" ]; then
        require_file LANYUE_SIGN_PASSWORD_FILE
        passfile=$LANYUE_SIGN_PASSWORD_FILE
        pass=(-readpass /dev/fd/3)
    fi
    ca=${LANYUE_SIGN_CAFILE-/etc/ssl/certs/ca-certificates.crt}
    if [ -n "${LANYUE_SIGN_CAFILE+set}" ]; then
        require_file LANYUE_SIGN_CAFILE
    else
        ensure_packages ca-certificates  # the default bundle to check the result against
    fi
    [ -r "$ca" ] || die "no CA bundle at $ca to check the signature against; set LANYUE_SIGN_CAFILE"

    cert_pub=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) \
        || die "LANYUE_SIGN_CERT: '$cert' is not a PEM certificate"
    openssl x509 -in "$cert" -noout -checkend 0 >/dev/null \
        || die "LANYUE_SIGN_CERT has expired; a timestamp server can only stamp the present"
    require_valid_at "$cert" "LANYUE_SIGN_CERT" "$when"

    read -r -a urls <<<"$LANYUE_TIMESTAMP_URL"
    [ ${#urls[@]} -gt 0 ] || die "LANYUE_TIMESTAMP_URL is set but empty"
    stamp=()
    for url in "${urls[@]}"; do
        [[ $url =~ ^https?:// ]] || die "LANYUE_TIMESTAMP_URL: not an http(s) URL: '$url'"
        stamp+=(-ts "$url")
    done

    # The key last: a token is asked for its PIN only once all else is in order.
    if [[ $key == pkcs11:* ]]; then
        [ -n "${LANYUE_SIGN_PKCS11_MODULE+set}" ] \
            || die "a pkcs11: LANYUE_SIGN_KEY needs LANYUE_SIGN_PKCS11_MODULE (the token's PKCS#11 library)"
        require_file LANYUE_SIGN_PKCS11_MODULE
        [ -n "$passfile" ] \
            || die "a pkcs11: LANYUE_SIGN_KEY needs LANYUE_SIGN_PASSWORD_FILE (first line: the token's PIN)"
        . "$here/token-key.sh"
        token_key_args "$key" "$LANYUE_SIGN_PKCS11_MODULE" "$passfile" "$cert"
    else
        [ -z "${LANYUE_SIGN_PKCS11_MODULE+set}" ] \
            || die "LANYUE_SIGN_PKCS11_MODULE is set, but LANYUE_SIGN_KEY is no pkcs11: URI"
        require_file LANYUE_SIGN_KEY
        passin=(-passin pass:)
        [ -z "$passfile" ] || passin=(-passin "file:$passfile")
        key_pub=$(openssl pkey -in "$key" "${passin[@]}" -pubout 2>/dev/null </dev/null) \
            || die "LANYUE_SIGN_KEY: cannot read or decrypt '$key' (wrong or missing LANYUE_SIGN_PASSWORD_FILE?)"
        [ "$cert_pub" = "$key_pub" ] \
            || die "LANYUE_SIGN_KEY does not belong to the certificate in LANYUE_SIGN_CERT"
        key_args=(-key "$key")
    fi
    note "release signing with $cert, timestamps from ${urls[*]}"
else
    dev=$here/dev
    cert=$dev/dev-codesign.crt
    key_args=(-key "$dev/dev-codesign.key")
    ca=$dev/dev-root.crt
    require_valid_at "$cert" "the development code-signing certificate" "$when"
    require_valid_at "$dev/dev-tsa.crt" "the development timestamp certificate" "$when"
    # osslsigncode's own timestamp authority: offline, stamped at the commit time.
    stamp=(-TSA-certs "$dev/dev-tsa.crt" -TSA-key "$dev/dev-tsa.key" -TSA-time "$when")
    note "development signing (trusted by nobody) at $(date -u -d "@$when" '+%F %T UTC')"
fi

# sign STEP INPUT OUTPUT EXTRA...: one osslsigncode signing pass.
sign() {
    local step=$1 input=$2 output=$3
    shift 3
    osslsigncode sign -certs "$cert" "${key_args[@]}" "${pass[@]}" -n LanyueRepair \
        -time "$when" "${stamp[@]}" "$@" -in "$input" -out "$output" \
        >"$work/$step.log" 2>&1 3< <(head -n 1 -- "${passfile:-/dev/null}") || {
        grep -v 'DECODER routines\|asn1 encoding routines' "$work/$step.log" >&2 || true
        die "$step signing of $in failed"
    }
}
sign SHA-1 "$in" "$work/primary.exe" -h sha1
sign SHA-256 "$work/primary.exe" "$work/signed.exe" -h sha256 -nest

# Check what we made; osslsigncode exits 0 even when a timestamp fails to verify.
verify=(-CAfile "$ca" -TSA-CAfile "$ca")
# Revocation is Windows' business; do not let a slow CRL server fail a build.
if grep -q -- -ignore-cdp <<<"$(osslsigncode verify --help 2>&1 || true)"; then
    verify+=(-ignore-cdp)
fi
osslsigncode verify "${verify[@]}" -in "$work/signed.exe" >"$work/verify.log" 2>&1 \
    && [ "$(grep -c '^Timestamp Server Signature verification: ok' "$work/verify.log")" -eq 2 ] \
    && grep -q '^Number of verified signatures: 2$' "$work/verify.log" || {
    grep -i 'error\|fail\|verification' "$work/verify.log" >&2 || true
    die "the signed file does not verify against $ca (signatures and timestamps)"
}

mv -f -- "$work/signed.exe" "$out"
note "signed $out"
