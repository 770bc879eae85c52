# What every module of the workbench shares: where the repository is, its two
# kinds of error, the wait scale, where machine-local state goes, the one way it
# waits for a file lock, and the one way a file that others read is written.
import fcntl
import os
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Every wait and timeout of the workbench is multiplied by this; a route sets it
# for the jobs it runs (in a guest everything runs under emulation).
SCALE_ENV = "LANYUE_WAIT_SCALE"
# Where machine-local state (prefixes, locks) goes when not in the work folder:
# in a guest the work folder is the host's, shared for the logs.
STATE_ENV = "LANYUE_WINE_STATE"


class HarnessError(Exception):
    """The workbench could not do its part (not a fault of the tool): a failure."""


class Unavailable(HarnessError):
    """This machine cannot have the route by its nature: its archive has no candidate
    for a package. (No room is a failure: space can be made.)"""


def scaled(seconds):
    return seconds * float(os.environ.get(SCALE_ENV) or 1)


def state_dir(default):
    return os.environ.get(STATE_ENV) or default


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


def write_aside(path, text):
    """Writes a file that others read at any moment: aside, under a name of this
    process's own, then renamed into place, so nobody sees it half written."""
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)
