# The keeper of one long-lived helper (a guest's qemu, a session's Xvfb or Wine
# server): run as a plain script, it leaves the step that started it, starts the
# helper as its child (the helper is killed if the keeper dies), and ends it, by
# pid, once no process holding the lease lives. Nothing here imports the
# package, so a keeper starts quickly, also under emulation.
# Usage: keeper.py LEASE_DIR NAME GRACE_S STOP_SIGNAL LOG FDS STDIO -- ARGV...
# (STDIO: "" or "IN,OUT", FIFOs for the helper's stdin and stdout)
import os
import signal
import subprocess
import sys
import time

if __package__:
    from .pids import die_with_parent, end_pid, is_alive, write_pidfile
else:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from pids import die_with_parent, end_pid, is_alive, write_pidfile

POLL_S = 0.5


def held(lease_dir):
    """Whether any process recorded in the lease's holders/ still runs."""
    holders = os.path.join(lease_dir, "holders")
    try:
        names = os.listdir(holders)
    except OSError:
        return False
    for name in names:
        try:
            if is_alive(open(os.path.join(holders, name)).read()):
                return True
        except OSError:
            pass
    return False


def helper_files(lease_dir, name):
    base = os.path.join(lease_dir, "helpers", name)
    return {"pid": base + ".pid", "keeper": base + ".keeper", "failed": base + ".failed"}


def remove_lease_if_idle(lease_dir, held_or_not=False):
    """Removes a lease no helper uses and, unless held_or_not, no one holds (its
    files only, no subtree of others)."""
    helpers = os.path.join(lease_dir, "helpers")
    try:
        if not held_or_not and held(lease_dir) or any(n.endswith((".pid", ".keeper")) for n in os.listdir(helpers)):
            return
    except OSError:
        pass
    for sub in ("holders", "helpers", ""):
        folder = os.path.join(lease_dir, sub)
        try:
            for n in os.listdir(folder):
                p = os.path.join(folder, n)
                if not os.path.isdir(p) or os.path.islink(p):
                    os.unlink(p)
            os.rmdir(folder)
        except OSError:
            pass


def _as_helper():
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)  # ignored ones would stay ignored after exec
    die_with_parent()


def keep(lease_dir, name, grace, stop_signal, log, fds, stdio, argv):
    files = helper_files(lease_dir, name)
    # Leave the step: it returns at once, and ctest's kill of its tree does not reach us.
    if os.fork() > 0:
        os._exit(0)
    os.setsid()
    # Let go of the step's pipes: it waits for none of us.
    out = os.open(log or os.devnull, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(out, 1)
    os.dup2(out, 2)
    os.close(null)
    os.close(out)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    for sig in (signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    write_pidfile(files["keeper"], os.getpid())
    # Opened both ways, a FIFO never reads as ended: requests may come from step after step.
    streams = [os.open(path, os.O_RDWR) for path in stdio]
    try:
        # The helper dies with its keeper, however the keeper ends. Its output: our log.
        p = subprocess.Popen(argv, pass_fds=fds, preexec_fn=_as_helper,
                             stdin=streams[0] if streams else None, stdout=streams[1] if streams else None)
    except OSError as e:
        with open(files["failed"], "w") as f:
            f.write(f"cannot start {argv[0]}: {e}\n")
        os.unlink(files["keeper"])
        return 1
    for fd in fds + streams:
        os.close(fd)
    write_pidfile(files["pid"], p.pid)
    unheld = 0
    while p.poll() is None:
        # Two looks in a row: a lease is never ended on one odd reading.
        unheld = unheld + 1 if not held(lease_dir) else 0
        if stopping or unheld >= 2:
            end_pid(p.pid, grace, first=stop_signal)
            p.poll()
            break
        time.sleep(POLL_S)
    if p.returncode is not None and not stopping:
        with open(files["failed"], "w") as f:
            f.write(f"{os.path.basename(argv[0])} ended with status {p.returncode}\n")
    for f in (files["pid"], files["keeper"]):
        try:
            os.unlink(f)
        except OSError:
            pass
    remove_lease_if_idle(lease_dir)
    return 0


def main(argv):
    lease_dir, name, grace, stop_signal, log, fds, stdio, dashes, *helper = argv
    if dashes != "--" or not helper:
        print(__doc__ or "usage: keeper.py LEASE_DIR NAME GRACE_S SIGNAL LOG FDS STDIO -- ARGV...",
              file=sys.stderr)
        return 2
    return keep(lease_dir, name, float(grace), signal.Signals[stop_signal], log,
                [int(fd) for fd in fds.split(",") if fd], [p for p in stdio.split(",") if p], helper)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
