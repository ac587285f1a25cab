#include "serve/audit_run.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "common/json.h"
#include "common/url.h"
#include "common/utf.h"
#include "resolve/url_text.h"

namespace serve {

MergedAudit merge_audit(const pack::AuditResult& audit, const PreviewOutcome& run) {
  MergedAudit out;
  std::vector<MergedRequest>& list = out.requests;
  // Letter case aside, as the player compares URLs.
  std::unordered_map<std::string, size_t> index;
  auto add = [&](const std::string& url, bool* fresh) -> MergedRequest& {
    auto [at, added] = index.emplace(common::ascii_lower(url), list.size());
    if (added) {
      list.push_back(MergedRequest());
      list.back().url = url;
    }
    *fresh = added;
    return list[at->second];
  };
  bool fresh;
  for (const Served& s : run.requests) {
    MergedRequest& m = add(s.url, &fresh);
    m.at_run_time = true;
    if (s.entry >= 0) m.entry = s.entry;
  }
  size_t run_count = list.size();
  for (const pack::AuditSource& src : audit.sources) {
    for (const pack::AuditRequest& q : src.requests) {
      if (q.refused) continue;
      // A text that the player takes relative reaches the browser joined to
      // the same base: one URL, asked and found.
      std::string url = common::utf16_to_utf8(q.request);
      if (audit.has_base && url_scheme_length(q.request.c_str()) < 0)
        url = common::join_url(common::utf16_to_utf8(audit.base_url), url);
      MergedRequest& m = add(url, &fresh);
      if (fresh) m.entry = q.index;
      m.in_movie = true;
      m.opens_window = m.opens_window || q.opens_window;
      if (m.where.empty()) m.where = "[" + std::to_string(src.entry) + "] " + q.field + " in " + q.tag;
    }
  }
  std::stable_partition(list.begin() + ptrdiff_t(run_count), list.end(),
                        [](const MergedRequest& m) { return m.entry < 0 && !m.opens_window; });
  for (const MergedRequest& m : list) {
    out.in_movie += m.in_movie;
    out.at_run_time += m.at_run_time;
    out.both += m.in_movie && m.at_run_time;
    out.unanswered += m.unanswered();
  }
  return out;
}

std::string merged_text(const std::string& input, double seconds, const MergedAudit& m, const PreviewOutcome& run) {
  char head[96];
  std::snprintf(head, sizeof head, "%g", seconds);
  std::string out = input + ": the movies' texts and a run of " + head + " s in Ruffle\n";
  for (const MergedRequest& r : m.requests) {
    std::string answer = r.entry >= 0 ? "entry " + std::to_string(r.entry)
                         : r.opens_window && !r.at_run_time ? "NEW WINDOW" : "NOT ANSWERED";
    const char* how = r.in_movie && r.at_run_time ? "movie + run time" : r.in_movie ? "movie only" : "run time only";
    std::snprintf(head, sizeof head, "  %-13s %-17s ", answer.c_str(), how);
    out += head + r.url + "\n";
    if (!r.where.empty()) out += std::string(34, ' ') + "found at " + r.where + "\n";
  }
  if (run.unlisted) out += "  ... and " + std::to_string(run.unlisted) + " more run-time requests, not listed\n";
  out += std::to_string(m.requests.size()) + " URL(s): " + std::to_string(m.in_movie) + " found in the movies, " +
         std::to_string(m.at_run_time) + " asked at run time, " + std::to_string(m.both) + " both; " +
         std::to_string(m.unanswered) + " not answered\n";
  return out;
}

std::string merged_json(const std::string& input, double seconds, const MergedAudit& m, const PreviewOutcome& run) {
  std::string out = "{\"input\":" + common::json_quote(input) + ",\"seconds\":" + std::to_string(seconds) +
                    ",\"first_frame_ms\":" +
                    (run.first_frame_ms < 0 ? std::string("null") : std::to_string(int64_t(run.first_frame_ms))) +
                    ",\"unanswered\":" + std::to_string(m.unanswered) +
                    ",\"unlisted_run_time\":" + std::to_string(run.unlisted) + ",\"requests\":[";
  for (size_t i = 0; i < m.requests.size(); ++i) {
    const MergedRequest& r = m.requests[i];
    out += std::string(i ? "," : "") + "\n  {\"url\":" + common::json_quote(r.url) +
           ",\"found_in_movie\":" + (r.in_movie ? "true" : "false") +
           ",\"asked_at_run_time\":" + (r.at_run_time ? "true" : "false") + ",\"entry\":" + std::to_string(r.entry) +
           ",\"opens_window\":" + (r.opens_window ? "true" : "false") +
           ",\"found_at\":" + (r.where.empty() ? std::string("null") : common::json_quote(r.where)) + "}";
  }
  return out + "]}\n";
}

}  // namespace serve
