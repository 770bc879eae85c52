# One emulated guest, driven through a state folder of the host: booted in the
# background from the cached image on a lease (its qemu ends with the run,
# however the run ends), commands run in it through a shared control folder with
# their output streamed back, and stopped. The guest beats a heartbeat into the
# control folder, and ends a job whose host side stopped renewing it.
import os
import shutil
import sys
import time

from . import cache
from .common import HarnessError
from .lease import Lease

BOOT = os.path.join(cache.RECIPE, "boot")
BOOT_TIMEOUT_S = 300
SILENT_S = 40     # a guest silent for this long is taken as stopped
RENEW_S = 2       # how often the host side renews the job it waits for


class Guest:
    """One guest, driven through STATE_DIR: its control folder and console log."""

    def __init__(self, state_dir):
        self.dir = os.path.abspath(state_dir)
        self.ctl = os.path.join(self.dir, "ctl")
        self.lease = Lease("guest", self.dir)

    def pid(self):
        return self.lease.helper_pid("qemu")

    def console_tail(self, n=1500):
        try:
            return open(os.path.join(self.dir, "console.log"), "rb").read()[-n:].decode("utf-8", "replace")
        except OSError:
            return "(no console log)"

    def qemu_tail(self, n=800):
        try:
            return open(os.path.join(self.dir, "qemu.log"), "rb").read()[-n:].decode("utf-8", "replace")
        except OSError:
            return "(no qemu log)"

    def boot(self, shares, release, state_disk=None, keep=False, cpus=None):
        """Starts a guest of that Debian release in the background, sharing each (tag,
        host path, read-only) at its host path, with state_disk (if any) at
        /var/lanyue, its changes kept only when `keep`; returns once it takes jobs.
        It lives as long as its lease is held: stop() ends it sooner."""
        image = cache.build_image(release)
        cache.mark_used(image)
        self.stop()
        shutil.rmtree(self.ctl, ignore_errors=True)
        for sub in ("jobs", "done"):
            os.makedirs(os.path.join(self.ctl, sub))
        specs = [f"{tag}={path}{':ro' if ro else ''}" for tag, path, ro in shares]
        t0 = time.monotonic()
        # qemu writes the snapshot's overlay to TMPDIR: into the cache, whose room was checked.
        env = dict(os.environ, TMPDIR=cache.overlay_dir())
        if cpus:
            env["LANYUE_GUEST_CPUS"] = str(cpus)
        log = os.path.join(self.dir, "qemu.log")
        open(log, "w").close()
        disk = ["--state-disk", state_disk + ("" if keep else ":snapshot")] if state_disk else []
        pid = self.lease.spawn("qemu", [BOOT, image, self.dir, *disk, *specs], env=env, log=log)
        ready = os.path.join(self.ctl, "ready")
        while not os.path.exists(ready):
            failed = os.path.join(self.ctl, "failed")
            if self.pid() is None or os.path.exists(failed) or time.monotonic() - t0 > BOOT_TIMEOUT_S:
                why = open(failed).read().strip() if os.path.exists(failed) else \
                    self.lease.failure("qemu") or f"not ready after {BOOT_TIMEOUT_S}s"
                self.stop(grace=0)
                raise HarnessError(f"the guest did not come up ({why}).\nqemu: {self.qemu_tail()}\n"
                                   f"console:\n{self.console_tail()}")
            time.sleep(0.2)
        print(f"guest up in {time.monotonic() - t0:.1f}s (pid {pid})")

    def heartbeat(self):
        try:
            return open(os.path.join(self.ctl, "heartbeat")).read()
        except OSError:
            return None

    def run(self, script, timeout):
        """Runs a bash script in the guest; streams its output (stdout and stderr
        together) to this process's stdout as it comes; returns its exit code."""
        if self.pid() is None:
            raise HarnessError("no guest is running: run `tests/e2e/run-e2e start` first")
        self.lease.hold()
        job_id = f"{time.time_ns()}-{os.getpid()}"
        jobs, done = os.path.join(self.ctl, "jobs"), os.path.join(self.ctl, "done")
        alive = os.path.join(jobs, job_id + ".alive")
        open(alive, "w").close()
        with open(os.path.join(jobs, job_id + ".tmp"), "w") as f:
            f.write(script)
        os.rename(os.path.join(jobs, job_id + ".tmp"), os.path.join(jobs, job_id + ".sh"))
        output, rc_file = os.path.join(done, job_id + ".out"), os.path.join(done, job_id + ".rc")
        sent = 0
        now = time.monotonic()
        deadline, renewed = now + timeout, now
        beat, beat_at = self.heartbeat(), now
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
                now = time.monotonic()
                if self.pid() is None:
                    raise HarnessError(f"the guest stopped during the job.\nconsole:\n{self.console_tail()}")
                if self.heartbeat() != beat:
                    beat, beat_at = self.heartbeat(), now
                elif now - beat_at > SILENT_S:
                    raise HarnessError(f"the guest stopped answering (no heartbeat for {SILENT_S}s).\n"
                                       f"qemu: {self.qemu_tail()}\nconsole:\n{self.console_tail()}")
                if now > deadline:
                    raise HarnessError(f"job did not finish within {timeout}s")
                if now - renewed > RENEW_S:
                    os.utime(alive)  # the guest ends a job nobody renews
                    renewed = now
                time.sleep(0.05)
        except BaseException:
            # Whatever ends the wait here (a timeout, ctest's signal), the guest ends the job too.
            open(os.path.join(jobs, job_id + ".cancel"), "w").close()
            raise
        finally:
            if os.path.exists(rc_file):
                for f in (output, rc_file, alive):
                    if os.path.exists(f):
                        os.unlink(f)

    def stop(self, grace=60):
        """Asks the guest to power off; ends its qemu by pid if it does not."""
        if self.pid() is not None and grace:
            open(os.path.join(self.ctl, "poweroff"), "w").close()
            deadline = time.monotonic() + grace
            while self.pid() is not None and time.monotonic() < deadline:
                time.sleep(0.2)
        self.lease.end()
