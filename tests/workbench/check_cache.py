# The workbench's cache: its prune, over a cache of the test's own holding
# marked and unmarked folders and a killed build with a bind mount left
# inside; and the kept prefixes' making killed halfway, after which the next
# making is whole. Run in a private mount namespace (see CMakeLists.txt), as root.
import glob
import os
import subprocess
import sys
import time

import stand_in_run as sir
from winelab import cache, routes, run
from winelab.common import HarnessError

DAY = 86400
# name, carries the mark, days unused, a bind mount inside, left after the prune
ROWS = [
    ("guest-old", True, 15, False, False),
    ("guest-new", True, 0, False, True),
    ("guest-x.partial", True, 0, True, False),  # a killed build, something still mounted in it
    ("guest-x.tmp", True, 0, False, False),  # a killed build's scratch
    ("guest-data", False, 15, False, True),
    ("notes.partial", False, 15, False, True),
    (None, True, 15, False, True),  # the trixie root: built long ago, used by a run just now
]


def make_prefixes():
    """The native route's prefixes made, as its first run makes them (stand_in_run.py)."""
    sir.use_stand_ins("yes")
    route = routes.choose("bookworm")
    route.prepare(run.fresh(os.path.join(os.environ["LANYUE_STAND_IN_DIR"], "make")))
    return route.prefixes


def kept_prefixes_killed(tmp):
    """The kept prefixes' making killed halfway (the stand-in in-wine hangs there): nothing
    half made is in place, and the next making makes them whole and clears what the first left."""
    env = sir.env(tmp)
    p = subprocess.Popen([sys.executable, __file__, "--make"], env=dict(env, LANYUE_STAND_IN_HANG_MAKE="1"))
    half = os.path.join(cache.cache_root(), "*.partial", "made-half")
    deadline = time.monotonic() + 60
    while not glob.glob(half) and time.monotonic() < deadline:
        time.sleep(0.05)
    failures = [] if glob.glob(half) else ["the making never got halfway"]
    p.kill()  # it alone, as ctest's end of it would
    p.wait()
    if [n for n in os.listdir(cache.cache_root()) if n.startswith("prefixes-") and "." not in n]:
        failures.append("prefixes killed halfway are in place")
    final = subprocess.run([sys.executable, __file__, "--make"], env=env, capture_output=True, text=True)
    made = final.stdout.strip().splitlines()[-1] if final.returncode == 0 else ""
    if not made or not all(os.path.exists(os.path.join(made, f)) for f in ("made", "prefix64/lanyue-ready")):
        failures.append(f"the next making is not whole: {final.stdout[-500:]} {final.stderr[-500:]}")
    left = [n for n in os.listdir(cache.cache_root()) if n.endswith(cache.UNFINISHED)]
    if left:
        failures.append(f"left aside after the next making: {left}")
    return failures


def pruned(tmp):
    """The prune over a cache of the test's own: what it removes and what it leaves, and
    never what is mounted inside a folder it removes."""
    os.environ["LANYUE_GUEST_CACHE"] = tmp
    root, source = cache.cache_root(), os.path.join(tmp, "host-folder")  # stands for the host's /dev/shm
    os.makedirs(source)
    with open(os.path.join(source, "keep"), "w") as f:
        f.write("still here\n")
    rows = [(name or os.path.basename(cache.image_dir("trixie", "root")), *rest) for name, *rest in ROWS]
    for name, marked, days, bind, _ in rows:
        path = os.path.join(root, name)
        os.makedirs(os.path.join(path, "rootfs", "dev", "shm"))
        if marked:
            cache.make_marked(path)
        if bind:
            subprocess.run(["mount", "--bind", source, os.path.join(path, "rootfs", "dev", "shm")], check=True)
        open(os.path.join(path, "last-used"), "w").close()
        for p in (os.path.join(path, "last-used"), path):
            os.utime(p, (time.time() - days * DAY,) * 2)
    routes.RootRoute("trixie", "a test").argv(tmp, [], None)  # a run uses it
    failures = []
    try:
        cache.prune(keep=[])
    except HarnessError as e:
        failures.append(f"it raised: {e}")
    for name, _, _, _, kept in rows:
        if os.path.isdir(os.path.join(root, name)) != kept:
            failures.append(f"{name} {'removed' if kept else 'left'}, expected {'left' if kept else 'removed'}")
    if open(os.path.join(source, "keep")).read() != "still here\n":
        failures.append("the bind-mounted source changed")
    return failures


CHECKS = [("kept prefixes killed halfway", kept_prefixes_killed), ("the prune", pruned)]


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        print(make_prefixes())
    else:
        sys.exit(sir.rows(CHECKS, lambda tmp, check: (check(tmp), "")))
