# Running Win32 programs under Wine: the small C helpers built with MinGW on
# the host, and a GUI program run until every box it shows has been closed,
# with its relay log parsed.
import os
import shutil
import subprocess
import time

from .common import HarnessError, scaled
from .display import press_return, visible_windows, window_name
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
    argv = [mingw_gcc(), "-O2", "-s", "-Wall", "-Werror", "-o", out + ".tmp", source]
    argv += ["-mwindows"] if gui else []
    argv += [f"-l{lib}" for lib in libs]
    cp = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if cp.returncode != 0:
        raise HarnessError(f"building {os.path.basename(source)} failed:\n{cp.stderr}")
    os.replace(out + ".tmp", out)
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
    """Starts the program, presses Return on every box it shows, waits for it to end."""
    appear_timeout, exit_timeout = scaled(appear_timeout), scaled(exit_timeout)
    os.makedirs(log_dir, exist_ok=True)
    out_path, err_path = os.path.join(log_dir, "stdout"), os.path.join(log_dir, "stderr")
    res = BoxRun()
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        t0 = time.monotonic()
        p = procs.start(argv, env, stdout=out, stderr=err)
        seen = {}
        deadline = t0 + appear_timeout
        pressed_at = {}
        while True:
            alive = p.poll() is None
            for wid in visible_windows(display, p.pid) if alive else []:
                if wid not in seen:
                    if res.first_box_s is None:
                        res.first_box_s = time.monotonic() - t0
                        deadline = time.monotonic() + exit_timeout
                        time.sleep(scaled(0.3))  # let a second, concurrent box surface too
                    seen[wid] = window_name(display, wid)
                    res.boxes.append((wid, seen[wid]))
                if press and time.monotonic() - pressed_at.get(wid, -1e9) > scaled(3):
                    press_return(display, wid)
                    pressed_at[wid] = time.monotonic()
            if not alive:
                break
            if time.monotonic() > deadline:
                res.killed = True
                Procs.end(p)
                break
            time.sleep(0.05)
        res.exit_code = p.returncode
    res.stdout = open(out_path, "rb").read()
    res.stderr = open(err_path, "rb").read()
    res.calls, res.program_stderr, res.wine_pid = parse_relay(res.stderr)
    return res
