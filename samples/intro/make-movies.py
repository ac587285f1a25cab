#!/usr/bin/env python3
"""Writes the sample's second movie, gallery.swf: a small valid SWF file (a
640x480 stage, one frame, a background colour). The first movie, intro.swf,
is compiled from movies/intro at build time."""
import struct


def swf(version):
    nbits = 15
    bits = format(nbits, "05b") + "".join(format(v, "015b") for v in (0, 640 * 20, 0, 480 * 20))
    bits += "0" * (-len(bits) % 8)
    rect = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    tags = struct.pack("<H", (9 << 6) | 3) + bytes((0x20, 0x60, 0xA0))  # SetBackgroundColor
    tags += struct.pack("<H", 1 << 6) + struct.pack("<H", 0)  # ShowFrame, End
    body = rect + struct.pack("<HH", 24 << 8, 1) + tags
    return b"FWS" + bytes((version,)) + struct.pack("<I", 8 + len(body)) + body


if __name__ == "__main__":
    with open("gallery.swf", "wb") as f:
        f.write(swf(8))
