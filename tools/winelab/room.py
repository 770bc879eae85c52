# The disk room a run needs: each generation's run counts what every generation
# of the run will write, on the file system it lands on, and reserves what its
# own will, under the cache's lock. The other generation's run then counts that
# write once, by what is still to come of it, also while it is half written. A
# reservation lasts as long as its run holds its lock, and counts no more once
# what it covers is whole.
import fcntl
import hashlib
import json
import os
import shutil
import subprocess

from .common import HarnessError

GB = 2**30  # the unit of every size here; the harness's tests make it smaller


class Need:
    """`gb` of room in `folder` for `what`, written into `paths` (the first names it),
    whole once every file of `done` is there (never, when it names none)."""

    def __init__(self, folder, gb, what, paths=(), done=()):
        self.folder, self.gb, self.what = folder, gb, what
        self.paths, self.done = list(paths) or [folder], list(done)

    @property
    def key(self):
        return self.paths[0]

    def whole(self):
        return bool(self.done) and all(os.path.exists(p) for p in self.done)

    def to_come(self):
        """Bytes still to be written: its size less what is on disk under its paths."""
        there = [p for p in self.paths if os.path.exists(p)]
        cp = subprocess.run(["du", "-s", "-x", "-B1", "--", *there], capture_output=True, text=True) if there else None
        return max(0, self.gb * GB - sum(int(line.split()[0]) for line in (cp.stdout if cp else "").splitlines()))


def _existing(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def _held(path):
    """Whether the reservation's lock is held: its run is still on."""
    try:
        with open(path) as f:
            fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False


def reserve(cache, by, mine, others):
    """Call under the cache's lock. `mine`: the Needs of this run's generation
    (`by`: its work folder), reserved while the file returned stays open;
    `others`: those of the run's other generations, counted
    unless reserved already. Fails naming, for each file system short of room, a
    folder there, the room needed and the room free."""
    ledger = os.path.join(cache, "reservations")
    os.makedirs(ledger, exist_ok=True)
    own = os.path.join(ledger, hashlib.sha256(by.encode()).hexdigest()[:16] + ".json")
    counted, reserved = [], set()  # (folder, bytes still to come, what); keys reserved by others
    for path in sorted(os.path.join(ledger, n) for n in os.listdir(ledger)):
        if path == own or not _held(path):
            continue
        for n in (Need(**need) for need in json.load(open(path))):
            reserved.add(n.key)
            if not n.whole():
                counted.append((n.folder, n.to_come(), f"{n.what} {n.gb:g} GB"))
    mine = [n for n in mine if not n.whole()]
    counted += [(n.folder, n.gb * GB, f"{n.what} {n.gb:g} GB")
                for n in mine + [n for n in others if not n.whole()] if n.key not in reserved]
    by_fs = {}
    for folder, size, what in counted:
        entry = by_fs.setdefault(os.stat(_existing(folder)).st_dev, [folder, 0, []])
        entry[1] += size
        entry[2].append(what)
    short = [f"{folder} has {shutil.disk_usage(_existing(folder)).free / GB:.1f} GB free, and the Wine suite "
             f"needs {need / GB:.1f} GB there ({'; '.join(whats)})"
             for folder, need, whats in by_fs.values() if shutil.disk_usage(_existing(folder)).free < need]
    if short:
        raise HarnessError("not enough disk: " + "; ".join(short))
    f = open(own, "a+")
    try:
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise HarnessError(f"another run of {by} is under way: end it first")
    f.truncate(0)
    f.write(json.dumps([vars(n) for n in mine]))
    f.flush()
    return f
