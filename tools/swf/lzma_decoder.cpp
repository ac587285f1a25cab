#include "lzma_decoder.h"

namespace swf {
namespace {

constexpr int kNumStates = 12;
constexpr int kPosStatesMax = 16;
constexpr int kEndPosModelIndex = 14;
constexpr int kNumFullDistances = 128;
constexpr uint16_t kProbInit = 1024;
// A whole stream holds every byte its decoder reads; a few more reads past
// the end are let through so that a cut stream stops soon, not at once.
constexpr int kOverrunLimit = 4;

class RangeDecoder {
 public:
  RangeDecoder(const uint8_t* in, size_t n) : in_(in), end_(in + n) {}

  bool init() {
    if (next() != 0) return false;
    for (int i = 0; i < 4; ++i) code_ = code_ << 8 | next();
    return code_ != range_;
  }

  bool overrun() const { return overrun_ > kOverrunLimit; }
  bool short_input() const { return overrun_ > 0; }

  unsigned bit(uint16_t* p) {
    uint32_t bound = (range_ >> 11) * *p;
    unsigned b;
    if (code_ < bound) {
      *p = uint16_t(*p + ((2048 - *p) >> 5));
      range_ = bound;
      b = 0;
    } else {
      *p = uint16_t(*p - (*p >> 5));
      code_ -= bound;
      range_ -= bound;
      b = 1;
    }
    normalize();
    return b;
  }

  uint32_t direct(int bits) {
    uint32_t r = 0;
    while (bits-- > 0) {
      range_ >>= 1;
      code_ -= range_;
      uint32_t t = 0u - (code_ >> 31);
      code_ += range_ & t;
      normalize();
      r = (r << 1) + (t + 1);
    }
    return r;
  }

  uint32_t tree(uint16_t* probs, int bits) {
    uint32_t m = 1;
    for (int i = 0; i < bits; ++i) m = (m << 1) + bit(probs + m);
    return m - (1u << bits);
  }

  uint32_t reverse_tree(uint16_t* probs, int bits) {
    uint32_t m = 1, symbol = 0;
    for (int i = 0; i < bits; ++i) {
      unsigned b = bit(probs + m);
      m = (m << 1) + b;
      symbol |= b << i;
    }
    return symbol;
  }

 private:
  uint8_t next() {
    if (in_ < end_) return *in_++;
    ++overrun_;
    return 0;
  }
  void normalize() {
    if (range_ < (1u << 24)) {
      range_ <<= 8;
      code_ = code_ << 8 | next();
    }
  }

  const uint8_t* in_;
  const uint8_t* end_;
  uint32_t range_ = 0xFFFFFFFF;
  uint32_t code_ = 0;
  int overrun_ = 0;
};

struct LenDecoder {
  uint16_t choice = kProbInit, choice2 = kProbInit;
  uint16_t low[kPosStatesMax][1 << 3], mid[kPosStatesMax][1 << 3], high[1 << 8];

  LenDecoder() {
    for (auto& a : low) for (auto& p : a) p = kProbInit;
    for (auto& a : mid) for (auto& p : a) p = kProbInit;
    for (auto& p : high) p = kProbInit;
  }
  uint32_t decode(RangeDecoder& rc, uint32_t pos_state) {
    if (!rc.bit(&choice)) return rc.tree(low[pos_state], 3);
    if (!rc.bit(&choice2)) return 8 + rc.tree(mid[pos_state], 3);
    return 16 + rc.tree(high, 8);
  }
};

}  // namespace

LzmaStatus lzma_decode(const uint8_t props[5], const uint8_t* in, size_t n, size_t want,
                       std::vector<uint8_t>* out) {
  out->clear();
  unsigned d = props[0];
  if (d >= 9 * 5 * 5) return LzmaStatus::damaged;
  const unsigned lc = d % 9, lp = (d / 9) % 5, pb = d / 45;

  std::vector<uint16_t> literal(size_t(0x300) << (lc + lp), kProbInit);
  uint16_t is_match[kNumStates][kPosStatesMax], is_rep0_long[kNumStates][kPosStatesMax];
  uint16_t is_rep[kNumStates], is_rep_g0[kNumStates], is_rep_g1[kNumStates], is_rep_g2[kNumStates];
  uint16_t pos_slot[4][1 << 6], pos_special[1 + kNumFullDistances - kEndPosModelIndex], align[1 << 4];
  for (auto* table : {&is_match[0][0], &is_rep0_long[0][0]})
    for (int i = 0; i < kNumStates * kPosStatesMax; ++i) table[i] = kProbInit;
  for (int i = 0; i < kNumStates; ++i) is_rep[i] = is_rep_g0[i] = is_rep_g1[i] = is_rep_g2[i] = kProbInit;
  for (auto& a : pos_slot) for (auto& p : a) p = kProbInit;
  for (auto& p : pos_special) p = kProbInit;
  for (auto& p : align) p = kProbInit;
  LenDecoder len_decoder, rep_len_decoder;

  RangeDecoder rc(in, n);
  if (!rc.init()) return rc.short_input() ? LzmaStatus::truncated : LzmaStatus::damaged;

  // Grown as it fills; a header may promise far more than the stream holds.
  out->reserve(want < (size_t(1) << 20) ? want : (size_t(1) << 20));
  uint32_t rep0 = 0, rep1 = 0, rep2 = 0, rep3 = 0;
  unsigned state = 0;
  const uint32_t pb_mask = (1u << pb) - 1, lp_mask = (1u << lp) - 1;
  while (out->size() < want) {
    if (rc.overrun()) return LzmaStatus::truncated;
    const size_t pos = out->size();
    const uint32_t pos_state = uint32_t(pos) & pb_mask;
    if (!rc.bit(&is_match[state][pos_state])) {
      unsigned prev = pos ? (*out)[pos - 1] : 0;
      uint16_t* probs = &literal[size_t(0x300) * (((uint32_t(pos) & lp_mask) << lc) + (prev >> (8 - lc)))];
      unsigned symbol = 1;
      if (state >= 7) {
        unsigned match_byte = (*out)[pos - rep0 - 1];
        do {
          unsigned match_bit = (match_byte >> 7) & 1;
          match_byte <<= 1;
          unsigned b = rc.bit(&probs[((1 + match_bit) << 8) + symbol]);
          symbol = symbol << 1 | b;
          if (match_bit != b) break;
        } while (symbol < 0x100);
      }
      while (symbol < 0x100) symbol = symbol << 1 | rc.bit(&probs[symbol]);
      out->push_back(uint8_t(symbol));
      state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
      continue;
    }
    uint32_t len;
    if (rc.bit(&is_rep[state])) {
      if (pos == 0) return LzmaStatus::damaged;
      if (!rc.bit(&is_rep_g0[state])) {
        if (!rc.bit(&is_rep0_long[state][pos_state])) {
          state = state < 7 ? 9 : 11;
          out->push_back((*out)[pos - rep0 - 1]);
          continue;
        }
      } else {
        uint32_t dist;
        if (!rc.bit(&is_rep_g1[state])) {
          dist = rep1;
        } else {
          if (!rc.bit(&is_rep_g2[state])) {
            dist = rep2;
          } else {
            dist = rep3;
            rep3 = rep2;
          }
          rep2 = rep1;
        }
        rep1 = rep0;
        rep0 = dist;
      }
      len = rep_len_decoder.decode(rc, pos_state);
      state = state < 7 ? 8 : 11;
    } else {
      rep3 = rep2;
      rep2 = rep1;
      rep1 = rep0;
      len = len_decoder.decode(rc, pos_state);
      state = state < 7 ? 7 : 10;
      uint32_t slot = rc.tree(pos_slot[len < 3 ? len : 3], 6);
      if (slot < 4) {
        rep0 = slot;
      } else {
        int direct_bits = int(slot >> 1) - 1;
        uint32_t dist = (2 | (slot & 1)) << direct_bits;
        if (slot < kEndPosModelIndex) {
          dist += rc.reverse_tree(pos_special + dist - slot, direct_bits);
        } else {
          dist += rc.direct(direct_bits - 4) << 4;
          dist += rc.reverse_tree(align, 4);
        }
        rep0 = dist;
      }
      if (rep0 == 0xFFFFFFFF) return rc.short_input() ? LzmaStatus::truncated : LzmaStatus::done;
    }
    if (rep0 >= pos) return LzmaStatus::damaged;
    len += 2;
    size_t from = pos - rep0 - 1;
    for (uint32_t i = 0; i < len && out->size() < want; ++i) {
      uint8_t b = (*out)[from + i];
      out->push_back(b);
    }
  }
  // A whole stream holds every byte its decoder reads.
  return rc.short_input() ? LzmaStatus::truncated : LzmaStatus::done;
}

}  // namespace swf
