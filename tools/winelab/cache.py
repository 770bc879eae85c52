# The guest image cache: one folder of its own (~/.cache/lanyue-repair), an
# image (or, to run natively in a namespace, a root) built once per Debian
# release and recipe hash from tests/e2e/guest/, in private mount and process
# namespaces, so a build leaves no mount and no process however it ends; and
# pruning by last use and clearing that touch only folders the workbench made
# and marked.
import fcntl
import hashlib
import os
import re
import subprocess
import sys
import time

from .common import REPO, HarnessError, lock_with_deadline
from .lifetime import die_with, end
from .room import Need

RECIPE = os.path.join(REPO, "tests", "e2e", "guest")
IMAGE_RECIPE = ("packages", "init", "build-root", "build-image")  # what goes into the image
BUILT = {"guest": ("vmlinuz", "initrd.img", "disk.img"),  # what a finished build holds
         "root": ("rootfs/sbin/lanyue-init",),
         "prefixes": ("prefixes.img",)}
MARK = ".lanyue-workbench"
UNFINISHED = (".partial", ".tmp")  # a build's folder and its scratch, until it ends  # in every folder the workbench makes in the cache
# GB of disk each thing takes, measured with a margin: a build holds the root
# tree and the image side by side; the guest's prefixes, made once, take 2 GB
# in a disk of their own; a running guest writes what the cases change into a
# snapshot overlay, which qemu keeps in the cache.
BUILD_GB = {"guest": 6, "root": 3, "prefixes": 3}
OVERLAY_GB = 1


def build_need(release, kind, what):
    """The room a build of this cache folder takes until it is whole."""
    final = image_dir(release, kind)
    return Need(cache_root(), BUILD_GB[kind], what, [final + ending for ending in ("",) + UNFINISHED],
                [os.path.join(final, f) for f in BUILT[kind]])
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


def recipe_hash(release):
    h = hashlib.sha256(release.encode() + b"\0")
    for name in IMAGE_RECIPE:
        h.update(name.encode() + b"\0" + open(os.path.join(RECIPE, name), "rb").read() + b"\0")
    return h.hexdigest()[:16]


def image_dir(release, kind="guest"):
    """kind 'guest': a bootable image; 'root': the root folder itself; 'prefixes':
    the guest's prefixes, made on that image by this prefix recipe."""
    if kind == "prefixes":
        from .prefix import recipe
        made = hashlib.sha256((recipe_hash(release) + "\0" + recipe()).encode()).hexdigest()[:16]
        return os.path.join(cache_root(), f"prefixes-{release}-{made}")
    return os.path.join(cache_root(), f"{kind}-{release}-{recipe_hash(release)}")


def image_ready(release, kind="guest"):
    return _whole(kind)(image_dir(release, kind))


def mark_used(path):
    """Dates a cache folder by its last use: what the prune goes by."""
    open(os.path.join(path, "last-used"), "w").close()


def last_used(path):
    used = os.path.join(path, "last-used")
    return os.path.getmtime(used if os.path.exists(used) else path)


def overlay_dir():
    """Where qemu puts a snapshot's overlay (its TMPDIR), so the room check covers it."""
    return make_marked(os.path.join(cache_root(), "overlays"))


def mounts_under(path):
    """Mount points at or below path, deepest first."""
    path = os.path.realpath(path)
    points = []
    for line in open("/proc/self/mounts"):
        point = line.split()[1].replace("\\040", " ").replace("\\011", "\t").replace("\\134", "\\")
        if point == path or point.startswith(path + "/"):
            points.append(point)
    return sorted(points, key=len, reverse=True)


def remove_marked(path):
    """Unmounts whatever is left mounted under a marked folder, then removes it,
    never crossing into another file system. Refuses unmarked folders."""
    if not is_marked(path):
        raise HarnessError(f"{path} carries no {MARK}: not the workbench's to remove")
    for point in mounts_under(path):
        if subprocess.run(["umount", point], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["umount", "--lazy", point], stderr=subprocess.DEVNULL)
    left = mounts_under(path)
    if left:
        raise HarnessError(f"{path} still has {left[0]} mounted; removed nothing")
    cp = subprocess.run(["rm", "-rf", "--one-file-system", "--", path],
                        capture_output=True, text=True)
    if cp.returncode != 0:
        raise HarnessError(f"removing {path}: {cp.stderr.strip()}")


def lock(timeout=600):
    """The cache's own lock, held only briefly: for a prune, a room check, a rename."""
    make_marked(cache_root())
    f = open(os.path.join(cache_root(), "cache.lock"), "w")
    lock_with_deadline(f, timeout, f"{cache_root()}/cache.lock")
    return f


def _build_lock_path(path):
    for ending in UNFINISHED:
        if path.endswith(ending):
            path = path[:-len(ending)]
    return path + ".lock"


def is_building(path):
    """Whether a build of that image or root holds its lock right now."""
    try:
        f = open(_build_lock_path(path), "r")
    except OSError:
        return False
    with f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True


def prune(keep, days=14):  # keep: folders in use
    """Under lock(): killed builds (*.partial, *.tmp) go, and images and roots of other recipes
    unused for `days` (2-3 GB each). Unmarked folders stay, and so does what a build
    is writing right now."""
    root = cache_root()
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        if not name.startswith(tuple(f"{kind}-" for kind in BUILT)) or name.endswith(".lock") or path in keep \
                or not is_marked(path) or is_building(path):
            continue
        if name.endswith(UNFINISHED) or time.time() - last_used(path) > days * 86400:
            remove_marked(path)


def clean(log=print):
    """Removes every marked folder of the cache (images, killed builds, overlays)."""
    root = cache_root()
    if not os.path.isdir(root):
        return
    with lock(timeout=5):
        for name in sorted(os.listdir(root)):
            path = os.path.join(root, name)
            if os.path.isdir(path) and is_marked(path):
                remove_marked(path)
                log(f"removed {path}")
            elif os.path.isdir(path):
                log(f"left {path}: the workbench did not make it")


def build_aside(final, make, whole, timeout=3000):
    """The one way the workbench makes a folder: whole or not at all. Under a lock of
    its own (so other folders build side by side), unless whole(final) already: what
    a killed build left (FINAL.partial, FINAL.tmp) goes first, make(partial) fills
    FINAL.partial, marked as the workbench's, and that is renamed into place."""
    os.makedirs(os.path.dirname(final), exist_ok=True)
    with open(_build_lock_path(final), "w") as build_lock:
        lock_with_deadline(build_lock, timeout, f"{final} (a build of it)")
        if whole(final):
            return final
        for left in [final + ending for ending in UNFINISHED] + ([final] if os.path.exists(final) else []):
            if os.path.lexists(left):
                remove_marked(left)
        t0 = time.monotonic()
        make(make_marked(final + ".partial"))
        if not whole(final + ".partial"):
            raise HarnessError(f"building {final} left it incomplete")
        os.rename(final + ".partial", final)
        if time.monotonic() - t0 > 10:
            print(f"made {final} in {time.monotonic() - t0:.0f}s ({disk_gb(final):.1f} GB on disk)")
        return final


def _whole(kind):
    return lambda folder: all(os.path.isfile(os.path.join(folder, f)) for f in BUILT[kind])


def build_image(release, kind="guest", timeout=3000):
    """Builds the image (or root) of a release unless this recipe's is cached;
    retries once a build the archive made fail. Gives up after `timeout` seconds,
    ending the build."""
    final = image_dir(release, kind)
    deadline = time.monotonic() + timeout

    def build(partial):
        print(f"building the {release} {kind} {final} (first use of this recipe, a few minutes) ...")
        build_log = final + ".log"
        open(build_log, "w").close()
        for attempt in (1, 2):
            rc, text = _run_build(partial, release, kind, build_log, deadline)
            sys.stdout.flush()
            for line in re.findall(r"^left out .*$", text, re.M):
                print(f"guest image: {line}")
            if rc == 0 and _whole(kind)(partial) or attempt == 2 or not ARCHIVE_ERROR.search(text):
                break
            print("the build failed on an archive error; trying once more")
            remove_marked(partial)
            make_marked(partial)
        if rc != 0 or not _whole(kind)(partial):
            tail = open(build_log, "rb").read()[-1500:].decode("utf-8", "replace")
            raise HarnessError(f"building the {release} {kind} failed ({rc}); {build_log}:\n{tail}")

    mark_used(build_aside(final, build, _whole(kind), timeout))
    return final


def build_prefixes(release, make, timeout=3000):
    """The guest's prefixes of a release, made once on its image: an empty ext4 disk
    that make(disk) fills (it boots a guest with the disk writable), kept unless
    the image or the prefix recipe changes."""
    def build(partial):
        disk = os.path.join(partial, "prefixes.img")
        cp = subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "lanyue-prefixes", disk, "8G"],
                            capture_output=True, text=True)
        if cp.returncode != 0:
            raise HarnessError(f"mkfs.ext4 {disk} failed: {cp.stderr.strip()}")
        make(disk)

    final = build_aside(image_dir(release, "prefixes"), build, _whole("prefixes"), timeout)
    mark_used(final)
    return final


def disk_gb(path):
    cp = subprocess.run(["du", "-sx", "--block-size=1M", path], capture_output=True, text=True)
    return int(cp.stdout.split()[0]) / 1024 if cp.returncode == 0 else 0.0


def releases_in_use():
    """Every release the workbench runs Wine on: images of other releases are pruned."""
    from .generations import GENERATIONS
    return [g.release for g in GENERATIONS.values()]


def _run_build(partial, release, kind, build_log, deadline):
    """One build into PARTIAL, in mount and process namespaces of its own: whatever
    it mounts is never in this machine's mount table, and when this process dies,
    however, the namespace's first process is killed and every process of the
    build with it. Its temporary files go in FINAL.tmp, not /tmp: a killed
    mmdebstrap cleans up nothing, and the next build clears that folder too."""
    start = os.path.getsize(build_log)
    scratch = make_marked(partial[:-len(".partial")] + ".tmp")
    argv = ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child",
            os.path.join(RECIPE, "build-image")] + (["--keep-root"] if kind == "root" else [])
    with open(build_log, "ab") as out:
        p = subprocess.Popen(argv + [partial, release], stdin=subprocess.DEVNULL, stdout=out,
                             stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=die_with(os.getpid()),
                             env=dict(os.environ, TMPDIR=scratch))
        try:
            p.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            end(p.pid, grace=10)
            p.wait()
            raise HarnessError(f"building the {release} {kind} did not finish in time; {build_log}")
        except BaseException:
            end(p.pid, grace=10)
            p.wait()
            raise
        finally:
            if p.poll() is not None:
                remove_marked(scratch)
    with open(build_log, "rb") as f:
        f.seek(start)
        return p.returncode, f.read().decode("utf-8", "replace")
