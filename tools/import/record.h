// Records of WARC (1.0, 1.1 and the early 0.17, 0.18) and ARC (v1) files,
// read as a head and a block bounded to the record's length, so that no
// record is ever held whole.
#pragma once

#include <cstdint>
#include <string>

#include "import/stream.h"
#include "import/warc.h"

namespace capture {

struct RecordHead {
  int64_t offset = 0;   // of the version or URL line in the (uncompressed) stream
  std::string version;  // "1.0", "0.18", ...; "arc" for ARC records
  Headers headers;      // an ARC URL line as WARC-Target-URI, WARC-Date, ...
  uint64_t length = 0;
  std::string type() const;        // lower case
  std::string target_uri() const;  // angle brackets removed
};

class RecordReader {
 public:
  // gzip, when given, is the input itself or under it: damaged members are
  // then skipped whole.
  RecordReader(Input* input, std::string name, InflateInput* gzip = nullptr);
  // The next record's head; false at the end. Throws Damaged naming the name
  // and offset when the framing is broken.
  bool next(RecordHead* head);
  // The current record's block (reads stop at its length).
  BlockInput* block() { return &block_; }
  // After Damaged: moves to the next record (the next gzip member, else the
  // next version line after a blank line); false when none is left.
  bool recover();
  int64_t offset() const { return reader_.offset(); }

 private:
  bool head_from(const std::string& first, int64_t at, RecordHead* head);
  std::string where(int64_t at) const;

  Reader reader_;
  std::string name_;
  InflateInput* gzip_;
  BlockInput block_;
  bool arc_ = false, started_ = false;
  std::string pending_;  // a version line found by recover()
  int64_t pending_at_ = -1;
};

}  // namespace capture
