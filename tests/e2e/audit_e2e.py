#!/usr/bin/env python3
"""End-to-end test of finding missing files: a movie names five files, the
package holds three; `pack audit` lists the other two before the player
runs, and the player's debug output names the same two when the stand-in
control asks for them. The stand-in paints the movie's background colour.

    audit_e2e.py --stub STUB.exe --tools BUILD/tests --pack "PACK COMMAND" --prefix DIR
"""
import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest

import suite

from player_e2e import read_png

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None
SITE = "http://e2e.test/site/"
BACKGROUND = (0x80, 0x30, 0x10)


def movie(pool, pushes, script):
    """FWS 9, 640x480 at 24 fps: a background, one DoAction (a constant pool
    pushed by index, then plain string pushes) and the stand-in's script."""
    bits = "01111" + "".join(format(v, "015b") for v in (0, 640 * 20, 0, 480 * 20)) + "0000000"
    rect = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    values = b"".join(b"\x08" + bytes([i]) for i in range(len(pool)))
    values += b"".join(b"\x00" + s.encode() + b"\x00" for s in pushes)
    pool_data = struct.pack("<H", len(pool)) + b"".join(s.encode() + b"\x00" for s in pool)
    actions = (b"\x88" + struct.pack("<H", len(pool_data)) + pool_data +
               b"\x96" + struct.pack("<H", len(values)) + values + b"\x00")
    tags = struct.pack("<H", (9 << 6) | 3) + bytes(BACKGROUND)
    tags += struct.pack("<HI", (12 << 6) | 0x3F, len(actions)) + actions
    tags += struct.pack("<H", 1 << 6) + struct.pack("<H", 0)
    body = rect + struct.pack("<HH", 24 << 8, 1) + tags + b"\n#!standin\n" + script.encode()
    return b"FWS\x09" + struct.pack("<I", 8 + len(body)) + body


class MissingFiles(unittest.TestCase):
    def test_audit_and_player_name_the_same_missing_files(self):
        named = ["data/one.xml", "img/two.png", "lvl/three.swf", SITE + "four.json", "snd/fünf.mp3"]
        present = {"data/one.xml", "lvl/three.swf", SITE + "four.json"}
        absolute = [n if n.startswith("http") else SITE + n for n in named]
        missing = sorted(a for n, a in zip(named, absolute) if n not in present)
        # A scheme the player refuses is reported too; the movie never names it.
        refused = "ftp://e2e.test/site/refused.bin"
        script = "".join(f"load {a}\n" for a in absolute + [refused]) + "wait\n"
        with tempfile.TemporaryDirectory() as tmp:
            files = {"movie.swf": movie(named[:2], named[2:], script),
                     "one.xml": b"<one/>", "three.swf": b"FWS\x08" + bytes(20), "four.json": b"{}"}
            for name, data in files.items():
                with open(os.path.join(tmp, name), "wb") as f:
                    f.write(data)
            entries = [("main.swf", "movie.swf"), ("data/one.xml", "one.xml"),
                       ("lvl/three.swf", "three.swf"), ("four.json", "four.json")]
            manifest = 'mode = "page"\n' + "".join(
                f'[[entry]]\nurl = "{SITE}{u}"\nfile = "{f}"\n' for u, f in entries)
            toml = os.path.join(tmp, "m.toml")
            with open(toml, "w") as f:
                f.write(manifest)
            exe = os.path.join(tmp, "audit.exe")
            pack = shlex.split(ARGS.pack)
            subprocess.run(pack + ["build", "--stub", ARGS.stub, "-o", exe, toml], check=True,
                           stdout=subprocess.DEVNULL)

            for source in (toml, exe):
                with self.subTest(audit=os.path.basename(source)):
                    audit = subprocess.run(pack + ["audit", source, "--json", "--strict"],
                                           stdout=subprocess.PIPE, text=True)
                    self.assertEqual(audit.returncode, 1)
                    report = json.loads(audit.stdout)
                    requests = report["sources"][0]["requests"]
                    self.assertEqual(len(requests), 5)
                    unanswered = sorted(q["request"] for q in requests if q["index"] < 0)
                    self.assertEqual(unanswered, missing)

            png = os.path.join(tmp, "stage.png")
            result = subprocess.run(
                [os.path.join(HERE, "run-player"), exe, "--tools", ARGS.tools, "--prefix",
                 ARGS.prefix, "--timeout", "60", "--until", '"call":"ScriptEnd"',
                 "--capture", png, "--close"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stderr)
            debug = sorted(line[len("debug: "):] for line in result.stdout.splitlines()
                           if line.startswith("debug: "))
            self.assertEqual(debug, [f"Tessivo: not in the package: {m}" for m in [refused] + missing])
            width, height, pixel = read_png(png)
            self.assertEqual(pixel(width - 1, height - 1), BACKGROUND)


if __name__ == "__main__":
    suite.run(sys.modules[__name__])
