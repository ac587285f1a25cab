#!/usr/bin/env python3
"""pack import on captures that the test makes itself: a small site served
on the loopback and fetched by wget into real WARC files (gzip per record,
whole-file gzip and plain), a WACZ zipped from them, a HAR file and the
mirrored folder wget wrote beside them.

    import_test.py --pack "PACK COMMAND" [unittest arguments]
    import_test.py --pack ... --stub STUB.exe --tools BUILD/tests --prefix DIR RoundTrip
"""
import argparse
import base64
import gzip
import http.server
import json
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import tomllib
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None
FIX = None  # the fixtures, made once


def movie(script):
    body = b"\n#!standin\n" + script.encode()
    return b"FWS" + bytes([9]) + struct.pack("<I", 8 + len(body)) + body


class Site:
    """The captured site: path -> (status, headers, raw body, entity)."""

    def __init__(self):
        rnd = random.Random(12)
        self.big = rnd.randbytes(300_000)
        self.text = b"gzip-encoded text " * 200
        self.deflated = b"deflate-encoded text " * 150
        self.brotli = b"br-encoded text " * 180
        # Coded by Debian's brotli command, not by the decoder under test.
        self.brotli_coded = subprocess.run(["brotli", "-c"], input=self.brotli, check=True,
                                           stdout=subprocess.PIPE).stdout
        self.xml = b"<data><item id='1'/></data>\n"
        self.new = b"the redirect's target\n"
        self.counter = 0
        self.lock = threading.Lock()

    def start(self):
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def send(self, status, body, headers=()):
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                if not any(k == "Transfer-Encoding" for k, _ in headers):
                    self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                self.send(200, site.post_answer(body), [("Content-Type", "text/plain")])

            def do_GET(self):
                path = self.path
                if path == "/game/big.bin":
                    self.send_response(200)
                    self.send_header("Content-Type", "application/octet-stream")
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    for k in range(0, len(site.big), 70_000):
                        piece = site.big[k:k + 70_000]
                        self.wfile.write(b"%x;ext=1\r\n" % len(piece) + piece + b"\r\n")
                    self.wfile.write(b"0\r\n\r\n")
                elif path == "/game/counter.txt":
                    with site.lock:
                        site.counter += 1
                        n = site.counter
                    self.send(200, site.counter_body(n), [("Content-Type", "text/plain")])
                elif path == "/game/old.txt":
                    self.send(301, b"", [("Location", "new.txt")])
                elif path in site.static:
                    ctype, body, enc = site.static[path]
                    headers = [("Content-Type", ctype)]
                    if enc:
                        headers.append(("Content-Encoding", enc))
                    self.send(200, body, headers)
                else:
                    self.send(404, b"missing", [("Content-Type", "text/plain")])

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.root = f"http://127.0.0.1:{self.server.server_address[1]}/game/"
        r = self.root
        self.movie = movie(f"load {r}data.xml\nload big.bin\nload text.txt\nload {r}deflate.txt\n"
                           f"load {r}old.txt\npost {r}score.php score=1\npost {r}score.php score=2\n"
                           f"load {r}counter.txt\nwait\n")
        page = (b'<html><body><object width="640" height="480"><param name="movie" '
                b'value="movie.swf?v=1"><param name="FlashVars" value="a=1&amp;b=caf&#233;">'
                b'<param name="base" value="."><embed src="movie.swf?v=1" width="640" '
                b'height="480"></object></body></html>')
        self.page = page
        self.static = {
            "/game/index.html": ("text/html; charset=utf-8", page, None),
            "/game/movie.swf?v=1": ("application/x-shockwave-flash", self.movie, None),
            "/game/data.xml": ("text/xml", self.xml, None),
            "/game/text.txt": ("text/plain", gzip.compress(self.text), "gzip"),
            "/game/deflate.txt": ("text/plain", zlib.compress(self.deflated), "deflate"),
            "/game/brotli.txt": ("text/plain", self.brotli_coded, "br"),
            "/game/new.txt": ("text/plain", self.new, None),
        }
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    @staticmethod
    def post_answer(body):
        return b"answer to " + body

    @staticmethod
    def counter_body(n):
        return b"fetch number %d\n" % n

    def expected(self, counter):
        """URL -> (POST body or None, entity) that every import must keep."""
        r = self.root
        return {
            (r + "movie.swf?v=1", None): self.movie,
            (r + "index.html", None): self.page,
            (r + "data.xml", None): self.xml,
            (r + "big.bin", None): self.big,
            (r + "text.txt", None): self.text,
            (r + "deflate.txt", None): self.deflated,
            (r + "brotli.txt", None): self.brotli,
            (r + "new.txt", None): self.new,
            (r + "score.php", "score=1"): self.post_answer(b"score=1"),
            (r + "score.php", "score=2"): self.post_answer(b"score=2"),
            (r + "counter.txt", None): self.counter_body(counter),
        }


def wget(folder, warc, urls, *extra):
    subprocess.run(["wget", "--no-proxy", "-q", "--tries=1", "--timeout=10", "-x",
                    "--warc-file=" + warc, *extra, *urls],
                   cwd=folder, timeout=120, check=False)


class Fixtures:
    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="import-test-")
        d = self.dir = self.tmp
        self.site = Site()
        self.site.start()
        try:
            r = self.site.root
            mirror = os.path.join(d, "mirror")
            os.mkdir(mirror)
            wget(mirror, os.path.join(d, "site"),
                 [r + "index.html", r + "movie.swf?v=1", r + "data.xml", r + "big.bin",
                  r + "text.txt", r + "deflate.txt", r + "brotli.txt", r + "old.txt", r + "missing.txt",
                  r + "counter.txt"])
            wget(d, os.path.join(d, "post1"), [r + "score.php"], "--post-data=score=1")
            wget(d, os.path.join(d, "post2"), [r + "score.php"], "--post-data=score=2")
            wget(d, os.path.join(d, "again"), [r + "counter.txt"])
        finally:
            self.site.stop()
        self.gz = [os.path.join(d, n + ".warc.gz") for n in ("site", "post1", "post2", "again")]
        # The same records, as one gzip member for the whole file and uncompressed.
        self.whole, self.plain = [], []
        for path in self.gz:
            with gzip.open(path) as f:
                data = f.read()
            self.plain.append(path[:-3])
            with open(path[:-3], "wb") as f:
                f.write(data)
            self.whole.append(path[:-8] + "-whole.warc.gz")
            with open(self.whole[-1], "wb") as f:
                f.write(gzip.compress(data))
        self.wacz = os.path.join(d, "capture.wacz")
        with zipfile.ZipFile(self.wacz, "w") as z:
            for k, path in enumerate(self.gz):
                z.write(path, "archive/" + os.path.basename(path),
                        zipfile.ZIP_STORED if k % 2 == 0 else zipfile.ZIP_DEFLATED)
            z.writestr("pages/pages.jsonl", '{"format": "json-pages-1.0"}\n'
                       + json.dumps({"url": r + "index.html"}) + "\n")
        self.har = os.path.join(d, "capture.har")
        with open(self.har, "w") as f:
            json.dump(self.har_json(), f, indent=1)
        # Mirrored folders hold no POST answers, redirects or a second fetch.
        self.mirror = mirror
        # As wget --restrict-file-names=windows names them: "HOST+PORT", "name@query".
        self.mirror_windows = os.path.join(d, "mirror-windows")
        for top, _, files in os.walk(mirror):
            rel = os.path.relpath(top, mirror).replace(":", "+")
            os.makedirs(os.path.join(self.mirror_windows, rel), exist_ok=True)
            for name in files:
                shutil.copy(os.path.join(top, name),
                            os.path.join(self.mirror_windows, rel, name.replace("?", "@")))
        self.fake_stub = os.path.join(d, "stub.exe")
        with open(self.fake_stub, "wb") as f:
            f.write(bytes(40000))

    def har_json(self):
        s, r = self.site, self.site.root

        def entry(url, status, body, ctype="text/plain", method="GET", post=None, headers=(),
                  binary=False, **response):
            content = {"size": len(body), "mimeType": ctype}
            if binary:
                content.update(text=base64.b64encode(body).decode(), encoding="base64")
            else:
                content["text"] = body.decode()
            req = {"method": method, "url": url, "httpVersion": "HTTP/1.1", "headers": []}
            if post is not None:
                req["postData"] = {"mimeType": "application/x-www-form-urlencoded", "text": post}
            res = {"status": status, "statusText": "", "httpVersion": "HTTP/1.1",
                   "headers": [{"name": "Content-Type", "value": ctype}, *headers],
                   "content": content, "redirectURL": "", **response}
            return {"startedDateTime": "2026-01-01T00:00:00Z", "time": 1, "request": req,
                    "response": res}

        return {"log": {"version": "1.2", "creator": {"name": "test", "version": "1"}, "entries": [
            entry(r + "index.html", 200, s.page, "text/html"),
            entry(r + "movie.swf?v=1", 200, s.movie, "application/x-shockwave-flash", binary=True),
            entry(r + "data.xml", 200, s.xml, "text/xml"),
            entry(r + "big.bin", 200, s.big, "application/octet-stream", binary=True),
            # Browsers save the decoded entity even where the server encoded it.
            entry(r + "text.txt", 200, s.text, headers=[{"name": "Content-Encoding", "value": "gzip"}]),
            entry(r + "deflate.txt", 200, s.deflated),
            entry(r + "brotli.txt", 200, s.brotli),
            entry(r + "old.txt", 301, b"", redirectURL="new.txt"),
            entry(r + "new.txt", 200, s.new),
            entry(r + "missing.txt", 404, b"missing"),
            entry(r + "score.php", 200, s.post_answer(b"score=1"), method="POST", post="score=1"),
            entry(r + "score.php", 200, s.post_answer(b"score=2"), method="POST", post="score=2"),
            entry(r + "counter.txt", 200, s.counter_body(1)),
            entry(r + "counter.txt", 200, s.counter_body(2)),
        ]}}

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def pack(*args):
    return subprocess.run(shlex.split(ARGS.pack) + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600)


def post_key(body):
    return base64.b64encode(body.encode()).decode() if body is not None else ""


class ImportTest(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="import-out-")

    def tearDown(self):
        shutil.rmtree(self.out, ignore_errors=True)

    def run_import(self, inputs, *options, manifest=True, exe=True):
        args = ["import", *inputs, "--json", *options]
        if exe:
            args += ["-o", os.path.join(self.out, "game.exe"), "--stub", FIX.fake_stub]
        if manifest:
            args += ["--manifest", os.path.join(self.out, "m")]
        return pack(*args)

    def assertNoOutput(self):
        self.assertEqual(sorted(os.listdir(self.out)), [])

    def test_every_capture_kind_keeps_the_served_bytes(self):
        site = FIX.site
        everything = site.expected(counter=2)
        r = site.root
        mirrored = {
            # wget names a redirect's target by the URL it asked for.
            **{k: v for k, v in everything.items()
               if k[1] is None and "counter" not in k[0] and "new.txt" not in k[0]},
            (r + "old.txt", None): site.new,
            # wget stores the bytes as sent, content coding and all.
            (r + "text.txt", None): site.static["/game/text.txt"][1],
            (r + "deflate.txt", None): site.static["/game/deflate.txt"][1],
            (r + "brotli.txt", None): site.brotli_coded}
        cases = [
            ("gzip per record", FIX.gz, everything),
            ("whole-file gzip", FIX.whole, everything),
            ("plain", FIX.plain, everything),
            ("wacz", [FIX.wacz], everything),
            ("har", [FIX.har], everything),
            ("mirrored folder, Windows names", [FIX.mirror_windows], mirrored),
        ]
        # Windows file names cannot hold "?" or ":".
        if "wine-run" not in ARGS.pack:
            cases.append(("mirrored folder", [FIX.mirror], mirrored))
        for name, inputs, expected in cases:
            with self.subTest(name):
                shutil.rmtree(self.out)
                os.mkdir(self.out)
                result = self.run_import(inputs)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                with open(os.path.join(self.out, "m", "manifest.toml"), "rb") as f:
                    manifest = tomllib.load(f)
                stored = {}
                for e in manifest["entry"]:
                    with open(os.path.join(self.out, "m", e["file"]), "rb") as f:
                        stored[(e["url"], e.get("post_key", ""))] = (f.read(), e)
                for (url, post), data in expected.items():
                    key = (url, post_key(post))
                    self.assertTrue(key in stored, f"{name}: {key} missing")
                    self.assertEqual(stored[key][0], data, f"{name}: {url} {post}")
                first = manifest["entry"][0]
                self.assertEqual(first["url"], r + "movie.swf?v=1")
                self.assertEqual(first["content_type"], "application/x-shockwave-flash")
                self.assertEqual((manifest["mode"], manifest["flash_vars"], manifest["base"],
                                  manifest["width"], manifest["height"]),
                                 ("page-post", "a=1&b=café", r, 640, 480), name)
                self.assertEqual(summary["start_reason"], "embedded by " + r + "index.html")
                # The player built beside it holds the same table.
                listing = pack("list", os.path.join(self.out, "game.exe")).stdout.decode()
                listing = listing.replace("\r\n", "\n")
                self.assertIn(f"entries: {len(manifest['entry'])}\n", listing)
                self.assertIn(f'url: "{r}movie.swf?v=1"', listing.split("[1]")[0])
                if name.startswith("mirrored folder"):
                    continue
                new = stored[(r + "new.txt", "")][1]
                self.assertEqual(new.get("alternate_url"), r + "old.txt", name)
                self.assertEqual(summary["skipped"].get("status 404"), 1, name)
                self.assertEqual(summary["skipped"].get("duplicate"), 1, name)
                self.assertEqual(len(summary["dropped"]), 1, name)
                self.assertIn(r + "counter.txt", summary["dropped"][0])

    def test_progress_line_on_a_terminal_only(self):
        if "wine-run" in ARGS.pack:
            self.skipTest("a terminal for the Linux packer")
        import pty
        exe = os.path.join(self.out, "game.exe")
        manifest = os.path.join(self.out, "m", "manifest.toml")
        cases = [
            ("import", ["import", *FIX.gz, "-o", exe, "--stub", FIX.fake_stub, "--manifest",
                        os.path.dirname(manifest)]),
            ("build", ["build", "--stub", FIX.fake_stub, "-o", exe + "2", manifest]),
        ]
        for name, args in cases:
            with self.subTest(name):
                done = rf"pack {name}: 100% \([0-9.]+ KiB\), [0-9]+ entries, done\. *\r?\n"
                master, slave = pty.openpty()
                result = subprocess.run(shlex.split(ARGS.pack) + args, stdout=subprocess.PIPE,
                                        stderr=slave, timeout=600)
                os.close(slave)
                seen = b""
                try:
                    while chunk := os.read(master, 65536):
                        seen += chunk
                except OSError:
                    pass
                os.close(master)
                self.assertEqual(result.returncode, 0, seen)
                self.assertRegex(seen.decode(), done)
                os.remove(exe if name == "import" else exe + "2")
                if name == "import":
                    shutil.rmtree(os.path.dirname(manifest))
                redirected = pack(*args)
                self.assertNotRegex(redirected.stderr.decode(), f"pack {name}: ")
                if name == "import":
                    os.remove(exe)

    def test_manifest_rebuilds_with_pack_build(self):
        result = self.run_import(FIX.gz, exe=True)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        rebuilt = os.path.join(self.out, "rebuilt.exe")
        built = pack("build", "--stub", FIX.fake_stub, "-o", rebuilt,
                     os.path.join(self.out, "m", "manifest.toml"))
        self.assertEqual(built.returncode, 0, built.stderr.decode())
        with open(rebuilt, "rb") as a, open(os.path.join(self.out, "game.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_start_size_and_mode_options(self):
        r = FIX.site.root
        result = self.run_import(FIX.gz, "--start", r + "nowhere.swf")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"--start " + r.encode() + b"nowhere.swf: no such URL", result.stderr)
        self.assertNoOutput()
        result = self.run_import([FIX.har], "--start", r + "movie.swf?v=1", "--size", "320x200",
                                 "--mode", "page", exe=False)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        summary = json.loads(result.stdout)
        self.assertEqual((summary["start_reason"], summary["width"], summary["height"],
                          summary["mode"], summary["flash_vars"]),
                         ("given by --start", 320, 200, "page", "a=1&b=café"))

    def test_faulty_captures_fail_naming_file_and_place(self):
        d = tempfile.mkdtemp(prefix="import-bad-")
        self.addCleanup(shutil.rmtree, d, True)
        with open(FIX.gz[0], "rb") as f:
            gz = f.read()
        with open(FIX.plain[0], "rb") as f:
            plain = f.read()
        response = plain.index(b"WARC-Type: response")
        block = plain.index(b"\r\n\r\n", response) + 4

        def write(name, data):
            path = os.path.join(d, name)
            with open(path, "wb") as f:
                f.write(data)
            return path

        cases = [
            ("truncated gzip member", write("cut.warc.gz", gz[:len(gz) // 2]),
             "truncated gzip member"),
            ("record past the end", write("short.warc", plain[:block + 10]), "run past the end"),
            ("header block without blank line", write("head.warc", plain[:block - 2]),
             "no blank line"),
            ("HAR that is not JSON", write("bad.har", b'{"log": {\n  "entries": [\n  }\n'),
             "bad.har:3: not valid JSON"),
            ("unknown archive", write("x.bin", b"\x00\x01garbage"), "x.bin: at byte 0: not a capture"),
        ]
        for name, path, message in cases:
            with self.subTest(name):
                result = self.run_import([path])
                self.assertEqual(result.returncode, 1, name)
                err = result.stderr.decode()
                self.assertIn(path, err)
                self.assertIn(message, err)
                if path.endswith("warc") or path.endswith(".gz"):
                    self.assertIn("at byte ", err)
                self.assertNoOutput()

    def test_output_naming_a_capture_is_refused(self):
        d = tempfile.mkdtemp(prefix="import-self-")
        self.addCleanup(shutil.rmtree, d, True)
        capture = os.path.join(d, "site.warc.gz")
        shutil.copy(FIX.gz[0], capture)
        os.link(capture, os.path.join(d, "other.exe"))
        for out in (capture, os.path.join(d, "other.exe")):
            with self.subTest(out):
                result = pack("import", capture, "-o", out, "--stub", FIX.fake_stub)
                self.assertEqual(result.returncode, 1)
                self.assertIn("choose another output", result.stderr.decode())
                with open(capture, "rb") as f, open(FIX.gz[0], "rb") as g:
                    self.assertEqual(f.read(), g.read())

    def test_a_bad_record_is_skipped_unless_strict(self):
        d = tempfile.mkdtemp(prefix="import-bad-")
        self.addCleanup(shutil.rmtree, d, True)
        with open(FIX.plain[0], "rb") as f:
            plain = f.read()
        # One response whose HTTP message is no HTTP message, one whose gzip body is damaged.
        bad_http = b"NOT HTTP\r\n\r\n"
        bad_gzip = (b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Type: text/plain\r\n\r\n"
                    + b"\x1f\x8b\x08\x00garbage-garbage")
        extra = b""
        for k, block in enumerate((bad_http, bad_gzip)):
            extra += (b"WARC/1.1\r\nWARC-Type: response\r\nwarc-target-uri: http://x.test/%d\r\n"
                      b"Content-Type: application/http; msgtype=response\r\n"
                      b"Content-Length: %d\r\n\r\n" % (k, len(block)) + block + b"\r\n\r\n")
        path = os.path.join(d, "one-bad.warc")
        with open(path, "wb") as f:
            f.write(plain + extra)
        result = self.run_import([path])
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        skipped = json.loads(result.stdout)["skipped"]
        self.assertEqual((skipped["bad record"], skipped["undecodable"]), (1, 1))
        self.assertEqual(result.stderr.decode().count("warning"), 2)
        shutil.rmtree(self.out)
        os.mkdir(self.out)
        result = self.run_import([path], "--strict")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"--strict", result.stderr)
        self.assertNoOutput()


    def test_revisits_and_requests_written_after_their_responses(self):
        def record(kind, uri, block, *headers):
            head = "".join(f"{h}\r\n" for h in headers)
            return (f"WARC/1.1\r\nWARC-Type: {kind}\r\nWARC-Target-URI: {uri}\r\n{head}"
                    f"Content-Length: {len(block)}\r\n\r\n").encode() + block + b"\r\n\r\n"

        swf = b"FWS\x0a" + struct.pack("<I", 12) + b"body"
        ok = b"HTTP/1.1 200 OK\r\nContent-Type: application/x-shockwave-flash\r\n\r\n"
        not_modified = b"HTTP/1.1 304 Not Modified\r\n\r\n"
        date = "WARC-Date: 2026-01-02T03:04:05Z"
        warc = b"".join([
            record("response", "http://r.test/a.swf", ok + swf, date, "WARC-Payload-Digest: sha1:AAA"),
            # Same payload by digest, and by target URI and date.
            record("revisit", "http://r.test/b.swf", ok, "WARC-Payload-Digest: sha1:AAA"),
            record("revisit", "http://r.test/c.swf", not_modified,
                   "WARC-Refers-To-Target-URI: <http://r.test/a.swf>",
                   "WARC-Refers-To-Date: 2026-01-02T03:04:05Z"),
            record("revisit", "http://r.test/d.swf", ok, "WARC-Payload-Digest: sha1:BBB"),
            # A response before its request, which names it.
            record("response", "http://r.test/p", b"HTTP/1.1 200 OK\r\n\r\nanswer",
                   "WARC-Record-ID: <urn:uuid:r1>"),
            record("request", "http://r.test/p", b"POST /p HTTP/1.1\r\nHost: r.test\r\n\r\nk=v",
                   "WARC-Record-ID: <urn:uuid:q1>", "WARC-Concurrent-To: <urn:uuid:r1>"),
        ])
        path = self.out + ".warc"
        self.addCleanup(os.remove, path)
        with open(path, "wb") as f:
            f.write(warc)
        result = self.run_import([path], exe=False)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        summary = json.loads(result.stdout)
        got = {(e["url"], e["post_key"]): e["size"] for e in summary["entries"]}
        self.assertEqual(got, {("http://r.test/a.swf", ""): 12, ("http://r.test/b.swf", ""): 12,
                               ("http://r.test/c.swf", ""): 12,
                               ("http://r.test/p", post_key("k=v")): 6})
        self.assertEqual(summary["skipped"], {"revisit of a payload not in the capture": 1})


class RoundTrip(unittest.TestCase):
    """import -> pack list -> the player under Wine serves every captured file."""

    def test_player_serves_the_capture_byte_exact(self):
        sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
        from player_e2e import Run
        out = tempfile.mkdtemp(prefix="import-e2e-")
        self.addCleanup(shutil.rmtree, out, True)
        exe = os.path.join(out, "game.exe")
        result = pack("import", *FIX.gz, "-o", exe, "--stub", ARGS.stub)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        listing = pack("list", exe)
        self.assertEqual(listing.returncode, 0)
        command = [os.path.join(HERE, "..", "e2e", "run-player"), exe, "--tools", ARGS.tools,
                   "--prefix", ARGS.prefix, "--timeout", "60", "--until", '"call":"ScriptEnd"']
        played = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=400)
        self.assertEqual(played.returncode, 0, played.stderr)
        run = Run(played.stdout)
        self.assertIn("until: found", played.stdout)
        requests = {e["load"]: e for e in run.calls("Request")}
        loaded = {e["load"]: e for e in run.calls("Loaded")}
        site, r = FIX.site, FIX.site.root
        expected = {
            (r + "movie.swf?v=1", None): site.movie,
            (r + "data.xml", None): site.xml,
            ("big.bin", None): site.big,
            ("text.txt", None): site.text,
            (r + "deflate.txt", None): site.deflated,
            (r + "old.txt", None): site.new,
            (r + "score.php", "score=1"): site.post_answer(b"score=1"),
            (r + "score.php", "score=2"): site.post_answer(b"score=2"),
            (r + "counter.txt", None): site.counter_body(2),
        }
        got = {}
        for n, req in requests.items():
            done = loaded[n]
            got[(req["url"], req.get("post") or None)] = (done["bytes"], done["crc"], done["hr"])
        for (url, body), data in expected.items():
            self.assertEqual(got.get((url, body)), (len(data), "%08x" % zlib.crc32(data), 1),
                             f"{url} {body}\n{played.stdout[-3000:]}")


def main():
    global ARGS, FIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--stub")
    parser.add_argument("--tools")
    parser.add_argument("--prefix")
    ARGS, rest = parser.parse_known_args()
    if ARGS.stub:
        sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
        import suite
        suite.start_display(ARGS.prefix)
    FIX = Fixtures()
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=True)
    finally:
        FIX.cleanup()


if __name__ == "__main__":
    main()
