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
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
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
        # In base64 longer than the strings a HAR reader holds in memory (64 KiB).
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
            # What chromium loads (its fetches are what node-warc and chrome-har save)
            # and what httrack follows.
            "/game/fetch-all.html": ("text/html", FETCH_ALL, None),
            "/game/links.html": ("text/html", b"".join(
                b'<a href="%s">x</a>\n' % n for n in (b"movie.swf", b"data.xml", b"big.bin", b"new.txt")),
                None),
            "/game/movie.swf": ("application/x-shockwave-flash", self.movie, None),
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


FETCH_ALL = b"""<html><head><title>loading</title></head><body><script>
const get = (u, o) => fetch(u, o).then(r => r.arrayBuffer());
const post = (body) => ({method: "POST", body,
                         headers: {"Content-Type": "application/x-www-form-urlencoded"}});
Promise.all([get("movie.swf?v=1"), get("data.xml"), get("big.bin"), get("text.txt"),
             get("deflate.txt"), get("old.txt"), get("score.php", post("score=1"))])
  .then(() => get("score.php", post("score=2")))
  .then(() => { document.title = "done"; }, (e) => { document.title = "failed " + e; });
</script></body></html>
"""


def warcio_spec(site):
    """Records of the site as warcio is to write them, with the payloads an
    import must keep: (records, {(URL, POST body or None): payload}).
    Features: chunked, chunked stored de-chunked, gzip, POST, redirect,
    revisits before their original (by URL and date), a whole-file 206, a
    status line without reason and LF line ends, SHA-256 digests."""
    r = site.root
    date = "2026-01-02T03:04:05Z"

    def rec(url, status, headers, body, **more):
        return {"type": "response", "url": r + url, "statusline": status, "headers": headers,
                "body": base64.b64encode(body).decode(), "date": date, **more}

    chunked = b"".join(b"%x\r\n" % len(site.big[k:k + 65536]) + site.big[k:k + 65536] + b"\r\n"
                       for k in range(0, len(site.big), 65536)) + b"0\r\n\r\n"
    records = [
        {"type": "revisit", "url": r + "again.xml", "statusline": "HTTP/1.1 304 Not Modified",
         "headers": [], "refersToUrl": r + "data.xml", "refersToDate": date, "date": date},
        rec("index.html", "HTTP/1.1 200 OK", [["Content-Type", "text/html"]], site.page),
        rec("movie.swf?v=1", "HTTP/1.1 200 OK", [["Content-Type", "application/x-shockwave-flash"]],
            site.movie),
        rec("data.xml", "HTTP/1.1 200", [["Content-Type", "text/xml"]], site.xml),
        rec("big.bin", "HTTP/1.1 200 OK", [["Transfer-Encoding", "chunked"]], chunked),
        rec("stored.bin", "HTTP/1.1 200 OK", [["Transfer-Encoding", "chunked"],
                                              ["Content-Length", "-1"]], site.big[:1000]),
        rec("text.txt", "HTTP/1.1 200 OK", [["Content-Encoding", "gzip"]], gzip.compress(site.text),
            sha256=True),
        rec("old.txt", "HTTP/1.1 301 Moved Permanently", [["Location", "new.txt"]], b""),
        rec("new.txt", "HTTP/1.1 200 OK", [["Content-Type", "text/plain"]], site.new, sha256=True),
        rec("part.bin", "HTTP/1.1 206 Partial Content",
            [["Content-Range", "bytes 0-%d/%d" % (len(site.xml) - 1, len(site.xml))]], site.xml),
        {"type": "request", "url": r + "score.php", "statusline": "POST /game/score.php HTTP/1.1",
         "headers": [["Content-Type", "application/x-www-form-urlencoded"]],
         "body": base64.b64encode(b"score=1").decode()},
        rec("score.php", "HTTP/1.1 200 OK", [["Content-Type", "text/plain"]],
            site.post_answer(b"score=1")),
        # Cut inside by the test: every record before it is kept.
        rec("last.bin", "HTTP/1.1 200 OK", [], bytes(5000)),
    ]
    expected = {
        (r + "again.xml", None): site.xml, (r + "index.html", None): site.page,
        (r + "movie.swf?v=1", None): site.movie, (r + "data.xml", None): site.xml,
        (r + "big.bin", None): site.big, (r + "stored.bin", None): site.big[:1000],
        (r + "text.txt", None): site.text, (r + "new.txt", None): site.new,
        (r + "part.bin", None): site.xml, (r + "score.php", "score=1"): site.post_answer(b"score=1"),
    }
    return records, expected


def node(*args):
    # Other suites reuse these fixtures with arguments of their own.
    env = dict(os.environ, TESSIVO_NPM=getattr(ARGS, "npm", None) or "/opt/tessivo-npm")
    subprocess.run(["node", os.path.join(HERE, "writers", "write-captures.mjs"), *args],
                   env=env, check=True, timeout=300)


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
            # Other people's writers.
            self.warcio_records, self.warcio_expected = warcio_spec(self.site)
            listing = os.path.join(d, "warcio.json")
            with open(listing, "w") as f:
                json.dump({"version": "WARC/1.0", "records": self.warcio_records}, f)
            self.warcio = []
            for name in ("warcio.warc", "warcio.warc.gz"):
                node("warcio", listing, os.path.join(d, name))
                with open(os.path.join(d, name), "rb") as f:
                    data = f.read()
                # Cut inside the last record.
                last = gzip_members(data)[-1][0] if name.endswith(".gz") else len(data) - 4000
                with open(os.path.join(d, name), "wb") as f:
                    f.write(data[:last + 20])
                self.warcio.append(os.path.join(d, name))
            self.chromium = os.path.join(d, "chromium")
            node("chromium", r + "fetch-all.html", self.chromium)
            self.httrack = os.path.join(d, "httrack")
            subprocess.run(["httrack", r + "links.html", "-O", self.httrack, "-q", "-%v0"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
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
                # The first gzip member named as plain WARC: gzip is told by its bytes.
                z.write(path, "archive/" + os.path.basename(path)[:-3 if k == 0 else None],
                        zipfile.ZIP_STORED if k % 2 == 0 else zipfile.ZIP_DEFLATED)
            z.writestr("pages/pages.jsonl", '{"format": "json-pages-1.0"}\n'
                       + json.dumps({"url": r + "index.html"}) + "\n")
        # The same WARCs in a WACZ as js-wacz, a WACZ writer of others, packs them.
        wget_only = os.path.join(d, "wget-warcs")
        os.mkdir(wget_only)
        for path in self.gz:
            os.link(path, os.path.join(wget_only, os.path.basename(path)))
        self.js_wacz = os.path.join(d, "js.wacz")
        npm = getattr(ARGS, "npm", None) or "/opt/tessivo-npm"
        subprocess.run([os.path.join(npm, "node_modules", ".bin", "js-wacz"), "create", "--log-level", "warn",
                        "-f", os.path.join(wget_only, "*.warc.gz"), "-o", self.js_wacz],
                       check=True, timeout=300)
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


def warc_records(data):
    """(start, end of header block) of each record of an uncompressed WARC."""
    out, at = [], 0
    while at < len(data):
        head_end = data.index(b"\r\n\r\n", at) + 4
        n = int(re.search(rb"Content-Length: (\d+)", data[at:head_end]).group(1))
        out.append((at, head_end))
        at = head_end + n + 4
    return out


def arc_records(name, documents):
    """An ARC file (version 1) as the ARC file format document lays it out:
    the filedesc version block, then per document a URL line (URL, IP,
    date, content type, length) and the bytes fetched, each followed by a
    newline."""
    block = b"1 0 Tessivo tests\nURL IP-address Archive-date Content-type Archive-length\n"
    yield b"filedesc://%s 0.0.0.0 20010101000000 text/plain %d\n" % (name.encode(), len(block)) + block + b"\n"
    for url, data in documents:
        ctype = re.search(rb"Content-Type: ([^\r\n]+)", data)
        yield b"%s 127.0.0.1 20010101000000 %s %d\n" % (
            url.encode(), ctype.group(1) if ctype else b"no-type", len(data)) + data + b"\n"


def gzip_members(data):
    """(start, end) of each gzip member."""
    out, at = [], 0
    while at < len(data):
        z = zlib.decompressobj(31)
        z.decompress(data[at:])
        end = len(data) - len(z.unused_data)
        out.append((at, end))
        at = end
    return out


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

    def fresh(self):
        shutil.rmtree(self.out)
        os.mkdir(self.out)

    def assertStored(self, expected, stored, name):
        """expected: {(URL, POST body or None): payload}, each kept byte-exact."""
        for (url, post), data in expected.items():
            key = (url, post_key(post))
            self.assertTrue(key in stored, f"{name}: {key} missing")
            self.assertEqual(stored[key][0], data, f"{name}: {url} {post}")

    def manifest(self):
        with open(os.path.join(self.out, "m", "manifest.toml"), "rb") as f:
            return tomllib.load(f)

    def stored(self):
        """(URL, POST key) -> (payload, manifest entry) of the manifest written."""
        stored = {}
        for e in self.manifest()["entry"]:
            with open(os.path.join(self.out, "m", e["file"]), "rb") as f:
                stored[(e["url"], e.get("post_key", ""))] = (f.read(), e)
        return stored

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
            ("wacz by js-wacz", [FIX.js_wacz], everything),
            ("har", [FIX.har], everything),
            ("mirrored folder, Windows names", [FIX.mirror_windows], mirrored),
        ]
        # Windows file names cannot hold "?" or ":".
        if "wine-run" not in ARGS.pack:
            cases.append(("mirrored folder", [FIX.mirror], mirrored))
        for name, inputs, expected in cases:
            with self.subTest(name):
                self.fresh()
                result = self.run_import(inputs)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                manifest, stored = self.manifest(), self.stored()
                self.assertStored(expected, stored, name)
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

    def test_other_writers_keep_the_served_bytes(self):
        site, r = FIX.site, FIX.site.root
        browser = {(r + "fetch-all.html", None): FETCH_ALL, (r + "movie.swf?v=1", None): site.movie,
                   (r + "data.xml", None): site.xml, (r + "big.bin", None): site.big,
                   (r + "text.txt", None): site.text, (r + "deflate.txt", None): site.deflated,
                   (r + "new.txt", None): site.new,
                   (r + "score.php", "score=1"): site.post_answer(b"score=1"),
                   (r + "score.php", "score=2"): site.post_answer(b"score=2")}
        mirrored = {(r + "movie.swf", None): site.movie, (r + "data.xml", None): site.xml,
                    (r + "big.bin", None): site.big, (r + "new.txt", None): site.new}
        with open(FIX.warcio[0], "rb") as f:
            flipped = f.read().replace(site.new, bytes([site.new[0] ^ 1]) + site.new[1:])
        flipped_path = os.path.join(FIX.dir, "warcio-flipped.warc")
        with open(flipped_path, "wb") as f:
            f.write(flipped)
        sha256_checked = {k: v for k, v in FIX.warcio_expected.items() if k[0] != r + "new.txt"}
        cases = [  # writer, inputs, payloads, redirect kept, damaged records
            ("warcio, cut in its last record", FIX.warcio[:1], FIX.warcio_expected, True, 1),
            ("warcio, a byte under a SHA-256 digest changed", [flipped_path], sha256_checked, False, 2),
            ("warcio, gzip per record, cut", FIX.warcio[1:], FIX.warcio_expected, True, 1),
            ("node-warc from chromium", [FIX.chromium + ".warc"], browser, False, 0),
            ("chrome-har from chromium", [FIX.chromium + ".har"], browser, True, 0),
            ("httrack", [FIX.httrack], mirrored, False, 0),
        ]
        for name, inputs, expected, redirect, damaged in cases:
            with self.subTest(name):
                self.fresh()
                result = self.run_import(inputs, exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary, stored = json.loads(result.stdout), self.stored()
                self.assertStored(expected, stored, name)
                if "SHA-256" in name:
                    self.assertFalse((r + "new.txt", "") in stored, "kept against its digest")
                self.assertEqual(summary["skipped"].get("damaged record", 0), damaged, name)
                if redirect:
                    self.assertEqual(stored[(r + "new.txt", "")][1].get("alternate_url"), r + "old.txt")
                if name == "httrack":  # its cache and log: one line for all, counted
                    lines = [w for w in summary["warnings"] if w.startswith("outside a host folder")]
                    self.assertEqual(len(lines), 1, summary["warnings"])
                    self.assertIn(f"outside a host folder ({summary['skipped']['outside a host folder']}): ",
                                  lines[0])

    def test_arc_and_early_warc(self):
        site, r = FIX.site, FIX.site.root
        responses = [  # URL, HTTP response as the crawler stored it
            ("movie.swf", b"HTTP/1.0 200 OK\nContent-Type: application/x-shockwave-flash\n\n" + site.movie),
            ("data.xml", b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + site.xml),
            ("old.txt", b"HTTP/1.0 302 Found\r\nLocation: new.txt\r\n\r\n"),
            ("new.txt", b"HTTP/1.0 200\r\n\r\n" + site.new),
            ("gone.txt", b"HTTP/1.0 404 Not Found\r\n\r\n"),
            ("empty.txt", b""),  # nothing was fetched: no response, as WARC has it
        ]
        arc = os.path.join(self.out + "-t.arc")
        early = [arc[:-4] + v + ".warc" for v in ("0.17", "0.18")]
        self.addCleanup(lambda: [os.remove(p) for p in [arc, arc + ".gz", *early] if os.path.exists(p)])
        with open(arc, "wb") as plain, open(arc + ".gz", "wb") as gz:
            for record in arc_records("t.arc", [(r + u, body) for u, body in responses]):
                plain.write(record)
                gz.write(gzip.compress(record))
        with open(FIX.warcio[0], "rb") as f:
            warcio = f.read()
        for path, version in zip(early, (b"0.17", b"0.18")):
            with open(path, "wb") as f:
                f.write(warcio.replace(b"WARC/1.0\r\n", b"WARC/" + version + b"\r\n"))
        expected = {(r + "movie.swf", ""): site.movie, (r + "data.xml", ""): site.xml,
                    (r + "new.txt", ""): site.new}
        cases = [("ARC", [arc], expected), ("ARC, gzip per record", [arc + ".gz"], expected),
                 *[(f"WARC/{v}", [p], {(u, post_key(b)): d for (u, b), d in FIX.warcio_expected.items()})
                   for v, p in zip(("0.17", "0.18"), early)]]
        for name, inputs, payloads in cases:
            with self.subTest(name):
                self.fresh()
                result = self.run_import(inputs, exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                stored = self.stored()
                self.assertEqual({k: stored.get(k, (None,))[0] for k in payloads}, payloads)
                if name.startswith("ARC"):
                    summary = json.loads(result.stdout)
                    self.assertEqual(summary["skipped"], {"redirect": 1, "status 404": 1, "bad record": 1})
                    # Accepted, and counted once a kind with the first place.
                    kinds = {w.split(" (")[0]: w for w in summary["warnings"]}
                    for kind in ("HTTP header lines ending in a bare LF (1)",
                                 "HTTP status line without a reason phrase (1)"):
                        self.assertRegex(kinds.get(kind.split(" (")[0], ""), re.escape(kind) + r": .*at byte \d+")
                    self.assertEqual(stored[(r + "new.txt", "")][1].get("alternate_url"), r + "old.txt")

    def test_warc_and_har_decide_alike(self):
        swf = movie("wait\n")
        cases = [  # path, status line, headers, body
            ("a.swf", "200 OK", [["Content-Type", "application/x-shockwave-flash"]], swf),
            ("b", "203 Non-Authoritative", [], b"b"),
            ("whole", "206 Partial Content", [["Content-Range", "bytes 0-9/10"]], b"0123456789"),
            ("part", "206 Partial Content", [["Content-Range", "bytes 0-4/10"]], b"01234"),
            ("moved", "301 Moved", [["Location", "b"]], b""),
            ("nowhere", "302 Found", [], b""),
            ("missing", "404 Not Found", [], b"x"),
        ]
        records, entries = [], []
        for path, status, headers, body in cases:
            url = "http://p.test/" + path
            records.append({"type": "response", "url": url, "statusline": "HTTP/1.1 " + status,
                            "headers": headers, "body": base64.b64encode(body).decode()})
            entries.append({"request": {"method": "GET", "url": url}, "response": {
                "status": int(status[:3]), "headers": [{"name": k, "value": v} for k, v in headers],
                "content": {"text": base64.b64encode(body).decode(), "encoding": "base64"}}})
        d = tempfile.mkdtemp(prefix="import-parity-")
        self.addCleanup(shutil.rmtree, d, True)
        listing, warc, har = (os.path.join(d, n) for n in ("records.json", "p.warc", "p.har"))
        with open(listing, "w") as f:
            json.dump({"records": records}, f)
        node("warcio", listing, warc)
        with open(har, "w") as f:
            json.dump({"log": {"entries": entries}}, f)
        seen = []
        for path in (warc, har):
            self.fresh()
            result = self.run_import([path], exe=False)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            summary = json.loads(result.stdout)
            seen.append((sorted((e["url"], e["alternate_url"], e["size"]) for e in summary["entries"]),
                         summary["skipped"]))
        self.assertEqual(seen[0], seen[1])
        self.assertEqual(seen[0][1], {"incomplete": 1, "redirect": 1, "status 302": 1, "status 404": 1})

    def test_include_and_exclude_prefixes(self):
        r = FIX.site.root
        cases = [  # options, URLs kept, skipped
            (["--include", r + "movie", "--include", r + "DATA"], {r + "movie.swf?v=1", r + "data.xml"},
             None),
            (["--exclude", r + "big", "--exclude", r + "score"], None,
             {"--exclude " + r + "big": 1, "--exclude " + r + "score": 2}),
        ]
        everything = {url for url, _ in FIX.site.expected(counter=2)}
        for options, kept, skipped in cases:
            with self.subTest(options):
                self.fresh()
                result = self.run_import([FIX.har], *options, exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                urls = {e["url"] for e in summary["entries"]}
                self.assertEqual(urls, kept or everything - {r + "big.bin", r + "score.php"})
                counted = {k: v for k, v in summary["skipped"].items() if "-" in k}
                self.assertEqual(counted if skipped else set(counted), skipped or {"not under --include"})

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
                done = rf"pack {name}: 100% \([0-9.]+ [KM]iB\), [0-9]+ entries, done\. *\r?\n"
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
        # The player's build checks what import gives it, naming the record.
        result = self.run_import(FIX.gz, "--start", r + "index.html")
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr.decode(), r"pack: error: .*site\.warc\.gz.* record at byte \d+ "
                         r"\(entry 0\): the first movie is not a SWF file")
        self.assertNoOutput()
        # In mode page, where the player ignores POST bodies, the last POST to a URL wins.
        result = self.run_import([FIX.har], "--start", r + "movie.swf?v=1", "--size", "320x200",
                                 "--mode", "page")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        summary = json.loads(result.stdout)
        self.assertEqual((summary["start_reason"], summary["width"], summary["height"],
                          summary["mode"], summary["flash_vars"]),
                         ("given by --start", 320, 200, "page", "a=1&b=café"))
        self.assertEqual([(e["url"], e["post_key"]) for e in summary["entries"] if "score" in e["url"]],
                         [(r + "score.php", "")])

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
                result = self.run_import([path], "--strict")
                self.assertEqual(result.returncode, 1, name)
                err = result.stderr.decode()
                self.assertIn(path, err)
                self.assertIn(message, err)
                if path.endswith("warc") or path.endswith(".gz"):
                    self.assertIn("at byte ", err)
                self.assertNoOutput()

    def test_damaged_records_are_skipped_and_reading_goes_on(self):
        site, r = FIX.site, FIX.site.root
        with open(FIX.plain[0], "rb") as f:
            plain = f.read()
        with open(FIX.gz[0], "rb") as f:
            gz = f.read()
        starts, members = warc_records(plain), gzip_members(gz)
        self.assertEqual(len(starts), len(members))
        xml = next(k for k, (a, b) in enumerate(starts)
                   if b"WARC-Type: response" in plain[a:b] and (r + "data.xml").encode() in plain[a:b])
        a, b = starts[xml]
        length = re.search(rb"Content-Length: (\d+)", plain[a:b])

        def resize(delta):
            n = int(length.group(1)) + delta
            return plain[:a + length.start(1)] + str(n).encode() + plain[a + length.end(1):]

        m0, m1 = members[xml]
        end = starts[xml + 1][0]
        flipped = bytearray(plain)
        flipped[end - 5] ^= 1  # the payload's last byte
        crc = bytearray(gz)
        crc[m1 - 8] ^= 0xFF
        def wacz(compression):
            """site.warc.gz, and a plain WARC whose member is changed after zipping
            where no WARC digest covers it."""
            path = self.out + "-%d.wacz" % compression
            self.addCleanup(os.remove, path)
            with zipfile.ZipFile(path, "w") as z:
                z.write(FIX.gz[0], "archive/site.warc.gz", zipfile.ZIP_STORED)
                z.write(FIX.plain[1], "archive/post1.warc", compression)
                member = z.getinfo("archive/post1.warc")
            with open(path, "rb") as f:
                data = bytearray(f.read())
            start = member.header_offset + 30 + int.from_bytes(data[member.header_offset + 26:][:2], "little") \
                + int.from_bytes(data[member.header_offset + 28:][:2], "little")
            at = data.index(b"WARC-Date: 20", start) + 12 if compression == zipfile.ZIP_STORED \
                else start + member.compress_size // 2
            data[at] ^= 1
            return bytes(data)

        cases = [  # name, capture, URLs lost
            ("Content-Length one too large", resize(1), [r + "data.xml"]),
            # Reading on takes the next request too: its response has no sure one.
            ("Content-Length 100 too large", resize(100), [r + "data.xml", r + "big.bin"]),
            ("Content-Length 100 too small", resize(-100), [r + "data.xml"]),
            ("payload byte changed", bytes(flipped), [r + "data.xml"]),
            ("gzip CRC broken", bytes(crc), []),
            ("gzip member cut in the middle", gz[:m0 + (m1 - m0) // 2] + gz[m1:], []),
            ("cut inside the last record", plain[:-40], []),
            ("garbage at the end", plain + b"\0garbage\n" * 20, []),
            ("last gzip member cut", gz[:-30], []),
            ("WACZ member stored, a byte changed", wacz(zipfile.ZIP_STORED), []),
            ("WACZ member deflated, a byte changed", wacz(zipfile.ZIP_DEFLATED), []),
        ]
        expected = {k: v for k, v in site.expected(counter=1).items() if k[1] is None}
        d = tempfile.mkdtemp(prefix="import-damaged-")
        self.addCleanup(shutil.rmtree, d, True)
        for name, data, lost in cases:
            with self.subTest(name):
                path = os.path.join(d, "c.warc")
                with open(path, "wb") as f:
                    f.write(data)
                self.fresh()
                result = self.run_import([path], exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                self.assertGreaterEqual(summary["skipped"].get("damaged record", 0), 1, name)
                self.assertRegex(" ".join(summary["warnings"]), re.escape(path) + r".*at byte \d+")
                stored = {url: data for (url, _), (data, _) in self.stored().items()}
                for (url, _), body in expected.items():
                    if url not in lost and not (not lost and url == r + "data.xml" and "gzip" in name):
                        self.assertEqual(stored.get(url), body, f"{name}: {url}")
                self.assertFalse(set(lost) & set(stored), name)
                self.fresh()
                result = self.run_import([path], "--strict")
                self.assertEqual(result.returncode, 1, name)
                self.assertIn("--strict", result.stderr.decode())
                self.assertNoOutput()

    def test_post_answers_are_keyed_only_by_their_own_sound_request(self):
        site, r = FIX.site, FIX.site.root
        data = b""
        for path in FIX.plain[1:3]:  # wget --post-data score=1, then score=2
            with open(path, "rb") as f:
                data += f.read()
        records = [data[a:b] for a, b in zip([a for a, _ in warc_records(data)],
                                              [a for a, _ in warc_records(data)[1:]] + [len(data)])]
        requests = [k for k, rec in enumerate(records) if b"WARC-Type: request" in rec]

        def join(changes):
            return b"".join(changes.get(k, rec) for k, rec in enumerate(records))

        def longer(rec):  # the record's length one byte too large
            n = int(re.search(rb"\nContent-Length: (\d+)", rec).group(1))
            return rec.replace(b"\nContent-Length: %d" % n, b"\nContent-Length: %d" % (n + 1), 1)

        no_ids = re.compile(rb"WARC-(Record-ID|Concurrent-To): [^\r]*\r\n")
        first, second = requests[0], requests[1]
        cases = [  # capture, POST bodies whose answers are kept, responses skipped
            ("second request cut out at a record boundary", join({second: b""}), ["score=1"], 1),
            ("first request one byte too long", join({first: longer(records[first])}), ["score=2"], 1),
            ("a byte of the first request's body flipped",
             join({first: records[first].replace(b"score=1", b"score=3")}), ["score=2"], 1),
            ("no record IDs, second request cut out", no_ids.sub(b"", join({second: b""})), ["score=1"], 1),
            ("no record IDs, both requests before both answers",
             no_ids.sub(b"", join({first: records[first] + records[second], second: b""})), [], 2),
        ]
        path = os.path.join(self.out + "-post.warc")
        self.addCleanup(os.remove, path)
        self.assertEqual(self.run_import([FIX.plain[0]], "--strict", exe=False).returncode, 0)
        for name, capture, kept, unsure in cases:
            with self.subTest(name):
                with open(path, "wb") as f:
                    f.write(capture)
                self.fresh()
                # The site's capture beside it gives the first movie.
                result = self.run_import([FIX.plain[0], path], exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                got = {k[1]: v[0] for k, v in self.stored().items() if k[0] == r + "score.php"}
                self.assertEqual(got, {post_key(b): site.post_answer(b.encode()) for b in kept})
                self.assertEqual(summary["skipped"].get("no sure request"), unsure, summary["warnings"])
                self.assertRegex(" ".join(summary["warnings"]), r"no sure request \(%d\): .*record at byte \d+" % unsure)
                self.fresh()
                result = self.run_import([FIX.plain[0], path], "--strict", exe=False)
                self.assertEqual(result.returncode, 1, name)
                self.assertNoOutput()

    def test_faulty_har_entries_are_skipped_naming_the_entry(self):
        swf = base64.b64encode(movie("wait\n")).decode()

        def entry(url, status, text=swf, **content):
            return {"request": {"method": "GET", "url": url},
                    "response": {"status": status, "headers": [], "content": {
                        "mimeType": "application/x-shockwave-flash", "text": text,
                        "encoding": "base64", **content}}}

        place = r"(: at byte \d+)? \(entries\[1\]\)"
        cases = [  # name, entry, the summary's reason, where the warning points
            ("1e300", entry("http://h.test/a.swf", 1e300), "bad record", place),
            ("200.7", entry("http://h.test/b.swf", 200.7), "bad record", place),
            ("text", entry("http://h.test/c.swf", "200"), "bad record", place),
            ("long URL", entry("http://h.test/" + "d" * 70000 + ".swf", 200), "too large for the player", place),
            # Past what is read back from a spilled string.
            ("URL of 2 MiB", entry("http://h.test/" + "e" * (2 << 20) + ".swf", 200), "too large for the player",
             place),
            ("fill inside base64", entry("http://h.test/f.swf", 200, swf[:9] + "=" + swf[9:]), "undecodable", place),
            ("NUL in the URL", entry("http://h.test/g\0.swf", 200), "bad record", place),
            ("1e400 in a field not read", entry("http://h.test/h.swf", 200, size="HUGE"), "bad record", place),
            ("not base64", entry("http://h.test/i.swf", 200, encoding="quoted-printable"), "undecodable", place),
            ("not UTF-8", entry("http://h.test/j.swf", 200, mimeType="NOT-UTF-8"), "bad record", place),
            # The file ends inside the entry: what came before stands.
            ("cut", entry("http://h.test/cut.swf", 200), "damaged record", ":1: not valid JSON"),
        ]
        for name, bad, reason, where in cases:
            with self.subTest(name):
                self.fresh()
                path = os.path.join(self.out, "c.har")
                text = json.dumps({"log": {"entries": [entry("http://h.test/m.swf", 200), bad,
                                                       entry("http://h.test/next.swf", 200)]}}).encode()
                text = text.replace(b'"HUGE"', b"1e400").replace(b"NOT-UTF-8", b"text/\xff")
                with open(path, "wb") as f:
                    f.write(text[:text.index(b"cut.swf")] if name == "cut" else text)
                result = self.run_import([path], exe=False)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                summary = json.loads(result.stdout)
                self.assertEqual(summary["skipped"], {reason: 1})
                self.assertEqual([e["url"] for e in summary["entries"]],
                                 ["http://h.test/m.swf"] + (["http://h.test/next.swf"] if name != "cut" else []))
                self.assertRegex(summary["warnings"][0], re.escape(path) + where)
                shutil.rmtree(os.path.join(self.out, "m"))
                result = self.run_import([path], "--strict", exe=False)
                self.assertEqual(result.returncode, 1, name)
                self.assertRegex(result.stderr.decode(), re.escape(path) + where)

    def test_a_dead_runs_part_folder_is_replaced(self):
        part = os.path.join(self.out, "m.part")
        dead = subprocess.Popen(["true"])
        dead.wait()
        cases = [  # owner file, refused
            (str(dead.pid), False),
            (str(os.getpid()), True),  # a live process
            (None, True),              # not made by pack import
        ]
        for owner, refused in cases:
            with self.subTest(owner=owner):
                shutil.rmtree(self.out)
                os.makedirs(part)
                with open(os.path.join(part, "stale.bin"), "wb") as f:
                    f.write(b"x")
                if owner:
                    with open(os.path.join(part, ".pack-import-owner"), "w") as f:
                        f.write(owner + "\n")
                result = self.run_import([FIX.har], exe=False)
                self.assertEqual(result.returncode, int(refused), result.stderr.decode())
                self.assertEqual(os.path.exists(part), refused)
                if not refused:
                    files = os.listdir(os.path.join(self.out, "m"))
                    self.assertNotIn("stale.bin", files)
                    self.assertNotIn(".pack-import-owner", files)

    def test_a_killed_runs_temporary_folder_is_removed_by_the_next(self):
        if "wine-run" in ARGS.pack:
            self.skipTest("TMPDIR names the Linux packer's temporary folder")
        tmp = os.path.join(self.out, "tmp")
        os.mkdir(tmp)
        env = dict(os.environ, TMPDIR=tmp)

        def blocked(name):
            """A run waiting on a capture that nobody writes, and its work folder."""
            fifo = os.path.join(self.out, name)
            os.mkfifo(fifo)
            before = set(os.listdir(tmp))
            run = subprocess.Popen(shlex.split(ARGS.pack) + ["import", fifo, "-o", fifo + ".exe", "--stub",
                                                              FIX.fake_stub], env=env, stderr=subprocess.DEVNULL)
            self.addCleanup(run.wait)
            self.addCleanup(run.kill)
            for _ in range(2000):
                new = [n for n in set(os.listdir(tmp)) - before
                       if os.path.exists(os.path.join(tmp, n, ".pack-import-owner"))]
                if new:
                    with open(os.path.join(tmp, new[0], ".pack-import-owner")) as f:
                        if f.read().endswith("\n"):
                            return run, new[0]
                self.assertIsNone(run.poll())
                time.sleep(0.01)
            self.fail("no work folder")

        killed, dead_folder = blocked("a.warc")
        with open(os.path.join(tmp, dead_folder, "payload.bin"), "wb") as f:
            f.write(bytes(1000))
        killed.kill()
        killed.wait()
        live, live_folder = blocked("b.warc")
        result = subprocess.run(shlex.split(ARGS.pack) + ["import", FIX.har, "-o", os.path.join(self.out, "g.exe"),
                                                          "--stub", FIX.fake_stub], env=env, capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(os.listdir(tmp), [live_folder])

    def test_output_naming_a_capture_is_refused(self):
        d = tempfile.mkdtemp(prefix="import-self-")
        self.addCleanup(shutil.rmtree, d, True)
        capture, stub = os.path.join(d, "site.warc.gz"), os.path.join(d, "stub.exe")
        shutil.copy(FIX.gz[0], capture)
        shutil.copy(FIX.fake_stub, stub)
        os.link(capture, os.path.join(d, "other.exe"))
        files = sorted(os.listdir(d))
        for out, original in ((capture, FIX.gz[0]), (os.path.join(d, "other.exe"), FIX.gz[0]),
                              (stub, FIX.fake_stub)):
            with self.subTest(out):
                result = pack("import", capture, "-o", out, "--stub", stub,
                              "--manifest", os.path.join(d, "m"))
                self.assertEqual(result.returncode, 1)
                self.assertIn("choose another output", result.stderr.decode())
                with open(out, "rb") as f, open(original, "rb") as g:
                    self.assertEqual(f.read(), g.read())
                self.assertEqual(sorted(os.listdir(d)), files)
        # A mirrored folder is read whole, and would read an output inside it.
        mirror = os.path.join(d, "mirror")
        shutil.copytree(FIX.mirror_windows, mirror)
        host = os.path.join(mirror, os.listdir(mirror)[0])
        for out in (["-o", os.path.join(host, "game.exe")], ["-o", os.path.join(mirror, "game.exe")],
                    ["--manifest", os.path.join(host, "m")]):
            with self.subTest(out):
                result = pack("import", mirror, "--stub", stub, *out)
                self.assertEqual(result.returncode, 1)
                self.assertIn("inside the mirrored folder", result.stderr.decode())
                self.assertFalse(os.path.exists(out[1]) or os.path.exists(out[1] + ".part"))

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
        self.fresh()
        result = self.run_import([path], "--strict")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"--strict", result.stderr)
        self.assertNoOutput()


    def test_revisits_before_their_original_and_in_another_file(self):
        def record(kind, uri, block, *headers):
            head = "".join(f"{h}\r\n" for h in headers)
            return (f"WARC/1.1\r\nWARC-Type: {kind}\r\nWARC-Target-URI: {uri}\r\n{head}"
                    f"Content-Length: {len(block)}\r\n\r\n").encode() + block + b"\r\n\r\n"

        swf = b"FWS\x0a" + struct.pack("<I", 12) + b"body"
        ok = b"HTTP/1.1 200 OK\r\nContent-Type: application/x-shockwave-flash\r\n\r\n"
        not_modified = b"HTTP/1.1 304 Not Modified\r\n\r\n"
        date = "WARC-Date: 2026-01-02T03:04:05Z"
        first = b"".join([
            # Same payload by digest, and by another URL and date, before the original.
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
            # Two POSTs to one URL without record IDs: each answer takes the
            # nearest request before it.
            record("request", "http://r.test/q", b"POST /q HTTP/1.1\r\n\r\na=1"),
            record("response", "http://r.test/q", b"HTTP/1.1 200 OK\r\n\r\none"),
            record("request", "http://r.test/q", b"POST /q HTTP/1.1\r\n\r\na=2"),
            record("response", "http://r.test/q", b"HTTP/1.1 200 OK\r\n\r\ntwo!"),
            # A redirect seen again; a resource under --exclude.
            record("revisit", "http://r.test/e", b"HTTP/1.1 302 Found\r\nLocation: /a.swf\r\n\r\n"),
            record("resource", "http://r.test/x/res.txt", b"resource", "Content-Type: text/plain"),
        ])
        second = record("response", "http://r.test/a.swf", ok + swf, date, "WARC-Payload-Digest: sha1:AAA")
        paths = [self.out + "-1.warc", self.out + "-2.warc"]
        for path, data in zip(paths, (first, second)):
            self.addCleanup(os.remove, path)
            with open(path, "wb") as f:
                f.write(data)
        result = self.run_import(paths, "--exclude", "http://r.test/x/", exe=False)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        summary = json.loads(result.stdout)
        got = {(e["url"], e["post_key"]): e["size"] for e in summary["entries"]}
        self.assertIn("http://r.test/e -> http://r.test/a.swf: kept as the alternate URL of http://r.test/a.swf",
                      summary["redirects"])
        self.assertEqual(got, {("http://r.test/a.swf", ""): 12, ("http://r.test/b.swf", ""): 12,
                               ("http://r.test/c.swf", ""): 12,
                               ("http://r.test/p", post_key("k=v")): 6,
                               ("http://r.test/q", post_key("a=1")): 3, ("http://r.test/q", post_key("a=2")): 4})
        self.assertEqual(summary["skipped"], {"revisit of a payload not in the capture": 1, "redirect": 1,
                                              "--exclude http://r.test/x/": 1})


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
    parser.add_argument("--npm", default="/opt/tessivo-npm",
                        help="the folder scripts/setup installed the npm packages in")
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
