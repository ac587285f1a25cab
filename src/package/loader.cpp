#include <cstdlib>
#include <cstring>

#include "base/malloc_ptr.h"
#include "base/text.h"
#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"

namespace {
// Complement of the magic, kept out of reach of constant folding.
volatile uint32_t g_magic_complement = ~uint32_t(0x42525A51);
}  // namespace

uint32_t package_magic() { return ~g_magic_complement; }

// The last byte alone differs: 'U' for 'B'.
uint32_t runtime_magic() { return (package_magic() & 0x00FFFFFF) | 0x55000000; }

int32_t align_up4(int32_t value) {
  if (value < 0 || value > INT32_MAX - 3) return value;
  return (value + 3) & ~3;
}

namespace {

// Fields are read on demand: a window starts with a small read and grows to
// at most PACKAGE_READ_SIZE bytes. Its contents are always a prefix of what
// one read of PACKAGE_READ_SIZE bytes at the same offset would give, so
// every decision matches that read. Bytes already in the window are reused
// when the next window starts inside it, and topped up only when a field
// runs past them.
int32_t FIRST_READ = 512;
// Entries this small sit close together: read ahead over many of them, since
// a read costs more than copying the bytes it brings (under Wine a 16 KiB
// read costs about as much as copying 128 KiB).
constexpr int32_t SMALL_ENTRY = 32768;
int32_t READ_AHEAD = PACKAGE_READ_SIZE;

int64_t align4(int64_t v) { return (v + 3) & ~int64_t(3); }

int32_t le32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                 uint32_t(p[3]) << 24);
}

class ReadWindow {
 public:
  ReadWindow(const PackageSource& source, uint8_t* buffer) : source_(source), buf_(buffer) {}

  // One read at pos; false when it fails or yields 4 bytes or fewer. Later
  // reads for this window bring at least chunk bytes.
  bool open(int64_t pos, int32_t chunk = FIRST_READ) {
    chunk_ = chunk;
    int32_t first = chunk;
    if (filled_ > 0 && pos >= start_ && pos < start_ + filled_) {
      int32_t skip = int32_t(pos - start_);
      base_ += skip;
      filled_ -= skip;
      first = 8;  // the size and the first length; the rest comes when needed
    } else {
      base_ = 0;
      filled_ = 0;
      at_end_ = false;
    }
    start_ = pos;
    // The check below needs 5 bytes, whatever size the reads are given.
    return fill(first > 5 ? first : 5) && filled_ > 4;
  }

  // True when the window holds bytes [0, end).
  bool need(int64_t end) {
    if (end > PACKAGE_READ_SIZE) return false;
    return fill(int32_t(end)) && filled_ >= end;
  }

  const uint8_t* data() const { return buf_ + base_; }
  int32_t filled() const { return filled_; }
  int64_t start() const { return start_; }

 private:
  bool fill(int32_t upto) {
    if (upto > PACKAGE_READ_SIZE) upto = PACKAGE_READ_SIZE;
    while (filled_ < upto && !at_end_) {
      int32_t target = filled_ + chunk_ > upto ? filled_ + chunk_ : upto;
      if (target < filled_ * 2) target = filled_ * 2;
      if (target > PACKAGE_READ_SIZE) target = PACKAGE_READ_SIZE;
      if (base_ + target > PACKAGE_READ_SIZE) {
        std::memmove(buf_, buf_ + base_, size_t(filled_));
        base_ = 0;
      }
      int32_t want = target - filled_;
      int32_t got =
          source_.read_at(source_.context, start_ + filled_, buf_ + base_ + filled_, want);
      if (got < 0 || got > want) {
        base_ = filled_ = 0;  // nothing of a failed read may be reused
        return false;
      }
      filled_ += got;
      if (got < want) at_end_ = true;
    }
    return true;
  }

  const PackageSource& source_;
  uint8_t* buf_;
  int64_t start_ = 0;
  int32_t base_ = 0;  // where the window starts in the buffer
  int32_t filled_ = 0;
  int32_t chunk_ = FIRST_READ;
  bool at_end_ = false;  // the file ends at start_ + filled_
};

class Loader {
 public:
  Loader(const PackageSource& source, uint8_t* buffer) : src_(source), window_(source, buffer) {}

  int run() {
    if (src_.size <= PACKAGE_SEARCH_START) return 0;
    // The search needs the whole window at once.
    if (!window_.open(PACKAGE_SEARCH_START, PACKAGE_READ_SIZE)) return 0;
    int32_t n = window_.filled();
    if (n <= 20) return 0;
    const int32_t magic = int32_t(package_magic());
    const uint8_t* buf = window_.data();
    // Every position in order, found by its first byte: a package placed
    // late in the window is reached without testing each position by hand.
    int32_t p = 0;
    for (;; ++p) {
      const void* hit = p < n - 20 ? std::memchr(buf + p, uint8_t(magic), size_t(n - 20 - p)) : nullptr;
      if (!hit) return 0;
      p = int32_t(static_cast<const uint8_t*>(hit) - buf);
      if (le32(buf + p) == magic) break;
    }
    m_ = int64_t(PACKAGE_SEARCH_START) + p;

    int32_t mode = le32(buf + p + 8);
    set_playback_mode(mode);
    set_nominal_width(uint32_t(le32(buf + p + 12)));
    set_nominal_height(uint32_t(le32(buf + p + 16)));
    switch (mode) {
      case PLAYBACK_PAGE:
      case PLAYBACK_PAGE_POST:
        return load_pages();
      case PLAYBACK_VIDEO:
        return load_video();
      default:
        return 0;
    }
  }

 private:
  // A 32-bit value at a file offset, from the search window when it holds
  // it, else from the file. A package may start so late that its last
  // header fields lie past that window; nothing past the file is assumed.
  bool header_value(int64_t offset, int32_t* value) {
    int64_t rel = offset - window_.start();
    if (rel >= 0 && rel + 4 <= window_.filled()) {
      *value = le32(window_.data() + rel);
      return true;
    }
    uint8_t bytes[4];
    if (src_.read_at(src_.context, offset, bytes, 4) != 4) return false;
    *value = le32(bytes);
    return true;
  }

  int load_pages() {
    int32_t declared;
    if (!header_value(m_ + 20, &declared)) return 0;
    if (!alloc_resource_table(declared)) return 0;
    int64_t pos = m_ + 24;
    if (src_.size <= pos) return 0;

    int32_t counted = 0;
    while (counted < declared && read_entry(counted, &pos)) ++counted;
    if (counted < declared) {
      // The entry that was not counted must not keep what it had parsed.
      free_entry_strings(&resource_table()[counted]);
      set_entry_count(counted);
    } else {
      read_runtime(pos);
    }
    return counted >= 1 ? 1 : 0;
  }

  // Parses entry c at align4(*pos) and advances *pos past its data. False
  // ends loading; the entry is then not counted.
  bool read_entry(int32_t c, int64_t* pos) {
    int64_t at = align4(*pos);
    if (!window_.open(at, small_entries_ ? READ_AHEAD : FIRST_READ) || !window_.need(8))
      return false;
    int32_t size = le32(window_.data());
    int64_t off = 4;
    if (size < 0) return false;
    if (!read_text(&off, c, set_entry_url, true, 2)) return false;
    if (!read_text(&off, c, set_entry_alternate_url, false, 2)) return false;
    if (!read_text(&off, c, set_entry_post_key, false, 1)) return false;
    if (!read_text(&off, c, set_entry_content_type, false, 2)) return false;
    at += off;
    if (c == 0 && !read_first_movie_fields(&at)) return false;
    ResourceEntry& e = resource_table()[c];
    e.size = size;
    e.data_offset = int32_t(at);
    small_entries_ = size < SMALL_ENTRY;
    at += size;
    if (at > src_.size) return false;
    *pos = at;
    return true;
  }

  using TextSetter = int32_t (*)(const void*, int32_t, int32_t);

  // A length field and its text of units of unit_size bytes at window offset
  // *off. An optional string of length 0 has no text; the URL always has its
  // terminator.
  bool read_text(int64_t* off, int32_t c, TextSetter setter, bool required, int32_t unit_size) {
    if (!window_.need(*off + 4)) return false;
    int32_t length = le32(window_.data() + *off);
    *off += 4;
    if (length < 0) return false;
    if (length == 0 && !required) return true;
    int64_t bytes = unit_size * (int64_t(length) + 1);
    if (!window_.need(*off + bytes)) return false;
    if (setter(window_.data() + *off, c, length) < 0) return false;
    *off += align4(bytes);
    return true;
  }

  // FlashVars, Base and the first movie's version byte, each field read at
  // its own position as its own read.
  bool read_first_movie_fields(int64_t* at) {
    char16_t* vars = nullptr;
    if (!read_movie_text(at, &vars)) return false;
    if (vars) set_flash_vars(vars);
    char16_t* base = nullptr;
    int64_t base_at = *at;
    if (!read_movie_text(at, &base)) return false;
    if (base) set_movie_base(base);
    // Byte 3 of the data, which starts right after the Base field.
    int64_t version_off = (*at - base_at) + 3;
    if (!window_.need(version_off + 1)) return false;
    set_required_swf_version(int32_t(int8_t(window_.data()[version_off])));
    return true;
  }

  bool read_movie_text(int64_t* at, char16_t** out) {
    if (!window_.open(*at)) return false;
    int32_t length = le32(window_.data());
    *at += 4;
    if (length < 0) return false;
    if (length == 0) return true;
    int64_t bytes = 2 * int64_t(length) + 2;
    if (!window_.need(4 + bytes)) return false;
    // The stored terminator is not trusted: the copy ends in a zero of its own.
    *out = text::dup(reinterpret_cast<const char16_t*>(window_.data() + 4), size_t(length));
    if (!*out) return false;
    *at += align4(bytes);
    return true;
  }

  int load_video() {
    if (!alloc_resource_table(3)) return 0;
    int64_t t1 = align4(m_ + 20);
    int32_t s1, head;
    if (!header_value(t1, &s1) || !header_value(t1 + 4, &head)) return 0;
    if (s1 < 0) return 0;
    if (!set_fixed_entry(0, VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, s1, int32_t(t1 + 4))) return 0;
    set_required_swf_version(int32_t(int8_t(uint32_t(head) >> 24)));

    int64_t t2 = t1 + 4 + align4(s1);
    int32_t s2;
    if (!video_size_at(t2, &s2)) return 0;
    if (!set_fixed_entry(1, VIDEO_SKIN_URL, SWF_CONTENT_TYPE, s2, int32_t(t2 + 4))) return 0;

    int64_t t3 = t2 + 4 + align4(s2);
    int32_t s3;
    if (!video_size_at(t3, &s3)) return 0;
    if (!set_fixed_entry(2, VIDEO_FLV_URL, FLV_CONTENT_TYPE, s3, int32_t(t3 + 4))) return 0;
    if (t3 + 4 + s3 > src_.size) return 0;
    read_runtime(t3 + 4 + s3);
    return 1;
  }

  // The browser runtime that may follow the package's last byte. Whatever
  // is wrong with it leaves none; the package plays all the same.
  void read_runtime(int64_t end) {
    if (!read_runtime_files(align4(end))) free_runtime();
  }

  bool read_runtime_files(int64_t at) {
    if (!window_.open(at) || !window_.need(8) || uint32_t(le32(window_.data())) != runtime_magic())
      return false;
    int32_t count = le32(window_.data() + 4);
    if (count < 1 || count > RUNTIME_MAX_FILES) return false;
    RuntimeFile* files = alloc_runtime_files(count);
    if (!files) return false;
    int64_t off = 8;
    char16_t* description;
    if (!runtime_text(&off, &description)) return false;
    set_runtime_description(description);
    at += off;
    for (int32_t i = 0; i < count; ++i) {
      RuntimeFile& f = files[i];
      at = align4(at);
      if (!window_.open(at) || !window_.need(4)) return false;
      f.size = le32(window_.data());
      off = 4;
      if (f.size < 0 || !runtime_text(&off, &f.name) || !runtime_text(&off, &f.content_type) ||
          !runtime_text(&off, &f.coding))
        return false;
      // Each is served under its name as one path segment, never a dot file.
      if (!f.name[0] || f.name[0] == u'.' || text::find(f.name, u'/')) return false;
      at += off;
      f.data_offset = int32_t(at);
      at += f.size;
      if (at > src_.size) return false;
    }
    return true;
  }

  // A wide string at window offset *off, as an entry's optional strings are
  // stored; a length of 0 gives an empty text, never null.
  bool runtime_text(int64_t* off, char16_t** out) {
    if (!window_.need(*off + 4)) return false;
    int32_t length = le32(window_.data() + *off);
    *off += 4;
    if (length < 0) return false;
    int64_t bytes = length ? 2 * (int64_t(length) + 1) : 0;
    if (!window_.need(*off + bytes)) return false;
    *out = text::dup(reinterpret_cast<const char16_t*>(window_.data() + *off), size_t(length));
    *off += align4(bytes);
    return *out != nullptr;
  }

  bool video_size_at(int64_t t, int32_t* size) {
    if (src_.size <= t) return false;
    if (!window_.open(t)) return false;
    *size = le32(window_.data());
    return *size >= 0;
  }

  const PackageSource& src_;
  ReadWindow window_;
  int64_t m_ = 0;
  bool small_entries_ = false;
};

int32_t read_memory(void* context, int64_t offset, void* buf, int32_t len) {
  auto* m = static_cast<MemorySource*>(context);
  ++m->reads;
  if (offset < 0 || len < 0) return -1;
  if (offset >= m->size) return 0;
  int64_t n = m->size - offset < len ? m->size - offset : len;
  std::memcpy(buf, m->data + offset, size_t(n));
  m->bytes_read += n;
  return int32_t(n);
}

}  // namespace

int load_package_from(const PackageSource& source) {
  base::MallocPtr<uint8_t> buffer(static_cast<uint8_t*>(std::malloc(PACKAGE_READ_SIZE)));
  if (!buffer) return 0;
  Loader loader(source, buffer.get());
  return loader.run();
}

void set_loader_read_sizes_for_test(int32_t first, int32_t ahead) {
  FIRST_READ = first;
  READ_AHEAD = ahead;
}

PackageSource memory_source(MemorySource* memory) {
  int32_t size = int32_t(uint32_t(uint64_t(memory->size)));
  return PackageSource{memory, size, read_memory};
}
