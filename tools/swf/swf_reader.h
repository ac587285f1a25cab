// Reads a SWF file (FWS; CWS through zlib; ZWS through the LZMA SDK's
// decoder): its header, background colour and every text in it that may
// name something a movie loads; which of them are requests the caller
// decides. Shared by the packer's audit and the test control. Damage never stops it: what lies before is kept, and each
// problem is noted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"

namespace swf {

enum class Compression : uint8_t { none, zlib, lzma };

// One text of a movie that may name a file.
struct Found {
  std::string text;    // as stored: UTF-8 from version 6 on, the ANSI code page before
  const char* tag;     // "DoAction", "DoABC2", "DefineEditText", ...
  // "ConstantPool", "Push", "GetURL", "GetURL2", "string pool", "url", "href",
  // "src"; "GetURL _blank" and "GetURL2 _blank" for a URL opened in a new window.
  const char* field;
  uint16_t sprite;     // the sprite whose timeline holds the tag; 0 for the main one
};

struct Movie {
  bool is_swf = false;  // FWS, CWS or ZWS
  Compression compression = Compression::none;
  uint8_t version = 0;
  uint32_t declared_length = 0;  // from the header, uncompressed, header included
  // Stage in twips.
  int32_t xmin = 0, xmax = 0, ymin = 0, ymax = 0;
  uint16_t frame_rate = 0;  // 8.8 fixed point
  uint16_t frame_count = 0;
  bool header_complete = false;  // the stage rectangle, rate and count were read
  bool has_background = false;
  uint8_t background[3] = {0, 0, 0};  // red, green, blue of the first SetBackgroundColor
  uint32_t tags = 0;                   // tags read, sprites' included
  std::vector<Found> found;
  // In the order met, at most kMaxProblems; offset: the tag's, counted in
  // the uncompressed movie, or -1; file: left to the caller.
  std::vector<common::Error> problems;

  int32_t width_px() const { return (xmax - xmin) / 20; }
  int32_t height_px() const { return (ymax - ymin) / 20; }
  double fps() const { return frame_rate / 256.0; }
};

constexpr size_t kMaxProblems = 16;

struct Options {
  // Largest body that is decompressed or read; more is a problem.
  size_t max_length = size_t(256) << 20;
  // False: the header and the background only, for a quick look.
  bool collect = true;
};

// Reads size bytes at data; a prefix of a movie gives what the prefix holds
// and a note that it ends early.
Movie read_movie(const void* data, size_t size, const Options& options = Options());

const char* compression_name(Compression c);  // "none", "zlib", "lzma"
const char* signature(Compression c);         // "FWS", "CWS", "ZWS"

// Decodes the LZMA body of a ZWS movie (in: what follows its eight-byte
// header, n bytes) into out, at most want bytes, as read_movie does; out
// keeps what was decoded before any damage, and error says what stopped it.
bool unlzma_body(const uint8_t* in, size_t n, size_t want, std::vector<uint8_t>* out,
                 common::Error* error);

}  // namespace swf
