#include "pack/explain.h"

#include <cstdio>
#include <cstdlib>

#include "common/base64.h"
#include "common/json.h"
#include "common/utf.h"
#include "package/flash_version.h"
#include "package/player_state.h"
#include "pack/manifest.h"
#include "resolve/resolve.h"

namespace pack {

using common::json_quote;
using common::utf16_to_utf8;

namespace {

struct Collector {
  ExplainResult* out;
  int32_t attempt = 0;

  static void on_event(void* context, const ResolveEvent* e) {
    auto* self = static_cast<Collector*>(context);
    ExplainResult* r = self->out;
    switch (e->kind) {
      case RESOLVE_EVENT_REFUSED:
        r->refused = true;
        break;
      case RESOLVE_EVENT_EXACT:
      case RESOLVE_EVENT_BEST_MATCH: {
        ExplainLookup l{};
        l.url = e->url;
        l.best_match = e->kind == RESOLVE_EVENT_BEST_MATCH;
        l.result = e->result;
        l.exact_pass = e->exact_pass;
        l.relative_attempt = self->attempt;
        if (e->match) {
          l.match = *e->match;
          if (l.match.host_suffix)
            l.host_suffix.assign(l.match.host_suffix, size_t(l.match.host_suffix_length));
          l.match.host_suffix = nullptr;
        }
        r->lookups.push_back(l);
        break;
      }
      case RESOLVE_EVENT_RELATIVE:
        self->attempt = e->attempt;
        r->joined.emplace_back(e->url);
        break;
      case RESOLVE_EVENT_RELOCATION:
        r->relocation_tried = true;
        r->relocated = e->result >= 0;
        r->relocation_prefix = e->common_prefix;
        r->relocation_rest = e->url;
        break;
      case RESOLVE_EVENT_NO_BASE:
        r->no_base = true;
        break;
    }
  }
};

const char* rule_id(int32_t rule) {
  switch (rule) {
    case MATCH_RULE_PASS1: return "pass1";
    case MATCH_RULE_PASS2: return "pass2";
    case MATCH_RULE_EXTENSION: return "extension";
    case MATCH_RULE_HOST: return "host";
    default: return "none";
  }
}

const char* pick_id(int32_t pick) {
  switch (pick) {
    case MATCH_PICK_PREFIX: return "prefix";
    case MATCH_PICK_PARAMETER: return "parameter";
    case MATCH_PICK_TOKEN: return "token";
    default: return "none";
  }
}


std::string json_u16(const std::u16string& s) { return json_quote(utf16_to_utf8(s)); }

std::string decisive_kind(const ExplainResult& r) {
  if (r.refused) return "refused";
  if (r.decisive < 0) return "none";
  const ExplainLookup& l = r.lookups[size_t(r.decisive)];
  if (l.best_match) return "best-match";
  return l.exact_pass == EXACT_PASS_PLAIN ? "exact" : "exact-with-key";
}

}  // namespace

void install_player_base_url(ExplainResult* out) {
  // Only page movies get a base URL; the video player never joins one.
  char16_t* base = playback_mode() == PLAYBACK_VIDEO ? nullptr : page_base_url();
  if (base) out->base_source = movie_base() ? "package" : "first entry";
  std::free(const_cast<char16_t*>(base_url()));
  set_base_url(base);
  out->has_base = base != nullptr;
  out->base_url = base ? base : u"";
}

ExplainResult explain_request(const std::u16string& url, const std::string* body) {
  ExplainResult r;
  r.request = url;
  r.mode = playback_mode();
  install_player_base_url(&r);
  // As the player: an empty body gives no key, and only mode 2 reads the body.
  if (body && !body->empty()) {
    r.key = common::base64(body->data(), body->size());
    r.has_key = !r.key.empty();
  }
  r.key_used = r.has_key && r.mode == PLAYBACK_PAGE_POST;

  Collector collector{&r};
  ResolveTrace trace{&Collector::on_event, &collector};
  set_resolve_trace(&trace);
  int32_t index = -1;
  bool served = resolve_with_key(url.c_str(), r.key_used ? r.key.c_str() : nullptr, &index);
  set_resolve_trace(nullptr);

  r.refused = !served;
  r.index = index;
  if (index >= 0)
    for (size_t i = r.lookups.size(); i-- > 0;)
      if (r.lookups[i].result == index) {
        r.decisive = int32_t(i);
        break;
      }
  return r;
}

namespace {

// A best match in plain words; the precise scores stay in --json.
std::string best_match_words(const ExplainLookup& l) {
  const MatchDetail& m = l.match;
  std::string s = "best match: ";
  switch (m.rule) {
    case MATCH_RULE_PASS1: s += "same address up to the query"; break;
    case MATCH_RULE_PASS2: s += "same folder"; break;
    case MATCH_RULE_EXTENSION: return s + "a stored URL that is the request plus a query or fragment";
    case MATCH_RULE_HOST:
      return s + "same path on another host ending in " + utf16_to_utf8(l.host_suffix);
    default: return s + "none";
  }
  switch (m.pick) {
    case MATCH_PICK_PARAMETER:
      return s + ", " + std::to_string(m.param_count) + " of " + std::to_string(m.piece_count) +
             " query values equal";
    case MATCH_PICK_PREFIX:
      return s + ", the query agrees in its first " + std::to_string(m.prefix_length) + " of " +
             std::to_string(m.param_length) + " characters";
    case MATCH_PICK_TOKEN: return s + ", the first stored query of letters and digits only";
    default: return s;
  }
}

std::string lookup_result(int32_t result) {
  return result < 0 ? "nothing" : "entry " + std::to_string(result);
}

}  // namespace

std::string required_player_text() {
  char needs[64];
  describe_required_player(required_swf_version(), needs, sizeof needs);
  return needs;
}

std::string required_player_json() {
  const int32_t first = first_flash_version(required_swf_version());
  return ",\"swf_version\":" + std::to_string(required_swf_version() & 0xFF) +
         ",\"needs_flash_player\":\"" + std::to_string(first > 0 ? first >> 16 : 0) + "." +
         std::to_string(first > 0 ? first & 0xFFFF : 0) + "\"";
}

namespace {

// Why the answer is what it is: the deciding rule, or why nothing matched.
std::string why_text(const ExplainResult& r) {
  std::string s;
  if (r.decisive >= 0) {
    const ExplainLookup& l = r.lookups[size_t(r.decisive)];
    std::string why;
    if (!l.best_match)
      why = l.exact_pass == EXACT_PASS_KEYED ? "exact match of the URL and the POST body"
            : l.exact_pass == EXACT_PASS_KEYED_FOLDED
                ? "exact match of the URL and the POST body, the body's base64 key in other letter case"
                : "exact match (letter case aside)";
    else
      why = best_match_words(l);
    s += "why: " + why + "\n";
    if (r.relocated)
      s += "  after moving the request under the base URL (they share the first " +
           std::to_string(r.relocation_prefix) + " characters; the rest is \"" +
           utf16_to_utf8(r.relocation_rest) + "\")\n";
    if (l.relative_attempt > 0)
      s += "  relative request joined to the base URL, relative attempt " +
           std::to_string(l.relative_attempt) + ": " +
           utf16_to_utf8(r.joined[size_t(l.relative_attempt - 1)]) + "\n";
  } else if (r.mode == PLAYBACK_PAGE_POST) {
    if (r.no_base) s += "why: there is no base URL to join the request to or move it under\n";
    else if (r.relocation_tried && !r.relocated)
      s += "why: no stored URL matches, and the request shares only " +
           std::to_string(r.relocation_prefix) + " characters with the base URL, too few to move it under it\n";
    else
      s += "why: no stored URL matches, exactly or best\n";
  } else {
    s += "why: no stored URL equals the request; mode " + std::string(mode_name(r.mode)) +
         " looks up exact URLs only (page-post also tries relative walks and best matches)\n";
  }
  return s;
}

// The best match's terms and scores.
std::string match_json(const ExplainLookup& l) {
  const MatchDetail& m = l.match;
  std::string s;
  s += std::string(",\"pass\":\"") + rule_id(m.rule) + "\"";
  if (m.rule == MATCH_RULE_PASS1 || m.rule == MATCH_RULE_PASS2) {
    s += ",\"separator\":" + json_u16(std::u16string(1, m.separator));
    s += ",\"pieces\":" + std::to_string(m.piece_count);
    s += ",\"parameter_length\":" + std::to_string(m.param_length);
    s += ",\"prefix_winner\":" + std::to_string(m.prefix_winner);
    s += ",\"prefix_length\":" + std::to_string(m.prefix_length);
    s += ",\"parameter_winner\":" + std::to_string(m.param_winner);
    s += ",\"parameter_count\":" + std::to_string(m.param_count);
    s += ",\"token_winner\":" + std::to_string(m.token_winner);
    s += std::string(",\"pick\":\"") + pick_id(m.pick) + "\"";
  }
  if (m.rule == MATCH_RULE_HOST) s += ",\"host_suffix\":" + json_u16(l.host_suffix);
  return s;
}

// One lookup the player made.
std::string attempt_json(const ExplainLookup& l) {
  std::string s = "{\"url\":" + json_u16(l.url);
  s += std::string(",\"step\":\"") + (l.best_match ? "best-match" : "exact") + "\"";
  s += ",\"result\":" + std::to_string(l.result);
  if (l.best_match) s += std::string(",\"pass\":\"") + rule_id(l.match.rule) + "\"";
  else if (l.exact_pass == EXACT_PASS_KEYED_FOLDED) s += ",\"keyed\":true,\"key_case_folded\":true";
  else s += ",\"keyed\":" + std::string(l.exact_pass == EXACT_PASS_KEYED ? "true" : "false");
  if (l.relative_attempt > 0) s += ",\"relative_attempt\":" + std::to_string(l.relative_attempt);
  return s + "}";
}

}  // namespace

std::string explain_text(const ExplainResult& r) {
  std::string s;
  s += "request: " + utf16_to_utf8(r.request) + "\n";
  s += std::string("mode: ") + mode_name(r.mode) +
       (r.mode == PLAYBACK_PAGE_POST ? " (exact lookups, relative walks, best matches, POST keys)\n"
                                     : " (exact lookups only)\n");
  s += "first movie: " + required_player_text() + "\n";
  if (r.mode == PLAYBACK_PAGE_POST)
    s += "base url: " + (r.has_base ? utf16_to_utf8(r.base_url) : std::string("none")) +
         (r.has_base ? std::string(" (from the ") + (std::string(r.base_source) == "package" ? "package's Base" : "first entry's folder") + ")" : "") + "\n";
  if (r.has_key)
    s += "post body key: " + r.key + (r.key_used ? "" : " (ignored: only page-post looks at POST bodies)") + "\n";
  if (r.refused) {
    s += "answer: refused; the player serves only http:, https: and file: URLs and relative ones, never an empty URL\n";
    return s;
  }
  if (r.index < 0) {
    s += "answer: nothing; the player tells the movie the file was not found\n";
  } else {
    const ResourceEntry* e = resource_entry(r.index);
    s += "answer: entry " + std::to_string(r.index) + ": " + utf16_to_utf8(e->url) + "\n";
    if (e->alternate_url) s += "  alternate url: " + utf16_to_utf8(e->alternate_url) + "\n";
    if (e->post_key) s += "  post key: " + std::string(e->post_key) + "\n";
  }
  s += why_text(r);
  s += "tried:\n";
  for (const ExplainLookup& l : r.lookups) {
    s += std::string("  ") + (l.best_match ? "best match " : "exact      ") + utf16_to_utf8(l.url) +
         " -> " + lookup_result(l.result) + "\n";
  }
  return s;
}

std::string explain_json(const ExplainResult& r) {
  std::string s = "{";
  s += "\"request\":" + json_u16(r.request);
  s += ",\"mode\":" + std::to_string(r.mode);
  s += std::string(",\"mode_name\":\"") + mode_name(r.mode) + "\"";
  s += required_player_json();
  s += ",\"base_url\":" + (r.has_base ? json_u16(r.base_url) : std::string("null"));
  s += std::string(",\"base_source\":\"") + r.base_source + "\"";
  s += ",\"post_key\":" + (r.has_key ? json_quote(r.key) : std::string("null"));
  s += std::string(",\"post_key_used\":") + (r.key_used ? "true" : "false");
  s += std::string(",\"hresult\":\"") + (r.refused ? "MK_E_SYNTAX" : "S_OK") + "\"";
  s += ",\"index\":" + std::to_string(r.index);
  if (r.index >= 0) {
    const ResourceEntry* e = resource_entry(r.index);
    s += ",\"url\":" + json_u16(e->url);
  }
  s += ",\"rule\":{\"kind\":\"" + decisive_kind(r) + "\"";
  if (r.decisive >= 0) {
    const ExplainLookup& l = r.lookups[size_t(r.decisive)];
    if (l.best_match) s += match_json(l);
    if (l.relative_attempt > 0) {
      s += ",\"relative_attempt\":" + std::to_string(l.relative_attempt);
      s += ",\"joined_url\":" + json_u16(r.joined[size_t(l.relative_attempt - 1)]);
    }
  }
  if (r.relocation_tried) {
    s += std::string(",\"relocation\":{\"relocated\":") + (r.relocated ? "true" : "false");
    s += ",\"common_prefix\":" + std::to_string(r.relocation_prefix);
    s += ",\"rest\":" + json_u16(r.relocation_rest) + "}";
  }
  if (r.no_base) s += ",\"no_base_url\":true";
  s += "},\"attempts\":[";
  for (size_t i = 0; i < r.lookups.size(); ++i) s += (i ? "," : "") + attempt_json(r.lookups[i]);
  s += "]}\n";
  return s;
}

}  // namespace pack
