# A GUI program under Wine run until every box it shows has been closed: the one
# loop that follows a program's boxes, for the suite, the benchmark and
# try-under-wine, with the program's output kept.
import os
import time

from .common import scaled
from .display import WindowWatcher, press_return, window_name, window_pid
from .lifetime import end


class BoxRun:
    """Outcome of one run of a GUI program that shows message boxes."""

    def __init__(self):
        self.exit_code = None
        self.boxes = []          # (window id, title) in the order they appeared
        self.killed = False
        self.stdout = b""
        self.stderr = b""
        self.first_box_s = None  # from its start to its first box on screen


def run_until_boxes_closed(procs, argv, env, display, log_dir, appear_timeout=60, exit_timeout=30,
                           watcher=None, on_box=None):
    """Starts the program, presses Return on every box it shows (again if one is
    still up seconds later), waits for it to end. The program's windows are
    followed through the X server's events, not by polling. on_box(window id,
    title) runs before a box's first press (a screenshot, say)."""
    appear_timeout, exit_timeout = scaled(appear_timeout), scaled(exit_timeout)
    os.makedirs(log_dir, exist_ok=True)
    out_path, err_path = os.path.join(log_dir, "stdout"), os.path.join(log_dir, "stderr")
    res = BoxRun()
    own = watcher is None
    watcher = watcher or WindowWatcher(display)
    try:
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            watcher.drain()
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
                        if on_box:
                            on_box(*res.boxes[-1])
                        up[wid] = -1e9
                now = time.monotonic()
                for wid, pressed in list(up.items()):
                    if now - pressed > scaled(3) and p.poll() is None:
                        press_return(display, wid)
                        up[wid] = time.monotonic()
                if now > deadline and p.poll() is None:
                    res.killed = True
                    end(p.pid, grace=2)
            res.exit_code = p.wait()
            procs.live.remove(p)
    finally:
        if own:
            watcher.close()
    res.stdout = open(out_path, "rb").read()
    res.stderr = open(err_path, "rb").read()
    return res
