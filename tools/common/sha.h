// SHA-1 and SHA-256: which stub the packer carries, and the digests
// captures give. Every imported payload goes through here, so the rounds are
// the system's (nettle on Linux, CNG in pack.exe), which use the processor's
// SHA instructions where it has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace common {

class Sha {
 public:
  enum Kind { SHA1, SHA256 };
  explicit Sha(Kind kind);
  ~Sha();
  Sha(const Sha&) = delete;
  Sha& operator=(const Sha&) = delete;
  void update(const uint8_t* data, size_t n);
  std::vector<uint8_t> finish();  // once: 20 or 32 bytes

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Lower-case hex SHA-256 of bytes.
std::string sha256_hex(const uint8_t* data, size_t n);

}  // namespace common
