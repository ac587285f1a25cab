#!/usr/bin/env python3
"""pack.exe as people on Windows use it, under Wine: captures, a manifest and
a player dropped on it, every command on a long path with non-ASCII names.
The capture is the WARC that wget writes in import_test.py's fixtures.

    windows_test.py --pack "WINE-RUN PREFIX pack.exe" [unittest arguments]
"""
import hashlib
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "import"))
import import_test  # noqa: E402
from import_test import pack  # noqa: E402


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Dropped(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pack-drop-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.capture = os.path.join(self.dir, "site.warc.gz")
        shutil.copy(import_test.FIX.gz[0], self.capture)

    def assertRan(self, result):
        # The pipes make the output redirected: pack.exe must not wait for a key.
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        # Wine may add lines of its own to stderr; the packer's start with "pack".
        lines = result.stdout.split(b"\n")[:-1] + [
            line for line in result.stderr.split(b"\n")[:-1] if line.startswith(b"pack")]
        self.assertEqual([line for line in lines if not line.endswith(b"\r")], [], "one line ending")

    def test_captures_go_to_a_free_name_beside_the_first(self):
        before = digest(self.capture)
        for name in ("site.exe", "site (2).exe"):
            result = pack(self.capture)
            self.assertRan(result)
            self.assertTrue(os.path.isfile(os.path.join(self.dir, name)), name)
        self.assertEqual(sorted(os.listdir(self.dir)), ["site (2).exe", "site.exe", "site.warc.gz"])
        self.assertEqual(digest(self.capture), before)
        self.assertEqual(digest(os.path.join(self.dir, "site.exe")),
                         digest(os.path.join(self.dir, "site (2).exe")))

    def test_a_manifest_builds_and_a_player_is_listed_and_audited(self):
        manifest = os.path.join(self.dir, "game", "manifest.toml")
        self.assertRan(pack("import", self.capture, "--manifest", os.path.dirname(manifest)))
        self.assertRan(pack(manifest))
        player = os.path.join(self.dir, "game", "game.exe")
        result = pack(player)
        self.assertRan(result)
        out = result.stdout.decode()
        self.assertIn("entries: ", out)
        self.assertIn(import_test.FIX.site.root + "data.xml", out.split("entries: ")[1])

    def test_no_arguments_from_a_command_line(self):
        result = pack()
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"usage: pack COMMAND", result.stderr)

    def test_every_command_on_a_long_path_with_non_ascii_names(self):
        folder = os.path.join(self.dir, *["dossier-é-ü-日本-" + "x" * 40] * 5)
        os.makedirs(folder)
        self.assertGreater(len(folder), 300)
        capture = os.path.join(folder, "capté.warc.gz")
        os.rename(self.capture, capture)
        f = lambda name: os.path.join(folder, name)  # noqa: E731
        movie = import_test.FIX.site.root + "data.xml"
        commands = [
            ("import", ["import", capture, "-o", f("a.exe"), "--manifest", f("m")], "a.exe"),
            ("drop", [capture], "capté.exe"),
            ("build", ["build", "-o", f("b.exe"), f("m/manifest.toml")], "b.exe"),
            ("list", ["list", f("b.exe")], None),
            ("explain", ["explain", f("b.exe"), movie], None),
            ("audit", ["audit", f("b.exe")], None),
        ]
        for name, args, output in commands:
            with self.subTest(name):
                self.assertRan(pack(*args))
                if output:
                    self.assertTrue(os.path.isfile(f(output)), output)


def main():
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    import_test.ARGS, rest = parser.parse_known_args()
    import_test.FIX = import_test.Fixtures()
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=True)
    finally:
        import_test.FIX.cleanup()


if __name__ == "__main__":
    main()
