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


def identity(pid):
    """'pid start-time' while that process runs (not its zombie), else None."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return None if fields[0] in ("Z", "X") else f"{pid} {fields[19]}"


def alive(who):
    """Whether the process an identity names still runs (not another with its pid)."""
    return identity(who.split()[0]) == who


def parent_pidfd():
    """A pidfd of this process's parent: the ctest run, or the shell. A parent that
    died before the call would be mistaken for the one that adopted us: checked."""
    parent = os.getppid()
    fd = os.pidfd_open(parent)
    if os.getppid() != parent:
        raise HarnessError("the process that started this step has ended")
    return fd


def die_with(parent):
    """For preexec_fn: the child is killed when `parent` (its starter) ends, also
    when that happened before the call took effect."""
    def arm():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:
            os._exit(1)
    return arm


def end(pid, grace=5.0, was=None):
    """Ends a process: TERM, up to `grace` seconds, then KILL. `was`: its identity
    when recorded; a process that is no longer that one is left alone."""
    try:
        fd = os.pidfd_open(pid)
    except (ProcessLookupError, TypeError):
        return
    try:
        if was is None or identity(pid) == was:
            for sig, wait in ((signal.SIGTERM, scaled(grace)), (signal.SIGKILL, 10)):
                signal.pidfd_send_signal(fd, sig)
                if select.select([fd], [], [], wait)[0]:
                    break
            os.waitpid(pid, os.WNOHANG)
    except (ProcessLookupError, ChildProcessError):
        pass
    finally:
        os.close(fd)


def reaped():
    """(pid, exit code) of each child that has ended, reaped: the first process of a
    namespace reaps every orphan in it."""
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if not pid:
            return
        yield pid, os.waitstatus_to_exitcode(status)


class Procs:
    """The processes one job started, ended when it is done with them. Those it
    leaves die with the job's process group."""

    def __init__(self):
        self.live = []

    def start(self, argv, env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, detached=False):
        """detached: in a group of its own, so it outlives the job, till the run ends."""
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                             start_new_session=detached)
        self.live.append(p)
        return p

    def end_all(self):
        for p in reversed(self.live):
            if p.poll() is None:
                end(p.pid, grace=2)
        self.live = []


def run(argv, env, timeout, check=True, what=None, input=b""):
    """Runs a short command with a hard timeout; returns CompletedProcess (bytes).
    Output goes through files, not pipes: the first Wine command of a session
    starts services.exe and friends, which inherit its descriptors and would
    keep a pipe open for as long as the wineserver lives."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, tempfile.TemporaryFile() as inp:
        inp.write(input)
        inp.seek(0)
        try:
            p = subprocess.Popen(argv, env=env, stdin=inp, stdout=out, stderr=err)
            p.wait(timeout=scaled(timeout))
        except OSError as e:
            raise HarnessError(f"cannot start {argv[0]}: {e}")
        except subprocess.TimeoutExpired:
            end(p.pid, grace=2)
            raise HarnessError(f"{what or argv[0]} did not finish within {scaled(timeout):.0f}s")
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
