#!/usr/bin/env python3
"""pack serve and pack preview on a compiled movie that nobody here wrote:
flashmediaelement.swf of the npm package mediaelement 2.23.5 (AVM2), which
plays the media file that its FlashVars name. The FLV is made by ffmpeg at
test time. Preview runs it in Ruffle; where a case depends on how Ruffle
behaves (it resolves a NetStream URL against the movie's own URL, as the
Flash control does for FLV paths), the case says so.

    preview_test.py --pack PACK --npm NODE_MODULES --sample MANIFEST [unittest arguments]
"""
import argparse
import http.client
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zlib

ARGS = None
FIX = None
HOST = "http://example.test/site/"


def crc(data):
    return "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)


class Fixture:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="preview-test-")
        self.tmp = os.path.join(self.dir, "tmp")  # the packer's TMPDIR: must stay empty
        os.makedirs(self.tmp)
        swf = os.path.join(ARGS.npm, "mediaelement", "build", "flashmediaelement.swf")
        with open(swf, "rb") as f:
            self.swf = f.read()
        os.makedirs(os.path.join(self.dir, "media"))
        self.flv_path = os.path.join(self.dir, "media", "clip.flv")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=10:duration=2", "-c:v", "flv1", "-an",
                        self.flv_path], check=True)
        with open(self.flv_path, "rb") as f:
            self.flv = f.read()
        shutil.copy(swf, os.path.join(self.dir, "movie.swf"))
        with open(os.path.join(self.dir, "post-a.xml"), "wb") as f:
            f.write(b"<answer>a</answer>")
        with open(os.path.join(self.dir, "post-b.xml"), "wb") as f:
            f.write(b"<answer>b</answer>")

    def manifest(self, name, mode, with_flv=True, extra="", host=HOST):
        text = (f'mode = "{mode}"\nflash_vars = "file=media/clip.flv&autoplay=true"\n'
                f'width = 480\nheight = 270\n'
                f'[[entry]]\nurl = "{host}movie.swf"\nfile = "movie.swf"\n')
        if with_flv:
            text += f'[[entry]]\nurl = "{host}media/clip.flv"\nfile = "media/clip.flv"\n'
        text += extra
        path = os.path.join(self.dir, name + ".toml")
        with open(path, "w") as f:
            f.write(text)
        return path

    def pack(self, name, mode, **kw):
        exe = os.path.join(self.dir, name + ".exe")
        subprocess.run([ARGS.pack, "build", "-o", exe, self.manifest(name, mode, **kw)],
                       check=True, stdout=subprocess.DEVNULL)
        return exe


def run_pack(*args, timeout=60):
    env = dict(os.environ, TMPDIR=FIX.tmp)
    return subprocess.run([ARGS.pack, *args], capture_output=True, text=True, timeout=timeout, env=env)


class Serve(unittest.TestCase):
    """The server answers proxy requests byte-exact by the player's rules."""

    @classmethod
    def setUpClass(cls):
        posts = (f'[[entry]]\nurl = "{HOST}ask.php"\npost_body = "q=a"\nfile = "post-a.xml"\n'
                 f'[[entry]]\nurl = "{HOST}ask.php"\npost_body = "q=b"\nfile = "post-b.xml"\n'
                 f'[[entry]]\nurl = "{HOST}list.php?page=1"\nfile = "post-a.xml"\n')
        cls.exe = FIX.pack("serve", "page-post", extra=posts)
        cls.proc = subprocess.Popen([ARGS.pack, "serve", cls.exe], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        first = cls.proc.stdout.readline()
        cls.port = int(first.split("127.0.0.1:")[1].split(" ")[0])

    @classmethod
    def tearDownClass(cls):
        cls.proc.send_signal(signal.SIGINT)
        cls.out, cls.err = cls.proc.communicate(timeout=20)

    def ask(self, method, url, body=None, host=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        c.request(method, url, body=body, headers={"Host": host} if host else {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data

    def test_answers(self):
        cases = [  # method, URL, body, status, answer
            ("GET", HOST + "movie.swf", None, 200, FIX.swf),
            ("GET", "HTTP://EXAMPLE.test/site/media/clip.flv", None, 200, FIX.flv),  # letter case
            ("GET", HOST + "list.php?page=2", None, 200, b"<answer>a</answer>"),  # best match
            ("POST", HOST + "ask.php", b"q=b", 200, b"<answer>b</answer>"),  # POST key
            ("POST", HOST + "ask.php", b"q=zzz", 200, b"<answer>a</answer>"),  # plain pass
            ("GET", "http://other.test/media/clip.flv", None, 404, None),
            ("GET", HOST + "missing.xml", None, 404, None),
            # As a transparent proxy: the URL from the Host header.
            ("GET", "/site/movie.swf", None, 200, FIX.swf, "example.test"),
            # The server opened itself: how to use it.
            ("GET", "/", None, 200, b"This is a Tessivo package server. Set your browser's HTTP proxy to "
             b"127.0.0.1:%d and open %stessivo-start.html\n" % (self.port, HOST.encode()), "127.0.0.1:%d" % self.port),
        ]
        for method, url, body, status, answer, *host in cases:
            with self.subTest(url=url, body=body, host=host):
                got_status, data = self.ask(method, url, body, *host)
                self.assertEqual(got_status, status)
                if answer is not None:
                    self.assertEqual(crc(data), crc(answer))
                    self.assertEqual(data, answer)

    def test_limits(self):
        status, _ = self.ask("POST", HOST + "ask.php", b"x" * (1024 * 1024 + 1))
        self.assertEqual(status, 413)
        # A second server on the same port is refused with the port named.
        r = run_pack("serve", self.exe, "--port", str(self.port))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(f"127.0.0.1:{self.port}", r.stderr)

    def test_zz_misses_reported(self):
        self.ask("GET", HOST + "never.png")
        time.sleep(0.2)
        self.proc.send_signal(signal.SIGINT)
        out, err = self.proc.communicate(timeout=20)
        type(self).proc = subprocess.Popen(["true"])
        self.assertIn("not in the package: " + HOST + "never.png", err)
        self.assertIn(f"GET {HOST}movie.swf -> entry 0, {len(FIX.swf)} bytes, crc32 {crc(FIX.swf)}", out)


class Preview(unittest.TestCase):
    """The real movie in Ruffle: what it asks for, and the answers."""

    def preview(self, exe, *more, seconds=8, timeout=60):
        start = time.monotonic()
        r = run_pack("preview", exe, "--seconds", str(seconds), "--json", *more, timeout=timeout)
        self.assertLess(time.monotonic() - start, seconds + 10)
        self.assertEqual(os.listdir(FIX.tmp), [], "the browser profile was left behind")
        return r

    def test_both_page_modes(self):
        # https is answered through the browser's DevTools, http through the proxy.
        for mode, host in (("page", HOST), ("page-post", HOST.replace("http:", "https:"))):
            with self.subTest(mode=mode, host=host):
                shot = os.path.join(FIX.dir, mode + ".png")
                r = self.preview(FIX.pack("movie-" + mode, mode, host=host), "--screenshot", shot, "--strict")
                self.assertEqual(r.returncode, 0, r.stderr)
                out = json.loads(r.stdout)
                got = [(q["url"], q["entry"], q["bytes"], q["crc32"]) for q in out["requests"]]
                # The FlashVars name media/clip.flv; Ruffle resolves it against the
                # movie's URL (Ruffle behaviour, as Flash Player does for FLV).
                self.assertEqual(got, [(host + "movie.swf", 0, len(FIX.swf), crc(FIX.swf)),
                                       (host + "media/clip.flv", 1, len(FIX.flv), crc(FIX.flv))])
                self.assertIsNotNone(out["first_frame_ms"])
                with open(shot, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_missing_file_named(self):
        r = self.preview(FIX.pack("no-flv", "page", with_flv=False), "--strict")
        self.assertEqual(r.returncode, 1)
        self.assertIn("not in the package: " + HOST + "media/clip.flv", r.stderr)
        out = json.loads(r.stdout)
        self.assertEqual([q["entry"] for q in out["requests"]], [0, -1])

    def test_audit_run(self):
        exe = FIX.pack("audit", "page", with_flv=False)
        # The static audit of this AVM2 movie: no namespace or package names.
        r = run_pack("audit", exe, "--json")
        texts = [q["text"] for s in json.loads(r.stdout)["sources"] for q in s["requests"]]
        self.assertEqual(texts, ["http://www.dailymotion.com"])
        r = run_pack("audit", exe, "--run", "--seconds", "8", "--json", "--strict", timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("not answered: " + HOST + "media/clip.flv", r.stderr)
        got = [(q["url"], q["found_in_movie"], q["asked_at_run_time"], q["entry"])
               for q in json.loads(r.stdout)["requests"]]
        self.assertEqual(got, [(HOST + "movie.swf", False, True, 0),
                               (HOST + "media/clip.flv", False, True, -1),
                               ("http://www.dailymotion.com", True, False, -1)])

    def test_request_flood_is_capped(self):
        # A movie made here by haxe at test time that asks for 1,200 files at once.
        src = os.path.join(FIX.dir, "Main.hx")
        with open(src, "w") as f:
            f.write("class Main { static function main() { for (i in 0...1200) {\n"
                    "  var l = new flash.net.URLLoader();\n"
                    "  l.addEventListener(flash.events.IOErrorEvent.IO_ERROR, function(_) {});\n"
                    "  l.load(new flash.net.URLRequest('loop/' + i + '.xml')); } } }\n")
        swf = os.path.join(FIX.dir, "loop.swf")
        subprocess.run(["haxe", "-cp", FIX.dir, "--main", "Main", "--swf", swf, "--swf-version", "10",
                        "--swf-header", "200:100:30:336699"], check=True)
        manifest = os.path.join(FIX.dir, "loop.toml")
        with open(manifest, "w") as f:
            f.write(f'mode = "page"\n[[entry]]\nurl = "{HOST}loop.swf"\n'
                    'content_type = "application/x-shockwave-flash"\nfile = "loop.swf"\n')
        # Long enough for all 1,200 on a busy machine.
        r = self.preview(manifest, seconds=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = json.loads(r.stdout)
        self.assertEqual((len(out["requests"]), out["unlisted"], out["unanswered"]), (1000, 201, 1200))

    def test_video_mode_scripting(self):
        # The start page calls the player movie's four callbacks in the
        # player's order and with its values; this movie notes each call as a
        # request under log/ before it loads the skin and plays the video.
        swf = os.path.join(FIX.dir, "video-player.swf")
        subprocess.run(["haxe", "-cp", os.path.dirname(os.path.abspath(__file__)), "--main", "VideoPlayer",
                        "--swf", swf, "--swf-version", "10", "--swf-header", "320:240:30:000000"], check=True)
        manifest = os.path.join(FIX.dir, "video.toml")
        with open(manifest, "w") as f:
            f.write('mode = "video"\nwidth = 320\nheight = 240\n[video]\n'
                    f'player = "{swf}"\nskin = "{swf}"\nflv = "{FIX.flv_path}"\n')
        r = self.preview(manifest)
        self.assertEqual(r.returncode, 0, r.stderr)
        host = "http://tessivo.invalid/"
        got = [(q["url"], q["entry"]) for q in json.loads(r.stdout)["requests"]]
        self.assertEqual(got, [(host + "vyo.swf", 0), (host + "log/volume-100", -1), (host + "log/skin", -1),
                               (host + "vyos.swf", 1), (host + "log/video", -1), (host + "log/play", -1),
                               (host + "vyo.flv", 2)])

    def test_bad_input(self):
        exe = FIX.pack("bad-input", "page")
        relative = FIX.pack("relative", "page", host="")
        cases = [  # arguments, exit code, text in stderr
            ([FIX.flv_path], 1, FIX.flv_path),
            ([relative], 1, 'not an http or https URL, which a browser page needs: "movie.swf"'),
            ([exe, "--chromium", "/nonexistent/chromium"], 1, "/nonexistent/chromium"),
            ([exe, "--ruffle", FIX.dir], 1, "ruffle.js"),
            ([exe, "--seconds", "0"], 2, "--seconds"),
            ([exe, "--port", "99999"], 2, "--port"),
        ]
        for args, code, text in cases:
            with self.subTest(args=args):
                r = self.preview(*args, timeout=30)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(text, r.stderr)

    def test_interrupt_leaves_nothing(self):
        env = dict(os.environ, TMPDIR=FIX.tmp)
        p = subprocess.Popen([ARGS.pack, "preview", FIX.pack("interrupt", "page"), "--seconds", "60"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        time.sleep(4)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=15)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"interrupted", err)
        self.assertEqual(os.listdir(FIX.tmp), [])
        left = subprocess.run(["pgrep", "-f", FIX.tmp], capture_output=True, text=True).stdout
        self.assertEqual(left, "", "browser processes left running")


class BrowserMode(unittest.TestCase):
    """A player's page and Ruffle as the player serves them to its user's
    browser (pack serve --browser-mode), in Chromium with no host but
    127.0.0.1 resolvable."""

    def serve(self, exe):
        proc = subprocess.Popen([ARGS.pack, "serve", exe, "--browser-mode"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

        def stop():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stdout.close()
            proc.stderr.close()
        self.addCleanup(stop)
        proc.stdout.readline()
        url = proc.stdout.readline().split("Open ")[1].strip()
        return proc, url

    def browse(self, exe, done, before=None, timeout=60):
        """Opens the player's page; returns the served lines (method, URL,
        entry, bytes, CRC) and the misses once done(lines) holds."""
        proc, url = self.serve(exe)
        if before:
            before(url)
        profile = tempfile.mkdtemp(prefix="browser-mode-", dir=FIX.dir)
        chromium = subprocess.Popen(
            [os.environ.get("TESSIVO_CHROMIUM", "chromium"), "--headless=new", "--no-sandbox", "--disable-gpu",
             "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--user-data-dir=" + profile,
             "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--autoplay-policy=no-user-gesture-required", "--disable-popup-blocking", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        lines = []
        arrived = queue.Queue()
        threading.Thread(target=lambda: [arrived.put(line.strip()) for line in proc.stdout], daemon=True).start()
        try:
            deadline = time.monotonic() + timeout
            while not done(lines) and time.monotonic() < deadline:
                try:
                    lines.append(arrived.get(timeout=0.2))
                except queue.Empty:
                    pass
        finally:
            os.killpg(chromium.pid, signal.SIGKILL)
            chromium.wait()
            proc.send_signal(signal.SIGINT)
            err = proc.stderr.read()
            proc.wait(timeout=20)
            shutil.rmtree(profile, ignore_errors=True)
        served = []
        for line in lines:
            if " -> entry " in line:
                head, tail = line.split(" -> entry ")
                method, url_ = head.split(" ", 1)
                entry, size, _, _, checksum = tail.replace(",", "").split(" ")
                served.append((method, url_, int(entry), int(size), checksum))
        misses = [line.split("not in the package: ")[1] for line in err.splitlines()
                  if line.startswith("not in the package: ")]
        return lines, served, misses

    def test_sample_answers_as_under_preview(self):
        # The sample, with a decoy answer for its POST's URL before the real
        # one: only the request's body tells them apart.
        folder = os.path.dirname(os.path.abspath(ARGS.sample))
        with open(ARGS.sample) as f:
            text = f.read().replace('file = "', 'file = "' + folder + "/")
        post = '[[entry]]\nurl = "http://sample.tessivo.test/site/score.php"\n'
        self.assertIn(post, text)
        decoy = post + 'post_body = "player=nobody"\ncontent_type = "text/xml"\nfile = "%s/config.xml"\n\n' % folder
        manifest = os.path.join(FIX.dir, "intro.toml")
        with open(manifest, "w") as f:
            f.write(text.replace(post, decoy + post))
        exe = os.path.join(FIX.dir, "intro.exe")
        subprocess.run([ARGS.pack, "build", "-o", exe, manifest], check=True, stdout=subprocess.DEVNULL)
        r = run_pack("preview", exe, "--seconds", "8", "--json", timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = [(q["method"], q["url"], q["entry"], q["bytes"], q["crc32"])
                    for q in json.loads(r.stdout)["requests"]]
        want_served = sorted(q for q in expected if q[2] >= 0)
        want_missed = sorted(q[1] for q in expected if q[2] < 0)
        self.assertIn(("POST", "http://sample.tessivo.test/site/score.php", 4),
                      [q[:3] for q in want_served])
        got = {}

        def done(lines):
            got["served"] = [line for line in lines if " -> entry " in line]
            return "first frame" in lines and len(got["served"]) >= len(want_served)
        lines, served, misses = self.browse(exe, done)
        self.assertIn("first frame", lines)
        self.assertEqual(sorted(served), want_served)
        self.assertEqual(sorted(set(misses) & set(want_missed)), sorted(set(misses)))

    def test_compiled_movie_and_its_video(self):
        exe = FIX.pack("browser-movie", "page")
        _, served, misses = self.browse(exe, lambda lines: sum(" -> entry " in line for line in lines) >= 2)
        self.assertEqual(served, [("GET", HOST + "movie.swf", 0, len(FIX.swf), crc(FIX.swf)),
                                  ("GET", HOST + "media/clip.flv", 1, len(FIX.flv), crc(FIX.flv))])
        self.assertEqual(misses, [])

    def test_video_package(self):
        # The page asks the player for the saved volume, calls the player
        # movie's four callbacks with it, and saves what the movie's
        # fscommand "volume" sends.
        swf = os.path.join(FIX.dir, "video-player.swf")
        subprocess.run(["haxe", "-cp", os.path.dirname(os.path.abspath(__file__)), "--main", "VideoPlayer",
                        "--swf", swf, "--swf-version", "10", "--swf-header", "320:240:30:000000"], check=True)
        exe = os.path.join(FIX.dir, "browser-video.exe")
        subprocess.run([ARGS.pack, "video", FIX.flv_path, "-o", exe, "--player", swf, "--skin", swf],
                       check=True, stdout=subprocess.DEVNULL)
        saved = {}

        def save_volume(url):
            saved["url"] = url
            self.assertEqual(self.ask(url, "POST", "volume", b"37")[0], 204)

        def done(lines):
            return (any(line.startswith("GET http://tessivo.invalid/vyo.flv") for line in lines)
                    and self.ask(saved["url"], "GET", "volume")[1] == b"55")
        _, served, misses = self.browse(exe, done, before=save_volume)
        host = "http://tessivo.invalid/"
        self.assertEqual([q[1:3] for q in served], [(host + "vyo.swf", 0), (host + "vyos.swf", 1),
                                                    (host + "vyo.flv", 2)])
        self.assertEqual(served[2][3:], (len(FIX.flv), crc(FIX.flv)))
        self.assertEqual(misses, [host + "log/volume-37", host + "log/skin", host + "log/video", host + "log/play"])

    def test_navigation_goes_to_the_player(self):
        # navigateToURL, GET and POST, made by haxe here: each opens the
        # package's answer in a new window; the POST is told by its body.
        src = os.path.join(FIX.dir, "Nav.hx")
        with open(src, "w") as f:
            f.write("class Nav { static function main() {\n"
                    "  flash.Lib.getURL(new flash.net.URLRequest('page.html?a=1'), '_blank');\n"
                    "  var r = new flash.net.URLRequest('form.php');\n"
                    "  r.method = flash.net.URLRequestMethod.POST;\n"
                    "  r.data = new flash.net.URLVariables('name=guest');\n"
                    "  flash.Lib.getURL(r, '_self'); } }\n")
        swf = os.path.join(FIX.dir, "nav.swf")
        subprocess.run(["haxe", "-cp", FIX.dir, "--main", "Nav", "--swf", swf, "--swf-version", "10",
                        "--swf-header", "200:100:30:336699"], check=True)
        manifest = os.path.join(FIX.dir, "nav.toml")
        with open(manifest, "w") as f:
            f.write(f'mode = "page-post"\n[[entry]]\nurl = "{HOST}nav.swf"\nfile = "nav.swf"\n'
                    f'content_type = "application/x-shockwave-flash"\n'
                    f'[[entry]]\nurl = "{HOST}page.html?a=1"\nfile = "post-a.xml"\ncontent_type = "text/xml"\n'
                    f'[[entry]]\nurl = "{HOST}form.php"\npost_body = "other=1"\nfile = "post-a.xml"\n'
                    f'content_type = "text/xml"\n'
                    f'[[entry]]\nurl = "{HOST}form.php"\npost_body = "name=guest"\nfile = "post-b.xml"\n'
                    f'content_type = "text/xml"\n')
        exe = os.path.join(FIX.dir, "nav.exe")
        subprocess.run([ARGS.pack, "build", "-o", exe, manifest], check=True, stdout=subprocess.DEVNULL)
        _, served, _ = self.browse(exe, lambda lines: sum(" -> entry " in line for line in lines) >= 3)
        self.assertEqual(sorted(q[:3] for q in served), [("GET", HOST + "nav.swf", 0),
                                                        ("GET", HOST + "page.html?a=1", 1),
                                                        ("POST", HOST + "form.php", 3)])

    def ask(self, url, method, path, body=None, headers=None):
        port = int(url.split(":")[2].split("/")[0])
        token = url.split("/")[3]
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request(method, path if path.startswith("/") else "/" + token + "/" + path, body=body,
                  headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data, r

    def test_files_and_refusals(self):
        proc, url = self.serve(FIX.pack("browser-refusals", "page"))
        ruffle = os.path.join(ARGS.npm, "@ruffle-rs", "ruffle")
        with open(os.path.join(ruffle, "ruffle.js"), "rb") as f:
            ruffle_js = f.read()
        with open(os.path.join(ruffle, "LICENSE_MIT"), "rb") as f:
            mit = f.read()
        port = url.split(":")[2].split("/")[0]
        br = {"Accept-Encoding": "gzip, deflate, br"}
        cases = [  # method, path, headers, status
            ("GET", "", {}, 200),
            ("GET", "ruffle.js", br, 200),
            ("GET", "LICENSE_MIT", {}, 200),
            ("GET", "ruffle.js", {"Accept-Encoding": "gzip"}, 406),
            ("GET", "", {"Host": "evil.example:" + port}, 421),
            ("GET", "", {"Sec-Fetch-Site": "cross-site"}, 403),
            ("GET", "", {"Sec-Fetch-Site": "same-site"}, 403),
            ("PUT", "", {}, 405),
            ("GET", "/movie.swf", {}, 404),
            ("GET", "/" + "0" * 32 + "/", {}, 404),
            ("GET", ".hidden", {}, 404),
            ("GET", "req?" + urllib.parse.quote(HOST + "movie.swf", safe=""), {"Sec-Fetch-Site": "same-origin"}, 200),
        ]
        for method, path, headers, status in cases:
            with self.subTest(method=method, path=path, headers=headers):
                got, data, r = self.ask(url, method, path, None, headers)
                self.assertEqual(got, status, data[:200])
                self.assertIsNone(r.getheader("Access-Control-Allow-Origin"))
                if path == "ruffle.js" and status == 200:
                    self.assertEqual(r.getheader("Content-Encoding"), "br")
                    self.assertEqual(subprocess.run(["brotli", "-d", "-c"], input=data, capture_output=True,
                                                    check=True).stdout, ruffle_js)
                if path == "LICENSE_MIT":
                    self.assertEqual(data, mit)
                if path == "":
                    if status == 200:
                        self.assertEqual(r.getheader("X-Frame-Options"), "DENY")
                if path.startswith("req?"):
                    self.assertEqual(data, FIX.swf)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=20)


def main():
    global ARGS, FIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--npm", required=True)
    parser.add_argument("--sample", required=True)
    ARGS, rest = parser.parse_known_args()
    FIX = Fixture()
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
    finally:
        shutil.rmtree(FIX.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
