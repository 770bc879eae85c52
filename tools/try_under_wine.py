# The body of tools/try-under-wine: one run of the tool next to a stand-in client, its box
# screenshotted, OK pressed, the patch folder listed, as a job of the route's runner (on the
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
        session.end()
        if os.path.exists(prefix.path):
            shutil.rmtree(prefix.path)
        display = session.start(create=lambda display: prefix.create(display, ctx.helper("case_agent.exe")))
        tool = prefix.host_path(e2e.TOOL_AT)
        os.makedirs(os.path.dirname(tool))
        shutil.copyfile(ctx.exe, tool)
        e2e.list_processes(ctx, prefix)  # Wine's services up, code page 936
        print(f"starting the stand-in client {CLIENT}")
        e2e.start_clients(ctx, prefix, display, procs, [CLIENT])
        print(f"running {e2e.TOOL_AT} (a copy of {ctx.exe})")

        def screenshot(wid, title):
            time.sleep(wl.scaled(0.5))  # let the box finish painting
            print(f"box shown, titled {title!r}")
            shot = os.path.join(ctx.workdir, "box.png")
            cp = subprocess.run(["import", "-display", display, "-window", str(wid),
                                 "-filter", "point", "-resize", "200%", shot],
                                capture_output=True, text=True, timeout=wl.scaled(30))
            print(f"screenshot: {shot}" if cp.returncode == 0 else f"screenshot failed: {cp.stderr}")

        res = wl.run_until_boxes_closed(procs, [wl.WINE, e2e.TOOL_AT], prefix.env(display), display,
                                        os.path.join(ctx.workdir, "logs"), on_box=screenshot)
        if not res.boxes:
            sys.exit("the tool showed no box")
        print(f"OK pressed; the tool ended with exit code {res.exit_code}")
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


def parse(argv):
    ap = argparse.ArgumentParser(description="run LanyueRepair.exe once under Wine and show its box")
    ap.add_argument("exe", nargs="?", default=os.path.join(wl.REPO, "dist", "LanyueRepair.exe"))
    ap.add_argument("--keep", action="store_true", help="keep the Wine prefix afterwards")
    ap.add_argument("--generation", default=wl.host_release(), choices=list(wl.GENERATIONS),
                    help="the Debian release whose Wine runs it (default: this machine's)")
    a = ap.parse_args(argv)
    exe = os.path.abspath(a.exe)
    return a, e2e.Ctx(os.path.join(wl.REPO, "build", "try-under-wine"), exe, a.generation)


def here(argv):
    """The job, where the route runs Wine."""
    a, ctx = parse(argv)
    try_once(ctx, ctx.prefixes["win32"], a.keep)
    return 0


def main():
    a, ctx = parse(sys.argv[1:])
    e2e.check_exe(ctx.exe)
    route = wl.choose_route(ctx.workdir, ctx.helper("ia32_probe"), ctx.shares(), a.generation)
    if route.kind == "native" and not wl.ensure_packages("imagemagick", "fonts-wqy-microhei"):
        raise wl.HarnessError("could not install imagemagick and fonts-wqy-microhei")
    route.agent = ctx.helper("case_agent.exe")
    wl.bring_up(route, e2e.room_needs(ctx, route))
    print(f"Wine: {wl.generation(a.generation)}")
    try:
        args = [ctx.exe, "--generation", a.generation] + (["--keep"] if a.keep else [])
        return wl.Client(ctx.workdir).run({"call": [HERE, "try_under_wine", "here"], "args": args, "env": {}}, 1800)
    finally:
        wl.stop_runner(ctx.workdir)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (wl.HarnessError, wl.Skip) as e:
        sys.exit(f"ERROR: {e}")
