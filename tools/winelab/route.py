# Where a Wine generation runs: on this machine when its kernel runs 32-bit
# code (the machine's own release directly, another in a root of its own
# entered through a private mount namespace), else in an emulated guest of
# that release. Callers see only Route: start and stop it, build on the host,
# run a workbench command where Wine runs, its wait scale, whether its timings
# are the tool's own, and one line saying which route it is and why.
import json
import os
import shlex
import subprocess
import sys

from . import cache, lease, room
from .common import REPO, STATE_ENV, WAIT_SCALE, HarnessError, Unavailable
from .generations import generation, host_release
from .guest import Guest
from .packages import ensure_packages, ensure_zh_locale, require
from .pids import end_pid, identity, is_alive
from .prefix import KEPT_ENV, PREFIXES, PREFIXES_GB, kept_name, wine_version
from .room import Need

ROUTE_ENV = "LANYUE_E2E_ROUTE"
SKIP = 77  # ctest's SKIP_RETURN_CODE for the Wine cases
NATIVE_PACKAGES = ("wine", "wine32:i386", "wine64", "xvfb", "xdotool")
GUEST_PACKAGES = ("qemu-system-x86", "mmdebstrap", "e2fsprogs")
ROOT_PACKAGES = ("mmdebstrap", "bubblewrap")
GUEST_SCALE = 6  # everything in the guest runs under emulation
KEPT_AT = "/run/lanyue-kept"  # where a root sees the folder its prefixes are kept in
# Every setting a workbench command reads from the environment, as the guest
# gets it: paths resolved here, on the host.
FORWARDED = {
    "LANYUE_E2E_EXE": os.path.abspath,
    "LANYUE_E2E_DIR": os.path.abspath,
}


class Skip(Exception):
    """No route can be had on this machine, by its nature: every Wine case is skipped."""


class Route:
    """Where Wine runs. `kind` and `reason` make its one line; forced routes never skip."""
    kind = None
    cpus = None               # the cores a guest gets (default: its boot script's)
    wait_scale = WAIT_SCALE   # the factor every wait of a command run there gets
    own_timings = True        # timings taken there are the tool's, not an emulator's
    ia32 = None               # what the probe said, where it was asked

    def __init__(self, reason, workdir, forced=False, release=None, shares=()):
        self.reason, self.workdir, self.forced = reason, workdir, forced
        self.release = release or host_release()
        self.shares = shares  # (host folder, read-only) a command there must see besides the repository

    def __str__(self):
        return f"{self.kind}, {generation(self.release)} ({self.reason})"

    def build_on_host(self, *steps):
        """What the commands need built, built here: the guest has no cross compiler."""
        for step in steps:
            step()

    def start(self):
        pass

    def room_needs(self):
        """(folder, GB, what) this route still needs on disk before it is up."""
        return []

    def run(self, argv, here, timeout):
        """Runs a workbench command where Wine runs: `here()` in this process, or
        argv (a Python script and its arguments) in the guest. Its exit code."""
        return here()

    def stop(self, grace=60):
        pass

    def save(self):
        os.makedirs(self.workdir, exist_ok=True)
        with open(os.path.join(self.workdir, "route.json"), "w") as f:
            json.dump({"name": self.kind, "reason": self.reason, "forced": self.forced,
                       "release": self.release}, f)

    def job_env(self):
        """Settings of this route's own for the commands it runs elsewhere."""
        return {}

    def kept_prefixes(self):
        """The cache folder where prefixes made on this route are kept for every work
        folder: those that run Wine on this machine keep them there."""
        folder = cache.make_marked(os.path.join(cache.cache_root(), f"prefixes-{self.release}-{self.kind}"))
        cache.mark_used(folder)
        return folder

    def kept_need(self, wine_root):
        """The room the kept copy of this route's prefixes takes until it is there."""
        folder = os.path.join(cache.cache_root(), f"prefixes-{self.release}-{self.kind}")
        version = wine_version(wine_root)
        done = [os.path.join(folder, kept_name(name, arch, version), "lanyue-ready")
                for arch, name in PREFIXES.items()] if version else []
        return Need(cache.cache_root(), PREFIXES_GB, f"keeping the {self.release} prefixes", [folder], done)

    def job_script(self, argv, state=None, holder=None, run_dir=None, kept=None):
        """A bash script running argv (a Python script and its arguments) with the
        forwarded settings, as the native route where it runs, in the same folder
        as here where that place has it (else the repository). `holder`: the pid
        whose life holds the leases the command takes there."""
        env = {k: fix(os.environ[k]) for k, fix in FORWARDED.items() if os.environ.get(k)}
        env.update({ROUTE_ENV: "native", "LANYUE_WAIT_SCALE": str(self.wait_scale)})
        if state:
            env[STATE_ENV] = state
        if holder:
            env[lease.HOLDER_ENV] = str(holder)
        if run_dir:
            env[lease.RUN_DIR_ENV] = run_dir
        env[KEPT_ENV] = kept or ""
        env.update(self.job_env())
        return (f"cd {shlex.quote(os.getcwd())} 2>/dev/null || cd {shlex.quote(REPO)}\n"
                + "".join(f"export {k}={shlex.quote(v)}\n" for k, v in sorted(env.items()))
                + "exec /usr/bin/python3 " + " ".join(shlex.quote(a) for a in argv) + "\n")


class NativeRoute(Route):
    kind = "native"

    def start(self):
        require(NATIVE_PACKAGES, "Wine")
        ensure_zh_locale()

    def room_needs(self):
        return [self.kept_need("/")]

    def run(self, argv, here, timeout):
        # A command that another route runs here is told where (not) to keep prefixes.
        if KEPT_ENV not in os.environ:
            os.environ[KEPT_ENV] = self.kept_prefixes()
        return here()


class RootRoute(Route):
    """Another release's Wine on this machine: the same command, run in that
    release's root (built once, cached) through bwrap, in a mount namespace of
    its own, so nothing is ever mounted on this machine. The repository
    (read-only) and the shares appear at their own paths; /tmp is a folder of
    the work folder's, so the display and Wine server of one command are found
    by the next."""
    kind = "root"

    def start(self):
        require(ROOT_PACKAGES, f"a {self.release} root")
        cache.build_image(self.release, "root")

    def room_needs(self):
        built = cache.image_ready(self.release, "root")
        return [cache.build_need(self.release, "root", f"building the {self.release} root"),
                self.kept_need(os.path.join(cache.image_dir(self.release, "root"), "rootfs") if built else None)]

    def root(self):
        """The root start() built; a command never builds one."""
        if not cache.image_ready(self.release, "root"):
            raise HarnessError(f"no {self.release} root built: run `tests/e2e/run-e2e start` first")
        folder = cache.image_dir(self.release, "root")
        cache.mark_used(folder)
        return os.path.join(folder, "rootfs")

    def bwrap_argv(self, script):
        """The root itself is bound read-only, entry by entry over an empty tmpfs, so
        the repository and the work folder can appear at their own paths; a command's
        writable places are the work folder's: its /tmp (where the next command finds
        the display and the Wine server), /var/tmp and home, and a tmpfs /run."""
        root = self.root()
        places = {"/tmp": "root-tmp", "/var/tmp": "root-var-tmp", "/root": "root-home"}
        argv = ["bwrap", "--tmpfs", "/"]
        for name in sorted(os.listdir(root)):
            path, there = os.path.join(root, name), "/" + name
            if os.path.islink(path):
                argv += ["--symlink", os.readlink(path), there]
            elif there in places or name in ("dev", "proc", "run"):
                continue
            elif os.path.isdir(path) and not os.listdir(path):
                argv += ["--dir", there]  # empty (home, srv, ...): a place to show folders at
            else:
                argv += ["--ro-bind", path, there]
        argv += ["--dev", "/dev", "--proc", "/proc", "--tmpfs", "/dev/shm", "--tmpfs", "/run"]
        for there, name in places.items():
            folder = os.path.join(self.workdir, name)
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o700 if there == "/root" else 0o1777)
            argv += ["--bind", folder, there]
        leases = lease.run_dir()
        argv += ["--bind", leases, leases, "--ro-bind", REPO, REPO, "--bind", self.workdir, self.workdir,
                 "--bind", self.kept_prefixes(), KEPT_AT]
        for path, ro in self.shares:
            argv += ["--ro-bind" if ro else "--bind", path, path]
        return argv + ["--die-with-parent", "--", "/bin/bash", "-c", script]

    def run(self, argv, here, timeout):
        # As in the guest, the command gets the forwarded settings and nothing else of ours.
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"}
        # Its sessions are held by what holds this step: they outlive the command.
        script = self.job_script(argv, holder=lease.holder_pid(), run_dir=lease.run_dir(), kept=KEPT_AT)
        with open(os.devnull) as null:
            p = subprocess.Popen(self.bwrap_argv(script), stdin=null, env=env)
        try:
            return p.wait(timeout=timeout)
        except BaseException:
            end_pid(p.pid, grace=20)
            p.wait()
            raise


class NoRoute(Route):
    kind = "none"
    own_timings = False

    def run(self, argv, here, timeout):
        raise Skip(f"Wine cannot run here: {self.reason}")


class GuestRoute(Route):
    """The same command, run natively in the emulated guest: the repository
    (read-only), the work folder and any extra folders are shared at their
    host paths, and machine-local state stays on the guest's own disk."""
    kind = "guest"
    wait_scale = GUEST_SCALE * WAIT_SCALE
    own_timings = False

    def __init__(self, reason, workdir, forced=False, release=None, shares=()):
        super().__init__(reason, workdir, forced, release, shares)
        self.guest = Guest(os.path.join(workdir, "guest"))

    def start(self):
        require(GUEST_PACKAGES, "the emulator")
        layer = cache.build_prefixes(self.release, self.make_prefixes)
        shares = [("repo", REPO, True)]
        shares += [(f"share{i}", p, ro) for i, (p, ro) in enumerate(self.shares)]
        self.guest.boot(shares, self.release, os.path.join(layer, "prefixes.img"), cpus=self.cpus)

    def make_prefixes(self, disk):
        """Boots a guest of its own with the empty prefixes disk writable, makes the
        prefixes on it there, and powers it off."""
        maker = Guest(os.path.join(self.workdir, "guest-prefixes"))
        print(f"making the {self.release} guest's prefixes (once per image and prefix recipe) ...")
        maker.boot([("repo", REPO, True)], self.release, disk, keep=True, cpus=self.cpus)
        try:
            code = (f"import sys; sys.path.insert(0, {os.path.join(REPO, 'tools')!r}); "
                    f"import winelab; winelab.make_prefixes('/var/lanyue')")
            rc = maker.run(self.job_script(["-c", code], state="/var/lanyue", holder=1), timeout=2400)
            if rc != 0:
                raise HarnessError(f"making the {self.release} guest's prefixes failed ({rc})")
        finally:
            maker.stop()

    def room_needs(self):
        needs = [cache.build_need(self.release, kind, f"building the {self.release} guest's {what}")
                 for kind, what in (("guest", "image"), ("prefixes", "prefixes"))]
        if self.guest.pid() is None:  # its snapshot's overlay, for as long as the run
            needs.append(Need(cache.cache_root(), cache.OVERLAY_GB, f"the {self.release} guest's writes",
                              [os.path.join(self.workdir, "guest")]))
        return needs

    def run(self, argv, here, timeout):
        # Machine-local state stays on the guest's own disk; its sessions live as long as the guest.
        return self.guest.run(self.job_script(argv, state="/var/lanyue", holder=1), timeout=timeout)

    def job_env(self):
        # Under emulation, compiling the workbench anew for every command costs seconds.
        return {"PYTHONPYCACHEPREFIX": "/var/lanyue/pycache"}

    def stop(self, grace=60):
        self.guest.stop(grace)


# The harness's own tests tell the route choice what the probe says, so that each
# of their rows takes the route it names on every kind of machine.
TOLD_IA32 = None


def ia32_answer(bin_dir):
    """What tools/ia32_probe.c, a 64-bit program that enters 32-bit code, says: 'yes' or 'no: why'."""
    if TOLD_IA32 is not None:
        return TOLD_IA32
    source = os.path.join(REPO, "tools", "ia32_probe.c")
    probe = os.path.join(bin_dir, "ia32_probe")
    if not (os.path.exists(probe) and os.path.getmtime(probe) >= os.path.getmtime(source)):
        if not ensure_packages("gcc", "libc6-dev"):
            raise HarnessError("gcc is needed to build the 32-bit probe")
        os.makedirs(bin_dir, exist_ok=True)
        # -no-pie: the code must sit below 4 GB to be reachable from 32-bit code.
        # A name of this process's own: the other generation's start may build it too.
        tmp = f"{probe}.{os.getpid()}.tmp"
        cp = subprocess.run(["gcc", "-O2", "-static", "-no-pie", "-o", tmp, source],
                            capture_output=True, text=True)
        if cp.returncode != 0:
            raise HarnessError(f"building the 32-bit probe failed:\n{cp.stderr}")
        os.replace(tmp, probe)
    try:
        cp = subprocess.run([probe], capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return "no: the 32-bit probe hung"
    return cp.stdout.strip() or f"no: the probe ended with status {cp.returncode}"


def choose_route(workdir, shares=(), release=None, ia32=None):
    """For a release's Wine (default: this machine's): natively where this kernel
    runs 32-bit code, directly or in that release's root; a guest of that release
    otherwise. LANYUE_E2E_ROUTE forces native or guest. `shares`: (host folder,
    read-only) commands must see besides the repository; `ia32`: the probe's answer,
    when asked already. Installs nothing: start() does."""
    release = release or host_release()
    generation(release)
    native = NativeRoute if release == host_release() else RootRoute
    forced = os.environ.get(ROUTE_ENV)
    if forced == "native":
        return native(f"{ROUTE_ENV}=native", workdir, True, release, shares)
    if forced == "guest":
        return GuestRoute(f"{ROUTE_ENV}=guest", workdir, True, release, shares)
    if forced:
        raise HarnessError(f"{ROUTE_ENV} must be native or guest, not {forced!r}")
    answer = ia32 or ia32_answer(os.path.join(workdir, "bin"))
    if answer == "yes":
        route = native("this kernel runs 32-bit x86 code", workdir, False, release, shares)
    else:
        route = GuestRoute(f"this kernel runs no 32-bit x86 code ({answer})", workdir, False, release, shares)
    route.ia32 = answer
    return route


def bring_up(route, builds=(), needs=(), others=()):
    """Ends what an earlier run left, reserves the disk room this generation will
    write (the route's own needs and `needs`: room.Need), counting what the run's
    other generations will (`others`), builds on the host, starts the route and
    records it for later commands. A route this machine cannot have by nature
    raises Skip, unless it was forced: then, as every other cause (no room among
    them), HarnessError."""
    lease.sweep()
    Guest(os.path.join(route.workdir, "guest")).stop()  # one an earlier run of this folder left
    print(f"route: {route}")
    sys.stdout.flush()
    route.save()
    with cache.lock():
        cache.prune(keep=[cache.image_dir(r, k) for r in cache.releases_in_use() for k in cache.BUILT])
        # The room is the run's: reserved for as long as what holds its leases lives.
        room.reserve(cache.cache_root(), identity(lease.holder_pid()), is_alive, route.workdir,
                     route.room_needs() + list(needs), list(others))
    route.build_on_host(*builds)
    try:
        route.start()
    except Unavailable as e:
        if route.forced:
            raise HarnessError(f"the forced {route.kind} route cannot be had: {e}")
        NoRoute(f"{route.reason}, but {e}", route.workdir).save()
        raise Skip(f"Wine cannot run here: {route.reason}, but {e}")
    return route


def saved_route(workdir, shares=()):
    """The route the start step took (inside the guest: native, here)."""
    if os.environ.get(ROUTE_ENV) == "native":
        return NativeRoute(f"{ROUTE_ENV}=native", workdir, forced=True)
    try:
        saved = json.load(open(os.path.join(workdir, "route.json")))
    except (OSError, ValueError):
        raise HarnessError(f"no route chosen yet for {workdir}: run `tests/e2e/run-e2e start` first")
    kinds = {"native": NativeRoute, "root": RootRoute, "guest": GuestRoute, "none": NoRoute}
    return kinds[saved["name"]](saved["reason"], workdir, saved.get("forced", False),
                                saved.get("release"), shares)
