#include <cstdio>

#include "common/file.h"
#include "common/paths.h"
#include "common/utf.h"
#include "pack/manifest.h"
#include "package/player_state.h"

namespace pack {
namespace {

std::string toml_text(const std::u16string& s) {
  std::string in = common::utf16_to_utf8(s), out = "\"";
  for (char c : in) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string toml_text(const std::string& s) { return toml_text(common::text_to_utf16(s)); }

// The last part of the file's path, which lies beside the manifest.
std::string file_name(const Data& d) {
  return toml_text(common::utf8_path(common::fs_path(d.path).filename()));
}

std::string entry_text(const PageEntry& e) {
  std::string text = "\n[[entry]]\nurl = " + toml_text(e.url) + "\n";
  if (!e.alternate_url.empty()) text += "alternate_url = " + toml_text(e.alternate_url) + "\n";
  if (!e.post_key.empty()) text += "post_key = " + toml_text(e.post_key) + "\n";
  if (!e.content_type.empty()) text += "content_type = " + toml_text(e.content_type) + "\n";
  return text + "file = " + file_name(e.data) + "\n";
}

}  // namespace

std::string manifest_text(const Package& pkg, const char* comment) {
  std::string text = std::string("# ") + comment + "\n";
  text += "mode = \"" + std::string(mode_name(pkg.mode)) + "\"\n";
  text += "width = " + std::to_string(pkg.width) + "\nheight = " + std::to_string(pkg.height) + "\n";
  if (!pkg.flash_vars.empty()) text += "flash_vars = " + toml_text(pkg.flash_vars) + "\n";
  if (!pkg.base.empty()) text += "base = " + toml_text(pkg.base) + "\n";
  for (const PageEntry& e : pkg.entries) text += entry_text(e);
  if (pkg.mode == PLAYBACK_VIDEO) {
    text += "\n[video]\nplayer = " + file_name(pkg.player) + "\nskin = " + file_name(pkg.skin) +
            "\nflv = " + file_name(pkg.video) + "\n";
  }
  return text;
}

bool write_manifest(const Package& pkg, const char* comment, const std::string& path,
                    common::Error* error) {
  const std::string text = manifest_text(pkg, comment);
  common::File f = common::open_file(path, "wb");
  if (!f) {
    *error = common::errno_error(path);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  if (!f.close() || !ok) {
    *error = common::Error{path, 0, -1, "write error"};
    return false;
  }
  return true;
}

}  // namespace pack
