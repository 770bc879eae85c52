# The Wine suite of one generation, as one ctest test: its route (this machine,
# a root of its own, or an emulated guest), its prefixes, the suite program
# (tests/e2e/suite/) run in the win32 prefix with the leftovers proof and then
# in the win64 one, and one closing line counting the case runs. Started by
# run-e2e; see --help.
import argparse
import os
import re
import statistics
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from winelab import generations, routes, run  # noqa: E402
from winelab.common import REPO, HarnessError, die_with  # noqa: E402

SKIP = 77  # ctest's SKIP_RETURN_CODE


def count(out):
    """What the program printed in one prefix: its plan, its case lines, the leftovers proof's."""
    plan = re.search(r"^plan: (\d+) cases$", out, re.M)
    cases = re.findall(r"^(PASS|FAIL) (?!leftovers/)\S+ \[\w+\] .*\((\d+\.\d+) s", out, re.M)
    proof = re.findall(r"^(PASS|FAIL) leftovers/", out, re.M)
    return int(plan.group(1)) if plan else None, cases, proof


def summarize(name, route, got):
    """The closing line of the run, and whether every case run passed."""
    counts = dict.fromkeys(("passed", "failed", "skipped", "not run"), 0)
    planned, times, proof = 0, [], []
    for arch, (rc, out) in got.items():
        plan, cases, arch_proof = count(out)
        passed = sum(verdict == "PASS" for verdict, _ in cases)
        counts["passed"] += passed
        counts["failed"] += len(cases) - passed
        if plan is None:
            print(f"the suite program did not start its cases in {arch} (exit code {rc})")
        planned += plan or 0
        counts["not run"] += max(0, (plan or 0) - len(cases))
        times += [float(t) for _, t in cases]
        proof += arch_proof
    if proof:
        print(f"Leftovers proof {name}: {proof.count('PASS')} passed, {proof.count('FAIL')} failed")
    if times:
        print(f"Case runs {name}: median {statistics.median(times):.2f} s, "
              f"longest {max(times):.2f} s, all {sum(times):.1f} s")
    line = f"Wine cases {name} ({planned}): " + ", ".join(f"{n} {what}" for what, n in counts.items()) + f"; {route}"
    ok = (counts["passed"] == planned and planned > 0 and all(rc == 0 for rc, _ in got.values())
          and "FAIL" not in proof)
    return line, ok


def main(argv):
    try:
        return run_generation(argv)
    except HarnessError as e:
        print(f"ERROR: {e}", file=sys.stderr)
        return 2


def run_generation(argv):
    die_with(os.getppid())()  # the run, and all it starts, ends with whoever started it
    ap = argparse.ArgumentParser(description="the Wine suite of one generation")
    ap.add_argument("--generation", default=generations.host_release(), choices=list(generations.GENERATIONS))
    ap.add_argument("--run-generations", default="", help="every generation of this run, comma separated: "
                    "their room is counted at once, and guests share the cores")
    ap.add_argument("--exe", default=os.path.join(REPO, "dist", "LanyueRepair.exe"),
                    help="the exe under test; env LANYUE_E2E_EXE wins over this")
    ap.add_argument("--program", default=os.path.join(REPO, "build", "windows", "LanyueRepair-tests.exe"))
    ap.add_argument("--workdir", help="its run folder and logs (default build/host/<ctest name>)")
    ap.add_argument("--list-generations", action="store_true", help="RELEASE:CTEST-NAME lines for CMake")
    ap.add_argument("cases", nargs="*", help="case ids, as the program takes them (default: all)")
    a = ap.parse_args(argv)
    if a.list_generations:
        print("\n".join(f"{g.release}:{g.tests}" for g in generations.chosen()))
        return 0
    name = generations.generation(a.generation).tests
    workdir = os.path.abspath(a.workdir or os.path.join(REPO, "build", "host", name))
    os.makedirs(workdir, exist_ok=True)
    summary = os.path.join(workdir, "summary.txt")
    with open(summary, "w") as f:
        f.write(f"Wine cases {name}: not run (its run did not get that far)\n")
    exe = os.path.abspath(os.environ.get("LANYUE_E2E_EXE") or a.exe)
    for path in (exe, a.program):
        if not os.path.isfile(path):
            raise HarnessError(f"no {path}: build it first (./build.sh)")
    route = routes.choose(a.generation)
    others = [routes.choose(r) for r in a.run_generations.split(",") if r and r != a.generation]
    # Guests side by side share the cores: an emulated CPU waiting for a core costs more than it gives.
    if route.kind == "guest":
        route.cpus = max(1, route.cpus // sum(r.kind == "guest" for r in [route, *others]))
    try:
        reservation = run.bring_up(route, workdir, others)
    except run.Skip as e:
        with open(summary, "w") as f:
            f.write(f"Wine cases {name}: skipped; {e}\n")
        print(f"skipped: {e}")
        return SKIP
    with reservation:
        got = run.run_program(route, workdir, exe, a.program,
                              {"win32": ["--leftovers", *a.cases], "win64": a.cases})
    line, ok = summarize(name, route, got)
    print(line)
    with open(summary, "w") as f:
        f.write(line + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
