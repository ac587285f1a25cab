#include "package_input.h"

#include "file_source.h"
#include "package/package_format.h"
#include "package/player_state.h"
#include "paths.h"
#include "resolve/url_text.h"

namespace pack {
namespace {

char16_t* dup(const std::u16string& s) { return s.empty() ? nullptr : wstr_ndup(s.c_str(), int32_t(s.size())); }

// The player state that loading the packed manifest would give.
bool install_manifest(const Package& pkg) {
  set_playback_mode(pkg.mode);
  set_nominal_width(pkg.width);
  set_nominal_height(pkg.height);
  if (pkg.mode == PLAYBACK_VIDEO) {
    if (!alloc_resource_table(3)) return false;
    return set_fixed_entry(0, VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, int32_t(pkg.player.length()), 0) &&
           set_fixed_entry(1, VIDEO_SKIN_URL, SWF_CONTENT_TYPE, int32_t(pkg.skin.length()), 0) &&
           set_fixed_entry(2, VIDEO_FLV_URL, FLV_CONTENT_TYPE, int32_t(pkg.video.length()), 0);
  }
  set_flash_vars(dup(pkg.flash_vars));
  set_movie_base(dup(pkg.base));
  if (!alloc_resource_table(int32_t(pkg.entries.size()))) return false;
  for (size_t i = 0; i < pkg.entries.size(); ++i) {
    const PageEntry& e = pkg.entries[i];
    int32_t n = int32_t(i);
    if (set_entry_url(e.url.c_str(), n, int32_t(e.url.size())) < 0) return false;
    if (!e.alternate_url.empty() &&
        set_entry_alternate_url(e.alternate_url.c_str(), n, int32_t(e.alternate_url.size())) < 0)
      return false;
    if (!e.post_key.empty() && set_entry_post_key(e.post_key.c_str(), n, int32_t(e.post_key.size())) < 0)
      return false;
    if (!e.content_type.empty() &&
        set_entry_content_type(e.content_type.c_str(), n, int32_t(e.content_type.size())) < 0)
      return false;
    resource_table()[i].size = int32_t(e.data.length());
  }
  return true;
}

bool read_range(std::FILE* f, int64_t offset, size_t n, std::string* out) {
  out->clear();
  if (!f || !file_seek(f, offset)) return false;
  out->resize(n);
  size_t got = n ? std::fread(&(*out)[0], 1, n, f) : 0;
  out->resize(got);
  return got == n;
}

}  // namespace

bool is_manifest_path(const std::string& path) {
  if (path.size() < 5) return false;
  std::string ext = path.substr(path.size() - 5);
  for (char& c : ext) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".toml";
}

bool PackageInput::open(const std::string& path, std::string* error) {
  path_ = path;
  if (is_manifest_path(path)) {
    manifest_.reset(new Package);
    if (!read_manifest(path, manifest_.get(), error)) return false;
    if (!install_manifest(*manifest_)) {
      *error = path + ": out of memory";
      return false;
    }
    return true;
  }
  if (!load_player_exe(path, error)) return false;
  file_.reset(open_file(path, "rb"), [](std::FILE* f) {
    if (f) std::fclose(f);
  });
  if (!file_) {
    *error = path + ": cannot be opened again";
    return false;
  }
  return true;
}

bool PackageInput::read(int32_t index, int64_t offset, size_t n, std::string* out) const {
  const ResourceEntry* e = resource_entry(index);
  if (!e || offset < 0 || offset > e->size) return false;
  if (int64_t(n) > e->size - offset) n = size_t(e->size - offset);
  if (file_) return read_range(file_.get(), e->data_offset + offset, n, out);
  const Data* d = nullptr;
  if (manifest_->mode == PLAYBACK_VIDEO) {
    const Data* files[] = {&manifest_->player, &manifest_->skin, &manifest_->video};
    d = files[index];
  } else {
    d = &manifest_->entries[size_t(index)].data;
  }
  if (d->path.empty()) {
    out->assign(d->bytes.begin() + ptrdiff_t(offset), d->bytes.begin() + ptrdiff_t(offset + int64_t(n)));
    return true;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(open_file(d->path, "rb"), std::fclose);
  return read_range(f.get(), offset, n, out);
}

}  // namespace pack
