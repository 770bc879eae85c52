# Leases of the long-lived helpers: each lives in a folder of this machine's run
# folder, held by the processes that need its helpers (the ctest run or shell
# that ran a step, and the step itself while it runs) and kept by one keeper per
# helper (keeper.py), which ends the helper once no holder lives. Every run
# first sweeps what an earlier one left unheld, whatever folder it ran from.
import hashlib
import os
import signal
import stat
import subprocess
import sys
import time

from .common import HarnessError, scaled
from .keeper import held, helper_files, remove_lease_if_idle
from .pids import end_pid, identity, owned_pid, write_aside

RUN_DIR_ENV = "LANYUE_RUN_DIR"
# The process whose life holds the leases a step takes, when not the step's
# parent: the guest's init in the guest, the ctest run on the host for a step
# run in a root of its own.
HOLDER_ENV = "LANYUE_LEASE_HOLDER"
KEEPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keeper.py")


def run_dir():
    """This user's folder of leases, on a file system that a reboot empties."""
    path = os.environ.get(RUN_DIR_ENV)
    if not path:
        base = "/run" if os.geteuid() == 0 else os.environ.get("XDG_RUNTIME_DIR") or \
            os.path.join(os.path.expanduser("~"), ".cache")
        path = os.path.join(base, "lanyue-repair")
    os.makedirs(path, mode=0o700, exist_ok=True)
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid() or st.st_mode & 0o077:
        raise HarnessError(f"{path} is not a folder of this user's alone (mode {st.st_mode:o}, "
                           f"owner {st.st_uid}): leases are not kept there")
    return path


def holder_pid():
    return int(os.environ.get(HOLDER_ENV) or os.getppid())


class Lease:
    """The lease of one thing's helpers: `key` names it on this machine (a folder path)."""

    def __init__(self, kind, key):
        self.what = f"{kind} {key}"
        self.dir = os.path.join(run_dir(), f"{kind}-{hashlib.sha256(key.encode()).hexdigest()[:12]}")

    def path(self, name):
        return os.path.join(self.dir, name)

    def hold(self):
        """Records the step and what ran it as holders; forgets holders that ended."""
        holders = self.path("holders")
        os.makedirs(holders, exist_ok=True)
        os.makedirs(self.path("helpers"), exist_ok=True)
        with open(self.path("what"), "w") as f:
            f.write(self.what + "\n")
        for name in os.listdir(holders):
            try:
                if identity(int(name)) != open(os.path.join(holders, name)).read().strip():
                    os.unlink(os.path.join(holders, name))
            except (OSError, ValueError):  # another's file being written: not ours to judge
                pass
        for pid in {holder_pid(), os.getpid()}:
            who, path = identity(pid), os.path.join(holders, str(pid))
            try:
                if not who or open(path).read().strip() == who:
                    continue
            except OSError:
                pass
            write_aside(path, who + "\n")  # a keeper reads holders at any moment

    def helper_pid(self, name):
        return owned_pid(helper_files(self.dir, name)["pid"])

    def spawn(self, name, argv, env=None, pass_fds=(), stop_signal=signal.SIGTERM, grace=10,
              log=None, timeout=20, stdio=()):
        """Starts a helper under its keeper; its pid once it runs. stdio: FIFOs for its
        stdin and stdout."""
        self.hold()
        if self.helper_pid(name) is not None:
            raise HarnessError(f"{name} of {self.what} is already running")
        files = helper_files(self.dir, name)
        for f in files.values():
            if os.path.exists(f):
                os.unlink(f)
        keeper = [sys.executable, "-I", "-S", KEEPER, self.dir, name, str(grace), stop_signal.name,
                  log or "", ",".join(map(str, pass_fds)), ",".join(stdio), "--", *argv]
        cp = subprocess.run(keeper, env=env, pass_fds=pass_fds, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=scaled(30))
        if cp.returncode != 0:
            raise HarnessError(f"the keeper of {name} did not start ({cp.returncode}): {cp.stderr.strip()}")
        deadline = time.monotonic() + scaled(timeout)
        while True:
            pid = self.helper_pid(name)
            if pid is not None:
                return pid
            if os.path.exists(files["failed"]):
                raise HarnessError(f"{name} of {self.what}: {open(files['failed']).read().strip()}")
            if time.monotonic() > deadline:
                raise HarnessError(f"{name} of {self.what} did not start within {scaled(timeout):.0f}s")
            time.sleep(0.05)

    def failure(self, name):
        """Why a helper ended by itself, as its keeper saw it, or None."""
        try:
            return open(helper_files(self.dir, name)["failed"]).read().strip()
        except OSError:
            return None

    def end(self, *names, grace=15):
        """Ends the named helpers (default: all) through their keepers, then by pid if
        they still run; the lease goes when no helper of it is left."""
        names = names or [n[:-len(".keeper")] for n in _listdir(self.path("helpers"))
                          if n.endswith(".keeper")]
        for name in names:
            files = helper_files(self.dir, name)
            keeper = owned_pid(files["keeper"])
            if keeper is not None:
                end_pid(keeper, grace=grace)  # on TERM it ends its helper, then itself
            helper = owned_pid(files["pid"])
            if helper is not None:
                end_pid(helper, grace=5)
            for f in files.values():
                if os.path.exists(f):
                    os.unlink(f)
        remove_lease_if_idle(self.dir, held_or_not=True)


def _listdir(path):
    try:
        return sorted(os.listdir(path))
    except OSError:
        return []


def sweep(log=print):
    """Ends the helpers of every lease that no living process holds any more (a run
    killed outright, from whatever folder), and removes those leases."""
    root = run_dir()
    for name in _listdir(root):
        path = os.path.join(root, name)
        try:  # a lease made this moment may not name its holders yet
            settling = time.time() - os.lstat(path).st_mtime < 30
        except OSError:
            continue
        if not os.path.isdir(path) or os.path.islink(path) or settling or held(path):
            continue
        helpers = os.path.join(path, "helpers")
        ended = []
        for f in _listdir(helpers):
            if f.endswith((".keeper", ".pid")):
                pid = owned_pid(os.path.join(helpers, f))
                if pid is not None:
                    end_pid(pid, grace=10)
                    ended.append(f"{f.rsplit('.', 1)[0]} (pid {pid})")
                os.unlink(os.path.join(helpers, f))
        try:
            what = open(os.path.join(path, "what")).read().strip()
        except OSError:
            what = name
        remove_lease_if_idle(path)
        if ended:
            log(f"ended what an earlier run left of {what}: {', '.join(ended)}")
