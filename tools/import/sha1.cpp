#include "import/sha1.h"

#include <cstring>

namespace capture {
namespace {

uint32_t rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

}  // namespace

Sha1::Sha1() : h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::block(const uint8_t* p) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
    else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
    else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    else f = b ^ c ^ d, k = 0xCA62C1D6;
    uint32_t t = rol(a, 5) + f + e + k + w[i];
    e = d, d = c, c = rol(b, 30), b = a, a = t;
  }
  h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e;
}

void Sha1::update(const uint8_t* data, size_t n) {
  bytes_ += n;
  if (used_) {
    size_t k = n < 64 - used_ ? n : 64 - used_;
    std::memcpy(buf_ + used_, data, k);
    used_ += k, data += k, n -= k;
    if (used_ < 64) return;
    block(buf_);
    used_ = 0;
  }
  for (; n >= 64; data += 64, n -= 64) block(data);
  std::memcpy(buf_, data, n);
  used_ = n;
}

std::string Sha1::base32() {
  uint64_t bits = bytes_ * 8;
  uint8_t pad = 0x80;
  update(&pad, 1);
  pad = 0;
  while (used_ != 56) update(&pad, 1);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = uint8_t(bits >> (56 - 8 * i));
  update(len, 8);
  uint8_t digest[20];
  for (int i = 0; i < 20; ++i) digest[i] = uint8_t(h_[i / 4] >> (24 - 8 * (i % 4)));
  static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out;
  uint32_t acc = 0;
  int have = 0;
  for (uint8_t byte : digest) {
    acc = (acc << 8) | byte;
    for (have += 8; have >= 5; have -= 5) out += abc[(acc >> (have - 5)) & 31];
  }
  return out;
}

bool digest_matches(const std::string& header, const std::string& sha1_base32) {
  size_t colon = header.find(':');
  if (colon == std::string::npos) return true;
  std::string algo, value = header.substr(colon + 1);
  for (char c : header.substr(0, colon)) algo += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (algo != "sha1" && algo != "sha-1") return true;
  for (char& c : value)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  if (value.size() == 40) {
    // Some writers give hex; compare in base32 all the same.
    static const char hexd[] = "0123456789ABCDEF";
    std::string b32;
    uint32_t acc = 0;
    int have = 0;
    for (char c : value) {
      const char* p = std::strchr(hexd, c);
      if (!p || !c) return true;
      acc = (acc << 4) | uint32_t(p - hexd);
      for (have += 4; have >= 5; have -= 5) b32 += "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"[(acc >> (have - 5)) & 31];
    }
    return b32 == sha1_base32;
  }
  while (!value.empty() && value.back() == '=') value.pop_back();
  // A value that is no SHA-1 at all (made up by a tool) cannot be checked.
  if (value.size() != 32 || value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") != std::string::npos)
    return true;
  return value == sha1_base32;
}

}  // namespace capture
