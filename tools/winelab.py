# Wine workbench shared by the end-to-end suite, tools/try-under-wine and
# bench/: the route Wine runs on (this machine, or an emulated guest where
# its kernel runs no 32-bit code), private Xvfb displays, private Wine
# prefixes, Win32 helper builds, relay-log parsing and message-box handling.
# Every process it starts is tracked by pid and ended by pid; its wineserver
# is stopped per prefix only.
import ctypes
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import guest as guestlib

WINE = "/usr/bin/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/bin/wineserver"
PREFIX_RECIPE = "3"  # bump when prefix setup changes, so stale prefixes are rebuilt

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
STANDARD_TOP_DIRS = {"windows", "users", "programdata", "program files", "program files (x86)"}


class HarnessError(Exception):
    """The workbench itself could not set a case up (not a fault of the tool)."""


# ---------------------------------------------------------------- route

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENSURE_PACKAGES = os.path.join(REPO, "scripts", "ensure-packages.sh")
SKIP = 77  # ctest's SKIP_RETURN_CODE for the Wine cases
ROUTE_ENV = "LANYUE_E2E_ROUTE"
# Every wait and timeout of the workbench is multiplied by this; the guest route
# sets it for the commands it runs, since everything there runs under emulation.
WAIT_SCALE = float(os.environ.get("LANYUE_WAIT_SCALE") or 1)
GUEST_WAIT_SCALE = 6
# Where machine-local state (prefixes, locks, display pid files) goes when not in
# the work folder: in the guest the work folder is the host's, shared for the logs.
STATE_ENV = "LANYUE_WINE_STATE"
NATIVE_PACKAGES = ("wine", "wine32:i386", "wine64", "xvfb", "xdotool")
GUEST_PACKAGES = ("qemu-system-x86", "mmdebstrap", "e2fsprogs")


def scaled(seconds):
    return seconds * WAIT_SCALE


def state_dir(default):
    return os.environ.get(STATE_ENV) or default


def _ensure(function, *args):
    """Runs one function of scripts/ensure-packages.sh; True when it succeeded."""
    cp = subprocess.run(["bash", "-c", f'. "$0" && {function} "$@"', ENSURE_PACKAGES, *args],
                        stdin=subprocess.DEVNULL, stdout=sys.stderr)
    return cp.returncode == 0


def ensure_packages(*packages):
    """Installs what is missing; True when all are there."""
    return _ensure("ensure_packages", *packages)


def ensure_zh_locale():
    if not _ensure("ensure_zh_locale"):
        raise HarnessError("the zh_CN.UTF-8 locale could not be made")


def runs_32bit_code(bin_dir):
    """(answer, why) from tools/ia32_probe.c, a 64-bit program that enters 32-bit code."""
    source = os.path.join(REPO, "tools", "ia32_probe.c")
    probe = os.path.join(bin_dir, "ia32_probe")
    if not (os.path.exists(probe) and os.path.getmtime(probe) >= os.path.getmtime(source)):
        if not ensure_packages("gcc", "libc6-dev"):
            raise HarnessError("gcc is needed to build the 32-bit probe")
        os.makedirs(bin_dir, exist_ok=True)
        # -no-pie: the code must sit below 4 GB to be reachable from 32-bit code.
        cp = subprocess.run(["gcc", "-O2", "-static", "-no-pie", "-o", probe + ".tmp", source],
                            capture_output=True, text=True)
        if cp.returncode != 0:
            raise HarnessError(f"building the 32-bit probe failed:\n{cp.stderr}")
        os.replace(probe + ".tmp", probe)
    try:
        cp = subprocess.run([probe], capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return False, "the 32-bit probe hung"
    answer = cp.stdout.strip() or f"no: the probe ended with status {cp.returncode}"
    return cp.returncode == 0 and answer == "yes", answer


class Route:
    """Where Wine runs. `forward` runs a workbench command there: None means
    "here, go on"; otherwise the command's exit code."""
    name = None

    def __init__(self, reason):
        self.reason = reason

    def __str__(self):
        return f"{self.name} ({self.reason})"

    def start(self, log=print):
        pass

    def forward(self, argv, timeout):
        return None

    def stop(self):
        pass


class NativeRoute(Route):
    name = "native"

    def start(self, log=print):
        if not ensure_packages(*NATIVE_PACKAGES):
            raise HarnessError(f"could not install {' '.join(NATIVE_PACKAGES)}")
        ensure_zh_locale()


class NoRoute(Route):
    name = "none"

    def forward(self, argv, timeout):
        print(f"skipped: Wine cannot run here: {self.reason}")
        return SKIP


def _guest_of(workdir):
    return guestlib.Guest(os.path.join(workdir, "guest"))


def stop_guest(workdir):
    """Ends the guest of this work folder, if one runs."""
    _guest_of(workdir).stop()


class GuestRoute(Route):
    """The same command, run natively in the emulated guest: the repository
    (read-only), the work folder and any extra folders are shared at their
    host paths, and machine-local state stays on the guest's own disk."""
    name = "guest"

    def __init__(self, reason, workdir, shares):
        super().__init__(reason)
        self.guest = _guest_of(workdir)
        self.shares = shares

    def start(self, log=print):
        shares = [("repo", REPO, True)]
        shares += [(f"share{i}", p, ro) for i, (p, ro) in enumerate(self.shares)]
        self.guest.boot(shares, timeout=300, log=log)

    def forward(self, argv, timeout):
        env = {ROUTE_ENV: "native", "LANYUE_WAIT_SCALE": str(GUEST_WAIT_SCALE * WAIT_SCALE),
               STATE_ENV: "/var/lanyue"}
        if os.environ.get("LANYUE_E2E_EXE"):
            env["LANYUE_E2E_EXE"] = os.path.abspath(os.environ["LANYUE_E2E_EXE"])
        # The same folder as here where the guest has it (the repository and the
        # work folder are shared at their own paths), else the repository.
        script = (f"cd {shlex.quote(os.getcwd())} 2>/dev/null || cd {shlex.quote(REPO)}\n"
                  + "".join(f"export {k}={shlex.quote(v)}\n" for k, v in env.items())
                  + "exec /usr/bin/python3 " + " ".join(shlex.quote(a) for a in argv) + "\n")
        try:
            return self.guest.run(script, timeout=timeout)
        except guestlib.GuestError as e:
            raise HarnessError(str(e))

    def stop(self):
        self.guest.stop()


def _guest_or_none(reason, workdir, shares):
    if not ensure_packages(*GUEST_PACKAGES):
        return NoRoute(f"{reason}, and the emulator ({' '.join(GUEST_PACKAGES)}) cannot be installed")
    short = guestlib.lacks_room()
    if short:
        return NoRoute(f"{reason}, and the disk lacks room for the guest image: {short}")
    return GuestRoute(reason, workdir, shares)


def native_route(workdir):
    """(NativeRoute, None) where Wine runs on this machine, else (None, why not).
    LANYUE_E2E_ROUTE=native|guest forces the answer."""
    forced = os.environ.get(ROUTE_ENV)
    if forced == "native":
        return NativeRoute(f"{ROUTE_ENV}=native"), None
    if forced == "guest":
        return None, f"{ROUTE_ENV}=guest"
    if forced:
        raise HarnessError(f"{ROUTE_ENV} must be native or guest, not {forced!r}")
    native, answer = runs_32bit_code(os.path.join(workdir, "bin"))
    if native:
        return NativeRoute("this kernel runs 32-bit x86 code"), None
    return None, f"this kernel runs no 32-bit x86 code ({answer})"


def choose_route(workdir, shares=()):
    """Native where this kernel runs 32-bit code, the guest otherwise; none when the
    guest cannot be had. `shares`: (host folder, read-only) the guest must see, besides
    the repository."""
    native, why = native_route(workdir)
    return native or _guest_or_none(why, workdir, shares)


def save_route(route, workdir):
    with open(os.path.join(workdir, "route.json"), "w") as f:
        json.dump({"name": route.name, "reason": route.reason}, f)


def saved_route(workdir, shares=()):
    """The route the prepare step took (inside the guest: native); a fresh choice
    when no prepare step ran."""
    if os.environ.get(ROUTE_ENV) == "native":
        return NativeRoute(f"{ROUTE_ENV}=native")
    try:
        saved = json.load(open(os.path.join(workdir, "route.json")))
    except (OSError, ValueError):
        return choose_route(workdir, shares)
    if saved["name"] == "guest":
        return GuestRoute(saved["reason"], workdir, shares)
    return (NativeRoute if saved["name"] == "native" else NoRoute)(saved["reason"])


# ---------------------------------------------------------------- processes

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # PR_SET_PDEATHSIG: a killed runner takes its Xvfb and Wine children along.
    _libc.prctl(1, signal.SIGKILL, 0, 0, 0)


class Procs:
    """Processes this run started; ended by pid, never by name."""

    def __init__(self):
        self.live = []

    def start(self, argv, env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=()):
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                             stderr=stderr, preexec_fn=_die_with_parent, pass_fds=pass_fds)
        self.live.append(p)
        return p

    @staticmethod
    def end(p, grace=2.0):
        if p.poll() is not None:
            return
        try:
            p.terminate()
            p.wait(timeout=scaled(grace))
        except subprocess.TimeoutExpired:
            p.kill()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        except ProcessLookupError:
            pass

    def end_all(self, keep=()):
        for p in reversed(self.live):
            if p not in keep:
                self.end(p)
        self.live = [p for p in self.live if p in keep]


def run(argv, env, timeout, check=True, what=None):
    """Runs a short command with a hard timeout; returns CompletedProcess (bytes).
    Output goes through files, not pipes: the first Wine command of a session
    starts services.exe and friends, which inherit its descriptors and would
    keep a pipe open for as long as the wineserver lives."""
    timeout = scaled(timeout)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                 preexec_fn=_die_with_parent)
        except OSError as e:
            raise HarnessError(f"cannot start {argv[0]}: {e}")
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            Procs.end(p)
            raise HarnessError(f"{what or argv[0]} did not finish within {timeout}s")
        out.seek(0)
        err.seek(0)
        cp = subprocess.CompletedProcess(argv, p.returncode, out.read(), err.read())
    if check and cp.returncode != 0:
        raise HarnessError(f"{what or ' '.join(map(str, argv))} failed ({cp.returncode}): "
                           f"{cp.stderr.decode('utf-8', 'replace')[-600:]}")
    return cp


# ---------------------------------------------------------------- display

class Display:
    """A private Xvfb; -displayfd lets the server pick a free number."""

    def __init__(self, procs, pidfile=None, size="1024x768x24"):
        r, w = os.pipe()
        self.proc = procs.start(["Xvfb", "-displayfd", str(w), "-screen", "0", size,
                                 "-nolisten", "tcp", "-noreset"], env=os.environ.copy(),
                                pass_fds=(w,))
        os.close(w)
        deadline = time.monotonic() + scaled(20)
        data = b""
        os.set_blocking(r, False)
        while not data.endswith(b"\n"):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                os.close(r)
                raise HarnessError("Xvfb did not start (is the xvfb package installed?)")
            try:
                chunk = os.read(r, 64)
                if chunk:
                    data += chunk
                    continue
            except BlockingIOError:
                pass
            time.sleep(0.05)
        os.close(r)
        self.name = ":" + data.decode().strip()
        if pidfile:
            with open(pidfile, "w") as f:
                f.write(f"{self.proc.pid}\n")
        self.pidfile = pidfile

    def close(self):
        Procs.end(self.proc)
        if self.pidfile and os.path.exists(self.pidfile):
            os.unlink(self.pidfile)


def end_stale_xvfb(pidfile):
    """An Xvfb left by a run that was killed outright; checked to be ours before ending it."""
    try:
        pid = int(open(pidfile).read().strip())
        cmd = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0]
        if os.path.basename(cmd) == b"Xvfb":
            os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    try:
        os.unlink(pidfile)
    except OSError:
        pass


def xdotool(display, *args, timeout=10):
    env = dict(os.environ, DISPLAY=display)
    try:
        return subprocess.run(["xdotool", *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=scaled(timeout))
    except subprocess.TimeoutExpired:
        raise HarnessError(f"xdotool {' '.join(args)} hung")


def visible_windows(display, pid):
    cp = xdotool(display, "search", "--onlyvisible", "--pid", str(pid))
    return [int(x) for x in cp.stdout.split()] if cp.returncode == 0 else []


def window_name(display, wid):
    return xdotool(display, "getwindowname", str(wid)).stdout.rstrip(b"\n").decode("utf-8", "replace")


def press_return(display, wid):
    # With no window manager nothing gives the box the focus its OK button needs.
    xdotool(display, "windowfocus", "--sync", str(wid), "key", "--window", str(wid), "Return")


# ---------------------------------------------------------------- prefix

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
        ver = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
        return f"{PREFIX_RECIPE} {self.arch} {ver}\n"

    def is_ready(self):
        try:
            return open(os.path.join(self.path, "lanyue-ready")).read() == self.stamp_text()
        except OSError:
            return False

    def kill_server(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=scaled(30))
        # -k returns before the old server has let go of the prefix
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=scaled(15))
        except subprocess.TimeoutExpired:
            pass

    def create(self, display, log=print):
        if self.is_ready():
            return False
        if self.arch == "win64" and not os.path.exists(WINE64):
            raise HarnessError(f"{WINE64} missing: install the wine64 package")
        if os.path.exists(self.path):
            self.kill_server()
            shutil.rmtree(self.path)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        log(f"creating {self.arch} prefix {self.path} ...")
        t0 = time.monotonic()
        env = self.env(display)
        run([self.tool_loader, "wineboot", "-i"], env, timeout=300, what="wineboot")
        self.reg(display, "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude",
                 "/t", "REG_SZ", "/d", ";".join(RELAY_FUNCTIONS), "/f")
        # A crashing program must end with an exit code, not wait on a crash dialog.
        self.reg(display, "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                 "/t", "REG_DWORD", "/d", "0", "/f")
        run([WINESERVER, "-w"], env, timeout=120, what="wineserver -w")
        if not os.path.isdir(os.path.join(self.drive_c, "windows")):
            raise HarnessError(f"wineboot left no {self.drive_c}/windows")
        with open(os.path.join(self.path, "lanyue-ready"), "w") as f:
            f.write(self.stamp_text())
        log(f"{self.arch} prefix ready in {time.monotonic() - t0:.1f}s")
        return True

    def reg(self, display, *args, check=True, timeout=60):
        return run([self.tool_loader, "reg", *args], self.env(display), timeout=timeout,
                   check=check, what=f"wine reg {' '.join(args[:2])}")

    def host_path(self, win_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b (Wine stores names as UTF-8)."""
        if not re.match(r"^[Cc]:\\", win_path):
            raise HarnessError(f"only C: paths are mapped: {win_path}")
        parts = [p for p in win_path[3:].split("\\") if p]
        return os.path.join(self.drive_c, *parts)

    def clear_scratch(self):
        """Removes every top-level entry of C: that Wine itself did not make."""
        for name in os.listdir(self.drive_c):
            if name.lower() in STANDARD_TOP_DIRS:
                continue
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


class PrefixLock:
    """Serialises runs that share a prefix, also outside ctest."""

    def __init__(self, path, timeout=600):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.f = open(path, "w")
        deadline = time.monotonic() + scaled(timeout)
        while True:
            try:
                fcntl.flock(self.f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise HarnessError(f"{path} stayed locked for {timeout}s")
                time.sleep(0.2)

    def release(self):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


# ---------------------------------------------------------------- Win32 helpers

def mingw_gcc():
    for name in ("i686-w64-mingw32-gcc-win32", "i686-w64-mingw32-gcc"):
        p = shutil.which(name)
        if p:
            return p
    raise HarnessError("i686-w64-mingw32-gcc missing: install gcc-mingw-w64-i686-win32")


def build_win32(source, out, libs=(), gui=True):
    """Compiles a small C helper for 32-bit Windows when the source is newer."""
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(source):
        return out
    os.makedirs(os.path.dirname(out), exist_ok=True)
    argv = [mingw_gcc(), "-O2", "-s", "-Wall", "-Werror", "-o", out + ".tmp", source]
    argv += ["-mwindows"] if gui else []
    argv += [f"-l{lib}" for lib in libs]
    cp = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if cp.returncode != 0:
        raise HarnessError(f"building {os.path.basename(source)} failed:\n{cp.stderr}")
    os.replace(out + ".tmp", out)
    return out


# ---------------------------------------------------------------- relay log

# Relay lines carry pid:tid with WINEDEBUG=+pid, which the tool's run uses.
_CALL_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{4,8}):Call ([\w.]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET_RE = re.compile(r"^([0-9a-f]{4,8}):([0-9a-f]{4,8}):Ret  ([\w.]+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
_PID_RE = re.compile(rb"^([0-9a-f]{4,8}):[0-9a-f]{4,8}:")
_ARG_RE = re.compile(r'([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)"(\.\.\.)?| (\(null\)|\(invalid\)|#[0-9a-f]+))?(,|$)')
# Wine's own lines on a program's stderr: debug channels, relay, loader notes.
_WINE_LINE_RE = re.compile(rb"^(?:(?:[0-9a-f]{4,8}:){1,2}(?:Call |Ret |Starting |(?:trace|fixme|err|warn):)|wine: )")


def _unescape(s, wide):
    """Undoes Wine's debugstr escaping; returns bytes for A strings, str for W."""
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c != "\\":
            out.append(ord(c))
            i += 1
            continue
        n = s[i + 1]
        if n == "x":
            width = 4 if wide else 2
            out.append(int(s[i + 2:i + 2 + width], 16))
            i += 2 + width
        else:
            out.append({"n": 10, "r": 13, "t": 9, "0": 0}.get(n, ord(n)))
            i += 2
    return "".join(map(chr, out)) if wide else bytes(out)


def parse_args(text):
    args, pos = [], 0
    while pos < len(text):
        m = _ARG_RE.match(text, pos)
        if not m:
            args.append(("?", text[pos:]))
            break
        value = int(m.group(1), 16)
        if m.group(3) is not None:
            s = _unescape(m.group(3), m.group(2) == "L")
            if m.group(4):  # Wine cut a long string short: never equal to a real expectation
                s += b"...(cut)" if isinstance(s, bytes) else "...(cut)"
            args.append((value, s))
        else:
            args.append((value, None))
        pos = m.end()
    return args


class RelayCall:
    def __init__(self, tid, dll, func, args, ret_addr):
        self.tid, self.dll, self.func, self.args, self.ret_addr = tid, dll, func, args, ret_addr
        self.retval = None
        self.nested = False

    def __repr__(self):
        shown = ", ".join(repr(s) if s is not None else f"{v:#x}" for v, s in self.args)
        r = f" -> {self.retval:#x}" if self.retval is not None else ""
        return f"{self.func}({shown}){r}"


def parse_relay(stderr_bytes):
    """(calls, program_stderr, pid): the relayed calls the program itself made, in
    order, and the stderr lines that are not Wine's. Processes Wine starts on the
    program's behalf (explorer.exe for the first window) share its stderr, so
    only calls from the first process to log (the program) count."""
    calls, stack, program, tool_pid = [], {}, [], None
    for raw in stderr_bytes.split(b"\n"):
        line = raw.rstrip(b"\r")
        if _WINE_LINE_RE.match(line):
            m = _PID_RE.match(line)
            if m and tool_pid is None:
                tool_pid = m.group(1).decode()
            text = line.decode("latin-1")
            m = _CALL_RE.match(text)
            if m and m.group(1) == tool_pid:
                c = RelayCall(m.group(2), m.group(3), m.group(4), parse_args(m.group(5)), m.group(6))
                # a relayed function calling another (kernel32 -> kernelbase) is one request
                c.nested = bool(stack.get(c.tid))
                calls.append(c)
                stack.setdefault(c.tid, []).append(c)
                continue
            m = _RET_RE.match(text)
            if m and m.group(1) == tool_pid and stack.get(m.group(2)):
                for c in reversed(stack[m.group(2)]):
                    if c.func == m.group(4) and c.retval is None:
                        c.retval = int(m.group(5), 16)
                        stack[m.group(2)].remove(c)
                        break
            continue
        program.append(raw)
    while program and program[-1] == b"":
        program.pop()
    text = b"\n".join(program)
    return calls, (text + b"\n" if text else b""), tool_pid


# ---------------------------------------------------------------- running the tool

class BoxRun:
    """Outcome of one run of a GUI program that shows message boxes."""

    def __init__(self):
        self.exit_code = None
        self.boxes = []          # (window id, title) in the order they appeared
        self.killed = False
        self.stdout = b""
        self.stderr = b""
        self.calls = []
        self.program_stderr = b""
        self.first_box_s = None


def run_until_boxes_closed(procs, argv, env, display, log_dir, appear_timeout=60, exit_timeout=30,
                           press=True):
    """Starts the program, presses Return on every box it shows, waits for it to end."""
    appear_timeout, exit_timeout = scaled(appear_timeout), scaled(exit_timeout)
    os.makedirs(log_dir, exist_ok=True)
    out_path, err_path = os.path.join(log_dir, "stdout"), os.path.join(log_dir, "stderr")
    res = BoxRun()
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        t0 = time.monotonic()
        p = procs.start(argv, env, stdout=out, stderr=err)
        seen = {}
        deadline = t0 + appear_timeout
        pressed_at = {}
        while True:
            alive = p.poll() is None
            for wid in visible_windows(display, p.pid) if alive else []:
                if wid not in seen:
                    if res.first_box_s is None:
                        res.first_box_s = time.monotonic() - t0
                        deadline = time.monotonic() + exit_timeout
                        time.sleep(scaled(0.3))  # let a second, concurrent box surface too
                    seen[wid] = window_name(display, wid)
                    res.boxes.append((wid, seen[wid]))
                if press and time.monotonic() - pressed_at.get(wid, -1e9) > scaled(3):
                    press_return(display, wid)
                    pressed_at[wid] = time.monotonic()
            if not alive:
                break
            if time.monotonic() > deadline:
                res.killed = True
                Procs.end(p)
                break
            time.sleep(0.05)
        res.exit_code = p.returncode
    res.stdout = open(out_path, "rb").read()
    res.stderr = open(err_path, "rb").read()
    res.calls, res.program_stderr, res.wine_pid = parse_relay(res.stderr)
    return res
