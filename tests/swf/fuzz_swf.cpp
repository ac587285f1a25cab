// Feeds arbitrary bytes to the SWF reader, in full and as a quick look.
#include <cstddef>
#include <cstdint>

#include "swf_reader.h"

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
  return 0;
}
