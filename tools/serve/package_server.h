// A web server on 127.0.0.1 (Debian's libmicrohttpd) that answers every
// request from a loaded package with the player's own resolution, and
// serves a start page that embeds the first movie in Ruffle as the player
// embeds it in the control.
//
// Requests reach it as a proxy's do (absolute URLs in the request line), so
// resolution sees the URL that the movie asked for; a browser driver that
// intercepts the page's requests (http and https) calls answer() directly.
// Each request is bounded in size and time and entries are streamed from
// the player file, so no client holds memory or the others' service.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "pack/loaded_player.h"

namespace serve {

struct ServerOptions {
  std::string ruffle_dir;           // the Ruffle package's folder; empty: no Ruffle files
  size_t max_listed = 1000;         // requests kept in the list; the rest are counted
  size_t max_body = size_t(1) << 20;  // larger POST bodies are refused (413)
  bool quiet = false;               // no "not in the package" lines on stderr
  bool print_served = false;        // one line on stdout per answered request
  // The browser's own page requests come through the driver; what reaches
  // the proxy then is the browser's background traffic: refused, and only
  // listed apart.
  bool proxy_outside_page = false;
  // Serve as a player does for its user's browser: the page and files the
  // package carries under /TOKEN/ of 127.0.0.1, and every request of the
  // movie as /TOKEN/req?URL; nothing as a proxy.
  bool browser_mode = false;
  // A request's line, headers and body must arrive within this; idle
  // connections close after idle_seconds.
  double request_seconds = 10;
  unsigned idle_seconds = 15;
  unsigned max_connections = 1000;
};

// One request of the movie, as answered.
struct Served {
  std::string method;
  std::string url;
  std::string body;     // a POST's body, as sent
  int32_t entry = -1;   // -1: not in the package
  bool refused = false; // a scheme the player does not serve
  int64_t bytes = 0;
  uint32_t crc = 0;     // CRC-32 of the bytes sent
  double ms = 0;        // since the server started
};

struct Answer {
  int status = 404;
  std::string content_type;
  std::string body;
  int32_t entry = -1;
  std::string file;  // a Ruffle file whose bytes are the answer (body empty)
  std::string url;   // browser mode: the movie's URL that was resolved
};

class PackageServer {
 public:
  PackageServer(const pack::LoadedPlayer& input, ServerOptions options);
  ~PackageServer();
  PackageServer(const PackageServer&) = delete;
  PackageServer& operator=(const PackageServer&) = delete;

  // False, saying why, when a browser can't play the package: its first
  // movie's URL is not http or https.
  bool playable(common::Error* why) const;

  // Listens on 127.0.0.1:port (0: any free port) in a thread of its own.
  // False with a message naming the port when it can't.
  bool start(int port, common::Error* error);
  void stop();
  int port() const { return port_; }

  // The start page's URL: in the first movie's folder; in browser mode
  // http://127.0.0.1:PORT/TOKEN/ once started.
  const std::string& start_url() const { return start_url_; }
  // Browser mode: the volume the page last saved ("100" before).
  std::string volume() const;
  // Width and height the page gives the movie.
  int width() const { return width_; }
  int height() const { return height_; }

  // Answers one request for an absolute URL (http or https), its bytes in
  // the body.
  Answer answer(const std::string& method, const std::string& url, const std::string& body);

  // The origin that may read answers from a script: the start page's own,
  // when the request's Origin header names it; else empty.
  std::string allowed_origin(const std::string& origin_header) const;

  // Whether a request of the page is better handed to the proxy, which
  // streams the entry, than answered whole in one DevTools message: a GET
  // of an http URL that an entry answers. When it is, it is listed now and
  // *mark is the value of kHandedHeader that the driver adds to it, with
  // which the proxy answers it as the page's.
  bool hand_over(const std::string& method, const std::string& url, std::string* mark);
  static const char kHandedHeader[];

  // True for the start page and the Ruffle files, which are no requests of
  // the movie.
  bool is_internal(const std::string& url) const;

  std::vector<Served> served() const;
  size_t unlisted() const;
  // Requests that nothing answered, listed or not.
  size_t missed() const;
  // URLs that reached the proxy while proxy_outside_page was set (capped).
  std::vector<std::string> outside() const;
  // Milliseconds from start() to the movie's first frame; -1 before it.
  double first_frame_ms() const { return first_frame_ms_.load(); }

 private:
  struct Impl;
  friend struct Impl;
  double now_ms() const;
  std::string start_page() const;
  std::string ruffle_base() const;
  // The file name after either Ruffle folder (beside the page, or its http
  // twin) in a URL without query; false for other URLs.
  bool ruffle_name(const std::string& plain, std::string* name) const;
  bool internal_answer(const std::string& url, Answer* out);
  // Browser mode: one request with its headers, as the player's own server answers it.
  Answer browser_answer(const std::string& method, const std::string& target, const std::string& host,
                        const std::string& fetch_site, const std::string& accept_encoding,
                        const std::string& body, std::vector<std::pair<std::string, std::string>>* headers,
                        size_t* ticket);
  // The answer to a proxy request: internal, refused as outside the page, or
  // the package's; an entry's bytes are not read (entry >= 0, body empty).
  Answer proxy_answer(const std::string& method, const std::string& url, const std::string& body, const char* mark,
                      size_t* ticket);
  // Resolves a request and, with list, lists it; *ticket names its place in
  // the list for sent(), or is npos when it was not listed.
  Answer route(const std::string& method, const std::string& url, const std::string& body, bool list,
               size_t* ticket);
  // What an answer of an entry sent, once it has gone (or stopped).
  void sent(size_t ticket, const std::string& method, const std::string& url, int32_t entry, int64_t bytes,
            uint32_t crc);

  const pack::LoadedPlayer& input_;
  ServerOptions options_;
  std::string folder_;      // the first movie's folder URL, ending in "/"
  std::string start_url_;
  std::string movie_url_;
  int width_ = 550, height_ = 400;
  std::string background_ = "#ffffff";
  std::string origin_;      // the start page's origin, lower case
  std::string token_;       // random, per server: marks handed requests; a player's path
  std::string shared_path_; // the first entry's file (the player file), kept open
  int shared_fd_ = -1;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Served> served_;
  size_t unlisted_ = 0;
  size_t missed_ = 0;
  size_t misses_printed_ = 0;
  std::vector<std::string> outside_;
  std::atomic<double> first_frame_ms_{-1};
  std::string volume_ = "100";
  int64_t started_ns_ = 0;
};

}  // namespace serve
