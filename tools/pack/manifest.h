// Reads a packing manifest (TOML) into a package description.
#pragma once

#include <string>

#include "package_writer.h"

namespace pack {

// Paths in the manifest are relative to the manifest's folder. On failure
// returns false with "FILE:LINE: message" in *error.
bool read_manifest(const std::string& path, Package* package, std::string* error);

// The manifest's name of a playback mode ("page", "video", "page-post"), or
// "unknown".
const char* mode_name(int32_t mode);

}  // namespace pack
