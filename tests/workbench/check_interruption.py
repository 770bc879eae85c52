# A generation's run killed mid-case (SIGKILL, as ctest's Ctrl-C or its timeout
# leaves it: no clean-up runs) leaves nothing within 5 s, grandchildren that
# left its session included: no process, nothing mounted, no overlay of a
# guest's disk. One row per route, each on the route it names whatever this
# machine's kernel (stand_in_run.py). Run as root in a private mount namespace.
import os
import signal
import sys
import time

import stand_in_run as sir
from check_routes import stand_in_root
from winelab import cache

ROWS = [("native, killed mid-case", "bookworm", "yes"), ("root, killed mid-case", "trixie", "yes"),
        ("guest, killed mid-case", "bookworm", "no: stand-in")]


def left(marker):
    """Processes named as the stand-ins name what they leave behind."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open(f"/proc/{pid}/cmdline", "rb").read().startswith(marker.encode()):
                found.append(pid)
        except OSError:
            pass
    return found


def row(tmp, release, ia32):
    sir.env(tmp)
    route = sir.kept(release, ia32)
    if route.kind == "root":
        stand_in_root(os.path.join(cache.image_dir(release, "root"), "rootfs"))
    mounts = open("/proc/self/mounts").read()
    workdir = os.path.join(tmp, "work")
    p = sir.start(tmp, release, ia32, workdir, os.path.join(tmp, "x.exe"), cases=["hang"])
    hanging = os.path.join(workdir, "run", "hanging")
    deadline = time.monotonic() + 60
    while not os.path.exists(hanging) and p.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    if not os.path.exists(hanging):
        p.kill()
        return ["the run never reached its case"], p.communicate()[0][-1500:]
    marker = f"lanyue-left-{os.stat(os.path.join(workdir, 'run')).st_ino}"
    while not left(marker) and time.monotonic() < deadline:  # it says it hangs just before it does
        time.sleep(0.05)
    if not left(marker):
        return ["the stand-in left nothing running: the row proves nothing"], ""
    os.kill(p.pid, signal.SIGKILL)  # it alone: what it started must go with it
    p.wait()
    killed = time.monotonic()
    while time.monotonic() - killed < 5 and (left(marker) or open("/proc/self/mounts").read() != mounts):
        time.sleep(0.05)
    why = [f"still running 5 s later: pids {left(marker)}"] if left(marker) else []
    for pid in left(marker):
        os.kill(int(pid), signal.SIGKILL)
    return why + sir.left_here(mounts), ""


if __name__ == "__main__":
    sys.exit(sir.rows(ROWS, row))
