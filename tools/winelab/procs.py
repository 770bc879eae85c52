# Processes the workbench starts for the length of one step: tracked by pid,
# ended by pid (TERM, a grace period, then KILL), never by name, and killed with
# the step if it dies first. Short commands run with a hard timeout.
import subprocess
import tempfile

from .common import HarnessError, scaled
from .pids import die_with_parent


class Procs:
    """Processes this run started; ended by pid, never by name."""

    def __init__(self):
        self.live = []

    def start(self, argv, env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(),
              detached=False):
        """detached: outlives this process (in a session of its own); end it by its pid file."""
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                             pass_fds=pass_fds, start_new_session=detached,
                             preexec_fn=None if detached else die_with_parent)
        self.live.append(p)
        return p

    @staticmethod
    def end(p, grace=2.0):
        if p.poll() is not None:
            return
        try:
            p.terminate()
            p.wait(timeout=scaled(grace))
        except subprocess.TimeoutExpired:
            p.kill()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        except ProcessLookupError:
            pass

    def end_all(self, keep=()):
        for p in reversed(self.live):
            if p not in keep:
                self.end(p)
        self.live = [p for p in self.live if p in keep]


def run(argv, env, timeout, check=True, what=None):
    """Runs a short command with a hard timeout; returns CompletedProcess (bytes).
    Output goes through files, not pipes: the first Wine command of a session
    starts services.exe and friends, which inherit its descriptors and would
    keep a pipe open for as long as the wineserver lives."""
    timeout = scaled(timeout)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                 preexec_fn=die_with_parent)
        except OSError as e:
            raise HarnessError(f"cannot start {argv[0]}: {e}")
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            Procs.end(p)
            raise HarnessError(f"{what or argv[0]} did not finish within {timeout}s")
        out.seek(0)
        err.seek(0)
        cp = subprocess.CompletedProcess(argv, p.returncode, out.read(), err.read())
    if check and cp.returncode != 0:
        # Some tools (Wine's reg among them) write their errors to stdout.
        said = [f"{name}: {text.decode('utf-8', 'replace').strip()[-600:]}"
                for name, text in (("stdout", cp.stdout), ("stderr", cp.stderr)) if text.strip()]
        raise HarnessError(f"{what or ' '.join(map(str, argv))} failed ({cp.returncode}); "
                           + ("; ".join(said) or "it printed nothing"))
    return cp
