#include "common/url.h"
#include "common/utf.h"
#include "package/player_state.h"
#include "pack/audit_stages.h"
#include "pack/explain.h"
#include "resolve/url_text.h"

namespace pack {
namespace {

std::string answer_rule(const ExplainResult& r) {
  if (r.refused || r.decisive < 0) return "";
  const ExplainLookup& l = r.lookups[size_t(r.decisive)];
  std::string rule = !l.best_match ? (l.exact_pass == 1 ? "exact-with-key" : "exact") : "best-match";
  if (l.best_match) {
    switch (l.match.rule) {
      case MATCH_RULE_PASS1: rule += " pass1"; break;
      case MATCH_RULE_PASS2: rule += " pass2"; break;
      case MATCH_RULE_EXTENSION: rule += " extension"; break;
      case MATCH_RULE_HOST: rule += " host"; break;
      default: break;
    }
  }
  if (r.relocated) rule += ", relocated under the base URL";
  if (l.relative_attempt > 0) rule += ", relative attempt " + std::to_string(l.relative_attempt);
  return rule;
}

}  // namespace

void resolve_request(AuditRequest* q, const std::u16string& base, bool has_base, int32_t mode) {
  q->request = common::text_to_utf16(q->text);
  ExplainResult r = explain_request(q->request, nullptr);
  // Modes 0 and 1 look up only what the control asks: a relative URL
  // reaches the player joined to the movie's base.
  if (!r.refused && r.index < 0 && mode != PLAYBACK_PAGE_POST && has_base &&
      url_scheme_length(q->request.c_str()) < 0) {
    std::u16string joined = common::text_to_utf16(
        common::join_url(common::utf16_to_utf8(base), common::utf16_to_utf8(q->request)));
    r = explain_request(joined, nullptr);
    q->request = joined;
    q->joined = true;
  }
  q->refused = r.refused;
  q->index = r.index;
  q->rule = answer_rule(r);
}

}  // namespace pack
