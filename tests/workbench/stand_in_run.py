# What the workbench's rows share: a generation's run as ctest starts it
# (tests/e2e/e2e.py), in a process of its own, on the route a row names
# whatever this machine's kernel, with stand-ins where Wine, qemu or apt would
# be (stand-ins/), over a cache of the row's own that holds what the route
# would have built and kept. Run as a script, it is that process.
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
STAND_INS = os.path.join(HERE, "stand-ins")
sys.dont_write_bytecode = True
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "..", "tools")]
from winelab import cache, routes  # noqa: E402


def use_stand_ins(ia32):
    """This process as a row's: told the probe's answer, packages taken as installed,
    the stand-in in-wine run where Wine would be."""
    routes.TOLD_IA32 = ia32
    routes.require = lambda *a: None
    routes.NativeRoute.build = lambda self: None
    cache.IN_WINE = os.path.join(STAND_INS, "in-wine")
    os.environ["PATH"] = STAND_INS + os.pathsep + os.environ["PATH"]


def env(tmp, **more):
    e = {k: v for k, v in os.environ.items() if not k.startswith("LANYUE_")}
    e.update(LANYUE_GUEST_CACHE=os.path.join(tmp, "cache"), LANYUE_STAND_IN_DIR=tmp, **more)
    os.environ.update(LANYUE_GUEST_CACHE=e["LANYUE_GUEST_CACHE"])
    return e


def kept(release, ia32, forced=None):
    """A cache as a route's earlier runs leave it: its image or root built, its prefixes made
    (a root's own folder is left to the row). Returns the route."""
    use_stand_ins(ia32)
    os.environ.pop(routes.ROUTE_ENV, None) if not forced else os.environ.update({routes.ROUTE_ENV: forced})
    route = routes.choose(release)
    if route.kind != "native":
        made = cache.image_dir(release, route.kind)
        for name in cache.BUILT[route.kind]:
            os.makedirs(os.path.dirname(os.path.join(made, name)), exist_ok=True)
            open(os.path.join(made, name), "w").close()
    prefixes = cache.make_marked(route.prefixes)
    for name in ("made", "prefixes.img", "prefix32/system.reg", "prefix64/system.reg"):
        os.makedirs(os.path.dirname(os.path.join(prefixes, name)), exist_ok=True)
        with open(os.path.join(prefixes, name), "w") as f:
            f.write("kept\n")
    return route


def start(tmp, release, ia32, workdir, exe, cases=(), forced=None, **told):
    """The generation's run, as ctest starts it."""
    program = os.path.join(tmp, "LanyueRepair-tests.exe")
    for path in (exe, program):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"MZ")
    e = env(tmp, LANYUE_STAND_IN_IA32=ia32, **({routes.ROUTE_ENV: forced} if forced else {}), **told)
    return subprocess.Popen([sys.executable, __file__, "--generation", release, "--exe", exe, "--program", program,
                             "--workdir", workdir, *cases], env=e, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)


def rows(table, row):
    """Runs each row of a table in a folder of its own, unmounting what the row mounted there,
    and prints its verdict; row(folder, *the rest of the row) returns (failures, what it saw)."""
    if os.geteuid() != 0:
        print("needs root, to mount")
        return 77
    failed = 0
    for name, *rest in table:
        with tempfile.TemporaryDirectory(prefix="lanyue-row-") as tmp:
            try:
                why, saw = row(tmp, *rest)
            finally:
                for point in cache.mounts_under(tmp):
                    subprocess.run(["umount", "--lazy", point])
        failed += bool(why)
        print(f"{'FAIL' if why else 'PASS'} [{name}] {'; '.join(why)}" + (f"\n{saw}" if why and saw else ""))
    return 1 if failed else 0


def left_here(mounts):
    """What a run left on this machine: something mounted, a guest's disk overlay."""
    why = ["something stays mounted here"] if open("/proc/self/mounts").read() != mounts else []
    if set(os.listdir(cache.overlay_dir())) - {cache.MARK}:
        why.append(f"overlays left: {os.listdir(cache.overlay_dir())}")
    return why


if __name__ == "__main__":
    import e2e
    use_stand_ins(os.environ["LANYUE_STAND_IN_IA32"])
    sys.exit(e2e.main(sys.argv[1:]))
