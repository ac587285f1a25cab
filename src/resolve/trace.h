// Optional observer of resolution, for the packer's explainer. The player
// never installs one; each report point then costs one pointer test.
#pragma once

#include <cstdint>

enum MatchRule : int32_t {
  MATCH_RULE_NONE = 0,    // no rule could apply
  MATCH_RULE_PASS1 = 1,   // same address and separator
  MATCH_RULE_PASS2 = 2,   // same directory
  MATCH_RULE_EXTENSION = 3,
  MATCH_RULE_HOST = 4,
};

enum MatchPick : int32_t {
  MATCH_PICK_NONE = 0,
  MATCH_PICK_PREFIX = 1,
  MATCH_PICK_PARAMETER = 2,
  MATCH_PICK_TOKEN = 3,
};

// What one best-match search saw. Scores are those of the pass that decided
// (or of the last pass run when nothing was found).
struct MatchDetail {
  int32_t rule;            // MatchRule of the result, or the last rule tried
  char16_t separator;      // 0 when the request has none
  int32_t separator_pos;
  int32_t param_length;    // length of the request's parameter text
  int32_t piece_count;
  int32_t prefix_winner, prefix_length;
  int32_t param_winner, param_count;
  int32_t token_winner;
  int32_t pick;            // MatchPick
  const char16_t* host_suffix;  // host rule: view into the request, not terminated
  int32_t host_suffix_length;
};

// Which pass of the exact lookup answered. A keyed match on the POST key as
// written comes before one that folds its letter case: base64 letters of
// another case stand for other bytes.
enum ExactPass : int32_t {
  EXACT_PASS_NONE = 0,
  EXACT_PASS_KEYED = 1,         // URL and POST key, key in the same letter case
  EXACT_PASS_PLAIN = 2,         // URL alone
  EXACT_PASS_KEYED_FOLDED = 3,  // URL and POST key, key letter case folded
};

enum ResolveEventKind : int32_t {
  RESOLVE_EVENT_REFUSED = 1,      // url: the refused request
  RESOLVE_EVENT_EXACT = 2,        // url, key, result, exact_pass
  RESOLVE_EVENT_BEST_MATCH = 3,   // url, result, match
  RESOLVE_EVENT_RELATIVE = 4,     // before an attempt: url (joined), attempt from 1
  RESOLVE_EVENT_RELOCATION = 5,   // url: text joined to the base, common_prefix; result -1 when refused
  RESOLVE_EVENT_NO_BASE = 6,      // a walk or relocation without a base URL
};

struct ResolveEvent {
  int32_t kind;
  const char16_t* url;
  const char* key;
  int32_t result;
  int32_t exact_pass;     // ExactPass
  int32_t attempt;
  int32_t common_prefix;
  const MatchDetail* match;
};

struct ResolveTrace {
  void (*on_event)(void* context, const ResolveEvent* event);
  void* context;
};

// Installs an observer (null removes it). The observer must outlive its use.
void set_resolve_trace(const ResolveTrace* trace);
const ResolveTrace* resolve_trace();

inline void report_event(const ResolveEvent& e) {
  if (const ResolveTrace* t = resolve_trace()) t->on_event(t->context, &e);
}
