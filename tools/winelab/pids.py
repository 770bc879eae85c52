# A process's identity (pid, start time, boot) and the one way the workbench
# ends a process: by pid, only while it is still the one it was, TERM, a grace
# period, then KILL. Only the standard library here: the lease keeper runs this
# file's neighbour as a plain script, without the package.
import ctypes
import os
import signal
import time

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def die_with_parent(sig=signal.SIGKILL):
    """For preexec_fn: the child gets sig when the thread that started it ends."""
    _libc.prctl(PR_SET_PDEATHSIG, sig, 0, 0, 0)


def identity(pid):
    """'pid starttime boot-id', or None when no such process runs (or only its zombie)."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
        boot = open("/proc/sys/kernel/random/boot_id").read().strip()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    if fields[0] in ("Z", "X"):
        return None
    return f"{pid} {fields[19]} {boot}"


def is_alive(recorded):
    """Whether the process an identity string names still runs (not a reused pid)."""
    try:
        return identity(int(recorded.split()[0])) == recorded.strip()
    except (ValueError, IndexError):
        return False


def write_aside(path, text):
    """Writes a file that others read at any moment: aside, under a name of this
    process's own, then renamed into place, so nobody sees it half written."""
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def write_pidfile(path, pid):
    write_aside(path, f"{identity(pid) or pid}\n")


def owned_pid(pidfile):
    """The pid the file names when that very process still runs (not a reused pid), else None."""
    try:
        recorded = open(pidfile).read().strip()
    except OSError:
        return None
    return int(recorded.split()[0]) if is_alive(recorded) else None


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


def end_pid(pid, grace, group=False, first=signal.SIGTERM):
    """`first` (TERM), up to `grace` seconds to go, then KILL: the process, while it
    is still the one it was when called, or the whole process group it leads."""
    who = identity(pid)
    if group:
        alive, send = (lambda: _group_alive(pid)), os.killpg
    else:
        def alive():
            try:
                os.waitpid(pid, os.WNOHANG)  # reap it if it is our child
            except ChildProcessError:
                pass
            return who is not None and identity(pid) == who
        send = os.kill
    for sig, wait in ((first, grace), (signal.SIGKILL, 10)):
        if not alive():
            return
        try:
            send(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while alive() and time.monotonic() < deadline:
            time.sleep(0.1)
