# Private Xvfb displays and what the workbench does on them with xdotool:
# find a program's visible windows, read a title, press OK. A display's pid
# file lets a later run end an Xvfb that a killed run left, once it is proven ours.
import ctypes
import ctypes.util
import os
import subprocess
import time

from .common import HarnessError, scaled
from .procs import Procs, end_pid, owned_pid, write_pidfile


class Display:
    """A private Xvfb; -displayfd lets the server pick a free number."""

    def __init__(self, procs, pidfile=None, size="1024x768x24", detached=False):
        r, w = os.pipe()
        self.proc = procs.start(["Xvfb", "-displayfd", str(w), "-screen", "0", size,
                                 "-nolisten", "tcp", "-noreset"], env=os.environ.copy(),
                                pass_fds=(w,), detached=detached)
        os.close(w)
        deadline = time.monotonic() + scaled(20)
        data = b""
        os.set_blocking(r, False)
        while not data.endswith(b"\n"):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                os.close(r)
                raise HarnessError("Xvfb did not start (is the xvfb package installed?)")
            try:
                chunk = os.read(r, 64)
                if chunk:
                    data += chunk
                    continue
            except BlockingIOError:
                pass
            time.sleep(0.05)
        os.close(r)
        self.name = ":" + data.decode().strip()
        if pidfile:
            write_pidfile(pidfile, self.proc.pid)
        self.pidfile = pidfile

    def close(self):
        Procs.end(self.proc)
        if self.pidfile and os.path.exists(self.pidfile):
            os.unlink(self.pidfile)


def end_stale_xvfb(pidfile):
    """Ends an Xvfb left by a run that was killed outright, if the pid is still that one."""
    pid = owned_pid(pidfile)
    if pid is not None:
        end_pid(pid, grace=scaled(2))
    try:
        os.unlink(pidfile)
    except OSError:
        pass


def xdotool(display, *args, timeout=10):
    env = dict(os.environ, DISPLAY=display)
    try:
        return subprocess.run(["xdotool", *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=scaled(timeout))
    except subprocess.TimeoutExpired:
        raise HarnessError(f"xdotool {' '.join(args)} hung")


def visible_windows(display, pid):
    cp = xdotool(display, "search", "--onlyvisible", "--pid", str(pid))
    return [int(x) for x in cp.stdout.split()] if cp.returncode == 0 else []


def window_name(display, wid):
    return xdotool(display, "getwindowname", str(wid)).stdout.rstrip(b"\n").decode("utf-8", "replace")


def held_keys(display):
    """Names of the keys the display's server holds down: a key left held repeats
    into every later window of the display."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XkbKeycodeToKeysym.restype = ctypes.c_ulong
    x11.XkbKeycodeToKeysym.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int, ctypes.c_int]
    x11.XKeysymToString.restype = ctypes.c_char_p
    x11.XQueryKeymap.argtypes = [ctypes.c_void_p, ctypes.c_char * 32]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise HarnessError(f"cannot open display {display}")
    try:
        keys = (ctypes.c_char * 32)()
        x11.XQueryKeymap(dpy, keys)
        codes = [i * 8 + b for i, byte in enumerate(keys.raw) for b in range(8) if byte >> b & 1]
        names = [x11.XKeysymToString(x11.XkbKeycodeToKeysym(dpy, c, 0, 0)) for c in codes]
    finally:
        x11.XCloseDisplay(dpy)
    return [n.decode() if n else f"keycode {c}" for c, n in zip(codes, names)]


def press_return(display, wid):
    # With no window manager nothing gives the box the focus its OK button needs.
    xdotool(display, "windowfocus", "--sync", str(wid), "key", "--window", str(wid), "Return")
    # Wine 10 can close the box on the press, before xdotool sends the release;
    # xdotool then stops on BadWindow with Return held, and autorepeat would press
    # OK on every later box of the display. Release it wherever the focus is.
    xdotool(display, "keyup", "Return")
