// The one rule that decides what a captured response becomes, whichever
// reader found it (WARC, ARC, HAR, WACZ).
#pragma once

#include <cstdint>
#include <string>

#include "import/warc.h"

namespace capture {

enum class Verdict { keep, redirect, skip };

struct Decision {
  Verdict verdict = Verdict::skip;
  std::string reason;  // the summary's reason for a skip
  std::string target;  // a redirect's absolute target
};

// From the status and headers, before the body is read. location overrides
// the Location header (a HAR's redirectURL).
Decision decide(const std::string& url, int status, const Headers& headers,
                const std::string& location = "");

// After the body: a 206 is kept only when it holds the whole file.
bool keeps_body(int status, const Headers& headers, uint64_t size);

}  // namespace capture
