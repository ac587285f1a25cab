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
  common::Error place;  // the record's, for messages: in the file, else in the uncompressed stream
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
  // where names the file (and what in it the input is) for messages.
  RecordReader(Input* input, common::Error where, InflateInput* gzip = nullptr);
  // The next record's head; false at the end. Throws a fault of
  // Reach::record, placed, when the framing is broken.
  bool next(RecordHead* head);
  // The current record's block (reads stop at its length).
  BlockInput* block() { return &block_; }
  // After such a fault: moves to the next record (the next gzip member, else the
  // next version line after a blank line); false when none is left.
  bool recover();
  int64_t offset() const { return reader_.offset(); }
  // Where the reader is, for messages.
  common::Error place() const { return reader_.place(where_, reader_.offset()); }

 private:
  bool head_from(const std::string& first, int64_t at, RecordHead* head);
  bool line(std::string* out, int64_t record_at);
  // A fault at byte pos of the stream, in the record at record_at (or -1):
  // placed at pos in the file, else at its record, else in the stream.
  Fault fault(int64_t pos, int64_t record_at, const std::string& why) const;

  Reader reader_;
  common::Error where_;
  InflateInput* gzip_;
  BlockInput block_;
  bool arc_ = false, started_ = false;
  std::string pending_;  // a version line found by recover()
  int64_t pending_at_ = -1;
};

}  // namespace capture
