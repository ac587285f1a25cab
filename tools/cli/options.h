// One option parser for every command: each command declares its options
// once, in a table, and the parser, the usage errors and the --help text
// all come from that table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"

namespace cli {

struct Option {
  const char* names;  // "-o, --output", "--json": every spelling, ", " between
  const char* value;  // shown in help ("OUT.exe"); null for a flag
  const char* help;   // lines joined by '\n'
  bool* given;        // set when the option is met; may be null
  std::string* text = nullptr;  // receives the value
  const char* needs = nullptr;  // usage error when the value is missing: "needs a file name"
  // Options that exclude each other share a flag: a second of them is the
  // usage error one_of_error.
  bool* one_of = nullptr;
  const char* one_of_error = nullptr;
  // A repeatable option: each value is appended here instead of to text.
  std::vector<std::string>* list = nullptr;
};

// The --help text of a command: usage and about are paragraphs; the
// options table sits between about and the footer, its help at column.
// The usage is written here only: pack --help and usage errors show it too.
struct Help {
  const char* name;   // "build", for "pack build" in messages
  const char* usage;  // "usage: pack build ..." lines
  const char* about;
  int column;
  const char* footer;  // more paragraphs, the exit codes last
};

// Called for each operand in order; false, saying why, is a usage error.
using OperandFn = std::function<bool(const char* operand, common::Error* error)>;

// Sets a usage error's message; returns false.
bool misuse(common::Error* error, std::string message);

// --no-browser, for the commands that write a player; sets *given.
Option no_browser_option(bool* given);

// For commands that take one player or manifest: the operand goes to *input,
// a second one is a usage error.
OperandFn one_input(const char** input);

// Reads argv left to right: -h/--help prints the help and ends with 0; an
// unknown option or a missing value prints a usage error and ends with 2.
// True when the command should go on.
bool parse_options(const Help& help, const std::vector<Option>& options, int argc, char** argv,
                   const OperandFn& operand, int* exit_code);

// The help text built from the table.
std::string help_text(const Help& help, const std::vector<Option>& options);

// The usage's first line without "usage: pack NAME ", with " [...]" when
// more lines follow: the command's line in pack --help.
std::string synopsis(const Help& help);

// "pack NAME: message (see pack NAME --help)" and the usage on stderr;
// returns 2.
int usage_error(const Help& help, const std::string& message);

// True for -h and --help.
bool is_help(const char* arg);

// A nominal size "WxH" (or "WXH"), each a decimal from least to 32767.
bool parse_size(const std::string& text, uint32_t least, uint32_t* w, uint32_t* h);
// A decimal from least to most (a port: 1 to 65535).
bool parse_count(const std::string& text, int least, int most, int* out);
// Decimal seconds, above 0 and at most an hour.
bool parse_seconds(const std::string& text, double* out);

}  // namespace cli
