#include "import/digest.h"

#include <cstring>

namespace capture {
namespace {

// Decodes text in one alphabet of 2^bits letters (hex, base32, base64) to
// exactly n bytes; false when it does not fit.
bool decode_exact(const std::string& text, const char* alphabet, int bits, size_t n, std::vector<uint8_t>* out) {
  out->clear();
  uint32_t acc = 0;
  int have = 0;
  for (char c : text) {
    const char* p = std::strchr(alphabet, c);
    if (!p || !c) return false;
    acc = (acc << bits) | uint32_t(p - alphabet);
    if ((have += bits) >= 8) {
      have -= 8;
      out->push_back(uint8_t(acc >> have));
    }
  }
  return out->size() == n;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return s;
}

}  // namespace

DigestValue parse_digest(const std::string& header) {
  DigestValue d;
  size_t colon = header.find(':');
  if (colon == std::string::npos) return d;
  std::string algo, value = header.substr(colon + 1);
  for (char c : header.substr(0, colon))
    if (c != '-') algo += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
  size_t n = algo == "sha1" ? 20 : algo == "sha256" ? 32 : 0;
  if (!n) return d;
  while (!value.empty() && value.back() == '=') value.pop_back();
  static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  bool ok = value.size() == 2 * n ? decode_exact(upper(value), "0123456789ABCDEF", 4, n, &d.bytes)
            : value.size() == (n * 8 + 4) / 5 ? decode_exact(upper(value), "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", 5, n, &d.bytes)
            : value.size() == (n * 4 + 2) / 3 && decode_exact(value, kB64, 6, n, &d.bytes);
  // A value that fits no encoding (made up by a tool) cannot be checked.
  if (ok) d.algo = n == 20 ? DigestAlgo::sha1 : DigestAlgo::sha256;
  return d;
}

Hasher::Hasher(DigestAlgo algo) {
  if (algo != DigestAlgo::none)
    sha_.reset(new common::Sha(algo == DigestAlgo::sha1 ? common::Sha::SHA1 : common::Sha::SHA256));
}
Hasher::~Hasher() = default;

void Hasher::update(const uint8_t* data, size_t n) {
  if (sha_) sha_->update(data, n);
}

std::vector<uint8_t> Hasher::finish() { return sha_ ? sha_->finish() : std::vector<uint8_t>(); }

}  // namespace capture
