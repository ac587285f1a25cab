// Digests as WARC writers give them: "sha1:BASE32" mostly, also hex, base64
// and SHA-256 ("sha256:HEX" by some JavaScript writers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/sha.h"

namespace capture {

enum class DigestAlgo { none, sha1, sha256 };

struct DigestValue {
  DigestAlgo algo = DigestAlgo::none;  // none: absent, or nothing this build can check
  std::vector<uint8_t> bytes;
};

// A digest header's value. An unknown algorithm, or a value in no encoding
// that fits the algorithm's length, cannot be checked: algo none.
DigestValue parse_digest(const std::string& header);

// One running digest of either algorithm; does nothing for none.
class Hasher {
 public:
  explicit Hasher(DigestAlgo algo);
  ~Hasher();
  void update(const uint8_t* data, size_t n);
  std::vector<uint8_t> finish();  // once; empty for none

 private:
  std::unique_ptr<common::Sha> sha_;
};

// Whether computed (by the header's algorithm) matches; true when the
// header cannot be checked.
inline bool digest_matches(const DigestValue& header, const std::vector<uint8_t>& computed) {
  return header.algo == DigestAlgo::none || header.bytes == computed;
}

}  // namespace capture
