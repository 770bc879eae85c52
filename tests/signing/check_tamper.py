# A copy of the signed exe with one byte flipped inside the signed content must
# fail verification in both signatures; flipping the PE checksum (excluded from
# the Authenticode hash) must not, which shows the failures come from the hash.
# Usage: check_tamper.py SIGNED_EXE DEV_DIR
import os
import shutil
import sys
import tempfile

import pefile

from signing_support import report, require_file, verify

exe, dev = sys.argv[1:3]
require_file(exe, "run ./build.sh first")
root = os.path.join(dev, "dev-root.crt")

pe = pefile.PE(exe, fast_load=True)
text = pe.sections[0]
last = max(pe.sections, key=lambda s: s.PointerToRawData + s.SizeOfRawData)
CASES = [
    # name, offset, still verifies
    ("DOS stub", 0x4E, False),
    ("first section header", pe.sections[0].get_file_offset(), False),
    ("middle of %s" % text.Name.rstrip(b"\0").decode(), text.PointerToRawData + text.SizeOfRawData // 2, False),
    ("last byte of the last section", last.PointerToRawData + last.SizeOfRawData - 1, False),
    ("PE checksum field", pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), True),
]
pe.close()

failures = []
with tempfile.TemporaryDirectory(prefix="lanyue-tamper-") as tmp:
    for name, offset, should_verify in CASES:
        copy = os.path.join(tmp, "tampered.exe")
        shutil.copyfile(exe, copy)
        with open(copy, "r+b") as f:
            f.seek(offset)
            byte = f.read(1)[0]
            f.seek(offset)
            f.write(bytes([byte ^ 0xFF]))
        rc, out, sigs = verify(copy, root)
        verified = rc == 0 and all(s["signature_ok"] and not s["mismatch"] for s in sigs.values())
        if verified != should_verify:
            failures.append("%s (offset 0x%X): %s, expected %s\n%s" % (
                name, offset, "verifies" if verified else "fails",
                "to verify" if should_verify else "to fail", out))
        elif not should_verify and [s["mismatch"] for s in sigs.values()] != [True, True]:
            failures.append("%s (offset 0x%X): not both signatures report a digest mismatch" % (name, offset))
report(failures, "tampered copies are rejected")
