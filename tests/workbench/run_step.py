# A stand-in run of the workbench, for its tests: the suite's steps as ctest runs
# them, a root build and then, each a thin client of the run's runner (on the
# native route), the runner's start, a prefix's session, a case's programs and
# the end of it all, with stand-ins for mmdebstrap, Xvfb and Wine. The step a
# test interrupts (LANYUE_STAND_IN_HANG) blocks in a stand-in. `--ctest` plays
# ctest: runs the steps one after the other, each a process of its own, and
# exits at once on a signal. job() is the steps' job, where the runner runs it.
# Usage: run_step.py STEP WORKDIR | run_step.py --ctest LAST_STEP WORKDIR
import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
STAND_INS = os.path.join(HERE, "stand-ins")
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import winelab as wl  # noqa: E402
from winelab import cache, display, prefix as wine, route  # noqa: E402

STEPS = ["build", "start", "prepare", "case", "finish"]


def use_stand_ins():
    wine.WINE = wine.WINE64 = os.path.join(STAND_INS, "wine")
    wine.WINESERVER = os.path.join(STAND_INS, "wineserver")
    display.XVFB = os.path.join(STAND_INS, "Xvfb")
    os.environ["PATH"] = STAND_INS + os.pathsep + os.environ["PATH"]  # mmdebstrap, cp


def job(args):
    """A step's job, where the runner runs it."""
    use_stand_ins()
    name, work = args
    if os.environ.get("LANYUE_STAND_IN_HANG") == name:  # the step the test interrupts
        with open(os.path.join(os.environ["LANYUE_STAND_IN_DIR"], "job.pid"), "w") as f:
            f.write(str(os.getpid()))
    prefix = wl.Prefix(os.path.join(work, "prefix32"), "win32")
    session = wl.Session(prefix)
    if name == "prepare":
        if prefix.kept() and prefix.is_ready(prefix.kept()):
            prefix.create(None, None)  # a copy of the kept one
        os.makedirs(prefix.path, exist_ok=True)
        session.start()
        if os.environ.get("LANYUE_STAND_IN_HANG"):
            wl.run([wine.WINE, "wineboot", "-i"], prefix.env(), timeout=1000)
    elif name == "case":
        procs = wl.Procs()
        try:
            procs.start([wine.WINE, "game.exe"], prefix.env(session.ensure())).wait()
        finally:
            procs.end_all()
    elif name == "finish":
        session.end()
    return 0


def step(name, work):
    """A step as ctest runs it: here, or a thin client of the run's runner."""
    use_stand_ins()
    if os.environ.get("LANYUE_STAND_IN_HANG") == name:
        with open(os.path.join(os.environ["LANYUE_STAND_IN_DIR"], "step.pid"), "w") as f:
            f.write(str(os.getpid()))
    if name == "build":
        cache.build_image("trixie", "root")
        return 0
    if name == "start":
        route.start_runner(route.NativeRoute("a stand-in run", work, True))
        return 0
    settings = {k: v for k, v in os.environ.items() if k.startswith("LANYUE_STAND_IN_")}
    rc = wl.Client(work).run({"call": [HERE, "run_step", "job"], "args": [name, work], "env": settings},
                             int(os.environ.get("LANYUE_STAND_IN_DEADLINE", 120)))
    if name == "finish":
        wl.stop_runner(work)
    return rc


def play_ctest(last, work):
    """The steps up to `last` as ctest runs them; only `last` gets the hang."""
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: os._exit(1))  # ctest leaves at once, cleaning up nothing
    for name in ["build"] if last == "build" else STEPS[1:STEPS.index(last) + 1]:
        env = dict(os.environ)
        if name != last:
            env.pop("LANYUE_STAND_IN_HANG", None)
        rc = subprocess.Popen([sys.executable, __file__, name, work], env=env).wait()
        if rc != 0:  # ctest goes on with other tests; here until the test lets it end
            may_end = os.path.join(os.environ["LANYUE_STAND_IN_DIR"], "ctest-may-end")
            for _ in range(600):
                if os.path.exists(may_end):
                    break
                time.sleep(0.1)
            return rc
    return 0


def _on_signal(signum, frame):
    raise SystemExit(f"stopped by signal {signum}")  # unwinds through the clean-up


if __name__ == "__main__":
    if sys.argv[1] == "--ctest":
        sys.exit(play_ctest(sys.argv[2], sys.argv[3]))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)
    sys.exit(step(sys.argv[1], sys.argv[2]))
