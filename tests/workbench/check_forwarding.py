# The job a step sends its runner, with the runner stubbed: whether the work
# folder and the exe are given by argument or by environment, as an absolute or
# a relative path, the job as it runs where Wine runs (another current folder,
# no settings of this side but the job's own) must name the same two paths.
import contextlib
import os
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..", "e2e")]
import e2e  # noqa: E402
from winelab import route  # noqa: E402

DEFAULT_EXE = os.path.join(e2e.wl.REPO, "dist", "LanyueRepair.exe")
DEFAULT_DIR = os.path.join(e2e.wl.REPO, "build", "host", "e2e")
# id, arguments, environment, expected work folder, expected exe ("{t}": the host's current folder)
ROWS = [
    ("defaults", [], {}, DEFAULT_DIR, DEFAULT_EXE),
    ("workdir-argument", ["--workdir", "{t}/w"], {}, "{t}/w", DEFAULT_EXE),
    ("workdir-argument-relative", ["--workdir", "w"], {}, "{t}/w", DEFAULT_EXE),
    ("workdir-environment", [], {"LANYUE_E2E_DIR": "{t}/w"}, "{t}/w", DEFAULT_EXE),
    ("workdir-environment-relative", [], {"LANYUE_E2E_DIR": "w"}, "{t}/w", DEFAULT_EXE),
    ("exe-argument", ["--exe", "{t}/x.exe"], {}, DEFAULT_DIR, "{t}/x.exe"),
    ("exe-argument-relative", ["--exe", "x.exe"], {}, DEFAULT_DIR, "{t}/x.exe"),
    ("exe-environment", [], {"LANYUE_E2E_EXE": "{t}/x.exe"}, DEFAULT_DIR, "{t}/x.exe"),
    ("exe-environment-relative", [], {"LANYUE_E2E_EXE": "x.exe"}, DEFAULT_DIR, "{t}/x.exe"),
    ("environment-over-argument", ["--exe", "a.exe"], {"LANYUE_E2E_EXE": "x.exe"}, DEFAULT_DIR, "{t}/x.exe"),
]
SETTINGS = ("LANYUE_E2E_DIR", "LANYUE_E2E_EXE", "LANYUE_E2E_ROUTE", "LANYUE_WAIT_SCALE")


class StubClient:
    """The runner's side of a step, kept: the jobs it was sent."""
    sent = []

    def __init__(self, workdir):
        pass

    def run(self, job, deadline):
        self.sent.append(job)
        return 0


@contextlib.contextmanager
def settings_only(env, cwd):
    """Runs the block in cwd with only `env` of the settings a command reads; restores both."""
    saved, saved_cwd = dict(os.environ), os.getcwd()
    try:
        for key in SETTINGS:
            os.environ.pop(key, None)
        os.environ.update(env)
        os.chdir(cwd)
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)
        os.chdir(saved_cwd)


def as_the_job_gets_it(job, elsewhere):
    """(work folder, exe) the job would use, run from another folder with only its
    own settings."""
    with settings_only(job["env"], elsewhere):
        _, ctx = e2e.parse(job["args"])
    return ctx.workdir, ctx.exe


def main():
    sent = StubClient.sent
    e2e.wl.Client = StubClient
    # the route start would have chosen, without a route.json in the repository's build folder
    e2e.wl.saved_route = lambda workdir: route.GuestRoute("test", workdir)
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-forward-test-") as t, \
            tempfile.TemporaryDirectory(prefix="lanyue-forward-elsewhere-") as elsewhere:
        host = os.path.join(t, "host")
        os.makedirs(host)
        for id_, args, env, want_dir, want_exe in ROWS:
            want_dir, want_exe = want_dir.format(t=host), want_exe.format(t=host)
            sent.clear()
            with settings_only({k: v.format(t=host) for k, v in env.items()}, host):
                rc = e2e.main([*(a.format(t=host) for a in args), "run", "nothing-found"])
            if rc != 0 or len(sent) != 1:
                failures.append(f"[{id_}] exit {rc}, {len(sent)} jobs sent to the runner")
                continue
            got = as_the_job_gets_it(sent[0], elsewhere)
            if got != (want_dir, want_exe):
                failures.append(f"[{id_}] the job would use work folder {got[0]} and exe {got[1]}; "
                                f"expected {want_dir} and {want_exe}")
    for x in failures:
        print(f"FAIL {x}")
    print(f"{len(ROWS)} jobs as sent: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
