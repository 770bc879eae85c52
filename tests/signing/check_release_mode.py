# sign.sh in release mode: signs with the given key and a real RFC 3161 server
# (here a local one run by openssl ts), and when any release setting is broken
# it fails naming the problem, leaves no OUT, and never uses the development key.
# Usage: check_release_mode.py SIGN_SH UNSIGNED_EXE DEV_DIR
import http.server
import os
import subprocess
import sys
import tempfile
import threading

from signing_support import report, require_file, run, verify

sign_sh, unsigned, dev = sys.argv[1:4]
require_file(unsigned, "run ./build.sh first")
crt, key, root = (os.path.join(dev, f) for f in ("dev-codesign.crt", "dev-codesign.key", "dev-root.crt"))

TSA_CONF = """
[ tsa ]
default_tsa = local
[ local ]
serial = {tmp}/tsa-serial
signer_cert = {dev}/dev-tsa.crt
signer_key = {dev}/dev-tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha1, sha256
ess_cert_id_alg = sha256
"""


def start_tsa(tmp):
    """An RFC 3161 server on 127.0.0.1 that answers with openssl ts -reply."""
    conf = os.path.join(tmp, "tsa.cnf")
    with open(conf, "w") as f:
        f.write(TSA_CONF.format(tmp=tmp, dev=dev))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            self.server.requests += 1
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", conf, "-queryfile", "/dev/stdin",
                                    "-out", "/dev/stdout"], input=query, capture_output=True).stdout
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    server.requests = 0
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


failures = []
with tempfile.TemporaryDirectory(prefix="lanyue-release-") as tmp:
    server = start_tsa(tmp)
    tsa_url = "http://127.0.0.1:%d/" % server.server_port
    password, wrong = os.path.join(tmp, "password"), os.path.join(tmp, "wrong-password")
    with open(password, "w") as f:
        f.write("correct horse\n")
    with open(wrong, "w") as f:
        f.write("battery staple\n")
    encrypted = os.path.join(tmp, "encrypted.key")
    run(["openssl", "pkey", "-in", key, "-aes256", "-passout", "file:" + password, "-out", encrypted])

    good = {"LANYUE_SIGN_CERT": crt, "LANYUE_SIGN_KEY": encrypted, "LANYUE_SIGN_PASSWORD_FILE": password,
            "LANYUE_TIMESTAMP_URL": tsa_url, "LANYUE_SIGN_CAFILE": root}

    def but(**changes):
        env = dict(good, **changes)
        return {k: v for k, v in env.items() if v is not None}

    CASES = [
        # name, release settings, expected message (None: must succeed)
        ("encrypted key and local timestamp server", good, None),
        ("certificate file missing", but(LANYUE_SIGN_CERT=os.path.join(tmp, "missing.crt")),
         "LANYUE_SIGN_CERT: no readable file"),
        ("key variable set but empty", but(LANYUE_SIGN_KEY=""), "LANYUE_SIGN_KEY is set but empty"),
        ("key of another certificate", but(LANYUE_SIGN_KEY=os.path.join(dev, "dev-tsa.key"),
                                           LANYUE_SIGN_PASSWORD_FILE=None), "does not belong"),
        ("encrypted key, no password file", but(LANYUE_SIGN_PASSWORD_FILE=None), "cannot read or decrypt"),
        ("wrong password", but(LANYUE_SIGN_PASSWORD_FILE=wrong), "cannot read or decrypt"),
        ("no timestamp URL", but(LANYUE_TIMESTAMP_URL=None), "needs LANYUE_TIMESTAMP_URL"),
        ("only a password file", {"LANYUE_SIGN_PASSWORD_FILE": password}, "needs LANYUE_SIGN_CERT"),
        ("timestamp server unreachable", but(LANYUE_TIMESTAMP_URL="http://127.0.0.1:1/"), "SHA-1 signing"),
    ]

    base = {k: v for k, v in os.environ.items() if not k.startswith("LANYUE_")}
    base["SOURCE_DATE_EPOCH"] = "1700000000"
    out = os.path.join(tmp, "dist", "LanyueRepair.exe")
    for name, settings, message in CASES:
        os.makedirs(os.path.dirname(out), exist_ok=True)
        with open(out, "w") as f:
            f.write("stale output of an earlier build")
        server.requests = 0
        res = run(["bash", sign_sh, unsigned, out], env=dict(base, **settings))
        err = res.stderr
        if "development" in err:
            failures.append("%s: fell back to the development key:\n%s" % (name, err))
        if message is None:
            rc, text, sigs = verify(out, root) if os.path.exists(out) else (None, "", {})
            if res.returncode != 0 or rc != 0 or len(sigs) != 2 or \
                    not all(s["timestamp_ok"] and s["signature_ok"] for s in sigs.values()):
                failures.append("%s: expected a verified, timestamped exe; sign.sh said:\n%s\n%s" % (name, err, text))
            if server.requests != 2:
                failures.append("%s: %d requests reached the timestamp server, expected 2" % (name, server.requests))
        else:
            if res.returncode == 0:
                failures.append("%s: sign.sh succeeded, expected it to fail" % name)
            if message not in err:
                failures.append("%s: expected %r in the message, got:\n%s" % (name, message, err))
            if os.path.exists(out):
                failures.append("%s: %s left behind" % (name, out))
        leftovers = [f for f in os.listdir(os.path.dirname(out)) if f != "LanyueRepair.exe"]
        if leftovers:
            failures.append("%s: temporary files left in dist/: %s" % (name, leftovers))
    server.shutdown()
report(failures, "release mode signs, and refuses every broken setting")
