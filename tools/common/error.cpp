#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace common {

std::string Error::place() const {
  if (file.empty()) return "";
  std::string out = file;
  if (line > 0) out += ":" + std::to_string(line);
  else if (record >= 0) out += ": record at byte " + std::to_string(record);
  else if (offset >= 0) out += ": at byte " + std::to_string(offset);
  if (!within.empty()) out += " (" + within + ")";
  return out;
}

std::string Error::text() const {
  if (file.empty()) return message;
  return place() + ": " + message;
}

Error errno_error(const std::string& path) { return Error{path, 0, -1, std::strerror(errno)}; }

}  // namespace common
