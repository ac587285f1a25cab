// Which files the packaged movies will ask for, and what the player answers
// for each: reads every SWF (and the XML, JSON and text entries that name
// further files), keeps the texts that look like requests and resolves them
// with the player's own code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "swf/swf_reader.h"

namespace pack {

// Why a text was taken for a request; null when it was not.
// kind: "scheme", "extension" or "script-query"; detail: the scheme or the
// extension.
bool audit_keep(const std::string& text, const char** kind, std::string* detail);

// Texts of an XML, JSON or plain-text file that may name files: XML
// attribute values and element texts, JSON strings, and the words of plain
// text (URL-encoded pairs split and decoded).
std::vector<std::string> audit_config_texts(const std::string& data, const char* kind);

struct AuditRequest {
  std::string text;       // as found (UTF-8)
  const char* tag;        // where: a SWF tag, or "XML", "JSON", "text"
  const char* field;      // "Push", "attribute", ...
  uint16_t sprite = 0;
  const char* kept_by;    // see audit_keep
  std::string detail;
  std::u16string request; // what the player is asked
  bool joined = false;    // relative, joined to the base URL as the control does
  bool refused = false;   // MK_E_SYNTAX
  int32_t index = -1;
  std::string rule;       // "exact", "exact-with-key", "best-match pass1", ...
  // Opened in a new window by the movie (getURL with "_blank"): the browser
  // gets it, not the player, so unanswered it counts as no miss.
  bool opens_window = false;
};

struct AuditSource {
  int32_t entry = 0;
  std::u16string url;
  const char* kind = "";  // "swf", "xml", "json", "text"
  swf::Movie movie;       // kind "swf"
  std::vector<common::Error> problems;  // file: the entry's URL
  std::vector<AuditRequest> requests;  // unanswered first, then in the order found
  int32_t unanswered() const;
};

struct AuditResult {
  int32_t mode = 0;
  bool has_base = false;
  std::u16string base_url;
  const char* base_source = "none";
  std::vector<AuditSource> sources;
  int32_t likely = 0;
  int32_t unanswered = 0;
};

// Reads up to max bytes of entry i's data into out; false when it can't.
using EntryReader = std::function<bool(int32_t index, size_t max, std::string* out)>;

// Audits the package loaded in the player state.
AuditResult audit_package(const EntryReader& read);

std::string audit_text(const AuditResult& r);
std::string audit_json(const AuditResult& r);

}  // namespace pack
