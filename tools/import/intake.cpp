#include "import/intake.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/base64.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/utf.h"
#include "import/body.h"
#include "import/digest.h"

namespace fs = std::filesystem;

namespace capture {

using common::ascii_lower;

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::vector<uint8_t> read_head(const std::string& path, size_t n) {
  std::vector<uint8_t> out(n);
  common::File f = common::open_file(path, "rb");
  if (!f) throw Fault(common::errno_error(path));
  out.resize(std::fread(out.data(), 1, n, f.get()));
  return out;
}

Intake::Intake(const Options& options) : options_(options) {}
Intake::~Intake() = default;

std::string Intake::payload_name(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string clean;
  for (char c : base)
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') clean += c;
  if (clean.size() > 40) clean = clean.substr(clean.size() - 40);
  if (clean.empty() || clean[0] == '.') clean = "index" + clean;
  char num[16];
  std::snprintf(num, sizeof num, "%05d-", ++serial_);
  return num + clean;
}

// A payload file being written; removed unless kept.
class Intake::PayloadFile {
 public:
  PayloadFile(Intake* intake, const std::string& url) {
    const std::string name = intake->payload_name(url);
    fs::path dir = common::fs_path(intake->options_.work_dir);
    if (const int per = intake->options_.files_per_folder) {
      dir /= std::to_string((intake->serial_ - 1) / per);
      std::error_code ec;
      if ((intake->serial_ - 1) % per == 0) fs::create_directory(dir, ec);
    }
    path_ = common::utf8_path(dir / name);
    file_ = common::open_file(path_, "wb");
    if (!file_) throw Fault(common::errno_error(path_));
  }
  ~PayloadFile() {
    file_.reset();
    if (!kept_) std::remove(path_.c_str());
  }
  void write(const uint8_t* p, size_t n) {
    if (n && std::fwrite(p, 1, n, file_.get()) != n)
      throw Fault(common::Error{path_, 0, -1, "write error (disk full?)"});
    size_ += int64_t(n);
  }
  Payload keep(Intake* intake) {
    if (!file_.close()) throw Fault(common::Error{path_, 0, -1, "write error (disk full?)"});
    kept_ = true;
    intake->files_.push_back(path_);
    return Payload{path_, size_, ""};
  }

 private:
  std::string path_;
  common::File file_;
  int64_t size_ = 0;
  bool kept_ = false;
};

void Intake::drop_payload(const Payload& payload) {
  std::remove(payload.file.c_str());
  files_.pop_back();
}

void Intake::bad(const common::Error& error, const char* kind) {
  if (options_.strict) throw Fault(with_message(error, error.message + " (--strict)"));
  accepted(error.place(), kind, error.message);
  skip(kind);
}

void Intake::accepted(const std::string& where, const std::string& kind, const std::string& detail) {
  if (!counting) return;
  Tally& t = tallies_[kind];
  if (t.count++ == 0) {
    tally_order_.push_back(kind);
    t.first = where + (detail.empty() ? "" : ": " + detail);
  } else if (t.more.size() < 3) {
    t.more.push_back(where);
  }
}

void Intake::lenience(const std::string& where, unsigned bits) {
  for (unsigned bit = 1; bit <= bits; bit <<= 1)
    if (bits & bit) accepted(where, lenience_name(bit));
}

bool Intake::filtered(const std::string& url) {
  if (originals_only) return false;
  std::string l = ascii_lower(url);
  auto under = [&](const std::string& prefix) { return l.compare(0, prefix.size(), ascii_lower(prefix)) == 0; };
  for (const std::string& p : options_.excludes)
    if (under(p)) {
      skip("--exclude " + p);
      ++left_out;
      return true;
    }
  if (options_.includes.empty()) return false;
  for (const std::string& p : options_.includes)
    if (under(p)) return false;
  skip("not under --include");
  ++left_out;
  return true;
}

bool Intake::fits_player(const Item& item) {
  // The player keeps each text up to its first NUL, so it would serve this under another URL.
  for (const std::string* text : {&item.url, &item.alternate, &item.content_type})
    if (text->find('\0') != std::string::npos)
      return bad(with_message(item.where, "its URL or content type holds a NUL character")), false;
  pack::PageEntry e;
  e.url = common::text_to_utf16(item.url);
  e.alternate_url = common::text_to_utf16(item.alternate);
  e.post_key = item.post_key;
  e.content_type = common::text_to_utf16(item.content_type);
  int64_t bytes = pack::entry_text_bytes(e);
  if (bytes > pack::entry_text_limit())
    return bad(with_message(item.where, "its URL, POST key and content type take " + std::to_string(bytes) +
                                            " bytes; the player reads at most " +
                                            std::to_string(pack::entry_text_limit())),
               "too large for the player"),
           false;
  return true;
}

void Intake::report(uint64_t within, size_t held) {
  if (options_.progress) options_.progress->update(read_before_ + within, items_.size() + held);
}

void Intake::read_whole(uint64_t bytes) {
  read_before_ += bytes;
  report(0);
}

Intake::Deferred* Intake::deferred(const void* key, std::unique_ptr<Deferred> (*make)()) {
  for (auto& d : deferred_)
    if (d.first == key) return d.second.get();
  deferred_.emplace_back(key, make());
  return deferred_.back().second.get();
}

void Intake::settle_deferred() {
  for (auto& d : deferred_) d.second->settle(this);
}

bool Intake::admit(const std::string& url, int status, const Headers& headers, const std::string& location,
                   const std::string& where) {
  Decision d = decide(url, status, headers, location);
  if (d.verdict == Verdict::skip) return skip(d.reason), false;
  // A URL the filters leave out is not served as a redirect's alternate either.
  if (filtered(url)) return false;
  if (d.verdict == Verdict::redirect) {
    if (!originals_only) redirects_.push_back({url, d.target, where});
    return skip(d.reason), false;
  }
  return true;
}

bool length_fits(const Headers& headers, uint64_t stored) {
  std::string length = header(headers, "Content-Length");
  return has_header(headers, "Transfer-Encoding") || length.empty() ||
         length.find_first_not_of("0123456789") != std::string::npos || length.size() >= 19 ||
         std::stoull(length) >= stored;
}

bool Intake::take(const Captured& c, Item* item, Payload* payload) {
  if (!admit(c.url, c.status, c.headers, c.location, c.where.place())) return false;
  if (!c.body) return skip("no content saved"), false;
  PayloadFile f(this, c.url);
  BodyResult b = decode_stream(c.coded ? c.headers : Headers(), c.body,
                               [&](const uint8_t* p, size_t n) { f.write(p, n); }, uint64_t(INT32_MAX),
                               c.digest.algo);
  // A file cut inside the record: reported once, as the cut.
  if (c.record && c.record->left())
    throw Fault(with_message(c.where, "the record's " + std::to_string(c.record_length) +
                                          " bytes run past the end of the file"),
                Reach::record);
  if (!b.error.message.empty()) return bad(with_message(c.where, b.error.message), "undecodable"), false;
  if (!digest_matches(c.digest, b.raw_digest) &&
      !(b.dechunked_digest.size() && digest_matches(c.digest, b.dechunked_digest)))
    return bad(with_message(c.where, "the payload does not match its WARC-Payload-Digest"), "damaged record"), false;
  if (c.coded && !length_fits(c.headers, b.raw_size))
    return bad(with_message(c.where, "the HTTP body holds " + std::to_string(b.raw_size) +
                                         " bytes, its Content-Length says " + header(c.headers, "Content-Length")),
               "damaged record"),
           false;
  if (b.stored_dechunked) accepted(c.where.place(), "chunked header, body stored without chunks");
  if (!b.complete || !keeps_body(c.status, c.headers, b.size)) return skip("incomplete"), false;
  item->url = c.url;
  item->where = c.where;
  item->content_type = header(c.headers, "Content-Type");
  if (item->content_type.empty()) item->content_type = c.content_type;
  if (ascii_lower(c.method) == "post" && !c.request_body.empty())
    item->post_key = common::base64(c.request_body.data(), c.request_body.size());
  *payload = f.keep(this);
  item->file = payload->file;
  item->size = payload->size;
  return true;
}

void Intake::warn_tallies() {
  for (const std::string& kind : tally_order_) {
    const Tally& t = tallies_[kind];
    std::string line = kind + " (" + std::to_string(t.count) + "): " + t.first;
    for (const std::string& m : t.more) line += "; also " + m;
    if (t.count > int(1 + t.more.size())) line += "; ...";
    warn(options_, &result_, line);
  }
}

}  // namespace capture
