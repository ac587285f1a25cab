#!/usr/bin/env python3
"""pack video on FLVs that Debian's ffmpeg makes at test time: what it reads
from them, the package it writes, and damaged or foreign input, which is
refused or read with its problems noted and never crashes the packer; with
--movies, the package played in Ruffle by pack preview.

    video_test.py --pack PACK [--movies BUILD/movies] [unittest arguments]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import unittest
import zlib

ARGS = None


def read(path):
    with open(path, "rb") as f:
        return f.read()


def ffmpeg_flv(path, size, seconds, audio):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size={size}:rate=25:duration={seconds}", "-f", "lavfi", "-i",
                    f"sine=frequency=440:duration={seconds}", "-c:v", "flv1", "-c:a", audio,
                    "-ar", "22050", "-shortest", path], check=True)


class VideoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.adpcm = os.path.join(cls.dir, "adpcm.flv")
        cls.mp3 = os.path.join(cls.dir, "mp3.flv")
        ffmpeg_flv(cls.adpcm, "320x240", 2, "adpcm_swf")
        ffmpeg_flv(cls.mp3, "176x144", 1, "libmp3lame")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def pack(self, *args):
        return subprocess.run([ARGS.pack, *args], capture_output=True, text=True)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_reads_what_ffmpeg_wrote(self):
        rows = [
            # flv, options, width, height, audio codec
            (self.adpcm, [], 320, 240, "ADPCM"),
            (self.mp3, [], 176, 144, "MP3"),
            (self.adpcm, ["--size", "100x50"], 100, 50, "ADPCM"),
        ]
        for flv, options, width, height, audio in rows:
            with self.subTest(flv=flv, options=options):
                out = os.path.join(self.dir, "out.exe")
                r = self.pack("video", flv, "-o", out, "--json", *options)
                self.assertEqual(r.returncode, 0, r.stderr)
                got = json.loads(r.stdout)
                self.assertEqual((got["width"], got["height"]), (width, height))
                self.assertEqual(got["flv"]["video_codec"], "Sorenson Spark (H.263)")
                self.assertEqual(got["flv"]["audio_codec"], audio)
                self.assertEqual(got["flv"]["problems"], [])
                self.assertAlmostEqual(got["flv"]["duration"],
                                       2 if flv == self.adpcm else 1, delta=0.1)
                listed = json.loads(self.pack("list", out, "--json").stdout)
                self.assertEqual((listed["mode_name"], listed["width"], listed["height"]),
                                 ("video", width, height))
                r = self.pack("video", flv, "-o", out)
                self.assertIn("video Sorenson Spark (H.263), audio " + audio, r.stdout)

    def test_import_of_a_capture_that_starts_with_an_flv(self):
        # Mirrored folders (HOST/PATH): the only video of a capture without
        # a movie, and a video named by --start beside a movie.
        site = os.path.join(self.dir, "mirror", "media.example")
        os.makedirs(os.path.join(site, "v"), exist_ok=True)
        with open(os.path.join(site, "v", "clip.flv"), "wb") as f:
            f.write(read(self.mp3))
        with open(os.path.join(site, "index.html"), "w") as f:
            f.write("<p>a page without a movie</p>")
        alone = os.path.join(self.dir, "alone")
        os.makedirs(os.path.join(alone, "media.example"), exist_ok=True)
        with open(os.path.join(alone, "media.example", "clip.flv"), "wb") as f:
            f.write(read(self.adpcm))
        with open(os.path.join(alone, "media.example", "intro.swf"), "wb") as f:
            f.write(b"FWS\x0a" + (21).to_bytes(4, "little") + bytes(13))
        rows = [
            # capture, options, width, height
            (os.path.join(self.dir, "mirror"), [], 176, 144),
            (alone, ["--start", "http://media.example/clip.flv"], 320, 240),
            (alone, ["--start", "http://media.example/clip.flv", "--size", "64x48"], 64, 48),
        ]
        for capture, options, width, height in rows:
            with self.subTest(capture=capture, options=options):
                out = os.path.join(self.dir, "import.exe")
                r = self.pack("import", capture, "-o", out, *options)
                self.assertEqual(r.returncode, 0, r.stderr)
                listed = json.loads(self.pack("list", out, "--json").stdout)
                self.assertEqual((listed["mode_name"], listed["width"], listed["height"]),
                                 ("video", width, height))
                flv = read(self.adpcm if options else self.mp3)
                self.assertEqual(listed["entries"][2]["size"], len(flv))
        # Damage is a warning, and refuses under --strict with nothing written.
        damaged = os.path.join(self.dir, "damaged")
        os.makedirs(os.path.join(damaged, "media.example"), exist_ok=True)
        with open(os.path.join(damaged, "media.example", "clip.flv"), "wb") as f:
            f.write(read(self.adpcm)[:13] + b"\x05" + read(self.adpcm)[14:])  # no such tag type
        for strict in ([], ["--strict"]):
            with self.subTest(strict=strict):
                out = os.path.join(self.dir, f"damaged{len(strict)}.exe")
                r = self.pack("import", damaged, "-o", out, *strict)
                self.assertEqual(r.returncode, 1 if strict else 0, r.stderr)
                self.assertIn("clip.flv: at byte 13: unknown tag type 5", r.stderr)
                self.assertEqual(os.path.exists(out), not strict)
        # The manifest it writes rebuilds the same player.
        folder = os.path.join(self.dir, "imported")
        r = self.pack("import", alone, "--start", "http://media.example/clip.flv", "-o",
                      os.path.join(self.dir, "a.exe"), "--manifest", folder)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.pack("build", "-o", os.path.join(self.dir, "b.exe"),
                      os.path.join(folder, "manifest.toml"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(read(os.path.join(self.dir, "a.exe")), read(os.path.join(self.dir, "b.exe")))

    def test_refuses_what_is_not_an_flv(self):
        good = read(self.adpcm)
        rows = [
            # name, bytes, offset the message names
            ("empty.flv", b"", "byte 0"),
            ("movie.swf", b"FWS\x0a" + bytes(40), "byte 0"),
            ("short.flv", good[:7], "byte 7"),
            ("v2.flv", good[:3] + b"\x02" + good[4:], "byte 3"),
            ("header.flv", good[:5] + b"\0\0\0\x04" + good[9:], "byte 5"),
        ]
        for name, data, where in rows:
            with self.subTest(name):
                out = os.path.join(self.dir, name + ".exe")
                r = self.pack("video", self.write(name, data), "-o", out)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(name + ": at " + where, r.stderr)
                self.assertIn("no player written", r.stderr)
                self.assertFalse(os.path.exists(out))
        # A folder in a movie's place: no size to pack.
        for option in ("--player", "--skin"):
            with self.subTest(option):
                out = os.path.join(self.dir, "folder.exe")
                r = self.pack("video", self.adpcm, option, self.dir, "-o", out)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(self.dir + ": cannot read the ", r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_size_out_of_bounds_is_a_usage_error(self):
        # video and import share the parser; import also takes 0 (none).
        for command, size in (("video", "0x50"), ("video", "100x32768"), ("video", "100x"), ("video", "9x9x"),
                              ("import", "-1x5"), ("import", "32768x1")):
            with self.subTest(command=command, size=size):
                out = os.path.join(self.dir, f"size {command} {size}.exe")
                r = self.pack(command, self.adpcm, "-o", out, "--size", size)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn("--size", r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_damaged_metadata_is_noted_never_fatal(self):
        good = read(self.mp3)
        # The first tag is onMetaData: its body starts at 24 (9 + 4 + 11).
        length = int.from_bytes(good[14:17], "big")
        self.assertEqual(good[13], 18)
        end = 24 + length
        rows = []
        for cut in range(9, end + 40, 3):
            rows.append((f"cut{cut}", good[:cut]))
        for at in range(24, end, 5):
            for value in (0x09, 0x0D, 0xFF):
                rows.append((f"set{at}={value}", good[:at] + bytes([value]) + good[at + 1:]))
        # Lengths that claim everything, and objects nested past any sense.
        rows.append(("huge", good[:14] + b"\xff\xff\xff" + good[17:]))
        nest = b"\x02\x00\x0aonMetaData" + b"\x03\x00\x01a" * 5000
        rows.append(("nested", good[:13] + b"\x12" + len(nest).to_bytes(3, "big") + bytes(7)
                     + nest + bytes(4)))
        out = os.path.join(self.dir, "damaged.exe")
        noted = 0
        for name, data in rows:
            with self.subTest(name):
                r = self.pack("video", self.write("damaged.flv", data), "-o", out, "--json")
                self.assertIn(r.returncode, (0, 1), r.stderr)
                if r.returncode == 0:
                    problems = json.loads(r.stdout)["flv"]["problems"]
                    noted += bool(problems)
                    for p in problems:
                        self.assertLessEqual(0, p["offset"])
                        self.assertLess(p["offset"], len(data))
                else:
                    self.assertFalse(os.path.exists(out))
        self.assertGreater(noted, len(rows) // 4)


def png_pixels(path):
    """The decompressed image data of a PNG (filter bytes included)."""
    data, at, idat = read(path), 8, b""
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == b"IDAT":
            idat += data[at + 8:at + 8 + n]
        at += 12 + n
    return zlib.decompress(idat)


class Preview(unittest.TestCase):
    def test_video_package_plays_in_ruffle(self):
        # The carried player and skin and the FLV are asked for and served
        # byte for byte, and the picture moves: a shot after 3 s and one of a
        # later run differ above the skin's bar, which hides on its own.
        # Runs go one second longer each until the picture has moved, so a
        # slow start on a busy machine only costs a run.
        with tempfile.TemporaryDirectory() as tmp:
            flv, exe = os.path.join(tmp, "clip.flv"), os.path.join(tmp, "clip.exe")
            ffmpeg_flv(flv, "320x240", 12, "adpcm_swf")
            subprocess.run([ARGS.pack, "video", flv, "-o", exe], check=True, capture_output=True)
            files = [read(os.path.join(ARGS.movies, "player.swf")),
                     read(os.path.join(ARGS.movies, "skin.swf")), read(flv)]
            shots = []
            for seconds in range(3, 9):
                shot = os.path.join(tmp, f"{seconds}.png")
                r = subprocess.run([ARGS.pack, "preview", exe, "--seconds", str(seconds), "--json",
                                    "--screenshot", shot], capture_output=True, text=True, timeout=120)
                self.assertEqual(r.returncode, 0, r.stderr)
                got = json.loads(r.stdout)
                self.assertEqual(
                    [(q["url"], q["bytes"], q["crc32"]) for q in got["requests"]],
                    [("http://tessivo.invalid/" + name, len(data), "%08x" % zlib.crc32(data))
                     for name, data in zip(("vyo.swf", "vyos.swf", "vyo.flv"), files)])
                # 320x240, 3 bytes a pixel and a filter byte a row: the top 150 rows.
                shots.append(png_pixels(shot)[:150 * (1 + 320 * 3)])
                if shots[-1] != shots[0]:
                    break
            self.assertNotEqual(shots[-1], shots[0], "the picture above the bar did not change from 3 s to 8 s")

    def test_sample_in_ruffle(self):
        # The sample's movie, compiled from source, makes in Ruffle the four
        # requests its stand-in script makes, the POST keyed by its body.
        sample = os.path.join(ARGS.movies, os.pardir, "samples", "intro")
        r = subprocess.run([ARGS.pack, "preview", os.path.join(sample, "manifest.toml"), "--seconds", "4",
                            "--json"], capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        site = "http://sample.tessivo.test/site/"
        got = sorted((q["url"][len(site):], q["method"], q["bytes"], q["crc32"])
                     for q in json.loads(r.stdout)["requests"][1:])
        want = [(url, method, len(data), "%08x" % zlib.crc32(data)) for url, method, data in (
            ("config.xml", "GET", read(os.path.join(sample, "config.xml"))),
            ("missing.png", "GET", b""),
            ("score.php", "POST", read(os.path.join(sample, "score.xml"))),
            ("swf/gallery.swf", "GET", read(os.path.join(sample, "gallery.swf"))))]
        self.assertEqual(got, want)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--movies")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
