#include "import/cdx.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "common/file.h"
#include "common/paths.h"
#include "common/progress.h"
#include "common/utf.h"
#include "import/record.h"
#include "import/zip.h"

namespace fs = std::filesystem;

namespace capture {

using common::ascii_lower;

namespace {

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::vector<std::string> split_spaces(const std::string& s, size_t at_most) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size()) break;
    if (out.size() + 1 == at_most) {
      out.push_back(s.substr(i));
      break;
    }
    size_t e = s.find(' ', i);
    if (e == std::string::npos) e = s.size();
    out.push_back(s.substr(i, e - i));
    i = e;
  }
  return out;
}

bool to_int(const std::string& s, int64_t* out) {
  if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoll(s);
  return true;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The bytes read of the capture files, counted as they are read.
class CountedFile : public Input {
 public:
  CountedFile(const std::string& path, int64_t start, int64_t length, uint64_t* counter)
      : file_(path, start, length), counter_(counter) {}
  size_t read(uint8_t* buf, size_t n) override {
    size_t got = file_.read(buf, n);
    *counter_ += got;
    return got;
  }
  int64_t file_offset(int64_t pos) const override { return file_.file_offset(pos); }

 private:
  FileInput file_;
  uint64_t* counter_;
};

// Ranges of one file, read one after another as one stream; its bytes are
// placed where they lie in the file. A read never crosses from one range
// into the next.
class RangesInput : public Input {
 public:
  using Range = std::pair<int64_t, int64_t>;  // start, end
  RangesInput(std::string path, std::vector<Range> ranges, uint64_t* counter)
      : path_(std::move(path)), ranges_(std::move(ranges)), counter_(counter) {
    int64_t at = 0;
    for (const Range& r : ranges_) starts_.push_back(at), at += r.second - r.first;
    open(0, 0);
  }
  size_t read(uint8_t* buf, size_t n) override {
    while (k_ < ranges_.size()) {
      size_t got = file_->read(buf, n);
      *counter_ += got;
      if (got) return got;
      if (k_ + 1 >= ranges_.size()) break;
      open(k_ + 1, 0);
    }
    return 0;
  }
  int64_t file_offset(int64_t pos) const override {
    const size_t k = range_of(pos);
    return k < ranges_.size() ? ranges_[k].first + (pos - starts_[k]) : -1;
  }
  bool seek(int64_t pos) override {
    const size_t k = range_of(pos);
    if (k >= ranges_.size()) return false;
    open(k, pos - starts_[k]);
    return true;
  }

 private:
  // The range holding stream position pos (its end counts as in it), or size().
  size_t range_of(int64_t pos) const {
    auto it = std::upper_bound(starts_.begin(), starts_.end(), pos);
    if (it == starts_.begin()) return ranges_.size();
    const size_t k = size_t(it - starts_.begin()) - 1;
    return pos <= starts_[k] + ranges_[k].second - ranges_[k].first ? k : ranges_.size();
  }
  void open(size_t k, int64_t within) {
    k_ = k;
    if (k < ranges_.size())
      file_.reset(new FileInput(path_, ranges_[k].first + within, ranges_[k].second - ranges_[k].first - within));
  }
  std::string path_;
  std::vector<Range> ranges_;
  std::vector<int64_t> starts_;  // each range's first byte in the stream
  uint64_t* counter_;
  size_t k_ = 0;
  std::unique_ptr<FileInput> file_;
};

// Why the index does not describe the file, at an offset of it: the file
// is then read whole.
Fault mismatch(const std::string& path, int64_t at, const std::string& why) {
  return Fault(common::Error{path, 0, at, "the index does not match it: " + why}, Reach::file);
}

std::string read_bytes(const std::string& path, int64_t at, size_t n, uint64_t* counter) {
  CountedFile f(path, at, int64_t(n), counter);
  std::string out(n, '\0');
  size_t have = 0;
  while (have < n) {
    size_t got = f.read(reinterpret_cast<uint8_t*>(&out[have]), n - have);
    if (!got) break;
    have += got;
  }
  out.resize(have);
  return out;
}

bool record_starts(const std::string& path, int64_t at, bool gz, uint64_t* counter) {
  std::string b = read_bytes(path, at, gz ? 3 : 5, counter);
  return gz ? b == "\x1f\x8b\x08" : b == "WARC/";
}

// The record the line names is at its offset, is for its URL and ends where
// its length says: its head read, then its end (a gzip member's trailer
// holds the member's uncompressed size).
void check_record(const std::string& path, IndexLine& l, bool gz, uint64_t* counter) {
  const common::Error where{path, 0, -1, ""};
  std::unique_ptr<Input> in(new CountedFile(path, l.offset, l.length, counter));
  InflateInput* z = nullptr;
  if (gz) in.reset(z = new InflateInput(std::move(in), InflateInput::GZIP, where));
  RecordReader records(in.get(), where, z);
  RecordHead head;
  bool found;
  try {
    found = records.next(&head);
  } catch (const Fault&) {
    found = false;
  }
  if (!found) throw mismatch(path, l.offset, "no record there");
  if (head.version == "arc") throw mismatch(path, l.offset, "an ARC record");
  const std::string uri = head.target_uri();
  if (!l.url.empty() ? uri != l.url
                     : l.urlkey.find("__wb_method=") == std::string::npos && surt(uri) != l.urlkey)
    throw mismatch(path, l.offset, "the record there is for " + uri);
  const uint64_t whole = uint64_t(records.offset()) + head.length + 4;
  if (gz) {
    std::string t = read_bytes(path, l.offset + l.length - 8, 8, counter);
    uint32_t isize = t.size() == 8 ? uint32_t(uint8_t(t[4])) | uint32_t(uint8_t(t[5])) << 8 |
                                         uint32_t(uint8_t(t[6])) << 16 | uint32_t(uint8_t(t[7])) << 24
                                   : 0;
    if (isize != uint32_t(whole)) throw mismatch(path, l.offset, "the record does not end where its length says");
  } else if (whole == uint64_t(l.length) + 4 &&
             read_bytes(path, l.offset + l.length, 4, counter) == "\r\n\r\n") {
    l.length += 4;  // as settle_end()
  } else if (whole != uint64_t(l.length) || read_bytes(path, l.offset + l.length - 4, 4, counter) != "\r\n\r\n") {
    throw mismatch(path, l.offset, "the record does not end where its length says");
  }
}

bool under(const IndexLine& l, const std::string& prefix, const std::string& prefix_key) {
  if (!l.url.empty()) return starts_with(ascii_lower(l.url), ascii_lower(prefix));
  return !prefix_key.empty() && starts_with(ascii_lower(l.urlkey), prefix_key);
}

// What one capture file gives: its index lines, in file order.
struct Plan {
  std::string path, name;  // the file read; the WARC's name as index lines give it
  std::string member;      // a WACZ's member holding the WARC, or none
  bool wacz = false, gz = false;
  size_t input = 0;
  int64_t start = 0, size = 0;  // where the WARC's bytes start and end in the file
  std::vector<IndexLine> lines;
  std::vector<bool> wanted, original;
};

// The ranges to read: each wanted record with the unindexed records
// around it (its request), merged.
std::vector<RangesInput::Range> ranges_of(const Plan& p, const std::vector<bool>& which, bool around) {
  std::vector<RangesInput::Range> out;
  for (size_t i = 0; i < p.lines.size(); ++i) {
    if (!which[i]) continue;
    int64_t a = p.lines[i].offset, b = a + p.lines[i].length;
    if (around) {
      a = i ? p.lines[i - 1].offset + p.lines[i - 1].length : p.start;
      b = i + 1 < p.lines.size() ? p.lines[i + 1].offset : p.size;
    }
    if (!out.empty() && a <= out.back().second) out.back().second = std::max(out.back().second, b);
    else out.push_back({a, b});
  }
  return out;
}

void check_plan(Plan* p) {
  std::sort(p->lines.begin(), p->lines.end(),
            [](const IndexLine& a, const IndexLine& b) { return a.offset < b.offset; });
  p->lines.erase(std::unique(p->lines.begin(), p->lines.end(),
                             [](const IndexLine& a, const IndexLine& b) { return a.offset == b.offset; }),
                 p->lines.end());
  for (size_t i = 0; i < p->lines.size(); ++i) {
    const IndexLine& l = p->lines[i];
    const int64_t end = i + 1 < p->lines.size() ? p->lines[i + 1].offset : p->size;
    if (l.length <= 0 || l.offset + l.length > end)
      throw mismatch(p->path, l.offset, "the record's length runs past the next record or the file's end");
  }
}

// Indexers may leave a plain record's closing blank lines out of its
// length; the range read after it then starts at the next record.
void settle_end(Plan* p, size_t i, uint64_t* counter) {
  IndexLine& l = p->lines[i];
  const int64_t next = i + 1 < p->lines.size() ? p->lines[i + 1].offset : p->size;
  if (!p->gz && l.offset + l.length + 4 <= next &&
      read_bytes(p->path, l.offset + l.length, 4, counter) == "\r\n\r\n")
    l.length += 4;
}

void verify(Plan& p, uint64_t* counter) {
  for (size_t i = 1; i < p.lines.size(); ++i)
    if (p.wanted[i] && !p.wanted[i - 1]) settle_end(&p, i - 1, counter);
  for (auto which : {&p.wanted, &p.original})
    for (size_t i = 0; i < p.lines.size(); ++i)
      if ((*which)[i]) check_record(p.path, p.lines[i], p.gz, counter);
  // The ranges read around them begin and end where records do.
  for (const RangesInput::Range& r : ranges_of(p, p.wanted, true)) {
    if (r.first < r.second && !record_starts(p.path, r.first, p.gz, counter))
      throw mismatch(p.path, r.first, "no record starts where the one before it ends");
    if (r.second < p.size && !record_starts(p.path, r.second, p.gz, counter))
      throw mismatch(p.path, r.second, "no record there");
  }
}

}  // namespace

std::vector<char> cdx_header(const std::string& text) {
  std::vector<char> out;
  if (text.compare(0, 5, " CDX ") != 0 && text.compare(0, 4, "CDX ") != 0) return out;
  for (const std::string& f : split_spaces(text, 0))
    if (f != "CDX" && f.size() == 1) out.push_back(f[0]);
  return out;
}

bool parse_index_line(const std::string& raw, const std::vector<char>& header, IndexLine* out) {
  std::string text = raw;
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  if (text.empty() || text[0] == ' ' || text[0] == '!' || text[0] == '#' || !cdx_header(text).empty())
    return false;
  *out = IndexLine();
  std::vector<std::string> f = split_spaces(text, 3);
  if (f.size() == 3 && f[2][0] == '{') {
    nlohmann::json j = nlohmann::json::parse(f[2], nullptr, false);
    if (!j.is_object()) return false;
    out->urlkey = f[0];
    out->timestamp = f[1];
    auto text_of = [&](const char* name) -> std::string {
      auto it = j.find(name);
      if (it == j.end()) return "";
      if (it->is_string()) return it->get<std::string>();
      if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
      return "";
    };
    out->url = text_of("url");
    out->mime = text_of("mime");
    out->status = text_of("status");
    out->digest = text_of("digest");
    out->filename = text_of("filename");
    out->method = text_of("method");
    return to_int(text_of("offset"), &out->offset) && to_int(text_of("length"), &out->length) &&
           !out->filename.empty();
  }
  static const std::vector<char> eleven = {'N', 'b', 'a', 'm', 's', 'k', 'r', 'M', 'S', 'V', 'g'};
  const std::vector<char>& names = header.empty() ? eleven : header;
  f = split_spaces(text, 0);
  if (f.size() != names.size()) return false;
  bool placed = false, sized = false;
  for (size_t i = 0; i < f.size(); ++i) {
    const std::string v = f[i] == "-" ? "" : f[i];
    switch (names[i]) {
      case 'N': out->urlkey = v; break;
      case 'b': out->timestamp = v; break;
      case 'a': out->url = v; break;
      case 'm': out->mime = v; break;
      case 's': out->status = v; break;
      case 'k': out->digest = v; break;
      case 'g': out->filename = v; break;
      case 'V': placed = to_int(v, &out->offset); break;
      case 'S': sized = to_int(v, &out->length); break;
    }
  }
  return placed && sized && !out->filename.empty();
}

std::string surt(const std::string& url) {
  std::string s = ascii_lower(url);
  size_t scheme = s.find("://");
  if (scheme == std::string::npos || (s.compare(0, scheme, "http") != 0 && s.compare(0, scheme, "https") != 0))
    return s;
  std::string rest = s.substr(scheme + 3);
  size_t hash = rest.find('#');
  if (hash != std::string::npos) rest.resize(hash);
  size_t end = rest.find_first_of("/?");
  std::string host = rest.substr(0, end), path = end == std::string::npos ? "/" : rest.substr(end);
  if (size_t at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  std::string port;
  size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    port = host.substr(colon + 1);
    host.resize(colon);
    if (port == (scheme == 5 ? "443" : "80") || port.empty()) port.clear();
  }
  if (starts_with(host, "www")) {
    size_t d = 3;
    while (d < host.size() && std::isdigit(static_cast<unsigned char>(host[d]))) ++d;
    if (d < host.size() && host[d] == '.') host = host.substr(d + 1);
  }
  std::string key;
  for (size_t e = host.size(); e != std::string::npos;) {
    size_t dot = e ? host.rfind('.', e - 1) : std::string::npos;
    size_t b = dot == std::string::npos ? 0 : dot + 1;
    key += (key.empty() ? "" : ",") + host.substr(b, e - b);
    e = dot;
  }
  if (!port.empty()) key += ":" + port;
  if (path[0] == '?') path = "/" + path;
  size_t q = path.find('?');
  if (q != std::string::npos) {
    std::vector<std::string> args;
    std::string query = path.substr(q + 1);
    for (size_t i = 0; i <= query.size();) {
      size_t amp = query.find('&', i);
      if (amp == std::string::npos) amp = query.size();
      args.push_back(query.substr(i, amp - i));
      i = amp + 1;
    }
    std::sort(args.begin(), args.end());
    path.resize(q + 1);
    for (size_t i = 0; i < args.size(); ++i) path += (i ? "&" : "") + args[i];
  }
  return key + ")" + path;
}

namespace {

// An index's lines, plain or gzip; open gives its bytes from the start.
std::vector<IndexLine> read_index_from(const std::function<std::unique_ptr<Input>()>& open,
                                       const common::Error& where) {
  std::unique_ptr<Input> in = open();
  uint8_t magic[2] = {0, 0};
  {
    std::unique_ptr<Input> peek = open();
    peek->read(magic, 1);
    peek->read(magic + 1, 1);
  }
  if (magic[0] == 0x1f && magic[1] == 0x8b) in.reset(new InflateInput(std::move(in), InflateInput::GZIP, where));
  Reader reader(in.get());
  std::vector<IndexLine> out;
  std::vector<char> header;
  std::string text;
  for (bool more = true; more;) {
    more = reader.line(&text, 1 << 20, where);
    if (std::vector<char> h = cdx_header(text); !h.empty()) header = h;
    IndexLine l;
    if (parse_index_line(text, header, &l)) out.push_back(std::move(l));
  }
  return out;
}

bool is_index_name(const std::string& name) {
  for (const char* ext : {".cdx", ".cdxj", ".cdx.gz", ".cdxj.gz"})
    if (ends_with(ascii_lower(name), ext)) return true;
  return false;
}

// The WARCs a WACZ stores unpacked, each a plan over the WACZ's own bytes
// with the lines of its own index; why it is to be read whole, or "".
std::string add_wacz_plans(Importer* importer, const std::string& path, size_t input, std::vector<Plan>* plans) {
  std::vector<ZipMember> members = read_zip_directory(path);
  std::vector<IndexLine> lines;
  for (const ZipMember& m : members) {
    if (starts_with(m.name, "indexes/") && is_index_name(m.name)) {
      std::vector<IndexLine> more =
          read_index_from([&] { return open_zip_member(path, m); }, common::Error{path, 0, -1, "", -1, m.name});
      lines.insert(lines.end(), more.begin(), more.end());
    }
    if (m.name == "pages/pages.jsonl") {
      std::unique_ptr<Input> in = open_zip_member(path, m);
      Reader reader(in.get());
      std::string line;
      for (bool more = true; more;) {
        more = reader.line(&line, 1 << 20, common::Error{path, 0, -1, "", -1, m.name});
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.contains("url") && j["url"].is_string()) {
          importer->set_start_page(j["url"]);
          break;
        }
      }
    }
  }
  if (lines.empty()) return "no index under indexes/";
  const size_t first = plans->size();
  uint64_t ignored = 0;
  for (const ZipMember& m : members) {
    if (!starts_with(m.name, "archive/") || m.name.back() == '/') continue;
    if (m.method != 0) return m.name + " is compressed in the ZIP";
    std::string h = read_bytes(path, m.header_offset, 30, &ignored);
    if (h.size() < 30) return m.name + ": no ZIP member header";
    auto u16 = [&](size_t at) { return int64_t(uint8_t(h[at])) | int64_t(uint8_t(h[at + 1])) << 8; };
    Plan p;
    p.path = path;
    p.member = m.name;
    p.name = base_name(m.name);
    p.wacz = true;
    p.input = input;
    p.start = m.header_offset + 30 + u16(26) + u16(28);
    p.size = p.start + m.size;
    p.gz = read_bytes(path, p.start, 2, &ignored) == "\x1f\x8b";
    for (const IndexLine& l : lines)
      if (base_name(l.filename) == p.name) {
        p.lines.push_back(l);
        p.lines.back().offset += p.start;
      }
    plans->push_back(std::move(p));
  }
  return plans->size() == first ? "no WARC under archive/" : "";
}

}  // namespace

std::vector<IndexLine> read_index(const std::string& path) {
  return read_index_from([&] { return std::unique_ptr<Input>(new FileInput(path)); }, common::Error{path, 0, -1, ""});
}

std::vector<std::string> indexes_beside(const std::string& warc) {
  std::vector<std::string> out;
  fs::path dir = common::fs_path(warc).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec) && is_index_name(it->path().filename().u8string()))
      out.push_back(common::utf8_path(it->path()));
  std::sort(out.begin(), out.end());
  // A collection laid out as WACZ unpacked: archive/ beside indexes/.
  if (dir.filename() == "archive")
    for (const char* name : {"index.cdx", "index.cdxj", "index.cdx.gz", "index.cdxj.gz"}) {
      fs::path p = dir.parent_path() / "indexes" / name;
      if (fs::is_regular_file(p, ec)) out.push_back(common::utf8_path(p));
    }
  return out;
}

IndexedRead add_indexed(Importer* importer, const Options& options, const std::vector<std::string>& inputs,
                        const std::vector<std::string>& given) {
  IndexedRead r;
  std::vector<Plan> plans;
  // Inputs read whole, and why (no message: no warning needed).
  std::vector<bool> whole(inputs.size());
  std::vector<common::Error> why(inputs.size());
  std::set<std::string> index_files(given.begin(), given.end());
  for (size_t k = 0; k < inputs.size(); ++k) {
    const std::string& in = inputs[k];
    const int64_t size = int64_t(common::input_size(in));
    r.total += uint64_t(size);
    std::error_code ec;
    uint64_t peeked = 0;  // read again with the records
    std::string magic = fs::is_directory(common::fs_path(in), ec) ? "" : read_bytes(in, 0, 5, &peeked);
    Plan p;
    p.path = in;
    p.name = base_name(in);
    p.input = k;
    p.size = size;
    if (magic.compare(0, 2, "\x1f\x8b") == 0 || magic == "WARC/") {
      p.gz = magic[0] == '\x1f';
      plans.push_back(p);
      if (given.empty())
        for (const std::string& x : indexes_beside(in)) index_files.insert(x);
    } else if (magic.compare(0, 4, "PK\x03\x04") == 0) {
      why[k] = common::Error{in, 0, -1, add_wacz_plans(importer, in, k, &plans)};
      whole[k] = !why[k].message.empty();
    } else {
      whole[k] = true;
    }
  }
  // Each line goes to the WARC file its file name names.
  std::map<std::string, std::vector<size_t>> by_name;
  for (size_t k = 0; k < plans.size(); ++k)
    if (!plans[k].wacz) by_name[plans[k].name].push_back(k);
  for (const std::string& x : index_files)
    for (IndexLine& l : read_index(x)) {
      auto it = by_name.find(base_name(l.filename));
      if (it != by_name.end())
        for (size_t k : it->second) plans[k].lines.push_back(l);
    }
  std::vector<std::string> keys;
  for (const std::string& p : options.includes)
    keys.push_back(p.find('?') == std::string::npos ? surt(p) : "");
  auto fail = [&](const Plan& p, common::Error e) {
    if (whole[p.input]) return;
    whole[p.input] = true;
    if (p.wacz) e.within = p.member;
    why[p.input] = e;
  };
  auto mismatched = [&](const Plan& p, const Fault& f) {
    if (f.reach != Reach::file) throw f;
    fail(p, f.error);
  };
  // The records wanted, then the originals of their revisits found by digest.
  std::set<std::string> revisited, had;
  for (Plan& p : plans) {
    if (p.lines.empty()) {
      fail(p, common::Error{p.path, 0, -1,
                            index_files.empty() && !p.wacz ? "no CDX or CDXJ index given or found beside it"
                                                           : "no line of the index names it"});
      continue;
    }
    try {
      check_plan(&p);
    } catch (const Fault& f) {
      mismatched(p, f);
      continue;
    }
    p.wanted.assign(p.lines.size(), false);
    p.original.assign(p.lines.size(), false);
    for (size_t i = 0; i < p.lines.size(); ++i) {
      const IndexLine& l = p.lines[i];
      bool in = false;
      for (size_t k = 0; k < keys.size() && !in; ++k) in = under(l, options.includes[k], keys[k]);
      for (const std::string& x : options.excludes)
        if (!l.url.empty() && starts_with(ascii_lower(l.url), ascii_lower(x))) in = false;
      p.wanted[i] = in;
      if (!in || l.digest.empty()) continue;
      (l.mime == "warc/revisit" ? revisited : had).insert(l.digest);
    }
  }
  for (Plan& p : plans)
    for (size_t i = 0; i < p.original.size(); ++i) {
      const IndexLine& l = p.lines[i];
      p.original[i] = !p.wanted[i] && l.mime != "warc/revisit" && revisited.count(l.digest) &&
                      !had.count(l.digest);
    }
  for (Plan& p : plans) {
    if (whole[p.input]) continue;
    try {
      verify(p, &r.read);
    } catch (const Fault& f) {
      mismatched(p, f);
    }
  }
  std::vector<std::string> failed;
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (!whole[k] || why[k].message.empty()) continue;
    if (options.strict) throw Fault(with_message(why[k], why[k].message + " (--strict)"));
    failed.push_back(why[k].text());
  }
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (whole[k]) {
      importer->add(inputs[k]);
      r.read += common::input_size(inputs[k]);
      continue;
    }
    for (Plan& p : plans) {
      if (p.input != k) continue;
      // Placed as a whole read places them: the ranges' bytes where they lie in the file.
      const common::Error where{p.path, 0, -1, "", -1, p.wacz ? p.member : ""};
      for (bool originals : {false, true}) {
        std::vector<RangesInput::Range> ranges = ranges_of(p, originals ? p.original : p.wanted, !originals);
        if (ranges.empty()) continue;
        std::unique_ptr<Input> in(new RangesInput(p.path, ranges, &r.read));
        InflateInput* z = nullptr;
        if (p.gz) in.reset(z = new InflateInput(std::move(in), InflateInput::GZIP, where));
        importer->set_originals_only(originals);
        importer->add_records(in.get(), where, nullptr, z);
        importer->set_originals_only(false);
      }
    }
  }
  if (!failed.empty()) {
    std::string line = "read whole, not through an index (" + std::to_string(failed.size()) + "): " + failed[0];
    for (size_t k = 1; k < failed.size() && k < 4; ++k) line += "; also " + failed[k];
    if (failed.size() > 4) line += "; ...";
    r.warnings.push_back(line);
  }
  return r;
}

}  // namespace capture
