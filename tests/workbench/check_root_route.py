# The root route's namespace, with this machine's own root standing in for
# another release's: what a command run there sees (the repository read-only,
# the work folder and shares at their own paths, the work folder's /tmp, only
# the forwarded settings), that a process it leaves is found by the next
# command, and that nothing stays mounted here afterwards.
import os
import shutil
import signal
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from winelab import REPO, route  # noqa: E402

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
    ("/tmp is the work folder's", "open('/tmp/left', 'w').write('x'); sys.exit(0)"),
    ("settings forwarded", "sys.exit(os.environ.get('LANYUE_E2E_ROUTE') != 'native' "
                           "or os.environ.get('LANYUE_WINE_STATE') is not None)"),
    ("a process outlives its command", "p = subprocess.Popen(['sleep', '300'], start_new_session=True); "
                                      "open('/tmp/sleep.pid', 'w').write(str(p.pid)); sys.exit(0)"),
    ("the next command finds it", "pid = int(open('/tmp/sleep.pid').read()); "
                                 "sys.exit(not os.path.exists(f'/proc/{{pid}}'))"),
]


class HostRoot(route.RootRoute):
    def root(self):
        return "/"


def main():
    if not shutil.which("bwrap"):
        print("bwrap missing: install bubblewrap")
        return 1
    mounts_before = open("/proc/self/mounts").read()
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-root-test-") as t:
        work, ro, rw = (os.path.join(t, n) for n in ("work", "ro", "rw"))
        for d in (work, ro, rw):
            os.makedirs(d)
        open(os.path.join(ro, "seen"), "w").close()
        r = HostRoot("test", work, True, "trixie", [(ro, True), (rw, False)])
        os.environ["LANYUE_WINE_STATE"] = "/var/lanyue"  # a setting of this side only
        os.environ["LANYUE_GUEST_CACHE"] = os.path.join(t, "cache")  # where kept prefixes go
        for id_, check in ROWS:
            code = PROBE.format(check=check.format(repo=REPO, work=work, ro=ro, rw=rw))
            rc = r.run(["-c", code], None, 60)
            if rc != 0:
                failures.append(f"[{id_}] the check ended with {rc}")
        if not os.path.isfile(os.path.join(work, "root-tmp", "left")):
            failures.append("[/tmp is the work folder's] nothing written to /tmp arrived there")
        try:
            pid = int(open(os.path.join(work, "root-tmp", "sleep.pid")).read())
            os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass
    if open("/proc/self/mounts").read() != mounts_before:
        failures.append("[nothing stays mounted] this machine's mounts changed")
    for x in failures:
        print(f"FAIL {x}")
    print(f"{len(ROWS) + 1} root route checks: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
