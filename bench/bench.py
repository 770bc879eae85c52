# Time from start to the message box under Wine: LanyueRepair.exe against a bare
# program that only shows the same box, run alternately, with 0 and with N other
# processes running. Prints a table and writes it to bench/RESULTS.md.
# Started by bench/run, which installs what it needs; not part of ctest.
import argparse
import datetime
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path[:0] = [os.path.join(HERE, "..", "tools"), os.path.join(HERE, "..", "tests", "e2e")]
import winelab as wl  # noqa: E402
import e2e  # noqa: E402

def time_to_box(procs, watcher, display, argv, env, log_dir):
    """Milliseconds from launching argv to its box being mapped; OK pressed there."""
    res = wl.run_until_boxes_closed(procs, argv, env, display, log_dir, watcher=watcher)
    if len(res.boxes) != 1 or res.killed or res.exit_code != 0:
        raise wl.HarnessError(f"{argv[-1]} showed {len(res.boxes)} boxes, exited with {res.exit_code}"
                              f"{' (killed)' if res.killed else ''}")
    return res.first_box_s * 1000


def parse(argv):
    ap = argparse.ArgumentParser(description="time to the message box, tool vs bare program")
    ap.add_argument("--exe", default=os.path.join(wl.REPO, "dist", "LanyueRepair.exe"))
    ap.add_argument("--runs", type=int, default=15, help="timed runs of each program per load (>= 7)")
    ap.add_argument("--others", type=int, default=60, help="stand-in processes for the loaded run")
    ap.add_argument("--generation", default=wl.host_release(), choices=list(wl.GENERATIONS),
                    help="the Debian release whose Wine is measured (default: this machine's)")
    ap.add_argument("--workdir", default=os.path.join(wl.REPO, "build", "bench"))
    ap.add_argument("--no-write", action="store_true", help="print only, leave RESULTS.md alone")
    a = ap.parse_args(argv)
    if a.runs < 7:
        ap.error("--runs must be at least 7")
    a.exe, a.workdir = os.path.abspath(a.exe), os.path.abspath(a.workdir)
    return a, e2e.Ctx(a.workdir, a.exe, a.generation)


def main():
    a, ctx = parse(sys.argv[1:])
    e2e.check_exe(a.exe)
    route = wl.choose_route(a.workdir, ctx.helper("ia32_probe"), ctx.shares(), a.generation)
    if not route.own_timings:
        print(f"Not measured: Wine would run on the {route}, where the timings would be the "
              "emulator's, not the tool's, so no table was written.")
        return 0
    wl.bring_up(route, [wl.Need(a.workdir, 1, "the benchmark's prefix")])
    try:
        args = ["--exe", a.exe, "--runs", str(a.runs), "--others", str(a.others), "--generation", a.generation,
                "--workdir", a.workdir] + (["--no-write"] if a.no_write else [])
        rc = wl.Client(a.workdir).run({"call": [HERE, "bench", "measure"], "args": args, "env": {}}, 3600)
    finally:
        wl.stop_runner(a.workdir)
    if rc == 0 and not a.no_write:
        shutil.copyfile(os.path.join(a.workdir, "RESULTS.md"), os.path.join(HERE, "RESULTS.md"))
        print(f"\nwritten to {os.path.join(HERE, 'RESULTS.md')}")
    return rc


def measure(argv):
    """The job, where the route runs Wine."""
    a, ctx = parse(argv)
    exe, work = a.exe, a.workdir
    bare = ctx.helper("bare_box.exe")
    client = ctx.helper("stand_in_client.exe")
    lister = [ctx.helper("case_agent.exe"), "list"]
    prefix = wl.Prefix(os.path.join(work, "prefix32"), "win32")  # its kept copy is the suite's
    lock = wl.PrefixLock(os.path.join(work, "lock"), timeout=60)
    procs = wl.Procs()
    xvfb = watcher = None
    results = {}
    listed_count = {}
    logs = os.path.join(work, "logs")
    try:
        xvfb = wl.Display()
        prefix.create(xvfb.name, ctx.helper("case_agent.exe"))
        prefix.kill_server()
        prefix.clear_scratch()
        # Both programs run from C: the same way; neither finds a client or a key,
        # so the tool scans every process and shows the launcher hint, as bare_box does.
        tool_at, bare_at = r"C:\Bench\LanyueRepair.exe", r"C:\Bench\bare_box.exe"
        for src, dst in ((exe, tool_at), (bare, bare_at)):
            os.makedirs(os.path.dirname(prefix.host_path(dst)), exist_ok=True)
            shutil.copyfile(src, prefix.host_path(dst))
        env = prefix.env(xvfb.name)
        watcher = wl.WindowWatcher(xvfb.name)
        wl.run([wl.WINE, *lister], env, timeout=60)  # wineserver, services and desktop up
        others = []
        for load in (0, a.others):
            while len(others) < load:
                path = rf"C:\Bench\others\stand_in_{len(others):03d}.exe"
                os.makedirs(os.path.dirname(prefix.host_path(path)), exist_ok=True)
                shutil.copyfile(client, prefix.host_path(path))
                others.append(procs.start([wl.WINE, path], env))
            if load:
                deadline = time.monotonic() + 120
                while True:
                    listed = wl.run([wl.WINE, *lister], env, timeout=60).stdout
                    if listed.count(b"stand_in_") >= load:
                        break
                    if time.monotonic() > deadline:
                        raise wl.HarnessError(f"only {listed.count(b'stand_in_')} of {load} others listed")
                    time.sleep(0.5)
            # what the tool will scan: Wine's own services too, less the lister itself
            listed = wl.run([wl.WINE, *lister], env, timeout=60).stdout
            listed_count[load] = listed.count(b"\t") - 1
            for argv in ([wl.WINE, tool_at], [wl.WINE, bare_at]):  # warm-up, not counted
                time_to_box(procs, watcher, xvfb.name, argv, env, logs)
            tool_ms, bare_ms = [], []
            for i in range(a.runs):
                order = [(tool_ms, tool_at), (bare_ms, bare_at)]
                for samples, path in (order if i % 2 == 0 else order[::-1]):
                    samples.append(time_to_box(procs, watcher, xvfb.name, [wl.WINE, path], env, logs))
            results[load] = (tool_ms, bare_ms)
            print(f"{load:3d} others: tool {sorted(round(x) for x in tool_ms)}")
            print(f"{load:3d} others: bare {sorted(round(x) for x in bare_ms)}")
            sys.stdout.flush()
    finally:
        if watcher:
            watcher.close()
        procs.end_all()
        prefix.kill_server()
        if xvfb:
            xvfb.close()
        lock.release()

    med = {load: (statistics.median(t), statistics.median(b)) for load, (t, b) in results.items()}
    n = a.others
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    wine_ver = subprocess.run([wl.WINE, "--version"], capture_output=True, text=True).stdout.strip()
    lines = [
        f"Time from start to the message box under Wine ({wine_ver}, Xvfb), median of {a.runs} "
        f"alternating runs each, after one warm-up run.",
        f"Machine: {os.cpu_count()} CPUs ({cpu}), {platform.system()} {platform.release()}; "
        f"{datetime.date.today().isoformat()}.",
        f"Exe: {os.path.relpath(exe, wl.REPO) if exe.startswith(wl.REPO) else exe}, "
        f"{os.path.getsize(exe)} bytes, sha256 {hashlib.sha256(open(exe, 'rb').read()).hexdigest()[:16]}.",
        "",
        "| other processes | processes listed | LanyueRepair.exe (ms) | bare box (ms) | ratio |",
        "| ---: | ---: | ---: | ---: | ---: |",
    ]
    for load, (t, b) in med.items():
        lines.append(f"| {load} | {listed_count[load]} | {t:.0f} | {b:.0f} | {t / b:.3f} |")
    per = (med[n][0] - med[0][0]) / n
    per_net = ((med[n][0] - med[n][1]) - (med[0][0] - med[0][1])) / n
    lines += ["", f"Cost per scanned process: {per:.2f} ms ((tool at {n} - tool at 0) / {n}); "
                  f"{per_net:.2f} ms net of the bare program's own change.",
              f"With no other processes the tool still scans the {listed_count[0]} that Wine "
              f"itself runs (services.exe, winedevice.exe, ...)."]
    table = "\n".join(lines)
    print("\n" + table)
    # In the work folder: where Wine runs the repository may be read-only.
    with open(os.path.join(work, "RESULTS.md"), "w") as f:
        f.write("<!-- Written by bench/run (bench/bench.py): time from start to the message box.\n"
                "     Rerun it to refresh; edits by hand are overwritten. -->\n"
                "# Benchmark: time to the message box\n\n" + table + "\n")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (wl.HarnessError, wl.Skip) as e:
        print(f"ERROR: {e}", file=sys.stderr)
        sys.exit(2)
