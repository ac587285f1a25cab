#include "fetch/warc_file.h"

#include <cstring>
#include <ctime>
#include <random>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <zlib.h>

#include "common/file.h"
#include "common/sha.h"
#include "common/utf.h"
#include "fetch/cdx.h"

namespace fetch {
namespace {

#ifdef _WIN32
// The C runtime's names for them.
void gmtime_r(const time_t* t, std::tm* out) { gmtime_s(out, t); }
#endif

std::string uuid_urn() {
  static std::random_device rd;
  static std::mt19937_64 gen(rd());
  uint64_t a = gen(), b = gen();
  a = (a & 0xffffffffffff0fffULL) | 0x4000;
  b = (b & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  char s[64];
  std::snprintf(s, sizeof s, "<urn:uuid:%08x-%04x-%04x-%04x-%012llx>", unsigned(a >> 32), unsigned((a >> 16) & 0xffff),
                unsigned(a & 0xffff), unsigned(b >> 48), (unsigned long long)(b & 0xffffffffffffULL));
  return s;
}

std::string gzip_member(const std::string& data) {
  z_stream z = {};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string header_value(const std::string& block, const std::string& name) {
  const std::string want = common::ascii_lower(name) + ":";
  size_t pos = 0;
  while (pos < block.size()) {
    size_t end = block.find("\r\n", pos);
    if (end == std::string::npos) end = block.size();
    if (end == pos) break;
    std::string line = block.substr(pos, end - pos);
    if (common::ascii_lower(line.substr(0, want.size())) == want) {
      size_t v = want.size();
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
    pos = end + 2;
  }
  return "";
}

// One record's text: WARC head, block; false when it is not whole.
bool split_record(const std::string& rec, std::string* head, std::string* block) {
  const size_t end = rec.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  *head = rec.substr(0, end + 2);
  const std::string len = header_value(*head, "Content-Length");
  if (len.empty() || len.find_first_not_of("0123456789") != std::string::npos) return false;
  const uint64_t n = std::stoull(len);
  if (rec.size() < end + 4 + n) return false;
  *block = rec.substr(end + 4, n);
  return true;
}

}  // namespace

std::string sha1_base32(const std::string& bytes) {
  common::Sha sha(common::Sha::SHA1);
  sha.update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const std::vector<uint8_t> d = sha.finish();
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out = "sha1:";
  uint32_t buffer = 0;
  int bits = 0;
  for (uint8_t b : d) {
    buffer = (buffer << 8) | b;
    bits += 8;
    while (bits >= 5) {
      out += alphabet[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0) out += alphabet[(buffer << (5 - bits)) & 31];
  return out;
}

bool read_kept(const std::string& path, std::vector<KeptRecord>* out, uint64_t* good_end, common::Error* error) {
  out->clear();
  *good_end = 0;
  std::FILE* f = common::open_file(path, "rb").release();
  if (!f) {
    *error = common::errno_error(path);
    return false;
  }
  std::string data;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  std::fclose(f);
  if (data.size() >= 2 && !(uint8_t(data[0]) == 0x1f && uint8_t(data[1]) == 0x8b)) {
    *error = common::Error{path, 0, -1, "not a WARC written by pack fetch (one gzip member per record)"};
    return false;
  }
  std::vector<std::pair<std::string, std::string>> requests;  // record id -> POST body
  size_t pos = 0;
  while (pos < data.size()) {
    z_stream z = {};
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef*>(&data[pos]);
    z.avail_in = uInt(data.size() - pos);
    std::string rec;
    int rc = Z_OK;
    while (rc == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      rec.append(buf, sizeof buf - z.avail_out);
      if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    const size_t used = z.total_in;
    inflateEnd(&z);
    std::string head, block;
    if (rc != Z_STREAM_END || !split_record(rec, &head, &block)) {
      // Only the last record may be cut short (a run killed while writing
      // it); damage anywhere else is no file of ours to cut.
      const bool cut = rc == Z_STREAM_END ? pos + used == data.size() : rc != Z_DATA_ERROR;
      const char* const afresh = "; not continued (move it away to start afresh)";
      if (pos == 0 && rec.compare(0, 5, "WARC/") != 0) {
        *error = common::Error{path, 0, -1, std::string("not a WARC written by pack fetch") + afresh};
        return false;
      }
      if (!cut) {
        *error = common::Error{path, 0, int64_t(pos), std::string("a damaged record") + afresh};
        return false;
      }
      break;
    }
    pos += used;
    *good_end = pos;
    const std::string type = header_value(head, "WARC-Type");
    if (type == "request") {
      const size_t b = block.find("\r\n\r\n");
      if (block.compare(0, 5, "POST ") == 0 && b != std::string::npos)
        requests.emplace_back(header_value(head, "WARC-Record-ID"), block.substr(b + 4));
      continue;
    }
    if (type != "response") continue;
    KeptRecord k;
    k.url = header_value(head, "WARC-Target-URI");
    k.date = warc_date_timestamp(header_value(head, "WARC-Date"));
    k.source = header_value(head, "WARC-Source-URI");
    k.record_id = header_value(head, "WARC-Record-ID");
    const std::string to = header_value(head, "WARC-Concurrent-To");
    for (const auto& [id, body] : requests)
      if (!to.empty() && id == to) {
        k.post = true;
        k.post_body = body;
      }
    if (block.compare(0, 5, "HTTP/") == 0) {
      const size_t sp = block.find(' ');
      k.status = std::atoi(block.c_str() + sp + 1);
    }
    const size_t b = block.find("\r\n\r\n");
    k.location = header_value(block.substr(0, b == std::string::npos ? block.size() : b + 2), "Location");
    k.size = b == std::string::npos ? 0 : int64_t(block.size() - b - 4);
    out->push_back(k);
  }
  return true;
}

WarcWriter::~WarcWriter() {
  if (file_) std::fclose(file_);
}

bool WarcWriter::open(const std::string& path, uint64_t good_end, common::Error* error) {
  path_ = path;
  if (good_end > 0) {
    // Drops a record cut short by a run that was killed while writing it.
#ifdef _WIN32
    common::File cut = common::open_file(path, "r+b");
    if (!cut || _chsize_s(_fileno(cut.get()), int64_t(good_end)) != 0 || !cut.close()) {
#else
    if (truncate(path.c_str(), off_t(good_end)) != 0) {
#endif
      *error = common::Error{path, 0, -1, std::string("cannot cut the unfinished record: ") + std::strerror(errno)};
      return false;
    }
    file_ = common::open_file(path, "ab").release();
  } else {
    file_ = common::open_file(path, "wb").release();
  }
  if (!file_) {
    *error = common::errno_error(path);
    return false;
  }
  return true;
}

bool WarcWriter::write_record(const std::string& head_fields, const std::string& type, const std::string& date,
                              const std::string& block, common::Error* error) {
  std::string rec = "WARC/1.1\r\nWARC-Type: " + type + "\r\n" + head_fields + "WARC-Date: " + date + "\r\n";
  if (!info_id_.empty() && type != "warcinfo") rec += "WARC-Warcinfo-ID: " + info_id_ + "\r\n";
  rec += "Content-Length: " + std::to_string(block.size()) + "\r\n\r\n" + block + "\r\n\r\n";
  const std::string gz = gzip_member(rec);
  // One write and a flush per record: an interrupt leaves whole records.
  if (std::fwrite(gz.data(), 1, gz.size(), file_) != gz.size() || std::fflush(file_) != 0) {
    *error = common::errno_error(path_);
    return false;
  }
  return true;
}

bool WarcWriter::warcinfo(const std::string& fields, common::Error* error) {
  info_id_ = uuid_urn();
  char now[32];
  const time_t t = std::time(nullptr);
  std::tm tm;
  gmtime_r(&t, &tm);
  std::strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return write_record("WARC-Record-ID: " + info_id_ + "\r\nContent-Type: application/warc-fields\r\n", "warcinfo",
                      now, fields, error);
}

bool WarcWriter::response(const ResponseRecord& r, common::Error* error) {
  const std::string date = warc_date(r.timestamp);
  std::string request_id;
  if (r.post) {
    request_id = uuid_urn();
    std::string path = r.url;
    const size_t s = path.find("://");
    const size_t p = s == std::string::npos ? std::string::npos : path.find('/', s + 3);
    const std::string host = s == std::string::npos ? "" : path.substr(s + 3, p == std::string::npos ? p : p - s - 3);
    path = p == std::string::npos ? "/" : path.substr(p);
    const std::string req = "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: " +
                            (r.post_type.empty() ? "application/x-www-form-urlencoded" : r.post_type) +
                            "\r\nContent-Length: " + std::to_string(r.post_body.size()) + "\r\n\r\n" + r.post_body;
    if (!write_record("WARC-Record-ID: " + request_id + "\r\nWARC-Target-URI: " + r.url +
                          "\r\nContent-Type: application/http; msgtype=request\r\nWARC-Block-Digest: " +
                          sha1_base32(req) + "\r\n",
                      "request", date, req, error))
      return false;
  }
  std::string http = "HTTP/1.1 " + std::to_string(r.status) + " " + (r.reason.empty() ? "OK" : r.reason) + "\r\n";
  for (const auto& [k, v] : r.headers) http += k + ": " + v + "\r\n";
  http += "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n";
  const std::string block = http + r.body;
  std::string fields = "WARC-Record-ID: " + uuid_urn() + "\r\nWARC-Target-URI: " + r.url +
                       "\r\nWARC-Source-URI: " + r.source +
                       "\r\nContent-Type: application/http; msgtype=response\r\nWARC-Payload-Digest: " +
                       sha1_base32(r.body) + "\r\nWARC-Block-Digest: " + sha1_base32(block) + "\r\n";
  if (!request_id.empty()) fields += "WARC-Concurrent-To: " + request_id + "\r\n";
  return write_record(fields, "response", date, block, error);
}

bool WarcWriter::close(common::Error* error) {
  if (!file_) return true;
  const bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok) *error = common::errno_error(path_);
  return ok;
}

}  // namespace fetch
