// pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "audit.h"
#include "commands.h"
#include "file_source.h"
#include "manifest.h"
#include "package/package_format.h"
#include "package/player_state.h"
#include "paths.h"
#include "resolve/url_text.h"

namespace {

const char kUsage[] =
    "usage: pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]\n"
    "Lists the files that the packaged movies name and what the player answers for each.\n"
    "Exit code: 0; 1 when the input can't be read or, with --strict, when a likely\n"
    "request is not answered; 2 for a usage error.\n";

bool is_manifest(const std::string& path) {
  if (path.size() < 5) return false;
  std::string ext = path.substr(path.size() - 5);
  for (char& c : ext) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".toml";
}

char16_t* dup(const std::u16string& s) { return s.empty() ? nullptr : wstr_ndup(s.c_str(), int32_t(s.size())); }

// The player state that loading the packed manifest would give.
bool install_manifest(const pack::Package& pkg) {
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
    const pack::PageEntry& e = pkg.entries[i];
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
  if (!f) return false;
#ifdef _WIN32
  bool ok = _fseeki64(f, offset, SEEK_SET) == 0;
#else
  bool ok = fseeko(f, off_t(offset), SEEK_SET) == 0;
#endif
  out->resize(n);
  size_t got = ok && n ? std::fread(&(*out)[0], 1, n, f) : 0;
  out->resize(got);
  return ok && got == n;
}

bool read_data(const pack::Data& d, size_t max, std::string* out) {
  size_t n = size_t(d.length()) < max ? size_t(d.length()) : max;
  if (d.path.empty()) {
    out->assign(d.bytes.begin(), d.bytes.begin() + ptrdiff_t(n));
    return true;
  }
  std::FILE* f = pack::open_file(d.path, "rb");
  bool ok = read_range(f, 0, n, out);
  if (f) std::fclose(f);
  return ok;
}

}  // namespace

int command_audit(int argc, char** argv) {
  const char* input = nullptr;
  bool json = false, strict = false;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json")) {
      json = true;
    } else if (!std::strcmp(argv[i], "--strict")) {
      strict = true;
    } else if (is_help(argv[i])) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argv[i][0] == '-') {
      return usage_error("audit", "unknown option \"" + std::string(argv[i]) + "\"");
    } else if (input) {
      return usage_error("audit", "one player or manifest at a time");
    } else {
      input = argv[i];
    }
  }
  if (!input) return usage_error("audit", "no player or manifest given");
  std::string error;
  pack::Package pkg;
  pack::EntryReader reader;
  if (is_manifest(input)) {
    if (!pack::read_manifest(input, &pkg, &error)) {
      std::fprintf(stderr, "pack: %s\n", error.c_str());
      return 1;
    }
    if (!install_manifest(pkg)) {
      std::fprintf(stderr, "pack: %s: out of memory\n", input);
      return 1;
    }
    reader = [&pkg](int32_t i, size_t max, std::string* out) {
      if (pkg.mode == PLAYBACK_VIDEO) {
        const pack::Data* files[] = {&pkg.player, &pkg.skin, &pkg.video};
        return read_data(*files[i], max, out);
      }
      return read_data(pkg.entries[size_t(i)].data, max, out);
    };
  } else {
    if (!load_player_exe(input, &error)) {
      std::fprintf(stderr, "pack: %s\n", error.c_str());
      return 1;
    }
    std::shared_ptr<std::FILE> file(pack::open_file(input, "rb"), [](std::FILE* f) {
      if (f) std::fclose(f);
    });
    reader = [file](int32_t i, size_t max, std::string* out) {
      const ResourceEntry* e = resource_entry(i);
      size_t n = size_t(e->size) < max ? size_t(e->size) : max;
      return read_range(file.get(), e->data_offset, n, out);
    };
  }
  pack::AuditResult result = pack::audit_package(reader);
  std::string out = json ? pack::audit_json(result) : pack::audit_text(result);
  std::fwrite(out.data(), 1, out.size(), stdout);
  reset_player_state();
  return strict && result.unanswered > 0 ? 1 : 0;
}
