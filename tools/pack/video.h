// A video package from one FLV: the movies this packer carries (or others),
// the nominal size from the FLV's metadata unless one is given. Shared by
// `pack video` and `pack import`.
#pragma once

#include <cstdint>
#include <string>

#include "pack/flv.h"
#include "pack/package_writer.h"

namespace pack {

struct VideoSource {
  std::string flv_path;
  uint32_t width = 0, height = 0;  // both 0: take the metadata's
  std::string player_path, skin_path;  // empty: the carried movies
};

// Reads the FLV's header and metadata from the start of the file at path.
// False with the file, the byte offset and why when it cannot be read or is
// not an FLV; the problems noted name the file too.
bool inspect_flv(const std::string& path, FlvInfo* info, common::Error* error);

// The package; width and height from the source, else from info when both
// are whole numbers of pixels from 1 to 32767, else 0 (none).
bool video_package(const VideoSource& source, const FlvInfo& info, Package* out, common::Error* error);

// "12.50 s, 320x240, 25 fps, video Sorenson Spark (H.263), audio ADPCM"
std::string describe_flv(const FlvInfo& info);
// The same as JSON members, without braces.
std::string flv_json(const FlvInfo& info);

}  // namespace pack
