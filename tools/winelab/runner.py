# The runner of one generation's run: the first process of a PID namespace of its
# own, from the start step until the finish step, or until the process that ran
# the start step (ctest, or a shell) ends, whichever comes first; the kernel then
# ends every process of the run with it. Each step is a thin client: it sends its
# job (an argv, or a function of the workbench, run in a fork of the runner, which
# has imported it once), its environment and deadline, with its own stdout and
# stderr, and exits with the job's code. A step that goes drops the socket, and
# the runner ends that job's process group at once.
# Usage: runner.py WORKDIR WATCH_FD READY_FD [RELAY_JSON]  (started by route.py)
import hashlib
import importlib
import json
import os
import select
import selectors
import signal
import socket
import sys
import time
import traceback

if __package__:
    from .common import REPO, HarnessError
    from .lifetime import reaped
else:  # run as a script: the package is beside it
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from winelab.common import REPO, HarnessError
    from winelab.lifetime import reaped

RUN_FOLDER = "/run/lanyue"  # a tmpfs of the run's own: what the run keeps goes with it
TERM_GRACE_S = 5  # a job past its deadline gets this long to clean up


def address(workdir):
    """The runner's socket: abstract, so no file of it outlives the run."""
    return b"\0lanyue-runner-" + hashlib.sha256(os.path.realpath(workdir).encode()).hexdigest()[:16].encode()


def peer_is_us(sock):
    """Whether the other end runs as this user: the socket's name is anyone's to use."""
    uid = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)[4:8]
    return int.from_bytes(uid, sys.byteorder) == os.getuid()


def killpg(pgid, sig):
    try:
        os.killpg(pgid, sig)
    except ProcessLookupError:
        pass


def spawn(job, fds):
    """Starts a job in a process group of its own, its stdin empty, its stdout and
    stderr `fds`: an argv run, or a function called in a fork of this process."""
    call = job.get("call")
    if call and call[1] not in sys.modules:  # imported here once, for every later job
        sys.path.insert(0, call[0])
        importlib.import_module(call[1])
    pid = os.fork()
    if pid:
        return pid
    rc = 127
    try:
        os.setsid()
        signal.set_wakeup_fd(-1)
        for sig in (signal.SIGCHLD, signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGPIPE):
            signal.signal(sig, signal.SIG_DFL)
        for target, fd in ((0, os.open(os.devnull, os.O_RDONLY)), (1, fds[0]), (2, fds[1])):
            os.dup2(fd, target)
        os.closerange(3, 65536)
        os.chdir(job.get("cwd") if os.path.isdir(job.get("cwd") or "") else REPO)
        os.environ.update(job["env"])  # over the runner's own: its route's settings
        if not call:
            os.execvp(job["argv"][0], job["argv"])
        try:
            rc = getattr(sys.modules[call[1]], call[2])(job["args"]) or 0
        except SystemExit as e:
            rc = e.code if isinstance(e.code, int) else (print(e.code, file=sys.stderr) or 1)
    except BaseException:
        traceback.print_exc()
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(rc)


class Runner:
    """Serves jobs on its socket until `watch` (a pidfd) ends or it is told to stop."""

    def __init__(self, workdir, watch, relay=None):
        self.sel = selectors.DefaultSelector()
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.listener.bind(address(workdir))
        self.listener.listen(8)
        self.sel.register(self.listener, selectors.EVENT_READ, self.on_accept)
        self.sel.register(watch, selectors.EVENT_READ, self.on_watch)
        woken, self.wake = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(self.wake)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        signal.signal(signal.SIGTERM, lambda *_: None)  # the first process ignores it otherwise, too
        self.sel.register(woken, selectors.EVENT_READ, self.on_child)
        self.jobs = {}  # pid -> [its step's socket, deadline, ended late]
        self.relay = relay  # in front of a guest: every job is handed on to it
        self.stopping = False

    def serve(self):
        while not self.stopping:
            soonest = min([job[1] for job in self.jobs.values()], default=time.monotonic() + 60)
            for key, _ in self.sel.select(max(0.05, soonest - time.monotonic())):
                key.data(key.fileobj)
            for pid, job in self.jobs.items():
                if time.monotonic() > job[1]:  # past its deadline: TERM for its clean-up, then KILL
                    killpg(pid, signal.SIGKILL if job[2] else signal.SIGTERM)
                    job[1], job[2] = time.monotonic() + TERM_GRACE_S, True
        self.shutdown()

    def on_accept(self, listener):
        conn, _ = listener.accept()
        if not peer_is_us(conn):
            return conn.close()
        self.sel.register(conn, selectors.EVENT_READ, self.on_request)

    def on_request(self, conn):
        running = [pid for pid, job in self.jobs.items() if job[0] is conn]
        try:
            data, fds, _, _ = socket.recv_fds(conn, 1 << 20, 2)
        except OSError:
            data, fds = b"", []
        if running or not data:  # the step went: its job goes at once
            self.sel.unregister(conn)
            conn.close()
            return [killpg(pid, signal.SIGKILL) for pid in running]
        request = json.loads(data)
        if request.get("stop") or len(fds) != 2:
            self.stopping = request.get("stop", False)
            return [os.close(fd) for fd in fds]
        job = request["job"]
        if self.relay:
            job = {"call": self.relay[:3], "args": [self.relay[3], json.dumps(job)], "env": job["env"]}
        self.jobs[spawn(job, fds)] = [conn, time.monotonic() + request["deadline"], False]
        for fd in fds:
            os.close(fd)

    def on_child(self, woken):
        try:
            while os.read(woken, 512):
                pass
        except BlockingIOError:
            pass
        for pid, code in reaped():
            conn, _, late = self.jobs.pop(pid, (None, 0, False))
            answer = {"rc": 124, "error": "the job ran past its deadline and was ended"} if late else {"rc": code}
            try:
                conn and conn.send(json.dumps(answer).encode())
            except OSError:
                pass

    def on_watch(self, watch):
        self.stopping = True  # the run is over, however it ended

    def shutdown(self, grace=2):
        """Everything in the namespace gets TERM and a moment to tidy up (a display
        removes its lock, a Wine server its socket); the kernel KILLs the rest. A
        guest whose disk is kept powers off first."""
        if self.relay:
            getattr(sys.modules[self.relay[1]], "power_off")(self.relay[3])
        try:
            os.kill(-1, signal.SIGTERM)
        except ProcessLookupError:
            return  # nobody else is left
        deadline = time.monotonic() + grace
        try:
            while time.monotonic() < deadline:
                if os.waitpid(-1, os.WNOHANG) == (0, 0):
                    time.sleep(0.05)
        except ChildProcessError:
            pass


class Client:
    """A step's side: one job, sent to the runner of a work folder."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.sock.connect(address(workdir))
        except OSError:
            raise HarnessError(f"no runner for {workdir}: run `tests/e2e/run-e2e start` first")
        if not peer_is_us(self.sock):
            raise HarnessError(f"the runner socket of {workdir} is another user's")

    def run(self, job, deadline):
        """Runs the job there with this process's stdout and stderr; its exit code."""
        sys.stdout.flush()
        sys.stderr.flush()
        request = json.dumps({"job": job, "deadline": deadline}).encode()
        socket.send_fds(self.sock, [request], [sys.stdout.fileno(), sys.stderr.fileno()])
        answer = self.sock.recv(1 << 16)
        if not answer:
            raise HarnessError(f"the runner of {self.workdir} ended during the job")
        answer = json.loads(answer)
        if answer.get("error"):
            print(f"ERROR: {answer['error']}", file=sys.stderr)
        return answer["rc"]

    def stop(self, timeout=120):
        """Ends the run; returns once the runner, and so all of the run, has gone."""
        self.sock.send(b'{"stop": true}')
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(1 << 16):
                pass
        except socket.timeout:
            raise HarnessError(f"the runner of {self.workdir} did not end within {timeout}s")


def main(argv):
    workdir, watch, ready = argv[0], int(argv[1]), int(argv[2])
    relay = json.loads(argv[3]) if len(argv) > 3 else None
    os.makedirs(RUN_FOLDER, exist_ok=True)
    try:
        if relay:  # a guest's: booted now, with the run, unless the run ends first
            importlib.import_module(relay[1]).boot(relay[3], lambda: bool(select.select([watch], [], [], 0)[0]))
        runner = Runner(workdir, watch, relay)
        os.write(ready, b"ready\n")
    except BaseException as e:
        try:
            os.write(ready, f"{e}\n".encode())
        except OSError:
            pass  # whoever waited for it is gone
        raise
    os.close(ready)
    runner.serve()


if __name__ == "__main__":
    main(sys.argv[1:])
