# The guest route's runner here with a stand-in guest (stand-ins/boot): the job
# that makes a guest's prefixes reaches the guest and comes back, and the guest,
# whose prefixes disk is kept, powers off as its run ends. A job in a guest
# that stops answering (no beat) or stops (its qemu ends) fails soon after,
# naming what happened, instead of waiting out its whole deadline.
import io
import json
import os
import sys
import tempfile
import time
from contextlib import redirect_stdout

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import winelab as wl  # noqa: E402
from winelab import guest, route  # noqa: E402

guest.SILENT_S = 5  # the run's own is 40 s; the test need not wait that out
guest.BOOT = os.path.join(HERE, "stand-ins", "boot")
# name, how the stand-in guest behaves, what the error must say, within seconds
HUNG = [
    ("the guest beats no more", "silent", "stopped answering", guest.SILENT_S + 10),
    ("the guest's qemu ends", "stops", "stopped during the job", 15),
]


def prefixes_made(tmp):
    """A guest's prefixes, made by a guest of their own: a job through the route's
    runner here, then the end of that run, its disk kept."""
    os.environ["LANYUE_STAND_IN_GUEST"] = "answers"
    r = route.GuestRoute("test", os.path.join(tmp, "work"), True, "bookworm")
    out = os.path.join(tmp, "step.out")
    with open(out, "w") as f:
        saved = os.dup(1)
        os.dup2(f.fileno(), 1)
        try:
            guest.make_prefixes(r, os.path.join(tmp, "prefixes.img"))
            why = []
        except wl.HarnessError as e:
            why = [str(e)]
        finally:
            os.dup2(saved, 1)
    if "the guest ran it" not in open(out).read():
        why.append(f"what the guest's job wrote did not come back: {open(out).read()[-300:]!r}")
    if not os.path.exists(os.path.join(r.workdir, "guest-prefixes", "powered-off")):
        why.append("its run ended without powering the guest off")
    return why


def hung(tmp, behaviour, said, within):
    os.environ["LANYUE_STAND_IN_GUEST"] = behaviour
    plan = json.dumps({"boot": guest.BOOT, "image": tmp, "folder": os.path.join(tmp, "guest"), "keep": False,
                       "port": os.path.join(tmp, "port"), "disk": "none", "shares": [], "cpus": 1,
                       "overlays": tmp, "scale": 1})
    with redirect_stdout(io.StringIO()):
        qemu = guest.boot(plan, lambda: False)
    t0 = time.monotonic()
    try:
        guest.relay([plan, json.dumps({"argv": ["sleep", "1000"], "env": {}})])
        return "the job ended"
    except wl.HarnessError as e:
        took = time.monotonic() - t0
        return None if said in str(e) and took < within else \
            f"failed after {took:.0f}s saying {str(e)[:200]!r}; expected {said!r} within {within}s"
    finally:
        wl.end(qemu.pid)


def main():
    failures = []
    with tempfile.TemporaryDirectory(prefix="lanyue-guest-") as tmp:
        failures += [f"[a guest's prefixes made by a guest of their own] {x}" for x in prefixes_made(tmp)]
    for name, behaviour, said, within in HUNG:
        with tempfile.TemporaryDirectory(prefix="lanyue-guest-") as tmp:
            why = hung(tmp, behaviour, said, within)
        failures += [f"[{name}] {why}"] if why else []
    for x in failures:
        print(f"FAIL {x}")
    print(f"{len(HUNG) + 1} guest checks: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
