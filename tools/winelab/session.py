# One display, one Wine server and the case agent per prefix, kept from the
# prefix's prepare step to the run's end: a fresh server starts Wine's own
# services with its first program, which under emulation cost most of a case.
# They are plain processes of the run, each in a group of its own so that they
# outlive the job that starts them; they end with the run. What a later job needs
# of them is kept in the run's own folder, which goes with the run too. A session
# is up only when the server holding the prefix's lock is the one it started.
import fcntl
import hashlib
import itertools
import json
import os
import select
import struct
import subprocess
import time

from . import prefix as wine
from .common import HarnessError, scaled, write_aside
from .display import Display
from .lifetime import alive, end, identity
from .runner import RUN_FOLDER


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

    def __init__(self, prefix, agent=None):
        self.prefix = prefix
        self.agent = agent  # argv of the case agent, kept running in the session, or None
        key = hashlib.sha256(prefix.path.encode()).hexdigest()[:12]
        self.folder = os.path.join(RUN_FOLDER, f"session-{prefix.arch}-{key}")
        self.record = os.path.join(self.folder, "session.json")
        self.requests, self.answers = os.path.join(self.folder, "agent.in"), os.path.join(self.folder, "agent.out")

    def helpers(self):
        """{name: pid} of the session's helpers still running, and its display."""
        try:
            record = json.load(open(self.record))
        except (OSError, ValueError):
            return {}, None
        return {n: int(who.split()[0]) for n, who in record["helpers"].items() if alive(who)}, record["display"]

    def display(self):
        """The display of this prefix's running session, or None."""
        running, display = self.helpers()
        wanted = {"xvfb", "wineserver"} | ({"agent"} if self.agent else set())
        if not wanted <= set(running) or lock_holder(server_lock(self.prefix.path)) != running["wineserver"]:
            return None
        return display

    def ensure(self):
        return self.display() or self.start()

    def start(self, create=None):
        """Ends any session of this prefix, starts a new one: a display, then
        create(display) where the prefix is to be made, its Wine server, the agent."""
        self.end()
        os.makedirs(self.folder)
        helpers, display = {}, None
        try:
            xvfb = Display(detached=True, log=os.path.join(self.folder, "xvfb.log"))
            helpers["xvfb"], display = xvfb.proc.pid, xvfb.name
            if create:
                create(display)
            helpers["wineserver"] = self.serve(display)
            if self.agent:
                for fifo in (self.requests, self.answers):
                    os.mkfifo(fifo, 0o600)
                # Opened both ways, a FIFO never reads as ended: requests come from job after job.
                ends = [os.open(fifo, os.O_RDWR) for fifo in (self.requests, self.answers)]
                with open(os.path.join(self.folder, "agent.log"), "ab") as log:
                    helpers["agent"] = subprocess.Popen(self.agent, env=self.prefix.env(display), stdin=ends[0],
                                                        stdout=ends[1], stderr=log, start_new_session=True).pid
                for fd in ends:
                    os.close(fd)
        finally:  # also what a start that failed halfway leaves, for end() to find
            write_aside(self.record, json.dumps({"helpers": {n: identity(p) or f"{p} gone" for n, p in helpers.items()},
                                                 "display": display}))
        return display

    def serve(self, display):
        """Starts the prefix's Wine server and returns its pid once it is the one
        holding the prefix's lock; fails naming whoever holds it instead."""
        # -f: the pid we start is the server's; -p: it stays when its last program
        # ends, so the next case finds Wine's services already running.
        server = subprocess.Popen([wine.WINESERVER, "-f", "-p"], env=self.prefix.env(display),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + scaled(20)
        while True:
            lock = server_lock(self.prefix.path)  # Debian's Wine records its folder as it starts
            holder = lock_holder(lock)
            if holder == server.pid:
                return server.pid
            if server.poll() is not None or time.monotonic() > deadline:
                why = f"ended with status {server.returncode}" if server.poll() is not None else \
                    f"did not take {lock} within {scaled(20):.0f}s"
                held = f"; pid {holder} ({command_line(holder)}) holds {lock}" if holder else ""
                end(server.pid)
                raise HarnessError(f"the Wine server started for {self.prefix.path} {why}{held}")
            time.sleep(0.05)

    def ask(self, *words, timeout=60):
        """Sends the agent one request (its words, tab-separated, after a request id)
        and returns (its status, the lines of its answer, as bytes)."""
        ask_id = f"{os.getpid()}.{next(self._asked)}"
        deadline = time.monotonic() + scaled(timeout)
        answers = os.open(self.answers, os.O_RDONLY | os.O_NONBLOCK)
        try:
            requests = os.open(self.requests, os.O_WRONLY | os.O_NONBLOCK)
            try:
                os.write(requests, "\t".join((ask_id, *words)).encode() + b"\n")
            finally:
                os.close(requests)
            data = b""
            while True:  # anything before its "begin" was a request of a job that gave up
                text = data.replace(b"\r", b"")
                at = text.find(f"begin {ask_id}\n".encode())
                got = wine.answers(text[at:]) if at >= 0 else {}
                if ask_id in got:
                    return got[ask_id]
                if "agent" not in self.helpers()[0]:
                    raise HarnessError("the session's case agent ended (its log: "
                                       f"{os.path.join(self.folder, 'agent.log')})")
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
        an earlier session left), then the display and the agent. A server that
        will not end fails the job, after the rest of the session has gone."""
        running, _ = self.helpers()
        held = os.path.exists(self.prefix.path) and lock_holder(server_lock(self.prefix.path))
        try:
            if running or held:
                self.prefix.kill_server()
        finally:
            for pid in running.values():
                end(pid)
            if os.path.isdir(self.folder):
                for name in os.listdir(self.folder):
                    os.unlink(os.path.join(self.folder, name))
                os.rmdir(self.folder)
