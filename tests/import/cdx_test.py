#!/usr/bin/env python3
"""pack import --prefix over a collection with a CDX or CDXJ index: a few
games and a large filler fetched by wget from a loopback server, a revisit
written by warcio, indexed by warcio's indexer, and the WARCs in a WACZ
made by js-wacz. Only the game's records are
read, and the player is the one a full read with --include makes.

    cdx_test.py --pack PACK [--npm DIR] [unittest arguments]
"""
import argparse
import base64
import gzip
import hashlib
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
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = None
FIX = None


def movie(tag):
    body = b"\n#!standin\nwait\n" + tag
    return b"FWS" + bytes([9]) + struct.pack("<I", 8 + len(body)) + body


class Fixtures:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="cdx-test-")
        files = {}
        for g in ("game1", "game2"):
            files[f"/{g}/index.html"] = ("text/html", b'<html><embed src="movie.swf" width="320" height="240"></html>')
            files[f"/{g}/movie.swf"] = ("application/x-shockwave-flash", movie(g.encode()))
            files[f"/{g}/data.xml"] = ("text/xml", b"<d>%s</d>" % g.encode())
        self.shared = movie(b"shared")
        files["/game2/shared.swf"] = ("application/x-shockwave-flash", self.shared)
        # Random, so that gzip keeps it large: the bytes a prefix must not read.
        files["/filler.bin"] = ("application/octet-stream", random.Random(3).randbytes(3 << 20))

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, ctype, body, extra=()):
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                for k, v in extra:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.path == "/game1/old.xml":
                    return self.answer(301, "text/plain", b"", [("Location", "data.xml")])
                ctype, body = files.get(self.path, ("text/plain", None))
                self.answer(200 if body is not None else 404, ctype, body or b"missing")

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                self.answer(200, "text/plain", b"score " + body)

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        root = self.root = f"http://127.0.0.1:{server.server_address[1]}/"
        coll = self.coll = os.path.join(self.dir, "coll")
        os.mkdir(coll)
        try:
            def wget(name, urls, *extra):
                subprocess.run(["wget", "--no-proxy", "-q", "--tries=1", "--timeout=10", "-O", "/dev/null",
                                "--warc-file=" + os.path.join(coll, name), *extra, *urls],
                               cwd=self.dir, timeout=120, check=False)
            wget("a", [root + p for p in ("game1/index.html", "game1/movie.swf", "filler.bin", "game2/index.html",
                                          "game2/movie.swf", "game2/shared.swf", "game1/data.xml",
                                          "game1/old.xml", "game2/data.xml")])
            wget("b", [root + "game1/score.php"], "--post-data=s=1")
            wget("b2", [root + "game1/score.php"], "--post-data=s=2")
        finally:
            server.shutdown()
            server.server_close()
        # A revisit under game1 of a payload captured only under game2.
        digest = "sha1:" + base64.b32encode(hashlib.sha1(self.shared).digest()).decode()
        listing = os.path.join(self.dir, "c.json")
        with open(listing, "w") as f:
            json.dump({"version": "WARC/1.0", "records": [
                {"type": "revisit", "url": root + "game1/again.swf", "date": "2026-01-02T03:04:05Z",
                 "statusline": "HTTP/1.1 200 OK", "headers": [["Content-Type", "application/x-shockwave-flash"]],
                 "refersToUrl": root + "game2/shared.swf", "refersToDate": "2026-01-01T00:00:00Z",
                 "warcHeaders": {"WARC-Payload-Digest": digest}}]}, f)
        env = dict(os.environ, TESSIVO_NPM=ARGS.npm)
        subprocess.run(["node", os.path.join(HERE, "writers", "write-captures.mjs"), "warcio", listing,
                        os.path.join(coll, "c.warc")], env=env, check=True, timeout=300)
        self.warcs = [os.path.join(coll, n) for n in ("a.warc.gz", "b.warc.gz", "b2.warc.gz", "c.warc")]
        # wget's records uncompressed as well.
        self.plain = os.path.join(coll, "a.warc")
        with gzip.open(self.warcs[0]) as f, open(self.plain, "wb") as out:
            shutil.copyfileobj(f, out)
        # Indexed by warcio's indexer, in both of its index formats.
        cli = os.path.join(ARGS.npm, "node_modules", "warcio", "dist", "cli.js")
        for fmt in ("cdx", "cdxj"):
            with open(os.path.join(self.dir, "coll." + fmt), "wb") as f:
                subprocess.run(["node", cli, "cdx-index", "--format", fmt, *self.warcs, self.plain], stdout=f, check=True,
                               timeout=300, cwd=coll)
        # The same WARCs packed by js-wacz, its index inside.
        self.wacz = os.path.join(self.dir, "coll.wacz")
        subprocess.run([os.path.join(ARGS.npm, "node_modules", ".bin", "js-wacz"), "create", "--log-level", "warn",
                        "-f", os.path.join(coll, "*.warc.gz"), "-o", self.wacz], check=True, timeout=300)
        # Lines that give the URL by its key alone.
        with open(os.path.join(self.dir, "coll.cdx")) as f, open(os.path.join(self.dir, "keys.cdx"), "w") as out:
            for line in f:
                fields = line.split(" ")
                out.write(" ".join(fields[:2] + ["-"] + fields[3:]))
        self.stub = os.path.join(self.dir, "stub.exe")
        with open(self.stub, "wb") as f:
            f.write(bytes(40000))


def pack(*args):
    return subprocess.run(shlex.split(ARGS.pack) + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=600)


class CdxTest(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="cdx-out-")

    def tearDown(self):
        shutil.rmtree(self.out, ignore_errors=True)

    def player(self, name, inputs, *options):
        exe = os.path.join(self.out, name)
        r = pack("import", *inputs, "-o", exe, "--stub", FIX.stub, "--no-browser", "--json", *options)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return exe, json.loads(r.stdout), r.stderr.decode()

    def same(self, a, b):
        self.assertEqual(subprocess.run(["cmp", a, b]).returncode, 0, f"{a} and {b} differ")

    def test_prefix_reads_its_records_only_and_packs_what_include_packs(self):
        for prefix, wget_warcs in (("game1/", FIX.warcs[:3]), ("game2/", FIX.warcs[:3]),
                                   ("game1/", [FIX.plain, *FIX.warcs[1:3]])):
            full, whole, _ = self.player("full.exe", wget_warcs, "--include", FIX.root + prefix)
            self.assertEqual(whole["read_bytes"], whole["capture_bytes"])
            for index in ("coll.cdx", "coll.cdxj", "keys.cdx"):
                with self.subTest(prefix=prefix, index=index, first=wget_warcs[0]):
                    exe, j, err = self.player(index + ".exe", wget_warcs, "--cdx",
                                              os.path.join(FIX.dir, index), "--prefix", FIX.root + prefix)
                    self.assertEqual(j["warnings"], [], err)
                    self.assertLess(j["read_bytes"], j["capture_bytes"] / 100)
                    self.same(exe, full)
                    self.assertEqual([e["url"] for e in j["entries"]], [e["url"] for e in whole["entries"]])
            with self.subTest(prefix=prefix, wacz=True, first=wget_warcs[0]):
                full, _, _ = self.player("full.exe", [FIX.wacz], "--include", FIX.root + prefix)
                exe, j, err = self.player("wacz.exe", [FIX.wacz], "--prefix", FIX.root + prefix)
                self.assertEqual(j["warnings"], [], err)
                self.assertLess(j["read_bytes"], j["capture_bytes"] / 100)
                self.same(exe, full)
        # Both POST answers, keyed by their requests' bodies; the redirect kept as an alternate.
        _, j, _ = self.player("g1.exe", wget_warcs, "--cdx", os.path.join(FIX.dir, "coll.cdx"),
                              "--prefix", FIX.root + "game1/")
        keys = sorted(e["post_key"] for e in j["entries"] if e["url"].endswith("score.php"))
        self.assertEqual(keys, [base64.b64encode(b"s=1").decode(), base64.b64encode(b"s=2").decode()])
        self.assertIn(FIX.root + "game1/old.xml",
                      [e["alternate_url"] for e in j["entries"] if e["url"].endswith("game1/data.xml")])

    def test_index_beside_the_captures_finds_a_revisits_original_by_digest(self):
        shutil.copy(os.path.join(FIX.dir, "coll.cdxj"), os.path.join(FIX.coll, "index.cdxj"))
        try:
            r = pack("import", *FIX.warcs, "-o", os.path.join(self.out, "x.exe"), "--stub", FIX.stub,
                     "--no-browser", "--prefix", FIX.root + "game1/")
        finally:
            os.remove(os.path.join(FIX.coll, "index.cdxj"))
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertRegex(r.stdout.decode(), r"read \d+ of \d+ bytes of the capture files")
        exe, j, err = self.player("y.exe", FIX.warcs, "--cdx", os.path.join(FIX.dir, "coll.cdxj"),
                                  "--prefix", FIX.root + "game1/")
        self.assertEqual(j["warnings"], [], err)
        again = [e for e in j["entries"] if e["url"] == FIX.root + "game1/again.swf"]
        self.assertEqual([e["size"] for e in again], [len(FIX.shared)], err)
        self.assertNotIn(FIX.root + "game2/shared.swf", [e["url"] for e in j["entries"]])
        self.assertLess(j["read_bytes"], j["capture_bytes"] / 100)
        # A plain --include read keeps the revisit alike.
        self.same(exe, self.player("z.exe", FIX.warcs, "--include", FIX.root + "game1/")[0])

    def test_damage_is_placed_where_it_lies_in_the_file(self):
        """A fault names the byte of the file itself, read whole or through an
        index's ranges (game1's last range starts after the filler)."""
        with open(os.path.join(FIX.dir, "coll.cdx")) as f:
            lines = [line.split() for line in f]
        at = {f[10]: (int(f[9]), int(f[8])) for f in lines if f[2].endswith("game1/data.xml")}
        page = next(int(f[9]) + int(f[8]) for f in lines if f[2].endswith("game1/index.html") and f[10] == "a.warc.gz")
        with open(FIX.plain, "rb") as f, open(FIX.warcs[0], "rb") as g, open(FIX.wacz, "rb") as w:
            plain, gz, wacz = bytearray(f.read()), bytearray(g.read()), bytearray(w.read())
        (p, pn), (z, zn) = at["a.warc"], at["a.warc.gz"]
        member = wacz.index(gz[z:z + zn])
        before = bytearray(gz)
        before[page - 10] ^= 0x55  # an earlier member: reading goes on at the next one
        plain[p + pn - 1] ^= 1  # the payload's last byte
        gz[z + zn - 10] ^= 0x55  # the member's compressed data
        wacz[member + zn - 10] ^= 0x55
        index = ["--cdx", os.path.join(FIX.dir, "coll.cdx"), "--prefix", FIX.root + "game1/"]
        cases = [  # name, file, its bytes, options, where the place is said, the place (a fault's why depends on the bytes)
            ("plain, read whole", "a.warc", plain, ["--include", FIX.root + "game1/"], "warnings",
             rf"a\.warc: record at byte {p}: the payload does not match"),
            ("plain, through the index", "a.warc", plain, index, "warnings",
             rf"a\.warc: record at byte {p}: the payload does not match"),
            ("gzip, through the index", "a.warc.gz", gz, index, "warnings", rf"a\.warc\.gz: (record )?at byte {z}\b"),
            ("gzip, read whole after damage", "a.warc.gz", before, ["--include", FIX.root + "game1/"], "dropped",
             rf"a\.warc\.gz: record at byte {z} kept"),
            ("WACZ, through its index", "coll.wacz", wacz, index[2:], "warnings",
             rf"coll\.wacz: (record )?at byte {member} \(archive/a\.warc\.gz"),
            # The member's CRC-32 fails too, but its gzip framing keeps the sound records.
            ("WACZ, read whole", "coll.wacz", wacz, ["--include", FIX.root + "game1/"], "warnings",
             rf"coll\.wacz: (record )?at byte {member} \(archive/a\.warc\.gz"),
        ]
        for name, file, data, options, said, place in cases:
            with self.subTest(name):
                path = os.path.join(self.out, file)
                with open(path, "wb") as f:
                    f.write(data)
                _, j, err = self.player("x.exe", [path], *options)
                self.assertRegex(" ".join(j[said]), place, err)

    def test_an_index_pointing_elsewhere_is_warned_of_and_the_files_read_whole(self):
        wget_warcs = FIX.warcs[:3]
        full, _, _ = self.player("full.exe", wget_warcs, "--include", FIX.root + "game1/")
        for fmt in ("cdx", "cdxj"):
            with open(os.path.join(FIX.dir, "coll." + fmt)) as f:
                lines = f.read().splitlines()
            # The movie's record said to start one byte late.
            k = next(i for i, line in enumerate(lines) if "game1/movie.swf" in line)
            offset = json.loads(lines[k].split(" ", 2)[2])["offset"] if fmt == "cdxj" else lines[k].split()[9]
            lines[k] = lines[k].replace(f'"offset":"{offset}"' if fmt == "cdxj" else f" {offset} ",
                                        f'"offset":"{int(offset) + 1}"' if fmt == "cdxj" else f" {int(offset) + 1} ")
            bad = os.path.join(self.out, "bad." + fmt)
            with open(bad, "w") as f:
                f.write("\n".join(lines) + "\n")
            with self.subTest(fmt=fmt):
                exe, j, err = self.player(fmt + ".exe", wget_warcs, "--cdx", bad, "--prefix", FIX.root + "game1/")
                self.assertEqual(len(j["warnings"]), 1, err)
                self.assertIn("the index does not match", j["warnings"][0])
                self.same(exe, full)


def main():
    global ARGS, FIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--npm", default="/opt/tessivo-npm")
    ARGS, rest = parser.parse_known_args()
    FIX = Fixtures()
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=True)
    finally:
        shutil.rmtree(FIX.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
