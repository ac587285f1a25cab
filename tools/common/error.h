// The packer's one error value: what failed, and where. Readers fill in the
// file and the line or byte offset they were at, so that every message
// names what and where.
#pragma once

#include <cstdint>
#include <string>

namespace common {

struct Error {
  std::string file;     // empty: no file is concerned
  int32_t line = 0;     // line in file; 0: none
  int64_t offset = -1;  // byte offset in file; -1: none
  std::string message;

  // "FILE:LINE: message", "FILE: at byte N: message", "FILE: message", or
  // the message alone.
  std::string text() const;
};

// The error of a failed call on path, from errno.
Error errno_error(const std::string& path);

}  // namespace common
