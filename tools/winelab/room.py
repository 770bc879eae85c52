# The disk room a run needs: each start counts what every generation of the run
# will write, on the file system it lands on, and reserves what its own will,
# under the cache's lock. The other generation's start then counts that write
# once, by what is still to come of it, also while it is half written. A
# reservation goes once what it covers is whole, or when its run has ended.
import hashlib
import json
import os
import shutil
import subprocess

from .common import HarnessError, write_aside

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


def _existing(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def written_bytes(paths):
    """What is on disk under paths so far (none there yet: 0)."""
    there = [p for p in paths if os.path.exists(p)]
    if not there:
        return 0
    cp = subprocess.run(["du", "-s", "-x", "-B1", "--", *there], capture_output=True, text=True)
    return sum(int(line.split()[0]) for line in cp.stdout.splitlines() if line.split())


def _ledger(cache):
    return os.path.join(cache, "reservations")


def _reservations(cache, alive):
    """Live reservations of other runs: (file, record). Those of runs that ended, or
    whose write is whole, are removed."""
    folder = _ledger(cache)
    found = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        path = os.path.join(folder, name)
        try:
            record = json.load(open(path))
        except (OSError, ValueError):
            continue  # not one of ours, or being written
        if not alive(record["owner"]) or Need(**record["need"]).whole():
            os.unlink(path)
            continue
        found.append((path, record))
    return found


def reserve(cache, owner, alive, by, mine, others):
    """Call under the cache's lock. `mine`: the Needs of this start's generation
    (`by`: its work folder), reserved for as long as `owner` lives when there is
    room; `others`: those of the run's other generations, counted unless reserved
    already. Fails naming, for each file system short of room, a folder there, the
    room needed and the room free."""
    records = _reservations(cache, alive)
    reserved = set()
    counted = []  # (folder, bytes still to come, what)
    for path, r in records:
        if r["by"] == by:
            os.unlink(path)  # this generation's earlier reservations: made anew below
            continue
        n = Need(**r["need"])
        reserved.add(n.key)
        counted.append((n.folder, max(0, n.gb * GB - written_bytes(n.paths)), f"{n.what} {n.gb:g} GB"))
    mine = [n for n in mine if not n.whole()]
    counted += [(n.folder, n.gb * GB, f"{n.what} {n.gb:g} GB")
                for n in mine + [n for n in others if not n.whole()] if n.key not in reserved]
    by_fs = {}
    for folder, size, what in counted:
        entry = by_fs.setdefault(os.stat(_existing(folder)).st_dev, [folder, 0, []])
        entry[1] += size
        entry[2].append(what)
    short = []
    for folder, need, whats in by_fs.values():
        free = shutil.disk_usage(_existing(folder)).free
        if free < need:
            short.append(f"{folder} has {free / GB:.1f} GB free, and the Wine suite needs "
                         f"{need / GB:.1f} GB there ({'; '.join(whats)})")
    if short:
        raise HarnessError("not enough disk: " + "; ".join(short))
    os.makedirs(_ledger(cache), exist_ok=True)
    for n in mine:
        name = hashlib.sha256(f"{by}\0{n.key}".encode()).hexdigest()[:16]
        write_aside(os.path.join(_ledger(cache), name + ".json"),
                    json.dumps({"owner": owner, "by": by, "need": vars(n)}))
