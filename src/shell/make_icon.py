#!/usr/bin/env python3
"""Draws the player's icon: a rounded tile with a play triangle and a film
strip edge, at 16, 32 and 48 px, each as 8-bit and 32-bit images (plain DIBs, no PNG,
as the older systems read them)."""
import struct
import sys


def shade(x, y, size):
    """RGBA of the pixel at (x, y), sampled 4x4 for smooth edges."""
    acc = [0.0, 0.0, 0.0, 0.0]
    n = 4
    for sy in range(n):
        for sx in range(n):
            u = (x + (sx + 0.5) / n) / size
            v = (y + (sy + 0.5) / n) / size
            c = sample(u, v)
            if c:
                for i in range(4):
                    acc[i] += c[i]
    return tuple(int(round(a / (n * n))) for a in acc)


def sample(u, v):
    # rounded square tile
    r = 0.18
    cx = min(max(u, r + 0.02), 0.98 - r)
    cy = min(max(v, r + 0.02), 0.98 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r or not (0.02 <= u <= 0.98 and 0.02 <= v <= 0.98):
        return None
    # film strip holes along the top and bottom edges
    if (v < 0.16 or v > 0.84) and 0.08 < u < 0.92 and int(u * 8) % 2 == 0:
        return (250, 246, 235, 255)
    # play triangle
    if 0.36 <= u <= 0.72:
        half = (0.72 - u) * 0.62
        if abs(v - 0.5) <= half:
            return (255, 255, 255, 255)
    # teal to indigo gradient
    t = (u + v) / 2
    return (int(20 + 60 * t), int(170 - 110 * t), int(170 + 40 * t), 255)


def pixels(size):
    return [[shade(x, y, size) for x in range(size)] for y in range(size)]


def and_mask(px, size):
    row_bytes = ((size + 31) // 32) * 4
    out = b""
    for y in reversed(range(size)):
        bits = bytearray(row_bytes)
        for x in range(size):
            if px[y][x][3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def image32(size):
    px = pixels(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = b""
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = px[y][x]
            data += bytes((b, g, r, a))
    return header + data + and_mask(px, size)


def image8(size):
    px = pixels(size)
    palette = []
    index = {}
    rows = []
    for y in reversed(range(size)):
        row = bytearray()
        for x in range(size):
            r, g, b, a = px[y][x]
            key = (0, 0, 0) if a < 128 else (r & 0xF0, g & 0xF0, b & 0xF0)
            if key not in index:
                if len(palette) < 256:
                    index[key] = len(palette)
                    palette.append(key)
                else:
                    key = min(palette, key=lambda p: sum((p[i] - key[i]) ** 2 for i in range(3)))
            row += bytes((index[key],))
        row += bytes((-len(row)) % 4)
        rows.append(bytes(row))
    # Only the colours used: biClrUsed tells every DIB reader how long the
    # table is, and unused entries would cost the stub 4 bytes each.
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, len(palette), 0)
    return header + pal + b"".join(rows) + and_mask(px, size)


def main(path):
    images = []
    for size in (16, 32, 48):
        images.append((size, 8, image8(size)))
        images.append((size, 32, image32(size)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        colors = 0
        out += struct.pack("<BBBBHHII", size, size, colors, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
