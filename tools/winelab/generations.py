# The Wine generations the suite runs on: a Debian release and the Wine it
# ships. The machine's own release runs Wine on the host (or in a guest); any
# other runs it in a root of its own (or a guest of its own). Each generation
# has its own ctest names and work folder; LANYUE_E2E_GENERATIONS picks some.
import os

from .common import HarnessError

GENERATIONS_ENV = "LANYUE_E2E_GENERATIONS"


class Generation:
    def __init__(self, release, wine, tests):
        self.release = release  # the Debian release whose Wine this is
        self.wine = wine        # its Wine version, for people
        self.tests = tests      # ctest's name prefix and the work folder's name

    def __str__(self):
        return f"{self.release} (Wine {self.wine})"


GENERATIONS = {g.release: g for g in (Generation("bookworm", "8.0", "e2e"),
                                      Generation("trixie", "10.0", "e2e-wine10"))}


def host_release():
    try:
        for line in open("/etc/os-release"):
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return None


def generation(release):
    if release not in GENERATIONS:
        raise HarnessError(f"no Wine generation {release!r}: one of {', '.join(GENERATIONS)}")
    return GENERATIONS[release]


def chosen():
    """The generations LANYUE_E2E_GENERATIONS names (comma or space separated), else all."""
    names = (os.environ.get(GENERATIONS_ENV) or "").replace(",", " ").split()
    return [generation(n) for n in names] if names else list(GENERATIONS.values())
