#include "pack/audit.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "package/player_state.h"
#include "pack/audit_stages.h"
#include "pack/explain.h"

namespace pack {
namespace {

// The texts that look like requests, each once, resolved; the unanswered first.
std::vector<AuditRequest> requests_of(const std::vector<Candidate>& texts, const AuditResult& result) {
  std::vector<AuditRequest> requests;
  std::set<std::string> window;
  for (const Candidate& c : texts)
    if (std::strstr(c.field, " _blank")) window.insert(trimmed(c.text));
  std::set<std::string> seen;
  for (const Candidate& c : texts) {
    AuditRequest q;
    if (!audit_keep(c.text, &q.kept_by, &q.detail)) continue;
    q.text = trimmed(c.text);
    if (!seen.insert(q.text).second) continue;
    q.tag = c.tag;
    q.field = c.field;
    q.sprite = c.sprite;
    q.opens_window = window.count(q.text) > 0;
    resolve_request(&q, result.base_url, result.has_base, result.mode);
    requests.push_back(std::move(q));
  }
  std::stable_partition(requests.begin(), requests.end(),
                        [](const AuditRequest& q) { return q.index < 0 && !q.opens_window; });
  return requests;
}

}  // namespace

int32_t AuditSource::unanswered() const {
  int32_t n = 0;
  for (const AuditRequest& q : requests) n += q.index < 0 && !q.opens_window;
  return n;
}

AuditResult audit_package(const EntryReader& read) {
  AuditResult result;
  result.mode = playback_mode();
  ExplainResult probe;
  install_player_base_url(&probe);
  result.has_base = probe.has_base;
  result.base_url = probe.base_url;
  result.base_source = probe.base_source;

  for (int32_t i = 0; i < entry_count(); ++i) {
    AuditSource s;
    std::vector<Candidate> texts;
    const Scanned scanned = scan_entry(i, read, &s, &texts);
    if (scanned == Scanned::not_a_source) continue;
    if (scanned == Scanned::texts) {
      s.requests = requests_of(texts, result);
      if (std::strcmp(s.kind, "swf") && s.requests.empty()) continue;
      result.likely += int32_t(s.requests.size());
      result.unanswered += s.unanswered();
    }
    result.sources.push_back(std::move(s));
  }
  return result;
}

}  // namespace pack
