#include "pack/loaded_player.h"

#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "pack/manifest.h"
#include "resolve/url_text.h"

namespace pack {
namespace {

int32_t le32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// The player's loader reads the file through this.
struct FileSource {
  std::FILE* file;
  int64_t size;

  PackageSource source() { return PackageSource{this, int32_t(uint32_t(uint64_t(size))), read_at}; }

  static int32_t read_at(void* context, int64_t offset, void* buf, int32_t len) {
    auto* self = static_cast<FileSource*>(context);
    if (offset < 0 || len < 0 || !common::file_seek(self->file, offset)) return -1;
    size_t got = std::fread(buf, 1, size_t(len), self->file);
    if (got < size_t(len) && std::ferror(self->file)) return -1;
    return int32_t(got);
  }
};

// The package's header as the player finds it: false when there is none.
bool find_header(FileSource& file, int32_t fields[6]) {
  PackageSource src = file.source();
  std::vector<uint8_t> buf(PACKAGE_READ_SIZE + 24);
  int32_t n = src.read_at(src.context, PACKAGE_SEARCH_START, buf.data(), int32_t(buf.size()));
  if (n <= 20) return false;
  int32_t window = n < PACKAGE_READ_SIZE ? n : PACKAGE_READ_SIZE;
  for (int32_t p = 0; p < window - 20; ++p)
    if (uint32_t(le32(&buf[size_t(p)])) == package_magic()) {
      for (int k = 0; k < 6; ++k)
        fields[k] = p + 4 * k + 4 <= n ? le32(&buf[size_t(p + 4 * k)]) : -1;
      return true;
    }
  return false;
}

// Why the player's loader refuses the file, in the user's words.
std::string refusal(FileSource& file) {
  if (file.size <= PACKAGE_SEARCH_START)
    return "the file is " + std::to_string(file.size) + " bytes, too short to hold a player and a package";
  int32_t f[6];
  if (!find_header(file, f))
    return "no package follows the stub (a bare stub, or not a Tessivo player)";
  if (f[2] != PLAYBACK_PAGE && f[2] != PLAYBACK_VIDEO && f[2] != PLAYBACK_PAGE_POST)
    return "the package's mode is " + std::to_string(f[2]) + "; only 0, 1 and 2 exist";
  if (f[2] == PLAYBACK_VIDEO)
    return "the video package is cut short: the file ends inside the skin or the video";
  if (f[5] <= 0) return "the package declares " + std::to_string(f[5]) + " entries";
  return "the first entry (the first movie) is damaged or cut short by the end of the file";
}

char16_t* dup(const std::u16string& s) { return s.empty() ? nullptr : wstr_ndup(s.c_str(), int32_t(s.size())); }

bool install_video(const Package& pkg) {
  if (!alloc_resource_table(3)) return false;
  return set_fixed_entry(0, VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, int32_t(pkg.player.length()), 0) &&
         set_fixed_entry(1, VIDEO_SKIN_URL, SWF_CONTENT_TYPE, int32_t(pkg.skin.length()), 0) &&
         set_fixed_entry(2, VIDEO_FLV_URL, FLV_CONTENT_TYPE, int32_t(pkg.video.length()), 0);
}

bool install_entry(const PageEntry& e, int32_t n) {
  if (set_entry_url(e.url.c_str(), n, int32_t(e.url.size())) < 0) return false;
  if (!e.alternate_url.empty() &&
      set_entry_alternate_url(e.alternate_url.c_str(), n, int32_t(e.alternate_url.size())) < 0)
    return false;
  if (!e.post_key.empty() && set_entry_post_key(e.post_key.c_str(), n, int32_t(e.post_key.size())) < 0)
    return false;
  if (!e.content_type.empty() &&
      set_entry_content_type(e.content_type.c_str(), n, int32_t(e.content_type.size())) < 0)
    return false;
  resource_table()[n].size = int32_t(e.data.length());
  return true;
}

// The player state that loading the packed manifest would give.
bool install(const Package& pkg) {
  set_playback_mode(pkg.mode);
  set_nominal_width(pkg.width);
  set_nominal_height(pkg.height);
  if (pkg.mode == PLAYBACK_VIDEO) return install_video(pkg);
  set_flash_vars(dup(pkg.flash_vars));
  set_movie_base(dup(pkg.base));
  if (!alloc_resource_table(int32_t(pkg.entries.size()))) return false;
  for (size_t i = 0; i < pkg.entries.size(); ++i)
    if (!install_entry(pkg.entries[i], int32_t(i))) return false;
  return true;
}

bool read_data(const Data& d, size_t max, std::string* out) {
  size_t n = size_t(d.length()) < max ? size_t(d.length()) : max;
  if (d.path.empty()) {
    out->assign(d.bytes.begin(), d.bytes.begin() + ptrdiff_t(n));
    return true;
  }
  return common::read_range(common::open_file(d.path, "rb").get(), 0, n, out);
}

}  // namespace

LoadedPlayer::~LoadedPlayer() {
  if (loaded_) reset_player_state();
}

bool LoadedPlayer::load_exe(const std::string& path, common::Error* error) {
  file_ = common::open_file(path, "rb");
  if (!file_) {
    *error = common::errno_error(path);
    return false;
  }
  FileSource source{file_.get(), common::file_size(file_)};
  if (source.size < 0) {
    *error = common::Error{path, 0, -1, "cannot take the file size"};
    return false;
  }
  loaded_ = true;
  if (!load_package_from(source.source())) {
    *error = common::Error{path, 0, -1, "the player refuses this package: " + refusal(source)};
    return false;
  }
  int32_t f[6];
  declared_ = playback_mode() == PLAYBACK_VIDEO ? entry_count() : find_header(source, f) ? f[5] : -1;
  return true;
}

bool LoadedPlayer::load_manifest(const std::string& path, common::Error* error) {
  if (!read_manifest(path, &manifest_, error)) return false;
  from_manifest_ = true;
  loaded_ = true;
  if (!install(manifest_)) {
    *error = common::Error{path, 0, -1, "out of memory"};
    return false;
  }
  declared_ = entry_count();
  return true;
}

bool LoadedPlayer::load_bytes(const std::vector<uint8_t>& bytes) {
  MemorySource memory{bytes.data(), int64_t(bytes.size()), 0, 0};
  loaded_ = true;
  return load_package_from(memory_source(&memory)) != 0;
}

bool LoadedPlayer::read_entry(int32_t index, size_t max, std::string* out) const {
  if (from_manifest_) {
    if (manifest_.mode == PLAYBACK_VIDEO) {
      const Data* files[] = {&manifest_.player, &manifest_.skin, &manifest_.video};
      return read_data(*files[index], max, out);
    }
    return read_data(manifest_.entries[size_t(index)].data, max, out);
  }
  const ResourceEntry* e = resource_entry(index);
  size_t n = size_t(e->size) < max ? size_t(e->size) : max;
  return common::read_range(file_.get(), e->data_offset, n, out);
}

bool LoadedPlayer::read_runtime_file(int32_t index, std::string* out) const {
  const RuntimeFile* f = runtime_file(index);
  if (from_manifest_ || !f || !file_) return false;
  return common::read_range(file_.get(), f->data_offset, size_t(f->size), out);
}

}  // namespace pack
