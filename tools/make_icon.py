#!/usr/bin/python3
# Draws the LanyueRepair icon (a wrench over a game folder) into res/app.ico:
# 16/32/48 px at 8 bpp, then the same at 32 bpp. Same bytes on every run,
# standard library only.
# Usage: /usr/bin/python3 tools/make_icon.py [OUTPUT.ico]

import math
import os
import struct
import sys

SIZES = (16, 32, 48)
SS = 8                      # samples per pixel side (8x8 = 64 per pixel)
NEUTRAL = (192, 192, 192)   # 8-bpp edge pixels blend toward this, not black

# ---------------------------------------------------------------------------
# Signed distance functions (negative inside), in pixel units, y down.


def sd_circle(cx, cy, r):
    def f(x, y):
        return math.hypot(x - cx, y - cy) - r
    return f


def sd_rbox(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def f(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        out = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return out + min(max(qx, qy), 0.0) - r
    return f


def inset(pts, r):
    """Moves every edge of a convex polygon inward by r."""
    n = len(pts)
    area = sum(pts[i][0] * pts[(i + 1) % n][1] - pts[(i + 1) % n][0] * pts[i][1]
               for i in range(n))
    sign = 1.0 if area > 0 else -1.0
    lines = []
    for i in range(n):
        (ax, ay), (bx, by) = pts[i], pts[(i + 1) % n]
        ln = math.hypot(bx - ax, by - ay)
        nx, ny = -(by - ay) / ln * sign, (bx - ax) / ln * sign
        lines.append((ax + nx * r, ay + ny * r, bx - ax, by - ay))
    out = []
    for i in range(n):
        px, py, dx, dy = lines[i - 1]
        qx, qy, ex, ey = lines[i]
        t = ((qx - px) * ey - (qy - py) * ex) / (dx * ey - dy * ex)
        out.append((px + dx * t, py + dy * t))
    return out


def sd_polygon(pts, r=0.0):
    """Exact distance to a simple polygon; r > 0 rounds its corners (convex
    only) while keeping the outer edges where the points put them."""
    if r > 0:
        pts = inset(pts, r)
    n = len(pts)

    def f(x, y):
        d = float("inf")
        inside = False
        j = n - 1
        for i in range(n):
            ax, ay = pts[j]
            bx, by = pts[i]
            ex, ey = ax - bx, ay - by
            wx, wy = x - bx, y - by
            t = (wx * ex + wy * ey) / (ex * ex + ey * ey)
            t = min(max(t, 0.0), 1.0)
            d = min(d, math.hypot(wx - ex * t, wy - ey * t))
            if (by > y) != (ay > y) and x < bx + (y - by) * ex / ey:
                inside = not inside
            j = i
        return (-d if inside else d) - r
    return f


def sd_intersect(a, b):
    def f(x, y):
        return max(a(x, y), b(x, y))
    return f


def sd_offset(a, dx, dy):
    def f(x, y):
        return a(x - dx, y - dy)
    return f


def sd_union(*fs):
    def f(x, y):
        return min(g(x, y) for g in fs)
    return f


def sd_subtract(a, b):
    def f(x, y):
        return max(a(x, y), -b(x, y))
    return f


# ---------------------------------------------------------------------------
# Colours


def hexrgb(s):
    return (int(s[0:2], 16), int(s[2:4], 16), int(s[4:6], 16))


def lerp(c0, c1, t):
    t = min(max(t, 0.0), 1.0)
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


AMBER_LINE = hexrgb("8a5208")
AMBER_BACK = (hexrgb("e8a22c"), hexrgb("c98314"))
AMBER_FRONT = (hexrgb("ffdb6e"), hexrgb("f2ae2e"))
AMBER_SHADOW = hexrgb("d9922a")
PAPER = hexrgb("fbfbf6")
PAPER_LINE = hexrgb("a8a8a0")
STEEL_LINE = hexrgb("1e2c3c")
STEEL = (hexrgb("e6eef6"), hexrgb("8fa6bd"), hexrgb("587290"))


def vgrad(line, c0, c1, y0, y1, stroke):
    """Fill with a top-to-bottom gradient inside a stroke of `line`."""
    def col(x, y, d):
        if d > -stroke:
            return line
        return lerp(c0, c1, (y - y0) / (y1 - y0))
    return col


def flat(line, fill, stroke):
    def col(x, y, d):
        return line if d > -stroke else fill
    return col


def steel(line, ox, oy, nx, ny, half, stroke):
    """Brushed-steel look: light on the upper-left side, dark on the other."""
    def col(x, y, d):
        if d > -stroke:
            return line
        v = ((x - ox) * nx + (y - oy) * ny) / half   # -1 .. 1 across the bar
        if v < 0.0:
            return lerp(STEEL[0], STEEL[1], v + 1.0)
        return lerp(STEEL[1], STEEL[2], v)
    return col


# ---------------------------------------------------------------------------
# The artwork. Each size gets its own geometry so edges land on the pixel
# grid. At 16 px there is no paper or bolt hole, and the wrench is stamped on
# whole pixels with its jaw opening straight up: antialiased, it turned to mush.


def wrench(tail, head, half, head_r, jaw_w, jaw_depth, hole_r, stroke,
           jaw_dir=None, shade=None):
    """Open-end wrench from tail to head; the jaw opens away from the tail,
    or along jaw_dir (a pixel-grid direction keeps a tiny jaw crisp)."""
    tx, ty = tail
    hx, hy = head
    length = math.hypot(hx - tx, hy - ty)
    ux, uy = (hx - tx) / length, (hy - ty) / length
    nx, ny = -uy, ux
    if nx + ny < 0:                        # shade side faces down-right
        nx, ny = -nx, -ny
    # Jaw slot: a bar starting jaw_depth short of the head's rim.
    jx, jy = jaw_dir if jaw_dir else (ux, uy)
    jl = math.hypot(jx, jy)
    jx, jy = jx / jl, jy / jl
    sx0, sy0 = hx + jx * (head_r - jaw_depth), hy + jy * (head_r - jaw_depth)
    far = head_r * 3.0
    a = (sx0 - jy * jaw_w / 2, sy0 + jx * jaw_w / 2)
    b = (sx0 + jy * jaw_w / 2, sy0 - jx * jaw_w / 2)
    c = (b[0] + jx * far, b[1] + jy * far)
    d = (a[0] + jx * far, a[1] + jy * far)
    slot = sd_polygon([a, b, c, d])
    # Round the jaw's inner end so it reads as a jaw, not a notch.
    slot = sd_union(slot, sd_circle(sx0, sy0, jaw_w / 2))

    def handle(x, y):
        t = ((x - tx) * ux + (y - ty) * uy) / length
        t = min(max(t, 0.0), 1.0)
        return math.hypot(x - tx - ux * length * t, y - ty - uy * length * t) - half

    shape = sd_subtract(sd_union(handle, sd_circle(hx, hy, head_r)), slot)
    if hole_r > 0:
        shape = sd_subtract(shape, sd_circle(tx, ty, hole_r))
    jaw = sd_intersect(slot, sd_circle(hx, hy, head_r))
    col = steel(STEEL_LINE, tx, ty, nx, ny, shade or half, stroke)
    return shape, col, jaw


def shadow(shape, front, dx, dy, stroke, colour):
    """The wrench's shadow, kept inside the folder front's outline."""
    return (sd_intersect(sd_offset(shape, dx, dy),
                         lambda x, y: front(x, y) + stroke),
            lambda x, y, d: colour)


def scene(size):
    """Returns (layers bottom to top as (sdf, colour(x, y, d)), and a wrench
    to stamp on whole pixels afterwards or None)."""
    if size == 16:
        st = 1.0
        back = sd_union(sd_rbox(0, 3, 16, 15, 1.0),
                        sd_rbox(0, 1, 7, 5, 1.0))
        front = sd_rbox(0, 6, 16, 15, 1.0)
        w = wrench((3.5, 12.5), (11.0, 5.5), half=1.0, head_r=3.5, jaw_w=2.0,
                   jaw_depth=2.0, hole_r=0, stroke=0, jaw_dir=(0, -1), shade=3.0)
        return [
            (back, vgrad(AMBER_LINE, *AMBER_BACK, 1, 15, st)),
            (front, vgrad(AMBER_LINE, *AMBER_FRONT, 6, 15, st)),
        ], w
    if size == 32:
        st = 1.0
        back = sd_union(sd_rbox(1, 6, 31, 29, 2.0),
                        sd_polygon([(1, 3), (11, 3), (14, 6), (14, 9), (1, 9)], 1.5))
        paper = sd_rbox(4, 8, 28, 16, 1.0)
        front = sd_rbox(1, 11, 31, 29, 2.0)
        w = wrench((7.5, 24.5), (22.5, 9.5), half=2.7, head_r=6.0, jaw_w=3.6,
                   jaw_depth=2.8, hole_r=1.25, stroke=1.15)
        return [
            (back, vgrad(AMBER_LINE, *AMBER_BACK, 3, 29, st)),
            (paper, flat(PAPER_LINE, PAPER, st)),
            (front, vgrad(AMBER_LINE, *AMBER_FRONT, 11, 29, st)),
            shadow(w[0], front, 1.0, 1.0, st, AMBER_SHADOW),
            w[:2],
        ], None
    st = 1.25
    back = sd_union(sd_rbox(2, 9, 46, 43, 3.0),
                    sd_polygon([(2, 5), (17, 5), (21, 9), (21, 13), (2, 13)], 2.0))
    paper = sd_rbox(6, 12, 42, 24, 1.5)
    front = sd_rbox(2, 17, 46, 43, 3.0)
    w = wrench((11.0, 37.0), (34.0, 14.0), half=3.9, head_r=9.0, jaw_w=5.4,
               jaw_depth=4.2, hole_r=1.6, stroke=1.25)
    return [
        (back, vgrad(AMBER_LINE, *AMBER_BACK, 5, 43, st)),
        (paper, flat(PAPER_LINE, PAPER, st)),
        (front, vgrad(AMBER_LINE, *AMBER_FRONT, 17, 43, st)),
        shadow(w[0], front, 1.5, 2.0, st, AMBER_SHADOW),
        w[:2],
    ], None


def render(size):
    """Supersampled render: rows of (r, g, b, a) bytes, straight alpha."""
    layers, crisp = scene(size)
    layers = layers[::-1]               # topmost first: first hit wins
    offs = [(i + 0.5) / SS for i in range(SS)]
    n = SS * SS
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for oy in offs:
                y = py + oy
                for ox in offs:
                    x = px + ox
                    for sdf, col in layers:
                        d = sdf(x, y)
                        if d <= 0.0:
                            c = col(x, y, d)
                            acc[0] += c[0]
                            acc[1] += c[1]
                            acc[2] += c[2]
                            hits += 1
                            break
            a = int(255 * hits / n + 0.5)
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(v / hits + 0.5) for v in acc) + (a,))
        rows.append(row)
    if crisp:
        stamp(rows, size, crisp, offs)
    return rows


def stamp(rows, size, crisp, offs):
    """Draws a shape on whole pixels with a one-pixel outline around it, so
    it stays sharp at 16 px. The jaw's gap keeps what lies underneath."""
    shape, col, gap = crisp
    half = len(offs) * len(offs) / 2.0
    inside = [[sum(shape(px + ox, py + oy) <= 0.0 for oy in offs for ox in offs)
               >= half for px in range(size)] for py in range(size)]
    for py in range(size):
        for px in range(size):
            x, y = px + 0.5, py + 0.5
            if inside[py][px]:
                fill = col(x, y, -1e9)              # far from any stroke
                rows[py][px] = tuple(int(v + 0.5) for v in fill) + (255,)
                continue
            near = any(0 <= px + dx < size and 0 <= py + dy < size
                       and inside[py + dy][px + dx]
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if near and gap(x, y) > 0.0:
                rows[py][px] = STEEL_LINE + (255,)


# ---------------------------------------------------------------------------
# 8-bpp palette: index 0 is black for the masked-out pixels, the rest comes
# from a median cut over the opaque pixels (exact when few colours are used).


def median_cut(counts, limit):
    """counts: {rgb: n}. Returns up to `limit` colours, deterministically."""
    if len(counts) <= limit:
        return sorted(counts)
    boxes = [sorted(counts.items())]

    def spread(box):
        best = (-1, 0)
        for ch in range(3):
            vals = [c[ch] for c, _ in box]
            best = max(best, (max(vals) - min(vals), -ch))
        return best

    while len(boxes) < limit:
        pick, key = None, None
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            k = (spread(box)[0] * sum(n for _, n in box), -i)
            if key is None or k > key:
                pick, key = i, k
        if pick is None:
            break
        box = boxes.pop(pick)
        ch = -spread(box)[1]
        box.sort(key=lambda e: (e[0][ch], e[0]))
        total = sum(n for _, n in box)
        run, cut = 0, 1
        for j, (_, n) in enumerate(box[:-1]):
            run += n
            cut = j + 1
            if run * 2 >= total:
                break
        boxes[pick:pick] = [box[:cut], box[cut:]]
    pal = []
    for box in boxes:
        total = sum(n for _, n in box)
        pal.append(tuple(int(sum(c[k] * n for c, n in box) / total + 0.5)
                         for k in range(3)))
    return sorted(set(pal))


def quantise(rgba_rows):
    """Returns (palette of 256 rgb, index rows, opaque rows)."""
    opaque = [[p[3] >= 128 for p in row] for row in rgba_rows]
    flat = []
    for row, orow in zip(rgba_rows, opaque):
        out = []
        for (r, g, b, a), o in zip(row, orow):
            if o:
                t = a / 255.0
                out.append(tuple(int(c * t + nc * (1 - t) + 0.5)
                                 for c, nc in zip((r, g, b), NEUTRAL)))
            else:
                out.append(None)
        flat.append(out)
    counts = {}
    for row in flat:
        for c in row:
            if c is not None:
                counts[c] = counts.get(c, 0) + 1
    colours = [(0, 0, 0)] + median_cut(counts, 255)
    lookup = {}
    for c in sorted(counts):
        best, bi = None, 0
        for i, p in enumerate(colours):
            dist = (c[0] - p[0]) ** 2 + (c[1] - p[1]) ** 2 + (c[2] - p[2]) ** 2
            if best is None or dist < best:
                best, bi = dist, i
        lookup[c] = bi
    index_rows = [[0 if c is None else lookup[c] for c in row] for row in flat]
    colours += [(0, 0, 0)] * (256 - len(colours))
    return colours, index_rows, opaque


# ---------------------------------------------------------------------------
# ICO / DIB writing.


def and_mask(transparent_rows, size):
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for row in reversed(transparent_rows):          # DIBs are bottom-up
        line = bytearray(stride)
        for x, t in enumerate(row):
            if t:
                line[x >> 3] |= 0x80 >> (x & 7)
        out += line
    return bytes(out)


def dib_header(size, bpp, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                       image_bytes, 0, 0, 0, 0)


def image_8bpp(rgba_rows, size):
    pal, idx, opaque = quantise(rgba_rows)
    stride = (size + 3) // 4 * 4
    xor = bytearray()
    for row in reversed(idx):
        xor += bytes(row) + bytes(stride - size)
    mask = and_mask([[not o for o in row] for row in opaque], size)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
    return dib_header(size, 8, len(xor) + len(mask)) + palette + bytes(xor) + mask


def image_32bpp(rgba_rows, size):
    xor = bytearray()
    for row in reversed(rgba_rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = and_mask([[p[3] == 0 for p in row] for row in rgba_rows], size)
    return dib_header(size, 32, len(xor) + len(mask)) + bytes(xor) + mask


def build_ico():
    art = {s: render(s) for s in SIZES}
    images = [(s, 8, image_8bpp(art[s], s)) for s in SIZES]
    images += [(s, 32, image_32bpp(art[s], s)) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, bpp, data in images:
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) > 2:
        sys.stderr.write("usage: make_icon.py [OUTPUT.ico]\n")
        return 2
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = argv[1] if len(argv) == 2 else os.path.join(root, "res", "app.ico")
    data = build_ico()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (path, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
