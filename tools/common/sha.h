// SHA-1 and SHA-256: which stub the packer carries, and the digests
// captures give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace common {

// Both algorithms share the block buffering and padding; only the
// compression differs.
class Sha {
 public:
  enum Kind { SHA1, SHA256 };
  explicit Sha(Kind kind);
  void update(const uint8_t* data, size_t n);
  std::vector<uint8_t> finish();  // once: 20 or 32 bytes

 private:
  void block(const uint8_t* p);
  Kind kind_;
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

// Lower-case hex SHA-256 of bytes.
std::string sha256_hex(const uint8_t* data, size_t n);

}  // namespace common
