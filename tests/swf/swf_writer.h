// A small SWF writer for the tests: tags, AVM1 actions, an ABC block with a
// string pool, sprites, and FWS, CWS or ZWS files around them.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#ifdef TESSIVO_HAVE_LZMA
#include <lzma.h>
#endif

namespace swft {

inline std::string u16(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }
inline std::string u32(uint32_t v) { return u16(uint16_t(v)) + u16(uint16_t(v >> 16)); }
inline std::string cstr(const std::string& s) { return s + '\0'; }

inline std::string tag(uint16_t code, const std::string& body, bool long_form = false) {
  if (body.size() < 0x3F && !long_form) return u16(uint16_t(code << 6 | body.size())) + body;
  return u16(uint16_t(code << 6 | 0x3F)) + u32(uint32_t(body.size())) + body;
}

inline std::string end_tag() { return tag(0, ""); }
inline std::string background(uint8_t r, uint8_t g, uint8_t b) {
  return tag(9, std::string{char(r), char(g), char(b)});
}
inline std::string sprite(uint16_t id, const std::string& tags) {
  return tag(39, u16(id) + u16(1) + tags + end_tag(), true);
}

// AVM1 actions.
inline std::string action(uint8_t code, const std::string& payload) {
  return std::string(1, char(code)) + u16(uint16_t(payload.size())) + payload;
}
inline std::string constant_pool(const std::vector<std::string>& strings) {
  std::string p = u16(uint16_t(strings.size()));
  for (const auto& s : strings) p += cstr(s);
  return action(0x88, p);
}
// Push values: a string, or "#N" for constant N of the pool.
inline std::string push(const std::vector<std::string>& values) {
  std::string p;
  for (const auto& v : values) {
    if (!v.empty() && v[0] == '#') p += std::string(1, '\x08') + char(std::stoi(v.substr(1)));
    else p += std::string(1, '\0') + cstr(v);
  }
  return action(0x96, p);
}
inline std::string get_url(const std::string& url, const std::string& target) {
  return action(0x83, cstr(url) + cstr(target));
}
inline std::string get_url2() { return action(0x9A, std::string(1, '\0')); }
inline std::string do_action(const std::string& actions) { return tag(12, actions + '\0'); }

// An ABC block whose constant pool holds strings; declared overrides the
// pool's count (a count that lies).
// namespaces: string indices (from 1) that the namespace pool names; none
// given writes no namespace pool.
inline std::string abc(const std::vector<std::string>& strings, int declared = -1,
                       const std::vector<uint32_t>& namespaces = {}) {
  auto u30 = [](uint32_t v) {
    std::string s;
    do {
      uint8_t b = v & 0x7F;
      v >>= 7;
      s += char(v ? b | 0x80 : b);
    } while (v);
    return s;
  };
  std::string a = u16(16) + u16(46) + u30(2) + u30(7) + u30(0) + u30(2) + std::string(8, '\0');
  a += u30(declared >= 0 ? uint32_t(declared) : uint32_t(strings.size() + 1));
  for (const auto& s : strings) a += u30(uint32_t(s.size())) + s;
  if (!namespaces.empty()) {
    a += u30(uint32_t(namespaces.size() + 1));
    for (uint32_t n : namespaces) a += std::string("\x16") + u30(n);
  }
  return a;
}
inline std::string do_abc2(const std::string& abc_block) {
  return tag(82, u32(1) + cstr("frame1") + abc_block, true);
}

// A 640x480 stage at 24 fps, one frame, then tags.
inline std::string body(const std::string& tags) {
  // RECT with 15-bit fields: 0, 12800, 0, 9600.
  uint64_t bits = 15;
  std::string rect;
  uint32_t acc = 0;
  int n = 0;
  auto put = [&](uint32_t v, int width) {
    for (int i = width - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++n == 8) {
        rect += char(acc);
        acc = 0;
        n = 0;
      }
    }
  };
  put(uint32_t(bits), 5);
  for (uint32_t v : {0u, 12800u, 0u, 9600u}) put(v, 15);
  if (n) put(0, 8 - n);
  return rect + u16(24 << 8) + u16(1) + tags;
}

inline std::string fws(uint8_t version, const std::string& tags) {
  std::string b = body(tags);
  return "FWS" + std::string(1, char(version)) + u32(uint32_t(8 + b.size())) + b;
}

inline std::string cws(uint8_t version, const std::string& tags) {
  std::string b = body(tags);
  uLongf n = compressBound(uLong(b.size()));
  std::string z(n, '\0');
  compress(reinterpret_cast<Bytef*>(&z[0]), &n, reinterpret_cast<const Bytef*>(b.data()), uLong(b.size()));
  z.resize(n);
  return "CWS" + std::string(1, char(version)) + u32(uint32_t(8 + b.size())) + z;
}

#ifdef TESSIVO_HAVE_LZMA
// ZWS: the .lzma stream's five property bytes and its data, without its
// 8-byte size, after the compressed length.
inline std::string zws(uint8_t version, const std::string& tags, uint32_t preset = 6) {
  std::string b = body(tags);
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, preset);
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&s, &opt) != LZMA_OK) return std::string();
  std::string out(b.size() + 1024, '\0');
  s.next_in = reinterpret_cast<const uint8_t*>(b.data());
  s.avail_in = b.size();
  s.next_out = reinterpret_cast<uint8_t*>(&out[0]);
  s.avail_out = out.size();
  while (lzma_code(&s, LZMA_FINISH) == LZMA_OK) {
  }
  out.resize(out.size() - s.avail_out);
  lzma_end(&s);
  std::string data = out.substr(13);
  return "ZWS" + std::string(1, char(version)) + u32(uint32_t(8 + b.size())) +
         u32(uint32_t(data.size())) + out.substr(0, 5) + data;
}
#endif

}  // namespace swft
