// The package rules written out directly for the loader's fuzz target:
// every read at an offset is simply the file's next 131072 bytes there.
// Built without coverage feedback, so that the fuzzer steers by the
// loader's own branches; compares in place, without copies.
#include "fuzz_loader_model.h"

#include <cstring>
#include <string>
#include <type_traits>

#include "package/package_format.h"
#include "package/player_state.h"

namespace {

int64_t align4(int64_t v) { return (v + 3) & ~int64_t(3); }

// A text in the file: length units of unit bytes at `at`; absent when unit is 0.
struct Span {
  int64_t at = 0;
  int32_t length = 0;
  int unit = 0;
};

struct RuntimeSpans {
  Span name, content_type, coding;
  int32_t size = 0, data_offset = 0;
};

struct EntrySpans {
  Span url, alternate, post_key, content_type;
  int32_t size = 0, data_offset = 0;
};

class Model {
 public:
  Model(const std::vector<uint8_t>& file, bool allocated)
      : f_(file.data()), size_(int64_t(int32_t(uint32_t(file.size())))), allocated_(allocated) {}

  bool agrees(int loaded) {
    int expected = load();
    if (loaded != expected || playback_mode() != mode_ || nominal_width() != width_ ||
        nominal_height() != height_ || required_swf_version() != version_ || entry_count() != count_ ||
        !same(flash_vars(), vars_) || !same(movie_base(), base_))
      return false;
    if (!loaded) return runtime_file_count() == 0;
    if (runtime_file_count() != int32_t(runtime_.size()) || !same(runtime_description(), description_))
      return false;
    for (size_t i = 0; i < runtime_.size(); ++i) {
      const RuntimeFile& f = *runtime_file(int32_t(i));
      const RuntimeSpans& m = runtime_[i];
      if (!same(f.name, m.name) || !same(f.content_type, m.content_type) || !same(f.coding, m.coding) ||
          f.size != m.size || f.data_offset != m.data_offset)
        return false;
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      const ResourceEntry& e = resource_table()[i];
      const EntrySpans& m = entries_[i];
      if (!same(e.url, m.url) || !same(e.alternate_url, m.alternate) || !same(e.post_key, m.post_key) ||
          !same(e.content_type, m.content_type) || e.size != m.size || e.data_offset != m.data_offset)
        return false;
    }
    return true;
  }

 private:
  int64_t avail(int64_t at) const {
    if (at < 0 || at >= size_) return 0;
    return size_ - at < PACKAGE_READ_SIZE ? size_ - at : PACKAGE_READ_SIZE;
  }
  int32_t le32(int64_t at) const {
    const uint8_t* p = f_ + at;
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
  }
  char16_t unit_at(const Span& s, int32_t i) const {
    return s.unit == 2 ? char16_t(f_[s.at + 2 * i] | f_[s.at + 2 * i + 1] << 8) : char16_t(f_[s.at + i]);
  }
  // The stored copy holds the span's units and a zero of its own; the
  // stored terminator is not trusted. Both read up to their first zero.
  template <typename Char>
  bool same(const Char* stored, const Span& s) const {
    if (s.unit == -1) return stored && !stored[0];  // an empty runtime text
    if (!s.unit) return stored == nullptr;
    if (!stored) return false;
    for (int32_t i = 0; i < s.length; ++i) {
      char16_t c = unit_at(s, i);
      if (char16_t(std::make_unsigned_t<Char>(stored[i])) != c) return false;
      if (!c) return true;
    }
    return stored[s.length] == 0;
  }

  int load() {
    if (size_ <= PACKAGE_SEARCH_START) return 0;
    int64_t n = avail(PACKAGE_SEARCH_START);
    if (n <= 20) return 0;
    uint32_t magic = package_magic();
    uint8_t bytes[4] = {uint8_t(magic), uint8_t(magic >> 8), uint8_t(magic >> 16), uint8_t(magic >> 24)};
    const void* hit = memmem(f_ + PACKAGE_SEARCH_START, size_t(n - 20 + 3), bytes, 4);
    if (!hit) return 0;
    m_ = static_cast<const uint8_t*>(hit) - f_;
    mode_ = le32(m_ + 8);
    width_ = uint32_t(le32(m_ + 12));
    height_ = uint32_t(le32(m_ + 16));
    if (mode_ == PLAYBACK_PAGE || mode_ == PLAYBACK_PAGE_POST) return pages();
    if (mode_ == PLAYBACK_VIDEO) return video();
    return 0;
  }

  int pages() {
    if (m_ + 24 > size_) return 0;
    int32_t declared = le32(m_ + 20);
    count_ = declared;
    if (declared <= 0 || !allocated_) return 0;
    int64_t pos = m_ + 24;
    if (size_ <= pos) return 0;
    int32_t counted = 0;
    while (counted < declared) {
      EntrySpans e;
      if (!entry(counted, &pos, &e)) break;
      entries_.push_back(e);
      ++counted;
    }
    if (counted < declared) count_ = counted;
    else runtime(pos);
    return counted >= 1 ? 1 : 0;
  }

  bool text(int64_t start, int64_t* off, int unit, bool required, Span* out) {
    int64_t window = avail(start);
    if (*off + 4 > window) return false;
    int32_t length = le32(start + *off);
    *off += 4;
    if (length < 0) return false;
    if (length == 0 && !required) return true;
    int64_t bytes = unit * (int64_t(length) + 1);
    if (*off + bytes > window) return false;
    *out = Span{start + *off, length, unit};
    *off += align4(bytes);
    return true;
  }

  bool movie_text(int64_t* at, Span* out) {
    int64_t window = avail(*at);
    if (window <= 4) return false;
    int32_t length = le32(*at);
    int64_t start = *at;
    *at += 4;
    if (length < 0) return false;
    if (length == 0) return true;
    int64_t bytes = 2 * int64_t(length) + 2;
    if (4 + bytes > window) return false;
    *out = Span{start + 4, length, 2};
    *at += align4(bytes);
    return true;
  }

  bool entry(int32_t c, int64_t* pos, EntrySpans* e) {
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
      Span vars, base;
      if (!movie_text(&at, &vars)) return false;
      if (vars.unit) vars_ = vars;
      int64_t base_at = at;
      if (!movie_text(&at, &base)) return false;
      if (base.unit) base_ = base;
      int64_t version = at - base_at + 3;
      if (version + 1 > avail(base_at)) return false;
      version_ = int32_t(int8_t(f_[base_at + version]));
    }
    e->data_offset = int32_t(at);
    at += e->size;
    if (at > size_) return false;
    *pos = at;
    return true;
  }

  int video() {
    count_ = 3;
    int64_t t1 = align4(m_ + 20);
    if (t1 + 8 > size_) return 0;
    int32_t s1 = le32(t1);
    if (s1 < 0) return 0;
    version_ = int32_t(int8_t(f_[t1 + 7]));
    int64_t t2 = t1 + 4 + align4(s1);
    int32_t s2, s3;
    if (!video_size(t2, &s2)) return 0;
    int64_t t3 = t2 + 4 + align4(s2);
    if (!video_size(t3, &s3)) return 0;
    fixed_ = true;
    sizes_[0] = s1, sizes_[1] = s2, sizes_[2] = s3;
    offsets_[0] = int32_t(t1 + 4), offsets_[1] = int32_t(t2 + 4), offsets_[2] = int32_t(t3 + 4);
    if (t3 + 4 + s3 > size_) return 0;
    runtime(t3 + 4 + s3);
    return 1;
  }

  // Texts of the runtime section: a length of 0 is an empty text (unit -1).
  bool runtime_text(int64_t start, int64_t* off, Span* out) {
    int64_t window = avail(start);
    if (*off + 4 > window) return false;
    int32_t length = le32(start + *off);
    *off += 4;
    if (length < 0) return false;
    if (length == 0) {
      *out = Span{0, 0, -1};
      return true;
    }
    return (*off -= 4, text(start, off, 2, true, out));
  }

  void runtime(int64_t end) {
    std::vector<RuntimeSpans> files;
    int64_t at = align4(end);
    if (avail(at) < 8 || uint32_t(le32(at)) != runtime_magic()) return;
    int32_t count = le32(at + 4);
    if (count < 1 || count > RUNTIME_MAX_FILES) return;
    int64_t off = 8;
    Span description;
    if (!runtime_text(at, &off, &description)) return;
    at += off;
    for (int32_t i = 0; i < count; ++i) {
      RuntimeSpans f;
      at = align4(at);
      if (avail(at) <= 4) return;
      f.size = le32(at);
      off = 4;
      if (f.size < 0 || !runtime_text(at, &off, &f.name) || !runtime_text(at, &off, &f.content_type) ||
          !runtime_text(at, &off, &f.coding))
        return;
      if (f.name.unit != 2) return;
      for (int32_t u = 0; u < f.name.length; ++u) {
        char16_t c = unit_at(f.name, u);
        if (!c) break;
        if (c == u'/' || (u == 0 && c == u'.')) return;
      }
      if (!unit_at(f.name, 0)) return;
      at += off;
      f.data_offset = int32_t(at);
      at += f.size;
      if (at > size_) return;
      files.push_back(f);
    }
    runtime_ = files;
    description_ = description;
  }

  bool video_size(int64_t t, int32_t* size) {
    if (size_ <= t || avail(t) <= 4) return false;
    *size = le32(t);
    return *size >= 0;
  }

 public:
  // Video mode's entries are fixed texts.
  bool fixed_entries_agree() const {
    if (!fixed_) return true;
    const char16_t* urls[] = {VIDEO_PLAYER_URL, VIDEO_SKIN_URL, VIDEO_FLV_URL};
    const char16_t* types[] = {SWF_CONTENT_TYPE, SWF_CONTENT_TYPE, FLV_CONTENT_TYPE};
    for (int i = 0; i < 3; ++i) {
      const ResourceEntry& e = resource_table()[i];
      if (!e.url || std::char_traits<char16_t>::compare(e.url, urls[i], std::char_traits<char16_t>::length(urls[i]) + 1) ||
          e.alternate_url || e.post_key || !e.content_type ||
          std::char_traits<char16_t>::compare(e.content_type, types[i], std::char_traits<char16_t>::length(types[i]) + 1) ||
          e.size != sizes_[i] || e.data_offset != offsets_[i])
        return false;
    }
    return true;
  }

 private:
  const uint8_t* f_;
  int64_t size_;
  bool allocated_;
  int64_t m_ = 0;
  int32_t mode_ = 0;
  uint32_t width_ = 0, height_ = 0;
  int32_t version_ = 0, count_ = 0;
  Span vars_, base_;
  std::vector<EntrySpans> entries_;
  bool fixed_ = false;
  std::vector<RuntimeSpans> runtime_;
  Span description_;
  int32_t sizes_[3] = {}, offsets_[3] = {};
};

}  // namespace

bool loader_agrees_with_model(const std::vector<uint8_t>& file, int loaded, bool table_allocated) {
  Model model(file, table_allocated);
  return model.agrees(loaded) && (!loaded || model.fixed_entries_agree());
}
