// SHA-256: which stub the packer carries, and digests in captures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

class Sha256 {
 public:
  Sha256();
  void update(const uint8_t* data, size_t n);
  void finish(uint8_t out[32]);  // once

 private:
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

// Lower-case hex SHA-256 of bytes.
std::string sha256_hex(const uint8_t* data, size_t n);

}  // namespace common
