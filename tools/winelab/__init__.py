# The Wine workbench shared by the end-to-end suite, tools/try-under-wine and
# bench/: the Wine generations and the route each runs on (this machine, a
# root of its own, or an emulated guest), private Xvfb displays, Wine prefixes
# and the session of display and server kept for each, Win32 helper builds,
# relay logs, and the processes it starts, each ended by pid, the long-lived
# ones on leases that end them with the run. Callers import this package only.
from .common import REPO, HarnessError, Unavailable, scaled, state_dir
from .display import Display, WindowWatcher, held_keys, press_return, window_name, window_pid, xdotool
from .packages import ensure_packages
from .prefix import PREFIXES_GB, WINE, Prefix, PrefixLock, make_prefixes, suite_prefixes
from .procs import Procs, run
from .programs import build_win32, run_until_boxes_closed
from .generations import GENERATIONS, chosen, generation, host_release
from .route import SKIP, Skip, bring_up, choose_route, saved_route
from .lease import Lease, sweep
from .room import Need
from .session import Session

# What the package re-exports: the names above are its interface, not unused.
__all__ = [
    "REPO", "HarnessError", "Unavailable", "scaled", "state_dir",
    "Display", "WindowWatcher", "held_keys", "press_return", "window_name", "window_pid", "xdotool",
    "ensure_packages",
    "PREFIXES_GB", "WINE", "Prefix", "PrefixLock", "make_prefixes", "suite_prefixes",
    "Procs", "run",
    "build_win32", "run_until_boxes_closed",
    "GENERATIONS", "chosen", "generation", "host_release",
    "SKIP", "Skip", "bring_up", "choose_route", "saved_route",
    "Lease", "sweep", "Need", "Session",
]
