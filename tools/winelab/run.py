# One generation's run of the suite program, for the suite, try-under-wine and
# the benchmark: the room it needs reserved, its route brought up, a fresh run
# folder holding the two programs and their arguments, the program run there in
# each prefix, and what it printed in each.
import os
import shutil

from . import cache, room
from .common import HarnessError, Unavailable
from .generations import GENERATIONS
from .routes import PREFIXES

ARCHES = {"win32": PREFIXES[0], "win64": PREFIXES[1]}


class Skip(Exception):
    """No route can be had on this machine, by its nature."""


def bring_up(route, workdir, others=()):
    """Reserves the room this generation's route will write, counting what the run's other
    generations' routes will (`others`), then readies it. Returns the reservation: it holds
    while the file stays open. A route this machine cannot have by nature raises Skip,
    unless it was forced; every other cause (no room among them) HarnessError."""
    print(f"route: {route}", flush=True)
    with cache.lock():
        cache.prune(keep=[cache.image_dir(r, k) for r in GENERATIONS for k in ("guest", "root")])
        reservation = room.reserve(cache.cache_root(), workdir, route.needs(), [n for o in others for n in o.needs()])
    try:
        route.prepare(fresh(os.path.join(workdir, "make")))
    except Unavailable as e:
        reservation.close()
        if route.forced:
            raise HarnessError(f"the forced {route.kind} route cannot be had: {e}")
        raise Skip(f"Wine cannot run here: {route.reason}, but {e}")
    return reservation


def fresh(folder):
    """An empty folder of the workbench's: what an earlier run left there goes."""
    if os.path.lexists(folder):
        cache.remove_marked(folder)
    return cache.make_marked(folder)


def run_program(route, workdir, tool, program, args, deadline=3000):
    """Runs the suite program beside the tool in each prefix `args` names ({arch: [arguments]}),
    printing its output as it comes; {arch: (exit code or None, output)}."""
    folder = fresh(os.path.join(workdir, "run"))
    shutil.copyfile(tool, os.path.join(folder, "LanyueRepair.exe"))
    shutil.copyfile(program, os.path.join(folder, "LanyueRepair-tests.exe"))
    for arch, words in args.items():
        with open(os.path.join(folder, f"{arch}.args"), "w") as f:
            f.write("".join(f"{w}\n" for w in words))
    job = ["run", "/run/lanyue", *(f"{route.prefixes_at}/{ARCHES[a]}" for a in args)]
    route.run(folder, job, deadline, show=[f"{a}.out" for a in args])
    got = {}
    for arch in args:
        try:
            rc = int(open(os.path.join(folder, f"{arch}.rc")).read())
        except (OSError, ValueError):
            rc = None
        out = os.path.join(folder, f"{arch}.out")
        text = open(out, "rb").read().decode("utf-8", "replace") if os.path.exists(out) else ""
        got[arch] = rc, text.replace("\r\n", "\n")  # a Windows program's lines
    if all(rc is None for rc, _ in got.values()):
        log = open(os.path.join(folder, "in-wine.log" if route.kind != "guest" else "job.log"), errors="replace")
        raise HarnessError(f"the suite program ran in no prefix; {log.name}:\n{log.read()[-1500:]}")
    return got
