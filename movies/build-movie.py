#!/usr/bin/env python3
"""Compiles one Haxe movie to a CWS file whose bytes depend only on its
sources and the Haxe version: haxe names its boot class with a random
suffix, which is replaced by one taken from the movie's name (distinct per
movie, so that two of our movies never share a class name), and the body is
compressed here. A file standin.txt beside the sources goes into the movie's
Metadata tag, which runtimes do not run: the test control's script.
Each DEFINE is passed to haxe with -D.

usage: build-movie.py NAME SOURCE_DIR MAIN W:H:FPS:RRGGBB OUT.swf [HAXE [DEFINE...]]
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib


def main():
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    name, source, main_class, header, out = sys.argv[1:6]
    haxe = sys.argv[6] if len(sys.argv) > 6 else "haxe"
    defines = [a for d in sys.argv[7:] for a in ("-D", d)]
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "raw.swf")
        command = [haxe, "-cp", source, "--main", main_class, "--swf", raw,
                   "--swf-version", "10", "--swf-header", header, "--dce", "full",
                   "-D", "no-swf-compress", "-D", "no-traces"] + defines
        script = os.path.join(source, "standin.txt")
        if os.path.exists(script):
            command += ["-D", "swf-metadata=" + script]
        subprocess.run(command, check=True)
        data = open(raw, "rb").read()
    if data[:3] != b"FWS":
        sys.exit(f"{out}: haxe did not write an uncompressed SWF")
    body = data[8:]
    boots = set(re.findall(rb"boot_[0-9a-f]{4}", body))
    if len(boots) != 1:
        sys.exit(f"{out}: expected one boot class name, found {sorted(boots)}")
    fixed = b"boot_" + hashlib.sha1(name.encode()).hexdigest()[:4].encode()
    body = body.replace(boots.pop(), fixed)
    swf = b"CWS" + data[3:4] + struct.pack("<I", 8 + len(body)) + zlib.compress(body, 9)
    part = out + ".part"
    with open(part, "wb") as f:
        f.write(swf)
    os.replace(part, out)


if __name__ == "__main__":
    main()
