# The emulated guest: booted by its route's runner here, it runs the jobs that
# runner hands on, over a virtio serial port, as the first process of the guest:
# the guest's end of the port below is its runner. A job's end here that drops
# the port (the step went, or ran out of time) ends the job there; the guest
# beats every second, and a guest silent for SILENT_S fails the job.
# Usage (the guest's init): guest.py  -- serves the port "lanyue" until poweroff
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import time

if __package__:
    from . import cache, runner
    from .common import REPO, SCALE_ENV, STATE_ENV, HarnessError
    from .lifetime import reaped
else:  # the guest's first process: the package is beside it
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from winelab import cache, runner
    from winelab.common import REPO, SCALE_ENV, STATE_ENV, HarnessError
    from winelab.lifetime import reaped

BOOT = os.path.join(REPO, "tests", "e2e", "guest", "boot")
BOOT_TIMEOUT_S = 300
SILENT_S = 40
STATE = "/var/lanyue"  # the guest's second disk: its prefixes, made once
# Frames on the port: a kind byte, a length, the payload. Host to guest: a job,
# a ping, power off; guest to host: output, the exit code, a beat, the answer to a ping.
JOB, PING, POWEROFF, OUT, RC, BEAT, HELLO = b"JIPORBH"


def frame(kind, payload=b""):
    return struct.pack(">BI", kind, len(payload)) + payload


def frames(buf):
    """(complete frames, rest) of what has arrived."""
    got = []
    while len(buf) >= 5:
        kind, size = struct.unpack(">BI", buf[:5])
        if len(buf) < 5 + size:
            break
        got.append((kind, buf[5:5 + size]))
        buf = buf[5 + size:]
    return got, buf


def plan(route, disk, keep, folder):
    """How the route's runner boots its guest: the boot script's arguments."""
    shares = [f"repo={REPO}:ro"] + [f"share{i}={p}{':ro' if ro else ''}" for i, (p, ro) in enumerate(route.shares)]
    return {"boot": BOOT, "image": cache.image_dir(route.release), "folder": folder,
            "port": f"{runner.RUN_FOLDER}/guest.port",
            "disk": disk + ("" if keep else ":snapshot"), "shares": shares, "keep": keep,
            "cpus": route.cpus, "overlays": cache.overlay_dir(), "scale": route.wait_scale}


def _tail(path, n=1500):
    try:
        return open(path, "rb").read()[-n:].decode("utf-8", "replace")
    except OSError:
        return f"(no {os.path.basename(path)})"


def _connect(plan, timeout, up=lambda: True):
    deadline = time.monotonic() + timeout
    while True:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(plan["port"])
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline or not up():
                raise HarnessError(f"qemu offers no port at {plan['port']}"
                                   f"\nqemu: {_tail(os.path.join(plan['folder'], 'qemu.log'), 800)}")
            time.sleep(0.1)


def boot(plan_json, run_ended):
    """In the runner, before it takes jobs: qemu, a plain child of it (it goes with
    the run), and its guest's runner answering; unless the run ends first."""
    s = json.loads(plan_json)
    os.makedirs(os.path.join(s["folder"], "ctl"), exist_ok=True)
    env = dict(os.environ, TMPDIR=s["overlays"])  # the snapshot's overlay: in the cache, whose room was counted
    if s["cpus"]:
        env["LANYUE_GUEST_CPUS"] = str(s["cpus"])
    t0 = time.monotonic()
    with open(os.path.join(s["folder"], "qemu.log"), "wb") as log:
        qemu = subprocess.Popen([s["boot"], s["image"], s["folder"], s["port"], "--state-disk", s["disk"], *s["shares"]],
                                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    port = _connect(s, 30, lambda: qemu.poll() is None and not run_ended())
    buf = b""
    while not any(kind == HELLO for kind, _ in frames(buf)[0]):
        if qemu.poll() is not None or time.monotonic() - t0 > BOOT_TIMEOUT_S or run_ended():
            raise HarnessError(f"the guest did not come up (qemu {'ended' if qemu.poll() is not None else 'ran on'})."
                               f"\nqemu: {_tail(os.path.join(s['folder'], 'qemu.log'), 800)}\n"
                               f"console:\n{_tail(os.path.join(s['folder'], 'console.log'))}")
        port.sendall(frame(PING))
        if select.select([port], [], [], 0.5)[0]:
            buf += port.recv(65536)
    port.close()
    print(f"guest up in {time.monotonic() - t0:.1f}s (qemu pid {qemu.pid})")
    return qemu


def relay(args):
    """A job of the runner here: hands the job on to the guest and passes on what
    it writes; its exit code. Ended, it drops the port, and the guest ends the job."""
    s, job = json.loads(args[0]), json.loads(args[1])
    # The guest's own: its waits, and where its prefixes are.
    job["env"].update({SCALE_ENV: str(s["scale"]), STATE_ENV: STATE})
    port = _connect(s, 10)
    port.sendall(frame(JOB, json.dumps(job).encode()))
    buf, heard = b"", time.monotonic()
    while True:
        if not select.select([port], [], [], 1)[0]:
            if time.monotonic() - heard > SILENT_S:
                raise HarnessError(f"the guest stopped answering (nothing for {SILENT_S}s).\n"
                                   f"console:\n{_tail(os.path.join(s['folder'], 'console.log'))}")
            continue
        data = port.recv(1 << 16)
        if not data:
            raise HarnessError(f"the guest stopped during the job.\nconsole:\n"
                               f"{_tail(os.path.join(s['folder'], 'console.log'))}")
        heard = time.monotonic()
        got, buf = frames(buf + data)
        for kind, payload in got:
            if kind == OUT:
                sys.stdout.buffer.write(payload)
                sys.stdout.buffer.flush()
            elif kind == RC:
                return int(payload)


def power_off(plan_json):
    """A guest whose disk is kept writes it and powers off; returns once qemu has
    gone. (A snapshot's writes are dropped with qemu anyway.)"""
    if not json.loads(plan_json)["keep"]:
        return
    port = _connect(json.loads(plan_json), 10)
    port.sendall(frame(POWEROFF))
    while port.recv(1 << 16):
        pass  # qemu closes the port as it ends


def make_prefixes(route, disk):
    """Boots a guest of its own with the empty prefixes disk writable, makes the
    prefixes on it there, and powers it off; it ends with this step, however."""
    print(f"making the {route.release} guest's prefixes (once per image and prefix recipe) ...")
    from .route import start_runner
    folder = os.path.join(route.workdir, "guest-prefixes")
    start_runner(route, watch=os.pidfd_open(os.getpid()), workdir=folder, disk=disk, keep=True, folder=folder)
    client = runner.Client(folder)
    code = {"call": [os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "winelab.prefix",
                     "make_prefixes"], "args": [STATE, route.agent], "env": {}}
    rc = client.run(code, deadline=2400)
    client.stop()  # the same connection: its job has ended
    if rc != 0:
        raise HarnessError(f"making the {route.release} guest's prefixes failed ({rc})")


def serve(device):
    """The guest's runner: jobs from the port, one at a time, in a fork of this
    process; a beat every second; a job whose host end went is ended at once."""
    port = os.open(device, os.O_RDWR | os.O_NONBLOCK)
    wake, woken = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(woken)
    signal.signal(signal.SIGCHLD, lambda *_: None)
    inbox, outbox, job, out, beat = b"", b"", None, None, 0

    def orphan():  # a job whose host end went: ended at once, its output and code dropped
        nonlocal outbox, job, out
        if job:
            os.killpg(job, signal.SIGKILL)
            os.close(out)
        outbox, job, out = b"", None, None

    def drain():
        nonlocal outbox
        while out is not None:
            try:
                data = os.read(out, 1 << 16)
            except BlockingIOError:
                return
            if not data:
                return
            outbox += frame(OUT, data)

    while True:
        ready = select.select([port, wake] + ([out] if out else []), [port] if outbox else [], [], 1)[0]
        if time.monotonic() - beat >= 1:
            outbox, beat = outbox + frame(BEAT), time.monotonic()
        if port in ready:
            data = os.read(port, 1 << 16)
            if not data:  # the host's end went: its job goes too
                orphan()
                inbox = b""
                time.sleep(0.1)
            got, inbox = frames(inbox + data)
            for kind, payload in got:
                if kind == PING:
                    outbox += frame(HELLO)
                elif kind == POWEROFF:
                    os.sync()
                    open("/proc/sysrq-trigger", "w").write("o")
                elif kind == JOB:
                    orphan()  # a job still running lost its host end: the next came at once
                    out, pipe_w = os.pipe2(os.O_NONBLOCK)
                    job = runner.spawn(json.loads(payload), (pipe_w, pipe_w))
                    os.close(pipe_w)
        drain()
        if wake in ready:
            os.read(wake, 512)
        for pid, code in reaped():  # the first process reaps every orphan
            if pid == job:  # what it wrote, then its code; a helper it left keeps no pipe of ours
                drain()
                os.close(out)
                outbox += frame(RC, str(code).encode())
                job = out = None
        if outbox:
            try:
                outbox = outbox[os.write(port, outbox):]
            except (BlockingIOError, BrokenPipeError):
                pass


if __name__ == "__main__":
    names = {open(f"/sys/class/virtio-ports/{p}/name").read().strip(): p for p in os.listdir("/sys/class/virtio-ports")}
    serve(f"/dev/{names['lanyue']}")
