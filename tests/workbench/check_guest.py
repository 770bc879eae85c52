# A job in a guest that stopped answering (no heartbeat) or stopped (its qemu
# ended) fails the step soon after, naming what happened, instead of waiting
# out the job's whole deadline. A stand-in guest (stand-ins/boot) takes the job
# and never finishes it.
import os
import sys
import tempfile
import time

sys.dont_write_bytecode = True
import run_step  # noqa: E402
import winelab as wl  # noqa: E402
from winelab import cache, guest  # noqa: E402

JOB_DEADLINE_S = 120  # past every row's "within"
guest.SILENT_S = 5  # the run's own is 40 s; the test need not wait that out
# name, how the stand-in guest behaves, what the error must say, within seconds
ROWS = [
    ("the guest beats no more", "silent", "stopped answering", guest.SILENT_S + 10),
    ("the guest's qemu ends", "stops", "stopped during the job", 15),
]


def main():
    run_step.use_stand_ins()
    failures = []
    for name, behaviour, said, within in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-guest-") as tmp:
            os.environ.update(LANYUE_RUN_DIR=os.path.join(tmp, "run"), LANYUE_GUEST_CACHE=tmp,
                              LANYUE_STAND_IN_DIR=tmp, LANYUE_STAND_IN_GUEST=behaviour)
            folder = cache.make_marked(cache.image_dir("bookworm"))
            for f in cache.BUILT["guest"]:
                open(os.path.join(folder, f), "w").close()
            vm = guest.Guest(os.path.join(tmp, "guest"))
            vm.boot([], "bookworm")
            t0 = time.monotonic()
            try:
                vm.run("sleep 1000\n", JOB_DEADLINE_S)
                why = "the job ended"
            except wl.HarnessError as e:
                took = time.monotonic() - t0
                why = None if said in str(e) and took < within else \
                    f"failed after {took:.0f}s saying {str(e)[:200]!r}; expected {said!r} within {within}s"
            finally:
                vm.stop(grace=0)
            if why:
                failures.append(f"[{name}] {why}")
            else:
                print(f"PASS [{name}] failed after {took:.0f}s")
    for x in failures:
        print(f"FAIL {x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
