#include "import/readers.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "common/base64.h"
#include "common/url.h"
#include "common/utf.h"
#include "import/body.h"
#include "import/digest.h"
#include "import/intake.h"
#include "import/record.h"
#include "import/warc.h"

namespace capture {

using common::ascii_lower;
using common::is_web_url;
using Payload = Intake::Payload;

namespace {

std::vector<std::string> ids(const Headers& headers, const char* name) {
  std::vector<std::string> out;
  for (const auto& h : headers)
    if (ascii_lower(h.first) == ascii_lower(name)) out.push_back(h.second);
  return out;
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

// Where a revisit's original may be found.
struct RevisitRefs {
  std::string uri_date, digest, uri;
};

// Payloads by what a revisit names them by, and the revisits kept without
// one, over every record file of the import.
class Originals : public Intake::Deferred {
 public:
  static std::unique_ptr<Intake::Deferred> make() { return std::unique_ptr<Intake::Deferred>(new Originals); }
  void settle(Intake* intake) override;
  const Payload* find(const RevisitRefs& refs);
  // Whether a record may be the original of a revisit looked for.
  bool wanted(const RecordHead& head) const;
  // A response the filters left out, noted by what a revisit may name it by.
  void left_out(const RecordHead& head);
  std::map<std::string, Payload> by_digest, by_uri_date, by_uri;
  std::vector<std::pair<size_t, RevisitRefs>> revisits;  // item index, in order
  std::vector<std::function<void(Intake*)>> files;  // each record file, read again
  // While files are read again: what revisits name the originals they lack by.
  std::set<std::string> looked_for;

 private:
  // What a revisit may name a record by: its payload's digest, URI, URI and date.
  static std::vector<std::string> names(const RecordHead& head);
  // Bits k of the names of the responses left out (a Bloom filter, as a
  // crawl leaves out millions): a name not there was not left out.
  static uint64_t bit(const std::string& name, int k);
  bool maybe_left_out(const std::string& name) const;
  std::vector<uint64_t> left_out_;
};

const char kOriginals = 0;

const Payload* Originals::find(const RevisitRefs& refs) {
  const Payload* p = nullptr;
  auto look = [&](std::map<std::string, Payload>& m, const std::string& k) {
    if (!p && !k.empty()) {
      auto it = m.find(k);
      if (it != m.end()) p = &it->second;
    }
  };
  look(by_uri_date, refs.uri_date);
  look(by_digest, refs.digest);
  look(by_uri, refs.uri);
  return p;
}

std::vector<std::string> Originals::names(const RecordHead& head) {
  const std::string uri = head.target_uri(), digest = header(head.headers, "WARC-Payload-Digest");
  std::vector<std::string> out = {uri, uri + '\n' + header(head.headers, "WARC-Date")};
  if (!digest.empty()) out.push_back(digest);
  return out;
}

bool Originals::wanted(const RecordHead& head) const {
  for (const std::string& name : names(head))
    if (looked_for.count(name)) return true;
  return false;
}

uint64_t Originals::bit(const std::string& name, int k) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a, then k rounds of a mix
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  for (int i = 0; i <= k; ++i) h = (h ^ (h >> 31)) * 0x9E3779B97F4A7C15ull;
  return h % (uint64_t(64) << 20);
}

void Originals::left_out(const RecordHead& head) {
  if (left_out_.empty()) left_out_.resize(1 << 20);  // 8 MiB
  for (const std::string& name : names(head))
    for (int k = 0; k < 3; ++k) left_out_[bit(name, k) / 64] |= uint64_t(1) << (bit(name, k) % 64);
}

bool Originals::maybe_left_out(const std::string& name) const {
  if (left_out_.empty()) return false;
  for (int k = 0; k < 3; ++k)
    if (!(left_out_[bit(name, k) / 64] >> (bit(name, k) % 64) & 1)) return false;
  return true;
}

void Originals::settle(Intake* intake) {
  // An original the filters left out still gives a revisit they keep its
  // payload (as an index's read does): the files are read again for those
  // originals alone, counted the first time.
  for (const auto& r : revisits)
    if (!find(r.second))
      for (const std::string* k : {&r.second.uri_date, &r.second.digest, &r.second.uri})
        if (!k->empty() && maybe_left_out(*k)) looked_for.insert(*k);
  if (!looked_for.empty()) {
    const bool was = intake->originals_only;
    intake->originals_only = true;
    intake->counting = false;
    for (const auto& read : files) read(intake);
    intake->counting = true;
    intake->originals_only = was;
    looked_for.clear();
  }
  std::vector<Item>& all = intake->items();
  std::vector<Item> items;
  size_t r = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    Item& item = all[i];
    if (r < revisits.size() && revisits[r].first == i) {
      const Payload* p = find(revisits[r++].second);
      if (!p) {
        intake->skip("revisit of a payload not in the capture");
        continue;
      }
      item.file = p->file;
      item.size = p->size;
      if (item.content_type.empty()) item.content_type = p->content_type;
    }
    items.push_back(std::move(item));
  }
  all.swap(items);
}

// An item held until the file's requests are paired with it.
struct Held {
  Item item;
  std::string record_id;
  std::vector<std::string> concurrent;
  int64_t record_index = -1;
  bool wants_key = false;
  bool revisit = false;
  RevisitRefs refs;
};

struct Request {
  std::string id, uri, key, where;
  std::vector<std::string> concurrent;
  int64_t index = 0;
  bool damaged = true;  // its key is not to be trusted
};

// One record file (or WACZ member) being read.
class RecordFile {
 public:
  RecordFile(Intake* intake)
      : in_(intake), originals_(static_cast<Originals*>(intake->deferred(&kOriginals, Originals::make))) {}
  void read(Input* input, const common::Error& where, const FileInput* progress_file, InflateInput* gzip);

 private:
  void record(const RecordHead& head, BlockInput* block, int64_t index);
  void pair_requests();
  // Reads a request's message into r; false when it is damaged (counted as bad).
  bool request(const RecordHead& head, Reader* http_reader, Request* r);
  bool response(const RecordHead& head, Reader* http_reader, const BlockInput* block, Held* held,
                Payload* payload);
  // A revisit's item, its payload looked up at the end; http is its message,
  // if the block holds one.
  void revisit(const RecordHead& head, Held* held, const HttpMessage* http);
  // False when the digest fails (counted as bad); throws when the block is cut short.
  bool block_intact(const RecordHead& head, const std::string& type, HashInput* hashed,
                    const BlockInput* block, bool kept, const Payload& payload);
  void keep_payload(const RecordHead& head, const std::string& uri, Held held, const Payload& payload);
  void hold(Held held) {
    if (in_->fits_player(held.item)) held_.push_back(std::move(held));
  }

  Intake* in_;
  Originals* originals_;
  std::vector<Held> held_;
  std::vector<Request> requests_;
  std::unordered_set<std::string> ids_;  // every record ID, whatever the record's type
  std::unordered_map<std::string, std::vector<int64_t>> responses_;  // URI -> response and revisit indexes
};

void RecordFile::read(Input* input, const common::Error& where, const FileInput* progress_file, InflateInput* gzip) {
  RecordReader records(input, where, gzip);
  RecordHead head;
  int64_t index = 0;
  for (;;) {
    try {
      in_->set_current(records.place());
      if (!records.next(&head)) break;
      in_->set_current(head.place);
      std::string id = header(head.headers, "WARC-Record-ID");
      if (!id.empty()) ids_.insert(id);
      record(head, records.block(), index++);
    } catch (const Fault& f) {
      if (f.reach != Reach::record) throw;
      in_->bad(f.error, "damaged record");
      if (!records.recover()) break;
    }
    if (progress_file) in_->report(uint64_t(progress_file->position()), held_.size());
  }
  pair_requests();
}

// Pairs each response with its request. Only a sure pair gives a POST key:
// WARC-Concurrent-To either way, else, where neither record names another,
// the one request for the same URI since the URI's previous response; a
// request answers one response only. A response whose request is missing,
// damaged, another's or one of several is skipped: keyed by a guess it would
// serve another answer's bytes. Indexed, as a crawl holds many thousands of each.
void RecordFile::pair_requests() {
  const std::vector<Request>& requests = requests_;
  std::unordered_map<std::string, size_t> by_id;
  std::unordered_map<std::string, std::vector<size_t>> naming;  // response ID -> requests naming it
  std::vector<bool> linked(requests.size()), claimed(requests.size());
  for (size_t k = 0; k < requests.size(); ++k) {
    if (!requests[k].id.empty()) by_id.emplace(requests[k].id, k);
    for (const std::string& id : requests[k].concurrent) naming[id].push_back(k), linked[k] = true;
  }
  for (const Held& held : held_)
    for (const std::string& id : held.concurrent) {
      auto it = by_id.find(id);
      if (it != by_id.end()) linked[it->second] = true;
    }
  std::unordered_map<std::string, std::vector<size_t>> by_uri;  // unlinked requests, in record order
  for (size_t k = 0; k < requests.size(); ++k)
    if (!linked[k]) by_uri[requests[k].uri].push_back(k);
  for (Held& held : held_) {
    Item& item = held.item;
    std::string unsure;
    if (held.wants_key) {
      std::vector<size_t> links;
      for (const std::string& id : held.concurrent) {
        auto it = by_id.find(id);
        if (it != by_id.end()) links.push_back(it->second);
      }
      auto named = held.record_id.empty() ? naming.end() : naming.find(held.record_id);
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
      } else if (std::any_of(held.concurrent.begin(), held.concurrent.end(),
                             [&](const std::string& id) { return !ids_.count(id); })) {
        unsure = "it names a concurrent record (its request) that is not in the file";
      } else if (auto same = by_uri.find(item.url); same != by_uri.end()) {
        auto before = [&](const auto& list, int64_t index, auto at) {
          return std::lower_bound(list.begin(), list.end(), index, [&](const auto& v, int64_t i) { return at(v) < i; });
        };
        // The requests since the previous response for the URI.
        const std::vector<int64_t>& answers = responses_.at(item.url);
        auto previous = before(answers, held.record_index, [](int64_t v) { return v; });
        const int64_t since = previous == answers.begin() ? -1 : *(previous - 1);
        auto to = before(same->second, held.record_index, [&](size_t k) { return requests[k].index; });
        auto from = before(same->second, since + 1, [&](size_t k) { return requests[k].index; });
        if (to - from == 1 && !claimed[*from]) found = *from;
        else if (to == from) unsure = "the file has requests for its URL, none since the previous response";
        else if (to - from > 1)
          unsure = "several requests for its URL since the previous response; which it answers is not known";
        else unsure = "its request (" + requests[*from].where + ") answers another response";
      }
      if (found < requests.size()) {
        claimed[found] = true;
        if (requests[found].damaged) unsure = "its request (" + requests[found].where + ") is damaged";
        else item.post_key = requests[found].key;
      }
    }
    if (!unsure.empty()) {
      in_->bad(with_message(item.where, unsure), "no sure request");
      continue;
    }
    if (held.revisit) originals_->revisits.emplace_back(in_->items().size(), held.refs);
    in_->append(std::move(item));
  }
  // Payload files stay until the end: a revisit may still name one.
  held_.clear();
}

bool RecordFile::block_intact(const RecordHead& head, const std::string& type, HashInput* hashed,
                              const BlockInput* block, bool kept, const Payload& payload) {
  hashed->drain();
  const std::vector<uint8_t> computed = hashed->digest();
  if (!digest_matches(block_digest(head, type), computed)) {
    if (kept) in_->drop_payload(payload);
    in_->bad(with_message(head.place, "the block does not match its WARC-Block-Digest"), "damaged record");
    return false;
  }
  if (block->left()) {
    if (kept) in_->drop_payload(payload);
    throw Fault(with_message(head.place, "the record's " + std::to_string(head.length) +
                                             " bytes run past the end of the file"),
                Reach::record);
  }
  return true;
}

// Indexes the payload for revisits (by URI, URI and date, digest) and keeps it.
void RecordFile::keep_payload(const RecordHead& head, const std::string& uri, Held held, const Payload& kept) {
  Payload payload = kept;
  held.item.file = payload.file;
  held.item.size = payload.size;
  payload.content_type = held.item.content_type;
  originals_->by_uri[uri] = payload;
  std::string date = header(head.headers, "WARC-Date");
  if (!date.empty()) originals_->by_uri_date[uri + '\n' + date] = payload;
  std::string digest = header(head.headers, "WARC-Payload-Digest");
  if (!digest.empty()) originals_->by_digest[digest] = payload;
  if (!in_->originals_only) hold(std::move(held));
}

void RecordFile::record(const RecordHead& head, BlockInput* block, int64_t index) {
  const std::string type = head.type();
  const common::Error& where = head.place;
  const std::string uri = head.target_uri();
  if (type != "request" && type != "response" && type != "resource" && type != "revisit") return;
  if (in_->originals_only && type != "response" && type != "resource") return;
  if (!originals_->looked_for.empty() && !originals_->wanted(head)) return;
  if (!is_web_url(uri)) {
    if (type != "request") in_->skip("not an http or https URL");
    return;
  }
  if (type == "response" || type == "revisit") responses_[uri].push_back(index);
  if (type != "request" && !header(head.headers, "WARC-Truncated").empty()) return in_->skip("incomplete");
  const int left_before = in_->left_out;
  auto noted = [&] {
    if (in_->left_out != left_before) originals_->left_out(head);
  };
  Held held;
  Item& item = held.item;
  item.url = uri;
  item.where = where;
  held.record_id = header(head.headers, "WARC-Record-ID");
  held.concurrent = ids(head.headers, "WARC-Concurrent-To");
  held.record_index = index;
  HashInput hashed(block, block_digest(head, type).algo);
  Reader http(&hashed);
  const bool http_block = is_http_block(head, type, &http);
  Payload payload;
  bool kept = false;
  if (head.version == "arc" && head.length == 0) {
    return in_->bad(with_message(where, "response record without an HTTP message"));
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
    if (!(kept = in_->take(c, &item, &payload))) return noted();
  } else if (!http_block && type == "revisit") {
    // Some writers store a revisit's block empty: the original's headers apply.
    if (head.length == 0) in_->accepted(where.place(), "revisit record with an empty block");
    revisit(head, &held, nullptr);
  } else if (!http_block) {
    return in_->bad(with_message(where, "response record without an HTTP message"));
  } else if (type == "request") {
    // Marked damaged until checked whole: a cut ends this record in a throw.
    Request r;
    r.id = held.record_id;
    r.uri = uri;
    r.where = where.place();
    r.concurrent = held.concurrent;
    r.index = index;
    requests_.push_back(r);
    if (request(head, &http, &requests_.back()) && block_intact(head, type, &hashed, block, false, payload))
      requests_.back().damaged = false;
    return;
  } else {
    kept = response(head, &http, block, &held, &payload);
    if (!kept && !held.revisit) return noted();  // refused, already counted
  }
  if (!block_intact(head, type, &hashed, block, kept, payload)) return;
  if (held.revisit) return hold(std::move(held));
  if (!kept) return;
  keep_payload(head, uri, std::move(held), payload);
}

bool RecordFile::request(const RecordHead& head, Reader* http_reader, Request* r) {
  auto bad = [&](std::string why, const char* kind) {
    return in_->bad(with_message(head.place, std::move(why)), kind), false;
  };
  HttpMessage http;
  std::string error = parse_http_head(http_reader, &http);
  if (!error.empty()) return bad(error, "bad record");
  in_->lenience(r->where, http.lenient);
  if (ascii_lower(http.method) != "post") return true;
  const DigestValue digest = parse_digest(header(head.headers, "WARC-Payload-Digest"));
  std::vector<uint8_t> body;
  BodyResult b = decode_stream(http.headers, http_reader,
                               [&](const uint8_t* p, size_t n) { body.insert(body.end(), p, p + n); },
                               uint64_t(pack::entry_text_limit()), digest.algo);
  if (!b.error.message.empty()) return bad("request body: " + b.error.message, "undecodable");
  if (!digest_matches(digest, b.raw_digest) &&
      !(b.dechunked_digest.size() && digest_matches(digest, b.dechunked_digest)))
    return bad("the request body does not match its WARC-Payload-Digest", "damaged record");
  if (!length_fits(http.headers, b.raw_size))
    return bad("the HTTP request body holds " + std::to_string(b.raw_size) + " bytes, its Content-Length says " +
                   header(http.headers, "Content-Length"),
               "damaged record");
  if (!b.complete) return bad("the HTTP request body is shorter than its Content-Length", "damaged record");
  if (!body.empty()) r->key = common::base64(body.data(), body.size());
  return true;
}

// Reads a response or revisit's HTTP message; true when a payload file was
// written.
bool RecordFile::response(const RecordHead& head, Reader* http_reader, const BlockInput* block, Held* held,
                          Payload* payload) {
  Item* item = &held->item;
  HttpMessage http;
  std::string error = parse_http_head(http_reader, &http);
  if (!error.empty()) return in_->bad(with_message(item->where, error)), false;
  in_->lenience(item->where.place(), http.lenient);
  if (head.type() == "revisit") return revisit(head, held, &http), false;
  Captured c;
  c.url = item->url;
  c.where = item->where;
  c.status = http.status;
  c.headers = std::move(http.headers);
  c.body = http_reader;
  c.digest = parse_digest(header(head.headers, "WARC-Payload-Digest"));
  c.record = block;
    c.record_length = head.length;
  if (!in_->take(c, item, payload)) return false;
  held->wants_key = true;
  return true;
}

void RecordFile::revisit(const RecordHead& head, Held* held, const HttpMessage* http) {
  Item* item = &held->item;
  // A 304 stands for the original's 200; without a message its headers apply.
  const int status = !http || http->status == 304 ? 200 : http->status;
  if (!in_->admit(item->url, status, http ? http->headers : Headers(), "", item->where.place())) return;
  held->revisit = true;
  RevisitRefs& refs = held->refs;
  refs.uri = header(head.headers, "WARC-Refers-To-Target-URI");
  if (refs.uri.size() >= 2 && refs.uri.front() == '<') refs.uri = refs.uri.substr(1, refs.uri.size() - 2);
  std::string date = header(head.headers, "WARC-Refers-To-Date");
  if (!refs.uri.empty() && !date.empty()) refs.uri_date = refs.uri + '\n' + date;
  refs.digest = header(head.headers, "WARC-Payload-Digest");
  item->content_type = http ? header(http->headers, "Content-Type") : "";
  held->wants_key = true;
}

}  // namespace

void read_records(Intake* intake, Input* input, const common::Error& where, const FileInput* progress_file,
                  InflateInput* gzip) {
  RecordFile(intake).read(input, where, progress_file, gzip);
}

void read_again(Intake* intake, std::function<void(Intake*)> read) {
  static_cast<Originals*>(intake->deferred(&kOriginals, Originals::make))->files.push_back(std::move(read));
}

void read_record_file(Intake* intake, const std::string& path) {
  std::vector<uint8_t> head = read_head(path, 2);
  const bool gzip = head.size() == 2 && head[0] == 0x1f && head[1] == 0x8b;
  if (gzip != ends_with(ascii_lower(path), ".gz"))
    intake->accepted(path, gzip ? "gzip told by its bytes, not its name" : "named .gz, but not compressed");
  std::unique_ptr<FileInput> file(new FileInput(path));
  const FileInput* progress = intake->counting ? file.get() : nullptr;
  if (intake->counting) read_again(intake, [path](Intake* again) { read_record_file(again, path); });
  std::unique_ptr<Input> in(std::move(file));
  const common::Error where{path, 0, -1, ""};
  if (!gzip) return read_records(intake, in.get(), where, progress);
  // A record that starts a gzip member is placed at the member's start;
  // other places count in the uncompressed stream.
  InflateInput* gz = new InflateInput(std::move(in), InflateInput::GZIP, where);
  in.reset(gz);
  read_records(intake, in.get(), where, progress, gz);
}

}  // namespace capture
