# Where a Wine generation runs: on this machine when its kernel runs 32-bit
# code (the machine's own release directly, another in a read-only root of its
# own), else in an emulated guest of that release. A route only says what it
# needs (packages, an image or root, disk room) and how to start a runner (see
# runner.py) for a work folder; every other piece of code talks to that runner
# the same way, whatever the route.
import json
import os
import subprocess
import sys

from . import cache, room
from .common import REPO, HarnessError, Unavailable, scaled
from .generations import GENERATIONS, generation, host_release
from .lifetime import end, parent_pidfd
from .packages import ensure_zh_locale, require
from .prefix import KEPT_ENV, PREFIXES, PREFIXES_GB, kept_name, wine_version
from .room import Need
from .runner import Client

ROUTE_ENV = "LANYUE_E2E_ROUTE"
SKIP = 77  # ctest's SKIP_RETURN_CODE for the Wine cases
RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "runner.py")
KEPT_AT = "/run/lanyue-kept"  # where a root sees the folder its prefixes are kept in
# The harness's own tests tell the route choice what the probe says, so that each
# of their rows takes the route it names on every kind of machine.
TOLD_IA32 = None


class Skip(Exception):
    """No route can be had on this machine, by its nature: every Wine case is skipped."""


class Route:
    """Where Wine runs. `kind` and `reason` make its one line; forced routes never skip."""
    kind, packages = "none", ()
    emulated = 1           # how much slower everything runs there than here
    own_timings = True     # timings taken there are the tool's, not an emulator's

    def __init__(self, reason, workdir, forced=False, release=None, shares=()):
        self.reason, self.workdir, self.forced = reason, workdir, forced
        self.release = release or host_release()
        self.shares = shares  # (host folder, read-only) a job there must see besides the repository
        self.ia32 = None      # what the probe said, where it was asked
        self.cpus = None      # the cores a guest gets (default: its boot script's)
        self.agent = None     # the case agent, where prefixes are made before the run (a guest's)

    def __str__(self):
        return f"{self.kind}, {generation(self.release)} ({self.reason})"

    @property
    def wait_scale(self):
        return scaled(self.emulated)

    def room_needs(self):
        """room.Need: what this route will write before its prefixes are made."""
        return [self.kept_need("/")]

    def prepare_host(self):
        """What the runner needs on this machine first: packages, an image or root."""
        require(self.packages, f"the {self.kind} route")
        ensure_zh_locale()

    def runner_argv(self, args):
        """How to start runner.py (with `args`) as the first process of a PID
        namespace of its own, with a tmpfs /run of its own; and its environment."""
        ns = ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc"]
        ns[1:1] = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
        return ns + ["sh", "-c", 'mount -t tmpfs -o mode=755 tmpfs /run && exec "$@"', "runner", sys.executable,
                     RUNNER, *args], dict(os.environ, LANYUE_WAIT_SCALE=str(self.wait_scale), **self.runner_env())

    def runner_env(self):
        return {KEPT_ENV: self.kept_prefixes()}

    def kept_folder(self):
        return os.path.join(cache.cache_root(), f"prefixes-{self.release}-{self.kind}")

    def kept_prefixes(self):
        """The cache folder where prefixes made on this route are kept for every work folder."""
        return cache.mark_used(cache.make_marked(self.kept_folder()))

    def kept_need(self, wine_root):
        """The room the kept copy of this route's prefixes takes until it is there."""
        version = wine_version(wine_root)
        done = [os.path.join(self.kept_folder(), kept_name(name, arch, version), "lanyue-ready")
                for arch, name in PREFIXES.items()] if version else []
        return Need(cache.cache_root(), PREFIXES_GB, f"keeping the {self.release} prefixes", [self.kept_folder()], done)


class NativeRoute(Route):
    kind, packages = "native", ("wine", "wine32:i386", "wine64", "xvfb", "xdotool")


class RootRoute(Route):
    """Another release's Wine on this machine, in that release's root (built once,
    cached), entered through bwrap: the root itself read-only, the repository
    read-only and the work folder and shares at their own paths, the run's
    writable places (/tmp, /var/tmp, /root, /run) tmpfs of its own."""
    kind, packages = "root", ("mmdebstrap", "bubblewrap")

    def prepare_host(self):
        require(self.packages, f"a {self.release} root")
        cache.build_image(self.release, "root")

    def room_needs(self):
        built = cache.image_ready(self.release, "root")
        return [cache.build_need(self.release, "root", f"building the {self.release} root"),
                self.kept_need(self.root() if built else None)]

    def root(self):
        return os.path.join(cache.image_dir(self.release, "root"), "rootfs")

    def runner_argv(self, args):
        root = self.root()
        if not os.path.isfile(os.path.join(root, "usr", "bin", "python3")):  # what the runner runs on
            raise HarnessError(f"no {self.release} root built at {root}: run `tests/e2e/run-e2e start` first")
        cache.mark_used(os.path.dirname(root))
        writable = ("/tmp", "/var/tmp", "/root", "/run")
        argv = ["bwrap", "--tmpfs", "/"]
        for name in sorted(os.listdir(root)):
            path, there = os.path.join(root, name), "/" + name
            if os.path.islink(path):
                argv += ["--symlink", os.readlink(path), there]
            elif os.path.isdir(path) and not os.listdir(path):  # home, srv...: a place to show folders at
                argv += ["--dir", there]
            elif there not in writable + ("/dev", "/proc"):
                argv += ["--ro-bind", path, there]
        argv += ["--dev", "/dev", "--proc", "/proc", "--tmpfs", "/dev/shm"]
        argv += [a for place in writable for a in ("--tmpfs", place)]
        argv += ["--ro-bind", REPO, REPO, "--bind", self.workdir, self.workdir, "--bind", self.kept_prefixes(), KEPT_AT]
        argv += [a for path, ro in self.shares if path != self.workdir
                 for a in ("--ro-bind" if ro else "--bind", path, path)]
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8",
               "LANYUE_WAIT_SCALE": str(self.wait_scale), KEPT_ENV: KEPT_AT}
        return argv + ["--unshare-pid", "--as-pid-1", "--", "/usr/bin/python3", RUNNER, *args], env


class GuestRoute(Route):
    """The same jobs, run natively in an emulated guest whose first process is its
    runner; the runner here boots it and hands every job on to it. The repository
    (read-only), the work folder and the shares are shared at their host paths."""
    kind, packages = "guest", ("qemu-system-x86", "mmdebstrap", "e2fsprogs")
    emulated, own_timings = 6, False  # everything in the guest runs under emulation

    def prepare_host(self):
        from . import guest
        require(self.packages, "the emulator")
        cache.build_image(self.release)
        cache.build_prefixes(self.release, lambda disk: guest.make_prefixes(self, disk))

    def room_needs(self):
        needs = [cache.build_need(self.release, kind, f"building the {self.release} guest's {what}")
                 for kind, what in (("guest", "image"), ("prefixes", "prefixes"))]
        return needs + [Need(cache.cache_root(), cache.OVERLAY_GB, f"the {self.release} guest's writes",
                             [os.path.join(self.workdir, "guest")])]  # its snapshot's, for the run

    def runner_argv(self, args, disk=None, keep=False, folder=None):
        """A runner here that boots the guest, with the prefixes disk `disk` (kept
        changed when `keep`), and hands every job on to the guest's runner."""
        from . import guest
        plan = guest.plan(self, disk or os.path.join(cache.image_dir(self.release, "prefixes"), "prefixes.img"),
                          keep, folder or os.path.join(self.workdir, "guest"))
        relay = [os.path.dirname(os.path.dirname(RUNNER)), "winelab.guest", "relay", json.dumps(plan)]
        return super().runner_argv([*args, json.dumps(relay)])

    def runner_env(self):
        return {}


def start_runner(route, watch=None, workdir=None, hold=(), **how):
    """Starts the route's runner for the work folder (ending one an earlier run
    left), alive until `watch` (a pidfd; default: this step's parent) ends or it
    is told to stop, holding the open files `hold` for as long; returns once it
    takes jobs."""
    workdir = workdir or route.workdir
    stop_runner(workdir)
    watch = parent_pidfd() if watch is None else watch
    ready_r, ready_w = os.pipe()
    argv, env = route.runner_argv([workdir, str(watch), str(ready_w)], **how)
    os.makedirs(workdir, exist_ok=True)
    log = os.path.join(workdir, "runner.log")  # not this step's output: ctest would wait for it to close
    with open(log, "wb") as out:  # a session of its own: ctest's Ctrl-C, or its end of this step, stays out
        p = subprocess.Popen(argv, env=env, pass_fds=(watch, ready_w, *(f.fileno() for f in hold)),
                             start_new_session=True,
                             stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    os.close(ready_w)
    with os.fdopen(ready_r) as ready:  # "ready", or why not: then it ends, and so does the pipe
        said = ready.readline().strip()
        said = said if said == "ready" else (said + "\n" + ready.read()).strip()
    sys.stdout.write(open(log, errors="replace").read())
    if said != "ready":
        end(p.pid)
        raise HarnessError(f"the {route.kind} route's runner did not start: {said or 'it ended'}")
    return p


def stop_runner(workdir):
    """Tells the work folder's runner, if one runs, to end the run; returns once it has."""
    try:
        Client(workdir).stop()
    except HarnessError as e:
        if "no runner" not in str(e):
            raise


def ia32_answer(probe):
    """What the 32-bit probe (tools/ia32_probe.c, built by CMake) says: 'yes' or 'no: why'."""
    if TOLD_IA32 is not None:
        return TOLD_IA32
    if not os.path.isfile(probe or ""):
        raise HarnessError(f"no 32-bit probe at {probe}: build the host preset first")
    try:
        cp = subprocess.run([probe], capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return "no: the 32-bit probe hung"
    return cp.stdout.strip() or f"no: the probe ended with status {cp.returncode}"


def choose_route(workdir, probe, shares=(), release=None, ia32=None):
    """For a release's Wine (default: this machine's): natively where this kernel
    runs 32-bit code, directly or in that release's root; a guest of that release
    otherwise. LANYUE_E2E_ROUTE forces native or guest. `shares`: (host folder,
    read-only) jobs must see besides the repository; `ia32`: the probe's answer,
    when asked already. Installs nothing: bring_up() does."""
    release = release or host_release()
    generation(release)
    native = NativeRoute if release == host_release() else RootRoute
    forced = os.environ.get(ROUTE_ENV)
    if forced not in (None, "", "native", "guest"):
        raise HarnessError(f"{ROUTE_ENV} must be native or guest, not {forced!r}")
    answer = None if forced else ia32 or ia32_answer(probe)
    kind = native if forced == "native" or answer == "yes" else GuestRoute
    reason = f"{ROUTE_ENV}={forced}" if forced else "this kernel runs 32-bit x86 code" if answer == "yes" \
        else f"this kernel runs no 32-bit x86 code ({answer})"
    route = kind(reason, workdir, bool(forced), release, shares)
    route.ia32 = answer
    return route


def bring_up(route, needs=(), others=()):
    """Reserves the disk room this generation will write (the route's own needs
    and `needs`: room.Need), counting what the run's other generations will
    (`others`), readies this machine and starts the route's runner. A route this
    machine cannot have by nature raises Skip, unless it was forced: then, as
    every other cause (no room among them), HarnessError."""
    print(f"route: {route}")
    sys.stdout.flush()
    save(route.workdir, route.kind, route.reason, route.release)
    stop_runner(route.workdir)  # an earlier run of this work folder's
    with cache.lock():
        cache.prune(keep=[cache.image_dir(r, k) for r in GENERATIONS for k in cache.BUILT])
        reservation = room.reserve(cache.cache_root(), route.workdir, route.room_needs() + list(needs), list(others))
    with reservation:  # held by this step, then by the runner, for as long as the run
        try:
            route.prepare_host()
        except Unavailable as e:
            if route.forced:
                raise HarnessError(f"the forced {route.kind} route cannot be had: {e}")
            save(route.workdir, "none", f"{route.reason}, but {e}", route.release)
            raise Skip(f"Wine cannot run here: {route.reason}, but {e}")
        start_runner(route, hold=[reservation])
    return route


def save(workdir, kind, reason, release):
    """The route the start step took, for the later steps and test.sh's summary."""
    os.makedirs(workdir, exist_ok=True)
    with open(os.path.join(workdir, "route.json"), "w") as f:
        json.dump({"name": kind, "reason": reason, "release": release}, f)


def saved_route(workdir):
    try:
        saved = json.load(open(os.path.join(workdir, "route.json")))
    except (OSError, ValueError):
        raise HarnessError(f"no route chosen yet for {workdir}: run `tests/e2e/run-e2e start` first")
    kinds = {r.kind: r for r in (NativeRoute, RootRoute, GuestRoute, Route)}
    return kinds[saved["name"]](saved["reason"], workdir, release=saved.get("release"))
