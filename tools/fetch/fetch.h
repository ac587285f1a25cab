// pack fetch: a player made straight from a web archive. Starting from one
// movie, each round looks up and fetches what the package so far asks for,
// found in its movies and files (the audit) and by playing it in Ruffle,
// until a round adds nothing. Everything fetched is kept in a WARC, and the
// player is made from that WARC by the importer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fetch/cdx.h"

namespace fetch {

struct FetchOptions {
  std::string archive;     // Wayback base: https://web.archive.org, http://host:port/COLL
  std::string start_url;   // the start movie
  std::string at;          // 14-digit timestamp aimed for; empty: the start movie's latest 200 capture
  std::string out_path, warc_path, manifest_dir, stub_path;
  int rounds = 8;          // discovery rounds after the start movie's
  int max_urls = 1000;     // URLs looked up at most
  int jobs = 4;            // requests at once
  double seconds = 10;     // each run in Ruffle
  double timeout = 30;     // seconds of silence before a read gives up
  Dialect dialect = Dialect::unknown;
  bool strict = false;
  bool play = true;        // run in Ruffle each round
  bool quiet = false;      // no round lines on stderr
  std::string command_line, version, chromium, ruffle_dir;
};

struct UrlReport {
  std::string url, method = "GET", post_body;
  bool start = false, in_movie = false, at_run_time = false;
  std::string redirect_from;  // found as the target of this captured redirect
  int round = 0;
  enum State { pending, fetched, kept, missing } state = pending;
  std::string why;            // missing: why; fetched: notes
  std::string capture_time, archive_url, captured_url;
  int status = 0;
  int64_t size = 0;
  bool variant = false;       // fetched under another form of the URL (captured_url)
  bool asked() const { return start || in_movie || at_run_time || !redirect_from.empty(); }
  const char* found() const;  // "start", "static", "run time", "both", "redirect"
  const char* state_name() const;
};

struct FetchSummary {
  std::string archive;
  Dialect dialect = Dialect::unknown;
  std::string aim;           // the capture time aimed for
  int rounds = 0;            // discovery rounds run
  int64_t cdx_requests = 0, replay_requests = 0, retries = 0;
  std::vector<UrlReport> urls;
  std::vector<std::string> notes;
  std::string warc, output, manifest;
  int fetched = 0, kept = 0, missing = 0;
  bool built = false;
  double seconds = 0;
};

// False with a message when nothing could be made (the archive unreachable
// or not speaking the interface, the start movie not captured, an
// interrupt, a build refused, --strict with a file missing). The summary
// says what was done either way.
bool run_fetch(const FetchOptions& options, FetchSummary* summary, common::Error* error);

// The summary as text lines and as one JSON object.
std::string summary_text(const FetchSummary& s);
std::string summary_json(const FetchSummary& s);

}  // namespace fetch
