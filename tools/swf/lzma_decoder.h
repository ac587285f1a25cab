// A small LZMA decoder for ZWS movies: Debian ships no liblzma for MinGW,
// and the Windows packer and the test control read ZWS movies too. The
// whole output stays in memory, so it serves as the dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace swf {

enum class LzmaStatus {
  done,       // want bytes, or the end marker
  truncated,  // the input ended first
  damaged,    // bad properties or a distance before the start
};

// Decodes the raw stream in (after the five property bytes props) into out,
// at most want bytes; out holds what was decoded in every case.
LzmaStatus lzma_decode(const uint8_t props[5], const uint8_t* in, size_t n, size_t want,
                       std::vector<uint8_t>* out);

}  // namespace swf
