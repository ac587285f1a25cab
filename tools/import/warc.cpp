#include "import/warc.h"

#include <cstring>

#include "import/body.h"

namespace capture {
namespace {

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

}  // namespace

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

const char* lenience_name(unsigned bit) {
  switch (bit) {
    case kNoReason: return "HTTP status line without a reason phrase";
    case kBareLf: return "HTTP header lines ending in a bare LF";
    case kLowerVersion: return "HTTP version in lower case";
    case kHeadCut: return "HTTP header block ended by the record's end";
  }
  return "?";
}

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

std::string parse_http(const std::vector<uint8_t>& block, HttpMessage* m) {
  MemoryInput in(block.data(), block.size());
  Reader reader(&in);
  std::string error = parse_http_head(&reader, m);
  m->body_offset = size_t(reader.offset());
  return error;
}

std::string decode_body(const HttpMessage& m, const uint8_t* body, size_t size,
                        std::vector<uint8_t>* out, bool* complete, size_t limit) {
  out->clear();
  MemoryInput in(body, size);
  Reader reader(&in);
  BodyResult r = decode_stream(m.headers, &reader, [&](const uint8_t* p, size_t n) { out->insert(out->end(), p, p + n); },
                               limit);
  *complete = r.complete;
  return r.error.message;
}

std::string decode_content(const std::string& coding, std::vector<uint8_t>* data, bool* complete,
                           size_t limit) {
  HttpMessage m;
  m.headers.emplace_back("Content-Encoding", coding);
  std::vector<uint8_t> out;
  std::string error = decode_body(m, data->data(), data->size(), &out, complete, limit);
  if (error.empty()) data->swap(out);
  return error;
}

}  // namespace capture
