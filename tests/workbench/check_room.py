# A run without room fails at once, before it writes anything large, naming each
# file system short of room, the room needed there item by item and the room
# free; never a skip. Each row names its route, told the probe's answer, so it
# takes that route on every kind of machine; the cache and the work folders sit
# on small tmpfs mounts of the test's own (a private mount namespace, see
# CMakeLists.txt). Two starts side by side count each other's writes once.
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STAND_INS = os.path.join(HERE, "stand-ins")
GENS = {"bookworm": "e2e", "trixie": "e2e-wine10"}

# name, generation, the probe's answer, route forced, the run's generations,
# what the message must say of the cache's file system, and of the work folders'
ROWS = [
    ("native", "bookworm", "yes", None, "bookworm",
     ["needs 2.5 GB", "keeping the bookworm prefixes 2.5 GB"], ["needs 2.5 GB", "the bookworm prefixes 2.5 GB"]),
    ("root", "trixie", "yes", None, "trixie",
     ["needs 5.5 GB", "building the trixie root 3 GB", "keeping the trixie prefixes 2.5 GB"],
     ["needs 2.5 GB", "the trixie prefixes 2.5 GB"]),
    ("guest", "bookworm", "no: stand-in", None, "bookworm",
     ["needs 10.0 GB", "building the bookworm guest's image 6 GB", "building the bookworm guest's prefixes 3 GB",
      "the bookworm guest's writes 1 GB"], None),
    ("guest, forced where the kernel runs 32-bit code", "trixie", "yes", "guest", "trixie",
     ["needs 10.0 GB", "building the trixie guest's image 6 GB"], None),
    ("native, with the root of the run's other generation", "bookworm", "yes", None, "bookworm,trixie",
     ["needs 8.0 GB", "keeping the bookworm prefixes 2.5 GB", "building the trixie root 3 GB",
      "keeping the trixie prefixes 2.5 GB"],
     ["needs 5.0 GB", "the bookworm prefixes 2.5 GB", "the trixie prefixes 2.5 GB"]),
    ("guest, with the guest of the run's other generation", "trixie", "no: stand-in", None, "bookworm,trixie",
     ["needs 20.0 GB", "building the bookworm guest's image 6 GB", "building the trixie guest's image 6 GB"],
     None),
]
# Two generations side by side (native and root), sizes in MiB: bookworm's start
# comes while trixie's root build is half written. The cache takes the root build
# and both kept copies of the prefixes, the work folders both generations'
# prefixes (each tmpfs with half a MiB more for the run's own records).
# name, cache MiB, each start's run generations, whether trixie's and bookworm's pass
CACHE_MIB, WORK_MIB = 3 + 2.5 + 2.5, 2.5 + 2.5
SIDE_BY_SIDE = [
    ("one run, room for it", CACHE_MIB + 0.5, "bookworm,trixie", "bookworm,trixie", True, True),
    ("one run, a little less", CACHE_MIB - 0.5, "bookworm,trixie", "bookworm,trixie", False, False),
    ("two runs, a little less for the second", CACHE_MIB - 0.5, "trixie", "bookworm", True, False),
]


def start_as_told(argv):
    """Runs the suite's start step here, told the probe's answer, with packages taken
    as installed and no runner to start (their tables are elsewhere)."""
    sys.dont_write_bytecode = True
    sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "..", "tools")]
    import e2e
    from winelab import room, route
    route.TOLD_IA32 = os.environ["LANYUE_STAND_IN_IA32"]
    route.require = route.ensure_zh_locale = lambda *a: None
    route.start_runner = lambda *a, **k: None
    if os.environ.get("LANYUE_STAND_IN_MIB"):
        room.GB = 2**20
    os.environ["PATH"] = STAND_INS + os.pathsep + os.environ["PATH"]  # mmdebstrap
    return e2e.main(argv)


def start(tmp, release, answer, gens, forced=None, mib=False):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LANYUE_")}
    env.update(LANYUE_GUEST_CACHE=os.path.join(tmp, "cache"), LANYUE_RUN_DIR=os.path.join(tmp, "run"),
               LANYUE_STAND_IN_DIR=os.path.join(tmp, "stand-in"), LANYUE_STAND_IN_IA32=answer)
    if forced:
        env["LANYUE_E2E_ROUTE"] = forced
    if mib:
        env.update(LANYUE_STAND_IN_MIB="1", LANYUE_STAND_IN_BUILD_KB=str(3 * 1024))
    exe = os.path.join(tmp, "stand-in", "LanyueRepair.exe")
    return subprocess.Popen([sys.executable, __file__, "--start", "--generation", release, "--exe", exe,
                             "--helpers", os.path.join(tmp, "stand-in"),
                             "--workdir", os.path.join(tmp, "work", GENS[release]),
                             "start", "--run-generations", gens],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def mount_small(tmp, cache_mib, work_mib):
    for name, mib in (("cache", cache_mib), ("work", work_mib)):
        os.makedirs(os.path.join(tmp, name))
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={int(mib * 1024)}k", "tmpfs",
                        os.path.join(tmp, name)], check=True)
    os.makedirs(os.path.join(tmp, "stand-in"))
    for name in ("LanyueRepair.exe", "case_agent.exe", "ia32_probe"):  # only their names count here
        with open(os.path.join(tmp, "stand-in", name), "wb") as f:
            f.write(b"MZ")


def unmount(tmp):
    for name in ("cache", "work"):
        subprocess.run(["umount", "--lazy", os.path.join(tmp, name)], stderr=subprocess.DEVNULL)


def route_row(tmp, name, release, answer, forced, gens, cache_said, work_said):
    t0 = time.monotonic()
    p = start(tmp, release, answer, gens, forced)
    out = p.communicate(timeout=240)[0]
    took = time.monotonic() - t0
    why = []
    message = next((line for line in out.splitlines() if "not enough disk" in line), "")
    parts = dict(re.findall(rf"{re.escape(tmp)}/(cache|work)/\S* (has .*?)(?=; {re.escape(tmp)}|$)", message))
    if p.returncode != 2 or not message:
        why.append(f"exit {p.returncode}, expected 2 and 'not enough disk' (a failure, not a skip)")
    for place, said in (("cache", cache_said), ("work", work_said)):
        if said is None:
            if place in parts:
                why.append(f"the {place} folders' file system was counted: {parts[place]}")
            continue
        for text in ["has ", "GB free"] + said:
            if text not in parts.get(place, ""):
                why.append(f"what it says of the {place} folders lacks {text!r}")
    if took > 60:
        why.append(f"took {took:.0f}s, expected to fail at once")
    return why, out, took


def side_by_side(tmp, trixie_gens, bookworm_gens, trixie_passes, bookworm_passes):
    """trixie's start builds its root; bookworm's starts while that is half written."""
    said = {}
    trixie = start(tmp, "trixie", "yes", trixie_gens, mib=True)
    half = os.path.join(tmp, "stand-in", "half-written")
    deadline = time.monotonic() + 60
    while trixie_passes and not os.path.exists(half) and trixie.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    bookworm = start(tmp, "bookworm", "yes", bookworm_gens, mib=True)
    said["bookworm"] = (bookworm.communicate(timeout=120)[0], bookworm.returncode, bookworm_passes)
    open(os.path.join(tmp, "stand-in", "go"), "w").close()
    said["trixie"] = (trixie.communicate(timeout=120)[0], trixie.returncode, trixie_passes)
    why = []
    for release, (out, rc, passes) in said.items():
        if passes and rc != 0:
            why.append(f"{release} failed ({rc}): {out[-800:]}")
        if not passes and (rc != 2 or "not enough disk" not in out):
            why.append(f"{release} ended {rc}, expected to fail for room: {out[-800:]}")
    if not trixie_passes and os.path.exists(half):
        why.append("the root build began before the room was counted")
    return why


def main():
    if os.geteuid() != 0:
        print("needs root, to mount a small tmpfs")
        return 77
    failures = []
    for row in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-room-") as tmp:
            mount_small(tmp, 100, 100)
            try:
                why, out, took = route_row(tmp, *row)
            finally:
                unmount(tmp)
        if why:
            failures.append(f"[{row[0]}] {'; '.join(why)}:\n{out[-1500:]}")
        else:
            print(f"PASS [{row[0]}] failed in {took:.1f}s: {out.strip().splitlines()[-1][:400]}")
    for name, cache_mib, *row in SIDE_BY_SIDE:
        with tempfile.TemporaryDirectory(prefix="lanyue-room-") as tmp:
            mount_small(tmp, cache_mib, WORK_MIB + 0.5)
            try:
                why = side_by_side(tmp, *row)
            finally:
                unmount(tmp)
        if why:
            failures.append(f"[side by side, {name}] {'; '.join(why)}")
        else:
            print(f"PASS [side by side, {name}]")
    for x in failures:
        print(f"FAIL {x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(start_as_told(sys.argv[2:]) if sys.argv[1:2] == ["--start"] else main())
