#!/usr/bin/env python3
"""Flashpoint curations into players: curations written here as the
curation format's public documentation lays them out (meta.yaml, or the
older meta.txt of "Key: value" lines, and content/HOST/PATH), as a folder
and as a ZIP, around a movie nobody here wrote (mediaelement's
flashmediaelement.swf from npm).

    curation_test.py --pack PACK --npm NPM_DIR [--preview] [unittest arguments]
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import tomllib
import unittest
import zipfile

ARGS = None
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def pack(*args, cwd=None):
    return subprocess.run(shlex.split(ARGS.pack) + list(args), capture_output=True, text=True, cwd=cwd,
                          stdin=subprocess.DEVNULL, timeout=300)


class Curations(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="curation-test-")
        with open(os.path.join(ARGS.npm, "node_modules/mediaelement/build/flashmediaelement.swf"), "rb") as f:
            self.swf = f.read()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, meta_name, meta, form):
        """A curation NAME (a folder, or a ZIP with the folder at its top
        or inside it); returns its path and the files it serves by URL."""
        files = {"content/www.games.test/g/game.swf": self.swf,
                 "content/www.games.test/g/level.txt": b"www level\n",
                 "content/cdn.games.test/g/level.txt": b"cdn level\n",
                 "content/www.games.test/g/a b.xml": b"<a/>"}
        files[meta_name] = meta.encode()
        if form == "folder":
            path = os.path.join(self.dir, name)
            for rel, data in files.items():
                os.makedirs(os.path.dirname(os.path.join(path, rel)), exist_ok=True)
                with open(os.path.join(path, rel), "wb") as f:
                    f.write(data)
        else:
            path = os.path.join(self.dir, name + ".zip")
            top = "" if form == "zip" else "3f6e9c1e-curation/"
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
                for rel, data in files.items():
                    z.writestr(top + rel, data)
        served = {"http://" + rel[len("content/"):].replace(" ", "%20"): data
                  for rel, data in files.items() if rel.startswith("content/")}
        return path, served

    def test_curations_become_players(self):
        yaml_meta = ("Title: \"Level Up: Deluxe?\"\nAlternate Titles: Level Up 2\nLibrary: arcade\n"
                     "Platform: Flash\nApplication Path: FPSoftware\\Flash\\flashplayer_32_sa.exe\n"
                     "Launch Command: {launch}\nTags:\n  - Action\n  - Puzzle\n"
                     "Additional Applications:\n  Message:\n    Heading: Message\n")
        txt_meta = ("Title: Old Style\nSeries: \nDeveloper: someone\nGenre: Puzzle\nSource: example\n"
                    "Status: Playable\nExtreme: No\nLaunch Command: {launch}\nNotes: \n")
        cases = [  # form, meta file, meta, launch command
            ("folder", "meta.yaml", yaml_meta, "http://www.games.test/g/game.swf?level=2&lang=en"),
            ("zip", "meta.yaml", yaml_meta, "http://www.games.test/g/game.swf"),
            ("zip-in-folder", "meta.txt", txt_meta, "http://www.games.test/g/game.swf?x=1"),
            ("folder", "meta.txt", txt_meta, "https://www.games.test/g/game.swf"),
        ]
        for n, (form, meta_name, meta, launch) in enumerate(cases):
            with self.subTest(form=form, meta=meta_name, launch=launch):
                path, served = self.write("c%d" % n, meta_name, meta.format(launch=launch), form)
                out, manifest = os.path.join(self.dir, "c%d.exe" % n), os.path.join(self.dir, "m%d" % n)
                r = pack("import", path, "-o", out, "--manifest", manifest, "--json")
                self.assertEqual(r.returncode, 0, r.stderr)
                summary = json.loads(r.stdout)
                self.assertEqual(summary["start"], launch)
                self.assertEqual(summary["start_reason"], "the curation's launch command")
                with open(os.path.join(manifest, "manifest.toml"), "rb") as f:
                    entries = tomllib.load(f)["entry"]
                got = {}
                for e in entries:
                    with open(os.path.join(manifest, e["file"]), "rb") as f:
                        data = f.read()
                    for url in (e["url"], e.get("alternate_url")):
                        if url:
                            got[url] = data
                # The movie at the launch command's own URL (its query reaches
                # it) and at its plain one; every other file at http://HOST/PATH.
                want = dict(served, **{launch: self.swf})
                self.assertEqual(got, want)
                self.assertEqual(entries[0]["url"], launch)
                r = pack("explain", out, "http://cdn.games.test/g/level.txt", "--json")
                self.assertEqual(json.loads(r.stdout)["url"], "http://cdn.games.test/g/level.txt")

    def test_what_a_player_cannot_play_is_refused(self):
        cases = [  # meta.yaml lines, the message
            ("Platform: HTML5\nApplication Path: FPSoftware\\Basilisk-Portable\\Basilisk-Portable.exe\n"
             "Launch Command: http://www.games.test/g/index.html\n", 'Platform is "HTML5"'),
            ("Platform: Flash\nApplication Path: FPSoftware\\Shockwave\\PJ101\\SPR.exe\n"
             "Launch Command: http://www.games.test/g/game.swf\n", "is not a Flash projector"),
            ("Launch Command: game.swf\n", "is not an http or https URL"),
            ("Title: [unclosed\n", "not YAML"),
        ]
        for n, (meta, message) in enumerate(cases):
            with self.subTest(message=message):
                path, _ = self.write("r%d" % n, "meta.yaml", "Title: T\n" + meta if "Title" not in meta else meta,
                                     "folder")
                out = os.path.join(self.dir, "r%d.exe" % n)
                r = pack("import", path, "-o", out)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertIn(message, r.stderr)
                self.assertIn("meta.yaml", r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_a_dropped_curation_is_named_after_its_title(self):
        meta = "Title: \"Level Up: Deluxe?\"\nLaunch Command: http://www.games.test/g/game.swf\n"
        for form in ("folder", "zip"):
            with self.subTest(form=form):
                path, _ = self.write(form, "meta.yaml", meta, form)
                for name in ("Level Up Deluxe.exe", "Level Up Deluxe (2).exe"):
                    r = pack(path, cwd=self.dir)
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    self.assertTrue(os.path.isfile(os.path.join(self.dir, name)), os.listdir(self.dir))
                for name in ("Level Up Deluxe.exe", "Level Up Deluxe (2).exe"):
                    os.remove(os.path.join(self.dir, name))

    def test_the_readme_lists_the_formats_help_lists(self):
        r = pack("import", "--help")
        lines = re.findall(r"^  - (.*(?:\n    .*)*)", r.stdout, re.M)
        self.assertGreaterEqual(len(lines), 6, r.stdout)
        with open(README, encoding="utf-8") as f:
            readme = " ".join(f.read().split())
        for line in lines:
            self.assertTrue("- " + " ".join(line.split()) in readme, "README does not list: " + line)

    @unittest.skipUnless(shutil.which("chromium"), "no chromium")
    def test_a_curation_plays_in_preview(self):
        if not ARGS.preview:
            self.skipTest("--preview not given")
        launch = "http://www.games.test/g/game.swf?level=2"
        path, _ = self.write("p", "meta.yaml", "Title: P\nLaunch Command: %s\n" % launch, "zip")
        out = os.path.join(self.dir, "p.exe")
        self.assertEqual(pack("import", path, "-o", out).returncode, 0)
        r = pack("preview", out, "--seconds", "4", "--json", "--strict")
        self.assertEqual(r.returncode, 0, r.stderr)
        first = json.loads(r.stdout)["requests"][0]
        self.assertEqual((first["url"], first["entry"], first["bytes"]), (launch, 0, len(self.swf)))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--npm", required=True)
    parser.add_argument("--preview", action="store_true")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
