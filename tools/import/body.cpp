#include "import/body.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <vector>

#ifdef TESSIVO_HAVE_BROTLI
#include <brotli/decode.h>
#endif

#include "common/utf.h"

namespace capture {

using common::ascii_lower;

namespace {

constexpr size_t LINE_LIMIT = 1 << 16;


std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool parse_number(const std::string& s, int base, uint64_t* out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    char l = char(c | 0x20);
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && l >= 'a' && l <= 'f') d = l - 'a' + 10;
    else return false;
    if (v > (UINT64_MAX >> 5)) return false;
    v = v * uint64_t(base) + uint64_t(d);
  }
  *out = v;
  return true;
}

std::vector<std::string> tokens(const std::string& list) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= list.size()) {
    size_t comma = list.find(',', i);
    if (comma == std::string::npos) comma = list.size();
    std::string t = ascii_lower(trim(list.substr(i, comma - i)));
    if (!t.empty()) out.push_back(t);
    i = comma + 1;
  }
  return out;
}

// A chunk-size line: hex digits, then optional extensions.
bool chunk_size(std::string line, uint64_t* size) {
  size_t semi = line.find(';');
  if (semi != std::string::npos) line.resize(semi);
  return parse_number(trim(line), 16, size);
}

// Whether the body starts like chunks: a size line, then (unless the last) data.
bool looks_chunked(Reader* r) {
  const uint8_t* p;
  size_t n = r->look(&p, 64);
  const void* nl = std::memchr(p, '\n', n);
  uint64_t size;
  return nl && chunk_size(std::string(reinterpret_cast<const char*>(p),
                                      size_t(static_cast<const uint8_t*>(nl) - p)), &size);
}

class DechunkInput : public Input {
 public:
  explicit DechunkInput(Input* inner) : reader_(inner) {}
  size_t read(uint8_t* buf, size_t n) override {
    while (left_ == 0) {
      if (done_) return 0;
      if (started_) {
        // The CR LF after a chunk's data.
        if (reader_.peek() == '\r') reader_.read(buf, 1);
        if (reader_.peek() == '\n') reader_.read(buf, 1);
      }
      started_ = true;
      std::string line;
      bool too_long;
      const bool whole = reader_.line(&line, 4096, &too_long);
      if (!whole || !chunk_size(line, &left_)) {
        done_ = true;  // cut short: no last chunk
        return 0;
      }
      if (left_ == 0) done_ = complete = true;
    }
    size_t got = reader_.read(buf, n < left_ ? n : size_t(left_));
    if (!got) {
      done_ = true;
      left_ = 0;
    }
    left_ -= got;
    return got;
  }
  bool complete = false;

 private:
  Reader reader_;
  uint64_t left_ = 0;
  bool done_ = false, started_ = false;
};

// One content coding undone as a stream.
class DecodeInput : public Input {
 public:
  DecodeInput(Input* inner, const std::string& coding) : inner_(inner), in_(1 << 15) {
    if (coding == "gzip" || coding == "x-gzip") kind_ = ZLIB, bits_ = 16 + MAX_WBITS;
    else if (coding == "deflate") kind_ = ZLIB, bits_ = 0;  // told by the first bytes
#ifdef TESSIVO_HAVE_BROTLI
    else if (coding == "br") kind_ = BROTLI;
#endif
    else throw undecodable("content coding \"" + coding + "\" not supported by this build");
  }
  ~DecodeInput() override {
    if (zinit_) inflateEnd(&z_);
#ifdef TESSIVO_HAVE_BROTLI
    if (br_) BrotliDecoderDestroyInstance(br_);
#endif
  }
  size_t read(uint8_t* buf, size_t n) override {
    while (!done_) {
      if (avail_ == 0) {
        avail_ = inner_->read(in_.data(), in_.size());
        next_ = in_.data();
        if (avail_ == 0) {
          done_ = true;  // cut short
          return 0;
        }
      }
      size_t out = kind_ == ZLIB ? inflate_some(buf, n) : brotli_some(buf, n);
      if (out) return out;
    }
    return 0;
  }
  bool complete = false;

 private:
  size_t inflate_some(uint8_t* buf, size_t n) {
    if (!zinit_) {
      if (bits_ == 0) {
        // The zlib wrapper the standard names, or raw deflate as many servers send.
        bool wrapped = avail_ >= 2 && (next_[0] & 0x0F) == 8 && (next_[0] >> 4) <= 7 &&
                       ((next_[0] << 8) | next_[1]) % 31 == 0 && !(next_[1] & 0x20);
        bits_ = wrapped ? MAX_WBITS : -MAX_WBITS;
      }
      if (inflateInit2(&z_, bits_) != Z_OK) throw undecodable("out of memory");
      zinit_ = true;
    }
    z_.next_in = const_cast<uint8_t*>(next_);
    z_.avail_in = uInt(avail_);
    z_.next_out = buf;
    z_.avail_out = uInt(n);
    int rc = inflate(&z_, Z_NO_FLUSH);
    next_ = z_.next_in;
    avail_ = z_.avail_in;
    if (rc == Z_STREAM_END) done_ = complete = true;
    else if (rc != Z_OK && rc != Z_BUF_ERROR)
      throw undecodable(std::string("damaged compressed body (") + (z_.msg ? z_.msg : "zlib error") + ")");
    return n - z_.avail_out;
  }
  size_t brotli_some(uint8_t* buf, size_t n) {
#ifdef TESSIVO_HAVE_BROTLI
    if (!br_ && !(br_ = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)))
      throw undecodable("out of memory");
    size_t avail_out = n;
    uint8_t* next_out = buf;
    BrotliDecoderResult r = BrotliDecoderDecompressStream(br_, &avail_, &next_, &avail_out, &next_out, nullptr);
    if (r == BROTLI_DECODER_RESULT_ERROR) throw undecodable("damaged brotli body");
    if (r == BROTLI_DECODER_RESULT_SUCCESS) done_ = complete = true;
    return n - avail_out;
#else
    (void)buf, (void)n;
    return 0;
#endif
  }

  enum Kind { ZLIB, BROTLI };
  Input* inner_;
  Kind kind_ = ZLIB;
  int bits_ = 0;
  std::vector<uint8_t> in_;
  const uint8_t* next_ = nullptr;
  size_t avail_ = 0;
  bool done_ = false, zinit_ = false;
  z_stream z_{};
#ifdef TESSIVO_HAVE_BROTLI
  BrotliDecoderState* br_ = nullptr;
#endif
};

}  // namespace

size_t HashInput::read(uint8_t* buf, size_t n) {
  size_t got = inner_->read(buf, n);
  hasher_.update(buf, got);
  count_ += got;
  return got;
}

void HashInput::drain() {
  uint8_t buf[1 << 14];
  while (read(buf, sizeof buf)) {
  }
}

std::string parse_http_head(Reader* reader, HttpMessage* m) {
  std::string line;
  m->headers.clear();
  bool too_long;
  bool more = reader->line(&line, LINE_LIMIT, &too_long);
  if (too_long) return "bad HTTP start line";
  if (!more && line.empty()) return "no HTTP start line";
  m->lenient = 0;
  // Some writers give the version in lower case ("http/1.0 200 OK").
  if (ascii_lower(line.substr(0, 5)) == "http/") {
    m->request = false;
    size_t sp = line.find(' ');
    uint64_t status;
    if (sp == std::string::npos || !parse_number(line.substr(sp + 1, 3), 10, &status) ||
        (line.size() > sp + 4 && line[sp + 4] != ' '))
      return "bad HTTP status line";
    m->status = int(status);
    if (line.compare(0, 5, "HTTP/") != 0) m->lenient |= kLowerVersion;
    if (line.size() == sp + 4) m->lenient |= kNoReason;
  } else {
    m->request = true;
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos || ascii_lower(line.substr(b + 1, 5)) != "http/") return "bad HTTP request line";
    m->method = line.substr(0, a);
    m->target = line.substr(a + 1, b - a - 1);
    if (line.compare(b + 1, 5, "HTTP/") != 0) m->lenient |= kLowerVersion;
  }
  size_t total = 0;
  bool ended = false;
  if (more && reader->bare_lf()) m->lenient |= kBareLf;
  while (more) {
    more = reader->line(&line, LINE_LIMIT, &too_long);
    if (too_long) return "bad HTTP header line";
    if (more && reader->bare_lf()) m->lenient |= kBareLf;
    if (more && line.empty()) {
      ended = true;
      break;
    }
    if (line.empty()) break;
    total += line.size();
    if (total > (1 << 20) || !add_header_line(line, &m->headers)) return "bad HTTP header line";
  }
  if (!ended) m->lenient |= kHeadCut;
  return "";
}

BodyResult decode_stream(const Headers& headers, Reader* body,
                         const std::function<void(const uint8_t*, size_t)>& sink, uint64_t limit,
                         DigestAlgo digests) {
  BodyResult r;
  std::vector<std::string> transfer = tokens(header(headers, "Transfer-Encoding"));
  std::vector<std::string> content = tokens(header(headers, "Content-Encoding"));
  bool chunked = !transfer.empty() && transfer.back() == "chunked";
  if (chunked) {
    transfer.pop_back();
    // Some writers store the body de-chunked and keep the header.
    if (!looks_chunked(body)) chunked = false, r.stored_dechunked = true;
  }
  ReaderInput rest(body);
  HashInput raw(&rest, digests);
  std::unique_ptr<DechunkInput> dechunk;
  std::unique_ptr<HashInput> dechunked;
  Input* top = &raw;
  if (chunked) {
    dechunk.reset(new DechunkInput(&raw));
    dechunked.reset(new HashInput(dechunk.get(), digests));
    top = dechunked.get();
  }
  // Codings left in Transfer-Encoding apply like content codings, after them.
  content.insert(content.end(), transfer.begin(), transfer.end());
  std::vector<std::unique_ptr<DecodeInput>> decoders;
  try {
    for (size_t k = content.size(); k-- > 0;) {
      if (content[k] == "identity") continue;
      decoders.emplace_back(new DecodeInput(top, content[k]));
      top = decoders.back().get();
    }
    std::vector<uint8_t> buf(1 << 16);
    while (size_t n = top->read(buf.data(), buf.size())) {
      r.size += n;
      if (r.size > limit) throw undecodable("decoded body too large");
      sink(buf.data(), n);
    }
  } catch (const Fault& f) {
    if (f.reach != Reach::body) throw;
    r.error = f.error;
  }
  raw.drain();
  r.raw_size = raw.count();
  r.raw_digest = raw.digest();
  if (dechunked) {
    dechunked->drain();
    r.dechunked_digest = dechunked->digest();
    r.complete = dechunk->complete;
  }
  for (const auto& d : decoders) r.complete = r.complete && d->complete;
  uint64_t declared;
  if (!chunked && !r.stored_dechunked && transfer.empty() &&
      parse_number(header(headers, "Content-Length"), 10, &declared) && declared > r.raw_size)
    r.complete = false;
  return r;
}

}  // namespace capture
