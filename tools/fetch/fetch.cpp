#include "fetch/fetch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "common/paths.h"
#include "common/progress.h"
#include "common/url.h"
#include "common/utf.h"
#include "fetch/http_client.h"
#include "fetch/interrupt.h"
#include "fetch/warc_file.h"
#include "import/capture.h"
#include "pack/audit.h"
#include "pack/build.h"
#include "pack/loaded_player.h"
#include "pack/manifest.h"
#ifdef TESSIVO_HAVE_SERVE
#include "serve/preview.h"
#endif

namespace fs = std::filesystem;

namespace fetch {

const char* UrlReport::found() const {
  if (start) return "start";
  if (in_movie && at_run_time) return "both";
  if (in_movie) return "static";
  if (at_run_time) return "run time";
  return "redirect";
}

const char* UrlReport::state_name() const {
  switch (state) {
    case fetched: return "fetched";
    case kept: return "in the WARC";
    case missing: return "missing";
    default: return "not tried";
  }
}

namespace {

std::string request_key(const std::string& method, const std::string& url, const std::string& body) {
  return method == "POST" ? "POST " + url + "\n" + body : "GET " + url;
}

// An empty path is "/": the archive would redirect there first.
std::string normal_url(std::string url) {
  const size_t hash = url.find('#');
  if (hash != std::string::npos) url.resize(hash);
  const size_t s = url.find("://");
  if (s != std::string::npos && url.find_first_of("/?", s + 3) == std::string::npos) url += "/";
  else if (s != std::string::npos && url[url.find_first_of("/?", s + 3)] == '?')
    url.insert(url.find('?', s + 3), "/");
  return url;
}

int status_of(const CdxLine& c) { return std::atoi(c.status.c_str()); }

// The captured HTTP headers of a replayed answer: X-Archive-Orig-* restored,
// what describes the transfer rather than the file left out (the body is
// stored as it was decoded).
std::vector<std::pair<std::string, std::string>> captured_headers(const HttpResponse& r, bool redirect,
                                                                   const std::string& location) {
  static const std::set<std::string> transfer = {"content-length", "transfer-encoding", "content-encoding",
                                                 "connection", "keep-alive", "content-type", "location"};
  std::vector<std::pair<std::string, std::string>> out;
  const std::string type = r.header("Content-Type");
  if (!type.empty()) out.emplace_back("Content-Type", type);
  if (redirect) out.emplace_back("Location", location);
  for (const auto& [k, v] : r.headers) {
    const std::string lower = common::ascii_lower(k);
    if (lower.compare(0, 15, "x-archive-orig-") != 0) continue;
    const std::string name = k.substr(15);
    if (transfer.count(common::ascii_lower(name))) continue;
    out.emplace_back(name, v);
  }
  return out;
}

std::string reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    default: return "Status";
  }
}

// Whether the package can be played in Ruffle here; why not when not.
bool can_play(const FetchOptions& o, common::Error* why) {
#ifdef TESSIVO_HAVE_SERVE
  std::string dir, chromium;
  return serve::find_ruffle(o.ruffle_dir, &dir, why) && serve::find_chromium(o.chromium, &chromium, why);
#else
  (void)o;
  (void)why;
  return false;
#endif
}

class TempFolder {
 public:
  TempFolder() {
    std::random_device rd;
    for (int k = 0; k < 100 && path.empty(); ++k) {
      fs::path p = fs::temp_directory_path() / ("tessivo-fetch-" + std::to_string(rd()));
      if (fs::create_directory(p)) path = common::utf8_path(p);
    }
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(common::fs_path(path), ec);
  }
  std::string path;
};

class Fetcher {
 public:
  Fetcher(const FetchOptions& o, FetchSummary* s) : o_(o), s_(s), progress_("pack fetch", 0) {
    ClientOptions co;
    co.jobs = o.jobs;
    co.read_timeout = o.timeout;
    co.connect_timeout = std::min(15.0, o.timeout);
    co.user_agent = "tessivo-pack/" + o.version + " (pack fetch; web archive replay)";
    co.stop = [] { return interrupted(); };
    co.progress = [this](int64_t bytes, size_t) { progress_.update(uint64_t(bytes_before_ + bytes), uint64_t(files_)); };
    client_ = std::make_unique<Client>(co);
  }

  bool run(common::Error* error);

 private:
  struct Choice {
    bool found = false;
    CdxLine line;
    std::string why;  // when none
    bool uncaptured = false;  // none: the index holds no capture of the URL at all
    bool variant = false;
  };
  bool http(const std::vector<HttpRequest>& q, std::vector<HttpResponse>* a, int64_t* counter, common::Error* error,
            const Client::Done& done = nullptr);
  bool detect(common::Error* error);
  size_t add(const std::string& method, const std::string& url, const std::string& body, int round);
  bool fetch_pending(int round, int* added, common::Error* error);
  Choice choose(const UrlReport& u, const std::string& asked, const std::vector<CdxLine>& lines, bool first);
  bool replay(const std::vector<size_t>& which, const std::vector<Choice>& choices, int round, int* added,
              common::Error* error);
  bool write(const ResponseRecord& r, common::Error* error);
  bool discover(int round, common::Error* error);
  bool import_warc(const std::string& work, capture::Result* result, common::Error* error);

  const FetchOptions& o_;
  FetchSummary* s_;
  common::Progress progress_;
  std::unique_ptr<Client> client_;
  Dialect dialect_ = Dialect::unknown;
  std::string aim_;
  std::map<std::string, size_t> index_;  // request key -> urls
  std::map<std::string, KeptRecord> kept_;
  uint64_t good_end_ = 0;
  WarcWriter warc_;
  int64_t bytes_before_ = 0;
  int files_ = 0;
  int looked_up_ = 0;
  bool play_ = o_.play;
};

bool Fetcher::http(const std::vector<HttpRequest>& q, std::vector<HttpResponse>* a, int64_t* counter,
                   common::Error* error, const Client::Done& done) {
  const int64_t before = client_->sent(), retried = client_->retried();
  int64_t bytes = 0;
  const bool ok = client_->run(q, a, done ? Client::Done([&](size_t i, const HttpResponse& r) {
    bytes += int64_t(r.body.size());
    return done(i, r);
  }) : Client::Done());
  *counter += client_->sent() - before;
  s_->retries += client_->retried() - retried;
  for (const HttpResponse& r : *a) bytes += int64_t(r.body.size());
  bytes_before_ += bytes;
  if (!ok && interrupted())
    *error = common::plain("interrupted; the WARC keeps every file fetched so far: run the same command to go on");
  return ok;
}

bool Fetcher::detect(common::Error* error) {
  dialect_ = o_.dialect;
  const std::string host = common::ascii_lower(o_.archive);
  if (dialect_ == Dialect::unknown && host.find("archive.org") != std::string::npos) dialect_ = Dialect::ia;
  if (dialect_ != Dialect::unknown) return true;
  // Each dialect's index, asked for the start movie: the first that answers in its shape.
  std::vector<HttpRequest> q(2);
  q[0].url = cdx_query(o_.archive, Dialect::pywb, o_.start_url, false);
  q[1].url = cdx_query(o_.archive, Dialect::ia, o_.start_url, false);
  std::vector<HttpResponse> a;
  if (!http({q[0]}, &a, &s_->cdx_requests, error)) return false;
  common::Error why;
  if (a[0].status == 0) {
    *error = common::plain("cannot reach the archive " + o_.archive + ": " + a[0].error);
    return false;
  }
  std::vector<CdxLine> lines;
  Dialect shape;
  if (a[0].status == 200 && parse_cdx(a[0].body, &lines, &shape, &why) && shape != Dialect::ia) {
    dialect_ = Dialect::pywb;
    return true;
  }
  const long first_status = a[0].status;
  if (!http({q[1]}, &a, &s_->cdx_requests, error)) return false;
  if (a[0].status == 200 && parse_cdx(a[0].body, &lines, &shape, &why) && shape != Dialect::pywb) {
    dialect_ = Dialect::ia;
    return true;
  }
  *error = common::Error{o_.archive, 0, -1,
                         "no capture index answers there (" + q[0].url + ": " + std::to_string(first_status) + "; " +
                             q[1].url + ": " + (a[0].status ? std::to_string(a[0].status) : a[0].error) +
                             "); give the archive's base, e.g. http://host:8080/COLL or https://web.archive.org"};
  return false;
}

size_t Fetcher::add(const std::string& method, const std::string& url, const std::string& body, int round) {
  const std::string key = request_key(method, url, body);
  auto it = index_.find(key);
  if (it != index_.end()) return it->second;
  UrlReport u;
  u.url = url;
  u.method = method;
  u.post_body = body;
  u.round = round;
  s_->urls.push_back(u);
  index_.emplace(key, s_->urls.size() - 1);
  return s_->urls.size() - 1;
}

Fetcher::Choice Fetcher::choose(const UrlReport& u, const std::string& asked, const std::vector<CdxLine>& lines,
                                bool latest) {
  Choice c;
  const std::string key = url_key(asked);
  std::vector<const CdxLine*> same, other_body, gets;
  for (const CdxLine& l : lines) {
    if (l.fuzzy || url_key(l.url) != key) continue;
    if (u.method == "POST") {
      if (!l.post()) gets.push_back(&l);
      else if (l.request_body == u.post_body) same.push_back(&l);
      else other_body.push_back(&l);
    } else if (!l.post()) {
      same.push_back(&l);
    }
  }
  if (same.empty()) {
    c.uncaptured = other_body.empty() && gets.empty();
    c.why = !other_body.empty() ? "POST captured only with another body (not trusted)"
            : !gets.empty()     ? "captured only as a GET, not as this POST"
                                : "not captured";
    return c;
  }
  const int64_t aim = timestamp_seconds(aim_);
  auto better = [&](const CdxLine* a, const CdxLine* b) {
    if (latest || aim < 0) return a->timestamp > b->timestamp;
    const int64_t da = std::llabs(timestamp_seconds(a->timestamp) - aim);
    const int64_t db = std::llabs(timestamp_seconds(b->timestamp) - aim);
    return da != db ? da < db : a->timestamp < b->timestamp;
  };
  auto pick = [&](auto&& keep) -> const CdxLine* {
    const CdxLine* best = nullptr;
    for (const CdxLine* l : same)
      if (keep(*l) && (!best || better(l, best))) best = l;
    return best;
  };
  const CdxLine* best = pick([](const CdxLine& l) { return status_of(l) == 200 || l.revisit(); });
  if (!best) best = pick([](const CdxLine& l) { return status_of(l) >= 300 && status_of(l) < 400; });
  if (!best) {
    std::set<std::string> statuses;
    for (const CdxLine* l : same) statuses.insert(l->status.empty() ? "-" : l->status);
    std::string list;
    for (const std::string& st : statuses) list += (list.empty() ? "" : ", ") + st;
    c.why = "only captured with status " + list;
    return c;
  }
  c.found = true;
  c.line = *best;
  return c;
}

bool Fetcher::write(const ResponseRecord& r, common::Error* error) {
  if (!warc_.is_open()) {
    if (!warc_.open(o_.warc_path, good_end_, error)) return false;
    std::string info = "software: tessivo-pack/" + o_.version + " (pack fetch)\r\n";
    info += "format: WARC File Format 1.1\r\n";
    info += "archive: " + o_.archive + "\r\n";
    info += "cdx-dialect: " + std::string(dialect_name(dialect_)) + "\r\n";
    info += "command: " + o_.command_line + "\r\n";
    if (!aim_.empty()) info += "aimed-at: " + aim_ + "\r\n";
    if (!warc_.warcinfo(info, error)) return false;
  }
  return warc_.response(r, error);
}

bool Fetcher::fetch_pending(int round, int* added, common::Error* error) {
  for (;;) {
    std::vector<size_t> todo;
    for (size_t i = 0; i < s_->urls.size(); ++i)
      if (s_->urls[i].state == UrlReport::pending) todo.push_back(i);
    if (todo.empty()) return true;
    std::vector<size_t> lookups;
    for (size_t i : todo) {
      UrlReport& u = s_->urls[i];
      auto k = kept_.find(request_key(u.method, u.url, u.post_body));
      if (k != kept_.end()) {
        u.state = UrlReport::kept;
        u.capture_time = k->second.date;
        u.archive_url = k->second.source;
        u.status = k->second.status;
        u.size = k->second.size;
        std::string ts;
        if (parse_replay_url(o_.archive, dialect_, u.archive_url, &ts, &u.captured_url))
          u.variant = normal_url(u.captured_url) != u.url;
        ++*added;
        if (u.status >= 300 && u.status < 400 && !k->second.location.empty()) {
          const std::string from = u.url;
          const size_t t = add("GET", normal_url(common::join_url(from, k->second.location)), "", round);
          if (s_->urls[t].redirect_from.empty() && !s_->urls[t].start) s_->urls[t].redirect_from = from;
        }
        continue;
      }
      if (looked_up_ >= o_.max_urls && !u.start) {
        u.state = UrlReport::missing;
        u.why = "not looked up: over --max-urls";
        continue;
      }
      if (u.method == "POST" && dialect_ == Dialect::ia) {
        u.state = UrlReport::missing;
        u.why = "POST not replayable: this archive replays GET only";
        continue;
      }
      lookups.push_back(i);
      ++looked_up_;
    }
    if (lookups.empty()) continue;
    std::vector<HttpRequest> q;
    for (size_t i : lookups) {
      const UrlReport& u = s_->urls[i];
      q.push_back({"GET", cdx_query(o_.archive, dialect_, u.url, u.method == "POST"), "", ""});
    }
    std::vector<HttpResponse> a;
    if (!http(q, &a, &s_->cdx_requests, error)) return false;
    std::vector<Choice> choices(lookups.size());
    std::vector<size_t> variants;
    for (size_t k = 0; k < lookups.size(); ++k) {
      UrlReport& u = s_->urls[lookups[k]];
      std::vector<CdxLine> lines;
      Dialect shape;
      common::Error why;
      if (a[k].status != 200) {
        choices[k].why = a[k].status ? "the index answered " + std::to_string(a[k].status) : "index lookup failed: " + a[k].error;
      } else if (!parse_cdx(a[k].body, &lines, &shape, &why)) {
        choices[k].why = why.text();
      } else {
        choices[k] = choose(u, u.url, lines, u.start && o_.at.empty());
        if (!choices[k].found && choices[k].uncaptured && u.method == "GET" && !without_query(u.url).empty())
          variants.push_back(k);
      }
      if (u.start && !choices[k].found && a[k].status == 0) {
        *error = common::plain("cannot reach the archive " + o_.archive + ": " + a[k].error);
        return false;
      }
    }
    // Without the query, as replay tools try when the exact URL has no capture.
    if (!variants.empty()) {
      std::vector<HttpRequest> vq;
      for (size_t k : variants) vq.push_back({"GET", cdx_query(o_.archive, dialect_, without_query(s_->urls[lookups[k]].url), false), "", ""});
      std::vector<HttpResponse> va;
      if (!http(vq, &va, &s_->cdx_requests, error)) return false;
      for (size_t v = 0; v < variants.size(); ++v) {
        std::vector<CdxLine> lines;
        Dialect shape;
        common::Error why;
        const size_t k = variants[v];
        if (va[v].status != 200 || !parse_cdx(va[v].body, &lines, &shape, &why)) continue;
        Choice c = choose(s_->urls[lookups[k]], without_query(s_->urls[lookups[k]].url), lines, false);
        if (c.found) {
          c.variant = true;
          choices[k] = c;
        }
      }
    }
    for (size_t k = 0; k < lookups.size(); ++k) {
      UrlReport& u = s_->urls[lookups[k]];
      if (!choices[k].found) {
        u.state = UrlReport::missing;
        u.why = choices[k].why;
        if (u.start) {
          *error = common::Error{u.url, 0, -1, u.why + " in " + o_.archive};
          return false;
        }
      } else if (u.start && aim_.empty()) {
        aim_ = o_.at.empty() ? choices[k].line.timestamp : o_.at;
      }
    }
    if (!replay(lookups, choices, round, added, error)) return false;
  }
}

bool Fetcher::replay(const std::vector<size_t>& which, const std::vector<Choice>& choices, int round, int* added,
                     common::Error* error) {
  struct Job {
    size_t url;
    Choice choice;
    HttpRequest request;
    int hops = 0;
  };
  std::vector<Job> jobs;
  for (size_t k = 0; k < which.size(); ++k) {
    if (!choices[k].found) continue;
    const UrlReport& u = s_->urls[which[k]];
    Job j{which[k], choices[k], {}, 0};
    j.request.method = u.method;
    j.request.url = replay_url(o_.archive, dialect_, choices[k].line.timestamp, choices[k].line.url);
    if (u.method == "POST") j.request.body = u.post_body;
    jobs.push_back(j);
  }
  while (!jobs.empty()) {
    std::vector<HttpRequest> q;
    for (const Job& j : jobs) q.push_back(j.request);
    std::vector<HttpResponse> a;
    std::vector<Job> again;
    bool failed = false;
    // Each answer is written as it arrives: an interrupt keeps what came.
    auto handle = [&](size_t k, const HttpResponse& r) -> bool {
      Job& j = jobs[k];
      const UrlReport u = s_->urls[j.url];  // a copy: add() may move the list
      const CdxLine& line = j.choice.line;
      std::string location = r.header("Location");
      std::string loc_ts, loc_url;
      const bool into_archive =
          !location.empty() &&
          parse_replay_url(o_.archive, dialect_, common::join_url(j.request.url, location), &loc_ts, &loc_url);
      const bool captured_redirect = status_of(line) >= 300 && status_of(line) < 400;
      if (r.status >= 300 && r.status < 400 && into_archive && url_key(loc_url) == url_key(line.url) &&
          j.hops < 5 && !(captured_redirect && r.status == status_of(line) && loc_url != line.url)) {
        // The archive's own redirect to the capture it holds.
        j.request.url = common::join_url(j.request.url, location);
        ++j.hops;
        again.push_back(j);
        return true;
      }
      ResponseRecord rec;
      rec.url = u.url;
      rec.post = u.method == "POST";
      rec.post_body = u.post_body;
      std::string served_ts = http_date_timestamp(r.header("Memento-Datetime"));
      std::string content_location = r.header("Content-Location");
      rec.source = content_location.empty() ? r.url : common::join_url(r.url, content_location);
      std::string src_ts, src_url;
      if (served_ts.empty() && parse_replay_url(o_.archive, dialect_, rec.source, &src_ts, &src_url) &&
          src_ts.size() == 14)
        served_ts = src_ts;
      rec.timestamp = served_ts.empty() ? line.timestamp : served_ts;
      if (r.status == 200 || r.status == 203) {
        rec.status = 200;
        rec.reason = "OK";
        rec.headers = captured_headers(r, false, "");
        rec.body = r.body;
      } else if (r.status >= 300 && r.status < 400 && !location.empty()) {
        std::string target = into_archive ? loc_url : common::join_url(line.url, location);
        if (j.choice.variant || target.empty()) target = common::join_url(u.url, location);
        rec.status = int(r.status);
        rec.reason = reason_phrase(rec.status);
        rec.headers = captured_headers(r, true, target);
        const size_t t = add("GET", normal_url(target), "", round);
        UrlReport& next = s_->urls[t];
        if (next.redirect_from.empty() && !next.start && next.state == UrlReport::pending) next.redirect_from = u.url;
      } else {
        UrlReport& m = s_->urls[j.url];
        m.state = UrlReport::missing;
        m.why = r.status == 0 ? "replay failed: " + r.error
                              : "the archive answered " + std::to_string(r.status) + " to its replay";
        if (m.start) {
          *error = common::Error{m.url, 0, -1, m.why};
          failed = true;
          return false;
        }
        return true;
      }
      UrlReport& w = s_->urls[j.url];
      if (!write(rec, error)) {
        failed = true;
        return false;
      }
      ++*added;
      ++files_;
      w.state = UrlReport::fetched;
      w.status = rec.status;
      w.capture_time = rec.timestamp;
      w.archive_url = rec.source;
      w.captured_url = line.url;
      w.size = int64_t(rec.body.size());
      w.variant = j.choice.variant || normal_url(line.url) != w.url;
      if (served_ts != line.timestamp && !served_ts.empty())
        w.why = "the archive served the capture of " + served_ts + " for " + line.timestamp;
      kept_[request_key(w.method, w.url, w.post_body)] = KeptRecord{};
      return true;
    };
    const bool whole = http(q, &a, &s_->replay_requests, error, handle);
    if (failed) return false;
    if (!whole) return false;
    jobs = std::move(again);
  }
  return true;
}

bool Fetcher::import_warc(const std::string& work, capture::Result* result, common::Error* error) {
  try {
    capture::Options io;
    io.start = o_.start_url;
    io.work_dir = work;
    capture::Importer importer(io);
    importer.add(o_.warc_path);
    *result = importer.finish();
    return true;
  } catch (const std::exception& e) {
    *error = common::plain(std::string("reading back ") + o_.warc_path + ": " + e.what());
    return false;
  }
}

bool Fetcher::discover(int round, common::Error* error) {
  TempFolder work;
  capture::Result result;
  if (!import_warc(work.path, &result, error)) return false;
  const std::string manifest = common::utf8_path(common::fs_path(work.path) / "manifest.toml");
  if (!pack::write_manifest(result.package, "pack fetch, a round's package", manifest, error)) return false;
  pack::LoadedPlayer player;
  if (!player.load_manifest(manifest, error)) return false;
  const pack::AuditResult audit =
      pack::audit_package([&player](int32_t i, size_t max, std::string* out) { return player.read_entry(i, max, out); });
  for (const pack::AuditSource& src : audit.sources)
    for (const pack::AuditRequest& q : src.requests) {
      if (q.refused || q.opens_window) continue;
      // Relative texts as the player joins them: to the base URL, else the first movie's.
      const std::string base = common::utf16_to_utf8(audit.has_base ? audit.base_url : src.url);
      const std::string url = normal_url(common::join_url(base, common::utf16_to_utf8(q.request)));
      if (!common::is_web_url(url)) continue;
      s_->urls[add("GET", url, "", round + 1)].in_movie = true;
    }
#ifdef TESSIVO_HAVE_SERVE
  if (play_) {
    serve::PreviewOptions po;
    po.seconds = o_.seconds;
    po.chromium = o_.chromium;
    po.ruffle_dir = o_.ruffle_dir;
    serve::PreviewOutcome run;
    common::Error why;
    progress_.interrupt();
    if (!serve::run_preview(player, po, &run, &why)) {
      if (interrupted()) {
        *error = common::plain("interrupted; the WARC keeps every file fetched so far: run the same command to go on");
        return false;
      }
      s_->notes.push_back("round " + std::to_string(round) + ": the run in Ruffle failed (" + why.text() +
                          "); only the movies' texts were followed");
    } else {
      for (const serve::Served& r : run.requests) {
        if (r.refused || !common::is_web_url(r.url)) continue;
        const bool post = r.method == "POST";
        s_->urls[add(post ? "POST" : "GET", normal_url(r.url), post ? r.body : "", round + 1)].at_run_time = true;
      }
      if (run.unlisted)
        s_->notes.push_back("round " + std::to_string(round) + ": " + std::to_string(run.unlisted) +
                            " run-time requests past the listed ones were not followed");
    }
  }
#endif
  return true;
}

bool Fetcher::run(common::Error* error) {
  InterruptWatch watch;
  common::Error why;
  if (play_ && !can_play(o_, &why)) {
    play_ = false;
    if (!o_.quiet)
      std::fprintf(stderr, "pack fetch: no browser here to play the package in%s: only the static rounds run "
                           "(the files its movies and their texts name)\n",
                   why.text().empty() ? "" : (" (" + why.text() + ")").c_str());
  }
  std::error_code ec;
  if (fs::exists(common::fs_path(o_.warc_path), ec)) {
    std::vector<KeptRecord> kept;
    if (!read_kept(o_.warc_path, &kept, &good_end_, error)) return false;
    for (const KeptRecord& k : kept)
      kept_[request_key(k.post ? "POST" : "GET", k.url, k.post_body)] = k;
  }
  if (!detect(error)) return false;
  s_->dialect = dialect_;
  aim_ = o_.at;
  const size_t first = add("GET", o_.start_url, "", 0);
  s_->urls[first].start = true;
  auto k = kept_.find(request_key("GET", o_.start_url, ""));
  if (k != kept_.end()) aim_ = o_.at.empty() ? k->second.date : o_.at;
  for (int round = 0;; ++round) {
    int added = 0;
    const size_t before = s_->urls.size();
    if (!fetch_pending(round, &added, error)) return false;
    s_->aim = aim_;
    int fresh = 0;
    for (size_t i = 0; i < s_->urls.size(); ++i) fresh += s_->urls[i].round == round;
    if (!o_.quiet) {
      progress_.interrupt();
      std::fprintf(stderr, "pack fetch: round %d: %d URL(s) new, %d file(s) fetched\n", round, fresh, added);
    }
    (void)before;
    if (added == 0 || round >= o_.rounds) break;
    s_->rounds = round + 1;
    if (!discover(round, error)) return false;
    bool pending = false;
    for (const UrlReport& u : s_->urls) pending = pending || u.state == UrlReport::pending;
    if (!pending) break;
  }
  int posts = 0;
  for (const UrlReport& u : s_->urls) posts += u.method == "POST" && dialect_ == Dialect::ia;
  if (posts)
    s_->notes.push_back(o_.archive + " replays no POST: " + std::to_string(posts) + " POST request(s) not fetched");
  for (UrlReport& u : s_->urls)
    if (u.state == UrlReport::pending) {
      u.state = UrlReport::missing;
      u.why = "not looked up: found after the last round (--rounds)";
    }
  if (!warc_.close(error)) return false;
  progress_.finish();
  return true;
}

// The manifest folder and the player from the WARC; the importer's faults
// come as exceptions.
bool write_outputs(const FetchOptions& o, const std::string& temp, FetchSummary* s, common::Error* error) {
  std::string folder = temp;
  if (!o.manifest_dir.empty()) {
    std::error_code ec;
    const fs::path dir = common::fs_path(o.manifest_dir);
    if (fs::exists(dir, ec) && !(fs::is_directory(dir, ec) && fs::is_empty(dir, ec))) {
      *error = common::Error{o.manifest_dir, 0, -1, "exists and is not an empty folder; not overwritten"};
      return false;
    }
    fs::create_directories(dir);
    folder = o.manifest_dir;
  }
  capture::Options io;
  io.start = o.start_url;
  io.work_dir = folder;
  capture::Importer importer(io);
  importer.add(o.warc_path);
  capture::Result result = importer.finish();
  if (!o.manifest_dir.empty() &&
      !pack::write_manifest(result.package, "Written by pack fetch; edit and rebuild with pack build.",
                            common::utf8_path(common::fs_path(folder) / "manifest.toml"), error))
    return false;
  if (!o.out_path.empty() && !(o.strict && s->missing > 0)) {
    pack::BuildOptions b;
    b.source = o.warc_path;
    b.inputs.push_back({o.warc_path, "the WARC"});
    b.stub_path = o.stub_path;
    b.out_path = o.out_path;
    b.strict = o.strict;
    pack::BuildResult built;
    if (!pack::build_player_file(result.package, b, &built, error)) return false;
    for (const pack::Note& n : built.notes) s->notes.push_back(std::string(n.error ? "error: " : "warning: ") + n.text);
    s->built = true;
    s->output = o.out_path;
  }
  s->manifest = o.manifest_dir;
  return true;
}

}  // namespace

bool run_fetch(const FetchOptions& options, FetchSummary* s, common::Error* error) {
  const auto t0 = std::chrono::steady_clock::now();
  FetchOptions o = options;
  o.start_url = normal_url(o.start_url);
  if (!o.at.empty()) o.at = full_timestamp(o.at);
  s->archive = o.archive;
  s->warc = o.warc_path;
  Fetcher f(o, s);
  bool ok = f.run(error);
  for (const UrlReport& u : s->urls) {
    s->fetched += u.state == UrlReport::fetched;
    s->kept += u.state == UrlReport::kept;
    s->missing += u.state == UrlReport::missing && u.asked();
  }
  if (ok && (!o.out_path.empty() || !o.manifest_dir.empty())) {
    TempFolder work;
    try {
      ok = write_outputs(o, work.path, s, error);
    } catch (const capture::Fault& f) {
      *error = f.error;
      ok = false;
    } catch (const std::exception& e) {
      *error = common::plain(e.what());
      ok = false;
    }
  }
  if (ok && o.strict && s->missing > 0) {
    *error = common::plain(std::to_string(s->missing) + " file(s) the movie asks for are missing (--strict): no player written");
    ok = false;
  }
  s->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return ok;
}

std::string summary_text(const FetchSummary& s) {
  std::string t = "archive: " + s.archive + " (" + dialect_name(s.dialect) + " index)\n";
  if (!s.aim.empty()) t += "aimed at: " + s.aim + "\n";
  for (const UrlReport& u : s.urls) {
    char head[64];
    std::snprintf(head, sizeof head, "%-11s %-8s ", u.state == UrlReport::missing ? "MISSING" : u.state_name(), u.found());
    t += head + (u.method == "POST" ? "POST " + u.url + " [" + u.post_body + "]" : u.url) + "\n";
    if (u.state == UrlReport::missing) {
      t += std::string(21, ' ') + u.why + "\n";
      continue;
    }
    t += std::string(21, ' ') + std::to_string(u.size) + " bytes, status " + std::to_string(u.status) + ", captured " +
         u.capture_time + ", " + u.archive_url + "\n";
    if (u.variant) t += std::string(21, ' ') + "variant: captured as " + u.captured_url + "\n";
    if (!u.redirect_from.empty()) t += std::string(21, ' ') + "redirected from " + u.redirect_from + "\n";
    if (!u.why.empty()) t += std::string(21, ' ') + u.why + "\n";
  }
  for (const std::string& n : s.notes) t += "note: " + n + "\n";
  t += std::to_string(s.urls.size()) + " URL(s): " + std::to_string(s.fetched) + " fetched, " + std::to_string(s.kept) +
       " already in the WARC, " + std::to_string(s.missing) + " missing; " + std::to_string(s.rounds) +
       " discovery round(s); " + std::to_string(s.cdx_requests) + " index and " + std::to_string(s.replay_requests) +
       " replay requests (" + std::to_string(s.retries) + " retried)\n";
  if (!s.warc.empty()) t += "WARC: " + s.warc + "\n";
  if (s.built) t += "wrote " + s.output + "\n";
  if (!s.manifest.empty()) t += "wrote " + s.manifest + "/manifest.toml\n";
  return t;
}

std::string summary_json(const FetchSummary& s) {
  nlohmann::json j;
  j["archive"] = s.archive;
  j["dialect"] = dialect_name(s.dialect);
  j["aimed_at"] = s.aim;
  j["rounds"] = s.rounds;
  j["requests"] = {{"index", s.cdx_requests}, {"replay", s.replay_requests}, {"retried", s.retries}};
  j["urls"] = nlohmann::json::array();
  for (const UrlReport& u : s.urls) {
    nlohmann::json x = {{"url", u.url}, {"method", u.method}, {"state", u.state_name()}, {"found", u.found()},
                        {"round", u.round}};
    if (u.method == "POST") x["post_body"] = u.post_body;
    if (u.state == UrlReport::missing) {
      x["missing"] = u.why;
    } else {
      x["status"] = u.status;
      x["size"] = u.size;
      x["capture_time"] = u.capture_time;
      x["archive_url"] = u.archive_url;
      x["variant"] = u.variant;
      if (u.variant) x["captured_url"] = u.captured_url;
      if (!u.why.empty()) x["note"] = u.why;
    }
    if (!u.redirect_from.empty()) x["redirect_from"] = u.redirect_from;
    j["urls"].push_back(x);
  }
  j["fetched"] = s.fetched;
  j["in_warc"] = s.kept;
  j["missing"] = s.missing;
  j["notes"] = s.notes;
  j["warc"] = s.warc;
  j["output"] = s.built ? nlohmann::json(s.output) : nlohmann::json(nullptr);
  j["manifest"] = s.manifest.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.manifest);
  j["seconds"] = s.seconds;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace fetch
