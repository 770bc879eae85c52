# End-to-end cases for the shipped LanyueRepair.exe under Wine: real processes,
# a real registry (both WOW64 views), real folders and a real message box.
# One table of cases below, run on each Wine generation; `start` picks the
# route a generation's Wine runs on and starts its runner, `prepare` makes the
# prefixes there and starts their sessions, `run ID` runs one case there,
# `finish` ends the run. Every step but `start` is a job of the runner, sent
# with its deadline; where it runs, it is the same code (`here`). See --help.
import argparse
import hashlib
import os
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import winelab as wl  # noqa: E402
from relay_log import parse_relay  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VENDOR_KEY = r"HKLM\SOFTWARE\Velmarc"
KEY = VENDOR_KEY + r"\Pexa\Settings\lanyue_cn"
TOOL_AT = r"C:\Tools\LanyueRepair.exe"
# ctest's TIMEOUT of each step (CMake reads it from `timeouts`). The runner ends
# a step's job CLEANUP_S before it, after a moment for its clean-up.
STEP_TIMEOUTS = {"start": 3600, "prepare": 1800, "leftovers": 1500, "run": 600, "finish": 300}
CLEANUP_S = 30

# The two boxes, as the exact GBK bytes the tool must pass to MessageBoxA.
SUCCESS = dict(name="success",
               text=b"\xd0\xde\xb8\xb4\xb3\xc9\xb9\xa6!",           # 修复成功!
               caption=b"\xd0\xc5\xcf\xa2",                          # 信息
               style=0x40)                                           # MB_OK|MB_ICONINFORMATION
HINT = dict(name="launcher hint",
            text=(b"\xc7\xeb\xcf\xc8\xd4\xcb\xd0\xd0\xc0\xbd\xd4\xc0\xc6\xf4\xb6\xaf\xb3\xcc\xd0\xf2"
                  b",\xd4\xd9\xc6\xf4\xb6\xaf\xd0\xde\xb8\xb4\xb3\xcc\xd0\xf2"),  # 请先运行澜岳启动程序,再启动修复程序
            caption=b"\xd0\xde\xb8\xb4\xca\xa7\xb0\xdc",                   # 修复失败
            style=0x30)                                                    # MB_OK|MB_ICONWARNING


class Reg:
    def __init__(self, type_, data, view=None, name="InstallPath"):
        self.type, self.data, self.view, self.name = type_, data, view, name


def sz(data, view=None):
    return Reg("REG_SZ", data, view)


class Case:
    def __init__(self, id_, what, box, requests=(), created=(), prefix="win32", dirs=(),
                 files=None, reg=(), lock_key=False, clients=(), args=()):
        self.id, self.what, self.box = id_, what, box
        self.requests = list(requests)   # CreateDirectoryA paths, in call order
        self.created = set(created)      # folders that must be new afterwards, and no others
        self.prefix, self.dirs, self.files = prefix, list(dirs), dict(files or {})
        self.reg, self.lock_key = list(reg), lock_key
        self.clients = list(clients)     # started in this order, each seen running first
        self.args = list(args)


C = r"C:\Games\Client"
CP = C + r"\patch"
A, B = r"C:\Games\A", r"C:\Games\B"
BACKUP = r"C:\Games\Backup"
ZH_CLIENT = r"C:\游戏\澜岳客户端"
ZH_REG = r"C:\游戏\澜岳"
V32, V64 = r"C:\Games\View32", r"C:\Games\View64"

CASES = [
    Case("nothing-found", "no client running, no registry key", HINT),
    Case("registry-existing-dir", "InstallPath names an existing folder", SUCCESS,
         reg=[sz(C)], dirs=[C], requests=[CP], created=[CP]),
    Case("registry-missing-dir", "InstallPath names a folder that does not exist", SUCCESS,
         reg=[sz(r"C:\Games\Gone")], requests=[r"C:\Games\Gone\patch"]),
    Case("registry-trailing-backslash", "InstallPath ends in a backslash: plain concatenation",
         SUCCESS, reg=[sz(C + "\\")], dirs=[C], requests=[C + r"\\patch"], created=[CP]),
    Case("registry-expand-sz", "InstallPath is REG_EXPAND_SZ", HINT,
         reg=[Reg("REG_EXPAND_SZ", C)], dirs=[C]),
    Case("registry-empty", "InstallPath is an empty REG_SZ", HINT, reg=[sz("")], dirs=[C]),
    Case("registry-dword", "InstallPath is a REG_DWORD", HINT, reg=[Reg("REG_DWORD", "1")]),
    Case("registry-oversized", "InstallPath longer than 1024 bytes", HINT,
         reg=[sz(C + "\\" + "x" * 1100)], dirs=[C]),
    Case("registry-other-value", "the key holds a path under another value name", HINT,
         reg=[Reg("REG_SZ", C, name="Path")], dirs=[C]),
    Case("registry-read-only-key", "the key grants query access only (a standard user's HKLM)",
         SUCCESS, reg=[sz(C)], dirs=[C], lock_key=True, requests=[CP], created=[CP]),
    Case("client-lower-case", "game.exe running", SUCCESS,
         clients=[C + r"\game.exe"], requests=[CP], created=[CP]),
    Case("client-upper-case", "GAME.EXE running", SUCCESS,
         clients=[C + r"\GAME.EXE"], requests=[CP], created=[CP]),
    Case("client-mixed-case", "Game.Exe running", SUCCESS,
         clients=[C + r"\Game.Exe"], requests=[CP], created=[CP]),
    Case("look-alikes-only", "only game.exe.old and mygame.exe running", HINT,
         clients=[C + r"\game.exe.old", r"C:\Games\Other\mygame.exe"]),
    Case("look-alikes-listed-first", "look-alikes listed before the client are passed over",
         SUCCESS, clients=[r"C:\Games\Old\game.exe.old", r"C:\Games\Other\mygame.exe",
                           C + r"\game.exe"], requests=[CP], created=[CP]),
    Case("client-and-registry-same-dir", "client and InstallPath name one folder: asked twice",
         SUCCESS, clients=[C + r"\game.exe"], reg=[sz(C)], requests=[CP, CP], created=[CP]),
    Case("client-and-registry-other-dir", "client folder first, then InstallPath's", SUCCESS,
         clients=[C + r"\game.exe"], reg=[sz(BACKUP)], dirs=[BACKUP],
         requests=[CP, BACKUP + r"\patch"], created=[CP, BACKUP + r"\patch"]),
    Case("client-and-unusable-registry", "client found, InstallPath is REG_EXPAND_SZ", SUCCESS,
         clients=[C + r"\game.exe"], reg=[Reg("REG_EXPAND_SZ", BACKUP)], dirs=[BACKUP],
         requests=[CP], created=[CP]),
    Case("client-patch-folder-exists", "the patch folder is already there, with a file in it",
         SUCCESS, clients=[C + r"\game.exe"], dirs=[CP], files={CP + r"\keep.txt": b"kept\r\n"},
         requests=[CP]),
    Case("client-patch-is-a-file", "a file named patch sits in the client folder", SUCCESS,
         clients=[C + r"\game.exe"], files={CP: b"not a folder\r\n"}, requests=[CP]),
    Case("registry-patch-is-a-file", "a file named patch sits in InstallPath", SUCCESS,
         reg=[sz(C)], files={CP: b"not a folder\r\n"}, requests=[CP]),
    Case("client-chinese-folder", "client in a folder with a Chinese name", SUCCESS,
         clients=[ZH_CLIENT + r"\game.exe"], requests=[ZH_CLIENT + r"\patch"],
         created=[ZH_CLIENT + r"\patch"]),
    Case("registry-chinese-path", "InstallPath with a Chinese name", SUCCESS,
         reg=[sz(ZH_REG)], dirs=[ZH_REG], requests=[ZH_REG + r"\patch"],
         created=[ZH_REG + r"\patch"]),
    Case("arguments-ignored", "arguments, one naming another folder, change nothing", SUCCESS,
         clients=[C + r"\game.exe"], dirs=[r"C:\Games\Other"],
         args=["/?", "--registry", r"C:\Games\Other", "修复", "/reg:64"],
         requests=[CP], created=[CP]),
    Case("two-clients-a-first", "two clients; A started, so listed, first", SUCCESS,
         clients=[A + r"\game.exe", B + r"\GAME.EXE"], requests=[A + r"\patch"],
         created=[A + r"\patch"]),
    Case("two-clients-b-first", "two clients; B started, so listed, first", SUCCESS,
         clients=[B + r"\GAME.EXE", A + r"\game.exe"], requests=[B + r"\patch"],
         created=[B + r"\patch"]),
    Case("wow64-64-bit-view-only", "64-bit prefix, value only in the 64-bit view", HINT,
         prefix="win64", reg=[sz(C, view=64)], dirs=[C]),
    Case("wow64-32-bit-view", "64-bit prefix, value in the 32-bit (WOW64) view", SUCCESS,
         prefix="win64", reg=[sz(C, view=32)], dirs=[C], requests=[CP], created=[CP]),
    Case("wow64-both-views", "64-bit prefix, different values in both views", SUCCESS,
         prefix="win64", reg=[sz(V64, view=64), sz(V32, view=32)], dirs=[V32, V64],
         requests=[V32 + r"\patch"], created=[V32 + r"\patch"]),
]


# ---------------------------------------------------------------- context

class Ctx:
    def __init__(self, workdir, exe, release=None, helpers=None):
        self.workdir = os.path.abspath(workdir)
        self.exe = exe
        self.release = release
        # the Win32 helpers and the 32-bit probe, built by CMake (tests/e2e/CMakeLists.txt)
        self.helpers = os.path.abspath(helpers or os.path.join(wl.REPO, "build", "host", "e2e-helpers"))
        self.logs = os.path.join(self.workdir, "logs")
        self.state = wl.state_dir(self.workdir)  # prefixes and their lock
        self.prefixes = wl.suite_prefixes(self.state)

    def helper(self, name):
        path = os.path.join(self.helpers, name)
        if not os.path.isfile(path):
            raise wl.HarnessError(f"no {path}: build the host preset first "
                                  "(cmake --preset host && cmake --build --preset host)")
        return path

    def lock(self, timeout=120):
        return wl.PrefixLock(os.path.join(self.state, "lock"), timeout)

    def session(self, arch):
        """The prefix's session, with the case agent (case_agent.c) resident in it."""
        return wl.Session(self.prefixes[arch], agent=[wl.WINE, self.helper("case_agent.exe")])

    def ask(self, prefix, *words, what=None):
        """One request to the prefix's case agent; the lines of its answer (bytes)."""
        rc, lines = self.session(prefix.arch).ask(*words)
        if rc != 0:
            shown = b" / ".join(lines).decode("utf-8", "replace")
            raise wl.HarnessError(f"{what or words[0]} failed in the case agent ({rc}): {shown}")
        return lines

    def shares(self):
        """Host folders a guest must see besides the repository."""
        folders = [(self.workdir, False)]
        for folder in {os.path.dirname(self.exe), self.helpers}:
            if not any(folder == d or folder.startswith(d + os.sep) for d in (wl.REPO, self.workdir)):
                folders.append((folder, True))
        return folders


def check_exe(exe):
    if not os.path.isfile(exe):
        raise wl.HarnessError(f"no exe at {exe}: build it first (./build.sh)")
    head = open(exe, "rb").read(4096)
    if head[:2] != b"MZ":
        raise wl.HarnessError(f"{exe} is not a Windows program")


# ---------------------------------------------------------------- a case's steps

def remove_key(ctx, prefix):
    """Deletes the vendor key from both views, opening a read-only one up first."""
    ctx.ask(prefix, "clear", what="removing the vendor key")


def write_registry(ctx, prefix, regs, lock=False):
    """Writes each value and checks it reads back as meant; `lock` then leaves the
    key readable only."""
    values = [(KEY, reg.view, reg.type, reg.name, reg.data, lock and n == len(regs) - 1)
              for n, reg in enumerate(regs)]
    wl.check_stored(values, [ctx.session(prefix.arch).ask(*wl.set_words(*v)) for v in values])


class Phases:
    """Where a case's time goes: seconds per phase, in order, for its PASS line and log."""

    def __init__(self):
        self.spent, self.at = [], time.monotonic()

    def mark(self, name):
        now = time.monotonic()
        self.spent.append((name, now - self.at))
        self.at = now

    def __str__(self):
        return ", ".join(f"{name} {s:.1f}" for name, s in self.spent if s >= 0.05)


class Listing:
    """What the case agent listed: process paths in EnumProcesses order (ANSI bytes)
    and the registry views holding the vendor key."""

    def __init__(self, paths, key_views):
        self.paths, self.key_views = paths, key_views

    def others(self):
        """Processes that are not Wine's own (those run from C:\\windows). A 64-bit
        process shows no path to the 32-bit lister; the cases start none that last."""
        return [p for p in self.paths if p and not p.lower().startswith(b"c:\\windows\\")]


def list_processes(ctx, prefix):
    """The processes as Wine lists them (the case agent left out); checks the ANSI
    code page on the way."""
    lines = ctx.ask(prefix, "list", what="listing the processes")
    acp = lines[0].strip().decode() if lines else "unknown"
    if acp != "acp=936":
        raise wl.HarnessError(f"ANSI code page is {acp}, not 936: zh_CN.UTF-8 locale missing?")
    views = [ln[3:5].decode() for ln in lines[1:3] if ln.startswith(b"key") and ln.endswith(b"=1")]
    return Listing([ln.split(b"\t", 1)[1] for ln in lines[1:] if b"\t" in ln], views)


def leftovers(ctx, prefix, display):
    """What an earlier case left in the prefix and its session: programs still
    running, the vendor key, anything on C: beside Wine's own folders, a key held
    on the display. A program just ended may be listed for a moment longer."""
    deadline = time.monotonic() + wl.scaled(5)
    while True:
        listing = list_processes(ctx, prefix)
        if not listing.others() or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    found = [f"program {show(p)} running" for p in listing.others()]
    found += [f"{VENDOR_KEY} in the {v}-bit view" for v in listing.key_views]
    found += [f"C:\\{name} on C:" for name in prefix.scratch_names()]
    found += [f"{key} held on the display" for key in wl.held_keys(display)]
    return found


def reset(ctx, prefix, display=None):
    """Back to a prepared prefix, whatever was left: a new session (which ends every
    program) unless `display` is a fresh one's, no vendor key, nothing on C: beside
    Wine's own folders."""
    display = display or ctx.session(prefix.arch).start()
    remove_key(ctx, prefix)
    prefix.clear_scratch()
    left = leftovers(ctx, prefix, display)
    if left:
        raise wl.HarnessError(f"could not reset the {prefix.arch} prefix: {'; '.join(left)}")


def run_client(ctx, prefix, display, procs, program, detached=False):
    """Starts a stand-in client and returns once it runs: given a file's name, it
    creates that file first."""
    ready = os.path.join(ctx.state, "ready")
    os.makedirs(ready, exist_ok=True)
    marker = os.path.join(ready, str(time.monotonic_ns()))
    procs.start([wl.WINE, program, "Z:" + marker.replace("/", "\\")], prefix.env(display), detached=detached)
    deadline = time.monotonic() + wl.scaled(60)
    while not os.path.exists(marker):
        if time.monotonic() > deadline:
            raise wl.HarnessError(f"{program} did not start within {wl.scaled(60):.0f}s")
        time.sleep(0.05)
    os.unlink(marker)


def start_clients(ctx, prefix, display, procs, clients):
    """Starts each client once the one before it runs, then checks Wine lists them
    all, in that order."""
    if not clients:
        return
    exe = ctx.helper("stand_in_client.exe")
    for path in clients:
        host = prefix.host_path(path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        shutil.copyfile(exe, host)
        run_client(ctx, prefix, display, procs, path)
    started = [path.encode("gbk") for path in clients]
    deadline = time.monotonic() + wl.scaled(60)
    while True:
        listed = list_processes(ctx, prefix).paths
        if all(p in listed for p in started):
            break
        if time.monotonic() > deadline:
            raise wl.HarnessError(f"not listed by EnumProcesses after {wl.scaled(60):.0f}s: "
                                  f"{[p.decode('gbk') for p in started if p not in listed]}")
        time.sleep(0.2)
    order = [p for p in listed if p in started]
    if order != started:
        raise wl.HarnessError("Wine lists the clients in another order than they started: "
                              f"{[p.decode('gbk') for p in order]}")


def run_case(ctx, case):
    """Returns the list of failures (empty when the case passed). The prefix's
    session is shared with the other cases: the case starts from a clean prefix
    or fails naming what was left, and takes away what it made."""
    prefix = ctx.prefixes[case.prefix]
    if not prefix.is_made():  # prepare made it with this Wine; asking Wine costs a process
        raise wl.HarnessError(f"{case.prefix} prefix not prepared: run `prepare` first")
    log_dir = os.path.join(ctx.logs, case.id)
    shutil.rmtree(log_dir, ignore_errors=True)
    os.makedirs(log_dir)
    lock = ctx.lock()
    procs = wl.Procs()
    display = None
    clean = False
    phases = ctx.phases = Phases()
    try:
        display = ctx.session(case.prefix).ensure()
        phases.mark("session")
        left = leftovers(ctx, prefix, display)
        phases.mark("check")
        if left:
            raise wl.HarnessError(f"left by an earlier case: {'; '.join(left)}")
        clean = True
        tool = prefix.host_path(TOOL_AT)
        os.makedirs(os.path.dirname(tool))
        shutil.copyfile(ctx.exe, tool)
        for d in case.dirs:
            os.makedirs(prefix.host_path(d), exist_ok=True)
        for f, content in case.files.items():
            os.makedirs(os.path.dirname(prefix.host_path(f)), exist_ok=True)
            with open(prefix.host_path(f), "wb") as fh:
                fh.write(content)
        phases.mark("files")
        if case.reg:
            write_registry(ctx, prefix, case.reg, lock=case.lock_key)
        phases.mark("registry")
        start_clients(ctx, prefix, display, procs, case.clients)
        phases.mark("clients")
        before = snapshot(prefix)
        res = wl.run_until_boxes_closed(procs, [wl.WINE, TOOL_AT, *case.args],
                                        prefix.env(display, debug="+pid,+relay"), display, log_dir)
        res.calls, res.program_stderr, res.wine_pid = parse_relay(res.stderr)
        after = snapshot(prefix)
        phases.mark("tool")
        failures = judge(case, res, before, after)
        write_summary(log_dir, case, res, before, after, failures)
        return failures
    finally:
        try:
            procs.end_all()  # clients and the tool, by pid
            if not clean:
                reset(ctx, prefix)
            elif display:
                if case.reg:
                    remove_key(ctx, prefix)
                prefix.clear_scratch()
            phases.mark("clean-up")
        finally:
            lock.release()


def snapshot(prefix):
    """Everything on C: outside Wine's own folders: path -> 'dir' or file digest."""
    snap = {}
    for name in os.listdir(prefix.drive_c):
        if name.lower() in wl.STANDARD_TOP_DIRS:
            continue
        top = os.path.join(prefix.drive_c, name)
        entries = [(top, os.path.isdir(top))]
        if os.path.isdir(top):
            for root, dirs, files in os.walk(top):
                entries += [(os.path.join(root, d), True) for d in dirs]
                entries += [(os.path.join(root, f), False) for f in files]
        for p, is_dir in entries:
            rel = "C:\\" + os.path.relpath(p, prefix.drive_c).replace("/", "\\")
            snap[rel] = "dir" if is_dir else hashlib.sha256(open(p, "rb").read()).hexdigest()[:16]
    return snap


def show(b):
    if isinstance(b, bytes):
        try:
            return f"{b.decode('gbk')!r} ({b.hex(' ')})" if any(c > 127 for c in b) else repr(b.decode())
        except UnicodeDecodeError:
            return repr(b)
    return repr(b)


def judge(case, res, before, after):
    f = []
    top = [c for c in res.calls if not c.nested]
    if res.killed:
        f.append(f"did not end within {wl.scaled(30):.0f}s of its box "
                 f"(or showed none within {wl.scaled(60):.0f}s); killed")
    elif res.exit_code != 0:
        f.append(f"exit code {res.exit_code}, expected 0")
    # the box as the window system saw it
    want_title = case.box["caption"].decode("gbk")
    if len(res.boxes) != 1:
        f.append(f"{len(res.boxes)} windows shown, expected exactly one box: "
                 f"{[t for _, t in res.boxes]}")
    elif res.boxes[0][1] != want_title:
        f.append(f"box window titled {res.boxes[0][1]!r}, expected {want_title!r}")
    # the box as the tool asked for it
    boxes = [c for c in top if c.func.startswith("MessageBox")]
    if len(boxes) != 1 or boxes[0].func != "MessageBoxA":
        f.append(f"expected one MessageBoxA call, got {boxes}")
    else:
        (owner, _), (_, text), (_, caption), (style, _) = boxes[0].args[:4]
        if owner != 0:
            f.append(f"box owner {owner:#x}, expected NULL")
        if text != case.box["text"]:
            f.append(f"box text {show(text)}, expected the {case.box['name']} text {show(case.box['text'])}")
        if caption != case.box["caption"]:
            f.append(f"box caption {show(caption)}, expected {show(case.box['caption'])}")
        if style != case.box["style"]:
            f.append(f"box style {style:#x}, expected {case.box['style']:#x}")
    # folders asked for, in order, as exact bytes
    dir_calls = [c for c in top if "Directory" in c.func]
    got = [(c.func, c.args[0][1]) for c in dir_calls]
    want = [("CreateDirectoryA", p.encode("gbk")) for p in case.requests]
    if got != want:
        f.append("folder requests " + (", ".join(f"{fn}({show(p)})" for fn, p in got) or "none")
                 + "; expected " + (", ".join(f"CreateDirectoryA({show(p)})" for _, p in want) or "none"))
    # the box reports the outcome, so every folder was asked for before it
    if boxes and dir_calls and top.index(dir_calls[-1]) > top.index(boxes[0]):
        f.append(f"{dir_calls[-1].func}({show(dir_calls[-1].args[0][1])}) came after the box")
    # what is on disk afterwards
    created = {p for p in after if p not in before}
    removed = {p for p in before if p not in after}
    changed = {p for p in before if p in after and before[p] != after[p]}
    if created != case.created:
        f.append(f"new on C: {sorted(created) or 'nothing'}; expected {sorted(case.created) or 'nothing'}")
    for p in sorted(case.created & created):
        if after[p] != "dir":
            f.append(f"{p} is a file, expected a folder")
    if removed or changed:
        f.append(f"removed {sorted(removed)}, changed {sorted(changed)}; expected C: left alone")
    if res.program_stderr:
        f.append(f"wrote to stderr: {show(res.program_stderr)}")
    if res.stdout:
        f.append(f"wrote to stdout: {show(res.stdout[:200])}")
    return f


def write_summary(log_dir, case, res, before, after, failures):
    with open(os.path.join(log_dir, "summary.txt"), "w") as s:
        s.write(f"case: {case.id}: {case.what}\nexit: {res.exit_code} killed: {res.killed}\n"
                f"first box after: {res.first_box_s}\nwindows: {res.boxes}\n")
        s.write("calls:\n" + "".join(f"  {'  ' if c.nested else ''}{c!r}\n" for c in res.calls))
        s.write(f"program stderr: {res.program_stderr!r}\nstdout: {res.stdout[:500]!r}\n")
        s.write("C: before:\n" + "".join(f"  {k} {v}\n" for k, v in sorted(before.items())))
        s.write("C: after:\n" + "".join(f"  {k} {v}\n" for k, v in sorted(after.items())))
        s.write("failures:\n" + "".join(f"  {x}\n" for x in failures))


# ---------------------------------------------------------------- commands

def room_needs(ctx, route):
    """What a generation writes in its work folder beyond its route's own: its
    prefixes, where Wine runs on this machine."""
    if route.kind not in ("native", "root"):
        return []
    return [wl.Need(ctx.state, wl.PREFIXES_GB, f"the {ctx.release} prefixes", [ctx.state],
                    [os.path.join(p.path, "lanyue-ready") for p in ctx.prefixes.values()])]


def cmd_start(ctx, run_generations):
    """Picks the route, says which and why, reserves the disk room this generation
    needs, counting what the run's other generations need, and starts the route's
    runner (a guest boots with it, once for the whole run)."""
    t0 = time.monotonic()
    check_exe(ctx.exe)
    route = wl.choose_route(ctx.workdir, ctx.helper("ia32_probe"), ctx.shares(), ctx.release)
    others, guests = [], int(route.kind == "guest")
    for release in run_generations:
        if release != ctx.release:
            other = Ctx(os.path.join(os.path.dirname(ctx.workdir), wl.generation(release).tests),
                        ctx.exe, release, ctx.helpers)
            their = wl.choose_route(other.workdir, None, other.shares(), release, ia32=route.ia32)
            others += their.room_needs() + room_needs(other, their)
            guests += their.kind == "guest"
    # Guests side by side share the cores: an emulated CPU waiting for a core of
    # its own costs far more than it gives.
    route.cpus = max(1, (os.cpu_count() or 1) // max(1, guests))
    route.agent = ctx.helper("case_agent.exe")
    wl.bring_up(route, room_needs(ctx, route), others)
    print(f"route up in {time.monotonic() - t0:.1f}s")
    return 0


def cmd_prepare(ctx, arches):
    """Starts each prefix's session, making the prefix first where it is not made."""
    check_exe(ctx.exe)
    lock = ctx.lock(timeout=900)
    try:
        for arch in arches:
            prefix, t0 = ctx.prefixes[arch], time.monotonic()
            made = []
            display = ctx.session(arch).start(
                create=lambda display: made.append(prefix.create(display, ctx.helper("case_agent.exe"))))
            if not made[0]:
                print(f"{arch} prefix reused: {prefix.path}")
            reset(ctx, prefix, display)
            print(f"{arch} session up in {time.monotonic() - t0:.1f}s")
    finally:
        lock.release()
    print(f"prepared {', '.join(arches)} for {ctx.exe}")
    return 0


def cmd_finish(ctx):
    """Ends the sessions where Wine runs; the runner then ends what is left."""
    for arch in ctx.prefixes:
        ctx.session(arch).end()
    return 0


# What a case can leave behind, each planted in a prepared prefix on its own:
# the next case must fail naming it, and the one after that pass again.
LEFT_BEHIND = [
    ("program", lambda ctx, prefix, display, procs: run_client(
        ctx, prefix, display, procs, ctx.helper("stand_in_client.exe"), detached=True),
     "stand_in_client.exe' running"),
    ("registry key", lambda ctx, prefix, display, procs: write_registry(ctx, prefix, [sz(C)]),
     "Velmarc in the 32-bit view"),
    ("folder", lambda ctx, prefix, display, procs: os.makedirs(prefix.host_path(r"C:\Left\x")),
     "C:\\Left on C:"),
    ("held key", lambda ctx, prefix, display, procs: wl.xdotool(display, "keydown", "Return"),
     "Return held on the display"),
]


def cmd_leftovers(ctx):
    """Shows that cases sharing a session stay independent (see LEFT_BEHIND)."""
    prefix = ctx.prefixes["win32"]
    probe = CASES[0]
    failed = 0
    for what, plant, expected in LEFT_BEHIND:
        display = ctx.session("win32").ensure()
        plant(ctx, prefix, display, wl.Procs())
        got = case_failures(ctx, probe)
        if len(got) != 1 or expected not in got[0]:
            print(f"FAIL [{what}] the next case gave {got}, expected one failure naming {expected!r}")
            failed += 1
        else:
            print(f"PASS [{what}] the next case failed: {got[0]}")
    got = case_failures(ctx, probe)
    print(f"{'FAIL' if got else 'PASS'} [after the reset] the next case gave {got or 'no failures'}")
    return 1 if failed or got else 0


def case_failures(ctx, case):
    try:
        return run_case(ctx, case)
    except wl.HarnessError as e:
        return [f"could not set the case up: {e}"]


def cmd_run(ctx, ids):
    cases = CASES if "all" in ids else [c for c in CASES if c.id in ids]
    check_exe(ctx.exe)
    passed = failed = 0
    for case in cases:
        t0 = time.monotonic()
        failures = case_failures(ctx, case)
        took = time.monotonic() - t0
        if failures:
            failed += 1
            for x in failures:
                print(f"FAIL [{case.id}] {x}")
            print(f"     [{case.id}] ({case.what}; {took:.1f}s; log: {ctx.logs}/{case.id}/)")
        else:
            passed += 1
            print(f"PASS [{case.id}] {case.what} ({took:.1f}s: {getattr(ctx, 'phases', '')})")
        sys.stdout.flush()
    if len(cases) > 1:
        print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def _on_term(signum, frame):
    raise SystemExit(f"stopped by signal {signum}")  # unwinds through the clean-up


def parse(argv):
    """(arguments, Ctx) of a command line; the exe in LANYUE_E2E_EXE wins over --exe."""
    ap = argparse.ArgumentParser(description="LanyueRepair end-to-end cases under Wine")
    ap.add_argument("--generation", default=wl.host_release(), choices=list(wl.GENERATIONS),
                    help="the Debian release whose Wine runs the cases (default: this machine's)")
    ap.add_argument("--workdir", default=os.environ.get("LANYUE_E2E_DIR"),
                    help="prefixes and logs (env LANYUE_E2E_DIR; default build/host/e2e for the "
                         "machine's own generation, e2e-wine10 for trixie)")
    ap.add_argument("--exe", default=os.path.join(wl.REPO, "dist", "LanyueRepair.exe"),
                    help="exe under test; env LANYUE_E2E_EXE wins over this, so a ctest run "
                         "can be pointed at another build")
    ap.add_argument("--helpers", help="the Win32 helpers and the 32-bit probe CMake built "
                                      "(default build/host/e2e-helpers)")
    ap.add_argument("--here", action="store_true", help=argparse.SUPPRESS)  # a job, where Wine runs
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("start", help="pick the route Wine runs on and start its runner")
    p.add_argument("--run-generations", default="", help="every generation of this run, comma separated "
                   "(their room is counted at once)")
    p = sub.add_parser("prepare", help="make the Wine prefixes where the route runs Wine")
    p.add_argument("--arch", choices=["win32", "win64", "all"], default="all")
    sub.add_parser("finish", help="end the run: its sessions, then its runner")
    sub.add_parser("leftovers", help="show that a case finding another's leftovers fails")
    p = sub.add_parser("list")
    p.add_argument("--cmake", action="store_true", help="ID:PREFIX lines for CMake")
    p = sub.add_parser("generations", help="RELEASE:TEST-PREFIX lines for CMake, as chosen by "
                                           "LANYUE_E2E_GENERATIONS")
    sub.add_parser("timeouts", help="STEP:SECONDS lines for CMake: ctest's TIMEOUT of each step")
    p = sub.add_parser("run", help="run cases where the route runs Wine")
    p.add_argument("ids", nargs="+", help="case ids, or all")
    a = ap.parse_args(argv)
    workdir = a.workdir or os.path.join(wl.REPO, "build", "host", wl.generation(a.generation).tests)
    exe = os.path.abspath(os.environ.get("LANYUE_E2E_EXE") or a.exe)
    return a, Ctx(workdir, exe, a.generation, a.helpers)


def here(argv):
    """A step's job, where its route runs Wine."""
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, _on_term)
    a, ctx = parse(argv)
    try:
        if a.cmd == "prepare":
            return cmd_prepare(ctx, ["win32", "win64"] if a.arch == "all" else [a.arch])
        if a.cmd == "leftovers":
            return cmd_leftovers(ctx)
        if a.cmd == "finish":
            return cmd_finish(ctx)
        return cmd_run(ctx, a.ids)
    except wl.HarnessError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 2


def job(a, ctx):
    """The job a step sends its runner: this command, run `here`, with the paths as
    this side resolved them (where it runs, the current folder may be another)."""
    settings = {"LANYUE_E2E_DIR": ctx.workdir, "LANYUE_E2E_EXE": ctx.exe}
    rest = {"prepare": ["--arch", getattr(a, "arch", "all")], "run": getattr(a, "ids", [])}.get(a.cmd, [])
    args = ["--here", "--generation", ctx.release, "--workdir", ctx.workdir, "--exe", ctx.exe,
            "--helpers", ctx.helpers, a.cmd, *rest]
    return {"call": [HERE, "e2e", "here"], "args": args, "env": settings}


def finish(a, ctx):
    """The run's last step: its sessions end where Wine runs, then its runner, with
    all else the run started; a run that never came up has nothing to end."""
    try:
        rc = wl.Client(ctx.workdir).run(job(a, ctx), STEP_TIMEOUTS["finish"] - CLEANUP_S)
    except wl.HarnessError as e:
        print(f"nothing ended where Wine runs: {e}")
        return 0
    wl.stop_runner(ctx.workdir)
    return rc


def main(argv):
    a, ctx = parse(argv)
    if a.here:
        return here(argv)
    if a.cmd == "list":
        for c in CASES:
            print(f"{c.id}:{c.prefix}" if a.cmake else f"{c.id:32} {c.prefix}  {c.what}")
        return 0
    if a.cmd == "timeouts":
        print("\n".join(f"{step}:{seconds}" for step, seconds in STEP_TIMEOUTS.items()))
        return 0
    if a.cmd == "generations":
        try:
            print("\n".join(f"{g.release}:{g.tests}" for g in wl.chosen()))
        except wl.HarnessError as e:
            print(f"ERROR: {e}", file=sys.stderr)
            return 2
        return 0
    if a.cmd == "run":
        unknown = [i for i in a.ids if i not in {c.id for c in CASES} | {"all"}]
        if unknown:
            print(f"unknown case(s): {unknown}; see `list`", file=sys.stderr)
            return 2
    try:
        if a.cmd == "start":
            return cmd_start(ctx, [r for r in a.run_generations.split(",") if r])
        route = wl.saved_route(ctx.workdir)
        if route.kind == "none":
            print(f"skipped: Wine cannot run here: {route.reason}")
            return wl.SKIP
        if a.cmd == "finish":
            return finish(a, ctx)
        return wl.Client(ctx.workdir).run(job(a, ctx), STEP_TIMEOUTS[a.cmd] - CLEANUP_S)
    except wl.Skip as e:
        print(f"skipped: {e}")
        return wl.SKIP
    except wl.HarnessError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
