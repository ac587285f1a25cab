// HAR files (a browser's saved requests and responses, as JSON), read as a
// stream: one entry at a time as a small tree, long strings (a saved body)
// through files, so memory does not follow the file or any body in it.
#include <algorithm>
#include <cstring>
#include <memory>

#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "common/file.h"
#include "common/url.h"
#include "common/utf.h"
#include "import/accept.h"
#include "import/body.h"
#include "import/intake.h"
#include "import/readers.h"
#include "import/json_spill.h"

namespace capture {

namespace {

using json = nlohmann::json;
using common::is_web_url;

// A spilled string read back into the entry's tree when no longer than this;
// a longer one (other than the saved body) makes the entry too large.
constexpr uint64_t kReadBack = 1 << 20;
// What an entry's tree may take besides its saved body.
constexpr uint64_t kEntryBudget = 16 << 20;

// A saved body in base64, decoded as it is read.
class Base64Input : public Input {
 public:
  explicit Base64Input(Input* inner) : inner_(inner), in_(1 << 16) {}
  size_t read(uint8_t* buf, size_t n) override {
    while (pos_ == out_.size()) {
      if (done_) return 0;
      out_.clear();
      pos_ = 0;
      size_t got = inner_->read(reinterpret_cast<uint8_t*>(in_.data()), in_.size());
      done_ = got == 0;
      if ((got && !base64_.feed(in_.data(), got, &out_)) || (done_ && !base64_.finish())) {
        // Once: the rest is drained after the fault, and must end quietly.
        done_ = true;
        out_.clear();
        throw undecodable("content.text is not valid base64");
      }
    }
    size_t k = std::min(n, out_.size() - pos_);
    std::memcpy(buf, out_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  Input* inner_;
  std::vector<char> in_;
  std::string out_;
  size_t pos_ = 0;
  bool done_ = false;
  common::Base64Decoder base64_;
};

// A JSON number that is a whole number in [low, high]; the rest is refused
// (1e300 or 200.7 as a status).
bool whole_number(const json& j, int64_t low, int64_t high, int64_t* out) {
  if (j.is_number_unsigned()) {
    uint64_t v = j.get<uint64_t>();
    if (v > uint64_t(high)) return false;
    *out = int64_t(v);
  } else if (j.is_number_integer()) {
    *out = j.get<int64_t>();
  } else {
    return false;
  }
  return *out >= low && *out <= high;
}

// A HAR request's body: its text, else (as some writers give a form) its
// params joined again in form encoding. text reads a string field.
template <typename Text>
std::string har_post_body(const json& post, Text text) {
  if (post.contains("text") && post["text"].is_string()) return text(post["text"], "request.postData.text");
  std::string body;
  if (!post.contains("params") || !post["params"].is_array()) return body;
  auto encode = [](const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
      if (std::isalnum(c) || std::strchr("-._*", c)) out += char(c);
      else if (c == ' ') out += '+';
      else {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", c);
        out += buf;
      }
    }
    return out;
  };
  for (const auto& p : post["params"]) {
    if (!body.empty()) body += '&';
    std::string name = p.value("name", std::string()), value = p.value("value", std::string());
    if (p.contains("name")) name = text(p["name"], "a request.postData param");
    if (p.contains("value")) value = text(p["value"], "a request.postData param");
    body += encode(name) + '=' + encode(value);
  }
  return body;
}

// A string field left in its spill file, longer than the entry may hold:
// the entry is skipped as too large for the player.
Fault field_too_large(const char* field, uint64_t size) {
  return fault_of(field + (" takes " + std::to_string(size)) + " bytes; the player reads at most " +
                      std::to_string(pack::entry_text_limit()),
                  Reach::record);
}

// 1 + the line feeds before byte `at` of the input.
int64_t line_of(Input* input, int64_t at) {
  if (!input->seek(0)) return 0;
  int64_t line = 1, pos = 0;
  std::vector<uint8_t> buf(1 << 16);
  while (pos < at) {
    size_t got = input->read(buf.data(), size_t(std::min<int64_t>(int64_t(buf.size()), at - pos)));
    if (!got) break;
    line += std::count(buf.begin(), buf.begin() + long(got), '\n');
    pos += int64_t(got);
  }
  return line;
}

class HarReader;
void har_entry(Intake* intake, const json& e, const common::Error& where, HarReader* reader);

// Follows the parser's events: above log.entries it keeps only where it is;
// each entry becomes a small tree, handed to har_entry when it closes.
class HarReader : public json::json_sax_t {
 public:
  HarReader(Intake* intake, JsonSpill* spill, const std::string& path)
      : intake_(intake), spill_(spill), path_(path) {}
  bool found_entries() const { return found_; }

  // A string field of the entry being handled.
  std::string text(const json& j, const char* field) const {
    std::string s = j.get<std::string>();
    if (const JsonSpill::Spill* sp = spill_->spill(s)) throw field_too_large(field, sp->size);
    return s;
  }
  std::string text_or(const json& j, const char* key, const char* field) const {
    if (j.is_object() && j.contains(key)) return text(j[key], field);
    return j.value(key, std::string());
  }
  const JsonSpill::Spill* spilled(const std::string& s) const { return spill_->spill(s); }

  bool null() override { return value(json(nullptr)); }
  bool boolean(bool v) override { return value(json(v)); }
  bool number_integer(number_integer_t v) override { return value(json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return value(json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return value(json(v)); }
  bool binary(binary_t&) override { return value(json()); }
  bool string(string_t& s) override {
    common::Error why;
    if (spill_->fault(s, &why)) {
      if (building() && fault_.message.empty()) fault_ = why;
      return value(json());
    }
    if (!building() || skipping_) {
      // Only a string standing as a whole entry is wanted here.
      const bool entry = !building() && next_role() == ENTRY;
      spill_->release(s);
      return value(entry ? json(s) : json());
    }
    if (const JsonSpill::Spill* sp = spill_->spill(s)) {
      const bool body = stack_.size() == 3 && keys_[0] == "response" && keys_[1] == "content" && keys_[2] == "text";
      if (!body && sp->size <= kReadBack) {
        std::string marker = s;
        common::Error error;
        s.clear();
        if (!common::read_whole_file(sp->path, &s, &error)) throw Fault(error);
        spill_->release(marker);
      } else {
        spills_.push_back(s);
      }
    }
    used_ += s.size();
    return value(json(std::move(s)));
  }
  bool key(string_t& s) override {
    common::Error why;
    if (building() && fault_.message.empty() && spill_->fault(s, &why)) fault_ = why;
    spill_->release(s);
    if (!building()) {
      if (other_ == 0) key_ = s;
    } else if (!skipping_) {
      keys_.back() = s;
      used_ += s.size();
      member_ = &(*stack_.back())[s];
    }
    return true;
  }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t byte, const std::string&, const nlohmann::detail::exception& ex) override {
    // Syntax errors are numbered 1xx; byte is the bytes read, the last one
    // the offending one.
    if (ex.id >= 100 && ex.id < 200) throw json_fault(spill_->input_offset(byte > 0 ? byte - 1 : 0));
    throw json_fault(spill_->input_offset(byte > 0 ? byte - 1 : 0), ex.what());
  }

 private:
  enum Role { TOP, LOG, ENTRIES, ENTRY, OTHER };

  bool building() const { return depth_ > 0; }
  // What the value about to start is, above the entries.
  Role next_role() const {
    if (other_) return OTHER;
    if (frames_.empty()) return TOP;
    if (frames_.back() == TOP && key_ == "log") return LOG;
    if (frames_.back() == LOG && key_ == "entries") return ENTRIES;
    if (frames_.back() == ENTRIES) return ENTRY;
    return OTHER;
  }

  bool open(bool object) {
    if (!building()) {
      Role role = next_role();
      if (role == ENTRY) {
        begin_entry();
      } else {
        if ((role == TOP || role == LOG) && object) frames_.push_back(role);
        else if (role == ENTRIES && !object) frames_.push_back(role), found_ = true;
        else ++other_;
        return true;
      }
    }
    ++depth_;
    if (skipping_) return true;
    json* node = add(object ? json::object() : json::array());
    if (!node) return true;
    stack_.push_back(node);
    keys_.emplace_back();
    return true;
  }

  bool close() {
    if (!building()) {
      if (other_) --other_;
      else if (!frames_.empty()) {
        found_ = found_ || frames_.back() == ENTRIES;
        frames_.pop_back();
      }
      return true;
    }
    --depth_;
    if (!skipping_) {
      stack_.pop_back();
      keys_.pop_back();
    }
    if (depth_ == 0) end_entry();
    return true;
  }

  bool value(json v) {
    if (!building()) {
      if (next_role() == ENTRY) {
        begin_entry();
        entry_ = std::move(v);
        end_entry();
      }
      return true;
    }
    if (!skipping_) add(std::move(v));
    return true;
  }

  // Adds a value at the current place of the entry's tree; null once the
  // entry is over its budget.
  json* add(json v) {
    used_ += 32;
    if (used_ > kEntryBudget) {
      skipping_ = true;
      stack_.clear();
      keys_.clear();
      entry_ = json();
      return nullptr;
    }
    if (stack_.empty()) {
      entry_ = std::move(v);
      return &entry_;
    }
    if (stack_.back()->is_array()) {
      stack_.back()->push_back(std::move(v));
      return &stack_.back()->back();
    }
    *member_ = std::move(v);
    return member_;
  }

  void begin_entry() {
    entry_ = json();
    fault_ = common::Error();
    used_ = 0;
    skipping_ = false;
  }

  void end_entry() {
    struct Release {
      HarReader* reader;
      ~Release() { reader->release_entry(); }
    } release{this};
    const common::Error where{path_, 0, -1, "", -1, "entries[" + std::to_string(index_++) + "]"};
    intake_->set_current(where);
    try {
      if (!fault_.message.empty())
        intake_->bad(common::Error{path_, 0, fault_.offset, fault_.message, -1, where.within});
      else if (skipping_) intake_->bad(with_message(where, "the entry takes more than 16 MiB besides its saved body"));
      else har_entry(intake_, entry_, where, this);
    } catch (const json::exception& e) {
      intake_->bad(with_message(where, std::string("not a HAR entry (") + e.what() + ")"));
    } catch (const Fault& f) {
      // An entry's faults reach no further than the entry: only a field too large.
      if (f.reach != Reach::record) throw;
      intake_->bad(with_message(where, f.error.message), "too large for the player");
    }
    intake_->report(uint64_t(spill_->consumed()));
  }

  void release_entry() {
    for (const std::string& s : spills_) spill_->release(s);
    spills_.clear();
    stack_.clear();
    keys_.clear();
    entry_ = json();
  }

  Intake* intake_;
  JsonSpill* spill_;
  const std::string path_;
  std::vector<Role> frames_;  // the top object, log and its entries, as far as open
  std::string key_;           // the last member name above the entries
  size_t other_ = 0;          // containers open elsewhere above the entries
  bool found_ = false;
  // The entry being read.
  json entry_;
  size_t depth_ = 0;
  std::vector<json*> stack_;
  std::vector<std::string> keys_;  // each open container's current member
  json* member_ = nullptr;
  uint64_t used_ = 0;
  bool skipping_ = false;
  common::Error fault_;  // why the entry cannot be read, found while parsing it (no message: none)
  std::vector<std::string> spills_;  // markers of spills the entry holds
  int64_t index_ = 0;
};

}  // namespace

void read_har_input(Intake* intake, Input* input, const std::string& path, size_t spill_above) {
  JsonSpill spill(input, intake->options().work_dir, spill_above);
  HarReader reader(intake, &spill, path);
  try {
    json::sax_parse(JsonSpill::Iterator(&spill), JsonSpill::Iterator(), &reader);
  } catch (const Fault& f) {
    if (f.reach != Reach::file) throw;
    // Nothing after it can be read; the entries before it stand.
    const int64_t at = f.error.offset;
    common::Error e{path, int32_t(line_of(input, at)), at,
                    "not valid JSON (byte " + std::to_string(at) + ")" +
                        (f.error.message.empty() ? "" : ": " + f.error.message) + "; nothing after it is read"};
    intake->bad(e, "damaged record");
  }
  if (!reader.found_entries())
    throw Fault(common::Error{path, 0, 0, "not a HAR file (no log.entries list)"});
}

namespace {

void har_entry(Intake* intake, const json& e, const common::Error& where, HarReader* reader) {
  auto text = [reader](const json& j, const char* field) { return reader->text(j, field); };
  const json& req = e.at("request");
  const json& res = e.at("response");
  Captured c;
  c.url = text(req.at("url"), "request.url");
  c.where = where;
  if (!is_web_url(c.url)) return intake->skip("not an http or https URL");
  int64_t status;
  if (!whole_number(res.at("status"), 0, 999, &status))
    return intake->bad(with_message(where, "response.status is not a whole number from 0 to 999"));
  c.status = int(status);
  if (res.contains("headers"))
    for (const auto& h : res["headers"])
      c.headers.emplace_back(text(h.at("name"), "a response header"), text(h.at("value"), "a response header"));
  c.location = reader->text_or(res, "redirectURL", "response.redirectURL");
  c.method = reader->text_or(req, "method", "request.method");
  if (c.method == "POST" && req.contains("postData")) {
    const json& post = req["postData"];
    if (!(post.contains("text") && post["text"].is_string()) && post.contains("params"))
      intake->accepted(where.place(), "HAR form saved as params, joined again");
    c.request_body = har_post_body(post, text);
  }
  const json& content = res.at("content");
  c.content_type = reader->text_or(content, "mimeType", "response.content.mimeType");
  // Browsers save the decoded entity, so Content-Encoding no longer applies.
  c.coded = false;
  std::unique_ptr<Input> saved, decoded;
  std::unique_ptr<Reader> body;
  if (content.contains("text") && content["text"].is_string()) {
    const std::string& t = content["text"].get_ref<const std::string&>();
    const JsonSpill::Spill* spilled = reader->spilled(t);
    saved.reset(spilled ? static_cast<Input*>(new FileInput(spilled->path))
                        : new MemoryInput(reinterpret_cast<const uint8_t*>(t.data()), t.size()));
    const std::string encoding = reader->text_or(content, "encoding", "response.content.encoding");
    if (encoding == "base64") decoded.reset(new Base64Input(saved.get()));
    else if (!encoding.empty())
      return intake->bad(with_message(where, "response.content.encoding \"" + encoding + "\" is not base64"),
                         "undecodable");
    body.reset(new Reader(decoded ? decoded.get() : saved.get()));
    c.body = body.get();
  }
  Item item;
  Intake::Payload payload;
  if (intake->take(c, &item, &payload)) intake->keep(item);
}

}  // namespace

void read_har(Intake* intake, const std::string& path) {
  FileInput in(path);
  read_har_input(intake, &in, path, 64 << 10);
}

}  // namespace capture
