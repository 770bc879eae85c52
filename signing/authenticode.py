# What tools/verify-download and the signing tests read from a signed exe:
# osslsigncode verify's report, one record per signature (digest, signer, the
# signing and timestamp times, what verified), and the first byte at which two
# images part.
import re
import subprocess


def verify(exe, ca=None, tsa_ca=None):
    """Return (exit code, full text, records) of osslsigncode verify: against CA
    (timestamps against TSA_CA, else CA too), or with no CA its default bundle.
    CRL distribution points are never fetched."""
    cmd = ["osslsigncode", "verify", "-ignore-cdp"]
    if ca:
        cmd += ["-CAfile", ca, "-TSA-CAfile", tsa_ca or ca]
    res = subprocess.run(cmd + ["-in", exe], capture_output=True, text=True, errors="replace")
    text = res.stdout + res.stderr
    return res.returncode, text, split_signatures(text)


def split_signatures(text):
    """One dict per 'Signature Index: N' block, keyed by what its readers need."""
    records = {}
    blocks = re.split(r"^Signature Index: (\d+).*$", text, flags=re.M)
    for index, body in zip(blocks[1::2], blocks[2::2]):
        auth = body.split("Authenticated attributes:", 1)[-1].split("Countersignatures:", 1)[0]
        counter = body.split("Countersignatures:", 1)[-1]
        signer = body.split("Signer's certificate:", 1)[-1]
        stamp = body.split("Timestamp verified using:", 1)[-1].split("Timestamp Server Signature verification", 1)[0]
        chain = body.split("Signing certificate chain verified using:", 1)[-1]
        records[int(index)] = {
            "digest_alg": _first(r"^Message digest algorithm\s+:\s*(\S+)", body),
            "digest": _first(r"^Current message digest\s+:\s*(\S+)", body),
            "signer": _first(r"^\s*Subject:\s*(.+)$", signer),
            "issuer": _first(r"^\s*Issuer\s*:\s*(.+)$", signer),
            "signing_time": _first(r"Signing time: (.+)$", auth),
            "timestamp_time": _first(r"Timestamp time: (.+)$", counter),
            "timestamp_ok": re.search(r"^Timestamp Server Signature verification: ok$", body, re.M) is not None,
            "signature_ok": re.search(r"^Signature verification: ok$", body, re.M) is not None,
            "mismatch": "MISMATCH" in body,
            "error": _first(r"^\s*Error: (.+)$", chain) or _first(r"^\s*Error: (.+)$", body),
            "timestamp_error": _first(r"^\s*Error: (.+)$", stamp) if "Timestamp verified using:" in body else None,
        }
    return records


def _first(pattern, text):
    m = re.search(pattern, text, re.M)
    return m.group(1).strip() if m else None


def first_difference(a, b):
    """The first offset at which bytes A and B differ (the shorter's length when
    one is the other's start); None when they are equal."""
    if a == b:
        return None
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))
