# The suite program's two other uses under Wine, on the route the suite takes
# here and in its win32 prefix: `try` runs the case client-lower-case once and
# saves its box as a picture (tools/try-under-wine); `bench` runs the program's
# benchmark and writes its table to build/bench/RESULTS.md (bench/run).
import argparse
import datetime
import os
import platform
import struct
import sys
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winelab import generations, routes, run  # noqa: E402
from winelab.common import REPO, HarnessError  # noqa: E402


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


def main(argv):
    ap = argparse.ArgumentParser(description="the suite program once under Wine: try the tool, or bench it")
    ap.add_argument("mode", choices=["try", "bench"])
    ap.add_argument("--generation", default=generations.host_release(), choices=list(generations.GENERATIONS))
    ap.add_argument("--exe", default=os.path.join(REPO, "dist", "LanyueRepair.exe"))
    ap.add_argument("--runs", type=int, default=15, help="bench: timed runs of each program per load")
    ap.add_argument("--others", type=int, default=60, help="bench: other programs in the loaded rows")
    a = ap.parse_args(argv)
    exe, program = os.path.abspath(a.exe), os.path.join(REPO, "build", "windows", "LanyueRepair-tests.exe")
    workdir = os.path.join(REPO, "build", "try-under-wine" if a.mode == "try" else "bench")
    route = routes.choose(a.generation)
    args = ["--shot", r"Z:\run\lanyue\box.bmp", "client-lower-case"] if a.mode == "try" else \
        ["--bench", "--runs", str(a.runs), "--others", str(a.others)]
    with run.bring_up(route, workdir):
        rc, out = run.run_program(route, workdir, exe, program, {"win32": args})["win32"]
    if a.mode == "try":
        bmp = os.path.join(workdir, "run", "box.bmp")
        if os.path.exists(bmp):
            picture = os.path.join(workdir, f"box-{a.generation}.png")
            with open(picture, "wb") as f:
                f.write(png(open(bmp, "rb").read()))
            print(f"the box, as Wine {generations.generation(a.generation).wine} showed it: {picture}")
        return rc
    table = [line for line in out.splitlines() if line.startswith("|")]
    if rc != 0 or len(table) < 4:
        raise HarnessError(f"the benchmark did not finish (exit code {rc})")
    header = next(line for line in out.splitlines() if line.startswith("LanyueRepair-tests on"))
    emulated = ", emulated: the times are the emulator's, not the tool's" if route.kind == "guest" else ""
    results = os.path.join(workdir, "RESULTS.md")
    with open(results, "w") as f:
        f.write(f"# Time to the message box\n\n{header[len('LanyueRepair-tests on '):]}; route {route.kind}{emulated}.\n"
                f"Machine: {os.cpu_count()} CPUs, Linux {platform.release()}; {datetime.date.today()}.\n"
                f"Exe: {exe}, {os.path.getsize(exe)} bytes. Median of {a.runs} alternating runs each.\n\n"
                + "\n".join(table) + "\n")
    print(f"written: {results}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (HarnessError, run.Skip) as e:
        sys.exit(f"ERROR: {e}")
