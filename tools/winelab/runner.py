# The runner of one generation's run: the first process of a PID namespace of its
# own, from the start step until the finish step, or until the process that ran
# the start step (ctest, or a shell) ends, whichever comes first; the kernel then
# ends every process of the run with it. Each step is a thin client: it sends its
# job (an argv, or a function of the workbench, run in a fork of the runner, which
# has imported it once), its environment and deadline, with its own stdout and
# stderr, and exits with the job's code. A step that goes drops the socket, and
# the runner ends that job's process group at once.
# Usage: runner.py WORKDIR WATCH_FD READY_FD [GUEST_JSON]  (started by route.py)
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
else:  # run as a script: the package is beside it
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from winelab.common import REPO, HarnessError

RUN_FOLDER = "/run/lanyue"  # a tmpfs of the run's own: what the run keeps goes with it
TERM_GRACE_S = 5  # a job past its deadline gets this long to clean up


def address(workdir):
    """The runner's socket: abstract, so no file of it outlives the run."""
    return b"\0lanyue-runner-" + hashlib.sha256(os.path.realpath(workdir).encode()).hexdigest()[:16].encode()


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
        null = os.open(os.devnull, os.O_RDONLY)
        for target, fd in ((0, null), (1, fds[0]), (2, fds[1])):
            os.dup2(fd, target)
        os.closerange(3, 65536)
        try:
            os.chdir(job.get("cwd") or REPO)
        except OSError:
            os.chdir(REPO)
        os.environ.update(job["env"])  # over the runner's own: its route's settings
        if not call:
            os.execvp(job["argv"][0], job["argv"])
        sys.argv = [call[1], *job["args"]]
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
        self.sel.register(self.listener, selectors.EVENT_READ, "accept")
        self.sel.register(watch, selectors.EVENT_READ, "watch")
        r, w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(w)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        signal.signal(signal.SIGTERM, lambda *_: None)  # the first process ignores it otherwise, too
        self.sel.register(r, selectors.EVENT_READ, "child")
        self.jobs = {}  # pid -> [connection, deadline, terminated at]
        self.relay = relay  # in front of a guest: every job is handed on to it
        self.stopping = False

    def serve(self):
        while not self.stopping:
            now = time.monotonic()
            timeout = min([j[1] for j in self.jobs.values()] + [now + 60]) - now
            for key, _ in self.sel.select(max(0.05, timeout)):
                getattr(self, "on_" + (key.data if isinstance(key.data, str) else "request"))(key)
            self.deadlines()
        self.shutdown()

    def on_accept(self, key):
        conn, _ = self.listener.accept()
        uid = conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)[4:8]
        if int.from_bytes(uid, sys.byteorder) != os.getuid():
            conn.close()  # another user's: not ours to run
            return
        self.sel.register(conn, selectors.EVENT_READ, [conn])

    def on_request(self, key):
        conn = key.data[0]
        job_pid = next((pid for pid, j in self.jobs.items() if j[0] is conn), None)
        try:
            data, fds, _, _ = socket.recv_fds(conn, 1 << 20, 2)
        except OSError:
            data, fds = b"", []
        if job_pid is not None or not data:  # the step went: its job goes at once
            self.sel.unregister(conn)
            conn.close()
            if job_pid is not None:
                os.killpg(job_pid, signal.SIGKILL)
            return
        request = json.loads(data)
        if request.get("stop"):
            self.stopping = True
            return
        if len(fds) != 2:
            conn.send(b'{"rc": 2, "error": "a job comes with its stdout and stderr"}')
            return
        job = request["job"]
        pid = spawn({"call": self.relay[:3], "args": [self.relay[3], json.dumps(job)], "env": job["env"]}
                    if self.relay else job, fds)
        for fd in fds:
            os.close(fd)
        self.jobs[pid] = [conn, time.monotonic() + request.get("deadline", 3600), None]

    def on_child(self, key):
        try:
            os.read(key.fileobj, 512)
        except BlockingIOError:
            pass
        while True:  # the first process of a namespace reaps every orphan in it
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if not pid:
                return
            job = self.jobs.pop(pid, None)
            if job:
                late = job[2] is not None
                answer = {"rc": 124 if late else os.waitstatus_to_exitcode(status)}
                if late:
                    answer["error"] = "the job ran past its deadline and was ended"
                try:
                    job[0].send(json.dumps(answer).encode())
                except OSError:
                    pass

    def on_watch(self, key):
        self.stopping = True  # the run is over, however it ended

    def deadlines(self):
        now = time.monotonic()
        for pid, job in self.jobs.items():
            if job[2] is None and now > job[1]:
                job[2], job[1] = now, now + TERM_GRACE_S
                os.killpg(pid, signal.SIGTERM)  # its clean-up runs
            elif job[2] is not None and now > job[1]:
                os.killpg(pid, signal.SIGKILL)

    def shutdown(self, grace=3):
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
        while time.monotonic() < deadline:
            try:
                if os.waitpid(-1, os.WNOHANG) == (0, 0):
                    time.sleep(0.05)
            except ChildProcessError:
                break


class Client:
    """A step's side: one job, sent to the runner of a work folder."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.sock.connect(address(workdir))
        except OSError:
            raise HarnessError(f"no runner for {workdir}: run `tests/e2e/run-e2e start` first")
        uid = self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)[4:8]
        if int.from_bytes(uid, sys.byteorder) != os.getuid():
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
    if os.getpid() != 1:
        sys.exit("runner.py runs as the first process of a PID namespace")
    os.makedirs(RUN_FOLDER, exist_ok=True)
    relay = json.loads(argv[3]) if len(argv) > 3 else None
    try:
        if relay:  # a guest's: booted now, with the run
            run_ended = lambda: bool(select.select([watch], [], [], 0)[0])  # noqa: E731
            getattr(importlib.import_module(relay[1]), "boot")(relay[3], run_ended)
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
