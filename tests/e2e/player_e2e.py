#!/usr/bin/env python3
"""End-to-end tests: player executables made by the packer, run under Wine
with the stand-in control through run-player.

    player_e2e.py --stub STUB.exe --tools BUILD/tests --pack "PACK COMMAND"
"""
import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import suite

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None
STAGE = (0x22, 0xB0, 0x4C)
NEWER = ("This Flash file requires a newer version of Adobe Flash Player. Please update "
         "your player on http://www.adobe.com/go/getflashplayer.")


class Run:
    """What run-player printed, split into runs."""

    def __init__(self, text):
        self.text = text
        self.runs = []
        self.settings = {}
        self.log = []
        in_log = False
        for line in text.splitlines():
            if in_log:
                if line.startswith("{"):
                    self.log.append(json.loads(line))
                continue
            key, _, value = line.partition(": ")
            if line == "standin-log:":
                in_log = True
            elif key == "run":
                self.runs.append({"messages": [], "reports": []})
            elif key == "messagebox":
                self.runs[-1]["messages"].append(value)
            elif key == "title":
                self.runs[-1]["reports"].append({"title": value})
            elif key in ("client", "window", "maximized", "menu") and self.runs[-1]["reports"]:
                self.runs[-1]["reports"][-1][key] = value
            elif key in ("exit", "window", "fault"):
                self.runs[-1][key] = value
            elif key == "settings":
                for item in value.split():
                    name, _, v = item.partition("=")
                    self.settings[name] = v

    def calls(self, name):
        return [entry for entry in self.log if entry["call"] == name]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def menu_states(report):
    return dict(item.split("=") for item in report["menu"].split())


def read_png(path):
    data = read(path)
    pos, idat = 8, b""
    while pos < len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", data[pos + 8:pos + 16])
        elif kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + n]
        pos += 12 + n
    raw = zlib.decompress(idat)
    stride = width * 3 + 1

    def pixel(x, y):
        o = y * stride + 1 + x * 3
        return tuple(raw[o:o + 3])
    return width, height, pixel


def swf(version):
    return b"FWS" + bytes([version]) + struct.pack("<I", 32) + bytes(24)


class PlayerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def pack(self, name, mode="page", width=640, height=480, version=9, browser=True):
        """A player exe holding one movie (page modes) or a video package;
        browser=False leaves out the browser runtime, so that a missing or
        unusable control stops the player as it always has."""
        self.write("movie.swf", swf(version))
        if mode == "video":
            self.write("skin.swf", swf(version))
            self.write("movie.flv", b"FLV\x01" + bytes(60))
            manifest = (f'mode = "video"\nwidth = {width}\nheight = {height}\n'
                        '[video]\nplayer = "movie.swf"\nskin = "skin.swf"\nflv = "movie.flv"\n')
        else:
            manifest = (f'mode = "{mode}"\nwidth = {width}\nheight = {height}\n'
                        '[[entry]]\nurl = "http://movies.test/site/movie.swf"\n'
                        'content_type = "application/x-shockwave-flash"\nfile = "movie.swf"\n')
        toml = self.write(name + ".toml", manifest)
        out = os.path.join(self.dir, name)
        subprocess.run(shlex.split(ARGS.pack) + ["build", "--stub", ARGS.stub, "-o", out, toml]
                       + ([] if browser else ["--no-browser"]),
                       check=True, stdout=subprocess.DEVNULL)
        return out

    def play(self, exe, *options):
        command = [os.path.join(HERE, "run-player"), exe, "--tools", ARGS.tools,
                   "--prefix", ARGS.prefix] + list(options)
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=180)
        self.assertEqual(result.returncode, 0, result.stderr)
        return Run(result.stdout)

    # --- start-up

    def test_startup_failures(self):
        exe = self.pack("movie.exe", browser=False)
        damaged = bytearray(read(exe))
        magic = damaged.find(b"QZRB", 32768)
        damaged[magic + 8] = 7  # no such playback mode
        damaged_exe = self.write("damaged.exe", bytes(damaged))
        stub = self.write("bare.exe", read(ARGS.stub))
        cases = [
            ("no progid", exe, ["--progid", "none"], ["Adobe Flash Player is not installed"]),
            ("class cannot be created", exe, ["--progid", "broken"], []),
            ("stub without package", stub, [], ["Flash file is damaged, cannot play it"]),
            ("damaged package", damaged_exe, [], ["Flash file is damaged, cannot play it"]),
            ("embedding fails", exe, ["--fail", "DoVerb"], []),
            ("no automation interface", exe, ["--fail", "IShockwaveFlash"], []),
        ]
        for name, path, options, texts in cases:
            with self.subTest(name):
                run = self.play(path, *options)
                first = run.runs[0]
                self.assertEqual(first.get("window"), "none")
                self.assertEqual(first["exit"], "-1")
                self.assertEqual(first["messages"],
                                 [f'caption="Tessivo Error" text="{t}"' for t in texts])

    def test_failed_embedding_tears_the_control_down(self):
        run = self.play(self.pack("movie.exe", browser=False), "--fail", "DoVerb")
        calls = [e["call"] for e in run.log]
        self.assertEqual(calls[-3:], ["Close", "SetClientSite", "Destroyed"])
        self.assertFalse(run.log[-2]["site"])

    def test_flash_paper_progid_alone_is_enough(self):
        run = self.play(self.pack("movie.exe"), "--progid", "paper")
        self.assertEqual(run.runs[0]["messages"], [])
        self.assertEqual(run.runs[0]["exit"], "0")

    def test_version_check(self):
        cases = [
            # movie version, installed version (None: the stand-in's 32.0), refused
            (9, "0x00080000", True),
            (9, "0x0008FFFF", True),
            (9, "0x00090000", False),
            (1, "0", True),
            (200, "0", False),
            # from SWF 11 on the byte is no player version: SWF 12 is 10.3
            (12, "0x000A0002", True),
            (12, "0x000A0003", False),
            (38, None, False),  # made for 27.0
        ]
        for movie, installed, refused in cases:
            with self.subTest(movie=movie, installed=installed):
                exe = self.pack("movie.exe", version=movie, browser=False)
                options = ["--flash-version", installed] if installed else []
                run = self.play(exe, *options)
                first = run.runs[0]
                if refused:
                    self.assertEqual(first["messages"],
                                     [f'caption="Tessivo Error" text="{NEWER}"'])
                    self.assertEqual(first.get("window"), "none")
                    self.assertEqual(first["exit"], "-1")
                    # The window, never shown, was still destroyed in order.
                    self.assertNotEqual(run.settings["x"], "-")
                    self.assertEqual(run.settings["m"], "0")
                    self.assertEqual(run.calls("Close"), [{"call": "Close", "option": 1}])
                else:
                    self.assertEqual(first["messages"], [])
                    self.assertEqual(first["exit"], "0")
        exe = self.pack("movie.exe", version=12)
        for command in (["list", exe], ["explain", exe, "http://movies.test/site/movie.swf"]):
            out = subprocess.run(shlex.split(ARGS.pack) + command, check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
            self.assertIn("SWF 12, needs Flash Player 10.3 or later", out)
        out = subprocess.run(shlex.split(ARGS.pack) + ["explain", exe, "http://movies.test/site/movie.swf", "--json"],
                             check=True, stdout=subprocess.PIPE, text=True).stdout
        self.assertEqual(json.loads(out)["needs_flash_player"], "10.3")

    # --- window

    def test_title_is_the_file_name(self):
        for name, title in [("intro.exe", "intro - Tessivo"), ("a.b.exe", "a.b - Tessivo")]:
            with self.subTest(name):
                run = self.play(self.pack(name))
                self.assertEqual(run.runs[0]["reports"][0]["title"], title)

    def test_placement_across_starts(self):
        exe = self.pack("movie.exe")
        run = self.play(exe, "--second-start")
        first, second = run.runs
        self.assertEqual(first["reports"][0]["client"], "320x240")
        self.assertEqual(menu_states(first["reports"][0])["40002"], "checked")
        self.assertEqual(second["reports"][0]["client"], "640x480")
        self.assertEqual(menu_states(second["reports"][0])["40003"], "checked")
        self.assertEqual(second["reports"][0]["maximized"], "0")

        run = self.play(exe, "--setting", "x=100", "--setting", "y=50", "--setting", "m=1")
        report = run.runs[0]["reports"][0]
        self.assertEqual(report["maximized"], "1")
        self.assertEqual(run.settings["m"], "1")

        run = self.play(exe, "--maximize", "--second-start")
        self.assertEqual(run.runs[1]["reports"][0]["maximized"], "1")

    def test_saved_placement(self):
        exe = self.pack("movie.exe")
        corner = ["--setting", "x=100", "--setting", "y=50"]
        cases = [
            # name, options, maximised at start, settings saved at the end
            ("restored", corner + ["--setting", "m=0"], "0", ("100", "50", "0")),
            ("no m: maximised", corner, "1", ("100", "50", "1")),
            ("minimised after maximised", corner + ["--setting", "m=1", "--minimize"], "1",
             ("100", "50", "0")),
        ]
        for name, options, maximized, saved in cases:
            with self.subTest(name):
                run = self.play(exe, *options)
                report = run.runs[0]["reports"][0]
                self.assertEqual(report["maximized"], maximized)
                if maximized == "0":
                    left, top, right, bottom = map(int, report["window"].split(","))
                    self.assertEqual((left, top), (100, 50))
                    self.assertEqual(report["client"], "640x480")
                self.assertEqual((run.settings["x"], run.settings["y"], run.settings["m"]), saved)

    def test_no_nominal_size_grays_the_sizes_and_takes_half_the_screen(self):
        run = self.play(self.pack("movie.exe", width=0, height=0), "--second-start")
        for start in run.runs:  # without and with a saved placement
            report = start["reports"][0]
            self.assertEqual(report["client"], "640x512")
            states = menu_states(report)
            self.assertEqual([states[i] for i in ("40002", "40003", "40004")], ["grayed"] * 3)

    def test_nominal_sizes_beyond_31_bits_keep_a_usable_window(self):
        packed = bytearray(read(self.pack("movie.exe")))
        magic = packed.find(b"QZRB", 32768)
        for width, height in [(0x7FFFFFFF, 0x7FFFFFFF), (0x7FFFFFFF, 0xFFFFFFFF)]:
            with self.subTest(width=width, height=height):
                packed[magic + 12:magic + 20] = struct.pack("<II", width, height)
                run = self.play(self.write("huge.exe", bytes(packed)), "--menu", "100")
                for report in run.runs[0]["reports"]:  # at start, then at 100%
                    self.assertEqual(report["window"], "0,0,1280,1024")
                    w, h = map(int, report["client"].split("x"))
                    self.assertGreater(min(w, h), 400)

    def test_marks_follow_the_presets(self):
        run = self.play(self.pack("movie.exe"), "--menu", "200", "--resize", "500x300",
                        "--menu", "100", "--menu", "50")
        reports = run.runs[0]["reports"]
        expected = [  # client, checked item
            ("320x240", "40002"), ("1280x960", "40004"), ("500x300", None),
            ("640x480", "40003"), ("320x240", "40002"),
        ]
        sizes = [(r["client"], [k for k, v in menu_states(r).items() if v == "checked"])
                 for r in reports]
        for (client, checked), (got_client, got_checked) in zip(expected, sizes):
            if client != "1280x960":  # the 200% window is cut to the screen
                self.assertEqual(got_client, client)
            if got_client == client:
                self.assertEqual(got_checked, [checked] if checked else [])
        self.assertEqual(run.runs[0]["exit"], "0")

    def test_page_modes_give_the_control_the_whole_client_area(self):
        for mode in ("page", "page-post"):
            with self.subTest(mode):
                run = self.play(self.pack("movie.exe", mode=mode), "--resize", "800x480")
                rects = run.calls("SetObjectRects")
                self.assertEqual(rects[-1]["position"], [0, 0, 800, 480])
                self.assertEqual(rects[-1]["clip"], [0, 0, 800, 480])
                self.assertEqual(run.calls("Advise"), [])

    def test_video_letterbox(self):
        exe = self.pack("video.exe", mode="video", width=640, height=480)
        cases = [
            # client, video rectangle, points (x, y) that must be black
            ((800, 480), [80, 0, 720, 480], [(0, 240), (79, 10), (720, 240), (799, 470)]),
            ((640, 600), [0, 60, 640, 540], [(320, 0), (10, 59), (320, 540), (630, 599)]),
        ]
        for (w, h), video, black in cases:
            with self.subTest(client=(w, h)):
                png = os.path.join(self.dir, f"{w}x{h}.png")
                run = self.play(exe, "--resize", f"{w}x{h}", "--capture", png)
                self.assertEqual(run.calls("SetObjectRects")[-1]["position"], video)
                width, height, pixel = read_png(png)
                self.assertEqual((width, height), (w, h))
                for x, y in black:
                    self.assertEqual(pixel(x, y), (0, 0, 0), (x, y))
                l, t, r, b = video
                for x, y in [(l, t), (r - 1, b - 1), ((l + r) // 2, (t + b) // 2)]:
                    self.assertEqual(pixel(x, y), STAGE, (x, y))
                # Video mode connects the event sink and disconnects it at the end.
                self.assertEqual(len(run.calls("Advise")), 1)
                self.assertEqual(run.calls("Unadvise"), [{"call": "Unadvise", "cookie": 1}])

    def test_exit_menu_ends_the_process_normally(self):
        run = self.play(self.pack("movie.exe"), "--menu", "exit")
        self.assertEqual(run.runs[0]["exit"], "0")
        self.assertEqual([e["call"] for e in run.log][-3:], ["Close", "SetClientSite", "Destroyed"])

    def test_fault_in_a_message_does_not_end_the_process(self):
        run = self.play(self.pack("movie.exe"), "--fault", "--menu", "100")
        first = run.runs[0]
        self.assertTrue(first["fault"].endswith("alive=1"))
        self.assertEqual(first["reports"][-1]["client"], "640x480")
        self.assertEqual(first["exit"], "0")

    def test_ansi_path_on_win98(self):
        run = self.play(self.pack("old.exe"), "--win98")
        first = run.runs[0]
        self.assertEqual(first["messages"], [])
        self.assertEqual(first["reports"][0]["title"], "old - Tessivo")
        self.assertEqual(first["exit"], "0")

    def test_any_file_name(self):
        # Renamed after packing: the name is the player's business, not the packer's.
        exe = self.write("Café – level 1.exe", read(self.pack("movie.exe")))
        for options in ([], ["--win98"]):
            with self.subTest(options=options):
                first = self.play(exe, *options).runs[0]
                self.assertEqual(first["messages"], [])
                self.assertEqual(first["reports"][0]["title"], "Café – level 1 - Tessivo")
                self.assertEqual(first["exit"], "0")


if __name__ == "__main__":
    suite.run(sys.modules[__name__])
