// Turns captures (the formats of formats.h) into a package description
// whose entries are payload files in a work folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/progress.h"
#include "import/stream.h"
#include "import/warc.h"
#include "pack/package_writer.h"

namespace capture {

struct Options {
  std::string start;            // URL of the first movie; empty: choose
  std::string scheme = "http";  // for mirrored folders
  bool strict = false;          // a bad record fails the import
  int32_t mode = 2;             // page with POST keys
  uint32_t width = 0, height = 0;
  std::string work_dir;         // where payload files are written
  // Payload files a subfolder of work_dir holds, or 0 for all in work_dir
  // (as a manifest wants them). Windows file systems as Wine gives them
  // search a whole folder for each new name, so thousands in one are slow.
  int files_per_folder = 0;
  common::Progress* progress = nullptr;  // told of bytes read and entries kept, or none
  std::FILE* warnings = nullptr;  // warnings at the end, one line a kind, or none
  // URL prefixes: when includes are given only URLs under one are kept;
  // URLs under an exclude are dropped.
  std::vector<std::string> includes, excludes;
};

struct Item {
  std::string url, alternate, post_key, content_type;
  std::string file;  // payload file
  int64_t size = 0;
  common::Error where;  // its place (input and offset, or entry), for messages
};

struct Redirect {
  std::string from, to, where;
};

struct Result {
  pack::Package package;
  std::string start_url, start_reason;
  std::vector<Item> entries;  // as packed, the first movie first
  std::map<std::string, int> skipped;  // reason -> count
  std::vector<std::string> dropped;    // duplicates: what was dropped and why
  std::vector<std::string> redirects;  // how each was handled
  std::vector<std::string> warnings;
  std::vector<std::string> notes;      // how the first movie was chosen
};

class Intake;

class Importer {
 public:
  explicit Importer(const Options& options);
  ~Importer();

  // Reads one capture of any format the table of formats knows, told by
  // its first bytes (or, for a folder, its contents). Throws a Fault
  // naming the file and offset.
  void add(const std::string& path);

  // Reads WARC or ARC records from a stream (the fuzz target drives this
  // too); gzip, when given, is the input or under it, for recovery.
  void add_records(Input* input, const common::Error& where, const FileInput* progress_file,
                   InflateInput* gzip = nullptr);
  // Reads a HAR file's text (the fuzz target drives this too); strings longer
  // than spill_above bytes pass through files in the work folder.
  void add_har_text(const std::string& text, const std::string& path, size_t spill_above = 64 << 10);

  // Chooses the first movie, settles duplicates and redirects, and deletes
  // payload files that no entry keeps. Throws a Fault.
  Result finish();

  // While on, records are read only as the originals that revisits name:
  // their payloads are kept for that, whatever the filters, as no entry.
  void set_originals_only(bool on);
  // The page a WACZ names first, when none is known yet.
  void set_start_page(const std::string& url);

 private:
  std::unique_ptr<Intake> intake_;
};

// One warning line: kept in the result and shown on options.warnings.
void warn(const Options& options, Result* result, const std::string& line);

// The URL a file in a mirrored folder stands for: rel is HOST/PATH with '/'.
std::string folder_url(const std::string& scheme, const std::string& rel);

}  // namespace capture
