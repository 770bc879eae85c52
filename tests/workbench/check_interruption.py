# A generation's run killed mid-case (SIGKILL, as ctest's Ctrl-C or its timeout
# leaves it: no clean-up runs) leaves nothing within 5 s, grandchildren that
# left its session included: no process, nothing mounted, no overlay of a
# guest's disk. One row per route, each on the route it names whatever this
# machine's kernel (stand_in_run.py). Run as root in a private mount namespace.
import os
import signal
import subprocess
import sys
import tempfile
import time

import stand_in_run as sir
from check_routes import stand_in_root
from winelab import cache

ROWS = [("native", "bookworm", "yes"), ("root", "trixie", "yes"), ("guest", "bookworm", "no: stand-in")]


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


def row(tmp, name, release, ia32):
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
        return [f"the run never reached its case: {p.communicate()[0][-1500:]}"]
    marker = f"lanyue-left-{os.stat(os.path.join(workdir, 'run')).st_ino}"
    while not left(marker) and time.monotonic() < deadline:  # it says it hangs just before it does
        time.sleep(0.05)
    if not left(marker):
        return ["the stand-in left nothing running: the row proves nothing"]
    os.kill(p.pid, signal.SIGKILL)  # it alone: what it started must go with it
    p.wait()
    killed = time.monotonic()
    while time.monotonic() - killed < 5 and (left(marker) or open("/proc/self/mounts").read() != mounts):
        time.sleep(0.05)
    why = [f"still running 5 s later: pids {left(marker)}"] if left(marker) else []
    if open("/proc/self/mounts").read() != mounts:
        why.append("something stays mounted here")
    if set(os.listdir(cache.overlay_dir())) - {cache.MARK}:
        why.append(f"overlays left: {os.listdir(cache.overlay_dir())}")
    for pid in left(marker):
        os.kill(int(pid), signal.SIGKILL)
    return why


def main():
    if os.geteuid() != 0:
        print("needs root, to mount")
        return 77
    failed = 0
    for name, *rest in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-kill-") as tmp:
            try:
                why = row(tmp, name, *rest)
            finally:
                for point in cache.mounts_under(tmp):
                    subprocess.run(["umount", "--lazy", point])
        failed += bool(why)
        print(f"{'FAIL' if why else 'PASS'} [{name}, killed mid-case] {'; '.join(why) or 'nothing left within 5 s'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
