#!/usr/bin/env python3
"""Draws the program icon (app.ico): a teal rounded tile with two white arrows
chasing each other round a circle, the sign for "sync". Run it again after
changing the drawing; the .ico it writes is committed beside it."""
import math
import os
import struct

TEAL = (0x1f, 0x8a, 0x8a)
DARK = (0x15, 0x5f, 0x60)
WHITE = (0xff, 0xff, 0xff)


def pixel(size, x, y):
    """RGBA of one pixel, supersampled 4x4 for smooth edges."""
    acc = [0.0, 0.0, 0.0, 0.0]
    n = 4
    for sy in range(n):
        for sx in range(n):
            px = (x + (sx + 0.5) / n) / size
            py = (y + (sy + 0.5) / n) / size
            r, g, b, a = sample(px, py)
            acc[0] += r * a
            acc[1] += g * a
            acc[2] += b * a
            acc[3] += a
    a = acc[3] / (n * n)
    if acc[3] == 0:
        return 0, 0, 0, 0
    return (int(acc[0] / acc[3]), int(acc[1] / acc[3]), int(acc[2] / acc[3]), int(a * 255))


def in_rounded_tile(px, py, margin=0.04, radius=0.2):
    lo, hi = margin, 1 - margin
    cx = min(max(px, lo + radius), hi - radius)
    cy = min(max(py, lo + radius), hi - radius)
    return (px - cx) ** 2 + (py - cy) ** 2 <= radius ** 2 and lo <= px <= hi and lo <= py <= hi


def in_arrows(px, py):
    dx, dy = px - 0.5, py - 0.5
    r = math.hypot(dx, dy)
    angle = math.degrees(math.atan2(dy, dx)) % 360
    # Two arcs, each ending in an arrow head.
    for start in (20, 200):
        end = start + 130
        if 0.22 <= r <= 0.32 and start <= angle <= end:
            return True
        head = math.radians(end + 8)
        hx, hy = 0.5 + 0.27 * math.cos(head), 0.5 + 0.27 * math.sin(head)
        back = math.radians(end - 14)
        # Triangle: tip at `head`, base across the ring at `back`.
        bx1, by1 = 0.5 + 0.16 * math.cos(back), 0.5 + 0.16 * math.sin(back)
        bx2, by2 = 0.5 + 0.38 * math.cos(back), 0.5 + 0.38 * math.sin(back)
        if in_triangle(px, py, (hx, hy), (bx1, by1), (bx2, by2)):
            return True
    return False


def in_triangle(px, py, a, b, c):
    def side(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])
    p = (px, py)
    d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def sample(px, py):
    if not in_rounded_tile(px, py):
        return 0, 0, 0, 0.0
    if in_arrows(px, py):
        return WHITE + (1.0,)
    shade = TEAL if py < 0.55 else DARK
    return shade + (1.0,)


def bitmap(size):
    rows = []
    for y in reversed(range(size)):  # bottom-up
        row = b""
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            row += bytes((b, g, r, a))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    andmask = b"\x00" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def main():
    sizes = [16, 24, 32, 48]
    images = [bitmap(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
