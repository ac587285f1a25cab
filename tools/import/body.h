// HTTP messages read from a stream: the head parsed, the body's transfer and
// content codings undone on the way to a sink, digests taken as it passes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "import/stream.h"
#include "import/warc.h"

namespace capture {

// The start line and header block from reader. The end of the input ends the
// header block (some writers cut records there); bare LF ends lines. Empty on
// success, else why not.
std::string parse_http_head(Reader* reader, HttpMessage* message);

// The SHA-1 (base32) and count of every byte read through it.
class HashInput : public Input {
 public:
  // Hashes only when enabled (a digest to check); counts always.
  explicit HashInput(Input* inner, bool enabled = true);
  ~HashInput() override;
  size_t read(uint8_t* buf, size_t n) override;
  int64_t source_offset() const override { return inner_->source_offset(); }
  uint64_t count() const { return count_; }
  std::string base32();  // once, at the end
  // Reads what is left.
  void drain();

 private:
  struct State;
  Input* inner_;
  State* sha_ = nullptr;
  uint64_t count_ = 0;
};

struct BodyResult {
  std::string error;        // undecodable: why; empty otherwise
  bool complete = true;     // false when the body stops before its end
  bool stored_dechunked = false;  // said chunked, stored without chunks
  uint64_t raw_size = 0, size = 0;
  std::string raw_sha1, dechunked_sha1;  // base32
};

// Streams the entity of the body that follows the head in reader to sink,
// output beyond limit bytes refused. Reads the body to its end.
// digests: whether to take the SHA-1s (only when there is one to check).
BodyResult decode_stream(const HttpMessage& message, Reader* body,
                         const std::function<void(const uint8_t*, size_t)>& sink, uint64_t limit,
                         bool digests = false);

}  // namespace capture
