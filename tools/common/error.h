// The packer's one error value: what failed, and where. Readers fill in the
// file and the line or byte offset they were at, so that every message
// names what and where.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace common {

struct Error {
  std::string file;     // empty: no file is concerned
  int32_t line = 0;     // line in file; 0: none
  int64_t offset = -1;  // byte offset in file; -1: none
  std::string message;
  int64_t record = -1;  // byte offset in file of the record the fault lies in; -1: none
  // What of the file the place lies in (a ZIP member) or counts in
  // ("uncompressed"), or none. (Initialized, so that braces that stop at
  // message need not name it.)
  std::string within = std::string();

  // "FILE:LINE: message", "FILE: at byte N: message", "FILE: record at
  // byte N: message", "FILE: message", or the message alone; within, when
  // given, follows the place in parentheses.
  std::string text() const;
  // The same without ": message".
  std::string place() const;
};

// An error that names no place: the message is the whole text.
inline Error plain(std::string message) {
  Error e;
  e.message = std::move(message);
  return e;
}

// The error of a failed call on path, from errno.
Error errno_error(const std::string& path);

}  // namespace common
