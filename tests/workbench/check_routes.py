# Each route's command line and mounts, on the route the row names whatever this
# machine's kernel, with stand-ins for Wine and qemu (stand_in_run.py): where the
# run's in-wine sees its run folder and prefixes, that the kept prefixes and a
# root are never written, that /tmp is the run's own, that it is the first
# process of a PID namespace, and that nothing stays mounted here. Run as root
# in a private mount namespace (see CMakeLists.txt): a row's root binds this
# machine's /usr and /etc.
import os
import subprocess
import sys

import stand_in_run as sir
from winelab import cache

# name, release, the probe's answer, where the exe lies (relative to the row's folder), what
# the stand-ins are told, the run's exit code, and what the stand-in in-wine or qemu must have
# seen (lines of its "seen" file), or not seen
ROWS = [
    ("native", "bookworm", "yes", "w/x.exe", {}, 0, ["pid 1", "programs there", "mount /run tmpfs lanyue-run",
                                            "mount /run/lanyue ", "mount /run/prefix32 overlay lanyue-prefix32",
                                            "mount /tmp tmpfs lanyue-tmp", "writes /run/prefix32",
                                            "writes /run/prefix64"], []),
    ("root", "trixie", "yes", "w/x.exe", {}, 0, ["programs there", "mount /run/lanyue ", "writes /tmp",
                                          "mount /run/prefix64 overlay lanyue-prefix64", "writes /run/prefix64"],
     ["writes /usr", "writes /etc"]),
    ("root, the exe in a folder above the clone", "trixie", "yes", "x.exe", {}, 0, ["programs there"], []),
    ("guest", "bookworm", "no: stand-in", "w/x.exe", {}, 0, ["unlinked while open"] * 2, ["still there"]),
    ("guest, an overlay qemu-img leaves half made", "bookworm", "no: stand-in", "w/x.exe",
     {"LANYUE_STAND_IN_QEMU_IMG_FAILS": "1"}, 2, [], []),
]


def stand_in_root(root):
    """A root of the row's own: this machine's /usr, /etc and /lib* bound read-only."""
    for name in sorted(os.listdir("/")):
        path, there = "/" + name, os.path.join(root, name)
        if os.path.lexists(there):
            continue
        if os.path.islink(path):
            os.symlink(os.readlink(path), there)
        elif name in ("usr", "etc") or name.startswith("lib"):
            os.makedirs(there)
            subprocess.run(["mount", "--bind", "-o", "ro", path, there], check=True)
    for folder in ("root", "tmp", "var/tmp", "run", "home", "dev", "proc", "sbin"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    open(os.path.join(root, "sbin", "lanyue-init"), "w").close()


def listing(root):
    """Every path of the root but what is bound into it: its kind, size and mtime."""
    mounted, seen = set(cache.mounts_under(root)), {}
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(top, d) not in mounted]
        for path in [top] + [os.path.join(top, n) for n in dirs + files]:
            st = os.lstat(path)
            seen[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return seen


def row(tmp, release, ia32, exe, told, rc, said, unsaid):
    sir.env(tmp)
    route = sir.kept(release, ia32)
    root = os.path.join(cache.image_dir(release, "root"), "rootfs")
    if route.kind == "root":
        stand_in_root(root)
    before, mounts = listing(root) if route.kind == "root" else {}, open("/proc/self/mounts").read()
    kept = open(os.path.join(route.prefixes, "prefix32", "system.reg")).read()
    workdir = os.path.join(tmp, "w", "clone", "build", "host", "e2e")
    p = sir.start(tmp, release, ia32, workdir, os.path.join(tmp, exe), **told)
    out = p.communicate(timeout=120)[0]
    seen = open(os.path.join(workdir, "run", "seen")).read() if os.path.exists(workdir + "/run/seen") else ""
    why = [f"exit code {p.returncode}, expected {rc}"] if p.returncode != rc else []
    why += [f"it did not see {s!r}" for s in said if seen.count(s) < said.count(s)]
    why += [f"it saw {s!r}" for s in unsaid if s + "\n" in seen or s + " " in seen]
    if open(os.path.join(route.prefixes, "prefix32", "system.reg")).read() != kept:
        why.append("the kept prefix was written")
    if os.path.exists("/tmp/lanyue-stand-in-was-here"):
        why.append("its /tmp is this machine's")
        os.unlink("/tmp/lanyue-stand-in-was-here")
    if route.kind == "root" and listing(root) != before:
        why.append("the root changed: " + ", ".join(sorted(set(listing(root).items()) ^ set(before.items()))[:5]))
    return why + sir.left_here(mounts), out + seen


if __name__ == "__main__":
    sys.exit(sir.rows(ROWS, row))
