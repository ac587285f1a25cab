// Feeds arbitrary bytes to the SWF reader, in full and as a quick look, and
// as a ZWS body beside liblzma: where liblzma decodes a stream, the reader
// must give the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef TESSIVO_HAVE_LZMA
#include <lzma.h>
#endif

#include "swf/swf_reader.h"

namespace {

#ifdef TESSIVO_HAVE_LZMA
// data: five property bytes, one byte of size (in units of 61 bytes), stream.
void compare_decoders(const uint8_t* data, size_t size) {
  if (size < 6) return;
  size_t want = size_t(data[5]) * 61;
  uint8_t head[13];
  for (int i = 0; i < 5; ++i) head[i] = data[i];
  for (int i = 0; i < 8; ++i) head[5 + i] = uint8_t(uint64_t(want) >> (8 * i));
  uint32_t dict = uint32_t(head[1]) | uint32_t(head[2]) << 8 | uint32_t(head[3]) << 16 | uint32_t(head[4]) << 24;
  if (dict > (1u << 20)) return;  // liblzma would allocate it
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&s, uint64_t(1) << 24) != LZMA_OK) return;
  std::vector<uint8_t> theirs(want + 1);
  s.next_in = head;
  s.avail_in = sizeof head;
  s.next_out = theirs.data();
  s.avail_out = theirs.size();
  lzma_ret rc = lzma_code(&s, LZMA_RUN);
  if (rc == LZMA_OK) {
    s.next_in = data + 6;
    s.avail_in = size - 6;
    rc = lzma_code(&s, LZMA_FINISH);
  }
  size_t got = theirs.size() - s.avail_out;
  lzma_end(&s);
  if (rc != LZMA_STREAM_END) return;
  theirs.resize(got);
  // As a ZWS movie holds it: compressed length, properties, stream.
  std::vector<uint8_t> body(4 + 5 + (size - 6));
  uint32_t packed = uint32_t(size - 6);
  for (int i = 0; i < 4; ++i) body[size_t(i)] = uint8_t(packed >> (8 * i));
  std::copy(data, data + 5, body.begin() + 4);
  std::copy(data + 6, data + size, body.begin() + 9);
  std::vector<uint8_t> ours;
  common::Error error;
  if (!swf::unlzma_body(body.data(), body.size(), got, &ours, &error) || ours != theirs) __builtin_trap();
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  swf::Options options;
  options.max_length = size_t(4) << 20;
  swf::Movie m = swf::read_movie(data, size, options);
  // Every text lies inside the decompressed body.
  size_t total = 0;
  for (const swf::Found& f : m.found) total += f.text.size();
  if (total > options.max_length) __builtin_trap();
  options.collect = false;
  swf::read_movie(data, size, options);
#ifdef TESSIVO_HAVE_LZMA
  compare_decoders(data, size);
#endif
  return 0;
}
