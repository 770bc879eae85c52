# A second Windows build of the same source tree, in another folder, gives a
# byte-identical unsigned image whose Authenticode digests are the ones signed
# into the shipped exe. Builds from the files git would commit (tracked and
# untracked-but-not-ignored). Usage: check_reproducible.py SIGNED_EXE DEV_DIR REPO
import os
import re
import sys
import tempfile

from signing_support import copy_source_tree, first_difference, report, require_file, run, verify

# digest algorithm for extract-data, signature index that uses it
DIGESTS = [("sha1", 0), ("sha256", 1)]

exe, dev, repo = sys.argv[1:4]
original = os.path.join(repo, "build", "windows", "LanyueRepair.exe")
require_file(exe, "run ./build.sh first")
require_file(original, "run ./build.sh first")


def authenticode_digest(image, alg, tmp):
    data = os.path.join(tmp, "data-%s.der" % alg)
    if os.path.exists(data):
        os.remove(data)  # osslsigncode will not overwrite
    res = run(["osslsigncode", "extract-data", "-h", alg, "-in", image, "-out", data])
    if res.returncode != 0:
        sys.exit("FAIL: extract-data %s of %s: %s" % (alg, image, res.stdout + res.stderr))
    dump = run(["openssl", "asn1parse", "-inform", "DER", "-in", data]).stdout
    return re.findall(r"OCTET STRING\s+\[HEX DUMP\]:([0-9A-F]+)", dump)[-1]


failures = []
with tempfile.TemporaryDirectory(prefix="lanyue-rebuild-") as tmp:
    src = os.path.join(tmp, "src")
    copy_source_tree(repo, src)

    for step in (["cmake", "--preset", "windows"], ["cmake", "--build", "--preset", "windows"]):
        res = run(step, cwd=src)
        if res.returncode != 0:
            sys.exit("FAIL: %s in the copy: %s" % (" ".join(step), res.stdout[-3000:] + res.stderr[-3000:]))
    rebuilt = os.path.join(src, "build", "windows", "LanyueRepair.exe")

    a, b = open(original, "rb").read(), open(rebuilt, "rb").read()
    if a != b:
        at = first_difference(a, b)
        failures.append("rebuilt image differs from %s: sizes %d/%d, first difference at 0x%X, %d bytes differ" % (
            original, len(a), len(b), at, sum(x != y for x, y in zip(a, b)) + abs(len(a) - len(b))))

    _, _, sigs = verify(exe, os.path.join(dev, "dev-root.crt"))
    for alg, index in DIGESTS:
        signed = sigs.get(index, {}).get("digest")
        for name, image in (("rebuilt image", rebuilt), ("build/windows image", original)):
            got = authenticode_digest(image, alg, tmp)
            if got != signed:
                failures.append("%s: %s Authenticode digest %s, signature %d of %s holds %s" % (
                    name, alg, got, index, exe, signed))
report(failures, "an independent rebuild matches the signed image")
