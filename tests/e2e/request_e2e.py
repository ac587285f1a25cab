#!/usr/bin/env python3
"""End-to-end tests of the road of a request and of playback: player
executables made by the packer, run under Wine with the stand-in control,
whose test movies fetch URLs, navigate and send commands (see run-player
--help for their script language).

    request_e2e.py --stub STUB.exe --tools BUILD/tests --pack "PACK COMMAND"
        --prefix DIR [unittest arguments, e.g. PageRequests]
"""
import os
import random
import shlex
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import suite

from player_e2e import Run, read

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None

S_FALSE = 1
NOT_FOUND = -2146697211      # INET_E_RESOURCE_NOT_FOUND, 0x800C0005
SYNTAX = -2147221020         # MK_E_SYNTAX, 0x800401E4
# BINDSTATUS codes of the emulated download
CONNECTING, BEGIN, DOWNLOADING, END, SENDING, MIMETYPE = 2, 4, 5, 6, 11, 13
VIDEO_HOST = "http://tessivo.invalid"
SWF_TYPE = "application/x-shockwave-flash"


def movie(script="", version=9, padding=0):
    """A SWF header and the stand-in's script; padding bytes come before it."""
    body = bytes(padding) + (b"\n#!standin\n" + script.encode() if script else b"")
    return b"FWS" + bytes([version]) + struct.pack("<I", 8 + len(body)) + body


def noise(size, seed):
    return random.Random(seed).randbytes(size)


def crc(data):
    return "%08x" % zlib.crc32(data)


def invoke(name, argument=None):
    head = f'<invoke name="{name}" returntype="xml"'
    if argument is None:
        return head + "/>"
    return head + f"><arguments><string>{argument}</string></arguments></invoke>"


def toml_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Loads:
    """The stand-in's loads in the order they were started, by number."""

    def __init__(self, run):
        self.run = run
        self.requests = {e["load"]: e for e in run.calls("Request")}
        self.done = {e["load"]: e for e in run.calls("Loaded")}
        self.monikers = {e["load"]: e for e in run.calls("CreateMoniker")}

    def numbers(self, kind=None):
        return sorted(n for n, r in self.requests.items() if kind is None or r["kind"] == kind)

    def calls(self, number):
        return [e for e in self.run.log if e.get("load") == number]


class E2ETest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.files = {}

    def tearDown(self):
        self.tmp.cleanup()

    def file(self, data):
        """Stores data under a fresh name; returns the name."""
        name = f"f{len(self.files)}.bin"
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)
        self.files[name] = data
        return name

    def pack(self, name, entries, mode="page", flash_vars=None, base=None, width=640,
             height=480):
        """entries: dicts with url, data and optional alternate_url,
        post_body, content_type; the first is the first movie."""
        lines = [f'mode = "{mode}"', f"width = {width}", f"height = {height}"]
        if flash_vars is not None:
            lines.append(f"flash_vars = {toml_text(flash_vars)}")
        if base is not None:
            lines.append(f"base = {toml_text(base)}")
        for entry in entries:
            lines.append("[[entry]]")
            lines.append(f"url = {toml_text(entry['url'])}")
            for key in ("alternate_url", "post_body", "content_type"):
                if key in entry:
                    lines.append(f"{key} = {toml_text(entry[key])}")
            lines.append(f"file = {toml_text(self.file(entry['data']))}")
        return self.build(name, "\n".join(lines) + "\n")

    def pack_video(self, name, player, skin, flv, width=640, height=480):
        manifest = (f'mode = "video"\nwidth = {width}\nheight = {height}\n[video]\n'
                    f'player = "{self.file(player)}"\nskin = "{self.file(skin)}"\n'
                    f'flv = "{self.file(flv)}"\n')
        return self.build(name, manifest)

    def build(self, name, manifest):
        toml = os.path.join(self.dir, name + ".toml")
        with open(toml, "w") as f:
            f.write(manifest)
        out = os.path.join(self.dir, name)
        subprocess.run(shlex.split(ARGS.pack) + ["build", "--stub", ARGS.stub, "-o", out, toml],
                       check=True, stdout=subprocess.DEVNULL)
        return out

    def play(self, exe, *options, until='"call":"ScriptEnd"', timeout=60):
        command = [os.path.join(HERE, "run-player"), exe, "--tools", ARGS.tools,
                   "--prefix", ARGS.prefix, "--timeout", str(timeout)]
        if until:
            command += ["--until", until]
        command += list(options)
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=timeout * 4 + 60)
        self.assertEqual(result.returncode, 0, result.stderr)
        run = Run(result.stdout)
        run.output = result.stdout
        for line in result.stdout.splitlines():
            self.assertFalse(line.startswith("until: ") and not line.startswith("until: found"),
                             line)
        self.assertTrue(run.runs, result.stdout)
        for r in run.runs:
            self.assertEqual(r.get("exit"), "0", result.stdout[-3000:])
        return run

    def assertDelivered(self, loads, number, data):
        done = loads.done[number]
        # An empty entry comes without a stream, so no Read ever ends it.
        self.assertEqual((done["hr"], done["bytes"], done["crc"], done["end"]),
                         (S_FALSE, len(data), crc(data), len(data) > 0),
                         loads.requests[number]["url"])

    def assertNotFound(self, loads, number):
        done = loads.done[number]
        self.assertEqual(loads.monikers[number]["hr"], 0)
        self.assertEqual((done["step"], done["hr"], done["bytes"]), ("OnStopBinding", NOT_FOUND, 0))
        stops = [e for e in loads.calls(number) if e["call"] == "OnStopBinding"]
        self.assertEqual(stops, [{"call": "OnStopBinding", "load": number, "hr": NOT_FOUND,
                                  "error": None}])
        binds = [e for e in loads.calls(number) if e["call"] == "BindToStorage"]
        self.assertEqual(binds[0]["hr"], NOT_FOUND)
        self.assertNotIn("OnStartBinding", [e["call"] for e in loads.calls(number)])

    def assertRefused(self, loads, number):
        done = loads.done[number]
        self.assertEqual((done["step"], done["hr"]), ("CreateMoniker", SYNTAX))
        self.assertFalse(loads.monikers[number]["moniker"])


class PageRequests(E2ETest):
    def test_page_mode_answers_exact_urls_only(self):
        site = "http://movies.test/site/"
        image, data, other = noise(5000, 1), noise(0x8000, 2), noise(70000, 3)
        cases = [
            # requested URL, delivered data (None: not found, "refused": MK_E_SYNTAX)
            ("images/a.png", image),                      # stored under this relative text
            (site + "data/b.xml", data),
            ("HTTP://MOVIES.TEST/SITE/DATA/B.XML", data),  # ASCII case folds
            ("http://movies.test/other/c.txt", other),
            ("http://movies.test/other/c.txt?v=2", other),  # the alternate URL
            ("data/b.xml", None),                         # no base-URL walk in this mode
            ("../other/c.txt", None),
            ("missing.txt", None),
            ("https://movies.test/site/data/b.xml", None),
            ("file:///C:/data/b.xml", None),
            ("C:\\data\\b.xml", None),
            ("\\\\server\\share\\b.xml", None),
            ("ftp://movies.test/site/data/b.xml", "refused"),
            ("javascript:alert(1)", "refused"),
            ("mailto:someone@movies.test", "refused"),
            ("", "refused"),
            (site + "data/b.xml", data),                  # the movie goes on after failures
        ]
        script = ("".join(f"load {url}\n" for url, _ in cases)
                  + "wait\nfscommand volume 40\nmark done\n")
        exe = self.pack("page.exe", [
            {"url": site + "movie.swf", "content_type": SWF_TYPE, "data": movie(script)},
            {"url": "images/a.png", "content_type": "image/png", "data": image},
            {"url": site + "data/b.xml", "content_type": "text/xml", "data": data},
            {"url": "http://movies.test/other/c.txt",
             "alternate_url": "http://movies.test/other/c.txt?v=2", "data": other},
        ])
        run = self.play(exe)
        # Page modes connect no event sink: the movie's commands go nowhere.
        self.assertEqual([(e["sink"], run.settings["svol"]) for e in run.calls("FSCommand")],
                         [(False, "-")])
        loads = Loads(run)
        # Only the movie is named: no FlashVars, no Base.
        self.assertEqual([e["call"] for e in run.log if e["call"].startswith("put_")],
                         ["put_Movie"])
        self.assertEqual(run.calls("put_Movie")[0]["url"], site + "movie.swf")
        self.assertEqual(loads.numbers("movie"), [1])
        self.assertEqual(loads.done[1]["bytes"], len(movie(script)))
        numbers = loads.numbers("file")
        self.assertEqual(len(numbers), len(cases))
        for number, (url, expected) in zip(numbers, cases):
            with self.subTest(url=url):
                self.assertEqual(loads.requests[number]["url"], url)
                if expected == "refused":
                    self.assertRefused(loads, number)
                elif expected is None:
                    self.assertNotFound(loads, number)
                else:
                    self.assertDelivered(loads, number, expected)
        self.assertEqual(run.calls("Mark"), [{"call": "Mark", "text": "done"}])

    def test_notifications_follow_a_download(self):
        base = "http://movies.test/n/"
        sizes = [  # name, size, content type, alternate URL
            ("empty", 0, "text/plain", None),
            ("small", 0x8000, "text/xml", None),
            ("chunk", 0x10000, None, None),
            ("three", 0x20001, "application/octet-stream", base + "three.bin?v=2"),
        ]
        entries = [{"url": base + "movie.swf", "content_type": SWF_TYPE, "data": None}]
        script = ""
        for name, size, kind, alternate in sizes:
            entry = {"url": base + name + ".bin", "data": noise(size, size)}
            if kind:
                entry["content_type"] = kind
            if alternate:
                entry["alternate_url"] = alternate
            entries.append(entry)
            script += f"load {entry['url']}\nwait\n"
        entries[0]["data"] = movie(script)
        run = self.play(self.pack("notify.exe", entries))
        loads = Loads(run)
        for number, (name, size, kind, alternate), entry in zip(loads.numbers("file"), sizes,
                                                                entries[1:]):
            with self.subTest(name):
                self.assertDelivered(loads, number, entry["data"])
                reported = alternate or entry["url"]
                calls = [e for e in loads.calls(number)
                         if e["call"] not in ("Request", "BindHost", "CreateMoniker",
                                              "BindToStorage", "LoadEnded", "Loaded",
                                              "LoadReleased")]
                got = [(e["call"], e.get("status"), e.get("flags")) for e in calls]
                expected = [("GetBindInfo", None, None), ("OnStartBinding", None, None)]
                if size:
                    expected += [("CallbackService", None, None),
                                 ("OnProgress", CONNECTING, None),
                                 ("BeginningTransaction", None, None),
                                 ("OnProgress", SENDING, None),
                                 ("OnResponse", None, None)]
                    if kind:
                        expected.append(("OnProgress", MIMETYPE, None))
                    expected.append(("OnProgress", BEGIN, None))
                    chunks = (size + 0xFFFF) // 0x10000
                    for i in range(chunks):
                        last = i == chunks - 1
                        if i and not last:
                            expected.append(("OnProgress", DOWNLOADING, None))
                        if last:
                            expected.append(("OnProgress", END, None))
                        flags = (1 if i == 0 else 0) | (4 if last else 0) or 2
                        expected.append(("OnDataAvailable", None, flags))
                expected.append(("OnStopBinding", None, None))
                self.assertEqual(got, expected)
                self.assertEqual(calls[-1]["hr"], S_FALSE)
                for e in calls:
                    if e["call"] == "OnProgress":
                        self.assertEqual(e["max"], size)
                        self.assertEqual(e["text"], kind if e["status"] == MIMETYPE else reported)
                        if e["status"] in (CONNECTING, SENDING, MIMETYPE, BEGIN):
                            self.assertEqual(e["progress"], 1)
                        elif e["status"] == DOWNLOADING:
                            self.assertEqual(e["progress"] % 0x10000, 0)
                        else:
                            self.assertEqual(e["progress"], size)
                    elif e["call"] == "OnDataAvailable":
                        self.assertEqual((e["size"], e["tymed"], e["same_stream"]),
                                         (size, 4, True))
                    elif e["call"] == "BeginningTransaction":
                        self.assertEqual(e["url"], reported)
                    elif e["call"] == "OnResponse":
                        header = (f"HTTP/1.1 200 OK\r\nAccept-Range: bytes\r\n"
                                  f"Content-Length: {size}\r\n"
                                  + (f"Content-Type: {kind}\r\n" if kind else "") + "\r\n")
                        self.assertEqual((e["code"], e["header"]), (200, header))

    def test_flash_vars_and_base_come_before_the_movie(self):
        base = "http://cdn.test/assets/"
        exe = self.pack("vars.exe", [
            {"url": "http://movies.test/site/movie.swf", "data": movie("load x.txt\nwait\n")},
            {"url": base + "x.txt", "data": b"relative to base"},
        ], mode="page-post", flash_vars="lang=en&level=3", base=base)
        run = self.play(exe)
        calls = [(e["call"], e.get("text", e.get("url"))) for e in run.log
                 if e["call"].startswith("put_")]
        self.assertEqual(calls, [("put_FlashVars", "lang=en&level=3"), ("put_Base", base),
                                 ("put_Movie", "http://movies.test/site/movie.swf")])
        loads = Loads(run)
        # Relative requests are resolved against the Base text.
        self.assertDelivered(loads, loads.numbers("file")[0], b"relative to base")

    def test_old_controls_are_not_called_past_their_interface(self):
        # FlashVars came with 6: a 5.0 control is never asked for it.
        exe = self.pack("old.exe", [{"url": "http://movies.test/m.swf",
                                     "data": movie("mark started\n", version=5)}],
                        flash_vars="a=1")
        for installed, named in (("0x00050000", False), ("0x00060000", True)):
            with self.subTest(installed=installed):
                run = self.play(exe, "--flash-version", installed)
                self.assertEqual(run.calls("BeyondInterface"), [])
                self.assertEqual(len(run.calls("put_FlashVars")), int(named))
                self.assertEqual(len(run.calls("put_Movie")), 1)
                self.assertEqual(run.runs[0]["exit"], "0")

    def test_post_mode_walks_relocates_and_keys_bodies(self):
        host = "http://example.test/"
        base = host + "site/swf/"
        a, p, one, two = noise(3000, 11), noise(4000, 12), b"<id>1</id>", b"<id>2</id>"
        cases = [
            # verb, URL, body, expected data (None: not found)
            ("load", "data/a.xml", None, a),                 # found two levels up
            ("load", "../data/a.xml", None, None),           # ".." is not collapsed
            ("load", host + "img/p.png", None, p),           # relocated under the base
            ("load", "http://other.test/img/p.png", None, None),
            ("load", "https://example.test/site/swf/img/p.png", None, None),
            ("post", base + "data.php", "id=2", two),
            ("post", base + "data.php", "id=1", one),
            ("post", base + "data.php", "id=9", one),        # no key matches: first by URL
            ("load", base + "data.php", None, one),          # no body
            ("post", "data.php", "id=2", two),               # relative, keyed
            ("post", base + "DATA.PHP", "id=2", two),
            ("load", "javascript:void(0)", None, "refused"),
        ]
        script = "".join(f"{verb} {url}" + (f" {body}" if body else "") + "\n"
                         for verb, url, body, _ in cases) + "wait\n"
        exe = self.pack("post.exe", [
            {"url": base + "main.swf", "data": movie(script)},
            {"url": host + "data/a.xml", "content_type": "text/xml", "data": a},
            {"url": base + "img/p.png", "data": p},
            {"url": base + "data.php", "post_body": "id=1", "data": one},
            {"url": base + "data.php", "post_body": "id=2", "data": two},
        ], mode="page-post")
        run = self.play(exe)
        loads = Loads(run)
        released = {e["load"]: e["outside_refs"] for e in run.calls("LoadReleased")}
        for number, (verb, url, body, expected) in zip(loads.numbers("file"), cases):
            with self.subTest(verb=verb, url=url, body=body):
                self.assertEqual((loads.requests[number]["url"], loads.requests[number]["post"]),
                                 (url, body))
                if expected == "refused":
                    self.assertRefused(loads, number)
                    continue
                if expected is None:
                    self.assertNotFound(loads, number)
                else:
                    self.assertDelivered(loads, number, expected)
                # The body is read for the key while the moniker is made, and
                # again when it is bound; each time it is given back.
                infos = [e for e in loads.calls(number) if e["call"] == "GetBindInfo"]
                self.assertEqual([e["size"] for e in infos], [84, 84])
                self.assertEqual(released[number], 0)

    def test_sample_capture(self):
        # The sample as the build assembles it, with its movie compiled from
        # source: the four requests its script makes, answered as the
        # movie's own code would see them.
        sample = os.path.join(ARGS.tools, os.pardir, "samples", "intro")
        exe = os.path.join(self.dir, "intro.exe")
        subprocess.run(shlex.split(ARGS.pack) + ["build", "--stub", ARGS.stub, "-o", exe,
                                                 os.path.join(sample, "manifest.toml")],
                       check=True, stdout=subprocess.DEVNULL)
        run = self.play(exe)
        loads = Loads(run)
        files = loads.numbers("file")
        self.assertEqual([loads.done[n]["url"] for n in files],
                         ["config.xml", "swf/gallery.swf", "score.php", "missing.png"])
        for n, name in zip(files[:3], ("config.xml", "gallery.swf", "score.xml")):
            self.assertDelivered(loads, n, read(os.path.join(sample, name)))
        self.assertNotFound(loads, files[3])
        self.assertIn("debug: Tessivo: not in the package: missing.png", run.output.splitlines())

    def test_best_match(self):
        v = "http://example.test/v/"
        cases = [
            # request, index of the entry that answers (None: not found)
            (v + "a.swf?a=1&b=2&c=3", 2),
            (v + "q/c.swf?t=5", 3),                # the alternate URL is scored
            (v + "page=5", 4),
            ("http://www.example.test/v/b.swf", 6),
            ("http://www.example.test/v/nothing.txt", None),
        ]
        entries = [
            {"url": v + "main.swf", "data": None},
            {"url": v + "a.swf?c=3&b=2", "data": noise(100, 21)},
            {"url": v + "a.swf?a=1&b=2&c=4", "data": noise(100, 22)},
            {"url": v + "q/main2.swf", "alternate_url": v + "q/c.swf?a=1&amp;t=5",
             "data": noise(100, 23)},
            {"url": v + "list=5", "data": noise(100, 24)},
            {"url": "http://cdn.example.test/v/B.swf", "data": noise(100, 25)},
            {"url": "http://cdn.example.test/v/b.swf", "data": noise(100, 26)},
        ]
        entries[0]["data"] = movie("".join(f"load {url}\n" for url, _ in cases) + "wait\n")
        run = self.play(self.pack("best.exe", entries, mode="page-post"))
        loads = Loads(run)
        for number, (url, index) in zip(loads.numbers("file"), cases):
            with self.subTest(url):
                if index is None:
                    self.assertNotFound(loads, number)
                else:
                    self.assertDelivered(loads, number, entries[index]["data"])

    def test_large_entry_and_many_at_once(self):
        site = "http://movies.test/big/"
        big = noise(20 * 1024 * 1024 + 12345, 31)
        many = [noise(1000 + i * 4099, 100 + i) for i in range(50)]
        late = [noise(500 + i * 30011, 200 + i) for i in range(8)]
        script = ("load big.bin\nwait\nloadmany 50 " + site + "many/{}.bin\nwait\n"
                  "readsize 1000\nreadlater on\nloadmany 8 " + site + "late/{}.bin\nwait\n")
        entries = [{"url": site + "movie.swf", "data": movie(script)},
                   {"url": "big.bin", "data": big}]
        entries += [{"url": f"{site}many/{i}.bin", "data": d} for i, d in enumerate(many)]
        entries += [{"url": f"{site}late/{i}.bin", "data": d} for i, d in enumerate(late)]
        run = self.play(self.pack("big.exe", entries), "--quiet-chunks", timeout=120)
        loads = Loads(run)
        numbers = loads.numbers("file")
        self.assertEqual(len(numbers), 1 + 50 + 8)
        with self.subTest("20 MiB"):
            self.assertDelivered(loads, numbers[0], big)
        # All 50 were asked for before the first of them ended.
        first_end = min(i for i, e in enumerate(run.log)
                        if e["call"] == "LoadEnded" and e["load"] in numbers[1:51])
        last_request = max(i for i, e in enumerate(run.log)
                           if e["call"] == "Request" and e["load"] in numbers[1:51])
        self.assertLess(last_request, first_end)
        for i, (number, data) in enumerate(zip(numbers[1:51], many)):
            with self.subTest(many=i):
                self.assertEqual(loads.requests[number]["url"], f"{site}many/{i}.bin")
                self.assertDelivered(loads, number, data)
        for i, (number, data) in enumerate(zip(numbers[51:], late)):
            with self.subTest(late=i):
                self.assertDelivered(loads, number, data)

    def test_navigation_stays_inside(self):
        site = "http://movies.test/nav/"
        script = ("navigate http://elsewhere.test/page.html\nnavigate javascript:alert(1)\n"
                  "navigate page2.html\nload after.txt\nwait\nmark after\n")
        exe = self.pack("nav.exe", [{"url": site + "movie.swf", "data": movie(script)},
                                    {"url": "after.txt", "data": b"still here"}])
        run = self.play(exe)
        navigations = run.calls("Navigate")
        self.assertEqual([(e["url"], e["query_hr"], e["hr"]) for e in navigations],
                         [("http://elsewhere.test/page.html", 0, 0),
                          ("javascript:alert(1)", 0, 0), ("page2.html", 0, 0)])
        loads = Loads(run)
        # Nothing is fetched for a hyperlink; the movie goes on in its window.
        self.assertEqual([r["url"] for r in loads.requests.values()],
                         [site + "movie.swf", "after.txt"])
        self.assertDelivered(loads, 2, b"still here")
        self.assertEqual(run.calls("Mark"), [{"call": "Mark", "text": "after"}])
        self.assertEqual(len(run.runs[0]["reports"]), 1)
        self.assertEqual(run.runs[0]["reports"][0]["title"], "nav - Tessivo")


def answered(run):
    """The scripting requests the movie took (the control refuses any before
    the movie's first frame)."""
    return [e["request"] for e in run.calls("CallFunction") if e["hr"] == 0]


class VideoPlayback(E2ETest):
    def video_files(self, script):
        return movie(script), movie(padding=70000), b"FLV\x01\x05" + noise(300000, 41)

    def test_scripting_and_volume_across_starts(self):
        # The player movie sends its volume only after its own fetch of the
        # video has ended, well after the player was scripted.
        player, skin, flv = self.video_files(
            f"load {VIDEO_HOST}/vyo.flv\nwait\nfscommand volume 40\n")
        exe = self.pack_video("video.exe", player, skin, flv)
        run = self.play(exe, "--until", '"call":"Loaded"*"kind":"video"', "--second-start",
                        "--until", '"call":"ScriptEnd"', "--until",
                        '"call":"Loaded"*"kind":"video"')
        self.assertEqual(run.settings["svol"], "40")
        # Split the log at the second control's creation.
        starts = [i for i, e in enumerate(run.log) if e["call"] == "CreateInstance"]
        self.assertEqual(len(starts), 2)
        for number, (begin, end) in enumerate([(starts[0], starts[1]),
                                               (starts[1], len(run.log))], 1):
            with self.subTest(start=number):
                part = Run("")
                part.log = run.log[begin:end]
                volume = "100" if number == 1 else "40"
                self.check_video_run(part, volume, player, skin, flv)

    def check_video_run(self, run, volume, player, skin, flv):
        calls = [e["call"] for e in run.log]
        self.assertEqual(calls.count("Advise"), 1)
        self.assertLess(calls.index("put_ScaleMode"), calls.index("put_Movie"))
        self.assertEqual(run.calls("put_ScaleMode")[0]["mode"], 2)
        self.assertEqual(run.calls("put_Movie")[0]["url"], VIDEO_HOST + "/vyo.swf")
        self.assertEqual(run.calls("put_FlashVars") + run.calls("put_Base"), [])
        # The control runs the first frame on its own timer, after the message
        # that tells the player its movie is in: the first call is refused,
        # and the player makes it again once the frame has run.
        frame = calls.index("FirstFrame")
        self.assertEqual(calls.count("FirstFrame"), 1)
        scripting = [(i, e) for i, e in enumerate(run.log) if e["call"] == "CallFunction"]
        self.assertLess(scripting[0][0], frame)
        for i, e in scripting:
            self.assertEqual(e["hr"] == 0, i > frame, e)
        self.assertEqual(answered(run), [
            invoke("FLVSetVolume", volume),
            invoke("FLVSetSkin", VIDEO_HOST + "/vyos.swf"),
            invoke("FLVSetVideo", VIDEO_HOST + "/vyo.flv"),
            invoke("FLVplay"),
        ])
        loads = Loads(run)
        # The player is scripted only once its movie has fully arrived.
        first_call = calls.index("CallFunction")
        movie_number = loads.numbers("movie")[0]
        stream_end = max(i for i, e in enumerate(run.log)
                         if e.get("load") == movie_number and e["call"] == "OnDataAvailable")
        self.assertLess(stream_end, first_call)
        self.assertDelivered(loads, movie_number, player)
        for kind, data in (("skin", skin), ("video", flv)):
            with self.subTest(kind):
                (number,) = loads.numbers(kind)
                self.assertDelivered(loads, number, data)
        types = {e["load"]: e["text"] for e in run.calls("OnProgress") if e["status"] == MIMETYPE}
        self.assertEqual(types[loads.numbers("video")[0]], "video/flv")
        self.assertEqual(types[loads.numbers("skin")[0]], SWF_TYPE)
        (command,) = run.calls("FSCommand")
        self.assertEqual((command["sink"], command["hr"]), (True, 0))

    def test_pack_video_with_the_carried_movies(self):
        # An FLV from ffmpeg, packed with the movies the packer carries: the
        # player is scripted with its values, and the carried player and skin
        # (compiled in this tree) arrive byte for byte.
        flv = os.path.join(self.dir, "clip.flv")
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=25:duration=1", "-c:v", "flv1", flv],
                       check=True)
        exe = os.path.join(self.dir, "clip.exe")
        subprocess.run(shlex.split(ARGS.pack) + ["video", flv, "-o", exe, "--stub", ARGS.stub],
                       check=True, stdout=subprocess.DEVNULL)
        movies = os.path.join(ARGS.tools, os.pardir, "movies")
        player, skin = (read(os.path.join(movies, n)) for n in ("player.swf", "skin.swf"))
        run = self.play(exe, "--until", '"call":"Loaded"*"kind":"video"', until=None)
        self.assertEqual(answered(run), [
            invoke("FLVSetVolume", "100"),
            invoke("FLVSetSkin", VIDEO_HOST + "/vyos.swf"),
            invoke("FLVSetVideo", VIDEO_HOST + "/vyo.flv"),
            invoke("FLVplay"),
        ])
        self.assertEqual(run.calls("put_ScaleMode")[0]["mode"], 2)
        loads = Loads(run)
        for kind, data in (("movie", player), ("skin", skin), ("video", read(flv))):
            with self.subTest(kind):
                (number,) = loads.numbers(kind)
                self.assertDelivered(loads, number, data)

    def test_old_controls_are_not_scripted(self):
        # CallFunction came with 8: a 7.0 control plays the player unscripted.
        player, skin, flv = self.video_files(f"load {VIDEO_HOST}/vyo.swf\nwait\n")
        player = b"FWS\x05" + player[4:]
        exe = self.pack_video("old.exe", player, skin, flv)
        for installed, scripted in (("0x00070000", 0), ("0x00080000", 4)):
            with self.subTest(installed=installed):
                until = ["--until", '"call":"Loaded"*"kind":"video"'] if scripted else []
                run = self.play(exe, "--flash-version", installed, *until)
                self.assertEqual(run.calls("BeyondInterface"), [])
                self.assertEqual(len(answered(run)), scripted)
                self.assertEqual(run.runs[0]["exit"], "0")

    def test_no_scale_mode_without_a_size(self):
        player, skin, flv = self.video_files("mark started\n")
        for width, height in ((0, 0), (640, 0)):
            with self.subTest(width=width, height=height):
                exe = self.pack_video(f"nosize{width}.exe", player, skin, flv, width, height)
                run = self.play(exe, "--until", '"call":"Loaded"*"kind":"video"')
                self.assertEqual(run.calls("put_ScaleMode"), [])
                self.assertEqual(len(answered(run)), 4)

    def test_volume_commands(self):
        cases = [
            # script, stored volume before ("-": none), stored volume after
            ("fscommand volume 75", "-", "75"),
            ("fscommand volume 75.5", "-", "75"),
            ("fscommand volume -20", "-", "-20"),
            ("fscommand volume +5", "-", "5"),
            ("fscommand volume  8", "-", "8"),
            ("fscommand volume 7a3", "-", "7"),
            ("fscommand volume a12", "-", "0"),
            ("fscommand volume", "-", "0"),
            ("fscommand Volume 9\nfscommand VOLUME 9\nfscommand setvolume 9", "55", "55"),
            ("fsevent none\nfsevent one\nfsevent ints\nfsevent other", "55", "55"),
        ]
        _, skin, flv = self.video_files("")
        for script, before, after in cases:
            with self.subTest(script):
                exe = self.pack_video("volume.exe", movie(script + "\nmark done\n"), skin, flv)
                options = ["--setting", f"svol={before}"] if before != "-" else []
                run = self.play(exe, *options, "--until", '"call":"Loaded"*"kind":"video"',
                                until='"call":"Mark"')
                self.assertEqual(run.settings["svol"], after)
                # The volume stored before the run is what the player is told.
                self.assertEqual(run.calls("CallFunction")[0]["request"],
                                 invoke("FLVSetVolume", "100" if before == "-" else before))


if __name__ == "__main__":
    suite.run(sys.modules[__name__])
