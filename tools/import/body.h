// HTTP messages read from a stream: the head parsed, the body's transfer and
// content codings undone on the way to a sink, digests taken as it passes.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "import/digest.h"
#include "import/stream.h"
#include "import/warc.h"

namespace capture {

// What a decoding input throws when its body cannot be decoded: the body is
// then undecodable, for the reason given.
inline Fault undecodable(std::string why) { return fault_of(std::move(why), Reach::body); }

// The start line and header block from reader. The end of the input ends the
// header block (some writers cut records there); bare LF ends lines. Empty on
// success, else why not.
std::string parse_http_head(Reader* reader, HttpMessage* message);

// The digest and count of every byte read through it.
class HashInput : public Input {
 public:
  // Hashes only with an algorithm (a digest to check); counts always.
  explicit HashInput(Input* inner, DigestAlgo algo = DigestAlgo::none) : inner_(inner), hasher_(algo) {}
  size_t read(uint8_t* buf, size_t n) override;
  uint64_t count() const { return count_; }
  std::vector<uint8_t> digest() { return hasher_.finish(); }  // once, at the end
  // Reads what is left.
  void drain();

 private:
  Input* inner_;
  Hasher hasher_;
  uint64_t count_ = 0;
};

struct BodyResult {
  common::Error error;      // undecodable: why (placed by the caller); no message otherwise
  bool complete = true;     // false when the body stops before its end
  bool stored_dechunked = false;  // said chunked, stored without chunks
  uint64_t raw_size = 0, size = 0;
  std::vector<uint8_t> raw_digest, dechunked_digest;
};

// Streams the entity of the body that follows the head in reader to sink,
// output beyond limit bytes refused. Reads the body to its end.
// digests: the algorithm of the digest to check, if any.
BodyResult decode_stream(const Headers& headers, Reader* body,
                         const std::function<void(const uint8_t*, size_t)>& sink, uint64_t limit,
                         DigestAlgo digests = DigestAlgo::none);

}  // namespace capture
