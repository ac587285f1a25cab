// A player exe or a manifest, loaded into the player state as the player
// would load it, with a reader for the entries' bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "manifest.h"

namespace pack {

// True when path names a manifest (".toml", any letter case).
bool is_manifest_path(const std::string& path);

class PackageInput {
 public:
  // Loads path into the player state. False with "PATH: why" when it is
  // neither a readable player nor a valid manifest.
  bool open(const std::string& path, std::string* error);
  // Up to n bytes of entry index from offset into out; false when the
  // entry does not exist or its file can't be read.
  bool read(int32_t index, int64_t offset, size_t n, std::string* out) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::unique_ptr<Package> manifest_;
  std::shared_ptr<std::FILE> file_;
};

}  // namespace pack
