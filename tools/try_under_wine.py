# The body of tools/try-under-wine: one run of the tool next to a stand-in client, its box
# screenshotted, OK pressed, the patch folder listed, wherever the route runs Wine (on the
# guest route in a guest of its own, booted for the one run).
import argparse
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "e2e")]
import winelab as wl  # noqa: E402
import e2e  # noqa: E402

CLIENT = r"C:\Games\Client\game.exe"


def try_once(ctx, prefix, keep):
    procs = wl.Procs()
    session = ctx.session(prefix.arch)
    try:
        if os.path.exists(prefix.path):
            session.end()
            shutil.rmtree(prefix.path)
        xvfb = wl.Display(procs)
        try:
            prefix.create(xvfb.name)
            # Wine draws the box's title bar itself only without a window manager's help.
            prefix.reg(xvfb.name, "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                       "/t", "REG_SZ", "/d", "N", "/f")
        finally:
            prefix.kill_server()
            xvfb.close()
        display = session.start()
        tool = prefix.host_path(e2e.TOOL_AT)
        os.makedirs(os.path.dirname(tool))
        shutil.copyfile(ctx.exe, tool)
        e2e.list_processes(ctx, prefix)  # Wine's services up, code page 936
        print(f"starting the stand-in client {CLIENT}")
        e2e.start_clients(ctx, prefix, display, procs, [CLIENT])
        print(f"running {e2e.TOOL_AT} (a copy of {ctx.exe})")
        watcher = wl.WindowWatcher(display)
        p = procs.start([wl.WINE, e2e.TOOL_AT], prefix.env(display))
        for _, wid in watcher.maps(wl.scaled(60)):
            if wl.window_pid(display, wid) == p.pid:
                break
        else:
            sys.exit("the tool showed no box")
        watcher.close()
        time.sleep(wl.scaled(0.5))  # let the box finish painting
        print(f"box shown, titled {wl.window_name(display, wid)!r}")
        shot = os.path.join(ctx.workdir, "box.png")
        cp = subprocess.run(["import", "-display", display, "-window", str(wid),
                             "-filter", "point", "-resize", "200%", shot],
                            capture_output=True, text=True, timeout=wl.scaled(30))
        print(f"screenshot: {shot}" if cp.returncode == 0 else f"screenshot failed: {cp.stderr}")
        wl.press_return(display, wid)
        try:
            p.wait(timeout=wl.scaled(15))
        except subprocess.TimeoutExpired:
            sys.exit("the tool did not end after OK")
        print(f"OK pressed; the tool ended with exit code {p.returncode}")
        folder = prefix.host_path(r"C:\Games\Client")
        print(f"\nC:\\Games\\Client ({folder}):")
        sys.stdout.flush()
        subprocess.run(["ls", "-la", folder])
        patch = os.path.join(folder, "patch")
        print("\npatch folder created" if os.path.isdir(patch) else "\nno patch folder was created")
    finally:
        procs.end_all()
        session.end()
        if os.path.isdir(prefix.path) and not keep:
            shutil.rmtree(prefix.path)


def try_here(ctx, prefix, keep):
    if not wl.ensure_packages("imagemagick", "fonts-wqy-microhei"):
        raise wl.HarnessError("could not install imagemagick and fonts-wqy-microhei")
    try_once(ctx, prefix, keep)
    return 0


def main():
    ap = argparse.ArgumentParser(description="run LanyueRepair.exe once under Wine and show its box")
    ap.add_argument("exe", nargs="?", default=os.path.join(wl.REPO, "dist", "LanyueRepair.exe"))
    ap.add_argument("--keep", action="store_true", help="keep the Wine prefix afterwards")
    ap.add_argument("--generation", default=wl.host_release(), choices=list(wl.GENERATIONS),
                    help="the Debian release whose Wine runs it (default: this machine's)")
    ap.add_argument("--here", action="store_true", help=argparse.SUPPRESS)  # where the route runs Wine
    a = ap.parse_args()
    exe = os.path.abspath(a.exe)
    out_dir = os.path.join(wl.REPO, "build", "try-under-wine")
    ctx = e2e.Ctx(out_dir, exe, a.generation)
    prefix = ctx.prefixes["win32"]
    e2e.check_exe(exe)
    if a.here:
        return try_here(ctx, prefix, a.keep)
    route = wl.bring_up(wl.choose_route(out_dir, ctx.shares(), a.generation),
                        [lambda name=name: ctx.helper(name) for name in e2e.HELPERS])
    print(f"Wine: {wl.generation(a.generation)}")
    try:
        return route.run([os.path.abspath(__file__), exe, "--generation", a.generation, "--here",
                          *(["--keep"] if a.keep else [])],
                         lambda: try_here(ctx, prefix, a.keep), 1800)
    finally:
        route.stop()


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (wl.HarnessError, wl.Skip) as e:
        sys.exit(f"ERROR: {e}")
