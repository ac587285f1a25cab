#include "import/warc.h"

#include <zlib.h>

#include <cstring>

#ifdef TESSIVO_HAVE_BROTLI
#include <brotli/decode.h>
#endif

#include "common/utf.h"

namespace capture {

using common::ascii_lower;

namespace {

// WARC headers are few and short; anything larger is not a WARC.
constexpr size_t LINE_LIMIT = 1 << 16;
constexpr size_t HEADER_LIMIT = 1 << 20;

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

bool same(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// One header line, or a folded continuation of the previous one.
bool add_header_line(const std::string& line, Headers* headers) {
  if ((line[0] == ' ' || line[0] == '\t') && !headers->empty()) {
    std::string more = trim(line);
    std::string& value = headers->back().second;
    if (!more.empty()) value += (value.empty() ? "" : " ") + more;
    return true;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  headers->emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  return true;
}

bool parse_size(const std::string& s, int base, uint64_t* out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && lower(c) >= 'a' && lower(c) <= 'f') d = lower(c) - 'a' + 10;
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

// Undoes chunked transfer coding; complete is false when the last chunk is missing.
void dechunk(const uint8_t* p, size_t n, std::vector<uint8_t>* out, bool* complete) {
  size_t i = 0;
  *complete = false;
  while (i < n) {
    const void* nl = std::memchr(p + i, '\n', n - i);
    if (!nl) return;
    size_t e = size_t(static_cast<const uint8_t*>(nl) - p);
    std::string line(reinterpret_cast<const char*>(p + i), e - i);
    size_t semi = line.find(';');
    if (semi != std::string::npos) line.resize(semi);
    uint64_t size;
    if (!parse_size(trim(line), 16, &size)) return;
    i = e + 1;
    if (size == 0) {
      *complete = true;
      return;
    }
    if (size > n - i) {
      out->insert(out->end(), p + i, p + n);
      return;
    }
    out->insert(out->end(), p + i, p + i + size);
    i += size_t(size);
    if (i < n && p[i] == '\r') ++i;
    if (i < n && p[i] == '\n') ++i;
  }
}

std::string inflate_all(int window_bits, std::vector<uint8_t>* data, bool* complete, size_t limit) {
  z_stream s{};
  if (inflateInit2(&s, window_bits) != Z_OK) return "out of memory";
  std::vector<uint8_t> out;
  uint8_t buf[1 << 15];
  s.next_in = data->data();
  s.avail_in = uInt(data->size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
    if (out.size() > limit) rc = Z_MEM_ERROR;
    if (rc == Z_BUF_ERROR && s.avail_in == 0) break;
  }
  inflateEnd(&s);
  if (rc == Z_STREAM_END) {
    data->swap(out);
    return "";
  }
  if (rc == Z_BUF_ERROR) {
    // The stream stopped before its end: keep what there was, as incomplete.
    *complete = false;
    data->swap(out);
    return "";
  }
  if (rc == Z_MEM_ERROR) return "decoded body too large";
  return std::string("damaged compressed body (") + (s.msg ? s.msg : "zlib error") + ")";
}

}  // namespace

std::string header(const Headers& headers, const char* name) {
  for (const auto& h : headers)
    if (same(h.first, name)) return h.second;
  return "";
}

bool has_header(const Headers& headers, const char* name) {
  for (const auto& h : headers)
    if (same(h.first, name)) return true;
  return false;
}

std::string WarcRecord::type() const { return ascii_lower(header(headers, "WARC-Type")); }

std::string WarcRecord::target_uri() const {
  std::string u = header(headers, "WARC-Target-URI");
  if (u.size() >= 2 && u.front() == '<' && u.back() == '>') u = u.substr(1, u.size() - 2);
  return u;
}

bool read_warc_record(Reader* reader, const std::string& name, WarcRecord* record) {
  std::string line;
  // Records are separated by blank lines; tolerate extra ones.
  auto where = [&](int64_t at) { return name + ": at byte " + std::to_string(at) + ": "; };
  bool whole;
  do {
    record->offset = reader->offset();
    whole = reader->line(&line, LINE_LIMIT, name);
    if (!whole && line.empty()) return false;
  } while (line.empty());
  if (!whole && line.compare(0, 5, "WARC/") == 0)
    throw ImportError(where(record->offset) + "the header block has no blank line at its end");
  if (line.compare(0, 5, "WARC/") != 0)
    throw ImportError(where(record->offset) + "not a WARC record (expected \"WARC/1.0\" or \"WARC/1.1\")");
  record->version = line.substr(5);
  record->headers.clear();
  record->block.clear();
  size_t total = 0;
  for (;;) {
    int64_t at = reader->offset();
    if (!reader->line(&line, LINE_LIMIT, name))
      throw ImportError(where(record->offset) + "the header block has no blank line at its end");
    if (line.empty()) break;
    total += line.size();
    if (total > HEADER_LIMIT)
      throw ImportError(where(record->offset) + "header block larger than 1 MiB");
    if (!add_header_line(line, &record->headers))
      throw ImportError(where(at) + "not a header line: \"" + line.substr(0, 60) + "\"");
  }
  uint64_t length;
  if (!parse_size(header(record->headers, "Content-Length"), 10, &length))
    throw ImportError(where(record->offset) + "no valid Content-Length");
  if (length > uint64_t(INT64_MAX / 2))
    throw ImportError(where(record->offset) + "Content-Length out of range");
  if (!reader->bytes(size_t(length), &record->block))
    throw ImportError(where(record->offset) + "the record's " + std::to_string(length) +
                      " bytes run past the end of the file");
  return true;
}

std::string parse_http(const std::vector<uint8_t>& block, HttpMessage* m) {
  size_t i = 0;
  auto next_line = [&](std::string* out) {
    const void* nl = i < block.size() ? std::memchr(block.data() + i, '\n', block.size() - i) : nullptr;
    if (!nl) return false;
    size_t e = size_t(static_cast<const uint8_t*>(nl) - block.data());
    out->assign(reinterpret_cast<const char*>(block.data() + i), e - i);
    if (!out->empty() && out->back() == '\r') out->pop_back();
    i = e + 1;
    return true;
  };
  std::string line;
  if (!next_line(&line)) return "no HTTP start line";
  m->headers.clear();
  if (line.compare(0, 5, "HTTP/") == 0) {
    m->request = false;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 4 > line.size()) return "bad HTTP status line";
    uint64_t status;
    if (!parse_size(line.substr(sp + 1, 3), 10, &status)) return "bad HTTP status line";
    m->status = int(status);
  } else {
    m->request = true;
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos || line.compare(b + 1, 5, "HTTP/") != 0) return "bad HTTP request line";
    m->method = line.substr(0, a);
    m->target = line.substr(a + 1, b - a - 1);
  }
  for (;;) {
    if (!next_line(&line)) return "HTTP header block without its blank line";
    if (line.empty()) break;
    if (!add_header_line(line, &m->headers)) return "bad HTTP header line";
  }
  m->body_offset = i;
  return "";
}

std::string decode_content(const std::string& coding, std::vector<uint8_t>* data, bool* complete,
                           size_t limit) {
  if (coding == "identity") return "";
  if (coding == "gzip" || coding == "x-gzip") return inflate_all(16 + MAX_WBITS, data, complete, limit);
  if (coding == "deflate") {
    // Servers send either the zlib wrapper the standard names or raw deflate.
    std::vector<uint8_t> copy = *data;
    bool c = true;
    if (inflate_all(MAX_WBITS, &copy, &c, limit).empty() && c) {
      data->swap(copy);
      return "";
    }
    return inflate_all(-MAX_WBITS, data, complete, limit);
  }
#ifdef TESSIVO_HAVE_BROTLI
  if (coding == "br") {
    BrotliDecoderState* st = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (!st) return "out of memory";
    std::vector<uint8_t> out;
    uint8_t buf[1 << 15];
    size_t avail_in = data->size();
    const uint8_t* next_in = data->data();
    BrotliDecoderResult r;
    do {
      size_t avail_out = sizeof buf;
      uint8_t* next_out = buf;
      r = BrotliDecoderDecompressStream(st, &avail_in, &next_in, &avail_out, &next_out, nullptr);
      out.insert(out.end(), buf, next_out);
      if (out.size() > limit) r = BROTLI_DECODER_RESULT_ERROR;
    } while (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
    BrotliDecoderDestroyInstance(st);
    if (r == BROTLI_DECODER_RESULT_ERROR) return "damaged brotli body";
    if (r == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) *complete = false;
    data->swap(out);
    return "";
  }
#endif
  return "content coding \"" + coding + "\" not supported by this build";
}

std::string decode_body(const HttpMessage& m, const uint8_t* body, size_t size,
                        std::vector<uint8_t>* out, bool* complete, size_t limit) {
  *complete = true;
  out->clear();
  std::vector<std::string> transfer = tokens(header(m.headers, "Transfer-Encoding"));
  std::vector<std::string> content = tokens(header(m.headers, "Content-Encoding"));
  if (!transfer.empty() && transfer.back() == "chunked") {
    dechunk(body, size, out, complete);
    transfer.pop_back();
  } else {
    out->assign(body, body + size);
    uint64_t declared;
    if (transfer.empty() && parse_size(header(m.headers, "Content-Length"), 10, &declared) &&
        declared > size)
      *complete = false;
  }
  // Codings left in Transfer-Encoding apply like content codings, after them.
  content.insert(content.end(), transfer.begin(), transfer.end());
  for (size_t k = content.size(); k-- > 0;) {
    std::string error = decode_content(content[k], out, complete, limit);
    if (!error.empty()) return error;
  }
  return "";
}

bool has_brotli() {
#ifdef TESSIVO_HAVE_BROTLI
  return true;
#else
  return false;
#endif
}

}  // namespace capture
