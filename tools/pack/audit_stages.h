// The audit's stages, as audit_package runs them: scan an entry for the
// texts it holds, keep those that look like requests (audit_keep), resolve
// each as the player would; the report formats the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/audit.h"

namespace pack {

// A text an entry holds, and where.
struct Candidate {
  std::string text;
  const char* tag;
  const char* field;
  uint16_t sprite;
};

enum class Scanned { not_a_source, unreadable, texts };

// Reads entry index: its kind, its movie and problems into source, and the
// texts that may name files into texts.
Scanned scan_entry(int32_t index, const EntryReader& read, AuditSource* source,
                   std::vector<Candidate>* texts);

// What the player answers for q's text: its entry and rule, the text joined
// to the base URL first where the control would join it.
void resolve_request(AuditRequest* q, const std::u16string& base, bool has_base, int32_t mode);

// Without leading and trailing blanks.
std::string trimmed(const std::string& s);

}  // namespace pack
