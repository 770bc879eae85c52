# The Wine workbench shared by the end-to-end suite, tools/try-under-wine and
# bench/: the Wine generations and the route each runs on (this machine, a root
# of its own, or an emulated guest), each run's runner that the steps send their
# jobs to, private Xvfb displays, Wine prefixes and the session of display,
# server and case agent kept for each, and relay logs. Callers import this
# package only.
from .common import REPO, HarnessError, Unavailable, scaled, state_dir
from .display import Display, WindowWatcher, held_keys, press_return, window_name, window_pid, xdotool
from .generations import GENERATIONS, chosen, generation, host_release
from .lifetime import Procs, end, run
from .packages import ensure_packages
from .prefix import PREFIXES_GB, STANDARD_TOP_DIRS, WINE, Prefix, PrefixLock, check_stored, make_prefixes, set_words, suite_prefixes
from .programs import run_until_boxes_closed
from .room import Need
from .route import SKIP, Skip, bring_up, choose_route, saved_route, stop_runner
from .runner import Client
from .session import Session

# What the package re-exports: the names above are its interface, not unused.
__all__ = [
    "REPO", "HarnessError", "Unavailable", "scaled", "state_dir",
    "Display", "WindowWatcher", "held_keys", "press_return", "window_name", "window_pid", "xdotool",
    "GENERATIONS", "chosen", "generation", "host_release",
    "Procs", "end", "run",
    "ensure_packages",
    "PREFIXES_GB", "STANDARD_TOP_DIRS", "WINE", "Prefix", "PrefixLock", "check_stored", "make_prefixes", "set_words", "suite_prefixes",
    "run_until_boxes_closed",
    "Need",
    "SKIP", "Skip", "bring_up", "choose_route", "saved_route", "stop_runner",
    "Client",
    "Session",
]
