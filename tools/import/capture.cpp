#include "import/capture.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/utf.h"
#include "import/html.h"
#include "import/video_import.h"
#include "import/zip.h"
#include "pack/content_type.h"

namespace fs = std::filesystem;

namespace capture {

using common::ascii_lower;
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

bool is_web_url(const std::string& url) {
  std::string l = ascii_lower(url.substr(0, 8));
  return starts_with(l, "http://") || starts_with(l, "https://");
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

std::string status_reason(int status) { return "status " + std::to_string(status); }

bool base64_decode(const std::string& in, std::string* out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
  };
  out->clear();
  uint32_t acc = 0;
  int bits = 0;
  size_t fill = 0;
  for (char c : in) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      ++fill;
      continue;
    }
    int v = value(c);
    if (v < 0 || fill) return false;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out += char((acc >> bits) & 0xFF);
    }
  }
  return fill <= 2 && bits < 6;
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
  // Where a file name cannot hold ':', wget writes a port as "HOST+PORT".
  size_t host_end = path.find('/');
  size_t plus = path.rfind('+', host_end);
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

Importer::Payload Importer::store(const std::string& url, const uint8_t* data, size_t n) {
  Payload p;
  p.file = common::utf8_path(common::fs_path(options_.work_dir) / payload_name(url));
  common::File f = common::open_file(p.file, "wb");
  if (!f) throw ImportError(p.file + ": " + std::strerror(errno));
  bool ok = (n == 0 || std::fwrite(data, 1, n, f.get()) == n);
  if (!f.close()) ok = false;
  if (!ok) throw ImportError(p.file + ": write error (disk full?)");
  p.size = int64_t(n);
  files_.push_back(p.file);
  return p;
}

void Importer::bad(const std::string& where, const std::string& why, const char* kind) {
  std::string text = where + ": " + why;
  if (options_.strict) throw ImportError(text + " (--strict)");
  result_.warnings.push_back(text + "; record skipped");
  if (options_.progress) options_.progress->interrupt();
  if (options_.warnings) std::fprintf(options_.warnings, "pack: warning: %s; record skipped\n", text.c_str());
  skip(kind);
}

void Importer::report(uint64_t within) {
  if (options_.progress) options_.progress->update(read_before_ + within, items_.size());
}

void Importer::add(const std::string& path) {
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
  if (is("WARC/") || (head.size() >= 2 && head[0] == 0x1f && head[1] == 0x8b)) {
    std::unique_ptr<FileInput> file(new FileInput(path));
    const FileInput* progress = file.get();
    std::unique_ptr<Input> in(std::move(file));
    if (is("WARC/")) return add_warc(in.get(), path, progress);
    // Record offsets then count in the uncompressed stream; zlib's faults
    // name the gzip member's offset in the file.
    in.reset(new InflateInput(std::move(in), InflateInput::GZIP, path));
    return add_warc(in.get(), path + " (uncompressed)", progress);
  }
  if (is("PK\x03\x04") || is("PK\x05\x06")) return add_wacz(path);
  size_t k = is("\xEF\xBB\xBF") ? 3 : 0;
  while (k < head.size() && std::strchr(" \t\r\n", head[k])) ++k;
  if (k < head.size() && head[k] == '{') return add_har(path);
  throw ImportError(path + ": at byte 0: not a capture this packer knows (WARC, WARC.gz, WACZ, HAR or a folder)");
}

void Importer::add_warc(Input* input, const std::string& name, const FileInput* progress_file) {
  Reader reader(input);
  WarcRecord record;
  std::vector<Request> requests;
  const size_t first_item = items_.size();
  int64_t index = 0;
  while (read_warc_record(&reader, name, &record)) {
    warc_record(record, name, index++, &requests);
    if (progress_file) report(uint64_t(progress_file->position()));
  }
  // Pair each response with its request: by WARC-Concurrent-To either way,
  // else the nearest request for the same URI before it.
  for (size_t i = first_item; i < items_.size(); ++i) {
    Item& item = items_[i];
    if (!item.wants_key) continue;
    const Request* found = nullptr;
    for (const Request& r : requests) {
      bool linked = std::find(item.concurrent.begin(), item.concurrent.end(), r.id) != item.concurrent.end() ||
                    (!item.record_id.empty() &&
                     std::find(r.concurrent.begin(), r.concurrent.end(), item.record_id) != r.concurrent.end());
      if (linked) {
        found = &r;
        break;
      }
    }
    if (!found)
      for (const Request& r : requests)
        if (r.index < item.record_index && r.uri == item.url) found = &r;
    if (found) item.post_key = found->key;
  }
}

void Importer::warc_record(const WarcRecord& record, const std::string& name, int64_t index,
                           std::vector<Request>* requests) {
  const std::string type = record.type();
  const std::string where = name + ": record at byte " + std::to_string(record.offset);
  const std::string uri = record.target_uri();
  if (type == "warcinfo" || type == "metadata" || type == "conversion" || type == "continuation") return;
  if (!is_web_url(uri)) {
    if (type == "response" || type == "resource" || type == "revisit") skip("not an http or https URL");
    return;
  }
  Item item;
  item.url = uri;
  item.where = where;
  item.record_id = header(record.headers, "WARC-Record-ID");
  item.concurrent = ids(record.headers, "WARC-Concurrent-To");
  item.record_index = index;
  if (type == "request") {
    HttpMessage http;
    std::string error = parse_http(record.block, &http);
    if (!error.empty()) return bad(where, error);
    Request r;
    r.id = item.record_id;
    r.uri = uri;
    r.concurrent = item.concurrent;
    r.index = index;
    if (ascii_lower(http.method) == "post" && record.block.size() > http.body_offset) {
      std::vector<uint8_t> body;
      bool complete;
      std::string e2 = decode_body(http, record.block.data() + http.body_offset,
                                   record.block.size() - http.body_offset, &body, &complete);
      if (!e2.empty()) return bad(where, "request body: " + e2, "undecodable");
      if (!body.empty()) r.key = common::base64(body.data(), body.size());
    }
    requests->push_back(r);
    return;
  }
  if (!header(record.headers, "WARC-Truncated").empty()) return skip("incomplete");
  if (type == "resource") {
    item.content_type = header(record.headers, "Content-Type");
    Payload p = store(uri, record.block.data(), record.block.size());
    item.file = p.file;
    item.size = p.size;
    p.content_type = item.content_type;
    by_uri_[uri] = p;
    std::string digest = header(record.headers, "WARC-Payload-Digest");
    if (digest.empty()) digest = header(record.headers, "WARC-Block-Digest");
    if (!digest.empty()) by_digest_[digest] = p;
    items_.push_back(item);
    return;
  }
  if (type != "response" && type != "revisit") return;
  const bool http_block = ascii_lower(header(record.headers, "Content-Type")).find("application/http") != std::string::npos ||
                          (record.block.size() >= 5 && std::memcmp(record.block.data(), "HTTP/", 5) == 0);
  if (!http_block) {
    if (type == "revisit") skip("revisit without HTTP headers");
    else bad(where, "response record without an HTTP message");
    return;
  }
  HttpMessage http;
  std::string error = parse_http(record.block, &http);
  if (!error.empty()) return bad(where, error);
  if (type == "revisit") {
    // The payload comes from the record it refers to.
    std::string ref_uri = header(record.headers, "WARC-Refers-To-Target-URI");
    if (ref_uri.size() >= 2 && ref_uri.front() == '<') ref_uri = ref_uri.substr(1, ref_uri.size() - 2);
    std::string ref_date = header(record.headers, "WARC-Refers-To-Date");
    std::string digest = header(record.headers, "WARC-Payload-Digest");
    const Payload* p = nullptr;
    auto look = [&](std::map<std::string, Payload>& m, const std::string& k) {
      if (!p && !k.empty()) {
        auto it = m.find(k);
        if (it != m.end()) p = &it->second;
      }
    };
    if (!ref_uri.empty() && !ref_date.empty()) look(by_uri_date_, ref_uri + '\n' + ref_date);
    look(by_digest_, digest);
    if (!ref_uri.empty() && ref_date.empty()) look(by_uri_, ref_uri);
    if (!p) return skip("revisit of a payload not in the capture");
    int status = http.status == 304 ? 200 : http.status;
    if (status != 200) return skip(status_reason(status));
    item.file = p->file;
    item.size = p->size;
    item.content_type = header(http.headers, "Content-Type");
    if (item.content_type.empty()) item.content_type = p->content_type;
    item.wants_key = true;
    items_.push_back(item);
    return;
  }
  std::string date = header(record.headers, "WARC-Date");
  std::string digest = header(record.headers, "WARC-Payload-Digest");
  const size_t before = items_.size();
  response(uri, record.block, http.body_offset, http, where, item);
  if (items_.size() > before) {
    Payload p{items_.back().file, items_.back().size, items_.back().content_type};
    by_uri_[uri] = p;
    if (!date.empty()) by_uri_date_[uri + '\n' + date] = p;
    if (!digest.empty()) by_digest_[digest] = p;
  }
}

void Importer::response(const std::string& url, const std::vector<uint8_t>& block, size_t body_at,
                        const HttpMessage& http, const std::string& where, Item item) {
  int s = http.status;
  if (s == 301 || s == 302 || s == 303 || s == 307 || s == 308) {
    std::string location = header(http.headers, "Location");
    if (location.empty()) return skip(status_reason(s));
    redirects_.push_back({url, join_url(url, location), where});
    return skip("redirect");
  }
  if (s != 200 && s != 203 && s != 206) return skip(status_reason(s));
  std::vector<uint8_t> body;
  bool complete;
  std::string error = decode_body(http, block.data() + body_at, block.size() - body_at, &body, &complete);
  if (!error.empty()) return bad(where, error, "undecodable");
  if (!complete) return skip("incomplete");
  if (s == 206) {
    // Only a range that is the whole file.
    std::string range = header(http.headers, "Content-Range");
    unsigned long long a = 0, b = 0, total = 0;
    if (std::sscanf(range.c_str(), "bytes %llu-%llu/%llu", &a, &b, &total) != 3 || a != 0 ||
        b + 1 != total || body.size() != total)
      return skip("incomplete");
  }
  item.content_type = header(http.headers, "Content-Type");
  Payload p = store(url, body.data(), body.size());
  item.file = p.file;
  item.size = p.size;
  item.wants_key = true;
  items_.push_back(item);
}

void Importer::add_wacz(const std::string& path) {
  std::vector<ZipMember> members = read_zip_directory(path);
  bool any = false;
  for (const ZipMember& m : members) {
    if (m.name == "pages/pages.jsonl" && start_page_.empty()) {
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
    if (!starts_with(m.name, "archive/") || !(ends_with(m.name, ".warc") || ends_with(m.name, ".warc.gz")))
      continue;
    any = true;
    std::string name = path + " (" + m.name + ")";
    std::unique_ptr<Input> in = open_zip_member(path, m);
    if (ends_with(m.name, ".gz")) in.reset(new InflateInput(std::move(in), InflateInput::GZIP, name));
    add_warc(in.get(), name, nullptr);
    report(uint64_t(m.header_offset + m.compressed));
  }
  if (!any) throw ImportError(path + ": a ZIP without archive/*.warc or archive/*.warc.gz, so not a WACZ");
}

void Importer::add_har(const std::string& path) {
  std::string text = read_text(path);
  nlohmann::json har;
  try {
    har = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    size_t at = std::min(e.byte > 0 ? e.byte - 1 : 0, text.size());
    int line = 1 + int(std::count(text.begin(), text.begin() + long(at), '\n'));
    throw ImportError(path + ":" + std::to_string(line) + ": not valid JSON (byte " + std::to_string(at) + ")");
  }
  if (!har.is_object() || !har.contains("log") || !har["log"].is_object() ||
      !har["log"].contains("entries") || !har["log"]["entries"].is_array())
    throw ImportError(path + ": not a HAR file (no log.entries list)");
  const nlohmann::json& entries = har["log"]["entries"];
  for (size_t k = 0; k < entries.size(); ++k) {
    report(uint64_t(text.size()) * k / entries.size());  // as far into the file as into the list
    const std::string where = path + ": entries[" + std::to_string(k) + "]";
    try {
      const nlohmann::json& e = entries[k];
      const nlohmann::json& req = e.at("request");
      const nlohmann::json& res = e.at("response");
      Item item;
      item.url = req.at("url").get<std::string>();
      item.where = where;
      if (!is_web_url(item.url)) {
        skip("not an http or https URL");
        continue;
      }
      int status = res.at("status").get<int>();
      Headers headers;
      if (res.contains("headers"))
        for (const auto& h : res["headers"]) headers.emplace_back(h.at("name").get<std::string>(), h.at("value").get<std::string>());
      if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        std::string to = res.value("redirectURL", std::string());
        if (to.empty()) to = header(headers, "Location");
        if (to.empty()) skip(status_reason(status));
        else {
          redirects_.push_back({item.url, join_url(item.url, to), where});
          skip("redirect");
        }
        continue;
      }
      if (status != 200 && status != 203) {
        skip(status_reason(status));
        continue;
      }
      const nlohmann::json& content = res.at("content");
      if (!content.contains("text") || !content["text"].is_string()) {
        skip("no content saved");
        continue;
      }
      std::string body = content["text"].get<std::string>();
      if (content.value("encoding", std::string()) == "base64") {
        std::string decoded;
        if (!base64_decode(body, &decoded)) {
          bad(where, "content.text is not valid base64", "undecodable");
          continue;
        }
        body.swap(decoded);
      }
      // Browsers save the decoded entity, so Content-Encoding no longer applies.
      item.content_type = header(headers, "Content-Type");
      if (item.content_type.empty()) item.content_type = content.value("mimeType", std::string());
      if (req.value("method", std::string("GET")) == "POST" && req.contains("postData")) {
        std::string post = req["postData"].value("text", std::string());
        if (!post.empty()) item.post_key = common::base64(post.data(), post.size());
      }
      Payload p = store(item.url, reinterpret_cast<const uint8_t*>(body.data()), body.size());
      item.file = p.file;
      item.size = p.size;
      items_.push_back(item);
    } catch (const nlohmann::json::exception& e) {
      bad(where, std::string("not a HAR entry (") + e.what() + ")");
    }
  }
}

void Importer::add_folder(const std::string& path) {
  std::vector<std::string> files;
  const fs::path root(common::fs_path(path));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(root).generic_u8string());
  std::sort(files.begin(), files.end());
  for (const std::string& rel : files) {
    const std::string where = common::utf8_path(root / fs::u8path(rel));
    if (rel.find('/') == std::string::npos) {
      result_.warnings.push_back(where + ": not under a HOST folder; left out");
      skip("outside a host folder");
      continue;
    }
    Item item;
    item.url = folder_url(options_.scheme, rel);
    item.where = where;
    if (const char* type = pack::content_type_for_name(item.url)) item.content_type = type;
    // wget saves "dir/" as "dir/index.html"; a movie may ask for either.
    if (ends_with(rel, "/index.html")) item.alternate = item.url.substr(0, item.url.size() - 10);
    item.file = common::utf8_path(common::fs_path(options_.work_dir) / payload_name(item.url));
    fs::copy_file(root / fs::u8path(rel), common::fs_path(item.file));
    files_.push_back(item.file);
    item.size = int64_t(fs::file_size(common::fs_path(item.file)));
    items_.push_back(item);
    read_before_ += uint64_t(item.size);
    report(0);
  }
}

Result Importer::finish() {
  // Duplicates: the last capture of a URL (and POST body) wins.
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
  auto find = [&](const std::string& url) -> int {
    for (size_t i = 0; i < kept.size(); ++i)
      if (ascii_lower(kept[i].url) == ascii_lower(url)) return int(i);
    return -1;
  };

  // The first movie.
  int movie = -1;
  Embedding embedding;
  std::string page_url;
  int page = start_page_.empty() ? -1 : find(start_page_);
  if (page >= 0 && !is_html(kept[size_t(page)])) page = -1;
  for (size_t i = 0; page < 0 && i < kept.size(); ++i)
    if (is_html(kept[i])) page = int(i);
  bool embedded = false;
  if (page >= 0) {
    page_url = kept[size_t(page)].url;
    if (find_embedding(read_text(kept[size_t(page)].file), &embedding)) {
      embedded = true;
      embedding.movie = join_url(page_url, embedding.movie);
    }
  }
  if (!options_.start.empty()) {
    movie = find(options_.start);
    if (movie < 0) throw ImportError("--start " + options_.start + ": no such URL in the capture");
    result_.start_reason = "given by --start";
    if (embedded && ascii_lower(embedding.movie) != ascii_lower(kept[size_t(movie)].url)) embedded = false;
  } else if (!start_page_.empty() && find(start_page_) >= 0 && is_swf(kept[size_t(find(start_page_))])) {
    movie = find(start_page_);
    embedded = false;
    result_.start_reason = "the WACZ's first page";
  } else {
    if (embedded) {
      movie = find(embedding.movie);
      if (movie >= 0) result_.start_reason = "embedded by " + page_url;
      else result_.notes.push_back(page_url + " embeds " + embedding.movie + ", which is not in the capture");
    }
    if (movie < 0) {
      embedded = false;
      for (size_t i = 0; i < kept.size() && movie < 0; ++i) {
        std::vector<uint8_t> head = read_head(kept[i].file, 3);
        if (is_swf(kept[i], &head)) movie = int(i);
      }
      if (movie >= 0) result_.start_reason = "the first SWF response in the capture";
    }
  }
  // An FLV as the start (given, or the only one in a capture without a SWF)
  // makes a video player.
  int video = movie >= 0 && is_flv_item(kept[size_t(movie)]) ? movie : -1;
  for (size_t i = 0; movie < 0 && i < kept.size(); ++i)
    if (is_flv_item(kept[i])) video = video == -1 ? int(i) : -2;
  if (video >= 0) {
    if (result_.start_reason.empty()) result_.start_reason = "the only video in the capture";
    make_video_result(kept[size_t(video)], options_, &result_);
    for (const std::string& f : files_)
      if (f != kept[size_t(video)].file) std::remove(f.c_str());
    return result_;
  }
  if (movie < 0) throw ImportError("no movie in the capture: name the first movie with --start URL");
  if (kept[size_t(movie)].size < 4)
    throw ImportError(kept[size_t(movie)].url + ": the first movie must be a SWF file of at least 4 bytes");
  std::rotate(kept.begin(), kept.begin() + movie, kept.begin() + movie + 1);
  result_.start_url = kept[0].url;

  // Redirects: the redirecting URL becomes the target's alternate URL.
  std::map<std::string, Redirect> latest;
  std::vector<std::string> order;
  for (const Redirect& r : redirects_) {
    if (!latest.count(ascii_lower(r.from))) order.push_back(ascii_lower(r.from));
    latest[ascii_lower(r.from)] = r;
  }
  for (const std::string& from : order) {
    const Redirect& r = latest[from];
    std::string to = r.to;
    for (int hop = 0; hop < 10 && find(to) < 0 && latest.count(ascii_lower(to)); ++hop) to = latest[ascii_lower(to)].to;
    int target = find(to);
    bool served = find(r.from) >= 0;
    for (const Item& it : kept) served = served || ascii_lower(it.alternate) == ascii_lower(r.from);
    std::string what = r.from + " -> " + r.to + ": ";
    if (target < 0) result_.redirects.push_back(what + "not kept: the target is not in the capture");
    else if (served) result_.redirects.push_back(what + "not kept: that URL is served already");
    else if (!kept[size_t(target)].alternate.empty())
      result_.redirects.push_back(what + "not kept: the target has an alternate URL already");
    else {
      kept[size_t(target)].alternate = r.from;
      result_.redirects.push_back(what + "kept as the alternate URL of " + kept[size_t(target)].url);
    }
  }

  pack::Package& pkg = result_.package;
  pkg.mode = options_.mode;
  pkg.width = options_.width;
  pkg.height = options_.height;
  if (embedded) {
    pkg.flash_vars = text_to_utf16(embedding.flash_vars);
    if (!embedding.base.empty()) pkg.base = text_to_utf16(join_url(page_url, embedding.base));
    if (!options_.width && !options_.height) {
      pkg.width = embedding.width;
      pkg.height = embedding.height;
    }
  }
  std::set<std::string> used;
  for (const Item& it : kept) {
    pack::PageEntry e;
    e.url = text_to_utf16(it.url);
    e.alternate_url = text_to_utf16(it.alternate);
    e.post_key = it.post_key;
    e.content_type = text_to_utf16(it.content_type);
    e.data.path = it.file;
    e.data.size = it.size;
    pkg.entries.push_back(e);
    used.insert(it.file);
  }
  for (const std::string& f : files_)
    if (!used.count(f)) std::remove(f.c_str());
  result_.entries = kept;
  return result_;
}

}  // namespace capture
