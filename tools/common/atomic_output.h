// An output file that appears whole or not at all.
#pragma once

#include <cstdio>
#include <string>

#include "common/error.h"
#include "common/file.h"

namespace common {

// Written beside the final file and renamed onto it at the end, so that a
// failure or an interrupt never leaves a partial or damaged output.
class AtomicOutput {
 public:
  AtomicOutput() = default;
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;
  ~AtomicOutput();  // removes the temporary file unless committed

  // kExecutable for a player; kPlain for data such as a picture.
  enum Mode { kExecutable, kPlain };
  bool open(const std::string& path, Error* error, Mode mode = kExecutable);
  std::FILE* file() const { return file_.get(); }
  // Closes and renames onto the target.
  bool commit(Error* error);

 private:
  std::string path_, temp_;
  File file_;
};

}  // namespace common
