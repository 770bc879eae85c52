# Helpers shared by the signing tests: osslsigncode verify's report read into
# one record per signature and the first byte two images part at (from
# signing/authenticode.py, shared with tools/verify-download), the signing time
# a build should carry, and a failed test with every broken case listed.
import os
import subprocess
import sys
from datetime import datetime, timezone

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "signing"))
import authenticode  # noqa: E402

verify, first_difference = authenticode.verify, authenticode.first_difference


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


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
