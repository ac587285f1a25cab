#include "pack/package_writer.h"

#include <cerrno>
#include <cstring>

#include <memory>

#include "package/package_format.h"
#include "package/player_state.h"
#include "common/file.h"
#include "common/utf.h"

namespace pack {
namespace {

bool refuse(common::Error* why, std::string message) {
  *why = common::plain(std::move(message));
  return false;
}

constexpr int64_t PACKAGE_LIMIT = int64_t(1) << 31;

int64_t align4(int64_t v) { return (v + 3) & ~int64_t(3); }

int64_t wide_field(const std::u16string& s, bool required) {
  if (s.empty() && !required) return 4;
  return 4 + align4(2 * int64_t(s.size()) + 2);
}

template <typename Text>
bool has_nul(const Text& s) {
  return s.find(typename Text::value_type(0)) != Text::npos;
}

int64_t key_field(const std::string& s) {
  return s.empty() ? 4 : 4 + align4(int64_t(s.size()) + 1);
}

class Writer {
 public:
  explicit Writer(Sink* out) : out_(out) {}

  bool ok() const { return ok_; }
  bool unreadable() const { return unreadable_; }  // an input failed, not the output

  void bytes(const void* p, size_t n) {
    if (ok_ && n) ok_ = out_->write(p, n);
  }
  void u32(uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    bytes(b, 4);
  }
  void pad() {
    static const uint8_t zeros[4] = {};
    bytes(zeros, size_t(align4(out_->position()) - out_->position()));
  }
  void text(const std::u16string& s, bool required) {
    u32(uint32_t(s.size()));
    if (s.empty() && !required) return;
    std::vector<uint8_t> b(s.size() * 2 + 2);
    for (size_t i = 0; i < s.size(); ++i) {
      b[2 * i] = uint8_t(s[i]);
      b[2 * i + 1] = uint8_t(s[i] >> 8);
    }
    bytes(b.data(), b.size());
    pad();
  }
  void key(const std::string& s) {
    u32(uint32_t(s.size()));
    if (s.empty()) return;
    bytes(s.c_str(), s.size() + 1);
    pad();
  }
  // Copies a file's bytes; sets error when it can't be read whole.
  void data(const Data& d, common::Error* error) {
    if (!ok_) return;
    if (d.path.empty()) {
      bytes(d.bytes.data(), d.bytes.size());
      return;
    }
    common::File f = common::open_file(d.path, "rb");
    if (!f) {
      *error = common::Error{d.path, 0, -1, "cannot be opened"};
      ok_ = false;
      unreadable_ = true;
      return;
    }
    // One buffer for every file, no larger than needed: a page package holds
    // thousands of small files, and a fresh megabyte for each cost more than
    // copying them.
    if (buf_.size() < (1 << 20) && int64_t(buf_.size()) < d.size)
      buf_.resize(size_t(d.size < (1 << 20) ? d.size : (1 << 20)));
    std::vector<uint8_t>& buf = buf_;
    int64_t left = d.size;
    while (left > 0 && ok_) {
      size_t want = size_t(left < int64_t(buf.size()) ? left : int64_t(buf.size()));
      size_t got = std::fread(buf.data(), 1, want, f.get());
      if (got != want) {
        *error = common::Error{d.path, 0, d.size - left + int64_t(got), "changed or unreadable while packing"};
        ok_ = false;
        unreadable_ = true;
        return;
      }
      bytes(buf.data(), got);
      left -= int64_t(got);
    }
  }

 private:
  Sink* out_;
  bool ok_ = true;
  bool unreadable_ = false;
  std::vector<uint8_t> buf_;
};

}  // namespace

bool MemorySink::write(const void* data, size_t n) {
  auto* p = static_cast<const uint8_t*>(data);
  bytes.insert(bytes.end(), p, p + n);
  position_ += int64_t(n);
  return true;
}

bool FileSink::write(const void* data, size_t n) {
  if (std::fwrite(data, 1, n, file_) != n) {
    errno_ = errno;
    return false;
  }
  position_ += int64_t(n);
  return true;
}

common::Error FileSink::failure() const {
  return common::plain("cannot write " + name_ + (errno_ ? std::string(": ") + std::strerror(errno_) : std::string()));
}

bool check_stub(const std::vector<uint8_t>& stub, common::Error* why) {
  int64_t n = int64_t(stub.size());
  if (n < PACKAGE_SEARCH_START || n > PACKAGE_LAST_START)
    return refuse(why, "the stub is " + std::to_string(n) + " bytes; a stub must be " +
                           std::to_string(PACKAGE_SEARCH_START) + " to " + std::to_string(PACKAGE_LAST_START) +
                           " bytes long");
  uint32_t magic = package_magic();
  for (int64_t p = PACKAGE_SEARCH_START; p + 4 <= n; ++p) {
    uint32_t v = uint32_t(stub[p]) | uint32_t(stub[p + 1]) << 8 | uint32_t(stub[p + 2]) << 16 |
                 uint32_t(stub[p + 3]) << 24;
    if (v == magic) {
      *why = common::Error{"", 0, p, "the stub holds the package magic; the player would take it for its package"};
      return false;
    }
  }
  return true;
}

int64_t entry_text_bytes(const PageEntry& e) {
  return 4 + wide_field(e.url, true) + wide_field(e.alternate_url, false) + key_field(e.post_key) +
         wide_field(e.content_type, false);
}

int64_t entry_text_limit() { return PACKAGE_READ_SIZE; }

namespace {

// False, saying why, when the runtime cannot be carried after a package
// ending at end; *section_end: where its last byte ends.
bool check_runtime(const BrowserRuntime& rt, int64_t end, int64_t* section_end, common::Error* why) {
  *section_end = end;
  if (rt.files.empty()) return true;
  if (rt.files.size() > size_t(RUNTIME_MAX_FILES))
    return refuse(why, "the browser runtime has " + std::to_string(rt.files.size()) + " files; at most " +
                           std::to_string(RUNTIME_MAX_FILES) + " are carried");
  if (has_nul(rt.description) || 8 + wide_field(rt.description, false) > PACKAGE_READ_SIZE)
    return refuse(why, "the browser runtime's description holds a NUL or is too long");
  int64_t pos = align4(end) + 8 + wide_field(rt.description, false);
  for (const BrowserFile& f : rt.files) {
    for (const BrowserFile& g : rt.files)
      if (&g != &f && g.name == f.name)
        return refuse(why, "browser runtime file \"" + common::utf16_to_utf8(f.name) + "\" is carried twice");
    std::string which = "browser runtime file \"" + common::utf16_to_utf8(f.name) + "\": ";
    if (f.name.empty() || f.name[0] == u'.' || f.name.find(u'/') != std::u16string::npos ||
        has_nul(f.name))
      return refuse(why, which + "a name must be one path segment, not starting with '.'");
    if (has_nul(f.content_type) || has_nul(f.coding)) return refuse(why, which + "a NUL in its type or coding");
    int64_t lead = 4 + wide_field(f.name, false) + wide_field(f.content_type, false) +
                   wide_field(f.coding, false);
    if (lead > PACKAGE_READ_SIZE) return refuse(why, which + "its name, type and coding are too long");
    if (f.data.length() > INT32_MAX) return refuse(why, which + "data larger than 2 GiB");
    pos = align4(pos) + lead + f.data.length();
    if (pos >= PACKAGE_LIMIT) break;
  }
  *section_end = pos;
  return true;
}

}  // namespace

bool check_package(const Package& pkg, int64_t stub_size, common::Error* why) {
  int64_t pos = stub_size + 24;
  auto too_long = [](int64_t field_bytes) { return field_bytes > PACKAGE_READ_SIZE; };
  if (pkg.mode == PLAYBACK_VIDEO) {
    if (pkg.player.length() < 4) return refuse(why, "the player movie must be a SWF file of at least 4 bytes");
    // The player reads the FLV's size field only when a byte follows it.
    if (pkg.video.length() < 1) return refuse(why, "the FLV file is empty; the player cannot load it");
    pos = align4(stub_size + 20) + 4 + align4(pkg.player.length()) + 4 +
          align4(pkg.skin.length()) + 4 + pkg.video.length();
  } else if (pkg.mode == PLAYBACK_PAGE || pkg.mode == PLAYBACK_PAGE_POST) {
    if (pkg.entries.empty()) return refuse(why, "a page package needs at least one entry");
    if (pkg.entries[0].data.length() < 4)
      return refuse(why, "entry 0: the first movie must be a SWF file of at least 4 bytes");
    for (size_t i = 0; i < pkg.entries.size(); ++i) {
      const PageEntry& e = pkg.entries[i];
      std::string which = "entry " + std::to_string(i) + ": ";
      if (e.data.length() > INT32_MAX) return refuse(why, which + "data larger than 2 GiB");
      // The player keeps each text up to its first NUL: a NUL inside would cut it short.
      if (has_nul(e.url) || has_nul(e.alternate_url) || has_nul(e.post_key) ||
          has_nul(e.content_type))
        return refuse(why, which + "a URL, POST key or content type holds a NUL character");
      int64_t lead = entry_text_bytes(e);
      if (too_long(lead))
        return refuse(why, which + "its URLs, POST key and content type take " + std::to_string(lead) +
                               " bytes; the player reads at most " + std::to_string(PACKAGE_READ_SIZE));
      pos = align4(pos) + lead;
      if (i == 0) {
        if (too_long(wide_field(pkg.flash_vars, false)))
          return refuse(why, "FlashVars is longer than the player reads");
        if (too_long(wide_field(pkg.base, false) + 4)) return refuse(why, "Base is longer than the player reads");
        if (has_nul(pkg.flash_vars) || has_nul(pkg.base))
          return refuse(why, "FlashVars or Base holds a NUL character");
        pos += wide_field(pkg.flash_vars, false) + wide_field(pkg.base, false);
      }
      pos += e.data.length();
      if (pos >= PACKAGE_LIMIT) break;
    }
  } else {
    return refuse(why, "mode must be 0 (page), 1 (video) or 2 (page with POST keys)");
  }
  if (pos < PACKAGE_LIMIT) {
    if (!check_runtime(pkg.runtime, pos, &pos, why)) return false;
  }
  if (pos >= PACKAGE_LIMIT)
    return refuse(why, "the package would end at offset " + std::to_string(pos) +
                           ", past 2 GiB; the player cannot address it");
  return true;
}

bool write_player(const std::vector<uint8_t>& stub, const Package& pkg, Sink* out, common::Error* error) {
  if (!check_stub(stub, error) || !check_package(pkg, int64_t(stub.size()), error)) return false;

  Writer w(out);
  w.bytes(stub.data(), stub.size());
  w.u32(package_magic());
  w.u32(PACKAGE_HEADER_TAG);
  w.u32(uint32_t(pkg.mode));
  w.u32(pkg.width);
  w.u32(pkg.height);
  if (pkg.mode == PLAYBACK_VIDEO) {
    w.pad();
    const Data* files[] = {&pkg.player, &pkg.skin, &pkg.video};
    for (const Data* d : files) {
      w.u32(uint32_t(d->length()));
      w.data(*d, error);
      if (d != &pkg.video) w.pad();
    }
  } else {
    w.u32(uint32_t(pkg.entries.size()));
    for (size_t i = 0; i < pkg.entries.size(); ++i) {
      const PageEntry& e = pkg.entries[i];
      w.pad();
      w.u32(uint32_t(e.data.length()));
      w.text(e.url, true);
      w.text(e.alternate_url, false);
      w.key(e.post_key);
      w.text(e.content_type, false);
      if (i == 0) {
        w.text(pkg.flash_vars, false);
        w.text(pkg.base, false);
      }
      w.data(e.data, error);
    }
  }
  if (!pkg.runtime.files.empty()) {
    w.pad();
    w.u32(runtime_magic());
    w.u32(uint32_t(pkg.runtime.files.size()));
    w.text(pkg.runtime.description, false);
    for (const BrowserFile& f : pkg.runtime.files) {
      w.pad();
      w.u32(uint32_t(f.data.length()));
      w.text(f.name, false);
      w.text(f.content_type, false);
      w.text(f.coding, false);
      w.data(f.data, error);
    }
  }
  if (!w.ok() && !w.unreadable()) *error = out->failure();
  return w.ok();
}

}  // namespace pack
