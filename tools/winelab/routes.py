# Where a generation's Wine runs: on this machine when its kernel runs 32-bit
# code (the machine's own release directly, another in a read-only root of its
# own), else in an emulated guest of that release. Each route runs the suite's
# in-wine script as one process tree that the kernel ends with the run:
# natively the first process of a PID namespace (unshare --kill-child), in a
# root under bwrap --unshare-pid --die-with-parent, in a guest as its job.
import functools
import os
import shlex
import shutil
import subprocess
import sys
import time

from . import cache, guest
from .common import REPO, HarnessError, die_with
from .generations import host_release
from .packages import ensure_zh_locale, require
from .room import Need

ROUTE_ENV = "LANYUE_E2E_ROUTE"
PREFIXES = ("prefix32", "prefix64")
# The harness's own tests tell the route choice what the probe says, so that each
# of their rows takes the route it names on every kind of machine.
TOLD_IA32 = None

# A run's own mounts, in a mount namespace of its own: a tmpfs /run holding the
# run folder at /run/lanyue and each kept prefix under an overlay whose writes
# stay in that tmpfs. So the kept prefixes are never written, and nothing of a
# run but its folder outlives it. Arguments: FOLDER KEPT|- CMD...
MOUNTS = r"""set -eu
folder=$1 kept=$2
shift 2
case $folder/ in /run/*) echo "a run folder under /run would be covered: $folder" >&2; exit 1 ;; esac
mount -t tmpfs -o mode=755 lanyue-run /run
mkdir /run/lanyue /run/rw
mount --bind "$folder" /run/lanyue
if [ "$kept" != - ]; then
    for p in prefix32 prefix64; do
        mkdir "/run/rw/$p" "/run/rw/$p.work" "/run/$p"
        mount -t overlay -o "lowerdir=$kept/$p,upperdir=/run/rw/$p,workdir=/run/rw/$p.work" "lanyue-$p" "/run/$p"
    done
fi
exec "$@"
"""


class Route:
    """Where Wine runs. `kind` and `reason` make its one line; forced routes never skip."""
    kind, packages, prefixes_at = "none", (), "/run"

    def __init__(self, release, reason, forced=False):
        self.release, self.reason, self.forced = release, reason, forced
        self.cpus = os.cpu_count() or 1  # a guest's

    def __str__(self):
        return f"{self.release}, route {self.kind} ({self.reason})"

    def wine(self):
        """What tells this route's Wine from another's: its recipe's digest, in a root or guest."""
        return cache.recipe_digest(self.release)

    @functools.cached_property
    def prefixes(self):
        """Where the route's prefixes are kept, as the recipe and Wine are when the run starts."""
        return cache.prefixes_dir(self.release, self.kind, self.wine())

    def needs(self):
        """room.Need: what this route will write in the cache."""
        return [cache.need(self.prefixes, "prefixes", f"making the {self.release} prefixes")]

    def prepare(self, folder):
        """Packages, the image or root, and the prefixes, each made once; `folder`: a scratch
        folder for making the prefixes."""
        require(self.packages, f"the {self.kind} route")
        self.build()
        cache.mark_used(cache.build_aside(self.prefixes, lambda partial: self.make(partial, folder),
                                          cache.whole("prefixes")))

    def build(self):
        pass

    def make(self, partial, folder):
        rc = self.run(partial, ["make", *(f"/run/lanyue/{p}" for p in PREFIXES)], 1800, kept=None)
        if rc != 0:
            raise HarnessError(f"making the {self.release} prefixes failed ({rc}); see {partial}/in-wine.log")
        open(os.path.join(partial, "made"), "w").close()

    def argv(self, folder, job, kept):
        raise NotImplementedError

    def run(self, folder, job, deadline, kept=True, show=()):
        """Runs in-wine JOB in the run folder (its copy of in-wine there) on this route, the kept
        prefixes under its overlays unless `kept` is None; prints the files `show` of the folder
        as they grow; its exit code."""
        copy_scripts(folder)
        argv = self.argv(folder, job, self.prefixes if kept else None)
        with open(os.path.join(folder, "in-wine.log"), "wb") as log:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                 preexec_fn=die_with(os.getpid()), env=self.env())
        return follow(p, folder, show, time.monotonic() + deadline)

    def env(self):
        return {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k != "DISPLAY"}


class NativeRoute(Route):
    kind, packages = "native", ("wine", "wine32:i386", "wine64", "xvfb", "fonts-wqy-microhei")

    def wine(self):
        return wine_version("/")

    def build(self):
        ensure_zh_locale()

    def argv(self, folder, job, kept):
        return ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child", "--mount-proc",
                "bash", "-c", MOUNTS, "mounts", folder, kept or "-",  # and a /tmp of the run's own:
                "sh", "-c", 'mount -t tmpfs lanyue-tmp /tmp && exec "$@"', "tmp", "bash", "/run/lanyue/in-wine", *job]


class RootRoute(Route):
    """Another release's Wine on this machine, in that release's root (built once, cached),
    entered through bwrap: each top-level folder of the root bound read-only, the run's
    writable places (/tmp, /var/tmp, /root, /run) tmpfs of its own."""
    kind, packages = "root", ("mmdebstrap", "bubblewrap")

    def build(self):
        cache.build_image(self.release, "root")

    def needs(self):
        return [cache.need(cache.image_dir(self.release, "root"), "root", f"building the {self.release} root"),
                *super().needs()]

    def root(self):
        return os.path.join(cache.image_dir(self.release, "root"), "rootfs")

    def argv(self, folder, job, kept):
        root = self.root()
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
        argv += [a for place in ("/run/lanyue", *(f"/run/{p}" for p in PREFIXES if kept))
                 for a in ("--bind", place, place)]
        argv += ["--unshare-pid", "--die-with-parent", "--", "/bin/bash", "/run/lanyue/in-wine", *job]
        return ["unshare", "--mount", "--propagation", "private", "bash", "-c", MOUNTS, "mounts", folder,
                kept or "-", *argv]

    def env(self):
        return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"}


class GuestRoute(Route):
    """The same job, run natively in an emulated guest booted for it, the run folder shared
    with it, its prefixes on a disk of their own at /var/lanyue."""
    kind, packages, prefixes_at = "guest", ("qemu-system-x86", "qemu-utils", "mmdebstrap", "e2fsprogs"), "/var/lanyue"

    def build(self):
        cache.build_image(self.release)

    def needs(self):
        return [cache.need(cache.image_dir(self.release), "guest", f"building the {self.release} guest's image"),
                *super().needs(),
                Need(cache.cache_root(), cache.OVERLAY_GB, f"the {self.release} guest's writes")]

    def make(self, partial, folder):
        disk = os.path.join(partial, "prefixes.img")
        cp = subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "lanyue-prefixes", disk, "8G"], capture_output=True,
                            text=True)
        if cp.returncode != 0:
            raise HarnessError(f"mkfs.ext4 {disk} failed: {cp.stderr.strip()}")
        os.makedirs(folder, exist_ok=True)
        rc = self.run(folder, ["make", *(f"/var/lanyue/{p}" for p in PREFIXES)], 2400, kept=disk)
        if rc != 0:
            raise HarnessError(f"making the {self.release} guest's prefixes failed ({rc}); see {folder}/job.log")
        open(os.path.join(partial, "made"), "w").close()

    def run(self, folder, job, deadline, kept=True, show=()):
        """`kept`: the prefixes disk to write in place, or True for the kept one behind an overlay."""
        copy_scripts(folder)
        with open(os.path.join(folder, "job"), "w") as f:
            f.write("exec bash /run/lanyue/in-wine " + shlex.join(job) + "\n")
        for name in ("job.rc", "job.log", "console.log"):
            if os.path.exists(os.path.join(folder, name)):
                os.unlink(os.path.join(folder, name))
        image = cache.mark_used(cache.image_dir(self.release))
        disks = [(os.path.join(image, "disk.img"), False)]
        disks.append((kept, True) if isinstance(kept, str) else (os.path.join(self.prefixes, "prefixes.img"), False))
        follow(guest.boot(image, folder, disks, self.cpus), folder, show, time.monotonic() + deadline)
        try:
            return int(open(os.path.join(folder, "job.rc")).read())
        except (OSError, ValueError):
            tail = open(os.path.join(folder, "console.log"), "rb").read()[-1500:].decode("utf-8", "replace")
            raise HarnessError(f"the {self.release} guest ended without finishing its job; its console:\n{tail}")


def copy_scripts(folder):
    """What runs where Wine runs, into the run folder it sees."""
    for script in (cache.IN_WINE, cache.MAKE_PREFIX):
        shutil.copyfile(script, os.path.join(folder, os.path.basename(script)))


def follow(p, folder, show, deadline):
    """Waits for the route's process, printing the files `show` of the run folder as they
    grow; ends it (and with it all it started) at the deadline. Its exit code."""
    at = dict.fromkeys(show, 0)
    while True:
        ended = p.poll() is not None
        for name in show:
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    f.seek(at[name])
                    data = f.read()
            except OSError:
                continue
            at[name] += len(data)
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        if ended:
            return p.returncode
        if time.monotonic() > deadline:
            p.kill()
            p.wait()
            raise HarnessError(f"the run did not end in time and was ended; its folder: {folder}")
        time.sleep(0.2)


def wine_version(root):
    """The wine package's version installed in root, as dpkg records it, or None."""
    try:
        with open(os.path.join(root, "var", "lib", "dpkg", "status"), encoding="utf-8", errors="replace") as f:
            for paragraph in f.read().split("\n\n"):
                fields = dict(line.split(": ", 1) for line in paragraph.splitlines() if ": " in line)
                if fields.get("Package") == "wine" and fields.get("Status", "").endswith(" installed"):
                    return fields.get("Version")
    except OSError:
        pass
    return None


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


def choose(release, probe=os.path.join(REPO, "build", "host", "ia32_probe")):
    """For a release's Wine: natively where this kernel runs 32-bit code, directly or in that
    release's root; a guest of that release otherwise. LANYUE_E2E_ROUTE forces native or guest."""
    forced = os.environ.get(ROUTE_ENV)
    if forced not in (None, "", "native", "guest"):
        raise HarnessError(f"{ROUTE_ENV} must be native or guest, not {forced!r}")
    answer = None if forced else ia32_answer(probe)
    native = NativeRoute if release == host_release() else RootRoute
    kind = native if forced == "native" or answer == "yes" else GuestRoute
    reason = f"{ROUTE_ENV}={forced}" if forced else "this kernel runs 32-bit x86 code" if answer == "yes" \
        else f"this kernel runs no 32-bit x86 code ({answer})"
    return kind(release, reason, bool(forced))
