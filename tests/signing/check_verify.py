# Both Authenticode signatures of the signed exe, and their RFC 3161
# timestamps, verify against the development root, dated at the commit time.
# Usage: check_verify.py SIGNED_EXE DEV_DIR REPO
import os
import sys

from signing_support import expected_signing_epoch, openssl_time, report, require_file, verify

SIGNATURES = [(0, "primary SHA-1 signature"), (1, "nested SHA-256 signature")]

exe, dev, repo = sys.argv[1:4]
require_file(exe, "run ./build.sh first")
root = os.path.join(dev, "dev-root.crt")
when = openssl_time(expected_signing_epoch(repo))

failures = []
rc, text, sigs = verify(exe, root)
if rc != 0:
    failures.append("osslsigncode verify exited %d:\n%s" % (rc, text))
if sorted(sigs) != [i for i, _ in SIGNATURES]:
    failures.append("expected signatures %s, found %s" % ([i for i, _ in SIGNATURES], sorted(sigs)))
for index, name in SIGNATURES:
    sig = sigs.get(index)
    if sig is None:
        continue
    if not sig["signature_ok"]:
        failures.append("%s: signature does not verify" % name)
    if not sig["timestamp_ok"]:
        failures.append("%s: timestamp does not verify" % name)
    for field in ("signing_time", "timestamp_time"):
        if sig[field] != when:
            failures.append("%s: %s is %r, expected the commit time %r" % (name, field, sig[field], when))

# osslsigncode exits 0 when only a timestamp fails, so make sure the check above
# can see one: against a TSA root that did not issue the stamps, both must fail.
_, _, foreign = verify(exe, root, tsa_ca=os.path.join(dev, "dev-codesign.crt"))
for index, name in SIGNATURES:
    if index in foreign and foreign[index]["timestamp_ok"]:
        failures.append("%s: timestamp still 'ok' against a foreign TSA root" % name)

report(failures, "both signatures and timestamps of %s verify" % exe)
