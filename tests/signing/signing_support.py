# Helpers shared by the signing tests: run osslsigncode verify and split its
# report into one record per signature, read the signing time a build should
# carry, and fail a test with every broken case listed.
import os
import re
import subprocess
import sys
from datetime import datetime, timezone


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def verify(exe, ca, tsa_ca=None):
    """Return (exit code, full text, records) of osslsigncode verify."""
    cmd = ["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", tsa_ca or ca, "-in", exe]
    res = run(cmd)
    text = res.stdout + res.stderr
    return res.returncode, text, split_signatures(text)


def split_signatures(text):
    """One dict per 'Signature Index: N' block, keyed by what the tests read."""
    records = {}
    blocks = re.split(r"^Signature Index: (\d+).*$", text, flags=re.M)
    for index, body in zip(blocks[1::2], blocks[2::2]):
        auth = body.split("Authenticated attributes:", 1)[-1].split("Countersignatures:", 1)[0]
        counter = body.split("Countersignatures:", 1)[-1]
        records[int(index)] = {
            "digest_alg": _first(r"^Message digest algorithm\s+:\s*(\S+)", body),
            "digest": _first(r"^Current message digest\s+:\s*(\S+)", body),
            "signing_time": _first(r"Signing time: (.+)$", auth),
            "timestamp_time": _first(r"Timestamp time: (.+)$", counter),
            "timestamp_ok": re.search(r"^Timestamp Server Signature verification: ok$", body, re.M) is not None,
            "signature_ok": re.search(r"^Signature verification: ok$", body, re.M) is not None,
            "mismatch": "MISMATCH" in body,
        }
    return records


def _first(pattern, text):
    m = re.search(pattern, text, re.M)
    return m.group(1).strip() if m else None


def expected_signing_epoch(repo):
    """The time sign.sh stamps: SOURCE_DATE_EPOCH, else the last commit's time."""
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    res = run(["git", "-C", repo, "log", "-1", "--format=%ct"])
    if res.returncode != 0 or not res.stdout.strip():
        sys.exit("FAIL: no commit in %s and no SOURCE_DATE_EPOCH to know the signing time" % repo)
    return int(res.stdout)


def openssl_time(epoch):
    """The way osslsigncode prints times, e.g. 'Jan  1 00:00:00 2020 GMT'."""
    t = datetime.fromtimestamp(epoch, timezone.utc)
    return "%s %2d %s GMT" % (t.strftime("%b"), t.day, t.strftime("%H:%M:%S %Y"))


def require_file(path, hint):
    if not os.path.isfile(path):
        sys.exit("FAIL: %s does not exist (%s)" % (path, hint))


def report(failures, passed_what):
    if failures:
        for f in failures:
            print("FAIL:", f)
        sys.exit(1)
    print("ok:", passed_what)
