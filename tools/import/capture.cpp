#include "import/capture.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/url.h"
#include "common/utf.h"
#include "import/body.h"
#include "import/digest.h"
#include "import/html.h"
#include "import/video_import.h"
#include "import/zip.h"
#include "pack/content_type.h"

namespace fs = std::filesystem;

namespace capture {

using common::ascii_lower;
using common::is_web_url;
using common::read_whole_file;
using common::text_to_utf16;

namespace {

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string media_type(const std::string& content_type) {
  return ascii_lower(content_type.substr(0, content_type.find(';')));
}

bool is_swf(const Item& item, const std::vector<uint8_t>* head = nullptr) {
  if (media_type(item.content_type) == "application/x-shockwave-flash") return true;
  std::string path = ascii_lower(item.url.substr(0, item.url.find_first_of("?#")));
  if (ends_with(path, ".swf")) return true;
  return head && head->size() >= 3 &&
         (std::memcmp(head->data(), "FWS", 3) == 0 || std::memcmp(head->data(), "CWS", 3) == 0 ||
          std::memcmp(head->data(), "ZWS", 3) == 0);
}

bool is_html(const Item& item) {
  std::string t = media_type(item.content_type);
  return t == "text/html" || t == "application/xhtml+xml";
}

std::string key_of(const std::string& url, const std::string& post_key) {
  return ascii_lower(url) + '\n' + post_key;
}

std::vector<std::string> ids(const Headers& headers, const char* name) {
  std::vector<std::string> out;
  for (const auto& h : headers)
    if (ascii_lower(h.first) == ascii_lower(name)) out.push_back(h.second);
  return out;
}

std::vector<uint8_t> read_head(const std::string& path, size_t n) {
  std::vector<uint8_t> out(n);
  common::File f = common::open_file(path, "rb");
  if (!f) throw ImportError(path + ": " + std::strerror(errno));
  out.resize(std::fread(out.data(), 1, n, f.get()));
  return out;
}

std::string read_text(const std::string& path) {
  std::string text;
  common::Error error;
  if (!read_whole_file(path, &text, &error)) throw ImportError(error);
  return text;
}

}  // namespace

std::string folder_url(const std::string& scheme, const std::string& rel) {
  std::string path = rel;
  size_t slash = path.rfind('/');
  size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  // wget keeps a query in the file name, after '?', or after '@' when it
  // writes names Windows can hold; "x@2x.png" is no query.
  size_t q = path.find('?', name_at);
  if (q == std::string::npos) {
    size_t at = path.find('@', name_at);
    if (at != std::string::npos && path.find('=', at) != std::string::npos &&
        path.find('.', name_at) < at)
      path[at] = '?';
  }
  // Where a file name cannot hold ':', wget writes a port as "HOST+PORT",
  // httrack as "HOST_PORT".
  size_t host_end = path.find('/');
  size_t plus = path.find_last_of("+_", host_end);
  if (plus != std::string::npos && plus + 1 < host_end &&
      path.find_first_not_of("0123456789", plus + 1) == host_end)
    path[plus] = ':';
  std::string out = scheme + "://";
  for (char c : path) {
    if (c == ' ') out += "%20";
    else out += c;
  }
  return out;
}

Importer::Importer(const Options& options) : options_(options) {}
Importer::~Importer() = default;

std::string Importer::payload_name(const std::string& url) {
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
class Importer::PayloadFile {
 public:
  PayloadFile(Importer* importer, const std::string& url) {
    const std::string name = importer->payload_name(url);
    fs::path dir = common::fs_path(importer->options_.work_dir);
    if (const int per = importer->options_.files_per_folder) {
      dir /= std::to_string((importer->serial_ - 1) / per);
      std::error_code ec;
      if ((importer->serial_ - 1) % per == 0) fs::create_directory(dir, ec);
    }
    path_ = common::utf8_path(dir / name);
    file_ = common::open_file(path_, "wb");
    if (!file_) throw ImportError(path_ + ": " + std::strerror(errno));
  }
  ~PayloadFile() {
    file_.reset();
    if (!kept_) std::remove(path_.c_str());
  }
  void write(const uint8_t* p, size_t n) {
    if (n && std::fwrite(p, 1, n, file_.get()) != n) throw ImportError(path_ + ": write error (disk full?)");
    size_ += int64_t(n);
  }
  Payload keep(Importer* importer) {
    if (!file_.close()) throw ImportError(path_ + ": write error (disk full?)");
    kept_ = true;
    importer->files_.push_back(path_);
    return Payload{path_, size_, ""};
  }

 private:
  std::string path_;
  common::File file_;
  int64_t size_ = 0;
  bool kept_ = false;
};

void Importer::bad(const std::string& where, const std::string& why, const char* kind) {
  std::string text = where + ": " + why;
  if (options_.strict) throw ImportError(text + " (--strict)");
  accepted(where, std::string(kind) + "|" + why);
  skip(kind);
}

void Importer::accepted(const std::string& where, const std::string& what) {
  Tally& t = tallies_[what.substr(0, what.find('|'))];
  if (t.count++ == 0) {
    tally_order_.push_back(what.substr(0, what.find('|')));
    t.first = where + (what.find('|') == std::string::npos ? "" : ": " + what.substr(what.find('|') + 1));
  } else if (t.more.size() < 3) {
    t.more.push_back(where);
  }
}

void Importer::lenience(const std::string& where, unsigned bits) {
  for (unsigned bit = 1; bit <= bits; bit <<= 1)
    if (bits & bit) accepted(where, lenience_name(bit));
}

bool Importer::filtered(const std::string& url) {
  if (originals_only_) return false;
  std::string l = ascii_lower(url);
  auto under = [&](const std::string& prefix) { return l.compare(0, prefix.size(), ascii_lower(prefix)) == 0; };
  for (const std::string& p : options_.excludes)
    if (under(p)) {
      skip("--exclude " + p);
      return true;
    }
  if (options_.includes.empty()) return false;
  for (const std::string& p : options_.includes)
    if (under(p)) return false;
  skip("not under --include");
  return true;
}

void Importer::keep(Item item) {
  // The player keeps each text up to its first NUL, so it would serve this under another URL.
  for (const std::string* text : {&item.url, &item.alternate, &item.content_type})
    if (text->find('\0') != std::string::npos)
      return bad(item.where, "its URL or content type holds a NUL character");
  pack::PageEntry e;
  e.url = text_to_utf16(item.url);
  e.alternate_url = text_to_utf16(item.alternate);
  e.post_key = item.post_key;
  e.content_type = text_to_utf16(item.content_type);
  int64_t bytes = pack::entry_text_bytes(e);
  if (bytes > pack::entry_text_limit())
    return bad(item.where, "its URL, POST key and content type take " + std::to_string(bytes) +
                               " bytes; the player reads at most " + std::to_string(pack::entry_text_limit()),
               "too large for the player");
  items_.push_back(std::move(item));
}

void Importer::report(uint64_t within) {
  if (options_.progress) options_.progress->update(read_before_ + within, items_.size());
}

void Importer::add(const std::string& path) {
  current_ = path;
  try {
    add_file(path);
  } catch (const std::bad_alloc&) {
    throw ImportError(current_ + ": out of memory");
  }
}

void Importer::add_file(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(common::fs_path(path), ec)) return add_folder(path);
  struct Done {
    Importer* self;
    uint64_t size;
    ~Done() {
      if (std::uncaught_exceptions()) return;  // the input was not read
      self->read_before_ += size;
      self->report(0);
    }
  } done{this, common::input_size(path)};
  std::vector<uint8_t> head = read_head(path, 512);
  auto is = [&](const char* magic) {
    size_t n = std::strlen(magic);
    return head.size() >= n && std::memcmp(head.data(), magic, n) == 0;
  };
  if (is("WARC/") || is("filedesc://") || is("\x1f\x8b")) {
    if (is("\x1f\x8b") != ends_with(ascii_lower(path), ".gz"))
      accepted(path, is("\x1f\x8b") ? "gzip told by its bytes, not its name" : "named .gz, but not compressed");
    std::unique_ptr<FileInput> file(new FileInput(path));
    const FileInput* progress = file.get();
    std::unique_ptr<Input> in(std::move(file));
    if (!is("\x1f\x8b")) return add_records(in.get(), path, progress);
    // Record offsets then count in the uncompressed stream; zlib's faults
    // name the gzip member's offset in the file.
    InflateInput* gz = new InflateInput(std::move(in), InflateInput::GZIP, path);
    in.reset(gz);
    return add_records(in.get(), path + " (uncompressed)", progress, gz);
  }
  if (is("PK\x03\x04") || is("PK\x05\x06")) return add_wacz(path);
  size_t k = is("\xEF\xBB\xBF") ? 3 : 0;
  while (k < head.size() && std::strchr(" \t\r\n", head[k])) ++k;
  if (k < head.size() && head[k] == '{') return add_har(path);
  throw ImportError(path + ": at byte 0: not a capture this packer knows (WARC, ARC, their .gz, WACZ, HAR or a folder)");
}

void Importer::add_records(Input* input, const std::string& name, const FileInput* progress_file,
                           InflateInput* gzip) {
  RecordReader records(input, name, gzip);
  RecordHead head;
  FileRecords file;
  const size_t first_item = items_.size();
  int64_t index = 0;
  for (;;) {
    try {
      current_ = name + ": at byte " + std::to_string(records.offset());
      if (!records.next(&head)) break;
      current_ = name + ": record at byte " + std::to_string(head.offset);
      std::string id = header(head.headers, "WARC-Record-ID");
      if (!id.empty()) file.ids.insert(id);
      record(head, records.block(), name, index++, &file);
    } catch (const Damaged& e) {
      std::string what = e.what();
      if (options_.strict) throw ImportError(what + " (--strict)");
      // "FILE: at byte N: why" or "FILE: record at byte N: why".
      size_t at = what.find("at byte ");
      size_t colon = at == std::string::npos ? at : what.find(": ", at);
      if (colon == std::string::npos) bad(what, "damaged", "damaged record");
      else bad(what.substr(0, colon), what.substr(colon + 2), "damaged record");
      if (!records.recover()) break;
    }
    if (progress_file) report(uint64_t(progress_file->position()));
  }
  pair_requests(file, first_item);
}

// Pairs each response with its request. Only a sure pair gives a POST key:
// WARC-Concurrent-To either way, else, where neither record names another,
// the one request for the same URI since the URI's previous response; a
// request answers one response only. A response whose request is missing,
// damaged, another's or one of several is skipped: keyed by a guess it would
// serve another answer's bytes. Indexed, as a crawl holds many thousands of each.
void Importer::pair_requests(const FileRecords& file, size_t first_item) {
  const std::vector<Request>& requests = file.requests;
  std::unordered_map<std::string, size_t> by_id;
  std::unordered_map<std::string, std::vector<size_t>> naming;  // response ID -> requests naming it
  std::vector<bool> linked(requests.size()), claimed(requests.size());
  for (size_t k = 0; k < requests.size(); ++k) {
    if (!requests[k].id.empty()) by_id.emplace(requests[k].id, k);
    for (const std::string& id : requests[k].concurrent) naming[id].push_back(k), linked[k] = true;
  }
  for (size_t i = first_item; i < items_.size(); ++i)
    for (const std::string& id : items_[i].concurrent) {
      auto it = by_id.find(id);
      if (it != by_id.end()) linked[it->second] = true;
    }
  std::unordered_map<std::string, std::vector<size_t>> by_uri;  // unlinked requests, in record order
  for (size_t k = 0; k < requests.size(); ++k)
    if (!linked[k]) by_uri[requests[k].uri].push_back(k);
  std::vector<Item> kept(items_.begin(), items_.begin() + long(first_item));
  for (size_t i = first_item; i < items_.size(); ++i) {
    Item& item = items_[i];
    std::string unsure;
    if (item.wants_key) {
      std::vector<size_t> links;
      for (const std::string& id : item.concurrent) {
        auto it = by_id.find(id);
        if (it != by_id.end()) links.push_back(it->second);
      }
      auto named = item.record_id.empty() ? naming.end() : naming.find(item.record_id);
      if (named != naming.end()) links.insert(links.end(), named->second.begin(), named->second.end());
      std::sort(links.begin(), links.end());
      size_t found = requests.size();
      if (!links.empty()) {
        for (size_t k : links)
          if (!claimed[k]) {
            found = k;
            break;
          }
        if (found == requests.size())
          unsure = "its request (" + requests[links[0]].where + ") answers another response";
      } else if (std::any_of(item.concurrent.begin(), item.concurrent.end(),
                             [&](const std::string& id) { return !file.ids.count(id); })) {
        unsure = "it names a concurrent record (its request) that is not in the file";
      } else if (auto same = by_uri.find(item.url); same != by_uri.end()) {
        auto before = [&](const auto& list, int64_t index, auto at) {
          return std::lower_bound(list.begin(), list.end(), index, [&](const auto& v, int64_t i) { return at(v) < i; });
        };
        // The requests since the previous response for the URI.
        const std::vector<int64_t>& answers = file.responses.at(item.url);
        auto previous = before(answers, item.record_index, [](int64_t v) { return v; });
        const int64_t since = previous == answers.begin() ? -1 : *(previous - 1);
        auto to = before(same->second, item.record_index, [&](size_t k) { return requests[k].index; });
        auto from = before(same->second, since + 1, [&](size_t k) { return requests[k].index; });
        if (to - from == 1 && !claimed[*from]) found = *from;
        else if (to == from) unsure = "the file has requests for its URL, none since the previous response";
        else if (to - from > 1)
          unsure = "several requests for its URL since the previous response; which it answers is not known";
        else unsure = "its request (" + requests[*from].where + ") answers another response";
      }
      if (found < requests.size()) {
        claimed[found] = true;
        if (!requests[found].damaged.empty()) unsure = "its request (" + requests[found].where + ") is damaged";
        else item.post_key = requests[found].key;
      }
    }
    if (unsure.empty()) kept.push_back(std::move(item));
    else bad(item.where, unsure, "no sure request");
  }
  // Payload files stay until finish(): a revisit may still name one.
  items_.swap(kept);
}

namespace {

// Whether a Content-Length, when the body has one, does not fall short of
// the body stored: a longer body is a damaged record.
bool length_fits(const Headers& headers, uint64_t stored) {
  std::string length = header(headers, "Content-Length");
  return has_header(headers, "Transfer-Encoding") || length.empty() ||
         length.find_first_not_of("0123456789") != std::string::npos || length.size() >= 19 ||
         std::stoull(length) >= stored;
}

// Whether the block is an HTTP message (a request, or a response with its
// status line and headers) rather than the bare payload.
bool is_http_block(const RecordHead& head, const std::string& type, Reader* http) {
  const uint8_t* p;
  size_t n = http->look(&p, 5);
  return type != "resource" && head.length > 0 &&
         (ascii_lower(header(head.headers, "Content-Type")).find("application/http") != std::string::npos ||
          (n == 5 && ascii_lower(std::string(reinterpret_cast<const char*>(p), 5)) == "http/") ||
          type == "request");
}

// The digest a block is checked against: its own, else (a resource's block
// is its payload) the payload's.
DigestValue block_digest(const RecordHead& head, const std::string& type) {
  DigestValue d = parse_digest(header(head.headers, "WARC-Block-Digest"));
  if (d.algo == DigestAlgo::none && type == "resource") d = parse_digest(header(head.headers, "WARC-Payload-Digest"));
  return d;
}

}  // namespace

bool Importer::block_intact(const RecordHead& head, const std::string& type, HashInput* hashed,
                            const BlockInput* block, const std::string& where, bool kept, const Payload& payload) {
  hashed->drain();
  const std::vector<uint8_t> computed = hashed->digest();
  if (!digest_matches(block_digest(head, type), computed)) {
    if (kept) std::remove(payload.file.c_str()), files_.pop_back();
    bad(where, "the block does not match its WARC-Block-Digest", "damaged record");
    return false;
  }
  if (block->left()) {
    if (kept) std::remove(payload.file.c_str()), files_.pop_back();
    throw Damaged(where + ": the record's " + std::to_string(head.length) + " bytes run past the end of the file");
  }
  return true;
}

// Indexes the payload for revisits (by URI, URI and date, digest) and keeps it.
void Importer::keep_payload(const RecordHead& head, const std::string& uri, Item item, Payload payload) {
  item.file = payload.file;
  item.size = payload.size;
  payload.content_type = item.content_type;
  by_uri_[uri] = payload;
  std::string date = header(head.headers, "WARC-Date");
  if (!date.empty()) by_uri_date_[uri + '\n' + date] = payload;
  std::string digest = header(head.headers, "WARC-Payload-Digest");
  if (!digest.empty()) by_digest_[digest] = payload;
  if (!originals_only_) keep(item);
}

void Importer::record(const RecordHead& head, BlockInput* block, const std::string& name, int64_t index,
                      FileRecords* file) {
  std::vector<Request>* requests = &file->requests;
  const std::string type = head.type();
  const std::string where = name + ": record at byte " + std::to_string(head.offset);
  const std::string uri = head.target_uri();
  if (type != "request" && type != "response" && type != "resource" && type != "revisit") return;
  if (originals_only_ && type != "response" && type != "resource") return;
  if (!is_web_url(uri)) {
    if (type != "request") skip("not an http or https URL");
    return;
  }
  if (type == "response" || type == "revisit") file->responses[uri].push_back(index);
  if (type != "request" && !header(head.headers, "WARC-Truncated").empty()) return skip("incomplete");
  Item item;
  item.url = uri;
  item.where = where;
  item.record_id = header(head.headers, "WARC-Record-ID");
  item.concurrent = ids(head.headers, "WARC-Concurrent-To");
  item.record_index = index;
  HashInput hashed(block, block_digest(head, type).algo);
  Reader http(&hashed);
  const bool http_block = is_http_block(head, type, &http);
  Payload payload;
  bool kept = false;
  if (head.version == "arc" && head.length == 0) {
    return bad(where, "response record without an HTTP message");
  } else if (type == "resource" || (head.version == "arc" && !http_block)) {
    // The block is the payload.
    Captured c;
    c.url = uri;
    c.where = where;
    c.content_type = header(head.headers, head.version == "arc" ? "ARC-Content-Type" : "Content-Type");
    c.body = &http;
    c.coded = false;
    c.record = block;
    c.record_length = head.length;
    if (!(kept = take(c, &item, &payload))) return;
  } else if (!http_block && type == "revisit") {
    // Some writers store a revisit's block empty: the original's headers apply.
    if (head.length == 0) accepted(where, "revisit record with an empty block");
    revisit(head, &item, nullptr);
  } else if (!http_block) {
    return bad(where, "response record without an HTTP message");
  } else if (type == "request") {
    // Marked damaged until checked whole: a cut ends this record in a throw.
    Request r;
    r.id = item.record_id;
    r.uri = uri;
    r.where = where;
    r.concurrent = item.concurrent;
    r.index = index;
    r.damaged = "the record is cut short";
    requests->push_back(r);
    const char* kind = "bad record";
    std::string why = request(head, &http, &requests->back(), &kind);
    if (!why.empty()) {
      requests->back().damaged = why;
      return bad(where, why, kind);
    }
    if (!block_intact(head, type, &hashed, block, where, false, payload)) {
      requests->back().damaged = "it does not match its WARC-Block-Digest";
      return;
    }
    requests->back().damaged.clear();
    return;
  } else {
    kept = response(head, &http, block, &item, &payload);
    if (!kept && !item.revisit) return;  // refused, already counted
  }
  if (!block_intact(head, type, &hashed, block, where, kept, payload)) return;
  if (item.revisit) return keep(item);
  if (!kept) return;
  keep_payload(head, uri, item, payload);
}

std::string Importer::request(const RecordHead& head, Reader* http_reader, Request* r, const char** kind) {
  HttpMessage http;
  std::string error = parse_http_head(http_reader, &http);
  if (!error.empty()) return error;
  lenience(r->where, http.lenient);
  if (ascii_lower(http.method) != "post") return "";
  const DigestValue digest = parse_digest(header(head.headers, "WARC-Payload-Digest"));
  std::vector<uint8_t> body;
  BodyResult b = decode_stream(http.headers, http_reader,
                               [&](const uint8_t* p, size_t n) { body.insert(body.end(), p, p + n); },
                               uint64_t(pack::entry_text_limit()), digest.algo);
  if (!b.error.empty()) return *kind = "undecodable", "request body: " + b.error;
  *kind = "damaged record";
  if (!digest_matches(digest, b.raw_digest) &&
      !(b.dechunked_digest.size() && digest_matches(digest, b.dechunked_digest)))
    return "the request body does not match its WARC-Payload-Digest";
  if (!length_fits(http.headers, b.raw_size))
    return "the HTTP request body holds " + std::to_string(b.raw_size) + " bytes, its Content-Length says " +
           header(http.headers, "Content-Length");
  if (!b.complete) return "the HTTP request body is shorter than its Content-Length";
  if (!body.empty()) r->key = common::base64(body.data(), body.size());
  return "";
}

// Reads a response or revisit's HTTP message; true when a payload file was
// written.
bool Importer::response(const RecordHead& head, Reader* http_reader, const BlockInput* block, Item* item,
                        Payload* payload) {
  HttpMessage http;
  std::string error = parse_http_head(http_reader, &http);
  if (!error.empty()) return bad(item->where, error), false;
  lenience(item->where, http.lenient);
  if (head.type() == "revisit") return revisit(head, item, &http), false;
  Captured c;
  c.url = item->url;
  c.where = item->where;
  c.status = http.status;
  c.headers = std::move(http.headers);
  c.body = http_reader;
  c.digest = parse_digest(header(head.headers, "WARC-Payload-Digest"));
  c.record = block;
  c.record_length = head.length;
  if (!take(c, item, payload)) return false;
  item->wants_key = true;
  return true;
}

bool Importer::admit(const std::string& url, int status, const Headers& headers, const std::string& location,
                     const std::string& where) {
  Decision d = decide(url, status, headers, location);
  if (d.verdict == Verdict::redirect && !originals_only_) redirects_.push_back({url, d.target, where});
  if (d.verdict != Verdict::keep) return skip(d.reason), false;
  return !filtered(url);
}

bool Importer::take(const Captured& c, Item* item, Payload* payload) {
  if (!admit(c.url, c.status, c.headers, c.location, c.where)) return false;
  if (!c.body) return skip("no content saved"), false;
  PayloadFile f(this, c.url);
  BodyResult b = decode_stream(c.coded ? c.headers : Headers(), c.body,
                               [&](const uint8_t* p, size_t n) { f.write(p, n); }, uint64_t(INT32_MAX),
                               c.digest.algo);
  // A file cut inside the record: reported once, as the cut.
  if (c.record && c.record->left())
    throw Damaged(c.where + ": the record's " + std::to_string(c.record_length) +
                  " bytes run past the end of the file");
  if (!b.error.empty()) return bad(c.where, b.error, "undecodable"), false;
  if (!digest_matches(c.digest, b.raw_digest) &&
      !(b.dechunked_digest.size() && digest_matches(c.digest, b.dechunked_digest)))
    return bad(c.where, "the payload does not match its WARC-Payload-Digest", "damaged record"), false;
  if (c.coded && !length_fits(c.headers, b.raw_size))
    return bad(c.where, "the HTTP body holds " + std::to_string(b.raw_size) + " bytes, its Content-Length says " +
                            header(c.headers, "Content-Length"), "damaged record"), false;
  if (b.stored_dechunked) accepted(c.where, "chunked header, body stored without chunks");
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

void Importer::revisit(const RecordHead& head, Item* item, const HttpMessage* http) {
  // A 304 stands for the original's 200; without a message its headers apply.
  const int status = !http || http->status == 304 ? 200 : http->status;
  if (!admit(item->url, status, http ? http->headers : Headers(), "", item->where)) return;
  item->revisit = true;
  item->ref_uri = header(head.headers, "WARC-Refers-To-Target-URI");
  if (item->ref_uri.size() >= 2 && item->ref_uri.front() == '<')
    item->ref_uri = item->ref_uri.substr(1, item->ref_uri.size() - 2);
  std::string date = header(head.headers, "WARC-Refers-To-Date");
  if (!item->ref_uri.empty() && !date.empty()) item->ref_uri_date = item->ref_uri + '\n' + date;
  item->ref_digest = header(head.headers, "WARC-Payload-Digest");
  item->content_type = http ? header(http->headers, "Content-Type") : "";
  item->wants_key = true;
}

void Importer::resolve_revisits() {
  std::vector<Item> items;
  for (Item& item : items_) {
    if (item.revisit) {
      const Payload* p = nullptr;
      auto look = [&](std::map<std::string, Payload>& m, const std::string& k) {
        if (!p && !k.empty()) {
          auto it = m.find(k);
          if (it != m.end()) p = &it->second;
        }
      };
      look(by_uri_date_, item.ref_uri_date);
      look(by_digest_, item.ref_digest);
      look(by_uri_, item.ref_uri);
      if (!p) {
        skip("revisit of a payload not in the capture");
        continue;
      }
      item.file = p->file;
      item.size = p->size;
      if (item.content_type.empty()) item.content_type = p->content_type;
    }
    items.push_back(std::move(item));
  }
  items_.swap(items);
}

void Importer::add_wacz(const std::string& path) {
  std::vector<ZipMember> members = read_zip_directory(path);
  bool any = false;
  // Damage that the member's own framing would not show (a stored plain
  // WARC) shows in its CRC-32; such a member is skipped whole.
  auto sound = [&](const ZipMember& m) {
    std::string why = zip_member_fault(path, m);
    if (!why.empty())
      bad(path + ": at byte " + std::to_string(m.header_offset) + " (" + m.name + ")", why, "damaged record");
    return why.empty();
  };
  for (const ZipMember& m : members) {
    if (m.name == "pages/pages.jsonl" && start_page_.empty() && sound(m)) {
      std::unique_ptr<Input> in = open_zip_member(path, m);
      Reader reader(in.get());
      std::string line;
      int n = 0;
      bool more = true;
      while (start_page_.empty() && more) {
        more = reader.line(&line, 1 << 20, path + " (pages/pages.jsonl)");
        if (line.empty()) continue;
        ++n;
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded())
          throw ImportError(path + ": pages/pages.jsonl: line " + std::to_string(n) + ": not JSON");
        if (j.is_object() && j.contains("url") && j["url"].is_string()) start_page_ = j["url"];
      }
    }
  }
  for (const ZipMember& m : members) {
    if (!starts_with(m.name, "archive/") || m.name.back() == '/') continue;
    any = true;
    if (!sound(m)) continue;
    std::string name = path + " (" + m.name + ")";
    // gzip or not by its first bytes, whatever the member's name says.
    uint8_t magic[2] = {0, 0};
    {
      std::unique_ptr<Input> peek = open_zip_member(path, m);
      peek->read(magic, 1);
      peek->read(magic + 1, 1);
    }
    std::unique_ptr<Input> in = open_zip_member(path, m);
    if ((magic[0] == 0x1f && magic[1] == 0x8b) != ends_with(ascii_lower(m.name), ".gz"))
      accepted(name, magic[0] == 0x1f ? "gzip told by its bytes, not its name" : "named .gz, but not compressed");
    if (magic[0] == 0x1f && magic[1] == 0x8b) {
      InflateInput* gz = new InflateInput(std::move(in), InflateInput::GZIP, name);
      in.reset(gz);
      add_records(in.get(), name + " (uncompressed)", nullptr, gz);
    } else {
      add_records(in.get(), name, nullptr);
    }
    report(uint64_t(m.header_offset + m.compressed));
  }
  if (!any)
    throw ImportError(path + ": at byte 0: a ZIP with no member under archive/, so not a WACZ");
}

void Importer::add_folder(const std::string& path) {
  std::vector<std::string> files;
  const fs::path root(common::fs_path(path));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(root).generic_u8string());
  std::sort(files.begin(), files.end());
  for (const std::string& rel : files) {
    const std::string where = common::utf8_path(root / fs::u8path(rel));
    // httrack's cache and log sit beside the host folders.
    if (rel.find('/') == std::string::npos || starts_with(rel, "hts-cache/")) {
      accepted(where, "outside a host folder|not under a HOST folder; left out");
      skip("outside a host folder");
      continue;
    }
    FileInput in(where);
    Reader body(&in);
    Captured c;
    c.url = folder_url(options_.scheme, rel);
    c.where = where;
    if (const char* type = pack::content_type_for_name(c.url)) c.content_type = type;
    c.body = &body;
    c.coded = false;
    Item item;
    Payload payload;
    if (!take(c, &item, &payload)) continue;
    // wget saves "dir/" as "dir/index.html"; a movie may ask for either.
    if (ends_with(rel, "/index.html")) item.alternate = item.url.substr(0, item.url.size() - 10);
    keep(item);
    read_before_ += uint64_t(item.size);
    report(0);
  }
}

void Importer::warn_tallies() {
  for (const std::string& kind : tally_order_) {
    const Tally& t = tallies_[kind];
    std::string line = kind + " (" + std::to_string(t.count) + "): " + t.first;
    for (const std::string& m : t.more) line += "; also " + m;
    if (t.count > int(1 + t.more.size())) line += "; ...";
    warn(options_, &result_, line);
  }
}

void warn(const Options& options, Result* result, const std::string& line) {
  result->warnings.push_back(line);
  if (options.progress) options.progress->interrupt();
  if (options.warnings) std::fprintf(options.warnings, "pack: warning: %s\n", line.c_str());
}

std::vector<Item> Importer::drop_duplicates() {
  // The last capture of a URL (and POST body) wins. In mode page the player
  // ignores POST bodies, so one URL is one entry.
  if (options_.mode != 2)
    for (Item& it : items_) it.post_key.clear();
  std::map<std::string, size_t> last;
  for (size_t i = 0; i < items_.size(); ++i) last[key_of(items_[i].url, items_[i].post_key)] = i;
  std::vector<Item> kept;
  for (size_t i = 0; i < items_.size(); ++i) {
    size_t winner = last[key_of(items_[i].url, items_[i].post_key)];
    if (winner != i) {
      result_.dropped.push_back(items_[i].url + ": " + items_[i].where + " dropped, " +
                                items_[winner].where + " kept");
      skip("duplicate");
      continue;
    }
    kept.push_back(items_[i]);
  }
  return kept;
}

namespace {

int find_url(const std::vector<Item>& kept, const std::string& url) {
  for (size_t i = 0; i < kept.size(); ++i)
    if (ascii_lower(kept[i].url) == ascii_lower(url)) return int(i);
  return -1;
}

struct FirstMovie {
  int index = -1;
  bool embedded = false;  // the movie is the one the page embeds
  Embedding embedding;
  std::string page_url;
};

// The start page (else the first HTML page) and the movie it embeds.
FirstMovie find_page(const std::vector<Item>& kept, const std::string& start_page) {
  FirstMovie m;
  int page = start_page.empty() ? -1 : find_url(kept, start_page);
  if (page >= 0 && !is_html(kept[size_t(page)])) page = -1;
  for (size_t i = 0; page < 0 && i < kept.size(); ++i)
    if (is_html(kept[i])) page = int(i);
  if (page >= 0) {
    m.page_url = kept[size_t(page)].url;
    if (find_embedding(read_text(kept[size_t(page)].file), &m.embedding)) {
      m.embedded = true;
      m.embedding.movie = join_url(m.page_url, m.embedding.movie);
    }
  }
  return m;
}

void choose_movie(const std::vector<Item>& kept, const Options& options, const std::string& start_page,
                  FirstMovie* m, Result* result) {
  if (!options.start.empty()) {
    m->index = find_url(kept, options.start);
    if (m->index < 0) throw ImportError("--start " + options.start + ": no such URL in the capture");
    result->start_reason = "given by --start";
    if (m->embedded && ascii_lower(m->embedding.movie) != ascii_lower(kept[size_t(m->index)].url))
      m->embedded = false;
  } else if (!start_page.empty() && find_url(kept, start_page) >= 0 &&
             is_swf(kept[size_t(find_url(kept, start_page))])) {
    m->index = find_url(kept, start_page);
    m->embedded = false;
    result->start_reason = "the WACZ's first page";
  } else {
    if (m->embedded) {
      m->index = find_url(kept, m->embedding.movie);
      if (m->index >= 0) result->start_reason = "embedded by " + m->page_url;
      else result->notes.push_back(m->page_url + " embeds " + m->embedding.movie + ", which is not in the capture");
    }
    if (m->index < 0) {
      m->embedded = false;
      for (size_t i = 0; i < kept.size() && m->index < 0; ++i) {
        std::vector<uint8_t> head = read_head(kept[i].file, 3);
        if (is_swf(kept[i], &head)) m->index = int(i);
      }
      if (m->index >= 0) result->start_reason = "the first SWF response in the capture";
    }
  }
}

// An FLV as the start (given, or the only one in a capture without a SWF)
// makes a video player; -1 when none does.
int video_start(const std::vector<Item>& kept, int movie) {
  int video = movie >= 0 && is_flv_item(kept[size_t(movie)]) ? movie : -1;
  for (size_t i = 0; movie < 0 && i < kept.size(); ++i)
    if (is_flv_item(kept[i])) video = video == -1 ? int(i) : -2;
  return video;
}

// The redirecting URL becomes the target's alternate URL.
void settle_redirects(const std::vector<Redirect>& redirects, std::vector<Item>* kept, Result* result) {
  std::map<std::string, Redirect> latest;
  std::vector<std::string> order;
  for (const Redirect& r : redirects) {
    if (!latest.count(ascii_lower(r.from))) order.push_back(ascii_lower(r.from));
    latest[ascii_lower(r.from)] = r;
  }
  for (const std::string& from : order) {
    const Redirect& r = latest[from];
    if (r.from.find('\0') != std::string::npos) continue;
    std::string to = r.to;
    for (int hop = 0; hop < 10 && find_url(*kept, to) < 0 && latest.count(ascii_lower(to)); ++hop)
      to = latest[ascii_lower(to)].to;
    int target = find_url(*kept, to);
    bool served = find_url(*kept, r.from) >= 0;
    for (const Item& it : *kept) served = served || ascii_lower(it.alternate) == ascii_lower(r.from);
    std::string what = r.from + " -> " + r.to + ": ";
    if (target < 0) result->redirects.push_back(what + "not kept: the target is not in the capture");
    else if (served) result->redirects.push_back(what + "not kept: that URL is served already");
    else if (!(*kept)[size_t(target)].alternate.empty())
      result->redirects.push_back(what + "not kept: the target has an alternate URL already");
    else {
      (*kept)[size_t(target)].alternate = r.from;
      result->redirects.push_back(what + "kept as the alternate URL of " + (*kept)[size_t(target)].url);
    }
  }
}

void fill_package(const Options& options, const FirstMovie& m, const std::vector<Item>& kept, pack::Package* pkg) {
  pkg->mode = options.mode;
  pkg->width = options.width;
  pkg->height = options.height;
  if (m.embedded) {
    pkg->flash_vars = text_to_utf16(m.embedding.flash_vars);
    if (!m.embedding.base.empty()) pkg->base = text_to_utf16(join_url(m.page_url, m.embedding.base));
    if (!options.width && !options.height) {
      pkg->width = m.embedding.width;
      pkg->height = m.embedding.height;
    }
  }
  for (const Item& it : kept) {
    pack::PageEntry e;
    e.url = text_to_utf16(it.url);
    e.alternate_url = text_to_utf16(it.alternate);
    e.post_key = it.post_key;
    e.content_type = text_to_utf16(it.content_type);
    e.data.path = it.file;
    e.data.size = it.size;
    pkg->entries.push_back(e);
  }
}

}  // namespace

Result Importer::finish() {
  resolve_revisits();
  warn_tallies();
  std::vector<Item> kept = drop_duplicates();
  FirstMovie first = find_page(kept, start_page_);
  choose_movie(kept, options_, start_page_, &first, &result_);
  const int video = video_start(kept, first.index);
  if (video >= 0) {
    if (result_.start_reason.empty()) result_.start_reason = "the only video in the capture";
    make_video_result(kept[size_t(video)], options_, &result_);
    for (const std::string& f : files_)
      if (f != kept[size_t(video)].file) std::remove(f.c_str());
    return result_;
  }
  const int movie = first.index;
  if (movie < 0) throw ImportError("no movie in the capture: name the first movie with --start URL");
  if (kept[size_t(movie)].size < 4)
    throw ImportError(kept[size_t(movie)].url + ": the first movie must be a SWF file of at least 4 bytes");
  std::rotate(kept.begin(), kept.begin() + movie, kept.begin() + movie + 1);
  result_.start_url = kept[0].url;
  settle_redirects(redirects_, &kept, &result_);
  fill_package(options_, first, kept, &result_.package);
  std::set<std::string> used;
  for (const Item& it : kept) used.insert(it.file);
  for (const std::string& f : files_)
    if (!used.count(f)) std::remove(f.c_str());
  result_.entries = kept;
  return result_;
}

}  // namespace capture
