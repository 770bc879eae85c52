# The Wine workbench shared by the end-to-end suite, tools/try-under-wine and
# bench/: the Wine generations and the route each runs on (this machine, a
# root of its own, or an emulated guest), private Xvfb displays, Wine prefixes
# and the session of display and server kept for each, Win32 helper builds,
# relay logs, and the processes it starts, each ended by pid. Callers import
# this package only.
from .common import REPO, HarnessError, Unavailable, scaled, state_dir  # noqa: F401
from .display import (Display, end_stale_xvfb, held_keys, press_return,  # noqa: F401
                      visible_windows, window_name, xdotool)
from .packages import ensure_packages  # noqa: F401
from .prefix import WINE, Prefix, PrefixLock  # noqa: F401
from .procs import Procs, run  # noqa: F401
from .programs import build_win32, run_until_boxes_closed  # noqa: F401
from .generations import GENERATIONS, chosen, generation, host_release  # noqa: F401
from .route import SKIP, Skip, bring_up, choose_route, saved_route  # noqa: F401
from .session import Session  # noqa: F401

# What the package re-exports: the names above are its interface, not unused.
__all__ = [
    "REPO", "HarnessError", "Unavailable", "scaled", "state_dir",
    "Display", "end_stale_xvfb", "held_keys", "press_return", "visible_windows", "window_name", "xdotool",
    "ensure_packages",
    "WINE", "Prefix", "PrefixLock",
    "Procs", "run",
    "build_win32", "run_until_boxes_closed",
    "GENERATIONS", "chosen", "generation", "host_release",
    "SKIP", "Skip", "bring_up", "choose_route", "saved_route",
    "Session",
]
