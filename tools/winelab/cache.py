# The guest image cache: one folder of its own (~/.cache/lanyue-repair), an
# image (or, to run natively in a namespace, a root) built once per Debian
# release and recipe hash from tests/e2e/guest/, the room it needs,
# and pruning and clearing that touch only folders the workbench made and
# marked, unmounting what a killed build left mounted before removing anything.
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

from .common import REPO, HarnessError, Unavailable, lock_with_deadline
from .procs import end_pid

RECIPE = os.path.join(REPO, "tests", "e2e", "guest")
IMAGE_RECIPE = ("packages", "init", "build-root", "build-image")  # what goes into the image
BUILT = {"guest": ("vmlinuz", "initrd.img", "disk.img"),  # what a finished build holds
         "root": ("rootfs/sbin/lanyue-init",)}
MARK = ".lanyue-workbench"  # in every folder the workbench makes in the cache
# Free disk: a build holds the root tree and the image side by side (2.4 GB
# each); a running guest writes its snapshot overlay into the cache too.
BUILD_GB, OVERLAY_GB = 6, 2
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
    """kind 'guest': a bootable image; 'root': the root folder itself."""
    return os.path.join(cache_root(), f"{kind}-{release}-{recipe_hash(release)}")


def image_ready(release, kind="guest"):
    return all(os.path.isfile(os.path.join(image_dir(release, kind), f)) for f in BUILT[kind])


def overlay_dir():
    """Where qemu puts a snapshot's overlay (its TMPDIR), so the room check covers it."""
    return make_marked(os.path.join(cache_root(), "overlays"))


def free_gb(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return shutil.disk_usage(path).free / 2**30


def check_room(release, kind="guest"):
    need = (OVERLAY_GB if kind == "guest" else 0) + (0 if image_ready(release, kind) else BUILD_GB)
    free = free_gb(cache_root())
    if free < need:
        raise Unavailable(f"the disk lacks room for the {release} {kind}: {free:.1f} GB free under "
                          f"{cache_root()}, it needs {need} GB")


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


def _cache_lock(timeout=1800):
    make_marked(cache_root())
    lock = open(os.path.join(cache_root(), "build.lock"), "w")
    lock_with_deadline(lock, timeout, f"{cache_root()} (a guest image build)")
    return lock


def prune(keep, days=14):  # keep: folders in use
    """Under the cache lock: killed builds (*.partial) go, and images of other recipes
    that no run has booted for `days` (2-3 GB each). Unmarked folders stay."""
    root = cache_root()
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        if not name.startswith(("guest-", "root-")) or path in keep or not is_marked(path):
            continue
        used = os.path.join(path, "last-used")
        last = os.path.getmtime(used if os.path.exists(used) else path)
        if name.endswith(".partial") or time.time() - last > days * 86400:
            remove_marked(path)


def clean(log=print):
    """Removes every marked folder of the cache (images, killed builds, overlays)."""
    root = cache_root()
    if not os.path.isdir(root):
        return
    with _cache_lock(timeout=5):
        for name in sorted(os.listdir(root)):
            path = os.path.join(root, name)
            if os.path.isdir(path) and is_marked(path):
                remove_marked(path)
                log(f"removed {path}")
            elif os.path.isdir(path):
                log(f"left {path}: the workbench did not make it")


def build_image(release, kind="guest"):
    """Builds the image (or root) of a release unless this recipe's is cached;
    retries once a build the archive made fail. The build keeps the cache's lock
    for as long as any of its processes lives, so one orphaned by a killed run
    ends before another starts."""
    final = image_dir(release, kind)
    with _cache_lock() as lock:
        if image_ready(release, kind):
            return final
        keep = [image_dir(r, k) for r in releases_in_use() for k in BUILT]
        prune(keep=keep)
        print(f"building the {release} {kind} {final} (first use of this recipe, a few minutes) ...")
        t0 = time.monotonic()
        build_log = os.path.join(cache_root(), "build.log")
        open(build_log, "w").close()
        for attempt in (1, 2):
            rc, text = _run_build(final, release, kind, build_log, lock)
            sys.stdout.flush()
            for line in re.findall(r"^left out .*$", text, re.M):
                print(f"guest image: {line}")
            if rc == 0 and image_ready(release, kind) or attempt == 2 or not ARCHIVE_ERROR.search(text):
                break
            print("the build failed on an archive error; trying once more")
            prune(keep=keep)
        if rc != 0 or not image_ready(release, kind):
            tail = open(build_log, "rb").read()[-1500:].decode("utf-8", "replace")
            raise HarnessError(f"building the {release} {kind} failed ({rc}); {build_log}:\n{tail}")
        print(f"{release} {kind} built in {time.monotonic() - t0:.0f}s ({disk_gb(final):.1f} GB on disk)")
        return final


def disk_gb(path):
    cp = subprocess.run(["du", "-sx", "--block-size=1M", path], capture_output=True, text=True)
    return int(cp.stdout.split()[0]) / 1024 if cp.returncode == 0 else 0.0


def releases_in_use():
    """Every release the workbench runs Wine on: images of other releases are pruned."""
    from .generations import GENERATIONS
    return [g.release for g in GENERATIONS.values()]


def _run_build(final, release, kind, build_log, lock):
    start = os.path.getsize(build_log)
    argv = [os.path.join(RECIPE, "build-image")] + (["--keep-root"] if kind == "root" else [])
    with open(build_log, "ab") as out:
        p = subprocess.Popen(argv + [final, release], stdin=subprocess.DEVNULL,
                             stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                             pass_fds=(lock.fileno(),))
        try:
            p.wait()
        except BaseException:
            # mmdebstrap unmounts what it mounted on TERM, not on KILL.
            end_pid(p.pid, grace=60, group=True)
            p.wait()
            raise
    with open(build_log, "rb") as f:
        f.seek(start)
        return p.returncode, f.read().decode("utf-8", "replace")
