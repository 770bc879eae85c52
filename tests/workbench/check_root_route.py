# The root route's runner, over a root folder of the test's own (this machine's
# /usr and /etc bound into it read-only, in a private mount namespace, see
# CMakeLists.txt): what a job there sees (the repository read-only, the work
# folder and shares at their own paths, a /tmp of the run's own, the route's
# settings and not this side's), that a process a job leaves is found by the
# next job, that a run's steps (stand-ins for Xvfb and Wine) leave the root as
# it was, and that nothing of the run stays mounted or running here afterwards.
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from winelab import REPO, Client, cache, prefix as wine, route  # noqa: E402

PROBE = """
import os, subprocess, sys
def writes(path):
    try:
        open(path, "w").close()
        os.unlink(path)
        return True
    except OSError:
        return False
{check}
"""
# id, the check run in the namespace (its exit code 0 means it holds)
ROWS = [
    ("repository read-only", "sys.exit(writes(os.path.join({repo!r}, 'probe')))"),
    ("work folder writable", "sys.exit(not writes(os.path.join({work!r}, 'probe')))"),
    ("read-only share", "sys.exit(writes(os.path.join({ro!r}, 'probe')) or not os.path.isfile({ro!r} + '/seen'))"),
    ("writable share", "sys.exit(not writes(os.path.join({rw!r}, 'probe')))"),
    ("/tmp is the run's own", "open('/tmp/left', 'w').write('x'); sys.exit(os.path.exists({work!r} + '/left'))"),
    ("the next job finds it", "sys.exit(open('/tmp/left').read() != 'x')"),
    ("the route's settings, not this side's", "sys.exit(os.environ.get('LANYUE_WAIT_SCALE') is None "
                                              "or os.environ.get('LANYUE_WINE_STATE') is not None)"),
    ("a process outlives its job", "p = subprocess.Popen(['sleep', '300'], start_new_session=True); "
                                  "open('/tmp/sleep.pid', 'w').write(str(p.pid)); sys.exit(0)"),
    ("the next job finds it too", "pid = int(open('/tmp/sleep.pid').read()); "
                                 "sys.exit(not os.path.exists(f'/proc/{{pid}}'))"),
]
# A run's steps as the route's runner runs them (run_step.py, with stand-ins for
# Xvfb and Wine); the prefix comes from a kept copy. The root must be left as it was.
STEPS = ["prepare", "case", "finish"]
WINE_VERSION = "stand-in"


def stand_in_root(tmp):
    """A root of the test's own: this machine's /usr and /etc bound read-only, its
    own home, /tmp, /var (with dpkg's record of a wine package) and the rest."""
    root = os.path.join(tmp, "root")
    for name in sorted(os.listdir("/")):
        path, there = "/" + name, os.path.join(root, name)
        if os.path.islink(path):
            os.makedirs(root, exist_ok=True)
            os.symlink(os.readlink(path), there)
        elif name in ("usr", "etc") or name.startswith("lib"):
            os.makedirs(there)
            subprocess.run(["mount", "--bind", "-o", "ro", path, there], check=True)
            if os.access(there, os.W_OK):
                raise SystemExit(f"FAIL {there} is bound writable: not going on")
    for folder in ("root", "tmp", "var/tmp", "var/lib/dpkg", "run", "home", "srv", "dev", "proc", "sys"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    with open(os.path.join(root, "root", ".profile"), "w") as f:
        f.write("# the root's own\n")
    with open(os.path.join(root, "var", "lib", "dpkg", "status"), "w") as f:
        f.write(f"Package: wine\nStatus: install ok installed\nVersion: {WINE_VERSION}\n\n")
    return root


def listing(root):
    """Every path of the root but what is mounted into it: its kind, size and mtime."""
    mounted = set(cache.mounts_under(root))
    seen = {}
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(top, d) not in mounted]
        for name in [""] + dirs + files:
            path = os.path.join(top, name) if name else top
            st = os.lstat(path)
            seen[os.path.relpath(path, root)] = (oct(st.st_mode), st.st_size, st.st_mtime_ns)
    return seen


def keep_a_prefix(kept):
    """A prefix copy kept from an earlier run, as the route's steps find it."""
    made = os.path.join(kept, wine.kept_name("prefix32", "win32", WINE_VERSION))
    os.makedirs(os.path.join(made, "drive_c", "windows"))
    with open(os.path.join(made, "lanyue-ready"), "w") as f:
        f.write(wine.stamp_text("win32", WINE_VERSION))


def main():
    if os.geteuid() != 0:
        print("needs root, to bind-mount")
        return 77
    if not shutil.which("bwrap"):
        print("bwrap missing: install bubblewrap")
        return 1
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-root-test-") as t:
        try:
            failures = checks(t)
        finally:  # before the folder goes: this machine's /usr and /etc are bound in it
            for point in cache.mounts_under(t):
                subprocess.run(["umount", "--lazy", point])
    for x in failures:
        print(f"FAIL {x}")
    print(f"{len(ROWS) + 4} root route checks: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


def checks(t):
    failures = []
    work, ro, rw = (os.path.join(t, n) for n in ("work", "ro", "rw"))
    for d in (work, ro, rw):
        os.makedirs(d)
    open(os.path.join(ro, "seen"), "w").close()
    root = stand_in_root(t)
    mounts_before = open("/proc/self/mounts").read()
    r = route.RootRoute("test", work, True, "trixie", [(ro, True), (rw, False)])
    r.root = lambda: root
    os.environ["LANYUE_WINE_STATE"] = "/var/lanyue"  # a setting of this side only
    os.environ.update(LANYUE_GUEST_CACHE=os.path.join(t, "cache"), LANYUE_STAND_IN_DIR=os.path.join(t, "stand-in"))
    os.makedirs(os.environ["LANYUE_STAND_IN_DIR"])
    keep_a_prefix(r.kept_prefixes())
    before = listing(root)
    runner = route.start_runner(r, watch=os.pidfd_open(os.getpid()))
    for id_, check in ROWS:
        code = PROBE.format(check=check.format(repo=REPO, work=work, ro=ro, rw=rw))
        rc = Client(work).run({"argv": ["/usr/bin/python3", "-c", code], "env": {}}, 60)
        if rc != 0:
            failures.append(f"[{id_}] the check ended with {rc}")
    for step in STEPS:
        rc = Client(work).run({"call": [HERE, "run_step", "job"], "args": [step, work],
                               "env": {"LANYUE_STAND_IN_DIR": os.environ["LANYUE_STAND_IN_DIR"]}}, 60)
        if rc != 0:
            failures.append(f"[the run's steps] {step} ended with {rc}")
    if not os.path.isdir(os.path.join(work, "prefix32", "drive_c", "windows")):
        failures.append("[the run's steps] the kept prefix was not copied into the work folder")
    route.stop_runner(work)
    runner.wait()
    after = listing(root)
    changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p))
    if changed:
        failures.append("[the root is left as it was] changed: "
                        + ", ".join(f"{p} {before.get(p)} -> {after.get(p)}" for p in changed[:10]))
    if open("/proc/self/mounts").read() != mounts_before:
        failures.append("[nothing stays mounted] the mounts changed")
    left = [pid for pid in filter(str.isdigit, os.listdir("/proc")) if t.encode() in open_or_empty(pid)]
    if left:
        failures.append(f"[nothing stays running] left: {left}")
    return failures


def open_or_empty(pid):
    try:
        return open(f"/proc/{pid}/cmdline", "rb").read() + open(f"/proc/{pid}/environ", "rb").read()
    except OSError:
        return b""


if __name__ == "__main__":
    sys.exit(main())
