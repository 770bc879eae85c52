# A run without room fails at once, before it writes anything large, naming the
# cache's file system, the room needed there item by item and the room free;
# never a skip. Each row names its route, told the probe's answer; the cache is
# a small tmpfs of the row's own (in a private mount namespace, see
# CMakeLists.txt). Two generations side by side count each other's writes once:
# bookworm's run starts while trixie's root build is half written.
import os
import subprocess
import sys
import time

import stand_in_run as sir
from winelab import cache, room, routes, run
from winelab.common import HarnessError

# name, generation, the probe's answer, route forced, the run's generations, what the message must say
ROWS = [
    ("native", "bookworm", "yes", None, "bookworm", ["needs 3.0 GB", "making the bookworm prefixes 3 GB"]),
    ("root", "trixie", "yes", None, "trixie",
     ["needs 6.0 GB", "building the trixie root 3 GB", "making the trixie prefixes 3 GB"]),
    ("guest", "bookworm", "no: stand-in", None, "bookworm",
     ["needs 10.0 GB", "building the bookworm guest's image 6 GB", "making the bookworm prefixes 3 GB",
      "the bookworm guest's writes 1 GB"]),
    ("guest, forced where the kernel runs 32-bit code", "trixie", "yes", "guest", "trixie",
     ["needs 10.0 GB", "building the trixie guest's image 6 GB"]),
    ("native, with the root of the run's other generation", "bookworm", "yes", None, "bookworm,trixie",
     ["needs 9.0 GB", "making the bookworm prefixes 3 GB", "building the trixie root 3 GB",
      "making the trixie prefixes 3 GB"]),
    ("guest, with the guest of the run's other generation", "trixie", "no: stand-in", None, "bookworm,trixie",
     ["needs 20.0 GB", "building the bookworm guest's image 6 GB", "building the trixie guest's image 6 GB"]),
]
# Sizes in MiB: the cache takes trixie's root build and both generations' prefixes.
# name, cache MiB, each run's generations (trixie's, bookworm's), whether each passes
NEEDED_MIB = 3 + 3 + 3
SIDE_BY_SIDE = [
    ("one run, room for it", NEEDED_MIB + 0.5, "bookworm,trixie", "bookworm,trixie", True, True),
    ("one run, a little less", NEEDED_MIB - 0.5, "bookworm,trixie", "bookworm,trixie", False, False),
    ("two runs, a little less for the second", NEEDED_MIB - 0.5, "trixie", "bookworm", True, False),
]


def bring_up(release, gens):
    """A generation's bring-up as its run does it, the prefixes made as large as said."""
    sir.use_stand_ins(os.environ["LANYUE_STAND_IN_IA32"])
    room.GB = 2**20 if os.environ.get("LANYUE_STAND_IN_MIB") else room.GB

    def make(self, partial, folder):
        with open(os.path.join(partial, "made"), "wb") as f:
            f.write(b"\0" * (cache.BUILD_GB["prefixes"] * room.GB))
    routes.Route.make = routes.GuestRoute.make = make
    route = routes.choose(release)
    try:
        with run.bring_up(route, os.path.join(os.environ["LANYUE_STAND_IN_DIR"], release),
                          [routes.choose(r) for r in gens.split(",") if r != release]):
            return 0
    except HarnessError as e:
        print(f"ERROR: {e}")
        return 2


def start(tmp, release, ia32, gens, forced=None, mib=False):
    env = sir.env(tmp, LANYUE_STAND_IN_IA32=ia32, PATH=sir.STAND_INS + os.pathsep + os.environ["PATH"],
                  **({routes.ROUTE_ENV: forced} if forced else {}),
                  **({"LANYUE_STAND_IN_MIB": "1", "LANYUE_STAND_IN_BUILD_KB": str(3 * 1024)} if mib else {}))
    return subprocess.Popen([sys.executable, __file__, "--bring-up", release, gens], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def small_cache(tmp, mib):
    os.makedirs(os.path.join(tmp, "cache"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={int(mib * 1024)}k", "tmpfs", os.path.join(tmp, "cache")],
                   check=True)


def route_row(tmp, release, ia32, forced, gens, said):
    small_cache(tmp, 100)
    t0 = time.monotonic()
    p = start(tmp, release, ia32, gens, forced)
    out = p.communicate(timeout=120)[0]
    message = next((line for line in out.splitlines() if "not enough disk" in line), "")
    why = [] if p.returncode == 2 and message else [f"exit {p.returncode}, expected a failure naming the room"]
    why += [f"it does not say {text!r}" for text in ["has ", "GB free", *said] if text not in message]
    if time.monotonic() - t0 > 60:
        why.append("it did not fail at once")
    return why, out[-1500:]


def side_by_side(tmp, cache_mib, trixie_gens, bookworm_gens, trixie_passes, bookworm_passes):
    small_cache(tmp, cache_mib)
    trixie = start(tmp, "trixie", "yes", trixie_gens, mib=True)
    deadline = time.monotonic() + 60
    while trixie_passes and not os.path.exists(tmp + "/half-written") and time.monotonic() < deadline:
        time.sleep(0.05)
    bookworm = start(tmp, "bookworm", "yes", bookworm_gens, mib=True)
    said = {"bookworm": (*bookworm.communicate(timeout=120), bookworm_passes)}
    open(os.path.join(tmp, "go"), "w").close()
    said["trixie"] = (*trixie.communicate(timeout=120), trixie_passes)
    why = []
    for release, (out, _, passes) in said.items():
        rc = (bookworm if release == "bookworm" else trixie).returncode
        if passes != (rc == 0) or not passes and "not enough disk" not in out:
            why.append(f"{release} ended {rc}, expected to {'pass' if passes else 'fail for room'}: {out[-800:]}")
    if not trixie_passes and os.path.exists(tmp + "/half-written"):
        why.append("the root build began before the room was counted")
    return why, ""


if __name__ == "__main__":
    if sys.argv[1:2] == ["--bring-up"]:
        sys.exit(bring_up(*sys.argv[2:]))
    sys.exit(sir.rows(ROWS, route_row) or sir.rows(SIDE_BY_SIDE, side_by_side))
