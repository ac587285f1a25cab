// Byte streams for reading captures: files and ranges of files, gzip and raw
// deflate over another stream, and a buffered reader with lines and offsets.
// Failures throw a Fault whose error names the file and offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file.h"

namespace capture {

// How far a fault reaches, so what can go on after it.
enum class Reach {
  body,    // a body cannot be decoded: its record is skipped, reading goes on after it
  record,  // the capture's own bytes are broken: the record is skipped, reading goes on at the next one found
  file,    // the file cannot be read on as it is: what was read stands (broken JSON), or it is
           // read another way (an index that does not match it)
  import,  // the import stops
};

// The one fault an import throws.
struct Fault : std::exception {
  Fault(common::Error e, Reach r = Reach::import) : error(std::move(e)), reach(r), text_(error.text()) {}
  const char* what() const noexcept override { return text_.c_str(); }
  common::Error error;
  Reach reach;

 private:
  std::string text_;
};

// A fault that names no file: the message is the whole text.
inline Fault fault_of(std::string message, Reach reach = Reach::import) {
  return Fault(common::plain(std::move(message)), reach);
}

// where, saying message.
inline common::Error with_message(common::Error where, std::string message) {
  where.message = std::move(message);
  return where;
}

class Input {
 public:
  virtual ~Input() = default;
  // Up to n bytes; 0 only at the end.
  virtual size_t read(uint8_t* buf, size_t n) = 0;
  // Where byte pos of this input lies in the file on disk, for messages;
  // -1 when nowhere (inside compressed data).
  virtual int64_t file_offset(int64_t) const { return -1; }
  // For a byte with no place of its own: where the compressed unit holding
  // it (a gzip member) starts in the file, and its offset in the unit's
  // uncompressed bytes (in *into); -1 when there is none.
  virtual int64_t unit_offset(int64_t, int64_t* /*into*/) const { return -1; }
  // Moves to a position of this input (as read counts them); false when it cannot.
  virtual bool seek(int64_t) { return false; }
};

class MemoryInput : public Input {
 public:
  MemoryInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(uint8_t* buf, size_t n) override;
  int64_t file_offset(int64_t pos) const override { return pos; }
  bool seek(int64_t pos) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A file, or the range [start, start + length) of it.
class FileInput : public Input {
 public:
  FileInput(const std::string& path, int64_t start = 0, int64_t length = -1);
  ~FileInput() override;
  size_t read(uint8_t* buf, size_t n) override;
  int64_t file_offset(int64_t pos) const override { return start_ + pos; }
  bool seek(int64_t pos) override;
  int64_t size() const { return length_; }
  int64_t position() const { return pos_; }

 private:
  std::string path_;
  common::File file_;
  int64_t start_, length_, pos_ = 0;
};

// gzip (any number of members one after another) or raw deflate (one
// stream, as ZIP stores it) over another input.
class InflateInput : public Input {
 public:
  enum Format { GZIP, RAW };
  // where names the file for faults (its offset and record are filled in).
  InflateInput(std::unique_ptr<Input> inner, Format format, common::Error where);
  ~InflateInput() override;
  size_t read(uint8_t* buf, size_t n) override;
  // A gzip member's first byte lies where the member starts; the rest have no place.
  int64_t file_offset(int64_t pos) const override;
  int64_t unit_offset(int64_t pos, int64_t* into) const override;
  // After a fault of Reach::record: goes on at the next gzip member after the
  // damaged one; false when there is none (or the inner input cannot seek).
  bool resync();

 private:
  struct State;
  void start_member(int64_t inner_at);
  // A fault in the member being read, placed at its start.
  common::Error member_fault(const std::string& why) const;
  std::unique_ptr<Input> inner_;
  std::unique_ptr<State> z_;
  Format format_;
  common::Error where_;  // the file, for faults
  std::vector<uint8_t> in_;
  int64_t inner_read_ = 0;  // inner bytes read
  int64_t consumed_ = 0;    // inner bytes of this member taken by the inflater
  int64_t member_start_ = 0;  // in the inner input
  int64_t out_ = 0;           // bytes given
  // (output offset, inner offset) where recent members start, for file_offset.
  std::vector<std::pair<int64_t, int64_t>> members_;
  bool done_ = false;
};

// Buffered reading with the stream offset of every byte.
class Reader {
 public:
  explicit Reader(Input* input) : input_(input), buf_(1 << 16) {}
  int64_t offset() const { return offset_; }
  Input* input() const { return input_; }
  // A line without its CR LF or LF; false when the stream ends before a
  // line feed (out then holds what there was), or when the line is longer
  // than limit (*too_long then set).
  bool line(std::string* out, size_t limit, bool* too_long);
  // The same, a longer line a fault of Reach::record at where's file, with
  // the line's place.
  bool line(std::string* out, size_t limit, const common::Error& where);
  // Where byte pos of the stream lies: in the file when it has a place
  // there, else in the gzip member holding it, else counted in the
  // uncompressed stream.
  common::Error place(const common::Error& where, int64_t pos) const;
  // Like line, but keeps at most keep bytes of a longer line and never throws
  // for its length (for scanning damaged data).
  bool scan_line(std::string* out, size_t keep);
  // -1 at the end.
  int peek();
  // Up to n raw bytes; 0 only at the end.
  size_t read(uint8_t* buf, size_t n);
  // At least min(n, what is left) bytes ahead, without taking them (n at most
  // the buffer's size); returns how many are there.
  size_t look(const uint8_t** p, size_t n);
  // Whether the last whole line ended in a bare LF rather than CR LF.
  bool bare_lf() const { return bare_lf_; }
  // Forgets buffered bytes (after the input moved under it); the offset
  // goes on past them, as the input counts what it gave.
  void reset() {
    offset_ += int64_t(end_ - pos_);
    pos_ = end_ = 0;
  }

 private:
  // One line; a longer line than keep sets *too_long when given, else is
  // cut to keep bytes.
  bool take_line(std::string* out, size_t keep, bool* too_long);
  bool fill();
  Input* input_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0;
  int64_t offset_ = 0;
  bool bare_lf_ = false;
};

// The next n bytes of a reader (a record's block).
class BlockInput : public Input {
 public:
  void start(Reader* reader, uint64_t n) { reader_ = reader, left_ = n; }
  size_t read(uint8_t* buf, size_t n) override;
  uint64_t left() const { return left_; }
  // Reads the rest; false when the stream ends first.
  bool drain();

 private:
  Reader* reader_ = nullptr;
  uint64_t left_ = 0;
};

// What a reader has left, as an input.
class ReaderInput : public Input {
 public:
  explicit ReaderInput(Reader* reader) : reader_(reader) {}
  size_t read(uint8_t* buf, size_t n) override { return reader_->read(buf, n); }

 private:
  Reader* reader_;
};

}  // namespace capture
