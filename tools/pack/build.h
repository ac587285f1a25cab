// Making a player file from a package description, whether it came from a
// manifest or was put together in memory by another command.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "pack/package_writer.h"

namespace pack {

struct BuildOptions {
  std::string source;         // names the description in messages: the manifest's path, or a label
  std::string manifest_path;  // the manifest file, protected like every input; empty for none
  std::string stub_path;      // empty: the stub this packer carries
  std::string out_path;
  bool strict = false;        // warnings refuse the build too
  bool quiet = false;         // no summary line on stdout (the caller prints JSON)
};

// Checks the package (errors and warnings on stderr, each with its source
// line), refuses an output that is one of the inputs or sits in a missing
// folder, then writes the player beside the output and renames it into
// place. Returns the exit code: 0 written, 1 refused or failed.
int build_player_file(Package package, const BuildOptions& options);

// The stub to pack onto: the file at path, or the carried stub when path is
// empty. False with a message when there is none or it cannot carry a package.
bool load_stub(const std::string& path, std::vector<uint8_t>* stub, common::Error* error);

}  // namespace pack
