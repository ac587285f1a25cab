#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pack/package_writer.h"

namespace cli {
namespace {

bool has_name(const char* names, const char* arg) {
  const size_t n = std::strlen(arg);
  for (const char* p = names; *p;) {
    const char* end = std::strstr(p, ", ");
    const size_t len = end ? size_t(end - p) : std::strlen(p);
    if (len == n && !std::strncmp(p, arg, n)) return true;
    p += len + (end ? 2 : 0);
  }
  return false;
}

const Option* find(const std::vector<Option>& options, const char* arg) {
  for (const Option& o : options)
    if (has_name(o.names, arg)) return &o;
  return nullptr;
}

// Takes one option and its value; false with exit code 2 after a usage error.
bool take(const Help& help, const Option& o, const char* arg, int argc, char** argv, int* i,
          int* exit_code) {
  if (o.value && *i + 1 >= argc) {
    *exit_code = usage_error(help, std::string(arg) + " " + o.needs);
    return false;
  }
  if (o.one_of) {
    if (*o.one_of) {
      *exit_code = usage_error(help, o.one_of_error);
      return false;
    }
    *o.one_of = true;
  }
  if (o.given) *o.given = true;
  if (o.value && o.list) o.list->push_back(argv[++*i]);
  else if (o.value) *o.text = argv[++*i];
  return true;
}

}  // namespace

Option no_browser_option(bool* given) {
  return {"--no-browser", nullptr,
          "leave out the runtime (Ruffle and a start page, about\n3.5 MB) with which the player plays in its user's\nbrowser where no Flash control is installed",
          given};
}

bool parse_options(const Help& help, const std::vector<Option>& options, int argc, char** argv,
                   const OperandFn& operand, int* exit_code) {
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help(a)) {
      std::fputs(help_text(help, options).c_str(), stdout);
      *exit_code = 0;
      return false;
    }
    if (a[0] != '-' || !a[1]) {
      common::Error error;
      if (operand(a, &error)) continue;
      *exit_code = usage_error(help, error.text());
      return false;
    }
    const Option* o = find(options, a);
    if (!o) {
      *exit_code = usage_error(help, std::string("unknown option ") + a);
      return false;
    }
    if (!take(help, *o, a, argc, argv, &i, exit_code)) return false;
  }
  return true;
}

std::string help_text(const Help& help, const std::vector<Option>& options) {
  const std::string indent(size_t(help.column), ' ');
  std::string s = std::string(help.usage) + "\n" + help.about + "\n";
  for (const Option& o : options) {
    std::string left = std::string("  ") + o.names + (o.value ? std::string(" ") + o.value : "");
    s += left.size() < indent.size() ? left + indent.substr(left.size()) : left + "\n" + indent;
    for (const char* p = o.help; *p; ++p) s += *p == '\n' ? "\n" + indent : std::string(1, *p);
    s += "\n";
  }
  return s + "\n" + help.footer;
}

std::string synopsis(const Help& help) {
  const std::string usage = help.usage;
  const size_t from = std::strlen("usage: pack ") + std::strlen(help.name) + 1;
  const size_t end = usage.find('\n');
  const bool more = end != std::string::npos && end + 1 < usage.size();
  return usage.substr(from, end - from) + (more ? " [...]" : "");
}

int usage_error(const Help& help, const std::string& message) {
  std::fprintf(stderr, "pack %s: %s (see pack %s --help)\n%s", help.name, message.c_str(), help.name, help.usage);
  return 2;
}

bool misuse(common::Error* error, std::string message) {
  *error = common::plain(std::move(message));
  return false;
}

OperandFn one_input(const char** input) {
  return [input](const char* a, common::Error* error) {
    if (*input) return misuse(error, "one player or manifest at a time");
    *input = a;
    return true;
  };
}

bool is_help(const char* arg) { return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"); }

bool parse_size(const std::string& text, uint32_t least, uint32_t* w, uint32_t* h) {
  char* end = nullptr;
  const long a = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || (*end != 'x' && *end != 'X')) return false;
  const char* second = end + 1;
  const long b = std::strtol(second, &end, 10);
  if (end == second || *end || a < long(least) || b < long(least) || a > long(pack::kMaxNominalSize) || b > long(pack::kMaxNominalSize)) return false;
  *w = uint32_t(a);
  *h = uint32_t(b);
  return true;
}

bool parse_count(const std::string& text, int least, int most, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < least || v > most) return false;
  *out = int(v);
  return true;
}

bool parse_seconds(const std::string& text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end || !(v > 0) || v > 3600) return false;
  *out = v;
  return true;
}

}  // namespace cli
