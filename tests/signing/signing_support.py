# Helpers shared by the signing tests: osslsigncode verify's report read into
# one record per signature and the first byte two images part at (from
# signing/authenticode.py, shared with tools/verify-download), the signing time
# a build should carry, a throwaway CA and code-signing certificate, a copy of
# the source tree to build again, and a failed test with every broken case listed.
import os
import shutil
import subprocess
import sys
from datetime import datetime, timezone

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "signing"))
import authenticode  # noqa: E402

verify, first_difference = authenticode.verify, authenticode.first_difference


OUTPUT_DIRS = ("build/", "dist/")  # never sources, even where not ignored yet
CODE_SIGNING_EXTENSIONS = ("basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature\n"
                           "extendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def must(cmd, what, **kw):
    """Runs CMD; a failure ends the test, saying WHAT it was for."""
    res = run(cmd, **kw)
    if res.returncode != 0:
        sys.exit("FAIL: %s: %s\n%s%s" % (what, " ".join(cmd), res.stdout[-3000:], res.stderr[-3000:]))
    return res


def throwaway_ca(tmp, name):
    """A CA made for this run alone, valid two days: (key, certificate) in TMP."""
    key, crt = os.path.join(tmp, "ca.key"), os.path.join(tmp, "ca.crt")
    must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
          "-days", "2", "-subj", "/CN=" + name], "making a throwaway CA")
    return key, crt


def certify_code_signing(tmp, csr, ca_key, ca, out):
    """OUT: a code-signing certificate for the request CSR, issued by the CA."""
    ext = os.path.join(tmp, "codesign.ext")
    with open(ext, "w") as f:
        f.write(CODE_SIGNING_EXTENSIONS)
    must(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", "2",
          "-days", "2", "-extfile", ext, "-out", out], "certifying a code-signing key")


def copy_source_tree(repo, dest):
    """The files git would commit (tracked, and untracked but not ignored), as
    they are in REPO's working tree, copied to DEST."""
    listed = subprocess.run(["git", "-C", repo, "ls-files", "-z", "-co", "--exclude-standard"],
                            check=True, capture_output=True).stdout.decode().split("\0")
    for rel in filter(None, listed):
        path = os.path.join(repo, rel)
        if rel.startswith(OUTPUT_DIRS) or not os.path.lexists(path):
            continue  # build output, or deleted but not yet committed
        os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
        shutil.copy2(path, os.path.join(dest, rel), follow_symlinks=False)


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
