// Turns captures (WARC, WACZ, HAR, mirrored folders) into a package
// description whose entries are payload files in a work folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/progress.h"
#include "import/accept.h"
#include "pack/package_writer.h"
#include "import/record.h"
#include "import/stream.h"
#include "import/warc.h"

namespace capture {

class HashInput;

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
  std::string where;  // input and offset, for messages
  // Pairing a response with its request inside one WARC.
  std::string record_id;
  std::vector<std::string> concurrent;
  int64_t record_index = -1;
  bool wants_key = false;
  // A revisit's original, looked up once every capture is read.
  bool revisit = false;
  std::string ref_uri_date, ref_digest, ref_uri;
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

class Importer {
 public:
  explicit Importer(const Options& options);
  ~Importer();

  // Reads one capture: a folder, or a file whose kind is told by its first
  // bytes. Throws ImportError naming the file and offset.
  void add(const std::string& path);

  // Reads WARC or ARC records from a stream (the fuzz target drives this
  // too); gzip, when given, is the input or under it, for recovery.
  void add_records(Input* input, const std::string& name, const FileInput* progress_file,
                   InflateInput* gzip = nullptr);
  // Reads a HAR file's text (the fuzz target drives this too); strings longer
  // than spill_above bytes pass through files in the work folder.
  void add_har_text(const std::string& text, const std::string& path, size_t spill_above = 64 << 10);

  // Chooses the first movie, settles duplicates and redirects, and deletes
  // payload files that no entry keeps. Throws ImportError.
  Result finish();

  // While on, records are read only as the originals that revisits name:
  // their payloads are kept for that, whatever the filters, as no entry.
  void set_originals_only(bool on) { originals_only_ = on; }
  // The page a WACZ names first, when none is known yet.
  void set_start_page(const std::string& url) {
    if (start_page_.empty()) start_page_ = url;
  }

 private:
  struct Payload {
    std::string file;
    int64_t size = 0;
    std::string content_type;
  };
  struct Request {
    std::string id, uri, key, where;
    std::vector<std::string> concurrent;
    int64_t index = 0;
    std::string damaged;  // why its key is not to be trusted; empty when sound
  };
  // What pairing needs of one file's records.
  struct FileRecords {
    std::vector<Request> requests;
    std::unordered_set<std::string> ids;  // every record ID, whatever the record's type
    std::unordered_map<std::string, std::vector<int64_t>> responses;  // URI -> response and revisit indexes
  };

  struct Tally {
    int count = 0;
    std::string first;
    std::vector<std::string> more;  // the next few places
  };
  class PayloadFile;
  class HarReader;

  void add_file(const std::string& path);
  void add_wacz(const std::string& path);
  void add_har(const std::string& path);
  void add_har_input(Input* input, const std::string& path, size_t spill_above);
  void har_entry(const nlohmann::json& entry, const std::string& where, HarReader* reader);
  void add_folder(const std::string& path);
  void record(const RecordHead& head, BlockInput* block, const std::string& name, int64_t index,
              FileRecords* file);
  void pair_requests(const FileRecords& file, size_t first_item);
  // Reads a request's message into r; why it is damaged, or empty (the
  // kind of damage in *kind).
  std::string request(const RecordHead& head, Reader* http_reader, Request* r, const char** kind);
  bool response(const RecordHead& head, Reader* http_reader, const BlockInput* block, Item* item,
                Payload* payload);
  // A revisit's item, its payload looked up at the end; http is its message,
  // if the block holds one.
  void revisit(const RecordHead& head, Item* item, const HttpMessage* http);
  // decide() applied, a redirect noted, a skip counted, then the filters:
  // whether the response is to be kept.
  bool admit(const std::string& url, int status, const Headers& headers, const std::string& location,
             const std::string& where);
  // The one rule: decides what a captured response becomes and, when it is
  // kept, streams its body to a payload file. False when nothing is kept
  // (counted, or noted as a redirect).
  bool take(const Captured& captured, Item* item, Payload* payload);
  // False when the digest fails (counted as bad); throws when the block is cut short.
  bool block_intact(const RecordHead& head, const std::string& type, HashInput* hashed,
                    const BlockInput* block, const std::string& where, bool kept, const Payload& payload);
  void keep_payload(const RecordHead& head, const std::string& uri, Item item, Payload payload);
  void resolve_revisits();
  void warn_tallies();
  std::vector<Item> drop_duplicates();
  // kind: the summary's reason ("bad record", "damaged record",
  // "undecodable", "too large for the player"); skipped unless --strict,
  // which refuses.
  void bad(const std::string& where, const std::string& why, const char* kind = "bad record");
  // Counted under its kind, one warning line a kind: what is "KIND" or
  // "KIND|the first place's detail".
  void accepted(const std::string& where, const std::string& what);
  // Each Lenience bit set, counted as accepted.
  void lenience(const std::string& where, unsigned bits);
  void skip(const std::string& reason) { ++result_.skipped[reason]; }
  // Keeps an item unless it is more than the player reads of an entry.
  void keep(Item item);
  bool filtered(const std::string& url);
  std::string payload_name(const std::string& url);

  Options options_;
  Result result_;
  std::vector<Item> items_;
  std::vector<Redirect> redirects_;
  std::map<std::string, Payload> by_digest_, by_uri_date_, by_uri_;
  std::vector<std::string> files_;
  std::string start_page_;  // WACZ's first page
  int serial_ = 0;
  std::map<std::string, Tally> tallies_;
  std::vector<std::string> tally_order_;
  std::string current_;  // the record being read, for out-of-memory messages
  uint64_t read_before_ = 0;  // bytes of the inputs read whole
  bool originals_only_ = false;
  void report(uint64_t within);
};

// One warning line: kept in the result and shown on options.warnings.
void warn(const Options& options, Result* result, const std::string& line);

// The URL a file in a mirrored folder stands for: rel is HOST/PATH with '/'.
std::string folder_url(const std::string& scheme, const std::string& rel);

}  // namespace capture
