// SHA-1, as WARC writers give their digests ("sha1:" and base32).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace capture {

class Sha1 {
 public:
  Sha1();
  void update(const uint8_t* data, size_t n);
  // The digest in base32 (RFC 4648, upper case, no padding needed for 20 bytes).
  std::string base32();

 private:
  void block(const uint8_t* p);
  uint32_t h_[5];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

// Whether a WARC digest header ("sha1:BASE32", also hex or lower case) names
// the digest given in base32. Unknown algorithms match anything.
bool digest_matches(const std::string& header, const std::string& sha1_base32);

}  // namespace capture
