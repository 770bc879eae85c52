# The guest image cache's prune and clean-up, over a cache of the test's own
# holding marked and unmarked folders and a killed build with a bind mount
# left inside; and a kept prefix copy killed halfway, after which the next copy
# is whole. Run in a private mount namespace (see CMakeLists.txt), as root.
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import cache, prefix, route  # noqa: E402

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


STAND_INS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stand-ins")
COPY = ("import os, sys; sys.path.insert(0, sys.argv[1]); from winelab import cache, prefix; "
        "cache.build_aside(sys.argv[3], lambda partial: prefix.copy_prefix(sys.argv[2], partial), "
        "lambda folder: os.path.exists(os.path.join(folder, 'lanyue-ready')))")


def tree(folder):
    return sorted((os.path.relpath(os.path.join(top, f), folder), open(os.path.join(top, f), "rb").read())
                  for top, _, files in os.walk(folder) for f in files)


def kept_copy_killed(tmp):
    """A kept copy killed halfway (a stand-in cp hangs there): nothing half made is
    in place, and the next copy makes a whole one and clears what the first left."""
    source, target = os.path.join(tmp, "made", "prefix32"), os.path.join(tmp, "kept", "prefix32-0123")
    os.makedirs(os.path.join(source, "drive_c"))
    os.makedirs(os.path.dirname(target))
    for i in range(8):
        with open(os.path.join(source, "drive_c", f"file{i}"), "w") as f:
            f.write(f"file {i}\n" * 1000)
    with open(os.path.join(source, "lanyue-ready"), "w") as f:
        f.write("made\n")
    env = dict(os.environ, PATH=STAND_INS + os.pathsep + os.environ["PATH"], LANYUE_STAND_IN_DIR=tmp,
               LANYUE_STAND_IN_HANG="copy")
    p = subprocess.Popen([sys.executable, "-c", COPY, os.path.dirname(os.path.dirname(prefix.__file__)),
                          source, target], env=env, start_new_session=True)
    deadline = time.monotonic() + 30
    while not os.path.exists(os.path.join(tmp, "reached-copy")) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(p.pid, signal.SIGKILL)
    p.wait()
    failures = []
    if os.path.exists(target):
        failures.append("a copy killed halfway is in place")
    if not [n for n in os.listdir(os.path.dirname(target)) if ".partial" in n]:
        failures.append("the killed copy left nothing aside: it was not killed halfway")
    subprocess.run([sys.executable, "-c", COPY, os.path.dirname(os.path.dirname(prefix.__file__)), source, target],
                   check=True)
    if [f for f in tree(target) if f[0] != cache.MARK] != tree(source):
        failures.append("the next copy is not whole")
    left = [n for n in os.listdir(os.path.dirname(target)) if n.endswith(cache.UNFINISHED)]
    if left:
        failures.append(f"left aside after the next copy: {left}")
    return failures


def main():
    if os.geteuid() != 0:
        print("needs root, to bind-mount")
        return 77
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-kept-test-") as tmp:
        failures += [f"[kept copy killed halfway] {x}" for x in kept_copy_killed(tmp)]
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
        os.makedirs(os.path.join(root, ROWS[-1][0], "rootfs", "usr", "bin"))
        open(os.path.join(root, ROWS[-1][0], "rootfs", "usr", "bin", "python3"), "w").close()
        route.RootRoute("test", os.path.join(tmp, "work"), True, "trixie").runner_argv([])  # a run uses it

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
    print(f"{len(ROWS)} folders, prune and clean, and a kept copy killed halfway: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
