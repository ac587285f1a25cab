// Byte streams for reading captures: files and ranges of files, gzip and raw
// deflate over another stream, and a buffered reader with lines and offsets.
// Failures throw ImportError whose text already names the file and offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file.h"

namespace capture {

struct ImportError : std::runtime_error {
  using std::runtime_error::runtime_error;
  explicit ImportError(const common::Error& error) : std::runtime_error(error.text()) {}
};

// A fault in the capture's own bytes (framing, compression, a cut end), after
// which reading may go on at the next record.
struct Damaged : ImportError {
  using ImportError::ImportError;
};

// A line longer than its reader's limit.
struct LongLine : Damaged {
  using Damaged::Damaged;
};

class Input {
 public:
  virtual ~Input() = default;
  // Up to n bytes; 0 only at the end.
  virtual size_t read(uint8_t* buf, size_t n) = 0;
  // Where a fault just read lies, for messages: an offset in the file on disk.
  virtual int64_t source_offset() const = 0;
  // Moves to an absolute position of this input; false when it cannot.
  virtual bool seek(int64_t) { return false; }
};

class MemoryInput : public Input {
 public:
  MemoryInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(uint8_t* buf, size_t n) override;
  int64_t source_offset() const override { return int64_t(pos_); }
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
  int64_t source_offset() const override { return start_ + pos_; }
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
  InflateInput(std::unique_ptr<Input> inner, Format format, std::string name);
  ~InflateInput() override;
  size_t read(uint8_t* buf, size_t n) override;
  // The start of the gzip member being read, in the inner input.
  int64_t source_offset() const override { return member_start_; }
  // After a Damaged fault: goes on at the next gzip member after the damaged
  // one; false when there is none (or the inner input cannot seek).
  bool resync();

 private:
  struct State;
  std::unique_ptr<Input> inner_;
  std::unique_ptr<State> z_;
  Format format_;
  std::string name_;
  std::vector<uint8_t> in_;
  int64_t consumed_ = 0;  // inner bytes taken by the inflater
  int64_t member_start_ = 0;
  bool done_ = false;
};

// Buffered reading with the stream offset of every byte.
class Reader {
 public:
  explicit Reader(Input* input) : input_(input), buf_(1 << 16) {}
  int64_t offset() const { return offset_; }
  Input* input() const { return input_; }
  // A line without its CR LF or LF; false when the stream ends before a
  // line feed (out then holds what there was). A longer line than limit throws.
  bool line(std::string* out, size_t limit, const std::string& what);
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
  // Forgets buffered bytes (after the input moved under it).
  void reset() { pos_ = end_ = 0; }

 private:
  // One line; a longer line than keep throws when what names the stream,
  // else is cut to keep bytes.
  bool take_line(std::string* out, size_t keep, const std::string* what);
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
  int64_t source_offset() const override { return reader_->input()->source_offset(); }
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
  int64_t source_offset() const override { return reader_->input()->source_offset(); }

 private:
  Reader* reader_;
};

}  // namespace capture
