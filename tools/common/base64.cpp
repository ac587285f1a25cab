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

namespace {

enum { kBad = -1, kSpace = -2, kPad = -3 };

struct Table {
  int8_t value[256];
  Table() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= 'A' && c <= 'Z'   ? int8_t(c - 'A')
                 : c >= 'a' && c <= 'z' ? int8_t(c - 'a' + 26)
                 : c >= '0' && c <= '9' ? int8_t(c - '0' + 52)
                 : c == '+' || c == '-' ? 62
                 : c == '/' || c == '_' ? 63
                 : c == '\r' || c == '\n' || c == ' ' || c == '\t' ? int8_t(kSpace)
                 : c == '=' ? int8_t(kPad)
                            : int8_t(kBad);
    }
  }
};

}  // namespace

bool Base64Decoder::feed(const char* p, size_t n, std::string* out) {
  static const Table table;
  const size_t at = out->size();
  out->resize(at + n / 4 * 3 + 3);
  char* o = &(*out)[at];
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    int v = table.value[uint8_t(p[i])];
    if (v >= 0 && !fill_) {
      acc_ = (acc_ << 6) | uint32_t(v);
      bits_ += 6;
      if (bits_ >= 8) {
        bits_ -= 8;
        *o++ = char((acc_ >> bits_) & 0xFF);
      }
    } else if (v == kPad) {
      ++fill_;
    } else if (v != kSpace) {
      ok = false;
      break;
    }
  }
  out->resize(size_t(o - out->data()));
  return ok;
}

bool unbase64(const std::string& text, std::string* out) {
  Base64Decoder d;
  out->clear();
  return d.feed(text.data(), text.size(), out) && d.finish();
}

}  // namespace common
