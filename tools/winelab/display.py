# Private Xvfb displays, for one job or a session, what the X server says of the
# windows mapped there, and what the workbench does on them with xdotool: read a
# window's pid and title, press OK; and which keys are held.
import ctypes
import os
import select
import subprocess
import time

from .common import HarnessError, scaled
from .lifetime import end


XVFB = "Xvfb"
# By its soname: finding it through ctypes.util costs seconds under emulation.
LIBX11 = "libX11.so.6"


class Display:
    """A private Xvfb; -displayfd lets the server pick a free number. `detached`: in a
    group of its own, so it outlives the job that starts it (a session's)."""

    def __init__(self, size="1024x768x24", detached=False, log=None):
        r, w = os.pipe()
        try:
            with open(log or os.devnull, "ab") as out:
                self.proc = subprocess.Popen([XVFB, "-displayfd", str(w), "-screen", "0", size, "-nolisten", "tcp",
                                              "-noreset"], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                             pass_fds=(w,), start_new_session=detached)
        finally:
            os.close(w)
        self.name = _read_display(r, lambda: self.proc.poll() is None)

    def close(self):
        end(self.proc.pid, grace=2)


def _read_display(r, running):
    """The display name Xvfb writes to the -displayfd pipe once it serves."""
    deadline = time.monotonic() + scaled(20)
    data = b""
    os.set_blocking(r, False)
    try:
        while not data.endswith(b"\n"):
            if time.monotonic() > deadline or not running():
                raise HarnessError("Xvfb did not start (is the xvfb package installed?)")
            try:
                chunk = os.read(r, 64)
                if chunk:
                    data += chunk
                    continue
            except BlockingIOError:
                pass
            time.sleep(0.05)
    finally:
        os.close(r)
    return ":" + data.decode().strip()


def open_x(display):
    """libX11 and a connection to the display, or an error saying whether its
    socket is there."""
    x = ctypes.CDLL(LIBX11)
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        sock = f"/tmp/.X11-unix/X{display.lstrip(':').split('.')[0]}"
        raise HarnessError(f"cannot open display {display} (its socket {sock} "
                           f"{'is there' if os.path.exists(sock) else 'is gone'})")
    return x, dpy


class WindowWatcher:
    """The top-level windows the X server maps and unmaps, as it reports them,
    timestamped on arrival: waiting costs nothing, where polling xdotool would
    start a program several times a second (under emulation, most of a core)."""
    MAP, UNMAP, DESTROY = 19, 18, 17
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19

    def __init__(self, display):
        self.x, self.dpy = open_x(display)
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        for f in ("XConnectionNumber", "XPending", "XFlush"):
            getattr(self.x, f).argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.x.XSelectInput(self.dpy, self.x.XDefaultRootWindow(self.dpy), self.SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.dpy)
        self.fd = self.x.XConnectionNumber(self.dpy)
        self.event = (ctypes.c_long * 24)()

    def events(self, timeout):
        """Yields (monotonic time, 'map' or 'unmap', window id) until timeout."""
        kinds = {self.MAP: "map", self.UNMAP: "unmap", self.DESTROY: "unmap"}
        deadline = time.monotonic() + timeout
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, ctypes.byref(self.event))
                kind = kinds.get(self.event[0] & 0xFFFFFFFF)
                if kind:
                    yield time.monotonic(), kind, self.event[5]  # the event's window
            left = deadline - time.monotonic()
            if left <= 0:
                return
            select.select([self.fd], [], [], left)

    def drain(self):
        for _ in self.events(0):
            pass

    def close(self):
        self.x.XCloseDisplay(self.dpy)


def window_pid(display, wid):
    """The pid Wine set on a window (_NET_WM_PID), or None."""
    out = xdotool(display, "getwindowpid", str(wid)).stdout.strip()
    return int(out) if out.isdigit() else None


def xdotool(display, *args, timeout=10):
    env = dict(os.environ, DISPLAY=display)
    try:
        return subprocess.run(["xdotool", *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=scaled(timeout))
    except subprocess.TimeoutExpired:
        raise HarnessError(f"xdotool {' '.join(args)} hung")


def window_name(display, wid):
    return xdotool(display, "getwindowname", str(wid)).stdout.rstrip(b"\n").decode("utf-8", "replace")


def held_keys(display):
    """Names of the keys the display's server holds down: a key left held repeats
    into every later window of the display."""
    x11, dpy = open_x(display)
    x11.XkbKeycodeToKeysym.restype = ctypes.c_ulong
    x11.XkbKeycodeToKeysym.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int, ctypes.c_int]
    x11.XKeysymToString.restype = ctypes.c_char_p
    x11.XQueryKeymap.argtypes = [ctypes.c_void_p, ctypes.c_char * 32]
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
