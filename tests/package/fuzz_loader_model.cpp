// The package rules written out directly for the loader's fuzz target:
// every read at an offset is simply the file's next 131072 bytes there.
// Built without coverage feedback, so that the fuzzer steers by the
// loader's own branches.
#include "fuzz_loader_model.h"

#include <cstring>
#include <utility>

#include "package/package_format.h"
#include "package/player_state.h"

namespace {



Text text_of(const char16_t* t) { return t ? Text(t) : std::nullopt; }
Text text_of(const char* t) {
  if (!t) return std::nullopt;
  std::u16string s;
  for (; *t; ++t) s += char16_t(uint8_t(*t));
  return s;
}

}  // namespace

LoadState observed(int loaded) {
  LoadState s;
  s.loaded = loaded;
  s.mode = playback_mode();
  s.width = nominal_width();
  s.height = nominal_height();
  s.version = required_swf_version();
  s.count = entry_count();
  s.flash_vars = text_of(flash_vars());
  s.base = text_of(movie_base());
  if (loaded) s.entries.reserve(size_t(entry_count()));
  if (loaded)
    for (int32_t i = 0; i < entry_count(); ++i) {
      const ResourceEntry& e = resource_table()[i];
      s.entries.push_back({text_of(e.url), text_of(e.alternate_url), text_of(e.post_key),
                           text_of(e.content_type), e.size, e.data_offset});
    }
  return s;
}

namespace {

int64_t align4(int64_t v) { return (v + 3) & ~int64_t(3); }

class Model {
 public:
  // allocated: whether the table's allocation succeeded in the loader's run,
  // which depends on the allocator, not on the rules.
  Model(const std::vector<uint8_t>& file, bool allocated)
      : f_(file.data()), size_(int64_t(int32_t(uint32_t(file.size())))), allocated_(allocated) {}

  LoadState run() {
    s_.loaded = load();
    if (!s_.loaded) s_.entries.clear();
    return std::move(s_);
  }

 private:
  // Bytes that one read of PACKAGE_READ_SIZE at `at` gives.
  int64_t avail(int64_t at) const {
    if (at < 0 || at >= size_) return 0;
    return size_ - at < PACKAGE_READ_SIZE ? size_ - at : PACKAGE_READ_SIZE;
  }
  int32_t le32(int64_t at) const {
    const uint8_t* p = f_ + at;
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
  }
  // Text of length units as the setters store it: the stored terminator is not trusted.
  template <typename Unit>
  std::u16string units(int64_t at, int32_t length) const {
    std::u16string s;
    for (int32_t i = 0; i < length; ++i) {
      char16_t c = sizeof(Unit) == 2 ? char16_t(f_[at + 2 * i] | f_[at + 2 * i + 1] << 8) : char16_t(f_[at + i]);
      if (!c) break;  // where the stored copy's text ends
      s += c;
    }
    return s;
  }

  int load() {
    if (size_ <= PACKAGE_SEARCH_START) return 0;
    int64_t n = avail(PACKAGE_SEARCH_START);
    if (n <= 20) return 0;
    uint32_t magic = package_magic();
    uint8_t bytes[4] = {uint8_t(magic), uint8_t(magic >> 8), uint8_t(magic >> 16), uint8_t(magic >> 24)};
    const void* hit = memmem(f_ + PACKAGE_SEARCH_START, size_t(n - 20 + 3), bytes, 4);
    if (!hit) return 0;
    int64_t p = static_cast<const uint8_t*>(hit) - (f_ + PACKAGE_SEARCH_START);
    m_ = PACKAGE_SEARCH_START + p;
    s_.mode = le32(m_ + 8);
    s_.width = uint32_t(le32(m_ + 12));
    s_.height = uint32_t(le32(m_ + 16));
    if (s_.mode == PLAYBACK_PAGE || s_.mode == PLAYBACK_PAGE_POST) return pages();
    if (s_.mode == PLAYBACK_VIDEO) return video();
    return 0;
  }

  int pages() {
    if (m_ + 24 > size_) return 0;
    int32_t declared = le32(m_ + 20);
    s_.count = declared;
    if (declared <= 0 || !allocated_) return 0;
    int64_t pos = m_ + 24;
    if (size_ <= pos) return 0;
    int32_t counted = 0;
    while (counted < declared) {
      ModelEntry e;
      if (!entry(counted, &pos, &e)) break;
      s_.entries.push_back(std::move(e));
      ++counted;
    }
    if (counted < declared) s_.count = counted;
    return counted >= 1 ? 1 : 0;
  }

  bool text(int64_t start, int64_t* off, int unit, bool required, Text* out) {
    int64_t window = avail(start);
    if (*off + 4 > window) return false;
    int32_t length = le32(start + *off);
    *off += 4;
    if (length < 0) return false;
    if (length == 0 && !required) return true;
    int64_t bytes = unit * (int64_t(length) + 1);
    if (*off + bytes > window) return false;
    *out = unit == 2 ? units<char16_t>(start + *off, length) : units<char>(start + *off, length);
    *off += align4(bytes);
    return true;
  }

  bool movie_text(int64_t* at, Text* out) {
    int64_t window = avail(*at);
    if (window <= 4) return false;
    int32_t length = le32(*at);
    int64_t start = *at;
    *at += 4;
    if (length < 0) return false;
    if (length == 0) return true;
    int64_t bytes = 2 * int64_t(length) + 2;
    if (4 + bytes > window) return false;
    *out = units<char16_t>(start + 4, length);
    *at += align4(bytes);
    return true;
  }

  bool entry(int32_t c, int64_t* pos, ModelEntry* e) {
    int64_t at = align4(*pos);
    if (avail(at) < 8) return false;
    e->size = le32(at);
    if (e->size < 0) return false;
    int64_t off = 4;
    if (!text(at, &off, 2, true, &e->url) || !text(at, &off, 2, false, &e->alternate) ||
        !text(at, &off, 1, false, &e->post_key) || !text(at, &off, 2, false, &e->content_type))
      return false;
    at += off;
    if (c == 0) {
      Text vars, base;
      if (!movie_text(&at, &vars)) return false;
      if (vars) s_.flash_vars = vars;
      int64_t base_at = at;
      if (!movie_text(&at, &base)) return false;
      if (base) s_.base = base;
      int64_t version = at - base_at + 3;
      if (version + 1 > avail(base_at)) return false;
      s_.version = int32_t(int8_t(f_[base_at + version]));
    }
    e->data_offset = int32_t(at);
    at += e->size;
    if (at > size_) return false;
    *pos = at;
    return true;
  }

  int video() {
    s_.count = 3;
    int64_t t1 = align4(m_ + 20);
    if (t1 + 8 > size_) return 0;
    int32_t s1 = le32(t1);
    if (s1 < 0) return 0;
    s_.entries.push_back(fixed(VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, s1, t1 + 4));
    s_.version = int32_t(int8_t(f_[t1 + 7]));
    int64_t t2 = t1 + 4 + align4(s1);
    int32_t s2;
    if (!video_size(t2, &s2)) return 0;
    s_.entries.push_back(fixed(VIDEO_SKIN_URL, SWF_CONTENT_TYPE, s2, t2 + 4));
    int64_t t3 = t2 + 4 + align4(s2);
    int32_t s3;
    if (!video_size(t3, &s3)) return 0;
    s_.entries.push_back(fixed(VIDEO_FLV_URL, FLV_CONTENT_TYPE, s3, t3 + 4));
    return t3 + 4 + s3 <= size_ ? 1 : 0;
  }

  bool video_size(int64_t t, int32_t* size) {
    if (size_ <= t || avail(t) <= 4) return false;
    *size = le32(t);
    return *size >= 0;
  }

  static ModelEntry fixed(const char16_t* url, const char16_t* type, int32_t size, int64_t offset) {
    ModelEntry e;
    e.url = url;
    e.content_type = type;
    e.size = size;
    e.data_offset = int32_t(offset);
    return e;
  }

  const uint8_t* f_;
  int64_t size_;
  bool allocated_;
  int64_t m_ = 0;
  LoadState s_;
};

}  // namespace

LoadState model_load(const std::vector<uint8_t>& file, bool table_allocated) {
  return Model(file, table_allocated).run();
}
