#include "common/base64.h"

#include <cstdlib>

#include "resolve/resolve.h"

namespace common {

// The player's own encoder, so that stored keys match what it computes.
std::string base64(const void* data, size_t n) {
  char* text = nullptr;
  if (n > UINT32_MAX / 2 || base64_encode(data, uint32_t(n), &text) < 0) return std::string();
  std::string out(text);
  std::free(text);
  return out;
}

}  // namespace common
