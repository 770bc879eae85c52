# Nothing of a run outlives it: for each step of a stand-in run (run_step.py),
# interrupted as a terminal's Ctrl-C, a SIGTERM or a SIGKILL reaches the whole
# ctest process group, or as ctest's timeout kills the step alone (ctest then
# goes on, here to its end), no process of the run and no mount is left within
# a minute. A build's mounts never show in this process's mount table, not even
# while it runs. Run in a private mount namespace, as root (see CMakeLists.txt).
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from winelab import cache  # noqa: E402

STEPS = ["build", "boot", "prepare", "case", "finish"]
TIMEOUT = "timeout"  # SIGKILL of the step alone, ctest alive
SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGKILL, TIMEOUT]
ROWS = [(step, sig) for step in STEPS for sig in SIGNALS]  # each step under each signal
LEFT_WITHIN_S = 60


def run_processes(token):
    """Processes whose environment carries this row's folder: everything the run started."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if token in open(f"/proc/{pid}/environ", "rb").read():
                found.append((int(pid), open(f"/proc/{pid}/cmdline", "rb").read().replace(b"\0", b" ")
                              .decode(errors="replace").strip()))
        except OSError:
            pass
    return found


def name_of(sig):
    return sig if sig == TIMEOUT else sig.name


def fake_guest_image(release):
    folder = cache.make_marked(cache.image_dir(release))
    for name in cache.BUILT["guest"]:
        open(os.path.join(folder, name), "w").close()


def row(step, sig, tmp):
    dirs = {name: os.path.join(tmp, name) for name in ("run", "cache", "work", "stand-in")}
    for path in dirs.values():
        os.makedirs(path, mode=0o700)
    os.environ.update(LANYUE_RUN_DIR=dirs["run"], LANYUE_GUEST_CACHE=dirs["cache"],
                      LANYUE_STAND_IN_DIR=dirs["stand-in"], LANYUE_STAND_IN_HANG=step)
    fake_guest_image("bookworm")
    ctest = subprocess.Popen([sys.executable, os.path.join(HERE, "run_step.py"), "--ctest", step, dirs["work"]],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
    reached = os.path.join(dirs["stand-in"], f"reached-{step}")
    deadline = time.monotonic() + 60
    while not os.path.exists(reached):
        if ctest.poll() is not None or time.monotonic() > deadline:
            ctest.kill()
            return [f"the run never got into its {step} step: {ctest.communicate()[0].decode()[-1500:]}"]
        time.sleep(0.05)
    time.sleep(0.3)  # well inside the step
    failures = []
    if cache.mounts_under(tmp):
        failures.append(f"mounted in this machine's table while it ran: {cache.mounts_under(tmp)}")
    if sig == TIMEOUT:
        step_pid = int(open(os.path.join(dirs["stand-in"], "step.pid")).read())
        os.kill(step_pid, signal.SIGKILL)
    else:
        os.killpg(ctest.pid, sig)
    t0 = time.monotonic()
    ctest.wait()
    try:  # a killed build's temporary files stay where the next build clears them
        scratch = open(os.path.join(dirs["stand-in"], "scratch")).read().strip()
        if os.path.exists(scratch) and not scratch.startswith(dirs["cache"] + os.sep):
            failures.append(f"the build's temporary folder is left outside the cache: {scratch}")
            os.rmdir(scratch)
    except OSError:
        pass
    while time.monotonic() - t0 < LEFT_WITHIN_S:
        left = run_processes(tmp.encode())
        if not left and not cache.mounts_under(tmp) and not os.listdir(dirs["run"]):
            print(f"     [{step} {name_of(sig)}] nothing left after {time.monotonic() - t0:.1f}s")
            return failures
        time.sleep(0.2)
    failures += [f"still running {LEFT_WITHIN_S}s later: pid {pid}: {cmd}" for pid, cmd in left]
    failures += [f"still mounted: {point}" for point in cache.mounts_under(tmp)]
    failures += [f"lease left: {name}" for name in os.listdir(dirs["run"])]
    for pid, _ in left:  # this row's own, found by its folder
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return failures


def main():
    if os.geteuid() != 0:
        print("needs root, to mount as the build does")
        return 77
    failed = 0
    for step, sig in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-interrupt-") as tmp:
            try:
                failures = row(step, sig, tmp)
            finally:
                for point in cache.mounts_under(tmp):
                    subprocess.run(["umount", "--lazy", point])
        for x in failures:
            print(f"FAIL [{step} {name_of(sig)}] {x}")
        if not failures:
            print(f"PASS [{step} {name_of(sig)}]")
        failed += bool(failures)
    print(f"{len(ROWS)} interruptions: {'FAILED ' + str(failed) if failed else 'ok'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
