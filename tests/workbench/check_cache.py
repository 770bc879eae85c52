# The guest image cache's prune and clean-up, over a cache of the test's own
# holding marked and unmarked folders and a killed build with a bind mount
# left inside. Run in a private mount namespace (see CMakeLists.txt), as root.
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import cache, route  # noqa: E402

DAY = 86400
ROOT = None  # the trixie root's folder name, once the cache is the test's
# name, carries the marker, days unused, a bind mount inside, left after prune, left after clean
ROWS = [
    ("guest-old", True, 15, False, False, False),
    ("guest-new", True, 0, False, True, False),
    ("guest-x.partial", True, 0, True, False, False),
    ("guest-x.tmp", True, 0, False, False, False),  # a killed build's scratch
    ("guest-data", False, 15, False, True, True),
    ("notes.partial", False, 15, False, True, True),
    (ROOT, True, 15, False, True, False),  # built long ago, used by a run just now
]


def main():
    if os.geteuid() != 0:
        print("needs root, to bind-mount")
        return 77
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-cache-test-") as tmp:
        os.environ["LANYUE_GUEST_CACHE"] = tmp
        root = cache.cache_root()
        ROWS[-1] = (os.path.basename(cache.image_dir("trixie", "root")),) + ROWS[-1][1:]
        source = os.path.join(tmp, "host-folder")  # stands for the host's /dev/shm
        os.makedirs(source)
        with open(os.path.join(source, "keep"), "w") as f:
            f.write("still here\n")
        for name, marked, days, bind, _, _ in ROWS:
            path = os.path.join(root, name)
            os.makedirs(os.path.join(path, "rootfs", "dev", "shm"))
            if marked:
                cache.make_marked(path)
            if bind:
                subprocess.run(["mount", "--bind", source, os.path.join(path, "rootfs", "dev", "shm")],
                               check=True)
            open(os.path.join(path, "last-used"), "w").close()
            for p in (os.path.join(path, "last-used"), path):
                os.utime(p, (time.time() - days * DAY,) * 2)
        if not cache.mounts_under(root):
            return print("FAIL the bind mount was not made") or 1
        os.makedirs(os.path.join(root, ROWS[-1][0], "rootfs", "sbin"))
        open(os.path.join(root, ROWS[-1][0], "rootfs", "sbin", "lanyue-init"), "w").close()
        route.RootRoute("test", os.path.join(tmp, "work"), True, "trixie").root()

        def check(step, column):
            for row in ROWS:
                left = os.path.isdir(os.path.join(root, row[0]))
                if left != row[column]:
                    failures.append(f"after {step}: {row[0]} {'left' if left else 'removed'}, "
                                    f"expected {'left' if row[column] else 'removed'}")
            if sorted(os.listdir(source)) != ["keep"] or open(os.path.join(source, "keep")).read() != "still here\n":
                failures.append(f"after {step}: the bind-mounted source changed: {os.listdir(source)}")
            if cache.mounts_under(root):
                failures.append(f"after {step}: still mounted: {cache.mounts_under(root)}")

        for step, column, act in (("prune", 4, lambda: cache.prune(keep=[os.path.join(root, "guest-now")])),
                                  ("clean", 5, lambda: cache.clean(log=lambda _: None))):
            try:
                act()
            except Exception as e:  # noqa: BLE001 - reported as the step's failure
                failures.append(f"{step} raised {e!r}")
            check(step, column)
        for point in cache.mounts_under(tmp):  # never leave a mount behind the test
            subprocess.run(["umount", "--lazy", point])
    for x in failures:
        print(f"FAIL {x}")
    print(f"{len(ROWS)} folders, prune and clean: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
