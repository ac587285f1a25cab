// JSON text read as a stream with every string longer than a threshold moved
// out: its value (unescaped, checked as a JSON parser checks it) goes to a
// file of its own, and a short marker string takes its place in the text, so
// a parser reading the text never holds a long string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/file.h"
#include "import/stream.h"

namespace capture {

// A fault in the JSON text at a byte of the input (its offset; its message
// empty when the text is simply not valid JSON): nothing after it is read.
inline Fault json_fault(int64_t at, std::string why = "") {
  return Fault(common::Error{"", 0, at, std::move(why)}, Reach::file);
}

class JsonSpill {
 public:
  struct Spill {
    std::string path;
    uint64_t size = 0;  // bytes of the value
  };

  // Spill files are written in dir and removed unless taken.
  JsonSpill(Input* input, std::string dir, size_t threshold);
  ~JsonSpill();
  JsonSpill(const JsonSpill&) = delete;
  JsonSpill& operator=(const JsonSpill&) = delete;

  // The filtered text, a byte at a time. Throws json_fault().
  bool at_end() {
    if (out_pos_ == out_.size()) fill();
    return out_pos_ == out_.size();
  }
  char peek() { return out_[out_pos_]; }
  void next() { ++out_pos_; }

  // The filtered text as an input iterator (for a parser that reads from
  // iterators); the default one is the end.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;
    Iterator() = default;
    explicit Iterator(JsonSpill* spill) : spill_(spill) {}
    char operator*() const { return spill_->peek(); }
    Iterator& operator++() {
      spill_->next();
      return *this;
    }
    bool operator==(const Iterator& o) const { return ended() == o.ended(); }
    bool operator!=(const Iterator& o) const { return ended() != o.ended(); }

   private:
    bool ended() const { return !spill_ || spill_->at_end(); }
    JsonSpill* spill_ = nullptr;
  };

  // The spill a string of the filtered text stands for, or null.
  const Spill* spill(const std::string& s) const;
  // Whether a string of the filtered text stands for a fault of the input
  // that the parser is not to see (a number too large for any type, a string
  // that is not valid JSON text): its offset and why, in *error.
  bool fault(const std::string& s, common::Error* error) const;
  // Removes a spill's file (if still there) and forgets it.
  void release(const std::string& marker);
  // Where a byte of the filtered text came from in the input.
  int64_t input_offset(uint64_t filtered) const;
  // Input bytes read so far.
  int64_t consumed() const { return in_offset_; }

 private:
  class Unescape;
  void fill();
  bool outside();
  void in_string();
  bool refill();
  void outside(uint8_t c);
  void end_number();
  void end_bad_string();
  void skip_bad_string();
  void drop_spill(int64_t fault_at);
  void start_spill();
  void end_spill();

  Input* input_;
  std::string dir_;
  size_t threshold_;
  std::vector<uint8_t> in_;
  size_t in_pos_ = 0, in_end_ = 0;
  int64_t in_offset_ = 0;  // input offset of in_[in_pos_]
  std::string out_;
  size_t out_pos_ = 0;
  uint64_t out_total_ = 0;  // filtered bytes before out_
  enum { OUTSIDE, STRING, SPILLING, BAD } mode_ = OUTSIDE;
  int64_t bad_at_ = 0;  // where the bad string being skipped went wrong
  std::string pending_;  // a string's raw text, while it may still be short
  bool escaped_ = false;
  int64_t string_start_ = 0;
  std::string number_;  // a number's text, until it ends
  size_t depth_ = 0;
  std::unique_ptr<Unescape> unescape_;
  common::File file_;  // the spill being written
  std::string spill_path_;
  uint64_t serial_ = 0;
  std::map<uint64_t, Spill> spills_;
  // (filtered offset of a marker's closing quote, input offset of the
  // string's closing quote), one a spill.
  std::vector<std::pair<uint64_t, int64_t>> marks_;
};

}  // namespace capture
