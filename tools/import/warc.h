// Header blocks and HTTP messages as captures store them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "import/stream.h"

namespace capture {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The first value of a header, names compared without letter case; empty
// when absent.
std::string header(const Headers& headers, const char* name);
bool has_header(const Headers& headers, const char* name);

// One "Name: value" line, or a folded continuation of the previous one;
// false when it is neither.
bool add_header_line(const std::string& line, Headers* headers);

// What a message had that the standard does not allow and replay tools
// accept all the same; counted, never refused.
enum Lenience : unsigned {
  kNoReason = 1,       // "HTTP/1.1 200" without a reason phrase
  kBareLf = 2,         // header lines ending in LF alone
  kLowerVersion = 4,   // "http/1.0"
  kHeadCut = 8,        // the record ends before the header block's blank line
};
// The summary's name of one lenience bit.
const char* lenience_name(unsigned bit);

struct HttpMessage {
  bool request = false;
  std::string method, target;  // requests
  int status = 0;              // responses
  Headers headers;
  size_t body_offset = 0;      // in the block
  unsigned lenient = 0;        // Lenience bits
};

// Parses the start line and header block of an HTTP/1.x message at the
// start of block. Empty on success, else why not.
std::string parse_http(const std::vector<uint8_t>& block, HttpMessage* message);

// The entity of a message body in memory: transfer coding and content
// codings undone. Empty on success; otherwise the reason (undecodable).
// complete is false when the body is shorter than the message said.
// Output beyond limit bytes is refused.
std::string decode_body(const HttpMessage& message, const uint8_t* body, size_t size,
                        std::vector<uint8_t>* out, bool* complete,
                        size_t limit = size_t(INT32_MAX));

// Undoes one content coding ("gzip", "deflate", "br", "identity"); empty on
// success.
std::string decode_content(const std::string& coding, std::vector<uint8_t>* data, bool* complete,
                           size_t limit);

}  // namespace capture
