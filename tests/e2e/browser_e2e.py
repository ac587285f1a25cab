#!/usr/bin/env python3
"""Browser mode end to end: players without a usable Flash control, run under
Wine, serving their package to Debian's headless Chromium, which plays it in
Ruffle. Wine opens the start page through winebrowser, which runs the program
named by HKCU\\Software\\Wine\\WineBrowser "Browsers": here a script that
records the URL. What the browser got is read from its own network log.

    browser_e2e.py --stub STUB.exe --tools BUILD/tests --pack "PACK" --prefix DIR
"""
import base64
import http.client
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

import suite
from player_e2e import Run, read_png

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
ARGS = None
SAMPLES = None
SITE = "http://sample.tessivo.test/site/"
NOT_INSTALLED = 'caption="Tessivo Error" text="Adobe Flash Player is not installed"'


def wait_for(condition, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


def net_requests(path):
    """Each request in Chromium's network log: url, method, status, body, and
    done once the whole answer was read."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    try:
        log = json.loads(text)
    except ValueError:
        # Still being written: one event a line.
        cut = text.rfind("},\n")
        try:
            log = json.loads(text[:cut + 1] + "]}")
        except ValueError:
            return []
    names = {v: k for k, v in log["constants"]["logEventTypes"].items()}
    out = {}
    for e in log.get("events", []):
        kind, sid, p = names.get(e["type"]), e["source"]["id"], e.get("params", {})
        if kind == "URL_REQUEST_START_JOB" and "url" in p:
            out.setdefault(sid, {"body": b"", "status": None, "done": False}).update(url=p["url"],
                                                                      method=p.get("method"))
        elif sid in out and kind == "HTTP_TRANSACTION_READ_RESPONSE_HEADERS":
            out[sid]["status"] = int(p["headers"][0].split()[1])
        elif sid in out and kind == "URL_REQUEST_JOB_FILTERED_BYTES_READ" and "bytes" in p:
            out[sid]["body"] += base64.b64decode(p["bytes"])
        elif sid in out and kind == "REQUEST_ALIVE" and e.get("phase") == 2:
            out[sid]["done"] = True
    return list(out.values())


def forwarded(requests, url):
    """The answers the page's forwarding got for a movie's request of url."""
    q = "req?" + urllib.parse.quote(url, safe="-_.!~*'()")
    return [r for r in requests if r.get("url", "").endswith(q)]


class Chromium:
    """Headless Chromium on one URL, with its network log and a DevTools
    pipe for screenshots."""

    def __init__(self, url, workdir, size=(640, 480)):
        self.log = os.path.join(workdir, "net.json")
        self.profile = tempfile.mkdtemp(dir=workdir)
        # The DevTools pipe: Chromium reads fd 3 and writes fd 4.
        to_read, self.to_write = os.pipe()
        self.from_read, from_write = os.pipe()

        def pipes():
            a, b = os.dup(to_read), os.dup(from_write)
            os.dup2(a, 3)
            os.dup2(b, 4)
        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
             "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + self.profile,
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--mute-audio", "--log-net-log=" + self.log,
             "--net-log-capture-mode=Everything", "--remote-debugging-pipe",
             f"--window-size={size[0]},{size[1]}", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
            preexec_fn=pipes, close_fds=False)
        os.close(to_read)
        os.close(from_write)
        self.pending = b""
        self.next_id = 0
        self.size = size

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_write, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.pending:
                chunk = os.read(self.from_read, 1 << 20)
                if not chunk:
                    raise AssertionError("chromium closed its DevTools pipe")
                self.pending += chunk
            text, self.pending = self.pending.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError(f"{method}: {reply['error']}")
                return reply["result"]

    def screenshot(self, path):
        pages = [t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
        session = self.call("Target.attachToTarget", {"targetId": pages[0]["targetId"],
                                                      "flatten": True})["sessionId"]
        # The window's own frame takes part of its size: the page gets the
        # movie's whole size to draw in.
        self.call("Emulation.setDeviceMetricsOverride", {"width": self.size[0],
                  "height": self.size[1], "deviceScaleFactor": 1, "mobile": False}, session)
        data = self.call("Page.captureScreenshot", {"format": "png"}, session)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def requests(self):
        return net_requests(self.log)

    def stop(self):
        for fd in (self.to_write, self.from_read):
            try:
                os.close(fd)
            except OSError:
                pass
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


class Player:
    """A player run under run-player that lasts until finish()."""

    def __init__(self, test, exe, options, late=()):
        self.dir = test.dir
        self.urls = os.path.join(self.dir, "urls.txt")
        self.done = os.path.join(self.dir, "done")
        for f in (self.urls, self.done):
            if os.path.exists(f):
                os.remove(f)
        recorder = os.path.join(self.dir, "record-url")
        with open(recorder, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$*" >> {shlex.quote(self.urls)}\n')
        os.chmod(recorder, 0o755)
        subprocess.run([os.path.join(REPO, "scripts", "wine-run"), ARGS.prefix, "reg", "add",
                        "HKCU\\Software\\Wine\\WineBrowser", "/v", "Browsers", "/d", recorder,
                        "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.process = subprocess.Popen(
            [os.path.join(HERE, "run-player"), exe, "--tools", ARGS.tools, "--prefix",
             ARGS.prefix, "--timeout", "90"] + list(options) + ["--wait-file", self.done]
            + list(late),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def url(self):
        def recorded():
            if os.path.exists(self.urls):
                with open(self.urls) as f:
                    lines = f.read().split()
                return lines[0] if lines else None
            return None
        return wait_for(recorded, 90, "the player to open its start page")

    def recorded_urls(self):
        if not os.path.exists(self.urls):
            return []
        with open(self.urls) as f:
            return f.read().split()

    def finish(self):
        open(self.done, "w").close()
        out, _ = self.process.communicate(timeout=180)
        return Run(out)


def raw(port, data, host=None, read=True):
    """Sends data as is; returns the answer's status and the whole answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(data)
        if not read:
            return None, b""
        answer = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            answer += chunk
    status = int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/1.1 ") else None
    return status, answer


def request(port, token, path, method="GET", headers=(), body=b"", host=None):
    head = f"{method} /{token}/{path} HTTP/1.1\r\nHost: {host or f'127.0.0.1:{port}'}\r\n"
    head += "Connection: close\r\n"
    for h in headers:
        head += h + "\r\n"
    if body or method == "POST":
        head += f"Content-Length: {len(body)}\r\n"
    return raw(port, head.encode() + b"\r\n" + body)


def body_of(answer):
    return answer.split(b"\r\n\r\n", 1)[1]


class BrowserTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def pack(self, manifest, name="movie.exe", options=()):
        out = os.path.join(self.dir, name)
        subprocess.run(shlex.split(ARGS.pack) + ["build", "--stub", ARGS.stub, "-o", out, manifest]
                       + list(options), check=True, stdout=subprocess.DEVNULL)
        return out

    def browse(self, exe, urls, late=()):
        """Plays exe in Chromium until every URL in urls was answered to the
        movie and its first frame showed; the browser's requests, the run,
        the port. late: run-player actions once the browser is done."""
        player = Player(self, exe, ["--progid", "none"], late)
        url = player.url()
        browser = Chromium(url, self.dir)
        try:
            def answered():
                got = browser.requests()
                # Answered whole: a long body is still arriving after its status.
                done = all(forwarded(got, u) and forwarded(got, u)[-1]["done"] for u in urls)
                return got if done and any(r.get("url", "").endswith("/first-frame")
                                           for r in got) else None
            got = wait_for(answered, 120, "the movie's requests in the browser")
        finally:
            browser.stop()
            run = player.finish()
        return got, run, urllib.parse.urlsplit(url).port

    def sample(self, runtime=True):
        return self.pack(os.path.join(SAMPLES, "intro", "manifest.toml"), "intro.exe",
                         [] if runtime else ["--no-browser"])

    def sample_file(self, name):
        with open(os.path.join(SAMPLES, "intro", name), "rb") as f:
            return f.read()

    def test_sample_plays_in_the_browser(self):
        shot = os.path.join(self.dir, "window.png")
        got, run, port = self.browse(self.sample(), [SITE + n for n in (
            "config.xml", "swf/gallery.swf", "score.php", "missing.png")], ["--capture", shot])
        for name, method, status, body in [
                ("config.xml", "GET", 200, self.sample_file("config.xml")),
                ("swf/gallery.swf", "GET", 200, self.sample_file("gallery.swf")),
                ("score.php", "POST", 200, self.sample_file("score.xml")),
                ("missing.png", "GET", 404, b"")]:
            with self.subTest(name):
                r = forwarded(got, SITE + name)[-1]
                self.assertEqual((r["method"], r["status"], r["body"]), (method, status, body))
        first = run.runs[0]
        self.assertEqual(first["messages"], [])
        self.assertEqual(first["reports"][0]["title"], "intro - Tessivo")
        self.assertIn("debug: Tessivo: not in the package: " + SITE + "missing.png", run.text)
        self.assertEqual(first["exit"], "0")
        # The window says where the movie plays, in light text on black.
        width, height, pixel = read_png(shot)
        lit = sum(1 for y in range(0, min(height, 140)) for x in range(0, min(width, 400))
                  if min(pixel(x, y)) > 160)
        self.assertGreater(lit, 200)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()

    def test_requests_and_refusals(self):
        manifest = os.path.join(self.dir, "keyed.toml")
        for name, text in [("movie.swf", b"FWS\x0a" + bytes(28)), ("a.xml", b"<a/>"),
                           ("b.xml", b"<b/>")]:
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(text)
        with open(manifest, "w") as f:
            f.write('mode = "page-post"\nwidth = 320\nheight = 240\n'
                    '[[entry]]\nurl = "http://k.test/movie.swf"\nfile = "movie.swf"\n'
                    'content_type = "application/x-shockwave-flash"\n'
                    '[[entry]]\nurl = "http://k.test/q.php"\npost_body = "x=1"\nfile = "a.xml"\n'
                    'content_type = "text/xml"\n'
                    '[[entry]]\nurl = "http://k.test/q.php"\npost_body = "x=2"\nfile = "b.xml"\n'
                    'content_type = "text/xml"\n')
        exe = self.pack(manifest)
        player = Player(self, exe, ["--progid", "none", "--setting", "svol=40"])
        url = player.url()
        port = urllib.parse.urlsplit(url).port
        token = urllib.parse.urlsplit(url).path.strip("/")
        q = "req?" + urllib.parse.quote("http://k.test/q.php", safe="")
        try:
            cases = [
                # name, path, method, headers, body, status, answer body (None: not compared)
                ("page", "", "GET", [], b"", 200, None),
                ("POST keyed by its body", q, "POST", [], b"x=2", 200, b"<b/>"),
                ("the other body", q, "POST", [], b"x=1", 200, b"<a/>"),
                ("a body no entry has", q, "POST", [], b"x=3", 200, b"<a/>"),
                ("HEAD has no body", q, "HEAD", [], b"", 200, b""),
                ("miss", "req?" + urllib.parse.quote("http://k.test/none.png", safe=""), "GET",
                 [], b"", 404, b""),
                ("saved volume", "volume", "GET", [], b"", 200, b"40"),
                ("volume saved", "volume", "POST", [], b"75", 204, b""),
                ("volume read back", "volume", "GET", [], b"", 200, b"75"),
                ("coding not accepted", "ruffle.js", "GET", ["Accept-Encoding: gzip"], b"", 406,
                 None),
                ("coding accepted", "ruffle.js", "GET", ["Accept-Encoding: gzip, br"], b"", 200,
                 None),
                ("other site", "", "GET", ["Sec-Fetch-Site: cross-site"], b"", 403, None),
                ("same site is not same origin", "", "GET", ["Sec-Fetch-Site: same-site"], b"",
                 403, None),
                ("page opened by hand", "", "GET", ["Sec-Fetch-Site: none"], b"", 200, None),
                ("method", "", "PUT", [], b"", 405, None),
                ("dot file", ".hidden", "GET", [], b"", 404, None),
                ("unknown file", "nothing.js", "GET", [], b"", 404, None),
            ]
            for name, path, method, headers, body, status, want in cases:
                with self.subTest(name):
                    got, answer = request(port, token, path, method, headers, body)
                    self.assertEqual(got, status, answer[:300])
                    if want is not None:
                        self.assertEqual(body_of(answer), want)
                    self.assertNotIn(b"access-control", answer.lower())
            with self.subTest("page headers"):
                _, answer = request(port, token, "")
                self.assertIn(b"X-Frame-Options: DENY", answer)
                self.assertIn(b"Cache-Control: no-store", answer)
            with self.subTest("rebinding name"):
                self.assertEqual(request(port, token, "", host=f"evil.example:{port}")[0], 421)
            with self.subTest("no Host"):
                self.assertEqual(raw(port, f"GET /{token}/ HTTP/1.1\r\n\r\n".encode())[0], 421)
            with self.subTest("outside the token"):
                self.assertEqual(raw(port, f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n"
                                     .encode())[0], 404)
                self.assertEqual(request(port, "0" * 32, "")[0], 404)
            with self.subTest("head too large"):
                big = f"GET /{token}/ HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX: {'a' * 17000}\r\n\r\n"
                self.assertEqual(raw(port, big.encode())[0], 431)
            with self.subTest("body too large"):
                head = (f"POST /{token}/{q} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                        f"Content-Length: {16 * 1024 * 1024 + 1}\r\n\r\n")
                self.assertEqual(raw(port, head.encode())[0], 413)
            with self.subTest("keep-alive"):
                one = f"GET /{token}/volume HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n"
                status, answer = raw(port, (one + one.replace("\r\n\r\n", "\r\nConnection: close"
                                                                          "\r\n\r\n")).encode())
                self.assertEqual(answer.count(b"HTTP/1.1 200"), 2)
            with self.subTest("connections the browser closes"):
                # A closed connection's handle comes back for the next one.
                def one_each(answers):
                    for _ in range(25):
                        c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
                        try:
                            c.request("GET", f"/{token}/volume")
                            answers.append(c.getresponse().status)
                        except OSError as e:
                            answers.append(repr(e))
                        c.close()
                answers = [[] for _ in range(4)]
                threads = [threading.Thread(target=one_each, args=(a,)) for a in answers]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                self.assertEqual(answers, [[200] * 25] * 4)
            with self.subTest("connections are bounded"):
                held = [socket.create_connection(("127.0.0.1", port), timeout=20)
                        for _ in range(32)]
                try:
                    # Every held one is served; the next is closed at once.
                    extra = socket.create_connection(("127.0.0.1", port), timeout=20)
                    try:
                        self.assertEqual(extra.recv(100), b"")
                    except ConnectionResetError:
                        pass
                    extra.close()
                    held[0].sendall(f"GET /{token}/volume HTTP/1.1\r\nHost: 127.0.0.1:{port}"
                                    "\r\n\r\n".encode())
                    self.assertTrue(held[0].recv(100).startswith(b"HTTP/1.1 200"))
                finally:
                    for s in held:
                        s.close()
                wait_for(lambda: request(port, token, "volume")[0] == 200, 20,
                         "a connection once the others closed")
        finally:
            run = player.finish()
        self.assertEqual(run.runs[0]["exit"], "0")
        self.assertEqual(run.settings["svol"], "75")

    def flv(self, name, audio=True):
        path = os.path.join(self.dir, name)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=10:duration=2"]
                       + (["-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-c:a",
                           "adpcm_swf", "-ar", "22050"] if audio else ["-an"])
                       + ["-c:v", "flv1", path], check=True)
        with open(path, "rb") as f:
            return path, f.read()

    def test_video_and_a_movie_made_elsewhere(self):
        with self.subTest("video player"):
            flv_path, flv = self.flv("clip.flv")
            exe = os.path.join(self.dir, "video.exe")
            subprocess.run(shlex.split(ARGS.pack) + ["video", flv_path, "--stub", ARGS.stub,
                                                     "-o", exe],
                           check=True, stdout=subprocess.DEVNULL)
            host = "http://tessivo.invalid/"
            got, run, _ = self.browse(exe, [host + "vyo.swf", host + "vyos.swf", host + "vyo.flv"])
            # The skin and the video come only from the page's calls.
            for name in ("vyo.swf", "vyos.swf"):
                self.assertEqual(forwarded(got, host + name)[-1]["status"], 200)
            self.assertEqual(forwarded(got, host + "vyo.flv")[-1]["body"], flv)
            volume = [r for r in got if r.get("url", "").endswith("/volume")]
            self.assertEqual([(r["status"], r["body"]) for r in volume], [(200, b"100")])
            self.assertEqual(run.runs[0]["exit"], "0")
        with self.subTest("mediaelement"):
            npm = os.environ.get("TESSIVO_NPM_DIR", "/opt/tessivo-npm/node_modules")
            shutil.copy(os.path.join(npm, "mediaelement", "build", "flashmediaelement.swf"),
                        os.path.join(self.dir, "movie.swf"))
            os.makedirs(os.path.join(self.dir, "media"), exist_ok=True)
            flv_path, flv = self.flv(os.path.join("media", "clip.flv"), audio=False)
            manifest = os.path.join(self.dir, "me.toml")
            site = "http://example.test/site/"
            with open(manifest, "w") as f:
                f.write('mode = "page-post"\nflash_vars = "file=media/clip.flv&autoplay=true"\n'
                        'width = 480\nheight = 270\n'
                        f'[[entry]]\nurl = "{site}movie.swf"\nfile = "movie.swf"\n'
                        'content_type = "application/x-shockwave-flash"\n'
                        f'[[entry]]\nurl = "{site}media/clip.flv"\nfile = "media/clip.flv"\n'
                        'content_type = "video/x-flv"\n')
            got, run, _ = self.browse(self.pack(manifest, "me.exe"), [site + "media/clip.flv"])
            with open(os.path.join(self.dir, "movie.swf"), "rb") as f:
                self.assertEqual(forwarded(got, site + "movie.swf")[-1]["body"], f.read())
            # The FlashVars name media/clip.flv, which the movie resolves
            # against its own URL: the original one, not the player's.
            self.assertEqual(forwarded(got, site + "media/clip.flv")[-1]["body"], flv)
            self.assertEqual(run.runs[0]["exit"], "0")

    def test_when_the_browser_plays(self):
        cases = [
            # name, runtime, run-player options, start pages opened, messages
            ("no control", True, ["--progid", "none"], 1, []),
            ("no control, the older family", True, ["--progid", "none", "--win98"], 1, []),
            ("a control that cannot be created", True, ["--progid", "broken"], 1, []),
            ("a control older than the movie", True, ["--flash-version", "0x00080000"], 1, []),
            ("a control", True, [], 0, []),
            ("a control, started with --browser", True, ["--args", "--browser"], 1, []),
            ("a control, other arguments", True, ["--args", "--browserx -- browser"], 0, []),
            ("a control, then Play in Browser", True, ["--menu", "play-in-browser"], 1, []),
            ("Open in Browser once more", True, ["--progid", "none", "--menu", "open-in-browser"],
             2, []),
            ("no runtime, no control", False, ["--progid", "none"], 0, [NOT_INSTALLED]),
        ]
        for name, runtime, options, pages, messages in cases:
            with self.subTest(name):
                exe = self.sample(runtime)
                player = Player(self, exe, options + ["--timeout", "20"])
                if pages:
                    wait_for(lambda: len(player.recorded_urls()) >= pages, 60,
                             "the start page opened")
                run = player.finish()
                first = run.runs[0]
                self.assertEqual(first["messages"], messages)
                urls = player.recorded_urls()
                self.assertEqual(len(urls), pages)
                self.assertEqual(len(set(urls)), min(pages, 1))
                self.assertEqual(first["exit"], "-1" if messages else "0")


if __name__ == "__main__":
    import sys
    # The built samples' folder (build/*/samples), before the suite's own arguments.
    SAMPLES = sys.argv.pop(sys.argv.index("--samples") + 1)
    sys.argv.remove("--samples")
    suite.run(sys.modules[__name__])
