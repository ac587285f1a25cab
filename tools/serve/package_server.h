// A web server on 127.0.0.1 that answers every request from a loaded
// package with the player's own resolution, and serves a start page that
// embeds the first movie in Ruffle as the player embeds it in the control.
//
// Requests reach it as a proxy's do (absolute URLs in the request line), so
// resolution sees the URL that the movie asked for; a browser driver that
// intercepts the page's requests (http and https) calls answer() directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
};

class PackageServer {
 public:
  PackageServer(const pack::LoadedPlayer& input, ServerOptions options);
  ~PackageServer();
  PackageServer(const PackageServer&) = delete;
  PackageServer& operator=(const PackageServer&) = delete;

  // False, saying why, when a browser can't play the package: its first
  // movie's URL is not http or https.
  bool playable(std::string* why) const;

  // Listens on 127.0.0.1:port (0: any free port) in a thread of its own.
  // False with a message naming the port when it can't.
  bool start(int port, std::string* error);
  void stop();
  int port() const { return port_; }

  // The start page's URL: in the first movie's folder.
  const std::string& start_url() const { return start_url_; }
  // Width and height the page gives the movie.
  int width() const { return width_; }
  int height() const { return height_; }

  // Answers one request for an absolute URL (http or https).
  Answer answer(const std::string& method, const std::string& url, const std::string& body);

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
  double now_ms() const;
  std::string start_page() const;
  std::string ruffle_base() const;
  // The file name after either Ruffle folder (beside the page, or its http
  // twin) in a URL without query; false for other URLs.
  bool ruffle_name(const std::string& plain, std::string* name) const;
  bool internal_answer(const std::string& url, Answer* out);
  // The answer to a proxy request: internal, refused as outside the page, or from the package.
  Answer proxy_answer(const std::string& method, const std::string& url, const std::string& body);

  const pack::LoadedPlayer& input_;
  ServerOptions options_;
  std::string folder_;      // the first movie's folder URL, ending in "/"
  std::string start_url_;
  std::string movie_url_;
  int width_ = 550, height_ = 400;
  std::string background_ = "#ffffff";
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Served> served_;
  size_t unlisted_ = 0;
  size_t missed_ = 0;
  size_t misses_printed_ = 0;
  std::vector<std::string> outside_;
  std::atomic<double> first_frame_ms_{-1};
  int64_t started_ns_ = 0;
};

}  // namespace serve
