# Debian packages the workbench needs, through scripts/ensure-packages.sh, and
# the difference between an install that failed (a failure) and an archive that
# has no candidate for a package (this machine cannot have it: a skip).
import subprocess
import sys

from .common import REPO, HarnessError, Unavailable

ENSURE_PACKAGES = f"{REPO}/scripts/ensure-packages.sh"


def _ensure(function, *args, stdout=None):
    """Runs one function of scripts/ensure-packages.sh; its messages go to stderr."""
    # Under the options of every other caller of the library.
    return subprocess.run(["bash", "-c", f'set -euo pipefail; . "$0"; {function} "$@"', ENSURE_PACKAGES, *args],
                          stdin=subprocess.DEVNULL, stdout=stdout or sys.stderr, text=True)


def ensure_packages(*packages):
    """Installs what is missing; True when all are there."""
    sys.stdout.flush()
    return _ensure("ensure_packages", *packages).returncode == 0


def lacking_candidates(*packages):
    """The packages the configured archive has no candidate for, by the lists as they are."""
    cp = _ensure("packages_lacking_candidate", *packages, stdout=subprocess.PIPE)
    return cp.stdout.split()


def require(packages, what):
    """Installs packages, or raises: Unavailable when the archive lacks some of them,
    HarnessError when the install failed for another cause (apt's lines are above)."""
    if ensure_packages(*packages):
        return
    lacking = lacking_candidates(*packages)
    if lacking:
        raise Unavailable(f"the configured apt archive has no candidate for {' '.join(lacking)} "
                          f"({what})")
    raise HarnessError(f"installing {what} failed: `ensure_packages {' '.join(packages)}` "
                       "(apt's own lines are above)")


def ensure_zh_locale():
    if _ensure("ensure_zh_locale").returncode != 0:
        raise HarnessError("the zh_CN.UTF-8 locale could not be made")
