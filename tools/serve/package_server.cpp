#include "serve/package_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

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

// "scheme://host[:port]" of an absolute URL, lower case; empty for others.
std::string origin_of(const std::string& url) {
  size_t colon = url.find("://");
  if (colon == std::string::npos) return std::string();
  size_t end = url.find_first_of("/?#", colon + 3);
  return common::ascii_lower(url.substr(0, end));
}

const size_t kNotListed = size_t(-1);

}  // namespace

PackageServer::PackageServer(const pack::LoadedPlayer& input, ServerOptions options)
    : input_(input), options_(std::move(options)) {
  const ResourceEntry* first = resource_entry(0);
  movie_url_ = first ? u8(first->url) : std::string();
  if (char16_t* dir = url_directory(first ? first->url : u"")) {
    folder_ = common::utf16_to_utf8(dir);
    std::free(dir);
  }
  // Movie start sets it once; an audit of the same package may have.
  if (playback_mode() != PLAYBACK_VIDEO && !base_url()) set_base_url(page_base_url());
  start_url_ = folder_ + kStartPage;
  origin_ = origin_of(folder_);
  token_ = random_token();

  std::string head;
  if (first) input_.read_entry(0, pack::kMovieHeadBytes, &head);
  const pack::MovieLook look = pack::movie_look(head, nominal_width(), nominal_height());
  width_ = look.width;
  height_ = look.height;
  background_ = look.background;
  prepare_resolution_index();
  if (first) {
    shared_path_ = input_.entry_place(0).path;
    if (!shared_path_.empty()) shared_fd_ = ::open(shared_path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
}

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
  struct stat st;
  std::string path = options_.ruffle_dir + "/" + name;
  if (name.find('/') != std::string::npos || name[0] == '.' || options_.ruffle_dir.empty() ||
      stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out->body = "not a Ruffle file: " + name + "\n";
    return true;
  }
  out->status = 200;
  out->content_type = ends_type(name);
  out->file = path;
  return true;
}

std::string PackageServer::allowed_origin(const std::string& origin_header) const {
  return !origin_.empty() && common::ascii_lower(origin_header) == origin_ ? origin_ : std::string();
}

const char PackageServer::kHandedHeader[] = "X-Tessivo-Handed";

bool PackageServer::hand_over(const std::string& method, const std::string& url, std::string* mark) {
  if (method != "GET" || common::ascii_lower(url.substr(0, 7)) != "http://" || is_internal(url)) return false;
  size_t ticket;
  if (route(method, url, std::string(), false, &ticket).entry < 0) return false;
  // Listed now, in the page's order; the proxy adds what it sent.
  route(method, url, std::string(), true, &ticket);
  *mark = token_ + "-" + (ticket == kNotListed ? std::string() : std::to_string(ticket));
  return true;
}

Answer PackageServer::route(const std::string& method, const std::string& url, const std::string& body, bool list,
                            size_t* ticket) {
  Answer a;
  *ticket = kNotListed;
  if (body.size() > options_.max_body) {
    // As the proxy refuses it; the browser's requests don't pass there.
    std::fprintf(stderr, "pack: refused a POST body of %zu bytes, over the limit of %zu: %s\n", body.size(),
                 options_.max_body, url.c_str());
    a.status = 413;
    a.content_type = "text/plain";
    a.body = "POST body too large\n";
    return a;
  }
  std::u16string request;
  int32_t index = -1;
  Served s;
  s.method = method;
  s.url = url;
  if (method == "POST") s.body = body;
  // Resolution reads the player's process-wide state: one at a time. The
  // entry's bytes are read after, by the caller, with no lock held.
  std::lock_guard<std::mutex> lock(mutex_);
  s.ms = now_ms();
  if (!common::utf8_to_utf16(url, &request)) {
    s.refused = true;
  } else {
    std::string key = method == "POST" && !body.empty() ? common::base64(body.data(), body.size()) : std::string();
    s.refused = !resolve_with_key(request.c_str(), key.empty() ? nullptr : key.c_str(), &index);
  }
  const ResourceEntry* e = s.refused ? nullptr : resource_entry(index);
  if (e) {
    a.status = 200;
    a.entry = index;
    a.content_type = e->content_type ? u8(e->content_type) : std::string();
    s.entry = index;
  } else {
    a.status = 404;
    a.content_type = "text/plain";
    a.body = "not in the package: " + url + "\n";
  }
  if (!list) return a;
  if (!e) {
    ++missed_;
    if (!options_.quiet && misses_printed_ < options_.max_listed) {
      std::fprintf(stderr, "not in the package: %s\n", url.c_str());
      ++misses_printed_;
    }
  }
  if (served_.size() < options_.max_listed) {
    *ticket = served_.size();
    served_.push_back(s);
  } else {
    ++unlisted_;
  }
  return a;
}

void PackageServer::sent(size_t ticket, const std::string& method, const std::string& url, int32_t entry,
                         int64_t bytes, uint32_t crc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ticket != kNotListed && ticket < served_.size()) {
    served_[ticket].bytes = bytes;
    served_[ticket].crc = crc;
  }
  if (options_.print_served) {
    std::printf("%s %s -> entry %d, %lld bytes, crc32 %08x\n", method.c_str(), url.c_str(), int(entry),
                (long long)bytes, unsigned(crc));
    std::fflush(stdout);
  }
}

namespace {

// Reads an entry (or a file) by offset with a descriptor of its own, so no
// file position is shared between threads and no lock is held.
class Source {
 public:
  ~Source() {
    if (fd_ >= 0 && owned_) close(fd_);
  }
  // shared: a descriptor of the file at shared_path, open for the server's
  // life (the player file), used rather than opening the file again.
  bool open(const pack::LoadedPlayer::Place& p, const std::string& shared_path, int shared) {
    size_ = p.size;
    base_ = p.offset;
    bytes_ = p.bytes;
    if (p.path.empty()) return bytes_ != nullptr || size_ == 0;
    owned_ = shared < 0 || p.path != shared_path;
    fd_ = owned_ ? ::open(p.path.c_str(), O_RDONLY | O_CLOEXEC) : shared;
    return fd_ >= 0;
  }
  bool open_file(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
    size_ = st.st_size;
    return true;
  }
  int64_t size() const { return size_; }
  // Up to n bytes from offset; -1 on a read error, 0 at the end.
  ssize_t read(int64_t offset, char* buf, size_t n) const {
    if (offset >= size_) return 0;
    if (int64_t(n) > size_ - offset) n = size_t(size_ - offset);
    if (bytes_) {
      std::memcpy(buf, bytes_ + offset, n);
      return ssize_t(n);
    }
    ssize_t got;
    do got = pread(fd_, buf, n, base_ + offset);
    while (got < 0 && errno == EINTR);
    return got;
  }
  bool read_all(std::string* out) const {
    out->resize(size_t(size_));
    int64_t at = 0;
    while (at < size_) {
      ssize_t n = read(at, &(*out)[size_t(at)], size_t(size_ - at));
      if (n <= 0) return false;
      at += n;
    }
    return true;
  }

 private:
  int fd_ = -1;
  bool owned_ = true;
  int64_t base_ = 0, size_ = 0;
  const uint8_t* bytes_ = nullptr;
};

}  // namespace

Answer PackageServer::answer(const std::string& method, const std::string& url, const std::string& body) {
  Answer a;
  Source src;
  if (internal_answer(url, &a)) {
    if (!a.file.empty()) {
      if (!src.open_file(a.file) || !src.read_all(&a.body)) {
        a.status = 500;
        a.body.clear();
      }
      a.file.clear();
    }
    return a;
  }
  size_t ticket;
  a = route(method, url, body, true, &ticket);
  if (a.entry < 0) return a;
  if (!src.open(input_.entry_place(a.entry), shared_path_, shared_fd_) || !src.read_all(&a.body)) {
    a.body.clear();
    a.status = 500;
  }
  sent(ticket, method, url, a.entry, int64_t(a.body.size()),
       uint32_t(crc32(0, reinterpret_cast<const Bytef*>(a.body.data()), uInt(a.body.size()))));
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

bool PackageServer::playable(common::Error* why) const {
  if (!common::is_web_url(movie_url_)) {
    *why = common::plain("the first movie's URL is not an http or https URL, which a browser page needs: \"" +
                             movie_url_ + "\"");
    return false;
  }
  return true;
}

std::string PackageServer::volume() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volume_;
}

Answer PackageServer::browser_answer(const std::string& method, const std::string& target, const std::string& host,
                                     const std::string& fetch_site, const std::string& accept_encoding,
                                     const std::string& body, std::vector<std::pair<std::string, std::string>>* headers,
                                     size_t* ticket) {
  Answer a;
  *ticket = kNotListed;
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
  if (rest.compare(0, 4, "req?") == 0) {
    std::string url;
    if (!percent_decode(rest.substr(4), &url)) return refuse(400, "a broken %-escape");
    Answer r = route(method, url, body, true, ticket);
    r.url = url;
    return r;
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

Answer PackageServer::proxy_answer(const std::string& method, const std::string& url, const std::string& body,
                                   const char* mark, size_t* ticket) {
  Answer a;
  *ticket = kNotListed;
  // A request the driver handed over, listed already under this ticket.
  bool handed = false;
  size_t handed_ticket = kNotListed;
  if (mark && std::strncmp(mark, token_.c_str(), token_.size()) == 0 && mark[token_.size()] == '-') {
    handed = true;
    if (mark[token_.size() + 1]) handed_ticket = size_t(std::strtoull(mark + token_.size() + 1, nullptr, 10));
  }
  if (internal_answer(url, &a)) {
  } else if (handed) {
    size_t unused;
    a = route(method, url, body, false, &unused);
    *ticket = handed_ticket;
  } else if (options_.proxy_outside_page) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outside_.size() < options_.max_listed) outside_.push_back(method + " " + url);
    a.content_type = "text/plain";
    a.body = "not a request of the page\n";
  } else {
    a = route(method, url, body, true, ticket);
  }
  return a;
}

namespace {

// Limits of one request; what a browser or a movie sends stays far below.
const size_t kConnectionMemory = 64 * 1024;  // request line and headers, and the send buffer
const size_t kBlock = 16 * 1024;             // bytes read from the file at a time
const unsigned kMaxHeaders = 100;

// One byte range ("bytes=A-B", "A-", "-N") of size bytes as [*begin, *end).
// 0: no usable range, the whole entry is the answer (several ranges too: a
// server may ignore Range); 1: the range; -1: it lies past the end (416).
int byte_range(const char* header, int64_t size, int64_t* begin, int64_t* end) {
  if (!header || std::strncmp(header, "bytes=", 6) != 0) return 0;
  const char* p = header + 6;
  while (*p == ' ') ++p;
  if (std::strchr(p, ',')) return 0;
  auto number = [](const char*& q, int64_t* v) {
    if (*q < '0' || *q > '9') return false;
    int64_t n = 0;
    for (; *q >= '0' && *q <= '9'; ++q) {
      if (n > (INT64_MAX - 9) / 10) return false;
      n = n * 10 + (*q - '0');
    }
    *v = n;
    return true;
  };
  int64_t a = -1, b = -1;
  bool has_a = number(p, &a);
  if (*p++ != '-') return 0;
  bool has_b = number(p, &b);
  while (*p == ' ') ++p;
  if (*p || (!has_a && !has_b) || (has_a && has_b && b < a)) return 0;
  if (!has_a) {  // the last b bytes
    if (b == 0) return -1;
    *begin = b >= size ? 0 : size - b;
    *end = size;
    return 1;
  }
  if (a >= size) return -1;
  *begin = a;
  *end = has_b && b + 1 < size ? b + 1 : size;
  return 1;
}

}  // namespace

// The daemon runs in a thread of its own that also holds every request to
// its deadline: a connection still receiving a request after
// request_seconds is shut down, whatever it sends meanwhile.
struct PackageServer::Impl {
  PackageServer* server = nullptr;
  MHD_Daemon* daemon = nullptr;
  std::thread thread;
  std::atomic<bool> stopping{false};

  // A connection's state, touched only from the daemon's thread.
  struct Connection {
    int fd = -1;
    bool responding = false;
    bool cut = false;
    std::chrono::steady_clock::time_point since;
  };
  std::unordered_map<MHD_Connection*, Connection> connections;

  // One request, from its URI to its answer.
  struct Request {
    std::string uri;  // as sent, absolute for a proxy request
    std::string body;
    bool started = false;
    bool too_large = false;
  };

  // An entry's bytes on their way out.
  struct Stream {
    Impl* impl;
    Source source;
    int64_t begin = 0, end = 0, sent = 0;
    uint32_t crc = 0;
    size_t ticket = kNotListed;
    int32_t entry = -1;  // -1: a Ruffle file, not listed
    std::string method, url;
  };

  void loop() {
    while (!stopping.load()) {
      MHD_run_wait(daemon, 100);
      enforce_deadlines();
    }
  }

  void enforce_deadlines() {
    auto now = std::chrono::steady_clock::now();
    auto limit = std::chrono::milliseconds(int64_t(server->options_.request_seconds * 1000));
    for (auto& [c, state] : connections) {
      if (!state.responding && !state.cut && now - state.since > limit && state.fd >= 0) {
        // The daemon sees the connection end and closes it.
        shutdown(state.fd, SHUT_RDWR);
        state.cut = true;
      }
    }
  }

  static void on_connection(void* cls, MHD_Connection* c, void** socket_context, MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      Connection& state = self->connections[c];
      const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      state.fd = info ? info->connect_fd : -1;
      state.since = std::chrono::steady_clock::now();
    } else {
      self->connections.erase(c);
    }
    (void)socket_context;
  }

  // Called with the request line, before the headers: the raw URI.
  static void* on_uri(void*, const char* uri, MHD_Connection*) {
    auto* r = new Request;
    r->uri = uri ? uri : "";
    return r;
  }

  static void on_completed(void* cls, MHD_Connection* c, void** con_cls, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    delete static_cast<Request*>(*con_cls);
    *con_cls = nullptr;
    // The next request on this connection has its own deadline.
    auto it = self->connections.find(c);
    if (it != self->connections.end()) {
      it->second.responding = false;
      it->second.since = std::chrono::steady_clock::now();
    }
  }

  static ssize_t read_stream(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* s = static_cast<Stream*>(cls);
    int64_t left = s->end - s->begin - int64_t(pos);
    if (left <= 0) return MHD_CONTENT_READER_END_OF_STREAM;
    if (int64_t(max) > left) max = size_t(left);
    ssize_t n = s->source.read(s->begin + int64_t(pos), buf, max);
    if (n <= 0) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (int64_t(pos) == s->sent) {
      s->crc = uint32_t(crc32(s->crc, reinterpret_cast<const Bytef*>(buf), uInt(n)));
      s->sent += n;
    }
    return n;
  }

  static void free_stream(void* cls) {
    auto* s = static_cast<Stream*>(cls);
    if (s->entry >= 0) s->impl->server->sent(s->ticket, s->method, s->url, s->entry, s->sent, s->crc);
    delete s;
  }

  MHD_Result queue(MHD_Connection* c, MHD_Response* r, int status, const char* origin) {
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Cache-Control", "no-store");
    std::string allowed = server->allowed_origin(origin ? origin : "");
    if (!allowed.empty()) {
      MHD_add_response_header(r, "Access-Control-Allow-Origin", allowed.c_str());
      MHD_add_response_header(r, "Vary", "Origin");
    }
    auto it = connections.find(c);
    if (it != connections.end()) it->second.responding = true;
    MHD_Result ok = MHD_queue_response(c, unsigned(status), r);
    MHD_destroy_response(r);
    return ok;
  }

  MHD_Result text(MHD_Connection* c, int status, const std::string& body, const char* type,
                  const char* origin = nullptr) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r && type && *type) MHD_add_response_header(r, "Content-Type", type);
    return queue(c, r, status, origin);
  }

  static MHD_Result on_request(void* cls, MHD_Connection* c, const char*, const char* method_text, const char*,
                               const char* upload, size_t* upload_size, void** con_cls) {
    auto* self = static_cast<Impl*>(cls);
    auto* req = static_cast<Request*>(*con_cls);
    if (!req) return MHD_NO;
    std::string method = method_text;
    if (!req->started) {
      req->started = true;
      if (unsigned(MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr)) > kMaxHeaders)
        return self->text(c, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "too many header fields\n", "text/plain");
      // A player's server checks the method after the host and the site.
      if (!self->server->options_.browser_mode && method != "GET" && method != "HEAD" && method != "POST") {
        MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (r) MHD_add_response_header(r, "Allow", "GET, HEAD, POST");
        return self->queue(c, r, MHD_HTTP_METHOD_NOT_ALLOWED, nullptr);
      }
      const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length && std::strtoull(length, nullptr, 10) > self->server->options_.max_body) req->too_large = true;
      return MHD_YES;  // the body, if any, comes next
    }
    if (*upload_size) {
      // A body over the limit is read and dropped (within the request's
      // deadline), so that the client reads the refusal.
      if (!req->too_large && req->body.size() + *upload_size > self->server->options_.max_body) {
        req->too_large = true;
        std::string().swap(req->body);
      }
      if (!req->too_large) req->body.append(upload, *upload_size);
      *upload_size = 0;
      return MHD_YES;
    }
    if (req->too_large) {
      std::fprintf(stderr, "pack: refused a POST body over the limit of %zu bytes: %s\n",
                   self->server->options_.max_body, req->uri.c_str());
      return self->text(c, MHD_HTTP_CONTENT_TOO_LARGE, "POST body too large\n", "text/plain");
    }
    return self->respond(c, method, *req);
  }

  std::string header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
  }

  // As a player's own server answers its browser: no proxy, no CORS.
  MHD_Result respond_browser(MHD_Connection* c, const std::string& method, const Request& req) {
    std::vector<std::pair<std::string, std::string>> headers;
    size_t ticket;
    Answer a = server->browser_answer(method, req.uri, header(c, "Host"), header(c, "Sec-Fetch-Site"),
                                      header(c, "Accept-Encoding"), req.body, &headers, &ticket);
    // Misses of the package say so themselves; every other refusal, here.
    if (a.status >= 400 && a.entry < 0 && a.body.compare(0, 20, "not in the package: ") != 0 &&
        !server->options_.quiet)
      std::fprintf(stderr, "pack serve: %d %s %s: %s", a.status, method.c_str(), req.uri.c_str(), a.body.c_str());
    if (a.entry >= 0) return stream(c, method, a, a.url, ticket, nullptr);
    MHD_Response* r = MHD_create_response_from_buffer(a.body.size(), const_cast<char*>(a.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r && a.status != 204 && !a.content_type.empty())
      MHD_add_response_header(r, "Content-Type", a.content_type.c_str());
    for (const auto& h : headers)
      if (r) MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    return queue(c, r, a.status, nullptr);
  }

  MHD_Result respond(MHD_Connection* c, const std::string& method, const Request& req) {
    if (server->options_.browser_mode) return respond_browser(c, method, req);
    const char* origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
    std::string self_name = "127.0.0.1:" + std::to_string(server->port_);
    if (!common::is_web_url(req.uri)) {
      // Asked of the server itself, not as of a proxy: only under its own
      // name, so that a page whose name a resolver points here reads nothing.
      const char* host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
      std::string h = common::ascii_lower(host ? host : "");
      if (h != self_name && h != "localhost:" + std::to_string(server->port_))
        return text(c, 421, "This server answers only as " + self_name + " or as an HTTP proxy.\n", "text/plain");
      return text(c, 200,
                  "This is a Tessivo package server. Set your browser's HTTP proxy to " + self_name + " and open " +
                      server->start_url_ + "\n",
                  "text/plain");
    }
    size_t ticket;
    Answer a = server->proxy_answer(method, req.uri, req.body,
                                    MHD_lookup_connection_value(c, MHD_HEADER_KIND, kHandedHeader), &ticket);
    if (a.entry < 0 && a.file.empty()) return text(c, a.status, a.body, a.content_type.c_str(), origin);
    return stream(c, method, a, req.uri, ticket, origin);
  }

  // An entry's (or a Ruffle file's) bytes, whole or one range of them.
  MHD_Result stream(MHD_Connection* c, const std::string& method, const Answer& a, const std::string& url,
                    size_t ticket, const char* origin) {
    auto* s = new Stream;
    s->impl = this;
    s->ticket = ticket;
    s->entry = a.entry;
    s->method = method;
    s->url = url;
    bool opened = a.entry >= 0 ? s->source.open(server->input_.entry_place(a.entry), server->shared_path_,
                                                 server->shared_fd_)
                               : s->source.open_file(a.file);
    if (!opened) {
      s->entry = -1;
      delete s;
      return text(c, 500, "the entry cannot be read\n", "text/plain", origin);
    }
    int64_t size = s->source.size();
    s->end = size;
    int status = 200;
    int range = byte_range(MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Range"), size, &s->begin, &s->end);
    if (range < 0) {
      // Nothing of the entry goes; listed as answered with no bytes.
      free_stream(s);
      MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
      if (r) MHD_add_response_header(r, "Content-Range", ("bytes */" + std::to_string(size)).c_str());
      return queue(c, r, MHD_HTTP_RANGE_NOT_SATISFIABLE, origin);
    }
    MHD_Response* r = MHD_create_response_from_callback(uint64_t(s->end - s->begin), kBlock, read_stream, s,
                                                        free_stream);
    if (!r) {
      free_stream(s);
      return MHD_NO;
    }
    if (!a.content_type.empty()) MHD_add_response_header(r, "Content-Type", a.content_type.c_str());
    MHD_add_response_header(r, "Accept-Ranges", "bytes");
    if (range > 0) {
      status = MHD_HTTP_PARTIAL_CONTENT;
      std::string cr = "bytes " + std::to_string(s->begin) + "-" + std::to_string(s->end - 1) + "/" +
                       std::to_string(size);
      MHD_add_response_header(r, "Content-Range", cr.c_str());
    }
    return queue(c, r, status, origin);
  }
};

PackageServer::~PackageServer() {
  stop();
  if (shared_fd_ >= 0) close(shared_fd_);
}

bool PackageServer::start(int port, common::Error* error) {
  impl_.reset(new Impl);
  started_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  Impl& impl = *impl_;
  impl.server = this;
  // Many keep-alive clients each hold a descriptor.
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  unsigned max_connections = options_.max_connections;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur < max_connections + 64)
    max_connections = files.rlim_cur > 128 ? unsigned(files.rlim_cur - 64) : 64;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  impl.daemon = MHD_start_daemon(
      MHD_USE_EPOLL, uint16_t(port), nullptr, nullptr, &Impl::on_request, &impl,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_CONNECTION_LIMIT, max_connections,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idle_seconds,
      MHD_OPTION_URI_LOG_CALLBACK, &Impl::on_uri, &impl,
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::on_completed, &impl,
      MHD_OPTION_NOTIFY_CONNECTION, &Impl::on_connection, &impl,
      MHD_OPTION_LISTEN_BACKLOG_SIZE, 512u,
      MHD_OPTION_END);
  if (!impl.daemon) {
    *error = common::plain("cannot listen on 127.0.0.1:" + std::to_string(port) +
                                          (port ? " (the port is in use, or not allowed)" : ""));
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(impl.daemon, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? int(info->port) : port;
  if (options_.browser_mode) start_url_ = "http://127.0.0.1:" + std::to_string(port_) + "/" + token_ + "/";
  impl.thread = std::thread([&impl] { impl.loop(); });
  return true;
}

void PackageServer::stop() {
  if (!impl_) return;
  Impl& impl = *impl_;
  if (impl.thread.joinable()) {
    impl.stopping = true;
    impl.thread.join();
  }
  if (impl.daemon) {
    MHD_stop_daemon(impl.daemon);
    impl.daemon = nullptr;
  }
}

}  // namespace serve
