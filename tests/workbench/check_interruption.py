# What the kernel does not see to: a step killed alone, as ctest's timeout kills
# it, or a job past its deadline, ends that job at once while the run goes on;
# a killed build's scratch is cleared by the next build, and its mounts never
# show in this process's mount table. Each row then lets its stand-in ctest
# (run_step.py) end: nothing of the run is left within seconds. Run in a
# private mount namespace, as root (see CMakeLists.txt).
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

WITHIN_S = 5
# name, the step it happens in, how: "killed" (SIGKILL of the step) or "late" (past its deadline)
ROWS = [
    ("prepare killed alone", "prepare", "killed"),
    ("case killed alone", "case", "killed"),
    ("case past its deadline", "case", "late"),
    ("build killed alone", "build", "killed"),
]


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


def gone_within(what, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not what():
            return True
        time.sleep(0.1)
    return False


def row(step, how, tmp):
    dirs = {name: os.path.join(tmp, name) for name in ("cache", "work", "stand-in")}
    for path in dirs.values():
        os.makedirs(path, mode=0o700)
    os.environ.update(LANYUE_GUEST_CACHE=dirs["cache"], LANYUE_STAND_IN_DIR=dirs["stand-in"],
                      LANYUE_STAND_IN_HANG=step, LANYUE_STAND_IN_DEADLINE="3" if how == "late" else "120")
    ctest = subprocess.Popen([sys.executable, os.path.join(HERE, "run_step.py"), "--ctest", step, dirs["work"]],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
    reached = os.path.join(dirs["stand-in"], f"reached-{step}")
    if not gone_within(lambda: not os.path.exists(reached) and ctest.poll() is None, 60) or ctest.poll() is not None:
        ctest.kill()
        return [f"the run never got into its {step} step: {ctest.communicate()[0].decode()[-1500:]}"]
    time.sleep(0.3)  # well inside the step
    failures = []
    if cache.mounts_under(tmp):
        failures.append(f"mounted in this machine's table while it ran: {cache.mounts_under(tmp)}")
    token = tmp.encode()
    hung = [pid for pid, cmd in run_processes(token) if cmd.startswith("stand-in-hang")]
    if how == "killed":
        os.kill(int(open(os.path.join(dirs["stand-in"], "step.pid")).read()), signal.SIGKILL)
    if not hung:
        failures.append("nothing hung in the step: the row proves nothing")
    late = 3 + 5 if how == "late" else 0  # its deadline, and the grace of its clean-up
    if not gone_within(lambda: any(os.path.exists(f"/proc/{pid}") for pid in hung), WITHIN_S + late):
        failures.append(f"the step's job was not ended: {[c for p, c in run_processes(token) if p in hung]}")
    elif step != "build" and not [c for _, c in run_processes(token) if "runner.py" in c]:
        failures.append("the run did not go on: its runner had ended with the job")
    open(os.path.join(dirs["stand-in"], "ctest-may-end"), "w").close()
    ctest.wait()
    if step == "build":  # the next build clears what the killed one left, and finishes
        os.environ.pop("LANYUE_STAND_IN_HANG")
        rc = subprocess.run([sys.executable, os.path.join(HERE, "run_step.py"), "build", dirs["work"]]).returncode
        left = [n for n in os.listdir(os.path.join(dirs["cache"], "lanyue-repair")) if n.endswith(cache.UNFINISHED)]
        if rc != 0 or left:
            failures.append(f"the next build ended {rc}, leaving {left}")
    if not gone_within(lambda: run_processes(token) or cache.mounts_under(tmp), WITHIN_S):
        failures += [f"still running {WITHIN_S}s after ctest ended: pid {pid}: {cmd}"
                     for pid, cmd in run_processes(token)]
        failures += [f"still mounted: {point}" for point in cache.mounts_under(tmp)]
        for pid, _ in run_processes(token):  # this row's own, found by its folder
            os.kill(pid, signal.SIGKILL)
    if os.path.exists("/run/lanyue"):
        failures.append("the run's own folder shows on this machine: /run/lanyue")
    return failures


def main():
    if os.geteuid() != 0:
        print("needs root, to mount as the build does")
        return 77
    failed = 0
    for name, step, how in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-interrupt-") as tmp:
            try:
                failures = row(step, how, tmp)
            finally:
                for point in cache.mounts_under(tmp):
                    subprocess.run(["umount", "--lazy", point])
        for x in failures:
            print(f"FAIL [{name}] {x}")
        if not failures:
            print(f"PASS [{name}]")
        failed += bool(failures)
    print(f"{len(ROWS)} interruptions: {'FAILED ' + str(failed) if failed else 'ok'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
