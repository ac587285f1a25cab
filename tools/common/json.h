// JSON text for the commands' --json output.
#pragma once

#include <string>

namespace common {

// A JSON string literal of UTF-8 text.
std::string json_quote(const std::string& utf8);

}  // namespace common
