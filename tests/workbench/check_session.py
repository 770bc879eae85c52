# A prefix's session (display and Wine server, stand-ins for both) is up only
# when the server it started holds the prefix's lock, and a Wine server that
# will not end fails the job after the whole session has gone.
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
os.environ["LANYUE_WAIT_SCALE"] = "0.2"  # the stand-ins answer at once; a hang need not take long
import run_step  # noqa: E402
import winelab as wl  # noqa: E402
from winelab import prefix as wine, session as sessions  # noqa: E402
from winelab.session import lock_holder, server_lock  # noqa: E402


def lock_held_by_another(prefix, session, tmp):
    """Another server holds the prefix's lock when the session's own starts."""
    other = subprocess.Popen([wine.WINESERVER, "-f", "-p"], env=prefix.env())
    try:
        while lock_holder(server_lock(prefix.path)) != other.pid:
            if other.poll() is not None:
                raise RuntimeError("the other server did not start")
        session.serve(":99")
    finally:
        other.kill()
        other.wait()


def server_will_not_end(prefix, session, tmp):
    session.start()
    os.environ["LANYUE_STAND_IN_HANG"] = "finish"  # wineserver -k now hangs
    try:
        session.end()
    finally:
        del os.environ["LANYUE_STAND_IN_HANG"]


# name, what the test does, what the error must say
ROWS = [
    ("a server already holds the prefix's lock", lock_held_by_another, "holds"),
    ("wineserver -k hangs", server_will_not_end, "wineserver -k did not finish"),
]


def main():
    run_step.use_stand_ins()
    failures = []
    for name, act, said in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-session-") as tmp:
            sessions.RUN_FOLDER = os.path.join(tmp, "run")  # the run's own folder, as a runner has it
            os.environ["LANYUE_STAND_IN_DIR"] = tmp
            prefix = wl.Prefix(os.path.join(tmp, "prefix32"), "win32")
            os.makedirs(prefix.path)
            session = wl.Session(prefix)
            why = []
            try:
                act(prefix, session, tmp)
                why.append("it went through; expected it to fail")
            except wl.HarnessError as e:
                if said not in str(e):
                    why.append(f"failed saying {e}; expected {said!r}")
            left = [f"{n} (pid {pid})" for n, pid in session.helpers()[0].items()]
            if left:
                why.append(f"still running: {', '.join(left)}")
            session.end()
            if why:
                failures.append(f"[{name}] {'; '.join(why)}")
            else:
                print(f"PASS [{name}]")
    for x in failures:
        print(f"FAIL {x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
