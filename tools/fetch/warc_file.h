// The fetcher's WARC: one gzip member per record, appended and flushed one
// whole record at a time, so that a run stopped at any point leaves a file
// that a rerun reads and continues.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace fetch {

// What an earlier run kept: a response (and the POST body of its request).
struct KeptRecord {
  std::string url, post_body, date, source, record_id;
  std::string location;  // a redirect's target
  int status = 0;
  int64_t size = 0;  // payload bytes
  bool post = false;
};

// Reads the records of a WARC written by the fetcher. A record cut short at
// the end (a run killed while writing) is left out and *good_end is where
// the intact records end. False with a message when the file is not such a
// WARC.
bool read_kept(const std::string& path, std::vector<KeptRecord>* out, uint64_t* good_end, common::Error* error);

struct ResponseRecord {
  std::string url;         // WARC-Target-URI: the URL the movie asks for
  std::string timestamp;   // 14 digits: WARC-Date
  std::string source;      // WARC-Source-URI: the archive's answer
  int status = 200;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;  // the captured HTTP headers
  std::string body;
  bool post = false;
  std::string post_body, post_type;
};

class WarcWriter {
 public:
  WarcWriter() = default;
  ~WarcWriter();
  WarcWriter(const WarcWriter&) = delete;
  WarcWriter& operator=(const WarcWriter&) = delete;

  // Opens path for appending after good_end bytes (0: a new file); false
  // with a message.
  bool open(const std::string& path, uint64_t good_end, common::Error* error);
  bool is_open() const { return file_ != nullptr; }
  bool warcinfo(const std::string& fields, common::Error* error);
  // A POST answer comes with its request record, which holds the body.
  bool response(const ResponseRecord& r, common::Error* error);
  bool close(common::Error* error);

 private:
  bool write_record(const std::string& head_fields, const std::string& type, const std::string& date,
                    const std::string& block, common::Error* error);
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string info_id_;
};

// "sha1:BASE32" of bytes, as WARC digests are written.
std::string sha1_base32(const std::string& bytes);

}  // namespace fetch
