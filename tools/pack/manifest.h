// Packing manifests (TOML): read into a package description, and written
// from one. Nothing else in the packer reads or writes them.
#pragma once

#include <string>

#include "common/error.h"
#include "pack/package_writer.h"

namespace pack {

// Paths in the manifest are relative to the manifest's folder. The error
// names the manifest's line.
bool read_manifest(const std::string& path, Package* package, common::Error* error);

// The manifest of a package whose files lie beside it (each entry, and in
// video mode each movie and the FLV, names its file by the last part of its
// path), under a "# comment" line.
std::string manifest_text(const Package& package, const char* comment);
bool write_manifest(const Package& package, const char* comment, const std::string& path,
                    common::Error* error);

// The manifest's name of a playback mode ("page", "video", "page-post"), or
// "unknown".
const char* mode_name(int32_t mode);

}  // namespace pack
