#include "swf/swf_reader.h"

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include <LzmaDec.h>

#include "swf/codes.h"

namespace swf {
namespace {

constexpr int kMaxSpriteDepth = 8;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Bounds-checked reading over one range; a read past the end sets failed
// and yields zeros, so a caller checks once after a group of reads.
class Reader {
 public:
  Reader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  bool failed() const { return failed_; }
  size_t left() const { return size_t(end_ - p_); }
  const uint8_t* at() const { return p_; }

  uint8_t u8() {
    align();
    if (!need(1)) return 0;
    return *p_++;
  }
  uint16_t u16() {
    align();
    if (!need(2)) return 0;
    uint16_t v = le16(p_);
    p_ += 2;
    return v;
  }
  uint32_t u32() {
    align();
    if (!need(4)) return 0;
    uint32_t v = le32(p_);
    p_ += 4;
    return v;
  }
  void skip(size_t n) {
    align();
    if (need(n)) p_ += n;
  }
  // A NUL-terminated string; the terminator is consumed.
  std::string cstr() {
    align();
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(p_, 0, left()));
    if (!z) {
      failed_ = true;
      p_ = end_;
      return std::string();
    }
    std::string s(reinterpret_cast<const char*>(p_), size_t(z - p_));
    p_ = z + 1;
    return s;
  }
  // ABC's variable-length 30/32-bit integer.
  uint32_t u30() {
    uint32_t v = 0;
    for (int i = 0; i < 5; ++i) {
      uint8_t b = u8();
      v |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
    }
    return v;
  }

  uint32_t ubits(int n) {
    uint32_t v = 0;
    while (n-- > 0) {
      if (bit_ == 0) {
        if (!need(1)) return 0;
        byte_ = *p_++;
        bit_ = 8;
      }
      --bit_;
      v = v << 1 | ((byte_ >> bit_) & 1);
    }
    return v;
  }
  int32_t sbits(int n) {
    uint32_t v = ubits(n);
    if (n > 0 && n < 32 && (v >> (n - 1)) & 1) v |= ~uint32_t(0) << n;
    return int32_t(v);
  }
  void align() { bit_ = 0; }

  void rect(int32_t* xmin, int32_t* xmax, int32_t* ymin, int32_t* ymax) {
    int n = int(ubits(5));
    *xmin = sbits(n);
    *xmax = sbits(n);
    *ymin = sbits(n);
    *ymax = sbits(n);
    align();
  }

 private:
  bool need(size_t n) {
    if (failed_ || left() < n) {
      failed_ = true;
      p_ = end_;
      return false;
    }
    return true;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  bool failed_ = false;
  uint8_t byte_ = 0;
  int bit_ = 0;
};

void skip_matrix(Reader& r) {
  if (r.ubits(1)) {
    int n = int(r.ubits(5));
    r.ubits(n), r.ubits(n);
  }
  if (r.ubits(1)) {
    int n = int(r.ubits(5));
    r.ubits(n), r.ubits(n);
  }
  int n = int(r.ubits(5));
  r.ubits(n), r.ubits(n);
  r.align();
}

void skip_cxform_alpha(Reader& r) {
  bool add = r.ubits(1), mult = r.ubits(1);
  int n = int(r.ubits(4));
  if (mult) r.ubits(4 * n);
  if (add) r.ubits(4 * n);
  r.align();
}

void skip_filters(Reader& r) {
  int count = r.u8();
  for (int i = 0; i < count && !r.failed(); ++i) {
    switch (r.u8()) {
      case 0: r.skip(23); break;  // drop shadow
      case 1: r.skip(9); break;   // blur
      case 2: r.skip(15); break;  // glow
      case 3: r.skip(27); break;  // bevel
      case 4:                     // gradient glow
      case 7: {                   // gradient bevel
        int colors = r.u8();
        r.skip(size_t(colors) * 5 + 19);
        break;
      }
      case 5: {  // convolution
        int x = r.u8(), y = r.u8();
        r.skip(8 + size_t(x) * size_t(y) * 4 + 5);
        break;
      }
      case 6: r.skip(80); break;  // colour matrix
      default: r.skip(r.left() + 1); break;  // unknown: the rest can't be placed
    }
  }
}

// A tag's body and where it lies, for the tag readers and their messages.
struct Tag {
  TagCode code;
  const char* name;
  const uint8_t* p;
  const uint8_t* end;
  const uint8_t* base;  // the file's start lies 8 bytes before
  int depth;            // of sprite nesting
};

// The last two values an action stream pushed: GetURL2 finds its URL under
// its target. Strings are kept; other values leave an empty slot.
struct ActionState {
  std::vector<std::string> pool;
  std::string pushed[2];
  bool has_pushed[2] = {false, false};

  void push(bool is_text, std::string text) {
    pushed[0] = std::move(pushed[1]);
    has_pushed[0] = has_pushed[1];
    pushed[1] = std::move(text);
    has_pushed[1] = is_text;
  }
  void push_other() { push(false, std::string()); }
};

std::string hex(uint8_t v) {
  const char* d = "0123456789ABCDEF";
  return std::string{d[v >> 4], d[v & 15]};
}

const char* tag_name(uint16_t code);

class Walker {
 public:
  Walker(Movie* movie, const Options& options) : m_(movie), opt_(options) {}

  // A problem of the tag being read, or of the movie when none is.
  void problem(const std::string& text) {
    if (m_->problems.size() < kMaxProblems) m_->problems.push_back(common::Error{"", 0, at_, text});
  }

  // Tags from p to end; offsets in problems count from the file's start,
  // which lies 8 bytes before base.
  void tags(const uint8_t* p, const uint8_t* end, const uint8_t* base, int depth) {
    const int64_t outer = at_;
    while (p < end) {
      at_ = p - base + 8;
      const uint8_t* body = p + 2;
      if (end - p < 2 || ((le16(p) & 0x3F) == 0x3F && end - p < 6)) {
        problem("truncated tag header");
        break;
      }
      uint16_t code = le16(p) >> 6;
      uint32_t length = le16(p) & 0x3F;
      if (length == 0x3F) {
        length = le32(p + 2);
        body = p + 6;
      }
      if (length > size_t(end - body)) {
        problem(std::string(tag_name(code)) + " (code " + std::to_string(code) + "): length " +
                std::to_string(length) + " runs past the end");
        break;
      }
      ++m_->tags;
      if (code == uint16_t(TagCode::End)) break;
      tag(code, body, body + length, base, depth);
      if (!opt_.collect && m_->has_background) break;
      p = body + length;
    }
    at_ = outer;
  }

  // The tag readers, one per row of kTags.
  void set_background_color(Reader& r, const Tag&) {
    if (r.left() >= 3 && !m_->has_background) {
      m_->has_background = true;
      std::memcpy(m_->background, r.at(), 3);
    }
  }

  void do_action(Reader& r, const Tag& t) { actions(r, t.name); }

  void do_init_action(Reader& r, const Tag& t) {
    r.u16();  // sprite
    actions(r, t.name);
  }

  void define_button(Reader& r, const Tag& t) {
    r.u16();  // button
    while (!r.failed() && r.u8()) {
      r.u16(), r.u16();
      skip_matrix(r);
    }
    actions(r, t.name);
  }

  // DefineButton2 points past its records to its condition actions.
  void define_button2(Reader& r, const Tag& t) {
    r.u16();
    r.u8();
    uint16_t offset = r.u16();
    if (offset == 0) return;
    // The offset counts from the field itself.
    Reader conds(t.p + 3, t.end);
    conds.skip(offset);
    while (!conds.failed() && conds.left() > 0) {
      uint16_t size = conds.u16();
      conds.u16();
      const uint8_t* start = conds.at();
      size_t span = size ? size_t(size) - 4 : conds.left();
      if (size && (size < 4 || span > conds.left())) {
        problem("DefineButton2: condition action size " + std::to_string(size) + " runs past the tag");
        break;
      }
      Reader a(start, start + span);
      actions(a, t.name);
      if (!size) break;
      conds.skip(span);
    }
    if (conds.failed()) problem("DefineButton2: action offset past the tag");
  }

  void place_object(Reader& r, const Tag& t) {
    const bool three = t.code == TagCode::PlaceObject3;
    uint8_t flags = r.u8();
    uint8_t flags2 = three ? r.u8() : 0;
    r.u16();
    if (three && ((flags2 & 0x08) || ((flags2 & 0x10) && (flags & 0x02)))) r.cstr();
    if (flags & 0x02) r.u16();
    if (flags & 0x04) skip_matrix(r);
    if (flags & 0x08) skip_cxform_alpha(r);
    if (flags & 0x10) r.u16();
    if (flags & 0x20) r.cstr();
    if (flags & 0x40) r.u16();
    if (flags2 & 0x01) skip_filters(r);
    if (flags2 & 0x02) r.u8();
    if (flags2 & 0x04) r.u8();
    if (flags2 & 0x20) r.u8();
    if (flags2 & 0x40) r.u32();
    if ((flags & 0x80) && !r.failed()) clip_actions(r, t);
  }

  void define_edit_text(Reader& r, const Tag&) {
    r.u16();
    int32_t a, b, c, d;
    r.rect(&a, &b, &c, &d);
    uint8_t f1 = r.u8(), f2 = r.u8();
    if (f1 & 0x01) r.u16();
    if (f2 & 0x80) r.cstr();
    if ((f1 & 0x01) || (f2 & 0x80)) r.u16();
    if (f1 & 0x04) r.u32();
    if (f1 & 0x02) r.u16();
    if (f2 & 0x20) r.skip(9);
    r.cstr();
    if (!(f1 & 0x80) || !(f2 & 0x02) || r.failed()) return;
    html_links(r.cstr());
  }

  void define_sprite(Reader& r, const Tag& t) {
    uint16_t id = r.u16();
    r.u16();
    if (r.failed()) return;
    if (t.depth >= kMaxSpriteDepth) {
      problem("sprites nested deeper than " + std::to_string(kMaxSpriteDepth));
      return;
    }
    uint16_t outer = sprite_;
    sprite_ = id;
    tags(r.at(), t.end, t.base, t.depth + 1);
    sprite_ = outer;
  }

  void import_assets(Reader& r, const Tag& t) { add(r.cstr(), t.name, "url"); }

  void do_abc(Reader& r, const Tag& t) { abc(r, t.name); }

  void do_abc2(Reader& r, const Tag& t) {
    r.u32();   // flags
    r.cstr();  // name
    abc(r, t.name);
  }

 private:
  void add(std::string text, const char* tag, const char* field) {
    if (!text.empty()) m_->found.push_back(Found{std::move(text), tag, field, sprite_});
  }

  void tag(uint16_t code, const uint8_t* p, const uint8_t* end, const uint8_t* base, int depth);

  void clip_actions(Reader& r, const Tag& t) {
    const bool wide = m_->version > 5;
    r.u16();
    wide ? r.u32() : r.u16();
    while (!r.failed() && r.left() > 0) {
      uint32_t events = wide ? r.u32() : r.u16();
      if (!events) return;
      uint32_t size = r.u32();
      if (size > r.left()) {
        problem(std::string(t.name) + ": clip action size " + std::to_string(size) + " runs past the tag");
        return;
      }
      Reader a(r.at(), r.at() + size);
      if (wide && (events & 0x00020000)) a.u8();  // key code of a key-press event
      actions(a, t.name);
      r.skip(size);
    }
  }

  // href and src attribute values of an HTML text field.
  void html_links(const std::string& html) {
    std::string lower = html;
    for (char& ch : lower)
      if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
    for (const char* attr : {"href", "src"}) {
      size_t n = std::strlen(attr);
      for (size_t at = lower.find(attr); at != std::string::npos; at = lower.find(attr, at + n)) {
        if (at > 0 && std::isalnum(static_cast<unsigned char>(lower[at - 1]))) continue;
        size_t q = at + n;
        while (q < lower.size() && lower[q] == ' ') ++q;
        if (q >= lower.size() || lower[q] != '=') continue;
        ++q;
        while (q < lower.size() && lower[q] == ' ') ++q;
        if (q >= lower.size()) break;
        char quote = lower[q];
        size_t start = q, stop;
        if (quote == '"' || quote == '\'') {
          start = q + 1;
          stop = lower.find(quote, start);
        } else {
          stop = lower.find_first_of(" >", start);
        }
        if (stop == std::string::npos) stop = lower.size();
        add(html.substr(start, stop - start), "DefineEditText", attr);
      }
    }
  }

  // An AVM1 action stream. Function bodies follow their definitions in the
  // same stream, so one pass sees them.
  void actions(Reader& r, const char* tag) {
    ActionState state;
    while (!r.failed() && r.left() > 0) {
      uint8_t code = r.u8();
      if (code == uint8_t(ActionCode::End)) return;
      if (code < kFirstActionWithBody) {
        // Only PushDuplicate keeps the stack's top.
        if (code != uint8_t(ActionCode::PushDuplicate)) state.push_other();
        continue;
      }
      uint16_t length = r.u16();
      if (r.failed()) break;
      if (length > r.left()) {
        problem(std::string(tag) + ": action 0x" + hex(code) + " runs past the tag");
        return;
      }
      Reader a(r.at(), r.at() + length);
      r.skip(length);
      action(ActionCode(code), a, tag, &state);
      if (a.failed()) problem(std::string(tag) + ": action 0x" + hex(code) + " is cut short");
      if (code != uint8_t(ActionCode::Push)) state.push_other();
    }
  }

  void action(ActionCode code, Reader& a, const char* tag, ActionState* state) {
    switch (code) {
      case ActionCode::ConstantPool: {
        state->pool.clear();
        uint16_t count = a.u16();
        for (uint16_t i = 0; i < count && !a.failed(); ++i) {
          state->pool.push_back(a.cstr());
          if (!a.failed()) add(state->pool.back(), tag, "ConstantPool");
        }
        break;
      }
      case ActionCode::Push:
        while (!a.failed() && a.left() > 0) push_value(a, tag, state);
        break;
      case ActionCode::GetUrl: {  // the URL, then the target
        std::string url = a.cstr();
        std::string target = a.left() > 0 ? a.cstr() : std::string();
        add(url, tag, target == "_blank" ? "GetURL _blank" : "GetURL");
        break;
      }
      case ActionCode::GetUrl2:  // the URL lies under the target on the stack
        if (state->has_pushed[0])
          add(state->pushed[0], tag,
              state->has_pushed[1] && state->pushed[1] == "_blank" ? "GetURL2 _blank" : "GetURL2");
        break;
      default:
        break;
    }
  }

  void push_value(Reader& a, const char* tag, ActionState* state) {
    const PushType type = PushType(a.u8());
    switch (type) {
      case PushType::String: {
        std::string s = a.cstr();
        if (!a.failed()) add(s, tag, "Push");
        state->push(true, std::move(s));
        break;
      }
      case PushType::Constant8:
      case PushType::Constant16: {
        uint16_t i = type == PushType::Constant8 ? a.u8() : a.u16();
        if (i < state->pool.size()) state->push(true, state->pool[i]);
        else state->push_other();
        break;
      }
      case PushType::Float: case PushType::Integer: a.skip(4); state->push_other(); break;
      case PushType::Double: a.skip(8); state->push_other(); break;
      case PushType::Register: case PushType::Boolean: a.skip(1); state->push_other(); break;
      case PushType::Null: case PushType::Undefined: state->push_other(); break;
      default: a.skip(a.left() + 1); break;  // unknown: the rest can't be read
    }
  }

  // An ABC block: its constant pool up to the namespaces. The strings are
  // kept, except those that name a namespace or package
  // ("http://adobe.com/AS3/2006/builtin", "flash.xml"), which no movie loads.
  void abc(Reader& r, const char* tag) {
    r.u16(), r.u16();
    uint32_t ints = r.u30();
    for (uint32_t i = 1; i < ints && !r.failed(); ++i) r.u30();
    uint32_t uints = r.u30();
    for (uint32_t i = 1; i < uints && !r.failed(); ++i) r.u30();
    uint32_t doubles = r.u30();
    if (doubles > 1) r.skip(size_t(doubles - 1) * 8);
    uint32_t strings = r.u30();
    if (r.failed()) {
      problem(std::string(tag) + ": constant pool cut short before its strings");
      return;
    }
    std::vector<std::string> pool(1);
    uint32_t i = 1;
    for (; i < strings; ++i) {
      uint32_t n = r.u30();
      if (r.failed() || n > r.left()) break;
      pool.emplace_back(reinterpret_cast<const char*>(r.at()), n);
      r.skip(n);
    }
    bool complete = i >= strings;
    std::vector<bool> namespace_name(pool.size(), false);
    uint32_t namespaces = complete && r.left() > 0 ? r.u30() : 0;
    for (uint32_t k = 1; k < namespaces && !r.failed(); ++k) {
      r.u8();
      uint32_t name = r.u30();
      if (!r.failed() && name < namespace_name.size()) namespace_name[name] = true;
    }
    // A damaged namespace pool marks nothing for sure: keep every string.
    if (r.failed()) namespace_name.assign(pool.size(), false);
    for (size_t k = 1; k < pool.size(); ++k)
      if (!namespace_name[k]) add(pool[k], tag, "string pool");
    if (strings > 0 && !complete)
      problem(std::string(tag) + ": string pool says " + std::to_string(strings - 1) +
              " strings, the data holds " + std::to_string(i - 1));
  }

  Movie* m_;
  const Options& opt_;
  int64_t at_ = -1;  // the offset of the tag being read
  uint16_t sprite_ = 0;
};

// One row per tag the reader reads; every other tag is skipped whole.
struct TagRow {
  TagCode code;
  const char* name;
  void (Walker::*read)(Reader& r, const Tag& tag);
};

const TagRow kTags[] = {
    {TagCode::DefineButton, "DefineButton", &Walker::define_button},
    {TagCode::SetBackgroundColor, "SetBackgroundColor", &Walker::set_background_color},
    {TagCode::DoAction, "DoAction", &Walker::do_action},
    {TagCode::PlaceObject2, "PlaceObject2", &Walker::place_object},
    {TagCode::DefineButton2, "DefineButton2", &Walker::define_button2},
    {TagCode::DefineEditText, "DefineEditText", &Walker::define_edit_text},
    {TagCode::DefineSprite, "DefineSprite", &Walker::define_sprite},
    {TagCode::ImportAssets, "ImportAssets", &Walker::import_assets},
    {TagCode::DoInitAction, "DoInitAction", &Walker::do_init_action},
    {TagCode::PlaceObject3, "PlaceObject3", &Walker::place_object},
    {TagCode::ImportAssets2, "ImportAssets2", &Walker::import_assets},
    {TagCode::DoABC, "DoABC", &Walker::do_abc},
    {TagCode::DoABC2, "DoABC2", &Walker::do_abc2},
};

const TagRow* find_tag(uint16_t code) {
  for (const TagRow& row : kTags)
    if (uint16_t(row.code) == code) return &row;
  return nullptr;
}

const char* tag_name(uint16_t code) {
  const TagRow* row = find_tag(code);
  return row ? row->name : "tag";
}

void Walker::tag(uint16_t code, const uint8_t* p, const uint8_t* end, const uint8_t* base, int depth) {
  const TagRow* row = find_tag(code);
  // A quick look reads the background only.
  if (!row || (!opt_.collect && row->code != TagCode::SetBackgroundColor)) return;
  Reader r(p, end);
  (this->*row->read)(r, Tag{row->code, row->name, p, end, base, depth});
  if (r.failed()) problem(std::string(row->name) + ": fields run past the tag");
}

// The output grows as it arrives: a header may declare far more than the
// stream holds.
size_t first_size(size_t in, size_t want) {
  size_t guess = in < (size_t(1) << 26) ? in * 4 + 65536 : in;
  return guess < want ? guess : want;
}

size_t grown(size_t have, size_t want) { return have < want / 2 ? have * 2 : want; }

bool inflate_body(const uint8_t* in, size_t n, size_t want, std::vector<uint8_t>* out,
                  common::Error* error) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    *error = common::plain("zlib: cannot start");
    return false;
  }
  out->resize(first_size(n, want));
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = uInt(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
  size_t done = 0;
  int rc = Z_OK;
  while (rc == Z_OK && done < want) {
    if (done == out->size()) out->resize(grown(out->size(), want));
    z.next_out = out->data() + done;
    z.avail_out = uInt(out->size() - done);
    rc = inflate(&z, Z_NO_FLUSH);
    done = out->size() - z.avail_out;
  }
  out->resize(done);
  bool ok = true;
  if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_NEED_DICT) {
    std::string why = z.msg ? std::string(": ") + z.msg : std::string();
    *error = common::plain("zlib stream is damaged" + why);
    ok = false;
  } else if (done < want && rc != Z_STREAM_END) {
    *error = common::plain("zlib stream ends early");
    ok = false;
  }
  inflateEnd(&z);
  return ok;
}

void* sdk_alloc(void*, size_t n) { return std::malloc(n); }
void sdk_free(void*, void* p) { std::free(p); }
ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

// The decoder's probability tables, freed on every way out.
struct LzmaState {
  CLzmaDec dec;
  LzmaState() { LzmaDec_Construct(&dec); }
  ~LzmaState() { LzmaDec_FreeProbs(&dec, &sdk_allocator); }
  LzmaState(const LzmaState&) = delete;
  LzmaState& operator=(const LzmaState&) = delete;
};

}  // namespace

bool unlzma_body(const uint8_t* in, size_t n, size_t want, std::vector<uint8_t>* out,
                 common::Error* error) {
  out->clear();
  // After the compressed length come LZMA's five property bytes and the
  // raw stream.
  if (n < 9) {
    *error = common::plain("LZMA header cut short");
    return false;
  }
  LzmaState s;
  SRes rc = LzmaDec_AllocateProbs(&s.dec, in + 4, LZMA_PROPS_SIZE, &sdk_allocator);
  if (rc != SZ_OK) {
    *error = common::plain(rc == SZ_ERROR_MEM ? "LZMA: cannot start" : "LZMA stream is damaged");
    return false;
  }
  // The output is the dictionary, grown as it fills: no match reaches
  // further back than the output is long, so the header's dictionary size
  // is never allocated, and since the output never wraps, moving it between
  // calls is safe.
  LzmaDec_Init(&s.dec);
  out->resize(first_size(n, want));
  const uint8_t* src = in + 9;
  size_t left = n - 9;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  while (s.dec.dicPos < want) {
    if (s.dec.dicPos == out->size()) out->resize(grown(out->size(), want));
    s.dec.dic = out->data();
    s.dec.dicBufSize = out->size();
    size_t used = left;
    rc = LzmaDec_DecodeToDic(&s.dec, out->size(), src, &used, LZMA_FINISH_ANY, &status);
    src += used;
    left -= used;
    if (rc != SZ_OK || status == LZMA_STATUS_FINISHED_WITH_MARK ||
        status == LZMA_STATUS_NEEDS_MORE_INPUT)
      break;
  }
  size_t done = s.dec.dicPos;
  out->resize(done);
  if (done == want || (rc == SZ_OK && status == LZMA_STATUS_FINISHED_WITH_MARK)) return true;
  *error = common::plain(rc == SZ_OK ? "LZMA stream ends early" : "LZMA stream is damaged");
  return false;
}

const char* compression_name(Compression c) {
  switch (c) {
    case Compression::zlib: return "zlib";
    case Compression::lzma: return "lzma";
    default: return "none";
  }
}

const char* signature(Compression c) {
  switch (c) {
    case Compression::zlib: return "CWS";
    case Compression::lzma: return "ZWS";
    default: return "FWS";
  }
}

Movie read_movie(const void* data, size_t size, const Options& options) {
  Movie m;
  const uint8_t* d = static_cast<const uint8_t*>(data);
  if (size < 8 || d[1] != 'W' || d[2] != 'S' || (d[0] != 'F' && d[0] != 'C' && d[0] != 'Z')) {
    m.problems.push_back(common::plain("not a SWF file"));
    return m;
  }
  m.is_swf = true;
  m.compression = d[0] == 'F' ? Compression::none : d[0] == 'C' ? Compression::zlib : Compression::lzma;
  m.version = d[3];
  m.declared_length = le32(d + 4);
  Walker w(&m, options);

  size_t want = m.declared_length > 8 ? m.declared_length - 8 : 0;
  if (want > options.max_length) {
    w.problem("declared length " + std::to_string(m.declared_length) + " is over the limit of " +
              std::to_string(options.max_length) + " bytes; read up to the limit");
    want = options.max_length;
  }
  std::vector<uint8_t> inflated;
  const uint8_t* body = d + 8;
  const uint8_t* end = d + 8;
  common::Error error;
  switch (m.compression) {
    case Compression::none:
      if (size - 8 < want) w.problem("the file is shorter than its header says");
      end = body + (size - 8 < want ? size - 8 : want);
      break;
    case Compression::zlib:
      if (!inflate_body(d + 8, size - 8, want, &inflated, &error)) w.problem(error.message);
      body = inflated.data();
      end = body + inflated.size();
      break;
    case Compression::lzma:
      if (!unlzma_body(d + 8, size - 8, want, &inflated, &error)) w.problem(error.message);
      body = inflated.data();
      end = body + inflated.size();
      break;
  }
  if (body == end) return m;

  Reader r(body, end);
  r.rect(&m.xmin, &m.xmax, &m.ymin, &m.ymax);
  m.frame_rate = r.u16();
  m.frame_count = r.u16();
  if (r.failed()) {
    w.problem("the header ends before the frame count");
    return m;
  }
  m.header_complete = true;
  w.tags(r.at(), end, body, 0);
  return m;
}

}  // namespace swf
