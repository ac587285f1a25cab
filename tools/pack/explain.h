// What the player answers for one request, and why: runs the player's own
// resolution code with an observer and gathers what it reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resolve/trace.h"

namespace pack {

struct ExplainLookup {
  std::u16string url;
  bool best_match;    // false: the exact lookup
  int32_t result;
  int32_t exact_pass; // exact: ExactPass
  MatchDetail match;  // best match only; its host_suffix is copied to host_suffix below
  std::u16string host_suffix;
  int32_t relative_attempt;  // the walk's attempt this lookup belongs to, 0 for none
};

struct ExplainResult {
  std::u16string request;
  int32_t mode = 0;
  bool has_base = false;
  std::u16string base_url;
  const char* base_source = "none";  // "package", "first entry", "none"
  bool has_key = false;
  std::string key;
  bool key_used = false;      // only mode 2 reads the body

  bool refused = false;       // MK_E_SYNTAX
  int32_t index = -1;
  // The deciding lookup, or -1 when nothing was found.
  int32_t decisive = -1;
  // Relocation: the common prefix with the base URL and whether it was long enough.
  bool relocation_tried = false;
  bool relocated = false;
  int32_t relocation_prefix = 0;
  std::u16string relocation_rest;
  bool no_base = false;       // the walk or relocation had no base URL
  std::vector<ExplainLookup> lookups;
  std::vector<std::u16string> joined;  // relative attempt N is joined[N - 1]
};

// The base URL that movie start gives the loaded package: its Base text,
// else the directory of the first entry's URL. Installs it in the player
// state and reports it.
void install_player_base_url(ExplainResult* out);

// Resolves url with the loaded player state; body null for no POST body.
ExplainResult explain_request(const std::u16string& url, const std::string* body);

std::string explain_text(const ExplainResult& r);
std::string explain_json(const ExplainResult& r);

// The loaded first movie's SWF version and the first player that plays it:
// "SWF 12, needs Flash Player 10.3 or later", and the same as JSON fields
// (",\"swf_version\":12,\"needs_flash_player\":\"10.3\"").
std::string required_player_text();
std::string required_player_json();

}  // namespace pack
