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
import socket
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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_of(data):
    """The status code of the first answer in data, or None."""
    line = data.split(b"\r\n", 1)[0].split(b" ")
    return int(line[1]) if len(line) > 1 and line[0].startswith(b"HTTP/") else None


def answers(data):
    """Each answer in data (Content-Length framed) as (status, headers, body)."""
    out = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        headers = {k.strip().lower().decode(): v.strip().decode()
                   for k, _, v in (l.partition(b":") for l in lines[1:])}
        n = int(headers.get("content-length", 0))
        out.append((status_of(head), headers, rest[:n]))
        data = rest[n:]
    return out


def exchange(port, data, expect=1, timeout=10):
    """Sends data on one connection and reads until expect answers came
    whole, or the server closed; the bytes read."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        got = b""
        while True:
            try:
                done = len(answers(got)) >= expect and all(
                    len(b) == int(h.get("content-length", 0)) for _, h, b in answers(got))
            except (ValueError, UnicodeDecodeError):
                done = False
            if got and done:
                return got
            b = s.recv(1 << 16)
            if not b:
                return got
            got += b


class Dripper(threading.Thread):
    """A client that sends a request one byte every half second, until the
    server closes the connection or limit seconds pass."""

    def __init__(self, port, limit=30):
        super().__init__(daemon=True)
        self.port, self.limit, self.closed_by_server = port, limit, None
        self.connected = threading.Event()

    def run(self):
        end = time.monotonic() + self.limit
        while True:
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=1)
                break
            except OSError:
                if time.monotonic() > end:
                    return
                time.sleep(0.05)
        self.connected.set()
        s.settimeout(0.5)
        text = b"GET " + HOST.encode() + b"movie.swf HTTP/1.1\r\n" + b"X-Slow: " + b"y" * 10000
        try:
            for b in text:
                if time.monotonic() > end:
                    self.closed_by_server = False
                    return
                s.send(bytes([b]))
                try:
                    if s.recv(4096) == b"":
                        break
                except socket.timeout:
                    pass
            self.closed_by_server = True
        except OSError:
            self.closed_by_server = True
        finally:
            s.close()


class Lines:
    """A process's output, read line by line as it comes."""

    def __init__(self, stream):
        self.lines, self.changed = [], threading.Condition()
        self.reader = threading.Thread(target=self.read, args=(stream,), daemon=True)
        self.reader.start()

    def read(self, stream):
        with stream:
            for line in stream:
                with self.changed:
                    self.lines.append(line)
                    self.changed.notify_all()

    def wait_for(self, text, timeout):
        """Until a line holds text (or timeout seconds pass: the caller's
        assertions then tell what is missing)."""
        with self.changed:
            self.changed.wait_for(lambda: any(text in line for line in self.lines), timeout)

    def text(self):
        self.reader.join(20)
        with self.changed:
            return "".join(self.lines)


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

    def ask(self, method, url, body=None, host=None, port=None):
        c = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=10)
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
            # Under another name than its own (a page whose name a resolver
            # points here, and which page-post's host rule would match): nothing.
            ("GET", "/site/movie.swf", None, 421, None, "rebound.example.test:%d" % self.port),
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

    def test_who_may_read(self):
        # Only the start page's own origin may read answers from a script.
        url = HOST.encode() + b"movie.swf"
        for origin, allowed in ((None, None), (b"http://rebound.example.test", None),
                                (b"http://example.test", "http://example.test")):
            with self.subTest(origin=origin):
                head = b"GET " + url + b" HTTP/1.1\r\nHost: example.test\r\n"
                if origin:
                    head += b"Origin: " + origin + b"\r\n"
                status, headers, body = answers(exchange(self.port, head + b"\r\n"))[0]
                self.assertEqual((status, body), (200, FIX.swf))
                self.assertEqual(headers.get("access-control-allow-origin"), allowed)

    def test_limits(self):
        status, _ = self.ask("POST", HOST + "ask.php", b"x" * (1024 * 1024 + 1))
        self.assertEqual(status, 413)
        # A second server on the same port is refused with the port named.
        r = run_pack("serve", self.exe, "--port", str(self.port))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(f"127.0.0.1:{self.port}", r.stderr)

    def test_misses_reported(self):
        # A server of its own, stopped once it has logged both requests.
        proc = subprocess.Popen([ARGS.pack, "serve", self.exe], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        port = int(proc.stdout.readline().split("127.0.0.1:")[1].split(" ")[0])
        out, err = Lines(proc.stdout), Lines(proc.stderr)
        try:
            self.ask("GET", HOST + "movie.swf", port=port)
            self.ask("GET", HOST + "never.png", port=port)
            served = f"GET {HOST}movie.swf -> entry 0, {len(FIX.swf)} bytes, crc32 {crc(FIX.swf)}"
            out.wait_for(served, 20)
            err.wait_for("not in the package: " + HOST + "never.png", 20)
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=20)
        self.assertIn("not in the package: " + HOST + "never.png", err.text())
        self.assertIn(served, out.text())


class Bounds(unittest.TestCase):
    """No request holds unbounded memory, time or the others' service."""

    BIG = 256 << 20

    @classmethod
    def setUpClass(cls):
        big = os.path.join(FIX.dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(cls.BIG)
        cls.manifest = FIX.manifest("bounds", "page", extra=(
            f'[[entry]]\nurl = "{HOST}big.bin"\nfile = "big.bin"\n'
            f'[[entry]]\nurl = "{HOST}small.xml"\nfile = "post-a.xml"\n'))
        cls.proc, cls.port = cls.serve()

    @classmethod
    def serve(cls):
        proc = subprocess.Popen([ARGS.pack, "serve", cls.manifest], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        port = int(proc.stdout.readline().split("127.0.0.1:")[1].split(" ")[0])
        def drain():
            with proc.stdout:
                proc.stdout.read()
        threading.Thread(target=drain, daemon=True).start()
        return proc, port

    @classmethod
    def tearDownClass(cls):
        cls.proc.kill()
        cls.proc.wait()

    def get(self, name, extra=b""):
        return b"GET " + HOST.encode() + name.encode() + b" HTTP/1.1\r\nHost: example.test\r\n" + extra + b"\r\n"

    def test_oversized_requests_refused_early(self):
        # Each is refused (or cut) by the server before it has all been sent.
        many = b"".join(b"X-%d: v\r\n" % i for i in range(200))
        cases = [  # name, bytes sent, the refusal
            ("endless request line", b"GET http://example.test/" + b"a" * (8 << 20), 414),
            ("megabytes of headers", self.get("small.xml", b"".join(b"X-%d: %s\r\n" % (i, b"v" * 60)
                                                                    for i in range(120000))), 431),
            ("too many headers", self.get("small.xml", many), 431),
        ]
        for name, data, code in cases:
            with self.subTest(name):
                with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
                    sent, got = 0, b""
                    try:
                        while sent < len(data):
                            sent += s.send(data[sent:sent + 65536])
                            s.settimeout(0)
                            try:
                                got += s.recv(4096)
                            except BlockingIOError:
                                pass
                            s.settimeout(15)
                            if got:
                                break
                        got += s.recv(4096)
                    except OSError:
                        pass
                self.assertTrue(status_of(got) == code or (not got and sent < len(data)),
                                f"{sent} of {len(data)} bytes sent, answer {got[:40]!r}")

    def test_ranges(self):
        small = b"<answer>a</answer>"
        cases = [  # Range, status, body, Content-Range
            ("bytes=0-3", 206, small[:4], "bytes 0-3/18"),
            ("bytes=-3", 206, small[-3:], "bytes 15-17/18"),
            ("bytes=5-", 206, small[5:], "bytes 5-17/18"),
            ("bytes=100-", 416, b"", "bytes */18"),
            # Several ranges: the whole entry, once.
            ("bytes=" + ",".join(["0-"] * 10), 200, small, None),
            ("bytes=" + ",".join(f"{i}-{i}" for i in range(1000)), 200, small, None),
        ]
        for rng, status, body, content_range in cases:
            with self.subTest(rng[:30]):
                got = answers(exchange(self.port, self.get("small.xml", b"Range: " + rng.encode() + b"\r\n")))
                self.assertEqual((got[0][0], got[0][2]), (status, body))
                self.assertEqual(got[0][1].get("content-range"), content_range)

    def test_big_entry_streamed(self):
        def peak():
            with open(f"/proc/{self.proc.pid}/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) * 1024
        before = peak()
        with socket.create_connection(("127.0.0.1", self.port), timeout=60) as s:
            s.sendall(self.get("big.bin", b"Connection: close\r\n"))
            data, crc_sum, n = b"", 0, 0
            while b"\r\n\r\n" not in data:
                data += s.recv(65536)
            head, _, body = data.partition(b"\r\n\r\n")
            while True:
                crc_sum, n = zlib.crc32(body, crc_sum), n + len(body)
                body = s.recv(1 << 20)
                if not body:
                    break
        self.assertEqual((status_of(head), n, crc_sum), (200, self.BIG, zlib.crc32(bytes(self.BIG))))
        # Read a piece at a time: its whole is never in memory.
        self.assertLess(peak() - before, self.BIG // 4)

    def test_many_slow_and_pipelined_clients(self):
        drippers = [Dripper(self.port) for _ in range(20)]
        for d in drippers:
            d.start()
        for d in drippers:
            d.connected.wait(10)
        # The others are answered meanwhile: 500 keep-alive connections,
        # and three requests sent at once on one of them.
        conns = [socket.create_connection(("127.0.0.1", self.port), timeout=10) for _ in range(500)]
        try:
            for c in conns:
                c.sendall(self.get("small.xml"))
            statuses = []
            for c in conns:
                got = b""
                while not got.endswith(b"</answer>"):
                    b = c.recv(4096)
                    if not b:
                        break
                    got += b
                statuses.append(status_of(got))
            self.assertEqual(statuses, [200] * 500)
            conns[0].sendall(self.get("small.xml") * 3)
            got = b""
            while got.count(b"</answer>") < 3:
                b = conns[0].recv(4096)
                if not b:
                    break
                got += b
            self.assertEqual([a[0] for a in answers(got)], [200] * 3)
        finally:
            for c in conns:
                c.close()
        # And no request lingers past its deadline, however it drips.
        for d in drippers:
            d.join(40)
        self.assertEqual([d.closed_by_server for d in drippers], [True] * 20)

    def test_interrupt_with_dripping_client(self):
        # A server of its own: the others' keeps serving.
        proc, port = self.serve()
        try:
            d = Dripper(port)
            d.start()
            d.connected.wait(10)
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=5)
        finally:
            proc.kill()
            proc.wait()
        self.assertEqual(proc.returncode, 0)


class Preview(unittest.TestCase):
    """The real movie in Ruffle: what it asks for, and the answers."""

    def preview(self, exe, *more, seconds=8):
        try:
            # Nothing runs past --seconds plus 10 s.
            r = run_pack("preview", exe, "--seconds", str(seconds), "--json", *more, timeout=seconds + 10)
        except subprocess.TimeoutExpired:
            self.fail(f"pack preview --seconds {seconds} still ran {seconds + 10} s after its start")
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
                self.assertEqual(os.stat(shot).st_mode & 0o111, 0, "a picture made executable")

    def test_strict_when_nothing_played(self):
        # A first movie whose compressed body is damaged: Ruffle shows
        # nothing, which --strict does not call a success; meanwhile a client
        # dripping into the server holds the run no longer.
        damaged = os.path.join(FIX.dir, "damaged.swf")
        with open(damaged, "wb") as f:
            f.write(FIX.swf[:8] + bytes(len(FIX.swf) - 8))
        manifest = os.path.join(FIX.dir, "damaged.toml")
        with open(manifest, "w") as f:
            f.write(f'mode = "page"\n[[entry]]\nurl = "{HOST}movie.swf"\nfile = "{damaged}"\n')
        port = free_port()
        drip = Dripper(port)
        drip.start()
        r = self.preview(manifest, "--strict", "--port", str(port), seconds=4)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("nothing played", r.stderr)
        self.assertIsNone(json.loads(r.stdout)["first_frame_ms"])

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

    def test_audit_run_relative_text_is_one_url(self):
        # A movie made here by haxe names its file relatively; Ruffle asks
        # for it absolute. Both are one URL, found and asked.
        src = os.path.join(FIX.dir, "Rel.hx")
        with open(src, "w") as f:
            f.write("class Rel { static function main() {\n"
                    "  new flash.net.URLLoader().load(new flash.net.URLRequest('data/rel.xml')); } }\n")
        swf = os.path.join(FIX.dir, "rel.swf")
        subprocess.run(["haxe", "-cp", FIX.dir, "--main", "Rel", "--swf", swf, "--swf-version", "10",
                        "--swf-header", "200:100:30:336699"], check=True)
        manifest = os.path.join(FIX.dir, "rel.toml")
        with open(manifest, "w") as f:
            f.write(f'mode = "page-post"\n[[entry]]\nurl = "{HOST}rel.swf"\n'
                    f'content_type = "application/x-shockwave-flash"\nfile = "{swf}"\n'
                    f'[[entry]]\nurl = "{HOST}data/rel.xml"\nfile = "post-a.xml"\n')
        r = run_pack("audit", manifest, "--run", "--seconds", "4", "--json", timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        got = [(q["url"], q["found_in_movie"], q["asked_at_run_time"], q["entry"])
               for q in json.loads(r.stdout)["requests"]]
        self.assertEqual(got, [(HOST + "rel.swf", False, True, 0), (HOST + "data/rel.xml", True, True, 1)])

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
        # Long enough for all 1,200 on a busy machine. What was seen is
        # printed though the screenshot can't be written.
        shot = os.path.join(FIX.dir, "no-such-folder", "flood.png")
        r = self.preview(manifest, "--screenshot", shot, seconds=20)
        out = json.loads(r.stdout)
        self.assertEqual((len(out["requests"]), out["unlisted"], out["unanswered"]), (1000, 201, 1200))
        self.assertEqual((r.returncode, out["screenshot"]), (1, None))
        self.assertIn("no screenshot: cannot write " + shot, r.stderr)

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
                r = self.preview(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(text, r.stderr)

    def test_interrupt_leaves_nothing(self):
        # Ctrl-C during set-up and while the movie runs; then a run killed
        # outright, whose leavings the next run removes.
        env = dict(os.environ, TMPDIR=FIX.tmp)
        exe = FIX.pack("interrupt", "page")

        def started(ready):
            p = subprocess.Popen([ARGS.pack, "preview", exe, "--seconds", "60"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            end = time.monotonic() + 30
            while not ready() and time.monotonic() < end:
                time.sleep(0.01)
            return p

        def profile(*inside):
            return [d for d in os.listdir(FIX.tmp) if os.path.exists(os.path.join(FIX.tmp, d, *inside))]

        for when, ready in (("profile made", lambda: profile()), ("browser started", lambda: profile("Default"))):
            with self.subTest(when):
                p = started(ready)
                p.send_signal(signal.SIGINT)
                out, err = p.communicate(timeout=15)
                self.assertEqual(p.returncode, 1)
                self.assertIn(b"pack preview: interrupted", err)
                self.assertEqual(os.listdir(FIX.tmp), [])
        p = started(lambda: profile("Default"))
        p.kill()
        p.communicate(timeout=15)
        # The browser follows it (its helpers a moment later).
        end = time.monotonic() + 15
        while subprocess.run(["pgrep", "-f", FIX.tmp], capture_output=True).stdout and time.monotonic() < end:
            time.sleep(0.05)
        self.assertNotEqual(os.listdir(FIX.tmp), [])
        r = self.preview(exe, seconds=1)  # which checks that nothing is left
        self.assertEqual(r.returncode, 0, r.stderr)
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
