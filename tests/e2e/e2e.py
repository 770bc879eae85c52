# One generation's run of the suite program (tests/e2e/suite/) under Wine, on
# the route its Wine takes here: the Wine suite as one ctest test (the program
# in the win32 prefix with the leftovers proof, then in the win64 one with the
# refusals proof, and a closing line counting the case runs); --try, one case
# with its box saved as a picture (tools/try-under-wine); --bench, the
# program's benchmark written to build/bench/RESULTS-<release>.md (bench/run).
import argparse
import datetime
import os
import platform
import re
import statistics
import struct
import sys
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import generations, routes, run  # noqa: E402
from winelab.common import REPO, HarnessError, die_with  # noqa: E402

SKIP = 77  # ctest's SKIP_RETURN_CODE


def suite(name, route, got, a):
    """The closing line of the run, also kept for test.sh; 0 when every case run passed."""
    counts = dict.fromkeys(("passed", "failed", "skipped", "not run"), 0)
    planned, times, tool, proofs = 0, [], [], []
    for arch, (rc, out) in got.items():
        plan = re.search(r"^plan: (\d+) cases$", out, re.M)
        cases = re.findall(r"^(PASS|FAIL) [^/\s]+ \[\w+\] .*\((\d+\.\d+) s: .*the tool (\d+\.\d+)", out, re.M)
        proofs += re.findall(r"^(PASS|FAIL) \w+/", out, re.M)
        if plan is None:
            print(f"the suite program did not start its cases in {arch} (exit code {rc})")
        planned += int(plan.group(1)) if plan else 0
        counts["passed"] += sum(verdict == "PASS" for verdict, _, _ in cases)
        counts["failed"] += sum(verdict == "FAIL" for verdict, _, _ in cases)
        counts["not run"] += max(0, (int(plan.group(1)) if plan else 0) - len(cases))
        times += [float(t) for _, t, _ in cases]
        tool += [float(t) for _, _, t in cases]
    print(f"Proofs {name} (leftovers, refusals): {proofs.count('PASS')} passed, {proofs.count('FAIL')} failed")
    if times:
        print(f"Case runs {name}: median {statistics.median(times):.2f} s (the tool's run {statistics.median(tool):.2f} s), "
              f"longest {max(times):.2f} s, all {sum(times):.1f} s")
    line = f"Wine cases {name} ({planned}): " + ", ".join(f"{n} {what}" for what, n in counts.items()) + f"; {route}"
    print(line)
    with open(os.path.join(a.workdir, "summary.txt"), "w") as f:
        f.write(line + "\n")
    ok = counts["passed"] == planned > 0 and all(rc == 0 for rc, _ in got.values()) and "FAIL" not in proofs
    return 0 if ok else 1


def png(bmp):
    """A 24-bit bottom-up BMP, as the program writes it, as PNG bytes."""
    offset, = struct.unpack_from("<I", bmp, 10)
    width, height = struct.unpack_from("<ii", bmp, 18)
    stride = (width * 3 + 3) & ~3
    rows = [bmp[offset + y * stride:offset + y * stride + width * 3] for y in reversed(range(height))]
    raw = b"".join(b"\0" + b"".join(row[i:i + 3][::-1] for i in range(0, width * 3, 3)) for row in rows)  # BGR

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def try_it(name, route, got, a):
    bmp = os.path.join(a.workdir, "run", "box.bmp")
    if os.path.exists(bmp):
        picture = os.path.join(a.workdir, f"box-{a.generation}.png")
        with open(picture, "wb") as f:
            f.write(png(open(bmp, "rb").read()))
        print(f"the box, as Wine {generations.generation(a.generation).wine} showed it: {picture}")
    return got["win32"][0]


def bench(name, route, got, a):
    rc, out = got["win32"]
    table = [line for line in out.splitlines() if line.startswith("|")]
    if rc != 0 or len(table) < 4:
        raise HarnessError(f"the benchmark did not finish (exit code {rc})")
    on = next(line for line in out.splitlines() if line.startswith("LanyueRepair-tests on "))[22:]
    emulated = ", emulated: the times are the emulator's, not the tool's" if route.kind == "guest" else ""
    results = os.path.join(a.workdir, f"RESULTS-{a.generation}.md")
    with open(results, "w") as f:
        f.write(f"# Time to the message box\n\n{on}; route {route.kind}{emulated}.\n"
                f"Machine: {os.cpu_count()} CPUs, Linux {platform.release()}; {datetime.date.today()}.\n"
                f"Exe: {a.exe}, {os.path.getsize(a.exe)} bytes; median of {a.runs} alternating runs each.\n\n"
                + "\n".join(table) + "\n")
    print(f"written: {results}")
    return 0


def main(argv):
    try:
        return run_generation(argv)
    except HarnessError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 2


def run_generation(argv):
    die_with(os.getppid())()  # the run, and all it starts, ends with whoever started it
    ap = argparse.ArgumentParser(description="the suite program under one generation's Wine")
    ap.add_argument("--generation", default=generations.host_release(), choices=list(generations.GENERATIONS))
    ap.add_argument("--run-generations", default="", help="every generation of this run, comma separated: "
                    "their room is counted at once, and guests share the cores")
    ap.add_argument("--exe", default=os.path.join(REPO, "dist", "LanyueRepair.exe"),
                    help="the exe under test; env LANYUE_E2E_EXE wins over this")
    ap.add_argument("--program", default=os.path.join(REPO, "dist", "LanyueRepair-tests.exe"))
    ap.add_argument("--workdir", help="its run folder and logs (default build/host/<ctest name>)")
    ap.add_argument("--list-generations", action="store_true", help="RELEASE:CTEST-NAME lines for CMake")
    ap.add_argument("--try", dest="mode", action="store_const", const=try_it, default=suite,
                    help="run client-lower-case alone and save its box as build/try-under-wine/box-RELEASE.png")
    ap.add_argument("--bench", dest="mode", action="store_const", const=bench,
                    help="time the tool to its box, writing build/bench/RESULTS-RELEASE.md")
    ap.add_argument("--runs", type=int, default=15, help="--bench: timed runs of each program per load")
    ap.add_argument("--others", type=int, default=60, help="--bench: other programs running in its second row")
    ap.add_argument("cases", nargs="*", help="case ids, as the program takes them (default: all)")
    a = ap.parse_args(argv)
    if a.list_generations:
        print("\n".join(f"{g.release}:{g.tests}" for g in generations.chosen()))
        return 0
    name = generations.generation(a.generation).tests
    place = {suite: os.path.join("host", name), try_it: "try-under-wine", bench: "bench"}[a.mode]
    a.workdir = os.path.abspath(a.workdir or os.path.join(REPO, "build", place))
    os.makedirs(a.workdir, exist_ok=True)
    if a.mode == suite:
        with open(os.path.join(a.workdir, "summary.txt"), "w") as f:
            f.write(f"Wine cases {name}: not run (its run did not get that far)\n")
    a.exe = os.path.abspath(os.environ.get("LANYUE_E2E_EXE") or a.exe)
    for path in (a.exe, a.program):
        if not os.path.isfile(path):
            raise HarnessError(f"no {path}: build it first (./build.sh)")
    route = routes.choose(a.generation)
    others = [routes.choose(r) for r in a.run_generations.split(",") if r and r != a.generation]
    # Guests side by side share the cores: an emulated CPU waiting for a core costs more than it gives.
    if route.kind == "guest":
        route.cpus = max(1, route.cpus // sum(r.kind == "guest" for r in [route, *others]))
    args = {suite: {"win32": ["--leftovers", *a.cases], "win64": ["--refusals", *a.cases]},
            try_it: {"win32": ["--shot", r"Z:\run\lanyue\box.bmp", "client-lower-case"]},
            bench: {"win32": ["--bench", "--runs", str(a.runs), "--others", str(a.others)]}}[a.mode]
    try:
        reservation = run.bring_up(route, a.workdir, others)
    except run.Skip as e:
        with open(os.path.join(a.workdir, "summary.txt"), "w") as f:
            f.write(f"Wine cases {name}: skipped; {e}\n")
        print(f"skipped: {e}")
        return SKIP
    with reservation:
        got = run.run_program(route, a.workdir, a.exe, a.program, args)
    return a.mode(name, route, got, a)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
