# The emulated Debian guest that runs the Wine workbench where the host
# kernel runs no 32-bit code: its image, built once from tests/e2e/guest/ and
# cached outside the clone under a hash of that recipe; booting it in the
# background; running commands in it through a shared control folder; and
# stopping it. Only processes this module started are ever ended, by pid.
import fcntl
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECIPE = os.path.join(REPO, "tests", "e2e", "guest")
# What goes into the image; the boot line does not, so it is not hashed.
IMAGE_RECIPE = ("packages", "init", "build-image")
IMAGE_FILES = ("vmlinuz", "initrd.img", "disk.img")
# Free disk the image needs: its root tree and the image side by side while
# building (2.4 GB each), and the snapshot overlay while running.
ROOM_GB = 8


class GuestError(Exception):
    """The guest could not be built, booted or reached."""


def cache_root():
    if os.environ.get("LANYUE_GUEST_CACHE"):
        return os.path.abspath(os.environ["LANYUE_GUEST_CACHE"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "lanyue-repair")


def recipe_hash():
    h = hashlib.sha256()
    for name in IMAGE_RECIPE:
        h.update(name.encode() + b"\0" + open(os.path.join(RECIPE, name), "rb").read() + b"\0")
    return h.hexdigest()[:16]


def image_dir():
    return os.path.join(cache_root(), f"guest-{recipe_hash()}")


def image_ready():
    return all(os.path.isfile(os.path.join(image_dir(), f)) for f in IMAGE_FILES)


def free_gb(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return shutil.disk_usage(path).free / 2**30


def lacks_room():
    """Why the image cannot be built here, or None."""
    if image_ready():
        return None
    free = free_gb(cache_root())
    if free < ROOM_GB:
        return f"{free:.1f} GB free under {cache_root()}, the guest image needs {ROOM_GB} GB"
    return None


def build_image(log=print, lock_wait=1800):
    """Builds the image unless this recipe's is cached. The build keeps the cache's
    lock for as long as any of its processes lives, so a build orphaned by a killed
    run finishes (or dies) before another starts, and is then reused or cleared."""
    final = image_dir()
    os.makedirs(cache_root(), exist_ok=True)
    with open(os.path.join(cache_root(), "build.lock"), "w") as lock:
        deadline = time.monotonic() + lock_wait
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise GuestError(f"another guest image build held {cache_root()} for {lock_wait}s")
                time.sleep(1)
        if image_ready():
            return final
        log(f"building the guest image {final} (first use of this recipe, a few minutes) ...")
        t0 = time.monotonic()
        build_log = os.path.join(cache_root(), "build.log")
        with open(build_log, "wb") as out:
            p = subprocess.Popen([os.path.join(RECIPE, "build-image"), final], stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                                 pass_fds=(lock.fileno(),))
            try:
                p.wait()
            except BaseException:
                os.killpg(p.pid, signal.SIGKILL)  # mmdebstrap and all it started
                p.wait()
                raise
        if p.returncode != 0 or not image_ready():
            tail = open(build_log, "rb").read()[-1500:].decode("utf-8", "replace")
            raise GuestError(f"building the guest image failed ({p.returncode}); {build_log}:\n{tail}")
        log(f"guest image built in {time.monotonic() - t0:.0f}s "
            f"({sum(os.path.getsize(os.path.join(final, f)) for f in IMAGE_FILES) / 2**30:.1f} GB)")
        _prune_unused(final)
        return final


def _prune_unused(keep, days=14):
    """Images of other recipes that no run has booted for `days` go (2-3 GB each)."""
    root = os.path.dirname(keep)
    for name in os.listdir(root):
        path = os.path.join(root, name)
        if not name.startswith("guest-") or name.endswith(".partial") or path == keep \
                or not os.path.isdir(path):
            continue
        used = os.path.join(path, "last-used")
        last = os.path.getmtime(used if os.path.exists(used) else path)
        if time.time() - last > days * 86400:
            shutil.rmtree(path, ignore_errors=True)


def _is_ours(pid, state_dir):
    try:
        cmd = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")
    except OSError:
        return False
    return os.path.basename(cmd[0]).startswith(b"qemu-system") and state_dir.encode() in b" ".join(cmd)


class Guest:
    """One guest, driven through STATE_DIR: its control folder, pid file and console log."""

    def __init__(self, state_dir):
        self.dir = os.path.abspath(state_dir)
        self.ctl = os.path.join(self.dir, "ctl")
        self.pidfile = os.path.join(self.dir, "qemu.pid")

    def pid(self):
        try:
            pid = int(open(self.pidfile).read())
        except (OSError, ValueError):
            return None
        return pid if _is_ours(pid, self.dir) else None

    def console_tail(self, n=1500):
        try:
            return open(os.path.join(self.dir, "console.log"), "rb").read()[-n:].decode("utf-8", "replace")
        except OSError:
            return "(no console log)"

    def boot(self, shares, timeout, log=print):
        """Starts the guest in the background, sharing each (tag, host path, read-only)
        at its host path, and returns once it takes jobs. It outlives this process:
        stop() ends it."""
        image = build_image(log)
        open(os.path.join(image, "last-used"), "w").close()
        self.stop()
        shutil.rmtree(self.ctl, ignore_errors=True)
        for sub in ("jobs", "done"):
            os.makedirs(os.path.join(self.ctl, sub))
        specs = [f"{tag}={path}{':ro' if ro else ''}" for tag, path, ro in shares]
        t0 = time.monotonic()
        with open(os.path.join(self.dir, "qemu.log"), "wb") as out:
            p = subprocess.Popen([os.path.join(RECIPE, "boot"), image, self.dir, *specs],
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True)
        with open(self.pidfile, "w") as f:
            f.write(f"{p.pid}\n")
        ready = os.path.join(self.ctl, "ready")
        while not os.path.exists(ready):
            failed = os.path.join(self.ctl, "failed")
            if p.poll() is not None or os.path.exists(failed) or time.monotonic() - t0 > timeout:
                why = open(failed).read().strip() if os.path.exists(failed) else \
                    f"exit code {p.returncode}" if p.returncode is not None else f"not ready after {timeout}s"
                qemu = open(os.path.join(self.dir, "qemu.log"), "rb").read()[-800:].decode("utf-8", "replace")
                self.stop()
                raise GuestError(f"the guest did not come up ({why}).\nqemu: {qemu}\n"
                                 f"console:\n{self.console_tail()}")
            time.sleep(0.2)
        log(f"guest up in {time.monotonic() - t0:.1f}s (pid {p.pid})")

    def run(self, script, timeout):
        """Runs a bash script in the guest; streams its output (stdout and stderr
        together) to this process's stdout as it comes; returns its exit code."""
        if self.pid() is None:
            raise GuestError("no guest is running: run the suite's prepare step first")
        job_id = f"{time.time_ns()}-{os.getpid()}"
        jobs, done = os.path.join(self.ctl, "jobs"), os.path.join(self.ctl, "done")
        with open(os.path.join(jobs, job_id + ".tmp"), "w") as f:
            f.write(script)
        os.rename(os.path.join(jobs, job_id + ".tmp"), os.path.join(jobs, job_id + ".sh"))
        output, rc_file = os.path.join(done, job_id + ".out"), os.path.join(done, job_id + ".rc")
        sent = 0
        deadline = time.monotonic() + timeout
        try:
            while True:
                finished = os.path.exists(rc_file)
                if os.path.exists(output):
                    with open(output, "rb") as f:
                        f.seek(sent)
                        chunk = f.read()
                    sys.stdout.buffer.write(chunk)
                    sys.stdout.buffer.flush()
                    sent += len(chunk)
                if finished:
                    return int(open(rc_file).read())
                if self.pid() is None:
                    raise GuestError(f"the guest stopped during the job.\nconsole:\n{self.console_tail()}")
                if time.monotonic() > deadline:
                    raise GuestError(f"job did not finish within {timeout}s")
                time.sleep(0.2)
        except BaseException:
            # Whatever ends the wait here (a timeout, ctest's signal), the guest ends the job too.
            open(os.path.join(jobs, job_id + ".cancel"), "w").close()
            raise
        finally:
            for f in (output, rc_file):
                if os.path.exists(f) and os.path.exists(rc_file):
                    os.unlink(f)

    def stop(self, grace=60):
        """Asks the guest to power off; ends its qemu by pid if it does not."""
        pid = self.pid()
        if pid is not None:
            open(os.path.join(self.ctl, "poweroff"), "w").close()
            deadline = time.monotonic() + grace
            while _is_ours(pid, self.dir) and time.monotonic() < deadline:
                time.sleep(0.2)
            if _is_ours(pid, self.dir):
                os.killpg(pid, signal.SIGKILL)
        if os.path.exists(self.pidfile):
            os.unlink(self.pidfile)
