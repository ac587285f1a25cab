// pack import: captures to a player, a manifest, or both.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "build.h"
#include "capture.h"
#include "commands.h"
#include "file_source.h"
#include "manifest.h"
#include "package/player_state.h"
#include "package_writer.h"
#include "paths.h"
#include "utf.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "Usage: pack import CAPTURE... [-o OUT.exe] [--manifest DIR] [--stub STUB.exe]\n"
    "                   [--start URL] [--size WxH] [--mode page|page-post]\n"
    "                   [--scheme http|https] [--strict] [--json]\n"
    "\n"
    "Makes a player (-o) and/or an editable manifest folder (--manifest, for\n"
    "pack build) from captures: WARC files (.warc, .warc.gz), WACZ files, HAR\n"
    "files and mirrored folders laid out as HOST/PATH (wget -x or --mirror).\n"
    "\n"
    "  -o OUT.exe        the player to write\n"
    "  --stub STUB.exe   pack onto this stub instead of the one the packer carries\n"
    "  --manifest DIR    write DIR/manifest.toml and the payload files; DIR must\n"
    "                    not exist or be empty\n"
    "  --start URL       the first movie; default: the movie the first captured\n"
    "                    HTML page embeds, else the first SWF in the capture\n"
    "  --size WxH        nominal size; default: the embedding's width and height\n"
    "  --mode MODE       page-post (default: requests keyed by POST body, near\n"
    "                    misses resolved) or page (exact URLs only)\n"
    "  --scheme S        scheme of mirrored folders' URLs (default http)\n"
    "  --strict          a bad record fails the import instead of being skipped\n"
    "  --json            print the summary as one JSON object\n"
    "\n"
    "Kept: status 200 (203, and 206 only when it holds the whole file), bodies\n"
    "with chunked transfer coding and gzip or deflate content coding undone"
#ifdef TESSIVO_HAVE_BROTLI
    " (and br)"
#else
    " (this build\n"
    "cannot undo br)"
#endif
    "; the last capture of a URL wins; a redirect becomes\n"
    "its target's alternate URL where it can.\n"
    "\n"
    "Exit codes: 0 done, 1 the import failed (nothing written), 2 bad usage.\n";

std::string toml_text(const std::u16string& s) {
  std::string in = utf16_to_utf8(s), out = "\"";
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

std::string toml_text(const std::string& s) { return toml_text(text_to_utf16(s)); }

// The carried movies beside the FLV, and the [video] table naming all three.
void write_video_files(const pack::Package& pkg, const std::string& dir, std::string* text) {
  for (const auto& [data, name] : {std::make_pair(&pkg.player, "player.swf"), std::make_pair(&pkg.skin, "skin.swf")}) {
    std::string path = (fs::path(dir) / name).string();
    std::FILE* f = pack::open_file(path, "wb");
    if (!f) throw capture::ImportError(path + ": " + std::strerror(errno));
    bool ok = std::fwrite(data->bytes.data(), 1, data->bytes.size(), f) == data->bytes.size();
    if (std::fclose(f) != 0 || !ok) throw capture::ImportError(path + ": write error");
  }
  *text += "\n[video]\nplayer = \"player.swf\"\nskin = \"skin.swf\"\nflv = " +
           toml_text(text_to_utf16(fs::path(pkg.video.path).filename().string())) + "\n";
}

void write_manifest(const capture::Result& r, const std::string& dir) {
  const pack::Package& pkg = r.package;
  std::string text = "# Written by pack import; edit and rebuild with pack build.\n";
  text += "mode = \"" + std::string(pack::mode_name(pkg.mode)) + "\"\n";
  text += "width = " + std::to_string(pkg.width) + "\nheight = " + std::to_string(pkg.height) + "\n";
  if (!pkg.flash_vars.empty()) text += "flash_vars = " + toml_text(pkg.flash_vars) + "\n";
  if (!pkg.base.empty()) text += "base = " + toml_text(pkg.base) + "\n";
  if (pkg.mode == PLAYBACK_VIDEO) write_video_files(pkg, dir, &text);
  for (const pack::PageEntry& e : pkg.entries) {
    text += "\n[[entry]]\nurl = " + toml_text(e.url) + "\n";
    if (!e.alternate_url.empty()) text += "alternate_url = " + toml_text(e.alternate_url) + "\n";
    if (!e.post_key.empty()) text += "post_key = " + toml_text(e.post_key) + "\n";
    if (!e.content_type.empty()) text += "content_type = " + toml_text(e.content_type) + "\n";
    text += "file = " + toml_text(fs::path(e.data.path).filename().string()) + "\n";
  }
  std::string path = (fs::path(dir) / "manifest.toml").string();
  std::FILE* f = pack::open_file(path, "wb");
  if (!f) throw capture::ImportError(path + ": " + std::strerror(errno));
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) throw capture::ImportError(path + ": write error");
}

std::string fresh_temp_dir() {
  std::random_device rd;
  for (int k = 0; k < 100; ++k) {
    fs::path p = fs::temp_directory_path() / ("tessivo-import-" + std::to_string(rd()));
    if (fs::create_directory(p)) return p.string();
  }
  throw capture::ImportError("cannot make a temporary folder");
}

void print_summary(const capture::Result& r, bool json, const std::string& exe, const std::string& manifest) {
  struct Type {
    int count = 0;
    long long bytes = 0;
  };
  std::map<std::string, Type> types;
  long long total = 0;
  for (const capture::Item& e : r.entries) {
    std::string t = e.content_type.substr(0, e.content_type.find(';'));
    if (t.empty()) t = "(none)";
    types[t].count++;
    types[t].bytes += e.size;
    total += e.size;
  }
  const pack::Package& pkg = r.package;
  if (json) {
    nlohmann::json j;
    j["start"] = r.start_url;
    j["start_reason"] = r.start_reason;
    j["flash_vars"] = utf16_to_utf8(pkg.flash_vars);
    j["base"] = utf16_to_utf8(pkg.base);
    j["width"] = pkg.width;
    j["height"] = pkg.height;
    j["mode"] = pack::mode_name(pkg.mode);
    j["entries"] = nlohmann::json::array();
    for (const capture::Item& e : r.entries)
      j["entries"].push_back({{"url", e.url}, {"alternate_url", e.alternate}, {"post_key", e.post_key},
                              {"content_type", e.content_type}, {"size", e.size}, {"from", e.where}});
    j["bytes"] = total;
    j["by_type"] = nlohmann::json::object();
    for (const auto& [t, v] : types) j["by_type"][t] = {{"entries", v.count}, {"bytes", v.bytes}};
    j["skipped"] = r.skipped;
    j["dropped"] = r.dropped;
    j["redirects"] = r.redirects;
    j["warnings"] = r.warnings;
    j["notes"] = r.notes;
    j["output"] = exe;
    j["manifest"] = manifest;
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("first movie: %s (%s)\n", r.start_url.c_str(), r.start_reason.c_str());
  for (const std::string& n : r.notes) std::printf("  note: %s\n", n.c_str());
  if (!pkg.flash_vars.empty()) std::printf("flash vars: %s\n", utf16_to_utf8(pkg.flash_vars).c_str());
  if (!pkg.base.empty()) std::printf("base: %s\n", utf16_to_utf8(pkg.base).c_str());
  std::printf("nominal size: %u x %u\nmode: %s\n", pkg.width, pkg.height, pack::mode_name(pkg.mode));
  std::printf("entries: %zu, %lld bytes\n", r.entries.size(), total);
  for (const auto& [t, v] : types) std::printf("  %-40s %6d %14lld bytes\n", t.c_str(), v.count, v.bytes);
  if (!r.skipped.empty()) {
    std::printf("skipped:\n");
    for (const auto& [why, n] : r.skipped) std::printf("  %-40s %6d\n", why.c_str(), n);
  }
  for (const std::string& d : r.dropped) std::printf("duplicate: %s\n", d.c_str());
  for (const std::string& d : r.redirects) std::printf("redirect: %s\n", d.c_str());
  if (!r.warnings.empty()) std::printf("warnings: %zu (shown on stderr)\n", r.warnings.size());
  if (!exe.empty()) std::printf("wrote %s\n", exe.c_str());
  if (!manifest.empty()) std::printf("wrote %s/manifest.toml\n", manifest.c_str());
}

}  // namespace

int command_import(int argc, char** argv) {
  capture::Options options;
  std::vector<std::string> inputs;
  std::string out_path, stub_path, manifest_dir;
  bool json = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (is_help(argv[i])) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "-o") {
      if (!value(&out_path)) return usage_error("import", "-o needs a file name");
    } else if (a == "--stub") {
      if (!value(&stub_path)) return usage_error("import", "--stub needs a file name");
    } else if (a == "--manifest") {
      if (!value(&manifest_dir)) return usage_error("import", "--manifest needs a folder");
    } else if (a == "--start") {
      if (!value(&options.start)) return usage_error("import", "--start needs a URL");
    } else if (a == "--size") {
      unsigned w, h;
      char extra;
      if (!value(&v) || std::sscanf(v.c_str(), "%ux%u%c", &w, &h, &extra) != 2 || w > 100000 || h > 100000)
        return usage_error("import", "--size needs WIDTHxHEIGHT, e.g. 800x600");
      options.width = w;
      options.height = h;
    } else if (a == "--mode") {
      if (!value(&v) || (v != "page" && v != "page-post")) return usage_error("import", "--mode is page or page-post");
      options.mode = v == "page" ? 0 : 2;
    } else if (a == "--scheme") {
      if (!value(&options.scheme) || (options.scheme != "http" && options.scheme != "https"))
        return usage_error("import", "--scheme is http or https");
    } else if (a == "--strict") {
      options.strict = true;
    } else if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      return usage_error("import", "unknown option \"" + a + "\"");
    } else {
      inputs.push_back(a);
    }
  }
  if (inputs.empty()) return usage_error("import", "no capture given");
  if (out_path.empty() && manifest_dir.empty()) return usage_error("import", "give -o OUT.exe, --manifest DIR or both");
  pack::FileId out_id, in_id;
  if (!out_path.empty() && pack::file_id(out_path, &out_id)) {
    std::vector<std::string> guarded = inputs;
    if (!stub_path.empty()) guarded.push_back(stub_path);
    for (const std::string& in : guarded)
      if (pack::file_id(in, &in_id) && in_id == out_id) {
        std::fprintf(stderr, "pack import: cannot write %s: it is the input %s; choose another output\n",
                     out_path.c_str(), in.c_str());
        return 1;
      }
  }

  std::string work;
  bool work_is_temp = manifest_dir.empty();
  auto cleanup = [&]() {
    std::error_code ec;
    if (!work.empty()) fs::remove_all(work, ec);
  };
  try {
    std::vector<uint8_t> stub;
    if (!out_path.empty()) {
      std::string error;
      if (!pack::load_stub(stub_path, &stub, &error)) throw capture::ImportError(error);
    }
    if (!manifest_dir.empty()) {
      std::error_code ec;
      if (fs::exists(manifest_dir, ec) && !(fs::is_directory(manifest_dir, ec) && fs::is_empty(manifest_dir, ec)))
        throw capture::ImportError(manifest_dir + ": exists and is not an empty folder; not overwritten");
      if (fs::exists(manifest_dir + ".part", ec))
        throw capture::ImportError(manifest_dir + ".part: left from an earlier run; remove it first");
      work = manifest_dir + ".part";
      fs::create_directories(work);
    } else {
      work = fresh_temp_dir();
    }
    options.work_dir = work;
    options.progress = stderr;
    options.warnings = stderr;
    capture::Importer importer(options);
    for (const std::string& in : inputs) importer.add(in);
    capture::Result result = importer.finish();

    pack::AtomicOutput out;
    if (!out_path.empty()) {
      std::string error;
      if (!out.open(out_path, &error)) throw capture::ImportError(error);
      pack::FileSink sink(out.file());
      error = pack::write_player(stub, result.package, &sink);
      if (!error.empty()) throw capture::ImportError(error);
    }
    if (!manifest_dir.empty()) write_manifest(result, work);
    // Both outputs appear only once both are complete.
    if (!out_path.empty()) {
      std::string error;
      if (!out.commit(&error)) throw capture::ImportError(error);
    }
    if (!manifest_dir.empty()) {
      std::error_code ec;
      fs::remove(manifest_dir, ec);  // an empty folder only
      fs::rename(work, manifest_dir);
      work.clear();
    }
    if (work_is_temp) cleanup();
    print_summary(result, json, out_path, manifest_dir);
    return 0;
  } catch (const std::exception& e) {
    cleanup();
    std::fprintf(stderr, "pack import: %s\n", e.what());
    return 1;
  }
}
