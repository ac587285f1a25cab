#include "serve/option_table.h"

#include <cstring>

#include "pack/commands.h"

namespace serve {

bool ParsedArgs::has(const char* name) const { return value(name) != nullptr; }

const std::string* ParsedArgs::value(const char* name) const {
  const std::string* v = nullptr;
  for (const auto& o : options)
    if (o.first == name) v = &o.second;
  return v;
}

bool parse_args(int argc, char** argv, const std::vector<OptionSpec>& table, ParsedArgs* out,
                std::string* error) {
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help(a)) {
      out->help = true;
      continue;
    }
    if (a[0] != '-' || !a[1]) {
      out->positional.push_back(a);
      continue;
    }
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : table)
      if (!std::strcmp(s.name, a)) spec = &s;
    if (!spec) {
      *error = std::string("unknown option ") + a;
      return false;
    }
    if (!spec->takes_value) {
      out->options.emplace_back(a, "");
    } else if (i + 1 >= argc) {
      *error = std::string(a) + " needs a value";
      return false;
    } else {
      out->options.emplace_back(a, argv[++i]);
    }
  }
  return true;
}

}  // namespace serve
