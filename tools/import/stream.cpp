#include "import/stream.h"

#include <zlib.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "common/file.h"

namespace capture {

size_t MemoryInput::read(uint8_t* buf, size_t n) {
  size_t k = size_ - pos_ < n ? size_ - pos_ : n;
  if (k) std::memcpy(buf, data_ + pos_, k);
  pos_ += k;
  return k;
}

bool MemoryInput::seek(int64_t pos) {
  if (pos < 0 || uint64_t(pos) > size_) return false;
  pos_ = size_t(pos);
  return true;
}

FileInput::FileInput(const std::string& path, int64_t start, int64_t length)
    : path_(path), start_(start), length_(length) {
  file_ = common::open_file(path, "rb");
  if (!file_) throw Fault(common::errno_error(path));
  int64_t size = file_size(file_);
  if (size < 0 || !file_seek(file_, start)) throw Fault(common::Error{path, 0, -1, "cannot seek"});
  if (length_ < 0) length_ = size - start;
  if (start + length_ > size)
    throw Fault(common::Error{path, 0, start, std::to_string(length_) + " bytes run past the end of the file"});
}

FileInput::~FileInput() = default;

size_t FileInput::read(uint8_t* buf, size_t n) {
  if (int64_t(n) > length_ - pos_) n = size_t(length_ - pos_);
  size_t got = n ? std::fread(buf, 1, n, file_.get()) : 0;
  if (got < n && std::ferror(file_.get()))
    throw Fault(common::Error{path_, 0, start_ + pos_, "read error"});
  pos_ += int64_t(got);
  return got;
}

bool FileInput::seek(int64_t pos) {
  if (pos < 0 || pos > length_ || !file_seek(file_, start_ + pos)) return false;
  pos_ = pos;
  return true;
}

struct InflateInput::State {
  z_stream s{};
};

InflateInput::InflateInput(std::unique_ptr<Input> inner, Format format, common::Error where)
    : inner_(std::move(inner)), z_(new State), format_(format), where_(std::move(where)), in_(1 << 16) {
  if (inflateInit2(&z_->s, format == GZIP ? 16 + MAX_WBITS : -MAX_WBITS) != Z_OK)
    throw Fault(common::Error{where_.file, 0, -1, "out of memory"});
  start_member(0);
}

InflateInput::~InflateInput() { inflateEnd(&z_->s); }

void InflateInput::start_member(int64_t inner_at) {
  member_start_ = inner_at;
  consumed_ = 0;
  // Only members whose start a reader may still ask for: it holds less
  // than this much not yet given out.
  if (members_.size() > 64 && members_[members_.size() / 2].first + (4 << 20) < out_)
    members_.erase(members_.begin(), members_.begin() + long(members_.size() / 2));
  members_.emplace_back(out_, inner_at);
}

int64_t InflateInput::file_offset(int64_t pos) const {
  int64_t into;
  const int64_t at = unit_offset(pos, &into);
  return into == 0 ? at : -1;
}

int64_t InflateInput::unit_offset(int64_t pos, int64_t* into) const {
  // The last member starting at or before pos: any before it at the same place were empty.
  auto it = std::upper_bound(members_.begin(), members_.end(), pos,
                             [](int64_t p, const std::pair<int64_t, int64_t>& m) { return p < m.first; });
  if (it == members_.begin()) return -1;
  --it;
  *into = pos - it->first;
  return inner_->file_offset(it->second);
}

size_t InflateInput::read(uint8_t* buf, size_t n) {
  z_stream& s = z_->s;
  while (!done_) {
    if (s.avail_in == 0) {
      size_t got = inner_->read(in_.data(), in_.size());
      inner_read_ += int64_t(got);
      if (got == 0) {
        // A clean end falls between members, never inside one.
        if (consumed_ == 0 && format_ == GZIP && s.total_in == 0) {
          done_ = true;
          break;
        }
        throw Fault(member_fault(std::string("compressed data cut short (truncated ") +
                                 (format_ == GZIP ? "gzip member" : "deflate stream") + ")"),
                    Reach::record);
      }
      s.next_in = in_.data();
      s.avail_in = uInt(got);
    }
    s.next_out = buf;
    s.avail_out = uInt(n);
    uInt before = s.avail_in;
    int rc = inflate(&s, Z_NO_FLUSH);
    consumed_ += before - s.avail_in;
    size_t out = n - s.avail_out;
    // Bytes of a call that throws are never given.
    if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && out > 0))
      throw Fault(member_fault(std::string("damaged compressed data (") + (s.msg ? s.msg : "zlib error") + ")"),
                  Reach::record);
    out_ += int64_t(out);
    if (rc == Z_STREAM_END) {
      if (format_ == RAW) {
        done_ = true;
      } else {
        // The next member, if any, starts where this one ended.
        start_member(inner_read_ - int64_t(s.avail_in));
        inflateReset(&s);
        if (s.avail_in == 0) {
          size_t got = inner_->read(in_.data(), in_.size());
          inner_read_ += int64_t(got);
          if (got == 0) done_ = true;
          s.next_in = in_.data();
          s.avail_in = uInt(got);
        }
      }
    }
    if (out > 0) return out;
  }
  return 0;
}

common::Error InflateInput::member_fault(const std::string& why) const {
  common::Error e = where_;
  e.offset = inner_->file_offset(member_start_);
  if (e.offset < 0) e.offset = member_start_, e.within += (e.within.empty() ? "" : ", ") + std::string("uncompressed");
  e.message = why;
  return e;
}

bool InflateInput::resync() {
  if (format_ != GZIP || !inner_->seek(member_start_ + 1)) return false;
  // A member starts with 1F 8B 08 and flags whose top bits are clear.
  uint8_t b[4096];
  int64_t at = member_start_ + 1;
  size_t have = 0;
  for (;;) {
    size_t got = inner_->read(b + have, sizeof b - have);
    have += got;
    if (have < 4) return false;
    for (size_t i = 0; i + 4 <= have; ++i)
      if (b[i] == 0x1f && b[i + 1] == 0x8b && b[i + 2] == 8 && (b[i + 3] & 0xE0) == 0) {
        if (!inner_->seek(at + int64_t(i))) return false;
        inner_read_ = at + int64_t(i);
        start_member(inner_read_);
        inflateReset(&z_->s);
        z_->s.avail_in = 0;
        done_ = false;
        return true;
      }
    if (got == 0) return false;
    std::memmove(b, b + have - 3, 3);
    at += int64_t(have - 3);
    have = 3;
  }
}

bool Reader::fill() {
  if (pos_ < end_) return true;
  // Empty first: a fault thrown by the read must not serve old bytes again.
  pos_ = end_ = 0;
  end_ = input_->read(buf_.data(), buf_.size());
  return end_ > 0;
}

int Reader::peek() { return fill() ? buf_[pos_] : -1; }

bool Reader::line(std::string* out, size_t limit, bool* too_long) {
  *too_long = false;
  return take_line(out, limit, too_long);
}

bool Reader::line(std::string* out, size_t limit, const common::Error& where) {
  const int64_t at = offset_;
  bool too_long;
  const bool whole = line(out, limit, &too_long);
  if (too_long) {
    common::Error e = place(where, at);
    e.message = "line longer than " + std::to_string(limit) + " bytes";
    throw Fault(e, Reach::record);
  }
  return whole;
}

common::Error Reader::place(const common::Error& where, int64_t pos) const {
  common::Error e = where;
  e.offset = input_->file_offset(pos);
  if (e.offset >= 0) return e;
  int64_t into = 0;
  e.offset = input_->unit_offset(pos, &into);
  const std::string sep = e.within.empty() ? "" : ", ";
  if (e.offset >= 0) {
    e.within += sep + "uncompressed byte " + std::to_string(into) + " of the gzip member there";
  } else {
    e.offset = pos;
    e.within += sep + "uncompressed";
  }
  return e;
}

bool Reader::scan_line(std::string* out, size_t keep) { return take_line(out, keep, nullptr); }

bool Reader::take_line(std::string* out, size_t keep, bool* too_long) {
  out->clear();
  while (fill()) {
    const uint8_t* start = buf_.data() + pos_;
    const void* nl = std::memchr(start, '\n', end_ - pos_);
    size_t k = nl ? size_t(static_cast<const uint8_t*>(nl) - start) : end_ - pos_;
    if (too_long && out->size() + k > keep) return *too_long = true, false;
    if (out->size() < keep) out->append(reinterpret_cast<const char*>(start), std::min(k, keep - out->size()));
    pos_ += k;
    offset_ += int64_t(k);
    if (nl) {
      ++pos_;
      ++offset_;
      bare_lf_ = out->empty() || out->back() != '\r';
      if (!bare_lf_) out->pop_back();
      return true;
    }
  }
  return false;
}

size_t Reader::read(uint8_t* buf, size_t n) {
  if (!fill()) return 0;
  size_t k = end_ - pos_ < n ? end_ - pos_ : n;
  std::memcpy(buf, buf_.data() + pos_, k);
  pos_ += k;
  offset_ += int64_t(k);
  return k;
}

size_t Reader::look(const uint8_t** p, size_t n) {
  if (n > buf_.size()) n = buf_.size();
  if (end_ - pos_ < n) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    while (end_ < n) {
      size_t got = input_->read(buf_.data() + end_, buf_.size() - end_);
      if (!got) break;
      end_ += got;
    }
  }
  *p = buf_.data() + pos_;
  return end_ - pos_ < n ? end_ - pos_ : n;
}

size_t BlockInput::read(uint8_t* buf, size_t n) {
  if (n > left_) n = size_t(left_);
  size_t got = n ? reader_->read(buf, n) : 0;
  left_ -= got;
  return got;
}

bool BlockInput::drain() {
  uint8_t buf[1 << 14];
  while (left_ > 0)
    if (!read(buf, sizeof buf)) return false;
  return true;
}

}  // namespace capture
