#!/usr/bin/env python3
"""pack fetch against a Wayback-interface archive of the test's own
(wayback_server.py) over captures written by wget and warcio from a site on
the loopback: the sample movie, and a movie made here by haxe that asks for
files that test how captures are chosen.

    fetch_test.py --pack PACK --samples BUILD/samples --npm NPM_DIR [--native PACK] [unittest arguments]

PACK may be a command line: "scripts/wine-run PREFIX pack.exe". --native
names the Linux packer that imports the WARC pack.exe wrote (PACK while it
is not built).
"""
import argparse
import base64
import gzip
import http.server
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import wayback_server  # noqa: E402

ARGS = None
FIX = None
INTRO = "http://sample.tessivo.test/site/"
CASES = "http://cases.test/game/"


class Site:
    """The original sites, reached as a proxy: absolute URL -> (type, body)."""

    def __init__(self, files):
        self.files = files
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def send(self, status, ctype, body):
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.path in site.files:
                    self.send(200, *site.files[self.path])
                else:
                    self.send(404, "text/plain", b"nothing here\n")

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                self.send(200, "text/xml", b"<answer to='" + body + b"'/>\n")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.proxy = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def wget(self, warc, urls, post=None):
        command = ["wget", "-q", "--warc-file=" + warc, "--no-warc-keep-log", "-e", "use_proxy=yes",
                   "-e", "http_proxy=" + self.proxy, "-O", "/dev/null"]
        if post is not None:
            command.append("--post-data=" + post)
        subprocess.run(command + urls, check=True)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def warcio(records, out):
    """Records written by npm's warcio (tests/import/writers)."""
    listing = out + ".json"
    with open(listing, "w") as f:
        json.dump({"records": records}, f)
    script = os.path.join(HERE, "..", "import", "writers", "write-captures.mjs")
    subprocess.run(["node", script, "warcio", listing, out], check=True, env=dict(os.environ, TESSIVO_NPM=ARGS.npm))
    os.remove(listing)


def response(url, date, body, ctype="text/plain", status="200 OK", headers=()):
    return {"type": "response", "url": url, "date": date, "statusline": "HTTP/1.1 " + status,
            "headers": dict([("Content-Type", ctype)] + list(headers)),
            "body": base64.b64encode(body).decode()}


class Fixtures:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tessivo-fetch-test-")
        self.coll = os.path.join(self.dir, "coll")
        os.makedirs(self.coll)
        samples = os.path.join(ARGS.samples, "intro")
        self.intro = {"intro.swf": read(os.path.join(samples, "intro.swf")),
                      "config.xml": read(os.path.join(samples, "config.xml")),
                      "swf/gallery.swf": read(os.path.join(samples, "gallery.swf"))}
        swf = os.path.join(self.dir, "lister.swf")
        subprocess.run(["haxe", "-cp", HERE, "--main", "Lister", "--swf", swf, "--swf-version", "10",
                        "--swf-header", "200:100:30:336699"], check=True)
        self.lister = read(swf)
        files = {INTRO + k: ("application/x-shockwave-flash" if k.endswith(".swf") else "text/xml", v)
                 for k, v in self.intro.items()}
        site = Site(files)
        try:
            # The sample as a crawler saw it; missing.png was never captured.
            site.wget(os.path.join(self.coll, "intro"), [INTRO + k for k in self.intro])
            site.wget(os.path.join(self.coll, "intro-post"), [INTRO + "score.php"], post="player=guest&level=1")
            # The cases' POST, captured with another body than the movie sends.
            site.wget(os.path.join(self.coll, "cases-post"), [CASES + "post.php"], post="player=cheat&level=9")
        finally:
            site.stop()
        self.cases_list = ("GET two.txt\nGET old.xml\nGET http://cases.test/game/secure.txt\n"
                           "GET http://cases.test/game/www.txt\nPOST post.php player=guest&level=1\n"
                           "GET throttled.txt\nGET short.txt\nGET q.txt?session=5\nGET other.txt\n").encode()
        warcio([
            response(CASES + "movie.swf", "2014-06-01T00:00:00Z", self.lister, "application/x-shockwave-flash"),
            response(CASES + "list.txt", "2014-06-01T00:00:00Z", self.cases_list),
            response(CASES + "two.txt", "2010-01-01T00:00:00Z", b"far\n"),
            response(CASES + "two.txt", "2015-01-01T00:00:00Z", b"near\n"),
            response(CASES + "two.txt", "2020-01-01T00:00:00Z", b"latest\n"),
            response(CASES + "old.xml", "2014-06-01T00:00:00Z", b"", "text/html", "301 Moved Permanently",
                     [("Location", "new.xml")]),
            response(CASES + "new.xml", "2014-06-02T00:00:00Z", b"<new/>\n", "text/xml"),
            response("https://cases.test/game/secure.txt", "2014-06-01T00:00:00Z", b"secure\n"),
            response("http://www.cases.test/game/www.txt", "2014-06-01T00:00:00Z", b"www\n"),
            response(CASES + "throttled.txt", "2014-06-01T00:00:00Z", b"patience\n"),
            response(CASES + "short.txt", "2014-06-01T00:00:00Z", b"cut short\n" * 100),
            response(CASES + "q.txt", "2014-06-01T00:00:00Z", b"no query\n"),
            response(CASES + "other.txt", "2014-06-01T00:00:00Z", b"asked\n"),
            response(CASES + "other.txt", "2001-01-01T00:00:00Z", b"served\n"),
        ], os.path.join(self.coll, "cases.warc.gz"))

    def archive(self, dialect="pywb"):
        return wayback_server.Archive(self.coll, ARGS.npm, dialect=dialect).start()


def run_pack(*args, timeout=300, pack=None):
    return subprocess.run(shlex.split(pack or ARGS.pack) + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, timeout=timeout)


def get(url, data=None, headers=None):
    request = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with urllib.request.urlopen(request) as r:
            return r.status, dict(r.headers), r.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


urllib.request.install_opener(urllib.request.build_opener(NoRedirect))


def by_url(summary):
    return {(u["method"], u["url"]): u for u in summary["urls"]}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def warc_records(path):
    """(WARC headers, block) of every record, read with Python's gzip."""
    data = gzip.decompress(read(path))
    out = []
    while data.startswith(b"WARC/"):
        head, _, rest = data.partition(b"\r\n\r\n")
        fields = dict(l.decode().split(": ", 1) for l in head.split(b"\r\n")[1:])
        n = int(fields["Content-Length"])
        out.append((fields, rest[:n]))
        data = rest[n + 4:]
    return out


class ServerTest(unittest.TestCase):
    """The test archive answers as the measured and documented servers do."""

    def test_answers_as_archives_do(self):
        pywb, ia = FIX.archive("pywb"), FIX.archive("ia")
        try:
            p, i = pywb.base, ia.base
            movie = CASES + "movie.swf"
            cases = [  # url, POST body, status, header checks, body check
                (p + "/cdx?url=" + movie + "&output=json", None, 200, {"Content-Type": "text/x-ndjson"},
                 lambda b: set(json.loads(b.splitlines()[0])) >=
                 {"urlkey", "timestamp", "url", "mime", "status", "digest", "length", "offset", "filename",
                  "source", "source-coll", "access"}),
                (p + "/cdx?url=" + INTRO + "score.php&matchType=prefix&output=json", None, 200, {},
                 lambda b: json.loads(b)["method"] == "POST" and json.loads(b)["requestBody"] ==
                 "player=guest&level=1" and "__wb_method=post" in json.loads(b)["urlkey"]),
                (p + "/cdx?url=" + CASES + "two.txt?x=1&output=json", None, 200, {},
                 lambda b: all(json.loads(l)["is_fuzzy"] == "1" for l in b.splitlines()) and b),
                (p + "/cdx?url=" + CASES + "two.txt?x=1&output=json&allowFuzzy=0", None, 200, {}, lambda b: b == b""),
                (p + "/cdx?url=" + CASES + "nothing.txt&output=json", None, 200, {}, lambda b: b == b""),
                (p + "/cdx?output=json", None, 400, {}, lambda b: json.loads(b) ==
                 {"message": 'The "url" param is required'}),
                (p + "/cdx?url=https://www." + CASES[7:] + "two.txt&output=json", None, 200, {},
                 lambda b: len(b.splitlines()) == 3),
                (p + "/cdx?url=" + CASES + "two.txt&output=json&fl=timestamp,original,statuscode", None, 200, {},
                 lambda b: json.loads(b.splitlines()[0]) == {"timestamp": "20100101000000"}),
                (i + "/cdx/search/cdx?url=" + CASES + "two.txt&output=json", None, 200, {},
                 lambda b: json.loads(gzip.decompress(b))[0] == wayback_server.IA_FIELDS),
                (i + "/cdx/search/cdx?url=" + CASES + "two.txt&output=json&gzip=false", None, 200, {},
                 lambda b: json.loads(b)[0] == wayback_server.IA_FIELDS and len(json.loads(b)) == 4),
                (i + "/cdx/search/cdx?url=" + CASES + "nothing.txt&output=json&gzip=false", None, 200, {},
                 lambda b: json.loads(b) == []),
                # Replay: inexact times served at once (pywb) or redirected (ia).
                (p + "/20140101000000id_/" + CASES + "two.txt", None, 200,
                 {"Memento-Datetime": "Thu, 01 Jan 2015 00:00:00 GMT",
                  "Content-Location": p + "/20150101000000id_/" + CASES + "two.txt"}, lambda b: b == b"near\n"),
                (i + "/web/20140101000000id_/" + CASES + "two.txt", None, 302,
                 {"Location": i + "/web/20150101000000id_/" + CASES + "two.txt"}, lambda b: b == b""),
                (p + "/20140601000000id_/" + CASES + "old.xml", None, 301, {"Location": "new.xml"},
                 lambda b: b == b""),
                (p + "/20140601000000id_/" + CASES + "nothing.txt", None, 404, {"Memento-Datetime": None},
                 lambda b: b"<html" in b),
                (p + "/20140601000000id_/http://cases.test", None, 307,
                 {"Location": p + "/20140601000000id_/http://cases.test/"}, None),
                (p + "/20260101000000id_/" + INTRO + "score.php", b"player=guest&level=1", 200, {},
                 lambda b: b == b"<answer to='player=guest&level=1'/>\n"),
                # Another body still gets a capture, and no word of it.
                (p + "/20260101000000id_/" + CASES + "post.php", b"player=guest&level=1", 200, {},
                 lambda b: b"cheat" in b),
            ]
            for url, data, status, headers, check in cases:
                with self.subTest(url=url):
                    got_status, got_headers, body = get(url, data)
                    self.assertEqual(got_status, status)
                    for k, v in headers.items():
                        self.assertEqual(got_headers.get(k), v, k)
                    if check:
                        self.assertTrue(check(body), body[:300])
        finally:
            pywb.stop()
            ia.stop()


class FetchTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=FIX.dir)

    def fetch(self, archive, url, *more, timeout=300):
        out = os.path.join(self.dir, "out.exe")
        r = run_pack("fetch", url, "--archive", archive.base, "-o", out, "--seconds", "4", "--json",
                     *more, timeout=timeout)
        return r, out

    def test_sample_movie_and_rerun(self):
        archive = FIX.archive()
        try:
            r, out = self.fetch(archive, INTRO + "intro.swf")
            self.assertEqual(r.returncode, 0, r.stderr)
            s = json.loads(r.stdout)
            urls = by_url(s)
            self.assertEqual(s["dialect"], "pywb")
            for name in ("intro.swf", "config.xml", "swf/gallery.swf"):
                u = urls[("GET", INTRO + name)]
                self.assertEqual((u["state"], u["size"]), ("fetched", len(FIX.intro[name])), name)
                self.assertTrue(u["archive_url"].startswith(archive.base + "/"), u)
            post = urls[("POST", INTRO + "score.php")]
            self.assertEqual((post["state"], post["found"], post["post_body"]),
                             ("fetched", "run time", "player=guest&level=1"))
            self.assertEqual(urls[("GET", INTRO + "config.xml")]["found"], "both")
            missing = urls[("GET", INTRO + "missing.png")]
            self.assertEqual((missing["state"], missing["missing"]), ("missing", "not captured"))
            self.assertEqual(s["missing"], 1)
            # Every replay asked for the stored bytes, as the tool that asked.
            replays = [(m, ua) for m, path, ua in archive.log if "id_/" in path]
            self.assertTrue(all(ua.startswith("tessivo-pack/") for _, ua in replays), replays)

            # The player answers all but the file never captured.
            p = run_pack("preview", out, "--seconds", "4", "--json")
            self.assertEqual(p.returncode, 0, p.stderr)
            answered = {(q["method"], q["url"]): q["entry"] >= 0 for q in json.loads(p.stdout)["requests"]}
            self.assertEqual(answered, {("GET", INTRO + "intro.swf"): True, ("GET", INTRO + "config.xml"): True,
                                        ("GET", INTRO + "swf/gallery.swf"): True,
                                        ("POST", INTRO + "score.php"): True,
                                        ("GET", INTRO + "missing.png"): False})

            # The WARC beside the player: what was fetched, from where, and how.
            warc = os.path.join(self.dir, "out.warc.gz")
            records = warc_records(warc)
            info = records[0][1].decode()
            self.assertEqual(records[0][0]["WARC-Type"], "warcinfo")
            for text in (archive.base, "pack fetch " + INTRO + "intro.swf", "tessivo-pack/"):
                self.assertIn(text, info)
            responses = {f["WARC-Target-URI"]: f for f, _ in records if f["WARC-Type"] == "response"}
            self.assertEqual(set(responses), {INTRO + n for n in ("intro.swf", "config.xml", "swf/gallery.swf",
                                                                  "score.php")})
            for f in responses.values():
                self.assertTrue(f["WARC-Source-URI"].startswith(archive.base + "/"))
                self.assertTrue(f["WARC-Payload-Digest"].startswith("sha1:"))
            # The one import path: pack import of the WARC makes the same player.
            again = os.path.join(self.dir, "import.exe")
            i = run_pack("import", warc, "-o", again)
            self.assertEqual(i.returncode, 0, i.stderr)
            self.assertEqual(read(again), read(out))

            # A rerun fetches nothing it has; --strict refuses the player for the missing file.
            before = len(archive.log)
            os.remove(out)
            r2, _ = self.fetch(archive, INTRO + "intro.swf", "--strict")
            self.assertEqual(r2.returncode, 1, r2.stderr)
            self.assertIn("1 file(s) the movie asks for are missing", r2.stderr)
            s2 = json.loads(r2.stdout)
            self.assertEqual((s2["fetched"], s2["in_warc"], s2["requests"]["replay"], s2["output"]), (0, 4, 0, None))
            self.assertEqual([p for _, p, _ in archive.log[before:] if "id_/" in p], [])
            self.assertFalse(os.path.exists(out))
        finally:
            archive.stop()

    def test_how_captures_are_chosen(self):
        for dialect in ("pywb", "ia"):
            with self.subTest(dialect=dialect):
                self.dir = tempfile.mkdtemp(dir=FIX.dir)
                archive = FIX.archive(dialect)
                archive.faults["throttle"]["throttled.txt"] = 2
                archive.faults["short"].add("short.txt")
                archive.faults["other"].add("other.txt")
                try:
                    r, out = self.fetch(archive, CASES + "movie.swf", "--timeout", "2", "--jobs", "2")
                    self.assertLessEqual(archive.most_at_once, 2)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    s = json.loads(r.stdout)
                    self.assertEqual((s["dialect"], s["aimed_at"]), (dialect, "20140601000000"))
                    u = by_url(s)
                    got = lambda name, method="GET": u.get((method, CASES + name)) or self.fail(r.stdout + r.stderr)
                    self.assertEqual((got("two.txt")["capture_time"], got("two.txt")["size"]),
                                     ("20150101000000", 5))
                    self.assertEqual((got("old.xml")["status"], got("new.xml")["redirect_from"]),
                                     (301, CASES + "old.xml"))
                    self.assertEqual(got("new.xml")["state"], "fetched")
                    for name, captured in (("secure.txt", "https://cases.test/game/secure.txt"),
                                           ("q.txt?session=5", CASES + "q.txt"),
                                           ("www.txt", "http://www.cases.test/game/www.txt")):
                        self.assertEqual((got(name)["state"], got(name)["variant"], got(name)["captured_url"]),
                                         ("fetched", True, captured))
                    post = got("post.php", "POST")["missing"]
                    self.assertIn("another body" if dialect == "pywb" else "not replayable", post)
                    self.assertEqual(got("throttled.txt")["state"], "fetched")
                    throttled = [p for _, p, _ in archive.log if "id_/" in p and "throttled" in p]
                    self.assertEqual(len(throttled), 3)
                    self.assertIn("replay failed", got("short.txt")["missing"])
                    if dialect == "pywb":
                        other = got("other.txt")
                        self.assertEqual((other["capture_time"], other["size"], other["archive_url"]),
                                         ("20010101000000", 7, archive.base + "/20010101000000id_/" + CASES + "other.txt"))
                    # The player answers what was fetched, the redirect's source too.
                    x = run_pack("explain", out, CASES + "old.xml")
                    self.assertEqual(x.returncode, 0, x.stdout + x.stderr)
                    x = run_pack("explain", out, CASES + "two.txt", "--json")
                    self.assertEqual(x.returncode, 0, x.stdout + x.stderr)
                finally:
                    archive.stop()

    def test_time_and_limits(self):
        # The movies' texts alone (--no-run) name list.txt and what it lists.
        archive = FIX.archive()
        looked_up = lambda s: [u for u in s["urls"] if not u.get("missing", "").startswith("not looked up")]
        cases = [  # more arguments, check of the summary
            (["--at", "20200101"], lambda s: (s["aimed_at"], by_url(s)[("GET", CASES + "two.txt")]["capture_time"]) ==
             ("20200101000000", "20200101000000")),
            (["--rounds", "1"], lambda s: [u["url"] for u in s["urls"]] == [CASES + "movie.swf", CASES + "list.txt"]),
            (["--max-urls", "3"], lambda s: len(looked_up(s)) == 3 and len(s["urls"]) > 3),
        ]
        try:
            for more, check in cases:
                with self.subTest(more=more):
                    self.dir = tempfile.mkdtemp(dir=FIX.dir)
                    r, _ = self.fetch(archive, CASES + "movie.swf", "--no-run", "--timeout", "1", *more)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertTrue(check(json.loads(r.stdout)), r.stdout)
        finally:
            archive.stop()

    def test_interrupt_leaves_a_warc_to_go_on_from(self):
        archive = FIX.archive()
        archive.faults["throttle"]["config.xml"] = 1000
        try:
            out = os.path.join(self.dir, "out.exe")
            p = subprocess.Popen(shlex.split(ARGS.pack) + ["fetch", INTRO + "intro.swf", "--archive", archive.base, "-o", out,
                                  "--seconds", "4", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
            # Refused twice: the rest of its round has answered by then.
            while sum("id_/" in path and "config.xml" in path for _, path, _ in list(archive.log)) < 2:
                self.assertIsNone(p.poll())
                time.sleep(0.05)
            # As a terminal's Ctrl-C: to the whole group (under Wine, its loader and pack.exe).
            os.killpg(p.pid, signal.SIGINT)
            _, err = p.communicate(timeout=60)
            self.assertEqual(p.returncode, 1, err)
            self.assertIn("interrupted", err)
            self.assertFalse(os.path.exists(out))
            kept = {f["WARC-Target-URI"] for f, _ in warc_records(os.path.join(self.dir, "out.warc.gz"))
                    if f["WARC-Type"] == "response"}
            run_time = set() if ARGS.native else {INTRO + "score.php"}  # pack.exe has no browser round
            self.assertEqual(kept, {INTRO + "intro.swf", INTRO + "swf/gallery.swf"} | run_time)
            archive.faults["throttle"].clear()
            r, _ = self.fetch(archive, INTRO + "intro.swf")
            self.assertEqual(r.returncode, 0, r.stderr)
            s = json.loads(r.stdout)
            self.assertEqual((s["fetched"], s["in_warc"], by_url(s)[("GET", INTRO + "config.xml")]["state"]),
                             (1, 2 + len(run_time), "fetched"))
        finally:
            archive.stop()

    def test_refusals_write_nothing(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        down = "http://127.0.0.1:%d/coll" % s.getsockname()[1]
        s.close()
        other = os.path.join(FIX.dir, "other.tar.gz")  # a gzip file that is no WARC of ours
        with gzip.open(other, "wb") as f:
            f.write(b"not a WARC record\n")
        before = read(other)
        # A record of ours, then a member whose deflate data is broken (a
        # reserved block type): damage where no run stops writing.
        damaged = os.path.join(FIX.dir, "damaged.warc.gz")
        first = gzip.compress(b"WARC/1.1\r\nWARC-Type: warcinfo\r\nContent-Length: 0\r\n\r\n\r\n\r\n")
        second = bytearray(gzip.compress(b"WARC/1.1\r\n" + b"x" * 2000))
        second[10] = 0xFF
        with open(damaged, "wb") as f:
            f.write(first + bytes(second))
        cases = [  # more arguments, text in stderr
            ([], "cannot reach the archive " + down + ": "),
            (["--warc", other], other + ": not a WARC written by pack fetch"),
            (["--warc", damaged], "%s: at byte %d: a damaged record" % (damaged, len(first))),
        ]
        for more, text in cases:
            with self.subTest(more=more):
                work = tempfile.mkdtemp(dir=FIX.dir)
                r = run_pack("fetch", INTRO + "intro.swf", "--archive", down, "-o", os.path.join(work, "out.exe"),
                             *more)
                self.assertEqual(r.returncode, 1)
                self.assertIn(text, r.stderr)
                self.assertEqual(os.listdir(work), [])
        self.assertEqual(read(other), before)

class StaticRoundsTest(unittest.TestCase):
    """Where no browser can play the package (pack.exe; the Linux pack without
    chromium), fetch says so once and follows the movies' texts alone."""

    def test_static_rounds_and_rerun(self):
        archive = FIX.archive()
        # The WARC goes beside the output, named after it: a dot in a folder's name is no extension,
        # and pack.exe is given the path as Windows writes it.
        work = tempfile.mkdtemp(dir=FIX.dir, suffix=".d")
        out, warc = os.path.join(work, "out"), os.path.join(work, "out.warc.gz")
        out_arg = "Z:" + out.replace("/", "\\") if ARGS.native else out
        no_browser = [] if ARGS.native else ["--chromium", os.path.join(work, "no-chromium")]
        fetch = lambda: run_pack("fetch", INTRO + "intro.swf", "--archive", archive.base, "-o", out_arg, "--json",
                                 *no_browser)
        try:
            r = fetch()
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr.count("only the static rounds run"), 1, r.stderr)
            s = json.loads(r.stdout)
            self.assertEqual({u["url"]: (u["state"], u["found"]) for u in s["urls"]},
                             {INTRO + "intro.swf": ("fetched", "start"), INTRO + "config.xml": ("fetched", "static"),
                              INTRO + "swf/gallery.swf": ("fetched", "static"),
                              INTRO + "missing.png": ("missing", "static")})
            kept = {f["WARC-Target-URI"]: block.partition(b"\r\n\r\n")[2]
                    for f, block in warc_records(warc) if f["WARC-Type"] == "response"}
            self.assertEqual(kept, {INTRO + n: FIX.intro[n] for n in ("intro.swf", "config.xml", "swf/gallery.swf")})
            player = read(out)
            # The one import path, in the Linux pack too: the same player from the WARC.
            again = os.path.join(work, "import.exe")
            native = ARGS.native if ARGS.native and os.path.exists(ARGS.native) else None
            i = run_pack("import", warc, "-o", again, pack=native)
            self.assertEqual(i.returncode, 0, i.stderr)
            self.assertEqual(read(again), player)

            # A rerun asks the archive for nothing it has, and builds the same player.
            before = len(archive.log)
            r = fetch()
            self.assertEqual(r.returncode, 0, r.stderr)
            s = json.loads(r.stdout)
            self.assertEqual((s["fetched"], s["in_warc"], s["requests"]["replay"]), (0, 3, 0))
            self.assertEqual([p for _, p, _ in archive.log[before:] if "id_/" in p], [])
            self.assertEqual(read(out), player)
        finally:
            archive.stop()


def main():
    global ARGS, FIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--npm", required=True)
    parser.add_argument("--native")
    ARGS, rest = parser.parse_known_args()
    FIX = Fixtures()
    try:
        unittest.main(argv=[sys.argv[0]] + rest)
    finally:
        shutil.rmtree(FIX.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
