# The primary signature uses SHA-1 (understood by XP and Vista) and the nested
# one SHA-256 (what current Windows requires).
# Usage: check_digests.py SIGNED_EXE DEV_DIR
import os
import sys

from signing_support import report, require_file, verify

EXPECTED = [(0, "primary signature", "SHA1"), (1, "nested signature", "SHA256")]

exe, dev = sys.argv[1:3]
require_file(exe, "run ./build.sh first")
_, text, sigs = verify(exe, os.path.join(dev, "dev-root.crt"))

failures = []
for index, name, alg in EXPECTED:
    got = sigs.get(index, {}).get("digest_alg")
    if got != alg:
        failures.append("%s (index %d): digest algorithm %s, expected %s" % (name, index, got, alg))
if len(sigs) != len(EXPECTED):
    failures.append("expected %d signatures, found %d:\n%s" % (len(EXPECTED), len(sigs), text))
report(failures, "digest algorithms SHA-1 then SHA-256")
