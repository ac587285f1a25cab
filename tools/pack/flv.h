// Reads what `pack video` reports about an FLV file: its header, the
// onMetaData script tag (AMF0) and the codecs of its first audio and video
// tags. Bounded: it looks at a prefix of the file only, and damage never
// stops it beyond the header; each problem is noted with its byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"

namespace pack {

struct FlvInfo {
  bool header_audio = false, header_video = false;  // the header's flags
  bool has_metadata = false;                         // an onMetaData tag was read
  double duration = -1;                              // seconds; -1: not given
  double width = 0, height = 0;                      // pixels; 0: not given
  double frame_rate = 0;
  int video_codec = -1, audio_codec = -1;            // first tags' codec ids; -1: none seen
  std::vector<common::Error> problems;               // offset and message, in the order met
};

// How much of a file read_flv needs to see the metadata and the first tags.
constexpr size_t kFlvPrefix = size_t(1) << 20;

// False with error (offset and message) when data does not start with an
// FLV header; otherwise true, with whatever the rest of the prefix gave.
bool read_flv(const uint8_t* data, size_t size, FlvInfo* info, common::Error* error);

const char* flv_video_codec_name(int id);  // "Sorenson Spark (H.263)", ...; "none" for -1
const char* flv_audio_codec_name(int id);  // "MP3", "ADPCM", ...; "none" for -1

}  // namespace pack
