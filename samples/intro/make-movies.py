#!/usr/bin/env python3
"""Writes the sample's two movies: small valid SWF files (a 640x480 stage,
one frame, a background colour, the intro's action naming the files it loads)
that end with a script for the test control, which fetches through the
player what a real movie of this capture fetched."""
import struct

INTRO_SCRIPT = """
#!standin
load config.xml
load swf/gallery.swf
post score.php player=guest&level=1
load http://sample.tessivo.test/site/missing.png
wait
"""


# What the intro's action pushes: the files its script loads (the POST goes
# to a script without a query, which is no likely request on its own).
INTRO_NAMES = ["config.xml", "swf/gallery.swf", "score.php",
               "http://sample.tessivo.test/site/missing.png"]


def do_action(names):
    push = b"".join(b"\0" + n.encode() + b"\0" for n in names)
    actions = b"\x96" + struct.pack("<H", len(push)) + push + b"\0"
    return struct.pack("<H", (12 << 6) | 0x3F) + struct.pack("<I", len(actions)) + actions


def swf(version, script="", names=()):
    nbits = 15
    bits = format(nbits, "05b") + "".join(format(v, "015b") for v in (0, 640 * 20, 0, 480 * 20))
    bits += "0" * (-len(bits) % 8)
    rect = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    tags = struct.pack("<H", (9 << 6) | 3) + bytes((0x20, 0x60, 0xA0))  # SetBackgroundColor
    if names:
        tags += do_action(names)
    tags += struct.pack("<H", 1 << 6) + struct.pack("<H", 0)  # ShowFrame, End
    body = rect + struct.pack("<HH", 24 << 8, 1) + tags + script.encode()
    return b"FWS" + bytes((version,)) + struct.pack("<I", 8 + len(body)) + body


if __name__ == "__main__":
    with open("intro.swf", "wb") as f:
        f.write(swf(9, INTRO_SCRIPT, INTRO_NAMES))
    with open("gallery.swf", "wb") as f:
        f.write(swf(8))
