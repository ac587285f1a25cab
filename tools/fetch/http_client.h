// The fetcher's HTTP client over libcurl: many requests at once but never
// more than a set number, each with connect and read timeouts, retried with
// backoff on 429 and 5xx (honouring Retry-After). Redirects are answers, not
// followed: the caller tells a captured redirect from the archive's own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fetch {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::string body;          // sent for POST
  std::string content_type;  // of the body
};

struct HttpResponse {
  long status = 0;  // 0: no answer (see error)
  std::vector<std::pair<std::string, std::string>> headers;  // as received, last block only
  std::string body;
  std::string error;    // transport failure, or empty
  std::string url;      // the URL asked (the last attempt's)
  int attempts = 0;
  bool complete = false;  // answered (or failed for good); false when stopped first
  // The first header of that name, letter case aside; "" when absent.
  std::string header(const std::string& name) const;
};

struct ClientOptions {
  int jobs = 4;                 // requests at once
  int retries = 4;              // more attempts after the first on 429 and 5xx
  int transfer_retries = 1;     // ... and on a transfer broken or timed out
  double connect_timeout = 15;  // seconds
  double read_timeout = 30;     // seconds without a byte
  double backoff = 1;           // first wait in seconds, doubled each retry
  double max_wait = 120;        // the longest wait, Retry-After included
  std::string user_agent;
  std::function<bool()> stop;   // polled; true ends every transfer (an interrupt)
  std::function<void(int64_t bytes, size_t done)> progress;
};

class Client {
 public:
  explicit Client(ClientOptions options);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Called as each answer is complete, in the order they complete; false
  // stops the run. The answer's body is not kept in out afterwards.
  using Done = std::function<bool(size_t index, const HttpResponse& response)>;
  // Runs every request; answers in the same order. False when stopped.
  bool run(const std::vector<HttpRequest>& requests, std::vector<HttpResponse>* out, const Done& done = nullptr);
  // Requests sent so far, retries included.
  int64_t sent() const { return sent_; }
  int64_t retried() const { return retried_; }

 private:
  ClientOptions options_;
  int64_t sent_ = 0, retried_ = 0;
};

// The seconds a Retry-After value asks for (delta seconds or an HTTP date),
// or -1 when it is not one.
double retry_after_seconds(const std::string& value, int64_t now_epoch);

}  // namespace fetch
