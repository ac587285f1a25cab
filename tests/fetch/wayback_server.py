#!/usr/bin/env python3
"""A small Wayback-interface archive for the fetch tests: the CDX index and
raw replay, answering in either dialect as a real server does (pywb 2.10 as
measured, the Internet Archive as its CDX server documents), over WARC files
that other tools wrote. The index comes from warcio's own indexer (npm
warcio, `cdx-index`), so urlkeys and POST keys are warcio's, not ours.

    server = Archive(warc_dir, npm_dir, dialect="pywb", coll="coll").start()
    server.base   # http://127.0.0.1:PORT/coll  (ia: http://127.0.0.1:PORT)
    server.faults # {"throttle": {substring: count}, "short": {substring}, "other": {substring}}
    server.log    # [(method, path, user agent)] of every request
    server.most_at_once  # the most requests it answered at the same time
"""
import calendar
import email.utils
import gzip
import http.server
import io
import json
import os
import subprocess
import threading
import time
import urllib.parse
import zlib


def surt(url, post_query=None):
    """The key captures are matched by, as warcio and pywb write it."""
    parts = urllib.parse.urlsplit(url)
    host = (parts.hostname or "").lower().rstrip(".")
    for prefix in ("www.",):
        if host.startswith(prefix):
            host = host[len(prefix):]
    port = parts.port
    labels = host.split(".")
    key = ",".join(reversed(labels))
    if port and not (port == 80 and parts.scheme == "http") and not (port == 443 and parts.scheme == "https"):
        key += ":%d" % port
    path = parts.path or "/"
    params = [p for p in parts.query.split("&") if p] if parts.query else []
    if post_query is not None:
        params += ["__wb_method=post"] + [p for p in post_query.split("&") if p]
    key += ")" + path.lower()
    if params:
        key += "?" + "&".join(sorted(p.lower() for p in params))
    return key


def ts_seconds(ts):
    ts = (ts + "00000101000000"[len(ts):])[:14]
    return calendar.timegm(time.strptime(ts, "%Y%m%d%H%M%S"))


def http_date(ts):
    return email.utils.formatdate(ts_seconds(ts), usegmt=True)


def read_record(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        raw = f.read(length)
    if raw[:2] == b"\x1f\x8b":
        raw = zlib.decompressobj(31).decompress(raw)
    head, _, rest = raw.partition(b"\r\n\r\n")
    warc = {}
    for line in head.split(b"\r\n")[1:]:
        k, _, v = line.decode("utf-8", "replace").partition(":")
        warc[k.strip().lower()] = v.strip()
    block = rest[:int(warc.get("content-length", len(rest)))]
    return warc, block


def parse_http(block):
    head, _, body = block.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    status_line = lines[0].decode("latin-1")
    status = int(status_line.split(" ")[1]) if len(status_line.split(" ")) > 1 else 200
    headers = []
    for line in lines[1:]:
        k, _, v = line.decode("latin-1").partition(":")
        headers.append((k.strip(), v.strip()))
    return status, headers, body


def dechunk(body):
    out, pos = b"", 0
    while True:
        end = body.index(b"\r\n", pos)
        size = int(body[pos:end].split(b";")[0], 16)
        if size == 0:
            return out
        out += body[end + 2:end + 2 + size]
        pos = end + 4 + size


# Original headers the replay prefixes with X-Archive-Orig- (pywb, measured).
PREFIXED = {"date", "server", "last-modified", "etag", "expires", "cache-control", "vary", "connection", "age",
            "via", "transfer-encoding", "content-encoding"}
KEPT = {"content-type", "content-length", "location", "accept-ranges", "content-range"}
IA_FIELDS = ["urlkey", "timestamp", "original", "mimetype", "statuscode", "digest", "length"]


class Archive:
    def __init__(self, warc_dir, npm_dir, dialect="pywb", coll="coll"):
        self.dir = warc_dir
        self.dialect = dialect
        self.coll = coll
        self.faults = {"throttle": {}, "short": set(), "other": set()}
        self.log = []
        self.at_once = self.most_at_once = 0  # requests being answered
        self.lock = threading.Lock()
        self.lines = []
        warcs = sorted(f for f in os.listdir(warc_dir) if ".warc" in f)
        cli = os.path.join(npm_dir, "node_modules", "warcio", "dist", "cli.js")
        out = subprocess.run(["node", cli, "cdx-index"] + warcs, cwd=warc_dir, check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        for line in out.splitlines():
            key, ts, rest = line.split(" ", 2)
            fields = json.loads(rest)
            if not fields.get("url", "").startswith("http"):
                continue
            fields["urlkey"] = key
            fields["timestamp"] = ts
            self.lines.append(fields)
        self.lines.sort(key=lambda c: (c["urlkey"], c["timestamp"]))

    # The index ---------------------------------------------------------------

    def query(self, params):
        url = params["url"]
        match = params.get("matchType", "exact")
        if url.endswith("/*"):
            url, match = url[:-2], "prefix"
        key = surt(url)
        if match == "prefix":
            found = [c for c in self.lines if c["urlkey"].startswith(key.rstrip("/") if key.endswith(")/") else key)]
        elif match in ("host", "domain"):
            host = key.split(")")[0]
            found = [c for c in self.lines if c["urlkey"].split(")")[0] == host or
                     (match == "domain" and c["urlkey"].split(")")[0].startswith(host + ","))]
        else:
            found = [c for c in self.lines if c["urlkey"] == key]
        if self.dialect == "ia":
            found = [c for c in found if "method" not in c]
        elif not found and params.get("allowFuzzy", "1") != "0" and match == "exact":
            bare = key.split("?")[0]
            found = [dict(c, is_fuzzy="1") for c in self.lines if c["urlkey"].split("?")[0] == bare]
        if "closest" in params:
            aim = ts_seconds(params["closest"])
            found = sorted(found, key=lambda c: abs(ts_seconds(c["timestamp"]) - aim))
        return found

    def cdx_pywb(self, handler, params):
        if "url" not in params:
            return handler.answer(400, b'{"message": "The \\"url\\" param is required"}', "application/json")
        found = self.query(params)
        fl = params.get("fl") or params.get("fields")
        names = ["urlkey", "timestamp", "url", "mime", "status", "digest", "length", "offset", "filename",
                 "source", "source-coll", "access", "method", "requestBody", "is_fuzzy"]
        rows = []
        for c in found:
            c = dict(c, source=c["filename"], **{"source-coll": self.coll, "access": "allow"})
            if fl:
                keep = [n for n in fl.split(",") if n in names]
                c = {n: c.get(n, "-") for n in keep}
            else:
                c = {n: c[n] for n in names if n in c}
            rows.append(c)
        if params.get("output") == "json":
            body = "".join(json.dumps(r) + "\n" for r in rows)
            return handler.answer(200, body.encode(), "text/x-ndjson")
        body = "".join("%s %s %s\n" % (r.get("urlkey", ""), r.get("timestamp", ""),
                                        json.dumps({k: v for k, v in r.items() if k not in ("urlkey", "timestamp")}))
                       for r in rows)
        return handler.answer(200, body.encode(), "text/x-cdxj")

    def cdx_ia(self, handler, params):
        if "url" not in params:
            return handler.answer(400, b"Request must have a url parameter\n", "text/plain")
        found = self.query(params)
        rows = [[c["urlkey"], c["timestamp"], c["url"], c.get("mime", "-"), c.get("status", "-"),
                 c.get("digest", "-"), c.get("length", "-")] for c in found]
        if params.get("output") == "json":
            body = json.dumps([IA_FIELDS] + rows if rows else []).encode()
        else:
            body = "".join(" ".join(r) + "\n" for r in rows).encode()
        if params.get("gzip") != "false":
            return handler.answer(200, gzip.compress(body), "application/x-gzip")
        return handler.answer(200, body, "application/json" if params.get("output") == "json" else "text/plain")

    # Replay ------------------------------------------------------------------

    def capture_body(self, c):
        warc, block = read_record(os.path.join(self.dir, c["filename"]), int(c["offset"]), int(c["length"]))
        if warc.get("warc-type") == "revisit":
            original = [o for o in self.lines if o.get("digest") == c.get("digest") and o is not c and
                        o.get("mime") != "warc/revisit"]
            status, headers, _ = parse_http(block)
            _, _, body = parse_http(read_record(os.path.join(self.dir, original[0]["filename"]),
                                                int(original[0]["offset"]), int(original[0]["length"]))[1])
            return status, headers, body
        return parse_http(block)

    def replay(self, handler, method, rest, body, prefix):
        stamp, _, url = rest.partition("/")
        if not url:
            return handler.answer(404, b"<html>not found</html>", "text/html")
        ts = stamp[:-3] if stamp.endswith("id_") else stamp
        parts = urllib.parse.urlsplit(url)
        if parts.netloc and not parts.path:
            handler.send_response(307)
            handler.send_header("Location", prefix + stamp + "/" + url.replace(parts.netloc, parts.netloc + "/", 1))
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        key = surt(url)
        gets = [c for c in self.lines if c["urlkey"] == key and "method" not in c]
        candidates = gets
        if method == "POST" and self.dialect != "ia":
            pkey = surt(url, body.decode("latin-1"))
            posts = [c for c in self.lines if c["urlkey"] == pkey]
            # Another body, or none: some capture all the same, with no warning.
            candidates = posts or [c for c in self.lines if c["urlkey"].split("?__wb_method")[0] == key] or gets
        if not candidates:
            return handler.answer(404, b"<html><body>Url Not Found</body></html>", "text/html")
        aim = ts_seconds(ts)
        best = min(candidates, key=lambda c: (abs(ts_seconds(c["timestamp"]) - aim), c["timestamp"]))
        if self.dialect != "ia" and any(s in url for s in self.faults["other"]):
            # The asked capture unavailable: pywb serves another, named only in its headers.
            best = max(candidates, key=lambda c: abs(ts_seconds(c["timestamp"]) - aim))
        status, headers, payload = self.capture_body(best)
        location = dict((k.lower(), v) for k, v in headers).get("location")
        if 300 <= status < 400 and location and \
                surt(urllib.parse.urljoin(url, location)) == key:
            ok = [c for c in candidates if c.get("status") == "200"]
            if ok:
                best = min(ok, key=lambda c: abs(ts_seconds(c["timestamp"]) - aim))
                status, headers, payload = self.capture_body(best)
        if self.dialect == "ia" and best["timestamp"] != ts:
            handler.send_response(302)
            handler.send_header("Location", prefix + best["timestamp"] + "id_/" + url)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        lower = {k.lower(): v for k, v in headers}
        if "chunked" in lower.get("transfer-encoding", ""):
            payload = dechunk(payload)
        decoded = False
        accept = handler.headers.get("Accept-Encoding")
        if lower.get("content-encoding") == "gzip" and (accept is None or "gzip" not in accept):
            payload = gzip.decompress(payload)
            decoded = True
        if 300 <= status < 400:
            payload = b""
        out = []
        for k, v in headers:
            n = k.lower()
            if n == "content-length":
                continue
            if n in PREFIXED:
                if n == "content-encoding" and not decoded:
                    out.append((k, v))
                else:
                    out.append(("X-Archive-Orig-" + k, v))
            elif n in KEPT:
                out.append((k, v))
            else:
                out.append(("X-Archive-Orig-" + k, v))
        out.append(("Memento-Datetime", http_date(best["timestamp"])))
        out.append(("Link", '<%s>; rel="original", <%s%sid_/%s>; rel="memento"' %
                    (url, prefix, best["timestamp"], url)))
        if best["timestamp"] != ts:
            out.append(("Content-Location", prefix + best["timestamp"] + "id_/" + url))
        short = any(s in url for s in self.faults["short"])
        handler.send_response(status)
        for k, v in out:
            handler.send_header(k, v)
        # A capture cut short: more announced than follows.
        handler.send_header("Content-Length", str(len(payload) + (1000 if short else 0)))
        handler.end_headers()
        if method != "HEAD":
            handler.wfile.write(payload)
        if short:
            # Holds the connection until the client gives up on the rest.
            handler.wfile.flush()
            handler.close_connection = True
            handler.connection.settimeout(60)
            try:
                handler.connection.recv(1)
            except OSError:
                pass

    def start(self):
        archive = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, body, ctype, extra=()):
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                for k, v in extra:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def route(self, method):
                with archive.lock:
                    archive.at_once += 1
                    archive.most_at_once = max(archive.most_at_once, archive.at_once)
                try:
                    self.answer_request(method)
                finally:
                    with archive.lock:
                        archive.at_once -= 1

            def answer_request(self, method):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                with archive.lock:
                    archive.log.append((method, self.path, self.headers.get("User-Agent")))
                    for s, n in archive.faults["throttle"].items():
                        if s in self.path and "id_/" in self.path and n > 0:
                            archive.faults["throttle"][s] = n - 1
                            return self.answer(429, b"slow down\n", "text/plain", [("Retry-After", "1")])
                path, _, query = self.path.partition("?")
                params = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
                if archive.dialect == "ia":
                    if path == "/cdx/search/cdx":
                        return archive.cdx_ia(self, params)
                    if path.startswith("/web/"):
                        return archive.replay(self, method, self.path[len("/web/"):], body, archive.base + "/web/")
                else:
                    head = "/" + archive.coll + "/"
                    if path == head + "cdx":
                        return archive.cdx_pywb(self, params)
                    if self.path.startswith(head):
                        return archive.replay(self, method, self.path[len(head):], body, archive.base + "/")
                return self.answer(404, b"<html>Not Found</html>", "text/html")

            def do_GET(self):
                self.route("GET")

            def do_POST(self):
                self.route("POST")

            def do_HEAD(self):
                self.route("HEAD")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        port = self.server.server_address[1]
        self.base = "http://127.0.0.1:%d" % port + ("" if self.dialect == "ia" else "/" + self.coll)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
