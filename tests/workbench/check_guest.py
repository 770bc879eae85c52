# A job in a guest that stopped answering (no beat) or stopped (its qemu ended)
# fails its step soon after, naming what happened, instead of waiting out the
# job's whole deadline. A stand-in guest (stand-ins/boot) answers the boot's
# pings, takes the job and never finishes it.
import json
import os
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import winelab as wl  # noqa: E402
from winelab import guest  # noqa: E402

guest.SILENT_S = 5  # the run's own is 40 s; the test need not wait that out
guest.BOOT = os.path.join(HERE, "stand-ins", "boot")
# name, how the stand-in guest behaves, what the error must say, within seconds
ROWS = [
    ("the guest beats no more", "silent", "stopped answering", guest.SILENT_S + 10),
    ("the guest's qemu ends", "stops", "stopped during the job", 15),
]


def main():
    failures = []
    for name, behaviour, said, within in ROWS:
        with tempfile.TemporaryDirectory(prefix="lanyue-guest-") as tmp:
            os.environ["LANYUE_STAND_IN_GUEST"] = behaviour
            plan = json.dumps({"image": tmp, "folder": os.path.join(tmp, "guest"), "port": os.path.join(tmp, "port"),
                               "disk": "none", "shares": [], "keep": False, "cpus": 1, "overlays": tmp, "scale": 1})
            qemu = guest.boot(plan, lambda: False)
            t0 = time.monotonic()
            try:
                guest.relay([plan, json.dumps({"argv": ["sleep", "1000"], "env": {}})])
                why = "the job ended"
            except wl.HarnessError as e:
                took = time.monotonic() - t0
                why = None if said in str(e) and took < within else \
                    f"failed after {took:.0f}s saying {str(e)[:200]!r}; expected {said!r} within {within}s"
            finally:
                wl.end(qemu.pid)
            if why:
                failures.append(f"[{name}] {why}")
            else:
                print(f"PASS [{name}] failed after {took:.0f}s")
    for x in failures:
        print(f"FAIL {x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
