#!/usr/bin/env bash
# Regenerates the development signing chain in signing/dev/: a root CA, a
# code-signing certificate and a timestamp-authority certificate, with keys.
# Development only: nobody trusts this root. Output is committed, so run it
# only to replace the chain (needs openssl, installed via ensure_packages).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../scripts/stop-report.sh"
trap 'stop_report make-dev-chain.sh' EXIT
# shellcheck source=../scripts/ensure-packages.sh
. "$here/../scripts/ensure-packages.sh"
ensure_packages openssl

out=$here/dev
# Wide validity so that any commit time, past or future, falls inside it.
start=20200101000000Z
end=20491231235959Z
tag="DEVELOPMENT ONLY - NOT TRUSTED"

work=$(mktemp -d) || { echo "make-dev-chain.sh: mktemp -d failed" >&2; exit 1; }
trap 'stop_report make-dev-chain.sh; rm -rf --one-file-system "$work"' EXIT

# openssl ca is the only openssl 3.0 command that takes explicit start/end dates.
mkdir -p "$work/db"
: > "$work/db/index.txt"
cat > "$work/ca.cnf" <<CNF
[ ca ]
default_ca = dev
[ dev ]
dir           = $work/db
database      = \$dir/index.txt
new_certs_dir = \$dir
rand_serial   = yes
default_md    = sha256
policy        = any
unique_subject = no
copy_extensions = none
email_in_dn   = no
[ any ]
organizationName = optional
commonName       = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
[ root_ext ]
basicConstraints       = critical, CA:true
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash
[ codesign_ext ]
basicConstraints       = critical, CA:false
keyUsage               = critical, digitalSignature
extendedKeyUsage       = codeSigning
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
[ tsa_ext ]
basicConstraints       = critical, CA:false
keyUsage               = critical, digitalSignature, nonRepudiation
extendedKeyUsage       = critical, timeStamping
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
CNF

# request STEM NAME: a new key and a request for it.
request() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$work/$1.key" 2>/dev/null
    openssl req -new -config "$work/ca.cnf" -key "$work/$1.key" \
        -subj "/O=LanyueRepair/CN=$2 - $tag" -out "$work/$1.csr"
}

request dev-root "LanyueRepair Root CA"
openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/dev-root.key" \
    -in "$work/dev-root.csr" -extensions root_ext -startdate $start -enddate $end \
    -notext -out "$work/dev-root.crt" 2>/dev/null

for leaf in "dev-codesign:LanyueRepair Code Signing:codesign_ext" \
            "dev-tsa:LanyueRepair Timestamping:tsa_ext"; do
    IFS=: read -r stem cn ext <<<"$leaf"
    request "$stem" "$cn"
    openssl ca -batch -config "$work/ca.cnf" -cert "$work/dev-root.crt" \
        -keyfile "$work/dev-root.key" -in "$work/$stem.csr" -extensions "$ext" \
        -startdate $start -enddate $end -notext -out "$work/$stem.crt" 2>/dev/null
    openssl verify -CAfile "$work/dev-root.crt" "$work/$stem.crt" >/dev/null
done

# OpenSSL skips text before -----BEGIN, so each file can say what it is.
mkdir -p "$out"
for stem in dev-root dev-codesign dev-tsa; do
    for ext in crt key; do
        { echo "LanyueRepair $stem.$ext: $tag."
          echo "Public development material made by signing/make-dev-chain.sh; see README.md."
          cat "$work/$stem.$ext"; } > "$out/$stem.$ext"
    done
done
echo "Development chain written to $out" >&2
