# Wine prefixes of the workbench's own: made once per recipe and Wine version,
# their C: drive mapped and snapshotted, the suite's two prefixes in a state
# folder, and the lock that serialises runs sharing them, also outside ctest.
import functools
import glob
import hashlib
import os
import re
import shutil
import subprocess
import time

from .common import HarnessError, lock_with_deadline, scaled
from .procs import Procs, run
from .relay import RELAY_FUNCTIONS

WINE = "/usr/bin/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/bin/wineserver"
PREFIX_RECIPE = "3"  # bump when prefix setup changes, so stale prefixes are rebuilt
STANDARD_TOP_DIRS = {"windows", "users", "programdata", "program files", "program files (x86)"}
# The suite's prefixes: their folders in a state folder.
PREFIXES = {"win32": "prefix32", "win64": "prefix64"}
# GB a generation's two prefixes take, and their kept copy (measured: 0.6 + 1.3 GB
# on Wine 8.0, 0.6 + 1.4 GB on Wine 10.0).
PREFIXES_GB = 2.5
# A folder where prefixes once made are kept for every work folder (set by the
# routes that run Wine on this machine; a guest has its prefixes on a disk).
KEPT_ENV = "LANYUE_PREFIX_CACHE"


def recipe():
    """What a prefix is made from, besides Wine: a change makes new ones."""
    return f"{PREFIX_RECIPE}\n{';'.join(RELAY_FUNCTIONS)}\n"


@functools.lru_cache(maxsize=None)
def wine_version(root="/"):
    """The version of the wine package installed in root, as dpkg records it (asking
    Wine costs a process; a root's is read from outside it), or None."""
    if root is None:
        return None
    try:
        status = open(os.path.join(root, "var", "lib", "dpkg", "status"), encoding="utf-8", errors="replace")
    except OSError:
        return None
    with status:
        for paragraph in status.read().split("\n\n"):
            fields = dict(line.split(": ", 1) for line in paragraph.splitlines() if ": " in line)
            if fields.get("Package") == "wine" and fields.get("Status", "").endswith(" installed"):
                return fields.get("Version")
    return None


def stamp_text(arch, version):
    return f"{PREFIX_RECIPE} {arch} wine {version}\n"


def kept_name(name, arch, version):
    """The name a prefix's copy is kept under, for every work folder: one per recipe and Wine."""
    return f"{name}-{hashlib.sha256(stamp_text(arch, version).encode()).hexdigest()[:12]}"


def suite_prefixes(state):
    return {arch: Prefix(os.path.join(state, name), arch) for arch, name in PREFIXES.items()}


def make_prefixes(state):
    """Makes the suite's prefixes in a state folder (those ready stay), on a display
    of their own, and leaves no server running."""
    from .display import Display
    procs = Procs()
    try:
        display = Display(procs).name
        for prefix in suite_prefixes(state).values():
            if not prefix.create(display):
                print(f"{prefix.arch} prefix already made: {prefix.path}")
            prefix.kill_server()
    finally:
        procs.end_all()


class Prefix:
    """One Wine prefix of our own; arch is 'win32' or 'win64'."""

    def __init__(self, path, arch):
        self.path = os.path.abspath(path)
        self.arch = arch
        self.drive_c = os.path.join(self.path, "drive_c")
        # 64-bit tools (reg /reg:64, wineboot) need the 64-bit loader in a win64 prefix;
        # the 32-bit tool runs through the ordinary loader in either.
        self.tool_loader = WINE64 if arch == "win64" else WINE

    def env(self, display=None, debug="-all"):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("WINE") and k not in ("LANGUAGE", "DISPLAY")}
        env.update(WINEPREFIX=self.path, WINEARCH=self.arch, WINEDEBUG=debug,
                   # no Mono/Gecko install prompts, no desktop menu entries on the host
                   WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                   LC_ALL="zh_CN.UTF-8", LANG="zh_CN.UTF-8")  # ANSI code page 936
        if display:
            env["DISPLAY"] = display
        return env

    def stamp_text(self):
        return stamp_text(self.arch, wine_version())

    def is_made(self):
        """Whether it was made, by whichever Wine (is_ready asks this one)."""
        return os.path.exists(os.path.join(self.path, "lanyue-ready"))

    def is_ready(self):
        try:
            return open(os.path.join(self.path, "lanyue-ready")).read() == self.stamp_text()
        except OSError:
            return False

    def kill_server(self):
        """Ends the Wine server serving this prefix, and every program of it; fails
        when the server will not go."""
        env = self.env()
        run([WINESERVER, "-k"], env, timeout=30, check=False, what="wineserver -k")
        # -k returns before the old server has let go of the prefix
        run([WINESERVER, "-w"], env, timeout=15, check=False, what="wineserver -w")

    def kept(self):
        """Where a copy of this prefix, as this Wine and recipe make it, is kept for
        every work folder, or None."""
        folder = os.environ.get(KEPT_ENV)
        if not folder:
            return None
        return os.path.join(folder, kept_name(os.path.basename(self.path), self.arch, wine_version()))

    def create(self, display):
        """Makes the prefix unless it is ready: a copy of the kept one, if any, else
        anew (and then it is kept). False when it was ready."""
        if self.is_ready():
            return False
        if self.arch == "win64" and not os.path.exists(WINE64):
            raise HarnessError(f"{WINE64} missing: install the wine64 package")
        if os.path.exists(self.path):
            self.kill_server()
            shutil.rmtree(self.path)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        t0 = time.monotonic()
        kept = self.kept()
        if kept and os.path.exists(os.path.join(kept, "lanyue-ready")):
            copy_prefix(kept, self.path)
            print(f"{self.arch} prefix copied from {kept} in {time.monotonic() - t0:.1f}s")
            return True
        print(f"creating {self.arch} prefix {self.path} ...")
        env = self.env(display)
        run([self.tool_loader, "wineboot", "-i"], env, timeout=300, what="wineboot")
        self.set_value(display, r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ",
                       ";".join(RELAY_FUNCTIONS))
        # A crashing program must end with an exit code, not wait on a crash dialog.
        self.set_value(display, r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0")
        run([WINESERVER, "-w"], env, timeout=120, what="wineserver -w")
        if not os.path.isdir(os.path.join(self.drive_c, "windows")):
            raise HarnessError(f"wineboot left no {self.drive_c}/windows")
        with open(os.path.join(self.path, "lanyue-ready"), "w") as f:
            f.write(self.stamp_text())
        print(f"{self.arch} prefix ready in {time.monotonic() - t0:.1f}s")
        if kept:
            copy_prefix(self.path, kept)
            print(f"{self.arch} prefix kept in {kept}")
        return True

    def reg(self, display, *args, check=True, timeout=60):
        return run([self.tool_loader, "reg", *args], self.env(display), timeout=timeout,
                   check=check, what=f"wine reg {' '.join(args[:2])}")

    def value(self, display, key, name, *view):
        """(type, data) of one registry value as `reg query` shows it, or None."""
        out = self.reg(display, "query", key, "/v", name, *view).stdout.decode("gbk", "replace")
        for line in out.splitlines():
            parts = line.strip(" \r").split("    ")
            if parts and parts[0] == name:
                return (parts[1] if len(parts) > 1 else "", parts[2] if len(parts) > 2 else "")
        return None

    def set_value(self, display, key, name, type_, data, *view):
        """Writes one value, then reads it back: what was not stored fails here."""
        self.reg(display, "add", key, "/v", name, "/t", type_, "/d", data, "/f", *view)
        want = (type_, f"{int(data):#x}" if type_ == "REG_DWORD" else data)
        got = self.value(display, key, name, *view)
        if got != want:
            shown = f"{got[0]} {got[1][:80]!r}" if got else "no such value"
            raise HarnessError(f"{key}\\{name} holds {shown}, meant {want[0]} {want[1][:80]!r}")

    def host_path(self, win_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b (Wine stores names as UTF-8)."""
        if not re.match(r"^[Cc]:\\", win_path):
            raise HarnessError(f"only C: paths are mapped: {win_path}")
        parts = [p for p in win_path[3:].split("\\") if p]
        return os.path.join(self.drive_c, *parts)

    def scratch_names(self):
        """Top-level entries of C: that Wine itself did not make."""
        return sorted(n for n in os.listdir(self.drive_c) if n.lower() not in STANDARD_TOP_DIRS)

    def clear_scratch(self):
        for name in self.scratch_names():
            p = os.path.join(self.drive_c, name)
            if os.path.isdir(p) and not os.path.islink(p):
                shutil.rmtree(p)
            else:
                os.unlink(p)

    def snapshot(self):
        """Everything on C: outside Wine's own folders: path -> 'dir' or file digest."""
        snap = {}
        for name in os.listdir(self.drive_c):
            if name.lower() in STANDARD_TOP_DIRS:
                continue
            top = os.path.join(self.drive_c, name)
            entries = [(top, os.path.isdir(top))]
            if os.path.isdir(top):
                for root, dirs, files in os.walk(top):
                    entries += [(os.path.join(root, d), True) for d in dirs]
                    entries += [(os.path.join(root, f), False) for f in files]
            for p, is_dir in entries:
                rel = "C:\\" + os.path.relpath(p, self.drive_c).replace("/", "\\")
                snap[rel] = "dir" if is_dir else hashlib.sha256(open(p, "rb").read()).hexdigest()[:16]
        return snap


def copy_prefix(source, target):
    """A whole copy, in place at once: made aside, under the target's own name with
    .partial, and renamed when whole. One copier at a time per folder, under its
    lock: what a killed copy left there goes first. A copy already there wins."""
    partial = target + ".partial"
    with open(os.path.join(os.path.dirname(target), ".copying.lock"), "w") as lock:
        lock_with_deadline(lock, scaled(600), f"copying into {os.path.dirname(target)}")
        for left in glob.glob(glob.escape(target) + ".partial*"):
            subprocess.run(["rm", "-rf", "--one-file-system", "--", left])
        if os.path.exists(os.path.join(target, "lanyue-ready")):
            return
        try:
            cp = subprocess.run(["cp", "-a", "-T", "--reflink=auto", "--", source, partial],
                                capture_output=True, text=True)
            if cp.returncode != 0:
                lines = cp.stderr.strip().splitlines() or ["it said nothing"]
                more = f" (and {len(lines) - 1} more lines like it)" if len(lines) > 1 else ""
                raise HarnessError(f"copying {source} to {partial} failed: {lines[0]}{more}")
            # Debian's Wine names the server folder of the session that made it there.
            if os.path.exists(os.path.join(partial, "wineserver")):
                os.unlink(os.path.join(partial, "wineserver"))
            if os.path.exists(target):
                subprocess.run(["rm", "-rf", "--one-file-system", "--", target])
            os.rename(partial, target)
        finally:
            if os.path.exists(partial):
                subprocess.run(["rm", "-rf", "--one-file-system", "--", partial])


class PrefixLock:
    """Serialises runs that share a prefix, also outside ctest."""

    def __init__(self, path, timeout=600):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.f = open(path, "w")
        lock_with_deadline(self.f, scaled(timeout), path)

    def release(self):
        self.f.close()  # closing lets the lock go
