#include "serve/package_server.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/package_format.h"
#include "package/player_state.h"
#include "resolve/resolve.h"
#include "resolve/url_text.h"
#include "pack/browser_page.h"
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

using pack::js_text;

// %XX escapes undone; false for a broken one.
bool percent_decode(const std::string& in, std::string* out) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    if (i + 2 >= in.size() || hex(in[i + 1]) < 0 || hex(in[i + 2]) < 0) return false;
    *out += char(hex(in[i + 1]) * 16 + hex(in[i + 2]));
    i += 2;
  }
  return true;
}

// Whether an Accept-Encoding header lists coding with a weight above 0.
bool accepts(const std::string& header, const std::string& coding) {
  for (size_t at = 0; at <= header.size();) {
    size_t end = header.find(',', at);
    if (end == std::string::npos) end = header.size();
    std::string item = header.substr(at, end - at);
    item.erase(std::remove_if(item.begin(), item.end(), [](char c) { return c == ' ' || c == '\t'; }), item.end());
    item = common::ascii_lower(item);
    const size_t semi = item.find(';');
    const size_t q = item.find(";q=");
    if (item.substr(0, semi) == coding && (q == std::string::npos || std::strtod(item.c_str() + q + 3, nullptr) > 0))
      return true;
    at = end + 1;
  }
  return false;
}

// 32 hex digits from the system's random source.
std::string random_token() {
  unsigned char bytes[16] = {};
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    if (std::fread(bytes, 1, sizeof bytes, f) != sizeof bytes) std::memset(bytes, 0, sizeof bytes);
    std::fclose(f);
  }
  std::string token;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    token += two;
  }
  return token;
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
  if (first) input_.read_entry(0, pack::kMovieHeadBytes, &head);
  const pack::MovieLook look = pack::movie_look(head, nominal_width(), nominal_height());
  width_ = look.width;
  height_ = look.height;
  background_ = look.background;
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

std::string PackageServer::volume() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volume_;
}

Answer PackageServer::browser_answer(const std::string& method, const std::string& target, const std::string& host,
                                     const std::string& fetch_site, const std::string& accept_encoding,
                                     const std::string& body, std::vector<std::pair<std::string, std::string>>* headers) {
  Answer a;
  a.content_type = "text/plain; charset=utf-8";
  auto refuse = [&](int status, const std::string& why) {
    a.status = status;
    a.body = why + "\n";
    return a;
  };
  if (host != "127.0.0.1:" + std::to_string(port_)) return refuse(421, "not this server's address");
  if (!fetch_site.empty() && fetch_site != "none" && fetch_site != "same-origin")
    return refuse(403, "refused: a request of another site");
  if (method != "GET" && method != "HEAD" && method != "POST") return refuse(405, "method not allowed");
  const std::string folder = "/" + token_ + "/";
  if (target.compare(0, folder.size(), folder) != 0) return refuse(404, "not found");
  const std::string rest = target.substr(folder.size());
  headers->push_back({"Cache-Control", "no-store"});
  if (rest.compare(0, 4, "req?") == 0) {
    std::string url;
    if (!percent_decode(rest.substr(4), &url)) return refuse(400, "a broken %-escape");
    return answer(method, url, body);
  }
  const std::string name = rest.empty() ? "index.html" : rest.substr(0, rest.find('?'));
  if (name == "volume") {
    std::lock_guard<std::mutex> lock(mutex_);
    if (method == "POST") {
      char* end = nullptr;
      long v = std::strtol(body.c_str(), &end, 10);
      if (body.empty() || *end) return refuse(400, "a volume is a decimal number");
      volume_ = std::to_string(v);
      a.status = 204;
      return a;
    }
    a.status = 200;
    a.body = volume_;
    return a;
  }
  if (name == kFirstFrame) {
    double expected = -1;
    if (first_frame_ms_.compare_exchange_strong(expected, now_ms()) && options_.print_served) {
      std::printf("first frame\n");
      std::fflush(stdout);
    }
    a.status = 204;
    return a;
  }
  std::u16string wide;
  const int32_t i = name.find('/') == std::string::npos && name[0] != '.' && common::utf8_to_utf16(name, &wide)
                        ? find_runtime_file(wide.c_str())
                        : -1;
  if (i < 0) return refuse(404, "not found");
  const RuntimeFile& f = *runtime_file(i);
  const std::string coding = u8(f.coding);
  if (!coding.empty() && !accepts(accept_encoding, coding))
    return refuse(406, "this browser does not accept " + coding + "-coded files, which the player sends");
  if (!input_.read_runtime_file(i, &a.body)) return refuse(500, "the player file cannot be read");
  a.status = 200;
  a.content_type = u8(f.content_type);
  if (!coding.empty()) headers->push_back({"Content-Encoding", coding});
  if (name == "index.html") headers->push_back({"X-Frame-Options", "DENY"});
  return a;
}

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
  auto browser = [this](const httplib::Request& req, httplib::Response& res) {
    std::vector<std::pair<std::string, std::string>> headers;
    Answer a = browser_answer(req.method, req.target, req.get_header_value("Host"),
                              req.get_header_value("Sec-Fetch-Site"), req.get_header_value("Accept-Encoding"),
                              req.body, &headers);
    // Misses of the package say so themselves; every other refusal, here.
    if (a.status >= 400 && a.entry < 0 && a.body.compare(0, 20, "not in the package: ") != 0 && !options_.quiet)
      std::fprintf(stderr, "pack serve: %d %s %s: %s", a.status, req.method.c_str(), req.target.c_str(), a.body.c_str());
    res.status = a.status;
    bool coded = false;
    for (const auto& h : headers) {
      res.set_header(h.first, h.second);
      coded = coded || h.first == "Content-Encoding";
    }
    if (a.status == 204) return;
    if (!coded || a.body.empty()) {
      res.set_content(a.body, a.content_type.c_str());
      return;
    }
    // Sent as stored: the library codes plain bodies itself, never a
    // provider's of known length.
    auto stored = std::make_shared<std::string>(std::move(a.body));
    res.set_content_provider(stored->size(), a.content_type.c_str(),
                             [stored](size_t offset, size_t length, httplib::DataSink& sink) {
                               return sink.write(stored->data() + offset, length);
                             });
  };
  if (options_.browser_mode) {
    if (token_.empty()) token_ = random_token();
    http.Get(".*", browser);
    http.Post(".*", browser);
    http.Put(".*", browser);
    http.Delete(".*", browser);
    http.Options(".*", browser);
    http.Patch(".*", browser);
  } else {
    http.Get(".*", handle);
    http.Post(".*", handle);
  }
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
  if (options_.browser_mode) start_url_ = "http://127.0.0.1:" + std::to_string(port_) + "/" + token_ + "/";
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
