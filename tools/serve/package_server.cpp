#include "serve/package_server.h"

#include <httplib.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/package_format.h"
#include "package/player_state.h"
#include "resolve/resolve.h"
#include "resolve/url_text.h"
#include "swf/swf_reader.h"
#include "common/base64.h"
#include "common/file.h"
#include "common/json.h"
#include "common/url.h"
#include "common/utf.h"

namespace serve {
namespace {

// Reserved names in the first movie's folder; a package entry of the same
// name is hidden behind them.
const char kStartPage[] = "tessivo-start.html";
const char kRuffleFolder[] = "tessivo-ruffle/";
const char kFirstFrame[] = "first-frame";

std::string strip_query(const std::string& url) {
  size_t q = url.find_first_of("?#");
  return q == std::string::npos ? url : url.substr(0, q);
}

std::string ends_type(const std::string& name) {
  auto ends = [&](const char* e) {
    size_t n = std::strlen(e);
    return name.size() >= n && name.compare(name.size() - n, n, e) == 0;
  };
  if (ends(".js")) return "text/javascript";
  if (ends(".wasm")) return "application/wasm";
  if (ends(".map")) return "application/json";
  return "application/octet-stream";
}

// Text for a JavaScript string literal inside an HTML script element.
std::string js_text(const std::string& s) {
  std::string q = common::json_quote(s);
  std::string out;
  for (char c : q) {
    if (c == '<') out += "\\u003c";
    else out += c;
  }
  return out;
}

std::string u8(const char16_t* s) { return s ? common::utf16_to_utf8(s) : std::string(); }

}  // namespace

struct PackageServer::Impl {
  httplib::Server http;
};

PackageServer::PackageServer(const pack::LoadedPlayer& input, ServerOptions options)
    : input_(input), options_(std::move(options)), impl_(new Impl) {
  const ResourceEntry* first = resource_entry(0);
  movie_url_ = first ? u8(first->url) : std::string();
  if (char16_t* dir = url_directory(first ? first->url : u"")) {
    folder_ = common::utf16_to_utf8(dir);
    std::free(dir);
  }
  // Movie start sets it once; an audit of the same package may have.
  if (playback_mode() != PLAYBACK_VIDEO && !base_url()) set_base_url(page_base_url());
  start_url_ = folder_ + kStartPage;

  std::string head;
  if (first) input_.read_entry(0, 1 << 16, &head);
  swf::Options o;
  o.collect = false;
  swf::Movie m = swf::read_movie(head.data(), head.size(), o);
  if (m.header_complete && m.width_px() > 0 && m.height_px() > 0) {
    width_ = m.width_px();
    height_ = m.height_px();
  }
  if (nominal_width() > 0 && nominal_height() > 0) {
    width_ = int(nominal_width());
    height_ = int(nominal_height());
  }
  // A browser window, not a poster: keep absurd stage sizes in bounds.
  if (width_ > 4096) width_ = 4096;
  if (height_ > 4096) height_ = 4096;
  if (m.has_background) {
    char c[8];
    std::snprintf(c, sizeof c, "#%02x%02x%02x", m.background[0], m.background[1], m.background[2]);
    background_ = c;
  }
  prepare_resolution_index();
}

PackageServer::~PackageServer() { stop(); }

double PackageServer::now_ms() const {
  int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
  return double(ns - started_ns_) / 1e6;
}

// Ruffle's files, beside the page; for an https page their http twin, which
// the browser fetches through the proxy unencoded (mixed content is allowed
// in the preview's browser) instead of through DevTools as base64.
std::string PackageServer::ruffle_base() const {
  std::string base = folder_ + kRuffleFolder;
  if (common::ascii_lower(base.substr(0, 8)) == "https://") base = "http://" + base.substr(8);
  return base;
}

std::string PackageServer::start_page() const {
  std::string movie = movie_url_;
  std::string vars = u8(flash_vars());
  std::string base = u8(movie_base());
  std::string p =
      "<!doctype html>\n<html><head><meta charset=\"utf-8\"><link rel=\"icon\" href=\"data:,\">\n"
      "<title>Tessivo preview</title>\n<style>html,body{margin:0;padding:0;overflow:hidden;background:" +
      background_ + "}#movie{display:block;width:" + std::to_string(width_) + "px;height:" +
      std::to_string(height_) +
      "px}</style></head><body>\n<script>\n"
      "window.RufflePlayer = {config: {autoplay: \"on\", unmuteOverlay: \"hidden\", splashScreen: false,\n"
      "  preferredRenderer: \"canvas\", backgroundColor: " +
      js_text(background_) +
      ", allowScriptAccess: true}};\n</script>\n"
      "<script src=\"" + ruffle_base() + "ruffle.js\"></script>\n<script>\n"
      "(function () {\n"
      "  var player = window.RufflePlayer.newest().createPlayer();\n"
      "  player.id = \"movie\";\n"
      "  document.body.appendChild(player);\n"
      "  player.addEventListener(\"loadedmetadata\", function () {\n"
      "    requestAnimationFrame(function () { requestAnimationFrame(function () {\n"
      "      fetch(" + js_text(folder_ + kRuffleFolder + kFirstFrame) + ", {cache: \"no-store\"});\n"
      "    }); });\n"
      "  });\n"
      "  var options = {url: " + js_text(movie) + ", allowScriptAccess: true};\n";
  if (!vars.empty()) p += "  options.parameters = " + js_text(vars) + ";\n";
  if (!base.empty()) p += "  options.base = " + js_text(base) + ";\n";
  p += "  player.load(options);\n";
  if (playback_mode() == PLAYBACK_VIDEO) {
    // The player scripts its player movie once the movie has arrived; here
    // its callbacks appear on the element when the movie has run.
    p += "  var timer = setInterval(function () {\n"
         "    if (typeof player.FLVplay !== \"function\") return;\n"
         "    clearInterval(timer);\n"
         "    player.FLVSetVolume(\"100\");\n"
         "    player.FLVSetSkin(" + js_text(u8(VIDEO_SKIN_URL)) + ");\n"
         "    player.FLVSetVideo(" + js_text(u8(VIDEO_FLV_URL)) + ");\n"
         "    player.FLVplay();\n"
         "  }, 50);\n";
  }
  p += "})();\n</script>\n</body></html>\n";
  return p;
}

bool PackageServer::ruffle_name(const std::string& plain, std::string* name) const {
  for (const std::string& base : {folder_ + kRuffleFolder, ruffle_base()}) {
    if (plain.size() > base.size() && plain.compare(0, base.size(), base) == 0) {
      *name = plain.substr(base.size());
      return true;
    }
  }
  return false;
}

bool PackageServer::is_internal(const std::string& url) const {
  std::string plain = strip_query(url), name;
  return plain == start_url_ || ruffle_name(plain, &name);
}

bool PackageServer::internal_answer(const std::string& url, Answer* out) {
  std::string plain = strip_query(url);
  if (plain == start_url_) {
    out->status = 200;
    out->content_type = "text/html; charset=utf-8";
    out->body = start_page();
    return true;
  }
  std::string name;
  if (!ruffle_name(plain, &name)) return false;
  if (name == kFirstFrame) {
    double expected = -1;
    first_frame_ms_.compare_exchange_strong(expected, now_ms());
    out->status = 204;
    return true;
  }
  out->status = 404;
  out->content_type = "text/plain";
  common::Error unread;
  if (name.find('/') != std::string::npos || name[0] == '.' || options_.ruffle_dir.empty() ||
      !common::read_whole_file(options_.ruffle_dir + "/" + name, &out->body, &unread)) {
    out->body = "not a Ruffle file: " + name + "\n";
    return true;
  }
  out->status = 200;
  out->content_type = ends_type(name);
  return true;
}

Answer PackageServer::answer(const std::string& method, const std::string& url, const std::string& body) {
  Answer a;
  if (internal_answer(url, &a)) return a;
  if (body.size() > options_.max_body) {
    // As the proxy refuses it; the browser's requests don't pass there.
    std::fprintf(stderr, "pack: refused a POST body of %zu bytes, over the limit of %zu: %s\n", body.size(),
                 options_.max_body, url.c_str());
    a.status = 413;
    a.content_type = "text/plain";
    a.body = "POST body too large\n";
    return a;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  Served s;
  s.method = method;
  s.url = url;
  if (method == "POST") s.body = body;
  s.ms = now_ms();
  std::u16string request;
  int32_t index = -1;
  if (!common::utf8_to_utf16(url, &request)) {
    s.refused = true;
  } else {
    std::string key = method == "POST" && !body.empty() ? common::base64(body.data(), body.size()) : std::string();
    s.refused = !resolve_with_key(request.c_str(), key.empty() ? nullptr : key.c_str(), &index);
  }
  const ResourceEntry* e = s.refused ? nullptr : resource_entry(index);
  if (e && input_.read_entry(index, size_t(e->size), &a.body)) {
    a.status = 200;
    a.entry = index;
    a.content_type = e->content_type ? u8(e->content_type) : std::string();
    s.entry = index;
    s.bytes = int64_t(a.body.size());
    s.crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(a.body.data()), uInt(a.body.size())));
  } else {
    a.status = 404;
    a.content_type = "text/plain";
    a.body = "not in the package: " + url + "\n";
    ++missed_;
    if (!options_.quiet && misses_printed_ < options_.max_listed) {
      std::fprintf(stderr, "not in the package: %s\n", url.c_str());
      ++misses_printed_;
    }
  }
  if (options_.print_served && s.entry >= 0) {
    std::printf("%s %s -> entry %d, %lld bytes, crc32 %08x\n", method.c_str(), url.c_str(), int(s.entry),
                (long long)s.bytes, unsigned(s.crc));
    std::fflush(stdout);
  }
  if (served_.size() < options_.max_listed)
    served_.push_back(s);
  else
    ++unlisted_;
  return a;
}

std::vector<Served> PackageServer::served() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return served_;
}

std::vector<std::string> PackageServer::outside() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outside_;
}

size_t PackageServer::missed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return missed_;
}

size_t PackageServer::unlisted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlisted_;
}

bool PackageServer::playable(std::string* why) const {
  if (!common::is_web_url(movie_url_)) {
    *why = "the first movie's URL is not an http or https URL, which a browser page needs: \"" + movie_url_ + "\"";
    return false;
  }
  return true;
}

namespace {

void configure(httplib::Server* http, size_t max_body) {
  http->set_payload_max_length(max_body);
  // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
  // server share a port that is in use.
  http->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http->set_keep_alive_timeout(2);
  http->set_keep_alive_max_count(1000);
  // Headers and body go in separate writes: without this each small answer
  // waits for the peer's delayed ACK.
  http->set_tcp_nodelay(true);
  http->set_read_timeout(5, 0);
  http->set_write_timeout(5, 0);
}

}  // namespace

Answer PackageServer::proxy_answer(const std::string& method, const std::string& url, const std::string& body) {
  Answer a;
  if (internal_answer(url, &a)) {
  } else if (options_.proxy_outside_page) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outside_.size() < options_.max_listed) outside_.push_back(method + " " + url);
    a.body = "not a request of the page\n";
  } else {
    a = answer(method, url, body);
  }
  return a;
}

bool PackageServer::start(int port, std::string* error) {
  started_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  httplib::Server& http = impl_->http;
  configure(&http, options_.max_body);
  auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    std::string url = req.target;
    if (!common::is_web_url(url)) {
      // Not asked as of a proxy: a browser opened the server itself.
      std::string host = req.get_header_value("Host");
      std::string self = "127.0.0.1:" + std::to_string(port_);
      if (host.empty() || host == self || host == "localhost:" + std::to_string(port_)) {
        res.set_content("This is a Tessivo package server. Set your browser's HTTP proxy to " + self +
                            " and open " + start_url_ + "\n",
                        "text/plain");
        return;
      }
      url = "http://" + host + url;
    }
    Answer a = proxy_answer(req.method, url, req.body);
    res.status = a.status;
    res.set_content(a.body, a.content_type.c_str());
    res.set_header("Cache-Control", "no-store");
    res.set_header("Access-Control-Allow-Origin", "*");
  };
  http.Get(".*", handle);
  http.Post(".*", handle);
  size_t max = options_.max_body;
  http.set_error_handler([max](const httplib::Request& req, httplib::Response& res) {
    if (res.status == 413)
      std::fprintf(stderr, "pack: refused a POST body over the limit of %zu bytes: %s\n", max, req.target.c_str());
  });
  if (port == 0) {
    port_ = http.bind_to_any_port("127.0.0.1");
  } else {
    port_ = http.bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) +
             (port ? " (the port is in use, or not allowed)" : "");
    port_ = 0;
    return false;
  }
  thread_ = std::thread([&http] { http.listen_after_bind(); });
  return true;
}

void PackageServer::stop() {
  if (thread_.joinable()) {
    impl_->http.stop();
    thread_.join();
  }
}

}  // namespace serve
