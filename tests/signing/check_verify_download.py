# tools/verify-download on the downloads it must tell apart: a fresh dist/
# passes; a changed image, one built from another commit, one whose record
# names another compiler, one signed with another key, and files that are no
# whole PE image each fail, saying how.
# Usage: check_verify_download.py TOOL SIGNED_EXE DEV_DIR REPO
import os
import shutil
import sys
import tempfile

import pefile

from signing_support import (certify_code_signing, copy_source_tree, must, report, require_file, run,
                             throwaway_ca)

tool, exe, dev, repo = sys.argv[1:5]
require_file(exe, "run ./build.sh first")
root = os.path.join(dev, "dev-root.crt")
built = os.path.join(repo, "build", "windows", "LanyueRepair.exe")
COMPILER = "g++-mingw-w64-i686-win32"


def folder(name):
    path = os.path.join(tmp, name)
    os.makedirs(path)
    return path


def record_of_this_checkout(dest, **claims):
    """The record this checkout's build carries, in DEST, with CLAIMS (package: version) swapped in."""
    must([os.path.join(repo, "scripts", "write-buildinfo.sh"), built, dest], "writing a build record")
    lines = open(dest).read().splitlines()
    for package, version in claims.items():
        lines = ["package: %s %s" % (package, version) if line.startswith("package: %s " % package) else line
                 for line in lines]
    with open(dest, "w") as f:
        f.write("\n".join(lines) + "\n")


def text_flipped(name):
    """This checkout's image with a byte in the middle of .text flipped, signed
    with the development key, in a folder NAME: (the folder, the offset)."""
    where = folder(name)
    image = os.path.join(where, "unsigned.exe")
    shutil.copyfile(built, image)
    pe = pefile.PE(image, fast_load=True)
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    offset = text.PointerToRawData + text.SizeOfRawData // 2
    pe.close()
    with open(image, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ 0xFF]))
    must([os.path.join(repo, "signing", "sign.sh"), image, os.path.join(where, "LanyueRepair.exe")],
         "signing the changed image")
    return where, offset


def fresh():
    return [exe, "--cafile", root], ["PASS"]


def development():
    return [exe], ["signer is this project's development chain", "--cafile", "signing/dev/dev-root.crt",
                   "its timestamp does not verify (unable to get local issuer certificate)"]


def changed_text():
    where, offset = text_flipped("changed-text")
    record_of_this_checkout(os.path.join(where, "BUILDINFO"))
    return ([os.path.join(where, "LanyueRepair.exe"), "--cafile", root],
            ["same commit and toolchain", "offset 0x%X, in the section .text" % offset])


def other_commit():
    """Built by build.sh from a commit of its own whose manifest differs."""
    src = folder("other-commit")
    copy_source_tree(repo, src)
    with open(os.path.join(src, "res", "app.manifest"), "a") as f:
        f.write("<!-- another commit -->\n")
    git = ["git", "-C", src, "-c", "user.name=Test", "-c", "user.email=test@invalid"]
    must(git + ["init", "-q"], "making another commit")
    must(git + ["add", "-A"], "making another commit")
    must(git + ["commit", "-q", "-m", "another commit"], "making another commit")
    commit = must(git + ["rev-parse", "HEAD"], "making another commit").stdout.strip()
    must([os.path.join(src, "build.sh")], "building another commit", cwd=src)
    return [os.path.join(src, "dist", "LanyueRepair.exe"), "--cafile", root], ["built from commit " + commit]


def other_compiler():
    where, _ = text_flipped("other-compiler")
    record = os.path.join(folder("other-compiler-record"), "BUILDINFO")
    record_of_this_checkout(record, **{COMPILER: "99.0-1"})
    return ([os.path.join(where, "LanyueRepair.exe"), "--buildinfo", record, "--cafile", root],
            ["another toolchain", "%s: 99.0-1 there" % COMPILER])


def other_key():
    """This checkout's image signed by a throwaway CA's code-signing certificate,
    timestamped by the development authority."""
    where = folder("other-key")
    ca_key, ca = throwaway_ca(where, "Throwaway CA")
    key, csr, crt = (os.path.join(where, n) for n in ("leaf.key", "leaf.csr", "leaf.crt"))
    must(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
          "-subj", "/CN=Throwaway code signing"], "making a throwaway code-signing key")
    certify_code_signing(where, csr, ca_key, ca, crt)
    sign = ["osslsigncode", "sign", "-certs", crt, "-key", key,
            "-TSA-certs", os.path.join(dev, "dev-tsa.crt"), "-TSA-key", os.path.join(dev, "dev-tsa.key")]
    primary, out = os.path.join(where, "primary.exe"), os.path.join(where, "LanyueRepair.exe")
    must(sign + ["-h", "sha1", "-in", built, "-out", primary], "signing with the throwaway key")
    must(sign + ["-h", "sha256", "-nest", "-in", primary, "-out", out], "signing with the throwaway key")
    return [out, "--cafile", root], ["FAILED", "signer /CN=Throwaway code signing"]


def not_pe():
    path = os.path.join(folder("not-pe"), "LanyueRepair.exe")
    with open(path, "w") as f:
        f.write("<html>404 Not Found</html>\n")
    return [path], ["is not a PE image"]


def truncated():
    path = os.path.join(folder("truncated"), "LanyueRepair.exe")
    with open(exe, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:len(data) // 2])
    return [path], ["is truncated"]


CASES = [
    # name, makes (arguments, words the output must hold), exit code, one line of output only
    ("a fresh dist/ verifies", fresh, 0, False),
    ("a development build, checked with no --cafile", development, 1, False),
    ("a byte flipped in .text", changed_text, 1, False),
    ("built from another commit", other_commit, 1, False),
    ("a record naming another compiler", other_compiler, 1, False),
    ("signed with another key", other_key, 1, False),
    ("not a PE image", not_pe, 2, True),
    ("a truncated exe", truncated, 2, True),
]

failures = []
with tempfile.TemporaryDirectory(prefix="lanyue-verify-download-") as tmp:
    for name, make, code, one_line in CASES:
        args, words = make()
        res = run([tool] + args)
        said = res.stdout + res.stderr
        missing = [w for w in words if w not in said]
        if res.returncode != code or missing or (one_line and len(said.strip().splitlines()) != 1):
            failures.append("%s: exit %d (expected %d)%s%s; it said:\n%s" % (
                name, res.returncode, code, ", missing %s" % missing if missing else "",
                ", not one line" if one_line else "", said))
report(failures, "verify-download tells each kind of download apart")
