# The workbench's cache: one folder of its own (~/.cache/lanyue-repair) holding
# images (or, to run natively in a namespace, roots) built once per Debian
# release and recipe from tests/e2e/guest/, in mount and process namespaces of
# their own, the prefixes made once, and the one way any folder of the
# workbench is made: aside, then renamed whole; pruning by last use and clearing
# touch only folders the workbench made and marked.
import fcntl
import hashlib
import os
import re
import subprocess
import time

from .common import REPO, HarnessError, die_with, lock_with_deadline
from .room import Need

RECIPE = os.path.join(REPO, "tests", "e2e", "guest")
IN_WINE = os.path.join(REPO, "tests", "e2e", "in-wine")
MAKE_PREFIX = os.path.join(REPO, "tests", "e2e", "make-prefix")  # what a kept prefix is made of
IMAGE_RECIPE = ("packages", "init", "build-root", "build-image")  # what goes into the image
BUILT = {"guest": ("vmlinuz", "initrd.img", "disk.img"),  # what a finished build holds
         "root": ("rootfs/sbin/lanyue-init",),
         "prefixes": ("made",)}
MARK = ".lanyue-workbench"  # in every folder the workbench makes
UNFINISHED = (".partial", ".tmp")  # a build's folder and its scratch, until it is whole
# GB of disk each thing takes, measured with a margin: a build holds the root
# tree and the image side by side; a generation's two prefixes take 2 GB (a
# guest's in a disk of their own); a running guest writes what the cases change
# into overlays of its disks, which are kept in the cache.
BUILD_GB = {"guest": 6, "root": 3, "prefixes": 3}
OVERLAY_GB = 1
# What apt says when the archive, not the recipe, made a build fail.
ARCHIVE_ERROR = re.compile(r"Failed to fetch|Hash Sum mismatch|unexpected size|Mirror sync|"
                           r"Some index files failed|Unable to fetch|is whole right now")


def cache_root():
    base = (os.environ.get("LANYUE_GUEST_CACHE") or os.environ.get("XDG_CACHE_HOME")
            or os.path.join(os.path.expanduser("~"), ".cache"))
    return os.path.join(os.path.abspath(base), "lanyue-repair")


def make_marked(path):
    os.makedirs(path, exist_ok=True)
    open(os.path.join(path, MARK), "a").close()
    return path


def is_marked(path):
    return os.path.isfile(os.path.join(path, MARK)) and not os.path.islink(path)


def _digest(*parts):
    return hashlib.sha256("\0".join(parts).encode()).hexdigest()[:16]


def recipe_digest(release):
    """What a release's image or root is built from."""
    return _digest(release, *(open(os.path.join(RECIPE, name)).read() for name in IMAGE_RECIPE))


def image_dir(release, kind="guest"):
    """kind 'guest': a bootable image; 'root': the root folder itself."""
    return os.path.join(cache_root(), f"{kind}-{release}-{recipe_digest(release)}")


def prefixes_dir(release, route, wine):
    """The prefixes a route makes once, by make-prefix, for the Wine it has (`wine`: what tells
    it: the package's version natively, the recipe's digest in a root or guest)."""
    return os.path.join(cache_root(), f"prefixes-{release}-{route}-{_digest(open(MAKE_PREFIX).read(), str(wine))}")


def whole(kind):
    return lambda folder: all(os.path.isfile(os.path.join(folder, f)) for f in BUILT[kind])


def need(final, kind, what):
    """The room a build of this cache folder takes until it is whole."""
    return Need(cache_root(), BUILD_GB[kind], what, [final + ending for ending in ("",) + UNFINISHED],
                [os.path.join(final, f) for f in BUILT[kind]])


def mark_used(path):
    """Dates a cache folder by its last use: what the prune goes by."""
    open(os.path.join(path, "last-used"), "w").close()
    return path


def overlay_dir():
    """Where qemu puts a snapshot's overlay (its TMPDIR), so the room check covers it."""
    return make_marked(os.path.join(cache_root(), "overlays"))


def mounts_under(path):
    """Mount points at or below path, deepest first."""
    path = os.path.realpath(path)
    points = [line.split()[1].replace("\\040", " ").replace("\\011", "\t").replace("\\134", "\\")
              for line in open("/proc/self/mounts")]
    return sorted((p for p in points if p == path or p.startswith(path + "/")), key=len, reverse=True)


def remove_marked(path):
    """Unmounts whatever is left mounted under a marked folder, then removes it,
    never crossing into another file system. Refuses unmarked folders."""
    if not is_marked(path):
        raise HarnessError(f"{path} carries no {MARK}: not the workbench's to remove")
    for point in mounts_under(path):
        if subprocess.run(["umount", point], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["umount", "--lazy", point], stderr=subprocess.DEVNULL)
    if mounts_under(path):
        raise HarnessError(f"{path} still has {mounts_under(path)[0]} mounted; removed nothing")
    cp = subprocess.run(["rm", "-rf", "--one-file-system", "--", path], capture_output=True, text=True)
    if cp.returncode != 0:
        raise HarnessError(f"removing {path}: {cp.stderr.strip()}")


def lock(timeout=600):
    """The cache's own lock, held only briefly: for a prune, a room check."""
    f = open(os.path.join(make_marked(cache_root()), "cache.lock"), "w")
    lock_with_deadline(f, timeout, f"{cache_root()}/cache.lock")
    return f


def _build_lock(path):
    return re.sub(r"(\.partial|\.tmp)$", "", path) + ".lock"


def is_building(path):
    """Whether a build of that folder holds its lock right now."""
    try:
        with open(_build_lock(path)) as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        pass
    return False


def prune(keep, days=14):  # keep: folders in use
    """Under lock(): killed builds (*.partial, *.tmp) go, and images and roots of other recipes
    unused for `days` (2-3 GB each). Unmarked folders stay, and so does what a build
    is writing right now."""
    for name in sorted(os.listdir(cache_root())):
        path = os.path.join(cache_root(), name)
        if not name.startswith(tuple(f"{kind}-" for kind in BUILT)) or name.endswith(".lock") or path in keep \
                or not is_marked(path) or is_building(path):
            continue
        used = os.path.join(path, "last-used")
        if name.endswith(UNFINISHED) or time.time() - os.path.getmtime(used if os.path.exists(used) else path) \
                > days * 86400:
            remove_marked(path)


def build_aside(final, make, done, timeout=3000):
    """The one way the workbench makes a folder: whole or not at all. Under a lock of
    its own (so other folders build side by side), unless done(final) already: what
    a killed build left (FINAL.partial, FINAL.tmp) goes first, make(partial) fills
    FINAL.partial, marked as the workbench's, and that is renamed into place."""
    os.makedirs(os.path.dirname(final), exist_ok=True)
    with open(_build_lock(final), "w") as build_lock:
        lock_with_deadline(build_lock, timeout, f"{final} (a build of it)")
        if done(final):
            return final
        for left in [final + ending for ending in UNFINISHED] + [final]:
            if os.path.lexists(left):
                remove_marked(left)
        t0 = time.monotonic()
        make(make_marked(final + ".partial"))
        if not done(final + ".partial"):
            raise HarnessError(f"building {final} left it incomplete")
        os.rename(final + ".partial", final)
        if time.monotonic() - t0 > 10:
            print(f"made {final} in {time.monotonic() - t0:.0f}s")
        return final


def build_image(release, kind="guest", timeout=3000):
    """Builds the image (or root) of a release unless this recipe's is cached, in
    mount and process namespaces of its own: whatever it mounts is never in this
    machine's mount table, and when this process dies, however, every process of
    the build goes too. Its temporary files go in FINAL.tmp, not /tmp, which the
    next build clears. A build the archive made fail is tried once more."""
    final, deadline = image_dir(release, kind), time.monotonic() + timeout
    log = final + ".log"

    def build(partial):
        print(f"building the {release} {kind} {final} (first use of this recipe, a few minutes) ...", flush=True)
        argv = ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child",
                os.path.join(RECIPE, "build-image")] + (["--keep-root"] if kind == "root" else []) + [partial, release]
        for attempt in (1, 2):
            with open(log, "wb") as out:
                p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                     preexec_fn=die_with(os.getpid()),
                                     env=dict(os.environ, TMPDIR=make_marked(final + ".tmp")))
                try:
                    p.wait(timeout=max(1, deadline - time.monotonic()))
                except BaseException as e:  # out of time, or this run ended
                    p.terminate()
                    try:
                        p.wait(10)
                    except subprocess.TimeoutExpired:
                        p.kill()
                    if isinstance(e, subprocess.TimeoutExpired):
                        raise HarnessError(f"building the {release} {kind} did not finish in time; {log}")
                    raise
                finally:
                    if p.poll() is not None:
                        remove_marked(final + ".tmp")
            text = open(log, "rb").read().decode("utf-8", "replace")
            for line in re.findall(r"^left out .*$", text, re.M):
                print(f"guest image: {line}")
            if p.returncode == 0 and whole(kind)(partial) or attempt == 2 or not ARCHIVE_ERROR.search(text):
                break
            print("the build failed on an archive error; trying once more")
            remove_marked(partial)
            make_marked(partial)
        if p.returncode != 0 or not whole(kind)(partial):
            raise HarnessError(f"building the {release} {kind} failed ({p.returncode}); {log}:\n{text[-1500:]}")

    return mark_used(build_aside(final, build, whole(kind), timeout))
