# sign.sh in release mode: signs with the given key, from a PEM file or on a
# PKCS#11 token (a SoftHSM2 one in a temporary folder, its key made on the
# token and never extractable), and a real RFC 3161 server (here a local one
# run by openssl ts). When any release setting is broken it fails naming the
# problem, leaves no OUT, and never uses the development key. No pass phrase
# or PIN may reach the command line of a tool sign.sh runs, nor its messages.
# Usage: check_release_mode.py SIGN_SH UNSIGNED_EXE DEV_DIR
import http.server
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

from signing_support import certify_code_signing, must, report, require_file, run, throwaway_ca, verify

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


def softhsm_module():
    for path in ("/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"):
        if os.path.isfile(path):
            return path
    sys.exit("FAIL: no libsofthsm2.so (package softhsm2)")


def make_token(tmp, pin):
    """A SoftHSM2 token in tmp with an RSA key made on it, certified by a CA made
    here. Returns (environment, module, key URI, certificate, CA certificate)."""
    os.makedirs(os.path.join(tmp, "tokens"))
    conf = os.path.join(tmp, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n" % tmp)
    module = softhsm_module()
    # PINs through the environment (pkcs11-tool's env:), as sign.sh must never put them on argv.
    env = dict(os.environ, SOFTHSM2_CONF=conf, TEST_SO_PIN="so-" + pin, TEST_PIN=pin, PKCS11_MODULE_PATH=module)
    tool = ["pkcs11-tool", "--module", module]
    steps = [tool + ["--init-token", "--label", "lanyue-release", "--so-pin", "env:TEST_SO_PIN"],
             tool + ["--token-label", "lanyue-release", "--login", "--login-type", "so", "--so-pin",
                     "env:TEST_SO_PIN", "--init-pin", "--new-pin", "env:TEST_PIN"],
             tool + ["--token-label", "lanyue-release", "--login", "--pin", "env:TEST_PIN", "--keypairgen",
                     "--key-type", "rsa:2048", "--id", "4c52", "--label", "release-key"]]
    for cmd in steps:
        res = must(cmd, "token set-up", env=env)
    if "never extractable" not in res.stdout:
        sys.exit("FAIL: the token's key may be extractable:\n" + res.stdout)
    uri = "pkcs11:token=lanyue-release;object=release-key;type=private"
    pin_file = os.path.join(tmp, "token-pin")
    with open(pin_file, "w") as f:
        f.write(pin + "\n")
    ca_key, ca = throwaway_ca(tmp, "Throwaway token CA")
    csr, leaf = os.path.join(tmp, "token.csr"), os.path.join(tmp, "token.crt")
    # The request is signed on the token: its public key is the token key's.
    must(["openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", uri,
          "-passin", "file:" + pin_file, "-subj", "/CN=Token code signing", "-out", csr],
         "certifying the token key", env=env)
    certify_code_signing(tmp, csr, ca_key, ca, leaf)
    env = {"SOFTHSM2_CONF": conf}
    return env, module, uri, pin_file, leaf, ca


def argv_recorder(tmp, log):
    """A folder of stand-ins that log each command line, then run the real tool."""
    folder = os.path.join(tmp, "recorded-bin")
    os.makedirs(folder)
    for name in ("openssl", "osslsigncode", "pkcs11-tool"):
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$0 $*" >> "%s"\nexec %s "$@"\n' % (log, shutil.which(name)))
        os.chmod(path, stat.S_IRWXU)
    return folder


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

    pin = "token-pin-5821"
    token_env, module, uri, pin_file, token_crt, token_ca = make_token(tmp, pin)
    wrong_pin = os.path.join(tmp, "wrong-pin")
    with open(wrong_pin, "w") as f:
        f.write("token-pin-0000\n")
    not_a_module = os.path.join(tmp, "not-a-module.so")
    with open(not_a_module, "w") as f:
        f.write("not a library\n")
    # sign.sh checks the signature and its timestamps against one bundle.
    token_bundle = os.path.join(tmp, "token-bundle.pem")
    with open(token_bundle, "w") as f:
        f.write(open(token_ca).read() + open(root).read())
    # The certificate is valid from its making: the signing time is now.
    token = dict(token_env, LANYUE_SIGN_CERT=token_crt, LANYUE_SIGN_KEY=uri, LANYUE_SIGN_PKCS11_MODULE=module,
                 LANYUE_SIGN_PASSWORD_FILE=pin_file, LANYUE_TIMESTAMP_URL=tsa_url,
                 LANYUE_SIGN_CAFILE=token_bundle, SOURCE_DATE_EPOCH=str(int(time.time())))

    def but(base=good, **changes):
        env = dict(base, **changes)
        return {k: v for k, v in env.items() if v is not None}

    def on_token(**changes):
        return but(token, **changes)

    CASES = [
        # name, release settings, expected message (None: must succeed)
        ("encrypted key and local timestamp server", good, None),
        ("key on a token", token, None),
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
        ("key file, and a token module set", but(LANYUE_SIGN_PKCS11_MODULE=module),
         "LANYUE_SIGN_PKCS11_MODULE is set, but LANYUE_SIGN_KEY is no pkcs11: URI"),
        ("token: no module given", on_token(LANYUE_SIGN_PKCS11_MODULE=None), "needs LANYUE_SIGN_PKCS11_MODULE"),
        ("token: module missing", on_token(LANYUE_SIGN_PKCS11_MODULE=os.path.join(tmp, "missing.so")),
         "LANYUE_SIGN_PKCS11_MODULE: no readable file"),
        ("token: module not a PKCS#11 library", on_token(LANYUE_SIGN_PKCS11_MODULE=not_a_module),
         "is not a PKCS#11 library"),
        ("token: no token with that label", on_token(LANYUE_SIGN_KEY=uri.replace("lanyue-release", "other-token")),
         "no token labelled 'other-token'"),
        ("token: wrong PIN", on_token(LANYUE_SIGN_PASSWORD_FILE=wrong_pin), "refused the PIN"),
        ("token: no PIN file", on_token(LANYUE_SIGN_PASSWORD_FILE=None), "needs LANYUE_SIGN_PASSWORD_FILE"),
        ("token: PIN in the URI", on_token(LANYUE_SIGN_KEY=uri + "?pin-value=" + pin), "carries the PIN"),
        ("token: no private key at the URI", on_token(LANYUE_SIGN_KEY=uri.replace("release-key", "no-such-key")),
         "no private key at"),
        ("token: certificate of another key", on_token(LANYUE_SIGN_CERT=crt), "does not belong to the certificate"),
        ("token: certificate not valid at the signing time", on_token(SOURCE_DATE_EPOCH="1700000000"),
         "LANYUE_SIGN_CERT is not valid at"),
        ("token: timestamp server unreachable", on_token(LANYUE_TIMESTAMP_URL="http://127.0.0.1:1/"),
         "SHA-1 signing"),
        ("token: result not trusted by LANYUE_SIGN_CAFILE", on_token(LANYUE_SIGN_CAFILE=root), "does not verify"),
    ]
    secrets = ["correct horse", "battery staple", pin, "token-pin-0000"]

    argv_log = os.path.join(tmp, "argv.log")
    base = {k: v for k, v in os.environ.items() if not k.startswith("LANYUE_")}
    base["SOURCE_DATE_EPOCH"] = "1700000000"
    base["PATH"] = argv_recorder(tmp, argv_log) + os.pathsep + base["PATH"]
    out = os.path.join(tmp, "dist", "LanyueRepair.exe")
    for name, settings, message in CASES:
        os.makedirs(os.path.dirname(out), exist_ok=True)
        with open(out, "w") as f:
            f.write("stale output of an earlier build")
        open(argv_log, "w").close()
        server.requests = 0
        res = run(["bash", sign_sh, unsigned, out], env=dict(base, **settings))
        err = res.stderr
        if "development" in err:
            failures.append("%s: fell back to the development key:\n%s" % (name, err))
        argv = open(argv_log).read()
        for secret in secrets:
            if secret in argv:
                failures.append("%s: %r reached a command line:\n%s" % (name, secret, argv))
            if secret in err + res.stdout:
                failures.append("%s: %r was printed:\n%s" % (name, secret, err))
        if message is None:
            # Verified against the certificate's own CA (the timestamps against theirs).
            ca = token_ca if settings is token else root
            rc, text, sigs = verify(out, ca, tsa_ca=root) if os.path.exists(out) else (None, "", {})
            digests = [sigs[i]["digest_alg"] for i in sorted(sigs)]
            if res.returncode != 0 or rc != 0 or len(sigs) != 2 or \
                    not all(s["timestamp_ok"] and s["signature_ok"] for s in sigs.values()):
                failures.append("%s: expected a verified, timestamped exe; sign.sh said:\n%s\n%s" % (name, err, text))
            elif [d.upper() for d in digests] != ["SHA1", "SHA256"]:
                failures.append("%s: digests %s, expected SHA1 then SHA256" % (name, digests))
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
