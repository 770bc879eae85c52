# A run without room fails at once, before it writes anything large, naming the
# folder, the room it needs and the room free; it is never a skip. The cache and
# the work folder sit on a small tmpfs of the test's own (a private mount
# namespace, see CMakeLists.txt); the Wine suite's real start step runs there.
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "e2e", "e2e.py")

# name, generation, route forced (None: the suite picks), what stderr must hold
ROWS = [
    ("guest forced", "bookworm", "guest", ["building the bookworm guest's image 6 GB"]),
    ("route picked, the machine's own release", "bookworm", None, ["bookworm"]),
    ("route picked, another release", "trixie", None, ["trixie"]),
]


def main():
    if os.geteuid() != 0:
        print("needs root, to mount a small tmpfs")
        return 77
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-room-") as tmp:
        small = os.path.join(tmp, "small")
        os.makedirs(small)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=100m", "tmpfs", small], check=True)
        try:
            for name, release, forced, said in ROWS:
                env = {k: v for k, v in os.environ.items() if not k.startswith("LANYUE_")}
                env.update(LANYUE_GUEST_CACHE=small, LANYUE_RUN_DIR=os.path.join(tmp, "run"))
                if forced:
                    env["LANYUE_E2E_ROUTE"] = forced
                work = os.path.join(small, "work", name.replace(" ", "-"))
                t0 = time.monotonic()
                cp = subprocess.run([sys.executable, E2E, "--generation", release, "--workdir", work,
                                     "start", "--run-generations", "bookworm,trixie"],
                                    env=env, capture_output=True, text=True, timeout=240)
                took = time.monotonic() - t0
                err = cp.stderr + cp.stdout
                why = []
                if cp.returncode != 2:
                    why.append(f"exit {cp.returncode}, expected 2 (a failure, not a skip)")
                for text in ["not enough disk", f"{small}/lanyue-repair has ", "GB free", "needs"] + said:
                    if text not in err:
                        why.append(f"the message lacks {text!r}")
                if took > 60:
                    why.append(f"took {took:.0f}s, expected to fail at once")
                if why:
                    failures.append(f"[{name}] {'; '.join(why)}:\n{err[-1500:]}")
                else:
                    print(f"PASS [{name}] failed in {took:.1f}s: {err.strip().splitlines()[-1][:300]}")
        finally:
            subprocess.run(["umount", "--lazy", small])
    for x in failures:
        print(f"FAIL {x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
