#include "import/digest.h"

#include <cstring>

#include "common/sha256.h"

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

void Sha1::finish(uint8_t out[20]) {
  uint64_t bits = bytes_ * 8;
  uint8_t pad = 0x80;
  update(&pad, 1);
  pad = 0;
  while (used_ != 56) update(&pad, 1);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = uint8_t(bits >> (56 - 8 * i));
  update(len, 8);
  for (int i = 0; i < 20; ++i) out[i] = uint8_t(h_[i / 4] >> (24 - 8 * (i % 4)));
}

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

struct Hasher::State {
  DigestAlgo algo;
  Sha1 sha1;
  common::Sha256 sha256;
};

Hasher::Hasher(DigestAlgo algo) {
  if (algo != DigestAlgo::none) state_.reset(new State{algo, {}, {}});
}
Hasher::~Hasher() = default;

void Hasher::update(const uint8_t* data, size_t n) {
  if (!state_) return;
  if (state_->algo == DigestAlgo::sha1) state_->sha1.update(data, n);
  else state_->sha256.update(data, n);
}

std::vector<uint8_t> Hasher::finish() {
  if (!state_) return {};
  std::vector<uint8_t> out(state_->algo == DigestAlgo::sha1 ? 20 : 32);
  if (state_->algo == DigestAlgo::sha1) state_->sha1.finish(out.data());
  else state_->sha256.finish(out.data());
  return out;
}

}  // namespace capture
