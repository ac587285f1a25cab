// Making a player file from a package description, whether it came from a
// manifest or was put together in memory by another command.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "common/progress.h"
#include "pack/checks.h"
#include "pack/package_writer.h"

namespace pack {

// A file the package was read from (a manifest, a capture), which the
// output may not replace.
struct BuildInput {
  std::string path;
  std::string what;  // "the manifest", "the capture"
};

struct BuildOptions {
  std::string source;              // names the description in messages: the manifest's path, or a label
  std::vector<BuildInput> inputs;  // protected like the stub and every entry's file
  std::string stub_path;           // empty: the stub this packer carries
  std::string out_path;
  bool strict = false;             // warnings refuse the build too
  bool browser = true;             // carry the runtime a browser plays the package with
  common::Progress* progress = nullptr;  // told of the bytes written; none: nothing told
};

struct BuildResult {
  std::vector<Note> notes;  // errors and warnings, each with its source line
  int64_t size = 0;         // of the player written
  std::string contents;     // "video package" or "N entries, mode NAME"
};

// Checks the package, refuses an output that is one of the inputs or sits
// in a missing folder, then writes the player beside the output and
// renames it into place. False when no player was written; the notes say
// what the checks found either way.
bool build_player_file(Package package, const BuildOptions& options, BuildResult* result,
                       common::Error* error);

// What build_player_file refuses without looking at the package: a stub
// that cannot carry one, an output that is one of options.inputs or sits in
// a missing folder. Lets a command that reads for long refuse before it
// starts; the build checks all of it again.
bool check_build_options(const BuildOptions& options, common::Error* error);

// The stub to pack onto: the file at path, or the carried stub when path is
// empty. False with a message when there is none or it cannot carry a package.
bool load_stub(const std::string& path, std::vector<uint8_t>* stub, common::Error* error);

}  // namespace pack
