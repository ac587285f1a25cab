// base64: the POST key of a request body as the player computes it, and
// decoding as browsers and DevTools write it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

std::string base64(const void* data, size_t n);

// Either alphabet, line breaks and spaces allowed, a piece at a time.
class Base64Decoder {
 public:
  // Appends what p decodes to; false at the first byte that cannot belong.
  bool feed(const char* p, size_t n, std::string* out);
  // Whether the text ended where base64 may end.
  bool finish() const { return fill_ <= 2 && bits_ < 6; }

 private:
  uint32_t acc_ = 0;
  int bits_ = 0;
  size_t fill_ = 0;
};

// The whole text decoded; false when it is no base64.
bool unbase64(const std::string& text, std::string* out);

}  // namespace common
