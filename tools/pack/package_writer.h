// Writes player executables: a stub followed by a package laid out exactly
// as the player's loader reads it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/error.h"

namespace pack {

// Bytes of one stored file: in memory, or read from a file when path is set.
struct Data {
  std::vector<uint8_t> bytes;
  std::string path;
  int64_t size = 0;  // of the file at path; bytes.size() otherwise
  int32_t line = 0;  // the manifest line that names it; 0 for none
  int64_t length() const { return path.empty() ? int64_t(bytes.size()) : size; }
};

struct PageEntry {
  std::u16string url;
  std::u16string alternate_url;  // empty: none
  std::string post_key;          // base64 of the request body; empty: none
  std::u16string content_type;   // empty: none
  // False: none was given, and the packer takes one from the file's
  // extension (an explicit empty type keeps none).
  bool content_type_given = true;
  Data data;
  std::string post_body_path;  // the file the POST body was read from, if any
  // Manifest lines, for messages; 0 for none.
  int32_t line = 0, url_line = 0, alternate_url_line = 0, post_line = 0;
};

// The largest nominal width or height the player's window takes.
constexpr uint32_t kMaxNominalSize = 32767;

// A file of the browser runtime carried after the package.
struct BrowserFile {
  std::u16string name;          // one path segment, not starting with '.'
  std::u16string content_type;
  std::u16string coding;        // "" sent as stored, or "br" / "gzip"
  Data data;
};

struct BrowserRuntime {
  std::u16string description;
  std::vector<BrowserFile> files;  // none: the package carries no runtime
};

struct Package {
  int32_t mode = 0;  // 0 page, 1 video, 2 page with POST keys
  uint32_t width = 0;
  uint32_t height = 0;
  std::u16string flash_vars;  // page modes, first movie
  std::u16string base;
  std::vector<PageEntry> entries;
  Data player, skin, video;  // video mode
  int32_t width_line = 0, height_line = 0;
  BrowserRuntime runtime;
};

// Where a player goes; tracks the absolute position for the padding.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool write(const void* data, size_t n) = 0;
  // What went wrong when write returned false.
  virtual common::Error failure() const { return common::plain("cannot write the output"); }
  int64_t position() const { return position_; }

 protected:
  int64_t position_ = 0;
};

class MemorySink : public Sink {
 public:
  bool write(const void* data, size_t n) override;
  std::vector<uint8_t> bytes;
};

class FileSink : public Sink {
 public:
  // name: the output, for the message when a write fails.
  explicit FileSink(std::FILE* file, std::string name = "the output") : file_(file), name_(std::move(name)) {}
  bool write(const void* data, size_t n) override;
  common::Error failure() const override;

 private:
  std::FILE* file_;
  std::string name_;
  int errno_ = 0;
};

// False, saying why, when stub cannot carry a package.
bool check_stub(const std::vector<uint8_t>& stub, common::Error* why);

// Bytes the player reads for an entry's URLs, POST key and content type (as
// UTF-16); it reads at most entry_text_limit().
int64_t entry_text_bytes(const PageEntry& entry);
int64_t entry_text_limit();

// False, saying why, when the package is not one the player can load.
bool check_package(const Package& package, int64_t stub_size, common::Error* why);

// Writes stub and package.
bool write_player(const std::vector<uint8_t>& stub, const Package& package, Sink* out, common::Error* error);

}  // namespace pack
