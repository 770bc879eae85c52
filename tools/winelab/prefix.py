# Wine prefixes of the workbench's own: made once per recipe and Wine version
# (and kept, for every work folder, where Wine runs on this machine), their C:
# drive mapped and cleared, the suite's two prefixes in a state folder, the
# case agent's requests that write the registry and read it back, and the lock
# that serialises runs sharing a prefix, also outside ctest.
import functools
import glob
import hashlib
import os
import re
import shutil
import subprocess
import time

from .common import HarnessError, lock_with_deadline, scaled
from .lifetime import run

WINE = "/usr/bin/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/bin/wineserver"
PREFIX_RECIPE = "4"  # bump when prefix setup changes, so stale prefixes are rebuilt
STANDARD_TOP_DIRS = {"windows", "users", "programdata", "program files", "program files (x86)"}
# The suite's prefixes: their folders in a state folder.
PREFIXES = {"win32": "prefix32", "win64": "prefix64"}
# GB a generation's two prefixes take, and their kept copy (measured: 0.6 + 1.3 GB
# on Wine 8.0, 0.6 + 1.4 GB on Wine 10.0).
PREFIXES_GB = 2.5
# A folder where prefixes once made are kept for every work folder (set by the
# routes that run Wine on this machine; a guest has its prefixes on a disk).
KEPT_ENV = "LANYUE_PREFIX_CACHE"
# Every way a program could create a folder or show a box, so an unexpected
# route shows up in the log instead of passing unseen.
RELAY_FUNCTIONS = [
    "user32.MessageBoxA", "user32.MessageBoxW", "user32.MessageBoxExA", "user32.MessageBoxExW",
    "user32.MessageBoxIndirectA", "user32.MessageBoxIndirectW",
    "user32.MessageBoxTimeoutA", "user32.MessageBoxTimeoutW",
    "kernel32.CreateDirectoryA", "kernel32.CreateDirectoryW",
    "kernel32.CreateDirectoryExA", "kernel32.CreateDirectoryExW",
    "kernelbase.CreateDirectoryA", "kernelbase.CreateDirectoryW", "kernelbase.CreateDirectoryExW",
    "shell32.SHCreateDirectoryExA", "shell32.SHCreateDirectoryExW", "shell32.SHCreateDirectory",
    "imagehlp.MakeSureDirectoryPathExists", "dbghelp.MakeSureDirectoryPathExists",
]
# What a made prefix holds in its registry, each read back as stored.
SETTINGS = [
    (r"HKCU\Software\Wine\Debug", "REG_SZ", "RelayInclude", ";".join(RELAY_FUNCTIONS)),
    # A crashing program must end with an exit code, not wait on a crash dialog.
    (r"HKCU\Software\Wine\WineDbg", "REG_DWORD", "ShowCrashDialog", "0"),
    # No window manager runs on the display: a managed window would wait 2 s for
    # one to withdraw it as it closes (Wine 8.0), so the windows are Wine's own.
    (r"HKCU\Software\Wine\X11 Driver", "REG_SZ", "Managed", "N"),
]


def recipe():
    """What a prefix is made from, besides Wine: a change makes new ones."""
    return f"{PREFIX_RECIPE}\n{SETTINGS!r}\n"


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
    return f"{hashlib.sha256(recipe().encode()).hexdigest()[:12]} {arch} wine {version}\n"


def kept_name(name, arch, version):
    """The name a prefix's copy is kept under, for every work folder: one per recipe and Wine."""
    return f"{name}-{hashlib.sha256(stamp_text(arch, version).encode()).hexdigest()[:12]}"


def suite_prefixes(state):
    return {arch: Prefix(os.path.join(state, name), arch) for arch, name in PREFIXES.items()}


def make_prefixes(args):
    """A job: makes the suite's prefixes in a state folder (those ready stay), with
    the case agent at args[1], on a display of its own; leaves no server running."""
    from .display import Display
    display = Display()
    try:
        for prefix in suite_prefixes(args[0]).values():
            if not prefix.create(display.name, args[1]):
                print(f"{prefix.arch} prefix already made: {prefix.path}")
            prefix.kill_server()
    finally:
        display.close()
    return 0


def set_words(key, view, type_, name, data, lock=False):
    """The case agent's request that writes one value (and prints it as stored);
    `lock` then leaves the key readable only."""
    return ["set", key, str(view or "-"), type_, name, data] + (["lock"] if lock else [])


def answers(text):
    """{request id: (status, lines)} of what the agent wrote (bytes)."""
    got, lines = {}, None
    for line in text.replace(b"\r", b"").split(b"\n"):
        if line.startswith(b"begin "):
            lines = []
        elif line.startswith(b"end ") and lines is not None:
            ask_id, status = line[4:].decode().rsplit(" ", 1)
            got[ask_id] = (int(status), lines)
            lines = None
        elif lines is not None:
            lines.append(line)
    return got


def check_stored(values, results):
    """Fails unless each value (as set_words takes it) reads back, in the agent's
    answer to its request, as it was meant (DWORDs as 0x...)."""
    for (key, view, type_, name, data, *_), (status, lines) in zip(values, results):
        if status != 0:
            raise HarnessError(f"the case agent could not write {key}\\{name} ({status}): "
                               f"{b' / '.join(lines).decode('utf-8', 'replace')}")
        want = [str(view or "-"), name, type_, f"{int(data):#x}" if type_ == "REG_DWORD" else data]
        stored = lines[0].decode("utf-8", "replace").split("\t", 3) if lines else []
        if stored != want:
            raise HarnessError(f"{key}\\{name} holds {stored[2:] or 'nothing'}, meant {want[2:]} "
                               f"({view or 'own'} view)")


class Prefix:
    """One Wine prefix of our own; arch is 'win32' or 'win64'."""

    def __init__(self, path, arch):
        self.path = os.path.abspath(path)
        self.arch = arch
        self.drive_c = os.path.join(self.path, "drive_c")
        # wineboot needs the 64-bit loader in a win64 prefix; the 32-bit tool and
        # the case agent run through the ordinary loader in either.
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

    def is_ready(self, path=None):
        try:
            return open(os.path.join(path or self.path, "lanyue-ready")).read() == self.stamp_text()
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

    def create(self, display, agent):
        """Makes the prefix unless it is ready: a copy of the kept one, if any, else
        anew, its settings written by the case agent at `agent` (and then it is
        kept). False when it was ready."""
        from .cache import build_aside, is_building, is_marked, remove_marked
        if self.is_ready():
            return False
        if self.arch == "win64" and not os.path.exists(WINE64):
            raise HarnessError(f"{WINE64} missing: install the wine64 package")
        t0 = time.monotonic()
        kept = self.kept()
        if kept and self.is_ready(kept):
            build_aside(self.path, lambda partial: copy_prefix(kept, partial), self.is_ready)
            print(f"{self.arch} prefix copied from {kept} in {time.monotonic() - t0:.1f}s")
            return True
        print(f"creating {self.arch} prefix {self.path} ...")
        build_aside(self.path, lambda partial: self.make(partial, display, agent), self.is_ready)
        print(f"{self.arch} prefix ready in {time.monotonic() - t0:.1f}s")
        if kept:
            build_aside(kept, lambda partial: copy_prefix(self.path, partial), self.is_ready)
            print(f"{self.arch} prefix kept in {kept}")
            for older in glob.glob(os.path.join(os.path.dirname(kept), os.path.basename(self.path) + "-*")):
                if os.path.isdir(older) and older != kept and is_marked(older) and not is_building(older):
                    remove_marked(older)  # another recipe's or Wine's: never copied again
        return True

    def make(self, path, display, agent):
        env = dict(self.env(display), WINEPREFIX=path)
        run([self.tool_loader, "wineboot", "-i"], env, timeout=300, what="wineboot")
        values = [(key, None, type_, name, data) for key, type_, name, data in SETTINGS]
        lines = "".join(f"{n}\t" + "\t".join(set_words(*v)) + "\n" for n, v in enumerate(values))
        got = answers(run([WINE, agent], env, timeout=120, input=lines.encode(), what="the case agent").stdout)
        check_stored(values, [got.get(str(n), (None, [b"no answer"])) for n in range(len(values))])
        run([WINESERVER, "-w"], env, timeout=120, what="wineserver -w")
        if not os.path.isdir(os.path.join(path, "drive_c", "windows")):
            raise HarnessError(f"wineboot left no {path}/drive_c/windows")
        # Debian's Wine names the server folder of the session that made it there.
        if os.path.exists(os.path.join(path, "wineserver")):
            os.unlink(os.path.join(path, "wineserver"))
        with open(os.path.join(path, "lanyue-ready"), "w") as f:
            f.write(self.stamp_text())

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


def copy_prefix(source, partial):
    """Copies a prefix into the (marked, empty) folder a build sets aside; its first
    error, not one a file."""
    cp = subprocess.run(["cp", "-a", "-T", "--reflink=auto", "--", source, partial], capture_output=True, text=True)
    if cp.returncode != 0:
        lines = cp.stderr.strip().splitlines() or ["it said nothing"]
        more = f" (and {len(lines) - 1} more lines like it)" if len(lines) > 1 else ""
        raise HarnessError(f"copying {source} to {partial} failed: {lines[0]}{more}")


class PrefixLock:
    """Serialises runs that share a prefix, also outside ctest."""

    def __init__(self, path, timeout=600):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.f = open(path, "w")
        lock_with_deadline(self.f, scaled(timeout), path)

    def release(self):
        self.f.close()  # closing lets the lock go
