#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace common {

std::string Error::text() const {
  if (file.empty()) return message;
  if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
  if (offset >= 0) return file + ": at byte " + std::to_string(offset) + ": " + message;
  return file + ": " + message;
}

Error errno_error(const std::string& path) { return Error{path, 0, -1, std::strerror(errno)}; }

}  // namespace common
