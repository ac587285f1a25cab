#!/usr/bin/env python3
"""pack audit on an AVM2 movie that Debian's haxe compiles at test time: the
texts it finds in a real compiler's string pool (zlib-compressed, with the
namespace pool after it), and the same answers for the manifest and for the
player built from it.

    audit_haxe_test.py --pack PACK [unittest arguments]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import unittest

ARGS = None

MAIN = """
import flash.display.Loader;
import flash.net.URLLoader;
import flash.net.URLRequest;

class Main {
  static function main() {
    new URLLoader(new URLRequest("data/level.xml"));
    new Loader().load(new URLRequest("gfx/intro.swf"));
  }
}
"""

MANIFEST = """mode = "page-post"
[[entry]]
url = "http://h.test/game/main.swf"
file = "main.swf"
[[entry]]
url = "http://h.test/game/gfx/intro.swf"
file = "intro.swf"
"""


class AuditHaxe(unittest.TestCase):
    def test_finds_the_movies_requests_and_no_namespace(self):
        with tempfile.TemporaryDirectory() as tmp:
            def write(name, data):
                with open(os.path.join(tmp, name), "w" if isinstance(data, str) else "wb") as f:
                    f.write(data)
            write("Main.hx", MAIN)
            write("intro.swf", b"FWS\x08" + bytes(20))
            write("manifest.toml", MANIFEST)
            subprocess.run(["haxe", "-cp", tmp, "--main", "Main", "--swf", os.path.join(tmp, "main.swf"),
                            "--swf-version", "10"], check=True)
            manifest = os.path.join(tmp, "manifest.toml")
            exe = os.path.join(tmp, "game.exe")
            subprocess.run([ARGS.pack, "build", "-o", exe, manifest], check=True, capture_output=True)
            for source in (manifest, exe):
                with self.subTest(source=os.path.basename(source)):
                    r = subprocess.run([ARGS.pack, "audit", source, "--json"], capture_output=True, text=True)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    movie = json.loads(r.stdout)["sources"][0]
                    self.assertEqual(movie["swf"]["version"], 10)
                    self.assertEqual(movie["problems"], [])
                    # The builtin namespace's URL that every haxe movie holds is no request.
                    got = {(q["text"], q["index"], q["tag"]) for q in movie["requests"]}
                    self.assertEqual(got, {("data/level.xml", -1, "DoABC2"), ("gfx/intro.swf", 1, "DoABC2")})
                    strict = subprocess.run([ARGS.pack, "audit", source, "--strict"], capture_output=True)
                    self.assertEqual(strict.returncode, 1)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
