// The one rule that decides what a captured response becomes, whichever
// format's reader found it.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "import/digest.h"
#include "import/stream.h"
#include "import/warc.h"

namespace capture {

// One captured response, as every format's reader gives it.
struct Captured {
  std::string url;
  common::Error where;       // its place (input and offset, or entry), for messages
  std::string method = "GET";
  std::string request_body;  // a POST's body when the reader has it; WARC pairs requests later
  int status = 200;
  Headers headers;           // the response's
  std::string location;      // a redirect's target given apart (HAR's redirectURL)
  std::string content_type;  // when the headers give none
  Reader* body = nullptr;    // the body as stored; none when the capture kept none
  // Whether the headers' transfer and content codings are still on the body
  // (WARC, ARC); a browser's HAR, a folder and a resource hold the entity.
  bool coded = true;
  DigestValue digest;        // of the payload as stored, when the capture gives one
  const BlockInput* record = nullptr;  // the record holding the body (where it is), to tell a cut file
  uint64_t record_length = 0;
};

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
