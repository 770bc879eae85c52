# One step of a stand-in run, for check_interruption.py: the workbench's own
# code (a root build, a guest boot, a prefix's session, a case's programs, the
# end of it all), with stand-ins for mmdebstrap, qemu, Xvfb and Wine, and the
# step the test interrupts (LANYUE_STAND_IN_HANG) blocking in a stand-in.
# `--ctest` plays ctest: runs the steps one after the other, each a process of
# its own, and exits at once on a signal. Run by a route (another release's root),
# a step goes through the route as the suite's steps do, and prepare copies the
# prefix from a kept one.
# Usage: run_step.py STEP WORKDIR | run_step.py --ctest LAST_STEP WORKDIR
import os
import signal
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
STAND_INS = os.path.join(HERE, "stand-ins")
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import winelab as wl  # noqa: E402
from winelab import cache, display, guest, prefix as wine  # noqa: E402

STEPS = ["build", "boot", "prepare", "case", "finish"]


def use_stand_ins():
    wine.WINE = wine.WINE64 = os.path.join(STAND_INS, "wine")
    wine.WINESERVER = os.path.join(STAND_INS, "wineserver")
    display.XVFB = os.path.join(STAND_INS, "Xvfb")
    guest.BOOT = os.path.join(STAND_INS, "boot")
    os.environ["PATH"] = STAND_INS + os.pathsep + os.environ["PATH"]  # mmdebstrap


def step(name, work):
    use_stand_ins()
    if os.environ.get("LANYUE_STAND_IN_HANG") == name:  # the step the test interrupts
        with open(os.path.join(os.environ["LANYUE_STAND_IN_DIR"], "step.pid"), "w") as f:
            f.write(str(os.getpid()))
    prefix = wl.Prefix(os.path.join(work, "prefix32"), "win32")
    os.makedirs(prefix.path, exist_ok=True)
    session, vm = wl.Session(prefix), guest.Guest(os.path.join(work, "guest"))
    if name == "build":
        cache.build_image("trixie", "root")
    elif name == "boot":
        vm.boot([], "bookworm")
    elif name == "prepare":
        if os.environ.get(wine.KEPT_ENV):
            prefix.create(None)
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
        try:
            session.end()
        finally:
            vm.stop(grace=5)
    return 0


def play_ctest(last, work):
    """The steps up to `last` as ctest runs them; only `last` gets the hang."""
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: os._exit(1))  # ctest leaves at once, cleaning up nothing
    for name in ["build"] if last == "build" else STEPS[1:STEPS.index(last) + 1]:
        env = dict(os.environ)
        if name != last:
            env.pop("LANYUE_STAND_IN_HANG", None)
        rc = subprocess.Popen([sys.executable, __file__, name, work], env=env).wait()
        if rc != 0:
            return rc
    return 0


def _on_signal(signum, frame):
    raise SystemExit(f"stopped by signal {signum}")  # unwinds through the clean-up


if __name__ == "__main__":
    if sys.argv[1] == "--ctest":
        sys.exit(play_ctest(sys.argv[2], sys.argv[3]))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)
    if os.environ.get("LANYUE_E2E_ROUTE") == "native":  # where a route runs it
        sys.exit(wl.saved_route(sys.argv[2]).run(None, lambda: step(sys.argv[1], sys.argv[2]), 60))
    sys.exit(step(sys.argv[1], sys.argv[2]))
