# One emulated guest, driven through a state folder of the host: booted in the
# background from the cached image, commands run in it through a shared control
# folder with their output streamed back, and stopped. Its qemu is the only
# process this module ends, by pid, after checking it is still that one.
import os
import shutil
import subprocess
import sys
import time

from . import cache
from .common import HarnessError
from .procs import end_pid, owned_pid, write_pidfile

BOOT_TIMEOUT_S = 300


class Guest:
    """One guest, driven through STATE_DIR: its control folder, pid file and console log."""

    def __init__(self, state_dir):
        self.dir = os.path.abspath(state_dir)
        self.ctl = os.path.join(self.dir, "ctl")
        self.pidfile = os.path.join(self.dir, "qemu.pid")

    def pid(self):
        return owned_pid(self.pidfile)

    def console_tail(self, n=1500):
        try:
            return open(os.path.join(self.dir, "console.log"), "rb").read()[-n:].decode("utf-8", "replace")
        except OSError:
            return "(no console log)"

    def boot(self, shares, release):
        """Starts a guest of that Debian release in the background, sharing each (tag,
        host path, read-only) at its host path, and returns once it takes jobs. It
        outlives this process: stop() ends it."""
        image = cache.build_image(release)
        open(os.path.join(image, "last-used"), "w").close()
        self.stop()
        shutil.rmtree(self.ctl, ignore_errors=True)
        for sub in ("jobs", "done"):
            os.makedirs(os.path.join(self.ctl, sub))
        specs = [f"{tag}={path}{':ro' if ro else ''}" for tag, path, ro in shares]
        t0 = time.monotonic()
        # qemu writes the snapshot's overlay to TMPDIR: into the cache, whose room was checked.
        env = dict(os.environ, TMPDIR=cache.overlay_dir())
        with open(os.path.join(self.dir, "qemu.log"), "wb") as out:
            p = subprocess.Popen([os.path.join(cache.RECIPE, "boot"), image, self.dir, *specs],
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True, env=env)
        write_pidfile(self.pidfile, p.pid)
        ready = os.path.join(self.ctl, "ready")
        while not os.path.exists(ready):
            failed = os.path.join(self.ctl, "failed")
            if p.poll() is not None or os.path.exists(failed) or time.monotonic() - t0 > BOOT_TIMEOUT_S:
                why = open(failed).read().strip() if os.path.exists(failed) else \
                    f"exit code {p.returncode}" if p.returncode is not None else f"not ready after {BOOT_TIMEOUT_S}s"
                qemu = open(os.path.join(self.dir, "qemu.log"), "rb").read()[-800:].decode("utf-8", "replace")
                self.stop()
                raise HarnessError(f"the guest did not come up ({why}).\nqemu: {qemu}\n"
                                   f"console:\n{self.console_tail()}")
            time.sleep(0.2)
        print(f"guest up in {time.monotonic() - t0:.1f}s (pid {p.pid})")

    def run(self, script, timeout):
        """Runs a bash script in the guest; streams its output (stdout and stderr
        together) to this process's stdout as it comes; returns its exit code."""
        if self.pid() is None:
            raise HarnessError("no guest is running: run `tests/e2e/run-e2e start` first")
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
                    raise HarnessError(f"the guest stopped during the job.\nconsole:\n{self.console_tail()}")
                if time.monotonic() > deadline:
                    raise HarnessError(f"job did not finish within {timeout}s")
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
            while self.pid() is not None and time.monotonic() < deadline:
                time.sleep(0.2)
            if self.pid() is not None:
                end_pid(pid, grace=10)
            # Only then: inside the guest this file is the host's, naming a live qemu.
            os.unlink(self.pidfile)
