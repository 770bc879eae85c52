# One display and one Wine server per prefix, kept from the prefix's prepare
# step to the run's end: a fresh server starts Wine's own services with its
# first program, which under emulation cost most of a case. Both outlive the
# command that started them and are recorded in pid files, ended by pid.
import os

from .common import scaled
from .display import Display, end_stale_xvfb
from .procs import Procs, end_pid, owned_pid, write_pidfile
from .prefix import WINESERVER


class Session:
    def __init__(self, prefix, state_dir):
        self.prefix = prefix
        base = os.path.join(state_dir, f"session-{prefix.arch}")
        self.xvfb_pidfile, self.server_pidfile = base + ".xvfb.pid", base + ".server.pid"
        self.display_file = base + ".display"

    def display(self):
        """The display of this prefix's running session, or None."""
        if owned_pid(self.xvfb_pidfile) is None or owned_pid(self.server_pidfile) is None:
            return None
        try:
            return open(self.display_file).read().strip() or None
        except OSError:
            return None

    def ensure(self):
        return self.display() or self.start()

    def start(self):
        """Ends any session of this prefix, starts a new one; returns its display."""
        self.end()
        os.makedirs(os.path.dirname(self.display_file), exist_ok=True)
        procs = Procs()
        display = Display(procs, pidfile=self.xvfb_pidfile, detached=True).name
        # -p: the server stays when its last program ends, so the next case
        # finds Wine's services already running.
        server = procs.start([WINESERVER, "-f", "-p"], self.prefix.env(display), detached=True)
        write_pidfile(self.server_pidfile, server.pid)
        with open(self.display_file, "w") as f:
            f.write(display + "\n")
        return display

    def end(self):
        """Ends the server (and with it every program of the prefix; also a server
        an older run left without a pid file), then the display."""
        self.prefix.kill_server()
        pid = owned_pid(self.server_pidfile)  # one that outlived -k
        if pid is not None:
            end_pid(pid, grace=scaled(10))
        end_stale_xvfb(self.xvfb_pidfile)
        for f in (self.server_pidfile, self.display_file):
            if os.path.exists(f):
                os.unlink(f)
