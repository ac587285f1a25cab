#include "fetch/http_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

#include <curl/curl.h>

#include "common/utf.h"

namespace fetch {
namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
  size_t index = 0;
  int attempt = 0;
  Clock::time_point due;
  CURL* easy = nullptr;
  curl_slist* header_list = nullptr;
  HttpResponse response;
  double read_timeout = 30;
  curl_off_t seen = -1;  // bytes received when last checked
  Clock::time_point seen_at;
  bool stalled = false;
};

// Silence for the read timeout ends a transfer: an answer that announced
// more than it sends would otherwise hold it for ever.
int on_progress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t up) {
  auto* t = static_cast<Transfer*>(user);
  const Clock::time_point at = Clock::now();
  if (now + up != t->seen) {
    t->seen = now + up;
    t->seen_at = at;
    return 0;
  }
  if (std::chrono::duration<double>(at - t->seen_at).count() > t->read_timeout) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

size_t on_body(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->response.body.append(data, size * n);
  return size * n;
}

// Headers of every block arrive (a 100 Continue first): the last block counts.
size_t on_header(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string line(data, size * n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    t->response.headers.clear();
  } else if (!line.empty()) {
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t v = colon + 1;
      while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
      t->response.headers.emplace_back(line.substr(0, colon), line.substr(v));
    }
  }
  return size * n;
}

bool retryable(const HttpResponse& r) {
  if (r.status == 429 || (r.status >= 500 && r.status <= 599)) return true;
  return false;
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const {
  const std::string want = common::ascii_lower(name);
  for (const auto& [k, v] : headers)
    if (common::ascii_lower(k) == want) return v;
  return "";
}

double retry_after_seconds(const std::string& value, int64_t now_epoch) {
  if (value.empty()) return -1;
  if (value.find_first_not_of("0123456789") == std::string::npos) return std::stod(value.substr(0, 9));
  time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return -1;
  return std::max<double>(0, double(int64_t(when) - now_epoch));
}

Client::Client(ClientOptions options) : options_(std::move(options)) {
  static const bool once = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)once;
}

Client::~Client() = default;

bool Client::run(const std::vector<HttpRequest>& requests, std::vector<HttpResponse>* out, const Done& on_done) {
  out->assign(requests.size(), HttpResponse());
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), curl_multi_cleanup);
  std::deque<std::unique_ptr<Transfer>> waiting;
  for (size_t i = 0; i < requests.size(); ++i) {
    auto t = std::make_unique<Transfer>();
    t->index = i;
    t->due = Clock::now();
    waiting.push_back(std::move(t));
  }
  std::vector<std::unique_ptr<Transfer>> active;
  size_t done = 0;
  int64_t bytes = 0;
  bool stopped = false;

  auto start = [&](std::unique_ptr<Transfer> t) {
    const HttpRequest& q = requests[t->index];
    t->response = HttpResponse();
    t->response.url = q.url;
    t->response.attempts = t->attempt + 1;
    CURL* e = curl_easy_init();
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, q.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_USERAGENT, options_.user_agent.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(options_.connect_timeout * 1000));
    t->read_timeout = options_.read_timeout;
    t->seen = -1;
    t->seen_at = Clock::now();
    t->stalled = false;
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    // The stored bytes as they were served: no content coding asked for.
    t->header_list = curl_slist_append(t->header_list, "Accept-Encoding: identity");
    t->header_list = curl_slist_append(t->header_list, "Expect:");
    if (q.method == "POST") {
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(q.body.size()));
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, q.body.c_str());
      const std::string type = "Content-Type: " + (q.content_type.empty() ? std::string("application/x-www-form-urlencoded")
                                                                              : q.content_type);
      t->header_list = curl_slist_append(t->header_list, type.c_str());
    } else if (q.method != "GET") {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, q.method.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->header_list);
    curl_multi_add_handle(multi.get(), e);
    ++sent_;
    active.push_back(std::move(t));
  };

  auto release = [&](Transfer* t) {
    curl_multi_remove_handle(multi.get(), t->easy);
    curl_easy_cleanup(t->easy);
    t->easy = nullptr;
    curl_slist_free_all(t->header_list);
    t->header_list = nullptr;
  };

  while (done < requests.size()) {
    if (options_.stop && options_.stop()) {
      stopped = true;
      break;
    }
    const Clock::time_point now = Clock::now();
    // The earliest due first; retries wait their turn.
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const std::unique_ptr<Transfer>& a, const std::unique_ptr<Transfer>& b) { return a->due < b->due; });
    while (int(active.size()) < std::max(1, options_.jobs) && !waiting.empty() && waiting.front()->due <= now) {
      start(std::move(waiting.front()));
      waiting.pop_front();
    }
    int running = 0;
    curl_multi_perform(multi.get(), &running);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi.get(), &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
      const CURLcode code = m->data.result;
      if (code == CURLE_OK) {
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &t->response.status);
      } else {
        t->response.status = 0;
        t->response.error = t->stalled ? "nothing received for " + std::to_string(int(options_.read_timeout + 0.5)) +
                                             " s (an answer cut short?)"
                                       : curl_easy_strerror(code);
      }
      release(t);
      bytes += int64_t(t->response.body.size());
      auto it = std::find_if(active.begin(), active.end(), [t](const std::unique_ptr<Transfer>& a) { return a.get() == t; });
      std::unique_ptr<Transfer> owned = std::move(*it);
      active.erase(it);
      // A refused connection or an unknown host is final: the archive is not there.
      const bool transport_retry = code != CURLE_OK && code != CURLE_COULDNT_CONNECT &&
                                   code != CURLE_COULDNT_RESOLVE_HOST && code != CURLE_UNSUPPORTED_PROTOCOL &&
                                   code != CURLE_URL_MALFORMAT;
      if ((retryable(owned->response) && owned->attempt < options_.retries) ||
          (transport_retry && owned->attempt < options_.transfer_retries)) {
        double wait = options_.backoff * double(1 << std::min(owned->attempt, 16));
        const double asked = retry_after_seconds(owned->response.header("Retry-After"), int64_t(std::time(nullptr)));
        if (asked >= 0) wait = asked;
        wait = std::min(wait, options_.max_wait);
        ++owned->attempt;
        ++retried_;
        owned->due = Clock::now() + std::chrono::milliseconds(int64_t(wait * 1000));
        waiting.push_back(std::move(owned));
        continue;
      }
      owned->response.complete = true;
      ++done;
      if (options_.progress) options_.progress(bytes, done);
      if (on_done) {
        // Handed over as it comes, so that a round's bodies are never all held at once.
        const bool go_on = on_done(owned->index, owned->response);
        owned->response.body.clear();
        owned->response.body.shrink_to_fit();
        (*out)[owned->index] = std::move(owned->response);
        if (!go_on) {
          stopped = true;
          break;
        }
        continue;
      }
      (*out)[owned->index] = std::move(owned->response);
    }
    if (done == requests.size() || stopped) break;
    // Wake for the transfers, for the next retry, and to notice a stop.
    long wait_ms = 200;
    if (active.empty() && !waiting.empty()) {
      auto until = std::chrono::duration_cast<std::chrono::milliseconds>(waiting.front()->due - Clock::now()).count();
      wait_ms = std::clamp<long>(long(until), 0, 200);
    }
    curl_multi_poll(multi.get(), nullptr, 0, int(wait_ms), nullptr);
  }
  for (auto& t : active) release(t.get());
  return !stopped;
}

}  // namespace fetch
