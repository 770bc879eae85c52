# What every module of the Wine workbench shares: where the repository is, its
# two kinds of error, the one way it waits for a file lock, and the one way a
# process it starts is tied to the life of the one that started it.
import ctypes
import fcntl
import os
import signal
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class HarnessError(Exception):
    """The workbench could not do its part (not a fault of the tool): a failure."""


class Unavailable(HarnessError):
    """This machine cannot have the route by its nature: its archive has no candidate
    for a package. (No room is a failure: space can be made.)"""


def lock_with_deadline(f, timeout, what):
    """Takes an exclusive flock on the open file f, or raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() > deadline:
                raise HarnessError(f"{what} stayed locked for {timeout:.0f}s")
            time.sleep(0.2)


def die_with(parent):
    """For preexec_fn, or called by a process on itself: killed when `parent` ends,
    also when that happened before the call took effect."""
    def arm():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        if os.getppid() != parent:
            os._exit(1)
    return arm
