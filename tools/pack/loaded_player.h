// The player's process-wide state, loaded once from a player file or a
// manifest and reset when the LoadedPlayer goes: list, explain and audit
// read the package through it. One may exist at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file.h"
#include "pack/package_writer.h"

namespace pack {

class LoadedPlayer {
 public:
  LoadedPlayer() = default;
  LoadedPlayer(const LoadedPlayer&) = delete;
  LoadedPlayer& operator=(const LoadedPlayer&) = delete;
  ~LoadedPlayer();

  // The package appended to a player executable; the error says why the
  // file can't be read or why the player refuses its package.
  bool load_exe(const std::string& path, common::Error* error);
  // The state that loading the player a manifest builds would give.
  bool load_manifest(const std::string& path, common::Error* error);
  // Whether a player in memory holds a package the player takes; bytes
  // must outlive this object.
  bool load_bytes(const std::vector<uint8_t>& bytes);

  // The entry count the page package declares in its header (the player
  // serves fewer when the file ends early); -1 when unknown.
  int32_t declared_entries() const { return declared_; }
  // Up to max bytes of entry i's data; false when they can't be read.
  bool read_entry(int32_t index, size_t max, std::string* out) const;
  // The bytes of the browser runtime's file i, as stored; false when they
  // can't be read (a manifest carries no runtime).
  bool read_runtime_file(int32_t index, std::string* out) const;

 private:
  bool loaded_ = false;
  int32_t declared_ = -1;
  common::File file_;  // the player file
  Package manifest_;   // the manifest's package
  bool from_manifest_ = false;
};

}  // namespace pack
