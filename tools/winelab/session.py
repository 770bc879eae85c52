# One display and one Wine server per prefix, kept from the prefix's prepare
# step to the run's end: a fresh server starts Wine's own services with its
# first program, which under emulation cost most of a case. Both live on the
# prefix's lease, so they end with the run however it ends. A session is up only
# when the server holding the prefix's lock is the one it started. It may keep
# a resident program too, asked by request line through FIFOs: a Wine process
# started once instead of for every request.
import fcntl
import itertools
import os
import select
import signal
import struct
import time

from . import prefix as wine
from .common import HarnessError, scaled
from .display import display_on_lease
from .lease import Lease


def server_lock(prefix_path):
    """The file whose byte 0 the Wine server serving a prefix holds write-locked:
    in /tmp/.wine-UID, or where Debian's Wine records in the prefix."""
    st = os.stat(prefix_path)
    try:
        base = os.path.join("/tmp", open(os.path.join(prefix_path, "wineserver")).read().strip())
    except OSError:
        base = f"/tmp/.wine-{os.getuid()}"
    return os.path.join(base, f"server-{st.st_dev:x}-{st.st_ino:x}", "lock")


def lock_holder(path):
    """The pid holding Wine's lock on byte 0 of path, or None."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return None
    try:
        query = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 1, 0)
        l_type, _, _, _, pid = struct.unpack("hhqqi4x", fcntl.fcntl(fd, fcntl.F_GETLK, query))
    finally:
        os.close(fd)
    return None if l_type == fcntl.F_UNLCK else pid


def command_line(pid):
    try:
        return open(f"/proc/{pid}/cmdline", "rb").read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "gone"


class Session:
    _asked = itertools.count()

    def __init__(self, prefix, resident=None):
        self.prefix = prefix
        self.resident = resident  # argv of a program kept running in the session, or None
        self.lease = Lease(f"session-{prefix.arch}", prefix.path)
        self.display_file = self.lease.path("display")
        self.requests, self.answers = self.lease.path("resident.in"), self.lease.path("resident.out")

    def display(self):
        """The display of this prefix's running session, or None."""
        server = self.lease.helper_pid("wineserver")
        if self.lease.helper_pid("xvfb") is None or server is None:
            return None
        if self.resident and self.lease.helper_pid("resident") is None:
            return None
        if lock_holder(server_lock(self.prefix.path)) != server:
            return None
        try:
            return open(self.display_file).read().strip() or None
        except OSError:
            return None

    def ensure(self):
        self.lease.hold()
        return self.display() or self.start()

    def start(self):
        """Ends any session of this prefix, starts a new one; returns its display."""
        self.end()
        try:
            display = display_on_lease(self.lease)
            self.serve(display)
            if self.resident:
                for fifo in (self.requests, self.answers):
                    os.mkfifo(fifo, 0o600)
                self.lease.spawn("resident", self.resident, env=self.prefix.env(display),
                                 stdio=(self.requests, self.answers), log=self.lease.path("resident.log"))
        except BaseException:
            self.lease.end()
            raise
        with open(self.display_file, "w") as f:
            f.write(display + "\n")
        return display

    def serve(self, display):
        """Starts the prefix's Wine server on the lease and returns once it is the one
        holding the prefix's lock; fails naming whoever holds it instead."""
        # -f: the pid we start is the server's; -p: it stays when its last program
        # ends, so the next case finds Wine's services already running.
        def ended(why):
            lock = server_lock(self.prefix.path)
            holder = lock_holder(lock)
            held = f"; pid {holder} ({command_line(holder)}) holds {lock}" if holder else ""
            return HarnessError(f"the Wine server started for {self.prefix.path} ended ({why}){held}")

        try:
            server = self.lease.spawn("wineserver", [wine.WINESERVER, "-f", "-p"], env=self.prefix.env(display),
                                      stop_signal=signal.SIGINT, grace=scaled(10))
        except HarnessError as e:
            raise ended(e)
        deadline = time.monotonic() + scaled(20)
        while True:
            lock = server_lock(self.prefix.path)  # Debian's Wine records its folder as it starts
            if lock_holder(lock) == server:
                return
            if self.lease.helper_pid("wineserver") != server:
                raise ended(self.lease.failure("wineserver") or "no status")
            if time.monotonic() > deadline:
                raise HarnessError(f"the Wine server started for {self.prefix.path} (pid {server}) did "
                                   f"not take {lock} within {scaled(20):.0f}s")
            time.sleep(0.05)

    def ask(self, *words, timeout=60):
        """Sends the resident program one request (its words, tab-separated, after a
        request id) and returns (its status, the lines of its answer, as bytes)."""
        ask_id = f"{os.getpid()}.{next(self._asked)}"
        request = "\t".join((ask_id, *words)).encode() + b"\n"
        begin, end = f"begin {ask_id}".encode(), f"end {ask_id} ".encode()
        deadline = time.monotonic() + scaled(timeout)
        answers = os.open(self.answers, os.O_RDONLY | os.O_NONBLOCK)
        try:
            requests = os.open(self.requests, os.O_WRONLY | os.O_NONBLOCK)
            try:
                os.write(requests, request)
            finally:
                os.close(requests)
            data, lines = b"", None
            while True:
                *complete, data = data.split(b"\n")
                for line in (ln.rstrip(b"\r") for ln in complete):
                    if line == begin:
                        lines = []  # anything before was a request of a step that gave up
                    elif lines is not None and line.startswith(end):
                        return int(line[len(end):]), lines
                    elif lines is not None:
                        lines.append(line)
                if self.lease.helper_pid("resident") is None:
                    raise HarnessError(f"the session's resident program ended "
                                       f"({self.lease.failure('resident') or 'no status'})")
                if time.monotonic() > deadline:
                    raise HarnessError(f"no answer to {words[0]} within {scaled(timeout):.0f}s")
                select.select([answers], [], [], 0.5)
                try:
                    data += os.read(answers, 65536)
                except BlockingIOError:
                    pass
        finally:
            os.close(answers)

    def end(self):
        """Ends the server (and with it every program of the prefix; also a server
        an older run left), then the display. A server that will not end fails
        the step, after the display and the lease are gone too."""
        try:
            self.prefix.kill_server()
        finally:
            self.lease.end()
