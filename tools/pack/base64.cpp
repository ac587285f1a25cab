#include "base64.h"

#include <cstdint>

namespace pack {

std::string base64(const void* data, size_t n) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto* p = static_cast<const uint8_t*>(data);
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? alphabet[v & 63] : '=';
  }
  return out;
}

}  // namespace pack
