#include "import/json_spill.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "common/paths.h"
#include "common/utf.h"

namespace capture {

namespace {

// Longer numbers and deeper nesting are refused rather than held: a parser
// keeps a number's text whole and a mark for every open container.
constexpr size_t kMaxNumber = 1 << 12;
constexpr size_t kMaxDepth = 1 << 12;

const char kMarker[] = "\\u0001spill:";  // as written in the text
const char kMarkerValue[] = "\x01spill:";  // as a parser gives it
// A number too large for any type (1e400) stands as this string, so that
// the parser goes on and only the value holding it is refused.
const char kHugeMarker[] = "\\u0001huge:";
const char kHugeValue[] = "\x01huge:";
// Likewise a string that is not valid JSON text (a bad escape, UTF-8 or a
// control character).
const char kBadMarker[] = "\\u0001bad:";
const char kBadValue[] = "\x01" "bad:";

// The offset a marker of that kind carries, or -1.
int64_t marker_offset(const std::string& s, const char* value) {
  const size_t n = std::strlen(value);
  if (s.size() <= n || s.size() > n + 19 || s.compare(0, n, value) != 0 ||
      s.find_first_not_of("0123456789", n) != std::string::npos)
    return -1;
  return int64_t(std::stoull(s.substr(n)));
}

void remove_file(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(common::fs_path(path), ec);
}

}  // namespace

// A string's text after its opening quote to its value, checked as a strict
// JSON parser checks it (escapes, UTF-16 surrogate pairs, well-formed UTF-8,
// no control characters); faults name the offending byte.
class JsonSpill::Unescape {
 public:
  // Without a file it only checks.
  Unescape(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {
    if (file_) buf_.reserve(kBuf + 8);
  }
  bool done() const { return state_ == DONE; }
  // Whether the byte it last took (or refused) follows a backslash.
  bool escaping() const { return state_ == ESCAPE || state_ == HIGH_ESCAPE; }
  uint64_t size() const { return size_; }

  // Takes up to n bytes at input offset `at`; stops after the closing quote.
  size_t feed(const uint8_t* p, size_t n, int64_t at) {
    size_t i = 0;
    while (i < n && state_ != DONE) {
      if (state_ == NORMAL) {
        // Plain characters, the bulk of any text, in one run.
        size_t run = i;
        while (run < n && p[run] >= 0x20 && p[run] < 0x80 && p[run] != '"' && p[run] != '\\') ++run;
        buf_.append(reinterpret_cast<const char*>(p + i), run - i);
        i = run;
        if (buf_.size() >= kBuf) flush();
        if (i == n) break;
      }
      step(p[i], at + int64_t(i));
      ++i;
    }
    if (buf_.size() >= kBuf) flush();
    return i;
  }

  void flush() {
    if (!file_) {  // only checking
      size_ += buf_.size();
      buf_.clear();
      return;
    }
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size())
      throw Fault(common::Error{path_, 0, -1, "write error (disk full?)"});
    size_ += buf_.size();
    buf_.clear();
  }

 private:
  enum State { NORMAL, UTF8, ESCAPE, HEX, HIGH, HIGH_ESCAPE, DONE };
  static constexpr size_t kBuf = 1 << 16;

  void step(uint8_t c, int64_t at) {
    switch (state_) {
      case NORMAL:
        if (c == '"') state_ = DONE;
        else if (c == '\\') state_ = ESCAPE;
        else if (c < 0x20) throw json_fault(at);
        else if (c < 0x80) buf_.push_back(char(c));
        else lead(c, at);
        return;
      case UTF8:
        if (c < lo_ || c > hi_) throw json_fault(at);
        buf_.push_back(char(c));
        lo_ = 0x80, hi_ = 0xBF;
        if (--need_ == 0) state_ = NORMAL;
        return;
      case ESCAPE: {
        const char* from = "\"\\/bfnrt";
        const char* to = "\"\\/\b\f\n\r\t";
        const char* k = c ? std::strchr(from, c) : nullptr;
        if (c == 'u') {
          state_ = HEX, digits_ = 0, unit_ = 0;
        } else if (k) {
          buf_.push_back(to[k - from]);
          state_ = NORMAL;
        } else {
          throw json_fault(at);
        }
        return;
      }
      case HEX: {
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) throw json_fault(at);
        unit_ = unit_ << 4 | uint32_t(v);
        if (++digits_ == 4) unit(at);
        return;
      }
      case HIGH:
        if (c != '\\') throw json_fault(at);
        state_ = HIGH_ESCAPE;
        return;
      case HIGH_ESCAPE:
        if (c != 'u') throw json_fault(at);
        state_ = HEX, digits_ = 0, unit_ = 0;
        return;
      case DONE:
        return;
    }
  }

  void lead(uint8_t c, int64_t at) {
    lo_ = 0x80, hi_ = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need_ = 1;
    else if (c >= 0xE0 && c <= 0xEF) need_ = 2, lo_ = c == 0xE0 ? 0xA0 : 0x80, hi_ = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) need_ = 3, lo_ = c == 0xF0 ? 0x90 : 0x80, hi_ = c == 0xF4 ? 0x8F : 0xBF;
    else throw json_fault(at);
    buf_.push_back(char(c));
    state_ = UTF8;
  }

  // A \uXXXX unit complete, its last digit at `at`.
  void unit(int64_t at) {
    std::u16string units(1, char16_t(unit_));
    if (high_) {
      if (unit_ < 0xDC00 || unit_ > 0xDFFF) throw json_fault(at);
      units.insert(units.begin(), char16_t(high_));
      high_ = 0;
    } else if (unit_ >= 0xD800 && unit_ <= 0xDBFF) {
      high_ = unit_;
      state_ = HIGH;
      return;
    } else if (unit_ >= 0xDC00 && unit_ <= 0xDFFF) {
      throw json_fault(at);
    }
    buf_ += common::utf16_to_utf8(units);
    state_ = NORMAL;
  }

  std::FILE* file_;
  std::string path_;
  std::string buf_;
  uint64_t size_ = 0;
  State state_ = NORMAL;
  int need_ = 0, digits_ = 0;
  uint8_t lo_ = 0x80, hi_ = 0xBF;
  uint32_t unit_ = 0, high_ = 0;
};

JsonSpill::JsonSpill(Input* input, std::string dir, size_t threshold)
    : input_(input), dir_(std::move(dir)), threshold_(threshold), in_(1 << 16) {}

JsonSpill::~JsonSpill() {
  if (file_) {
    file_.reset();
    remove_file(spill_path_);
  }
  for (const auto& s : spills_) remove_file(s.second.path);
}

const JsonSpill::Spill* JsonSpill::spill(const std::string& s) const {
  const size_t n = sizeof kMarkerValue - 1;
  if (s.size() <= n || s.compare(0, n, kMarkerValue) != 0 ||
      s.find_first_not_of("0123456789", n) != std::string::npos || s.size() > n + 19)
    return nullptr;
  auto it = spills_.find(std::stoull(s.substr(n)));
  return it == spills_.end() ? nullptr : &it->second;
}

void JsonSpill::release(const std::string& marker) {
  if (const Spill* s = spill(marker)) {
    remove_file(s->path);
    spills_.erase(std::stoull(marker.substr(sizeof kMarkerValue - 1)));
  }
}

int64_t JsonSpill::input_offset(uint64_t filtered) const {
  auto it = marks_.end();
  while (it != marks_.begin() && std::prev(it)->first > filtered) --it;
  if (it == marks_.begin()) return int64_t(filtered);
  --it;
  return it->second + int64_t(filtered - it->first);
}

bool JsonSpill::refill() {
  in_pos_ = 0;
  in_end_ = input_->read(in_.data(), in_.size());
  return in_end_ > 0;
}

void JsonSpill::fill() {
  out_total_ += out_.size();
  out_.clear();
  out_pos_ = 0;
  for (;;) {
    if (mode_ == STRING && pending_.size() > threshold_) {
      // What came before goes to the parser first, so that its faults are
      // found in the order of the text.
      if (!out_.empty()) return;
      start_spill();
    }
    if (out_.size() >= 1 << 14) return;
    if (in_pos_ == in_end_ && !refill()) {
      if (mode_ == SPILLING || mode_ == BAD) throw json_fault(in_offset_);  // no closing quote
      end_number();
      if (mode_ == STRING) {
        out_ += '"';
        out_ += pending_;
        pending_.clear();
        mode_ = OUTSIDE;
      }
      return;
    }
    if (mode_ == SPILLING) {
      try {
        size_t n = unescape_->feed(&in_[in_pos_], in_end_ - in_pos_, in_offset_);
        in_pos_ += n;
        in_offset_ += int64_t(n);
        if (unescape_->done()) end_spill();
      } catch (const Fault& f) {
        if (f.reach != Reach::file) throw;
        // The offending byte is read again as part of the string's rest.
        const size_t k = size_t(f.error.offset - in_offset_);
        in_pos_ += k;
        in_offset_ += int64_t(k);
        escaped_ = unescape_->escaping();
        drop_spill(f.error.offset);
      }
    } else if (mode_ == BAD) {
      skip_bad_string();
    } else if (mode_ == OUTSIDE) {
      if (!outside()) return;
    } else {
      in_string();
    }
  }
}

// Text outside strings, up to the next string; false when what is out must
// go to the parser before a fault is thrown.
bool JsonSpill::outside() {
  while (in_pos_ < in_end_ && mode_ == OUTSIDE) {
    uint8_t c = in_[in_pos_];
    const bool number = c && ((c >= '0' && c <= '9') || std::strchr("+-.eE", c));
    if (number && (!number_.empty() || c == '-' || (c >= '0' && c <= '9'))) {
      if (number_.size() >= kMaxNumber) {
        if (!out_.empty()) return false;
        throw json_fault(in_offset_, "a number of more than 4096 characters");
      }
      number_ += char(c);
    } else {
      end_number();
      if (c == '"') {
        mode_ = STRING;
        escaped_ = false;
        string_start_ = in_offset_;
      } else {
        if (c == '[' || c == '{') ++depth_;
        if ((c == ']' || c == '}') && depth_) --depth_;
        if (depth_ > kMaxDepth) {
          if (!out_.empty()) return false;
          throw json_fault(in_offset_, "nested more than 4096 deep");
        }
        out_ += char(c);
      }
    }
    ++in_pos_;
    ++in_offset_;
  }
  return true;
}

void JsonSpill::end_number() {
  if (number_.empty()) return;
  if (std::isinf(std::strtod(number_.c_str(), nullptr))) {
    const int64_t start = in_offset_ - int64_t(number_.size());
    std::string marker = std::string("\"") + kHugeMarker + std::to_string(start) + "\"";
    marks_.emplace_back(out_total_ + out_.size() + marker.size() - 1, in_offset_ - 1);
    out_ += marker;
  } else {
    out_ += number_;
  }
  number_.clear();
}

bool JsonSpill::fault(const std::string& s, common::Error* error) const {
  int64_t at = marker_offset(s, kHugeValue);
  if (at >= 0) error->message = "a number is too large for any type";
  else if ((at = marker_offset(s, kBadValue)) >= 0)
    error->message = "a string is not valid JSON text (a bad escape, UTF-8 or control character)";
  error->offset = at;
  return at >= 0;
}

void JsonSpill::end_bad_string() {
  std::string marker = std::string("\"") + kBadMarker + std::to_string(bad_at_) + "\"";
  marks_.emplace_back(out_total_ + out_.size() + marker.size() - 1, in_offset_ - 1);
  out_ += marker;
  mode_ = OUTSIDE;
}

// The rest of a string found bad, to its closing quote.
void JsonSpill::skip_bad_string() {
  while (in_pos_ < in_end_ && mode_ == BAD) {
    uint8_t c = in_[in_pos_++];
    ++in_offset_;
    if (escaped_) escaped_ = false;
    else if (c == '\\') escaped_ = true;
    else if (c == '"') end_bad_string();
  }
}

// A string's text, held until it ends or grows past the threshold.
void JsonSpill::in_string() {
  while (in_pos_ < in_end_ && mode_ == STRING && pending_.size() <= threshold_) {
    uint8_t c = in_[in_pos_++];
    ++in_offset_;
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      Unescape check(nullptr, "");
      try {
        pending_ += '"';
        check.feed(reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size(), string_start_ + 1);
        pending_.pop_back();
        out_ += '"';
        out_ += pending_;
        out_ += '"';
        mode_ = OUTSIDE;
      } catch (const Fault& f) {
        if (f.reach != Reach::file) throw;
        bad_at_ = f.error.offset;
        end_bad_string();
      }
      pending_.clear();
      break;
    }
    pending_ += char(c);
  }
}

void JsonSpill::start_spill() {
  spill_path_ = common::utf8_path(common::fs_path(dir_) / ("json-string-" + std::to_string(++serial_) + ".tmp"));
  file_ = common::open_file(spill_path_, "wb");
  if (!file_) throw Fault(common::errno_error(spill_path_));
  unescape_.reset(new Unescape(file_.get(), spill_path_));
  mode_ = SPILLING;
  try {
    unescape_->feed(reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size(), string_start_ + 1);
  } catch (const Fault& f) {
    if (f.reach != Reach::file) throw;
    drop_spill(f.error.offset);  // the string's rest is next in the input; escaped_ tells where it stands
  }
  pending_.clear();
}

void JsonSpill::drop_spill(int64_t fault_at) {
  unescape_.reset();
  file_.reset();
  remove_file(spill_path_);
  bad_at_ = fault_at;
  mode_ = BAD;
}

void JsonSpill::end_spill() {
  unescape_->flush();
  if (!file_.close()) throw Fault(common::Error{spill_path_, 0, -1, "write error (disk full?)"});
  spills_[serial_] = Spill{spill_path_, unescape_->size()};
  unescape_.reset();
  std::string marker = std::string("\"") + kMarker + std::to_string(serial_) + "\"";
  marks_.emplace_back(out_total_ + out_.size() + marker.size() - 1, in_offset_ - 1);
  out_ += marker;
  mode_ = OUTSIDE;
}

}  // namespace capture
