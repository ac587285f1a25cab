"""Appends a browser runtime section to a packed player, for the tests of the
player's browser mode: the start page and service worker as the packer makes
them, and Ruffle's files from npm, compressed here."""
import gzip
import json
import os
import struct

RUFFLE = os.environ.get("TESSIVO_RUFFLE_DIR", "/opt/tessivo-npm/node_modules/@ruffle-rs/ruffle")
RUFFLE_FILES = ["ruffle.js", "core.ruffle.c80159b526e567babaf5.js", "826bb0938097485a2c9d.wasm"]
VIDEO_HOST = "http://tessivo.invalid"

SW = """self.addEventListener("install", () => self.skipWaiting());
self.addEventListener("activate", (e) => e.waitUntil(self.clients.claim()));
const own = new URL(self.registration.scope);
self.addEventListener("fetch", (e) => {
  const u = new URL(e.request.url);
  if (u.origin === own.origin && u.pathname.startsWith(own.pathname)) return;
  e.respondWith((async () => {
    const r = e.request, init = {method: r.method, headers: {}};
    const type = r.headers.get("Content-Type");
    if (type) init.headers["Content-Type"] = type;
    if (r.method === "POST") init.body = await r.arrayBuffer();
    return fetch(own.pathname + "req?" + encodeURIComponent(r.url), init);
  })());
});
"""


def page(movie, base, vars_, width, height, video):
    js = json.dumps
    calls = ""
    if video:
        calls = f"""
  const timer = setInterval(async () => {{
    if (typeof player.FLVplay !== "function") return;
    clearInterval(timer);
    const v = await (await fetch("volume", {{cache: "no-store"}})).text();
    player.FLVSetVolume(v);
    player.FLVSetSkin({js(VIDEO_HOST + "/vyos.swf")});
    player.FLVSetVideo({js(VIDEO_HOST + "/vyo.flv")});
    player.FLVplay();
  }}, 50);
  player.onFSCommand = (command, arg) => {{
    if (command === "volume") fetch("volume", {{method: "POST", body: String(arg)}});
    return true;
  }};"""
    return f"""<!doctype html><html><head><meta charset="utf-8"><title>Tessivo</title>
<style>html,body{{margin:0;background:#000}}#movie{{display:block;width:{width}px;height:{height}px}}</style>
</head><body><p id="old" hidden style="color:#fff">Plays in a current Chrome, Edge, Firefox or Safari.</p>
<script>
(async () => {{
  if (!navigator.serviceWorker) {{ document.getElementById("old").hidden = false; return; }}
  if (!navigator.serviceWorker.controller) {{
    const changed = new Promise((r) => navigator.serviceWorker.addEventListener("controllerchange", r));
    const reg = await navigator.serviceWorker.register("sw.js", {{scope: "./"}});
    await changed;
    await reg.unregister();
  }}
  const base = {js(base)};
  const open = window.open.bind(window);
  window.open = (u) => open("req?" + encodeURIComponent(new URL(u, base).href));
  window.RufflePlayer = {{config: {{autoplay: "on", unmuteOverlay: "hidden", splashScreen: false,
    allowScriptAccess: true, preferredRenderer: "canvas", backgroundColor: "#000000", publicPath: "./"}}}};
  await new Promise((ok, bad) => {{
    const s = document.createElement("script");
    s.src = "ruffle.js"; s.onload = ok; s.onerror = bad; document.head.appendChild(s);
  }});
  const player = window.RufflePlayer.newest().createPlayer();
  player.id = "movie";
  document.body.appendChild(player);
  player.addEventListener("loadedmetadata", () => requestAnimationFrame(() =>
    requestAnimationFrame(() => fetch("first-frame", {{cache: "no-store"}}))));
  player.load({{url: {js(movie)}, base, parameters: {js(vars_)}, allowScriptAccess: true}});{calls}
}})();
</script></body></html>
"""


def wide(text):
    if not text:
        return struct.pack("<i", 0)
    data = text.encode("utf-16-le") + b"\0\0"
    return struct.pack("<i", len(text)) + data + bytes(-len(data) % 4)


_compressed = {}


def ruffle_files():
    """Ruffle's three files, gzip-coded once per process."""
    out = []
    for name in RUFFLE_FILES:
        if name not in _compressed:
            with open(os.path.join(RUFFLE, name), "rb") as f:
                _compressed[name] = gzip.compress(f.read(), 6)
        kind = "application/wasm" if name.endswith(".wasm") else "text/javascript"
        out.append((name, kind, "gzip", _compressed[name]))
    return out


def section(files, description="Ruffle 0.6.0 (MIT OR Apache-2.0)"):
    out = b"QZRU" + struct.pack("<i", len(files)) + wide(description)
    for name, kind, coding, data in files:
        out += bytes(-len(out) % 4)
        out += struct.pack("<i", len(data)) + wide(name) + wide(kind) + wide(coding) + data
    return out


def add_runtime(exe, movie, base, vars_="", width=640, height=480, video=False, files=None):
    """Appends the section to exe (which ends at its package's last byte)."""
    if files is None:
        files = [("index.html", "text/html; charset=utf-8", "",
                  page(movie, base, vars_, width, height, video).encode()),
                 ("sw.js", "text/javascript", "", SW.encode())] + ruffle_files()
    with open(exe, "r+b") as f:
        f.seek(0, 2)
        size = f.tell()
        f.write(bytes(-size % 4) + section(files))
