// The formats the importer reads, one row each: how an input is told to be
// of it, its file names, its line of help and its reader. Help, the names
// pack.exe strips from a dropped file and the "not a capture" message all
// come from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace capture {

class Intake;

struct Format {
  const char* name;  // as lists name it: "WARC", "a mirrored folder"
  const char* help;  // its line in pack import --help
  std::vector<const char*> extensions;  // lower case, the longer of two alike first
  // Whether the input is of this format: path, whether it is a folder, and
  // (for a file) its first bytes.
  bool (*claims)(const std::string& path, bool folder, const std::vector<uint8_t>& head);
  void (*read)(Intake* intake, const std::string& path);
  // The title a player made from it is named after, when the format gives
  // one (else the file's name is used); null when it never does.
  std::string (*title)(const std::string& path) = nullptr;
};

const std::vector<Format>& formats();

// How many first bytes a format's check looks at, at most.
constexpr size_t kHeadBytes = 512;

// The format of an input, or null. Throws a Fault when a file cannot be read.
const Format* format_of(const std::string& path);

// "WARC, ARC, ..., HAR or a mirrored folder".
std::string format_names();

// The formats' help lines, each as "  - LINE\n".
std::string format_help();

// The title a player made from the capture is named after, or "" (also
// when the capture cannot be read).
std::string capture_title(const std::string& path);

// name without the longest extension of any format ("site.warc.gz" ->
// "site"); name when none fits or nothing would be left.
std::string strip_capture_extension(const std::string& name);

}  // namespace capture
