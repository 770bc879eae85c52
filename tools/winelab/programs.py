# Running Win32 programs under Wine: the small C helpers built with MinGW on
# the host, and a GUI program run until every box it shows has been closed,
# with its relay log parsed.
import os
import shutil
import subprocess
import time

from .common import HarnessError, scaled
from .display import WindowWatcher, press_return, window_name, window_pid
from .procs import Procs
from .relay import parse_relay


def mingw_gcc():
    for name in ("i686-w64-mingw32-gcc-win32", "i686-w64-mingw32-gcc"):
        p = shutil.which(name)
        if p:
            return p
    raise HarnessError("i686-w64-mingw32-gcc missing: install gcc-mingw-w64-i686-win32")


def build_win32(source, out, libs=(), gui=True):
    """Compiles a small C helper for 32-bit Windows when the source is newer."""
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(source):
        return out
    os.makedirs(os.path.dirname(out), exist_ok=True)
    tmp = f"{out}.{os.getpid()}.tmp"  # two builders never write one file
    argv = [mingw_gcc(), "-O2", "-s", "-Wall", "-Werror", "-o", tmp, source]
    argv += ["-mwindows"] if gui else []
    argv += [f"-l{lib}" for lib in libs]
    cp = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if cp.returncode != 0:
        raise HarnessError(f"building {os.path.basename(source)} failed:\n{cp.stderr}")
    os.replace(tmp, out)
    return out


class BoxRun:
    """Outcome of one run of a GUI program that shows message boxes."""

    def __init__(self):
        self.exit_code = None
        self.boxes = []          # (window id, title) in the order they appeared
        self.killed = False
        self.stdout = b""
        self.stderr = b""
        self.calls = []
        self.program_stderr = b""
        self.first_box_s = None


def run_until_boxes_closed(procs, argv, env, display, log_dir, appear_timeout=60, exit_timeout=30,
                           press=True):
    """Starts the program, presses Return on every box it shows (again if one is
    still up seconds later), waits for it to end. The program's windows are
    followed through the X server's events, not by polling."""
    appear_timeout, exit_timeout = scaled(appear_timeout), scaled(exit_timeout)
    os.makedirs(log_dir, exist_ok=True)
    out_path, err_path = os.path.join(log_dir, "stdout"), os.path.join(log_dir, "stderr")
    res = BoxRun()
    watcher = WindowWatcher(display)
    try:
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            t0 = time.monotonic()
            p = procs.start(argv, env, stdout=out, stderr=err)
            deadline = t0 + appear_timeout
            up = {}  # its boxes on screen: window id -> when Return was last pressed there
            while p.poll() is None:
                for t, kind, wid in watcher.events(0.2):
                    if kind == "unmap":
                        up.pop(wid, None)
                    elif window_pid(display, wid) == p.pid:
                        if res.first_box_s is None:
                            res.first_box_s = t - t0
                            deadline = time.monotonic() + exit_timeout
                        res.boxes.append((wid, window_name(display, wid)))
                        up[wid] = -1e9
                now = time.monotonic()
                for wid, pressed in list(up.items()):
                    if press and now - pressed > scaled(3) and p.poll() is None:
                        press_return(display, wid)
                        up[wid] = time.monotonic()
                if now > deadline and p.poll() is None:
                    res.killed = True
                    Procs.end(p)
            res.exit_code = p.returncode
    finally:
        watcher.close()
    res.stdout = open(out_path, "rb").read()
    res.stderr = open(err_path, "rb").read()
    res.calls, res.program_stderr, res.wine_pid = parse_relay(res.stderr)
    return res
