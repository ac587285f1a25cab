#include "pack/browser_page.h"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/file.h"
#include "common/json.h"
#include "common/utf.h"
#include "package/package_format.h"
#include "package/player_state.h"
#include "pack/stub/carried_ruffle.h"
#include "resolve/url_text.h"
#include "swf/swf_reader.h"

namespace pack {
namespace {

// The template with each @NAME@ replaced by its value, in one pass: a
// value is never searched again.
std::string fill(const char* templ, const std::vector<std::pair<const char*, std::string>>& values) {
  const std::string in = templ;
  std::string out;
  size_t at = 0;
  for (size_t mark; (mark = in.find('@', at)) != std::string::npos;) {
    const size_t end = in.find('@', mark + 1);
    const std::string* value = nullptr;
    for (const auto& v : values)
      if (end != std::string::npos && in.compare(mark + 1, end - mark - 1, v.first) == 0) value = &v.second;
    if (!value) {
      out.append(in, at, mark + 1 - at);
      at = mark + 1;
      continue;
    }
    out.append(in, at, mark - at);
    out += *value;
    at = end + 1;
  }
  out.append(in, at, std::string::npos);
  return out;
}

bool read_head(const Data& d, std::string* out) {
  size_t n = size_t(d.length()) < kMovieHeadBytes ? size_t(d.length()) : kMovieHeadBytes;
  if (d.path.empty()) {
    out->assign(d.bytes.begin(), d.bytes.begin() + ptrdiff_t(n));
    return true;
  }
  return common::read_range(common::open_file(d.path, "rb").get(), 0, n, out);
}

// The page runs without any other script of ours: it makes the service
// worker take over the page's requests, then starts Ruffle on the first
// movie's own URL. Every request the movie makes, whatever its host, reaches
// the player as "req?URL" and is answered from the package.
const char kStartPage[] = R"(<!doctype html>
<html><head><meta charset="utf-8"><link rel="icon" href="data:,">
<title>Tessivo</title>
<style>html,body{margin:0;padding:0;overflow:hidden;background:@BACKGROUND@}#movie{display:block;width:@WIDTH@px;height:@HEIGHT@px}#note{font:16px/1.4 sans-serif;margin:1em;padding:1em;max-width:36em;color:#222;background:#fff}</style>
</head><body>
<div id="note" hidden></div>
<noscript><div id="note">This movie plays in the browser only with JavaScript on.</div></noscript>
<script>
(function () {
  "use strict";
  var MOVIE = @MOVIE@, BASE = @BASE@, VARS = @VARS@, VIDEO = @VIDEO@;
  var SKIN = @SKIN@, FLV = @FLV@;
  var UNSUPPORTED = "This browser cannot play the movie: it needs service workers and " +
    "current WebAssembly. Current Chrome, Edge, Firefox and Safari play it.";
  function say(text) {
    var note = document.getElementById("note");
    note.textContent = text;
    note.hidden = false;
  }
  // The WebAssembly features the carried Ruffle needs (bulk memory, SIMD,
  // saturating conversions, sign extension, reference types).
  var features = [
    [0,97,115,109,1,0,0,0,1,4,1,96,0,0,3,2,1,0,5,3,1,0,1,10,14,1,12,0,65,0,65,0,65,0,252,10,0,0,11],
    [0,97,115,109,1,0,0,0,1,5,1,96,0,1,123,3,2,1,0,10,10,1,8,0,65,0,253,15,253,98,11],
    [0,97,115,109,1,0,0,0,1,4,1,96,0,0,3,2,1,0,10,12,1,10,0,67,0,0,0,0,252,0,26,11],
    [0,97,115,109,1,0,0,0,1,4,1,96,0,0,3,2,1,0,10,8,1,6,0,65,0,192,26,11],
    [0,97,115,109,1,0,0,0,1,4,1,96,0,0,3,2,1,0,10,7,1,5,0,208,112,26,11]];
  function supported() {
    if (!window.isSecureContext || !("serviceWorker" in navigator) || typeof WebAssembly !== "object")
      return false;
    try {
      return features.every(function (m) { return WebAssembly.validate(new Uint8Array(m)); });
    } catch (e) {
      return false;
    }
  }
  if (!supported()) {
    say(UNSUPPORTED);
    return;
  }

  function request(url) { return "req?" + encodeURIComponent(url); }
  function absolute(url) {
    try { return new URL(url, BASE).href; } catch (e) { return String(url); }
  }
  // A movie's navigateToURL opens a window or submits a form: both go to the
  // player, in a new window, never to the network.
  var open = window.open;
  window.open = function (url) {
    return open.call(window, request(absolute(url)), "_blank");
  };
  var submit = HTMLFormElement.prototype.submit;
  HTMLFormElement.prototype.submit = function () {
    var url = absolute(this.getAttribute("action") || "");
    if (String(this.method).toLowerCase() !== "post") {
      try {
        var u = new URL(url);
        u.search = new URLSearchParams(new FormData(this)).toString();
        url = u.href;
      } catch (e) {}
      open.call(window, request(url), "_blank");
      return;
    }
    this.setAttribute("action", request(url));
    this.target = "_blank";
    submit.call(this);
  };

  function controlled() {
    return new Promise(function (resolve, reject) {
      var sw = navigator.serviceWorker;
      if (sw.controller) return resolve();
      sw.addEventListener("controllerchange", function () { resolve(); });
      sw.register("sw.js", {scope: "./"}).catch(reject);
    });
  }

  function start() {
    var player = window.RufflePlayer.newest().createPlayer();
    player.id = "movie";
    document.body.appendChild(player);
    player.addEventListener("loadedmetadata", function () {
      requestAnimationFrame(function () { requestAnimationFrame(function () {
        fetch("first-frame", {cache: "no-store"});
      }); });
    });
    var options = {url: MOVIE, base: BASE, allowScriptAccess: true};
    if (VARS) options.parameters = VARS;
    player.load(options);
    if (!VIDEO) return;
    player.onFSCommand = function (command, args) {
      if (command === "volume") fetch("volume", {method: "POST", body: String(args), cache: "no-store"});
      return true;
    };
    // The player movie's calls exist once it runs; the player's saved volume first.
    var timer = setInterval(function () {
      if (typeof player.FLVplay !== "function") return;
      clearInterval(timer);
      fetch("volume", {cache: "no-store"}).then(function (r) { return r.ok ? r.text() : ""; })
        .catch(function () { return ""; })
        .then(function (volume) {
          player.FLVSetVolume(volume.trim() || "100");
          player.FLVSetSkin(SKIN);
          player.FLVSetVideo(FLV);
          player.FLVplay();
        });
    }, 50);
  }

  controlled().then(function () {
    // The page stays controlled; nothing is left registered in the browser.
    navigator.serviceWorker.getRegistration("./").then(function (r) { if (r) r.unregister(); });
    window.RufflePlayer = {config: {autoplay: "on", unmuteOverlay: "hidden", splashScreen: false,
      allowScriptAccess: true, backgroundColor: @BACKGROUND_JS@, publicPath: "./"}};
    var script = document.createElement("script");
    script.src = "ruffle.js";
    script.onload = start;
    script.onerror = function () { say("Ruffle could not be loaded: the player has stopped."); };
    document.head.appendChild(script);
  }, function () { say(UNSUPPORTED); });
})();
</script>
</body></html>
)";

// Requests of the page's own folder go to the player as they are; every
// other request, of any host, is asked of the player as "req?URL" with its
// method and body, and answered as if from that URL.
const char kServiceWorker[] = R"("use strict";
var folder = new URL("./", self.location).href;
self.addEventListener("install", function () { self.skipWaiting(); });
self.addEventListener("activate", function (event) { event.waitUntil(self.clients.claim()); });
self.addEventListener("fetch", function (event) {
  var request = event.request;
  if (request.url.indexOf(folder) === 0) return;
  var headers = {};
  var type = request.headers.get("Content-Type");
  if (type) headers["Content-Type"] = type;
  var body = request.method === "GET" || request.method === "HEAD" ? Promise.resolve(undefined)
                                                                    : request.arrayBuffer();
  event.respondWith(body.then(function (bytes) {
    return fetch(folder + "req?" + encodeURIComponent(request.url),
                 {method: request.method, headers: headers, body: bytes, cache: "no-store"});
  }).then(function (answer) {
    // A response of our own making has no URL, so the page sees the URL it
    // asked for: a movie's own URL stays its original one.
    return new Response(answer.body, {status: answer.status, statusText: answer.statusText,
                                      headers: answer.headers});
  }));
});
)";

}  // namespace

MovieLook movie_look(const std::string& head, uint32_t nominal_width, uint32_t nominal_height) {
  MovieLook look;
  swf::Options o;
  o.collect = false;
  swf::Movie m = swf::read_movie(head.data(), head.size(), o);
  if (m.header_complete && m.width_px() > 0 && m.height_px() > 0) {
    look.width = m.width_px();
    look.height = m.height_px();
  }
  if (nominal_width > 0 && nominal_height > 0) {
    look.width = int(nominal_width);
    look.height = int(nominal_height);
  }
  // A browser window, not a poster: keep absurd stage sizes in bounds.
  if (look.width > 4096) look.width = 4096;
  if (look.height > 4096) look.height = 4096;
  if (m.has_background) {
    char c[8];
    std::snprintf(c, sizeof c, "#%02x%02x%02x", m.background[0], m.background[1], m.background[2]);
    look.background = c;
  }
  return look;
}

std::u16string movie_base_rule(const std::u16string& base, const std::u16string& first_url) {
  if (!base.empty()) return base;
  std::u16string folder;
  if (char16_t* dir = url_directory(first_url.c_str())) {
    folder = dir;
    std::free(dir);
  }
  return folder;
}

std::string js_text(const std::string& s) {
  std::string q = common::json_quote(s);
  std::string out;
  for (char c : q) {
    if (c == '<') out += "\\u003c";
    else out += c;
  }
  return out;
}

std::string browser_start_page(const Package& pkg, const MovieLook& look) {
  using common::utf16_to_utf8;
  const bool video = pkg.mode == PLAYBACK_VIDEO;
  const std::u16string movie = video ? VIDEO_PLAYER_URL : pkg.entries.empty() ? u"" : pkg.entries[0].url;
  const std::u16string base = movie_base_rule(video ? u"" : pkg.base, movie);
  return fill(kStartPage,
              {{"BACKGROUND", look.background},
               {"BACKGROUND_JS", js_text(look.background)},
               {"WIDTH", std::to_string(look.width)},
               {"HEIGHT", std::to_string(look.height)},
               {"MOVIE", js_text(utf16_to_utf8(movie))},
               {"BASE", js_text(utf16_to_utf8(base))},
               {"VARS", pkg.flash_vars.empty() || video ? "null" : js_text(utf16_to_utf8(pkg.flash_vars))},
               {"VIDEO", video ? "true" : "false"},
               {"SKIN", js_text(utf16_to_utf8(VIDEO_SKIN_URL))},
               {"FLV", js_text(utf16_to_utf8(VIDEO_FLV_URL))}});
}

std::string browser_service_worker() { return kServiceWorker; }

bool browser_runtime(const Package& pkg, BrowserRuntime* out, common::Error* error) {
  const Data* first = pkg.mode == PLAYBACK_VIDEO ? &pkg.player : pkg.entries.empty() ? nullptr : &pkg.entries[0].data;
  std::string head;
  if (first && !read_head(*first, &head)) {
    *error = common::Error{first->path, 0, -1, "cannot be read"};
    return false;
  }
  auto text_file = [](const char16_t* name, const char16_t* type, const std::string& text) {
    BrowserFile f{name, type, u"", Data()};
    f.data.bytes.assign(text.begin(), text.end());
    return f;
  };
  BrowserRuntime rt;
  rt.description = common::text_to_utf16(carried_ruffle_description());
  rt.files.push_back(text_file(u"index.html", u"text/html; charset=utf-8",
                               browser_start_page(pkg, movie_look(head, pkg.width, pkg.height))));
  rt.files.push_back(text_file(u"sw.js", u"text/javascript", browser_service_worker()));
  const CarriedFile* ruffle = carried_ruffle();
  for (size_t i = 0; i < kCarriedRuffleFiles; ++i) {
    const CarriedFile& c = ruffle[i];
    BrowserFile f{common::text_to_utf16(c.name), common::text_to_utf16(c.content_type),
                  common::text_to_utf16(c.coding), Data()};
    f.data.bytes.assign(c.data, c.data + c.size);
    rt.files.push_back(std::move(f));
  }
  *out = std::move(rt);
  return true;
}

}  // namespace pack
