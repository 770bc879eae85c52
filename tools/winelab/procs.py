# Processes the workbench starts: tracked by pid, ended by pid (TERM, a grace
# period, then KILL), never by name. A pid file records the process's identity
# (pid, start time, boot), and one check decides whether a pid is still ours.
import ctypes
import os
import signal
import subprocess
import tempfile
import time

from .common import HarnessError, scaled

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # PR_SET_PDEATHSIG: a killed runner takes its Xvfb and Wine children along.
    _libc.prctl(1, signal.SIGKILL, 0, 0, 0)


def _identity(pid):
    """'pid starttime boot-id', or None when no such process runs."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
        boot = open("/proc/sys/kernel/random/boot_id").read().strip()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    if fields[0] == "Z":
        return None
    return f"{pid} {fields[19]} {boot}"


def write_pidfile(path, pid):
    with open(path + ".tmp", "w") as f:
        f.write(f"{_identity(pid) or pid}\n")
    os.replace(path + ".tmp", path)


def owned_pid(pidfile):
    """The pid the file names when that very process still runs (not a reused pid), else None."""
    try:
        recorded = open(pidfile).read().strip()
        pid = int(recorded.split()[0])
    except (OSError, ValueError, IndexError):
        return None
    return pid if _identity(pid) == recorded else None


def _group_alive(pgid):
    try:
        os.waitpid(pgid, os.WNOHANG)  # the leader may be our child: not a zombie member
    except ChildProcessError:
        pass
    try:
        os.killpg(pgid, 0)  # a pgid is not reused while any member lives
        return True
    except ProcessLookupError:
        return False


def end_pid(pid, grace, group=False):
    """TERM, up to `grace` seconds to go, then KILL: the process, while it is still
    the one it was when called, or the whole process group it leads."""
    who = _identity(pid)
    if group:
        alive, send = (lambda: _group_alive(pid)), os.killpg
    else:
        alive, send = (lambda: who is not None and _identity(pid) == who), os.kill
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 10)):
        if not alive():
            return
        try:
            send(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while alive() and time.monotonic() < deadline:
            time.sleep(0.1)


class Procs:
    """Processes this run started; ended by pid, never by name."""

    def __init__(self):
        self.live = []

    def start(self, argv, env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(),
              detached=False):
        """detached: outlives this process (in a session of its own); end it by its pid file."""
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                             pass_fds=pass_fds, start_new_session=detached,
                             preexec_fn=None if detached else _die_with_parent)
        self.live.append(p)
        return p

    @staticmethod
    def end(p, grace=2.0):
        if p.poll() is not None:
            return
        try:
            p.terminate()
            p.wait(timeout=scaled(grace))
        except subprocess.TimeoutExpired:
            p.kill()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        except ProcessLookupError:
            pass

    def end_all(self, keep=()):
        for p in reversed(self.live):
            if p not in keep:
                self.end(p)
        self.live = [p for p in self.live if p in keep]


def run(argv, env, timeout, check=True, what=None):
    """Runs a short command with a hard timeout; returns CompletedProcess (bytes).
    Output goes through files, not pipes: the first Wine command of a session
    starts services.exe and friends, which inherit its descriptors and would
    keep a pipe open for as long as the wineserver lives."""
    timeout = scaled(timeout)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                 preexec_fn=_die_with_parent)
        except OSError as e:
            raise HarnessError(f"cannot start {argv[0]}: {e}")
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            Procs.end(p)
            raise HarnessError(f"{what or argv[0]} did not finish within {timeout}s")
        out.seek(0)
        err.seek(0)
        cp = subprocess.CompletedProcess(argv, p.returncode, out.read(), err.read())
    if check and cp.returncode != 0:
        raise HarnessError(f"{what or ' '.join(map(str, argv))} failed ({cp.returncode}): "
                           f"{cp.stderr.decode('utf-8', 'replace')[-600:]}")
    return cp
