#include "import/record.h"

#include <cstring>
#include <vector>

#include "common/utf.h"

namespace capture {

using common::ascii_lower;

namespace {

// Headers are few and short; anything larger is not a record.
constexpr size_t LINE_LIMIT = 1 << 16;
constexpr size_t HEADER_LIMIT = 1 << 20;

bool parse_decimal(const std::string& s, uint64_t* out) {
  if (s.empty() || s.size() > 18) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  *out = v;
  return true;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while ((i = line.find_first_not_of(' ', i)) != std::string::npos) {
    size_t e = line.find(' ', i);
    out.push_back(line.substr(i, e - i));
    i = e;
  }
  return out;
}

// An ARC URL line: URL, IP, 14-digit date, content type, ... length.
bool is_arc_line(const std::string& line) {
  std::vector<std::string> f = fields(line);
  uint64_t n;
  return f.size() >= 5 && f[0].find(':') != std::string::npos && f[2].size() >= 8 &&
         f[2].find_first_not_of("0123456789") == std::string::npos && parse_decimal(f.back(), &n);
}

}  // namespace

std::string RecordHead::type() const { return ascii_lower(header(headers, "WARC-Type")); }

std::string RecordHead::target_uri() const {
  std::string u = header(headers, "WARC-Target-URI");
  if (u.size() >= 2 && u.front() == '<' && u.back() == '>') u = u.substr(1, u.size() - 2);
  return u;
}

RecordReader::RecordReader(Input* input, common::Error where, InflateInput* gzip)
    : reader_(input), where_(std::move(where)), gzip_(gzip) {}

Fault RecordReader::fault(int64_t pos, int64_t record_at, const std::string& why) const {
  const Input* in = reader_.input();
  common::Error e = reader_.place(where_, pos);
  if (in->file_offset(pos) < 0 && record_at >= 0 && in->file_offset(record_at) >= 0) {
    e = where_;
    e.record = in->file_offset(record_at);
  }
  e.message = why;
  return Fault(e, Reach::record);
}

bool RecordReader::line(std::string* out, int64_t record_at) {
  const int64_t at = reader_.offset();
  bool too_long;
  const bool whole = reader_.line(out, LINE_LIMIT, &too_long);
  if (too_long) throw fault(at, record_at, "line longer than " + std::to_string(LINE_LIMIT) + " bytes");
  return whole;
}

bool RecordReader::next(RecordHead* head) {
  if (started_ && !block_.drain())
    throw fault(head->offset, -1, "the record's " + std::to_string(head->length) +
                                      " bytes run past the end of the file");
  started_ = false;
  std::string line;
  int64_t at;
  if (pending_at_ >= 0) {
    line.swap(pending_);
    at = pending_at_;
    pending_at_ = -1;
  } else {
    // Records are separated by blank lines; tolerate extra ones.
    bool whole;
    do {
      at = reader_.offset();
      whole = this->line(&line, at);
      if (!whole && line.empty()) return false;
    } while (line.empty());
    if (!whole) throw fault(at, -1, "the file ends inside a record's header");
  }
  return head_from(line, at, head);
}

bool RecordReader::head_from(const std::string& first, int64_t at, RecordHead* head) {
  head->offset = at;
  head->place = reader_.place(where_, at);
  head->place.record = head->place.offset;
  head->place.offset = -1;
  head->headers.clear();
  if (at == 0 && first.compare(0, 11, "filedesc://") == 0) arc_ = true;
  if (arc_) {
    if (!is_arc_line(first))
      throw fault(at, -1, "not an ARC record (expected \"URL IP DATE TYPE LENGTH\")");
    std::vector<std::string> f = fields(first);
    head->version = "arc";
    bool desc = f[0].compare(0, 11, "filedesc://") == 0;
    head->headers = {{"WARC-Type", desc ? "warcinfo" : "response"},
                     {"WARC-Target-URI", f[0]},
                     {"WARC-Date", f[2]},
                     {"ARC-Content-Type", f[3]}};
    parse_decimal(f.back(), &head->length);
  } else {
    if (first.compare(0, 5, "WARC/") != 0)
      throw fault(at, -1, "not a WARC record (expected \"WARC/1.0\" or \"WARC/1.1\")");
    head->version = first.substr(5);
    size_t total = 0;
    std::string line;
    for (;;) {
      int64_t line_at = reader_.offset();
      if (!this->line(&line, at)) throw fault(at, -1, "the header block has no blank line at its end");
      if (line.empty()) break;
      total += line.size();
      if (total > HEADER_LIMIT) throw fault(at, -1, "header block larger than 1 MiB");
      if (!add_header_line(line, &head->headers))
        throw fault(line_at, at, "not a header line: \"" + line.substr(0, 60) + "\"");
    }
    if (!parse_decimal(header(head->headers, "Content-Length"), &head->length))
      throw fault(at, -1, "no valid Content-Length");
  }
  block_.start(&reader_, head->length);
  started_ = true;
  return true;
}

bool RecordReader::recover() {
  started_ = false;
  block_.start(&reader_, 0);
  bool blank = false;
  std::string line;
  for (;;) {
    bool whole;
    int64_t at = reader_.offset();
    try {
      whole = reader_.scan_line(&line, 256);
    } catch (const Fault& f) {
      if (f.reach != Reach::record) throw;
      // Compressed data broken under the scan: the next member starts a record.
      if (!gzip_ || !gzip_->resync()) return false;
      reader_.reset();
      blank = true;
      continue;
    }
    if (!whole && line.empty()) return false;
    bool starts = arc_ ? is_arc_line(line) : line.compare(0, 5, "WARC/") == 0;
    if (blank && starts && whole) {
      pending_ = line;
      pending_at_ = at;
      return true;
    }
    if (!whole) return false;
    blank = line.empty();
  }
}

}  // namespace capture
