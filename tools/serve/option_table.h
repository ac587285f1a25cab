// Options of the serve, preview and audit --run commands, declared once as
// a table and parsed by one loop.
#pragma once

#include <string>
#include <vector>

namespace serve {

struct OptionSpec {
  const char* name;  // "--port"
  bool takes_value;
};

struct ParsedArgs {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // in order; "" for flags
  bool help = false;
  bool has(const char* name) const;
  const std::string* value(const char* name) const;  // the last one given
};

// False with a message on an unknown option or a missing value.
bool parse_args(int argc, char** argv, const std::vector<OptionSpec>& table, ParsedArgs* out,
                std::string* error);

}  // namespace serve
