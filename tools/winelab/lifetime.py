# How long the workbench's processes live, all in one place. A run's processes
# live in its runner's PID namespace, and the kernel ends every one of them when
# the runner ends; the runner ends when the run's first process does, which a
# pidfd tells. Within a run, a process is ended here, by pidfd: TERM, a grace
# period, then KILL. Short commands run with a hard timeout.
import ctypes
import os
import select
import signal
import subprocess
import tempfile

from .common import HarnessError, scaled

PR_SET_PDEATHSIG = 1


def identity(pid):
    """'pid start-time' while that process runs (not its zombie), else None."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return None if fields[0] in ("Z", "X") else f"{pid} {fields[19]}"


def parent_pidfd():
    """A pidfd of this process's parent: the ctest run, or the shell. A parent that
    died before the call would be mistaken for the one that adopted us: checked."""
    parent = os.getppid()
    fd = os.pidfd_open(parent)
    if os.getppid() != parent:
        os.close(fd)
        raise HarnessError("the process that started this step has ended")
    return fd


def die_with(parent):
    """For preexec_fn: the child is killed when `parent` (its starter) ends, also
    when that happened before the call took effect."""
    def arm():
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)
    return arm


def ended(fd, timeout):
    return bool(select.select([fd], [], [], max(0, timeout))[0])


def _reap(pid):
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def end(pid, grace=5.0, sig=signal.SIGTERM, was=None):
    """Ends a process: `sig`, up to `grace` seconds, then KILL. `was`: its identity
    when recorded; a process that is no longer that one is left alone."""
    try:
        fd = os.pidfd_open(pid)
    except (ProcessLookupError, TypeError):
        return
    try:
        if was is not None and identity(pid) != was:
            return
        for s, wait in ((sig, scaled(grace)), (signal.SIGKILL, 10)):
            try:
                signal.pidfd_send_signal(fd, s)
            except ProcessLookupError:
                break
            if ended(fd, wait):
                break
        _reap(pid)
    finally:
        os.close(fd)


def end_group(pgid, grace=0.0):
    """Ends a whole process group: TERM and up to `grace` seconds, then KILL."""
    for sig in ([signal.SIGTERM] if grace else []) + [signal.SIGKILL]:
        try:
            os.killpg(pgid, sig)
        except ProcessLookupError:
            return
        if sig == signal.SIGTERM:
            try:
                fd = os.pidfd_open(pgid)
                ended(fd, scaled(grace))
                os.close(fd)
            except ProcessLookupError:
                pass
    _reap(pgid)


class Procs:
    """The processes one job started, ended by pid when it is done with them. Those
    it leaves die with the job's process group."""

    def __init__(self):
        self.live = []

    def start(self, argv, env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(),
              detached=False):
        """detached: in a group of its own, so it outlives the job, till the run ends."""
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                             pass_fds=pass_fds, start_new_session=detached)
        self.live.append(p)
        return p

    def end_all(self, keep=()):
        for p in reversed(self.live):
            if p not in keep and p.poll() is None:
                end(p.pid, grace=2)
        self.live = [p for p in self.live if p in keep]


def run(argv, env, timeout, check=True, what=None, input=None):
    """Runs a short command with a hard timeout; returns CompletedProcess (bytes).
    Output goes through files, not pipes: the first Wine command of a session
    starts services.exe and friends, which inherit its descriptors and would
    keep a pipe open for as long as the wineserver lives."""
    timeout = scaled(timeout)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, tempfile.TemporaryFile() as inp:
        inp.write(input or b"")
        inp.seek(0)
        try:
            p = subprocess.Popen(argv, env=env, stdin=inp, stdout=out, stderr=err)
        except OSError as e:
            raise HarnessError(f"cannot start {argv[0]}: {e}")
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end(p.pid, grace=2)
            raise HarnessError(f"{what or argv[0]} did not finish within {timeout:.0f}s")
        out.seek(0)
        err.seek(0)
        cp = subprocess.CompletedProcess(argv, p.returncode, out.read(), err.read())
    if check and cp.returncode != 0:
        # Some tools (Wine's reg among them) write their errors to stdout.
        said = [f"{name}: {text.decode('utf-8', 'replace').strip()[-600:]}"
                for name, text in (("stdout", cp.stdout), ("stderr", cp.stderr)) if text.strip()]
        raise HarnessError(f"{what or ' '.join(map(str, argv))} failed ({cp.returncode}); "
                           + ("; ".join(said) or "it printed nothing"))
    return cp
