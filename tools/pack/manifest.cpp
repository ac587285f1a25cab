#include "pack/manifest.h"

#include <cstdio>

#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "common/base64.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/utf.h"
#include "package/player_state.h"

namespace pack {

using common::base64;
using common::PathKind;
using common::read_whole_file;

namespace {

class Reader {
 public:
  Reader(const std::string& path, common::Error* error) : path_(path), error_(error) {
    size_t slash = path.find_last_of("/\\");
    dir_ = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  }

  bool fail(const toml::source_region& where, const std::string& message) {
    *error_ = common::Error{path_, int32_t(where.begin.line), -1, "error: " + message};
    return false;
  }

  // Rejects keys the manifest does not know, so typos don't pass silently.
  bool known_keys(const toml::table& t, std::initializer_list<const char*> keys,
                  const char* where) {
    for (auto&& [k, v] : t) {
      bool ok = false;
      for (const char* name : keys) ok = ok || k.str() == name;
      if (!ok) return fail(v.source(), std::string("unknown key \"") + std::string(k.str()) +
                                           "\" in " + where);
    }
    return true;
  }

  bool text(const toml::table& t, const char* key, std::u16string* out, bool required) {
    const toml::node* n = t.get(key);
    if (!n) {
      if (required) return fail(t.source(), std::string("missing \"") + key + "\"");
      return true;
    }
    const auto* s = n->as_string();
    if (!s) return fail(n->source(), std::string("\"") + key + "\" must be a string");
    if (!common::utf8_to_utf16(s->get(), out)) return fail(n->source(), "invalid UTF-8");
    return true;
  }

  static int32_t line_of(const toml::table& t, const char* key) {
    const toml::node* n = t.get(key);
    return n ? int32_t(n->source().begin.line) : 0;
  }

  bool number(const toml::table& t, const char* key, uint32_t* out, int32_t* line) {
    const toml::node* n = t.get(key);
    if (!n) return true;
    *line = int32_t(n->source().begin.line);
    const auto* v = n->as_integer();
    if (!v || v->get() < 0 || v->get() > INT32_MAX)
      return fail(n->source(), std::string("\"") + key + "\" must be a whole number from 0");
    *out = uint32_t(v->get());
    return true;
  }

  bool file(const toml::node* n, const char* key, Data* out) {
    const auto* s = n->as_string();
    if (!s) return fail(n->source(), std::string("\"") + key + "\" must be a file name");
    std::string p = s->get();
    if (p.empty()) return fail(n->source(), std::string("\"") + key + "\" is empty");
    if (p[0] != '/' && !(p.size() > 1 && p[1] == ':')) p = dir_ + p;
    switch (common::path_kind(p)) {
      case PathKind::file: break;
      case PathKind::missing: return fail(n->source(), p + ": no such file");
      default: return fail(n->source(), p + ": not a file");
    }
    // The size as the packer reads the file, in 64 bits on every platform.
    common::File f = common::open_file(p, "rb");
    const int64_t size = f ? common::file_size(f) : -1;
    if (size < 0) return fail(n->source(), p + ": missing or unreadable");
    out->path = p;
    out->size = size;
    out->line = int32_t(n->source().begin.line);
    return true;
  }

  bool required_file(const toml::table& t, const char* key, Data* out) {
    const toml::node* n = t.get(key);
    if (!n) return fail(t.source(), std::string("missing \"") + key + "\"");
    return file(n, key, out);
  }

  bool entry(const toml::table& t, PageEntry* e) {
    if (!known_keys(t, {"url", "alternate_url", "content_type", "post_body", "post_body_file",
                        "post_key", "file"},
                    "[[entry]]"))
      return false;
    if (!text(t, "url", &e->url, true) || !text(t, "alternate_url", &e->alternate_url, false) ||
        !text(t, "content_type", &e->content_type, false) || !required_file(t, "file", &e->data))
      return false;
    e->content_type_given = t.get("content_type") != nullptr;
    e->line = int32_t(t.source().begin.line);
    e->url_line = line_of(t, "url");
    e->alternate_url_line = line_of(t, "alternate_url");
    for (const char* k : {"post_body", "post_body_file", "post_key"})
      if (int32_t l = line_of(t, k)) e->post_line = l;
    int bodies = (t.get("post_body") ? 1 : 0) + (t.get("post_body_file") ? 1 : 0) +
                 (t.get("post_key") ? 1 : 0);
    if (bodies > 1)
      return fail(t.source(), "give only one of post_body, post_body_file and post_key");
    if (const toml::node* n = t.get("post_body")) {
      const auto* s = n->as_string();
      if (!s) return fail(n->source(), "\"post_body\" must be a string");
      e->post_key = base64(s->get().data(), s->get().size());
    } else if (const toml::node* n = t.get("post_body_file")) {
      Data body;
      if (!file(n, "post_body_file", &body)) return false;
      std::string bytes;
      common::Error error;
      if (!read_whole_file(body.path, &bytes, &error)) return fail(n->source(), error.text());
      e->post_body_path = body.path;
      e->post_key = base64(bytes.data(), bytes.size());
    } else if (const toml::node* n = t.get("post_key")) {
      const auto* s = n->as_string();
      if (!s) return fail(n->source(), "\"post_key\" must be a string");
      e->post_key = s->get();
    }
    return true;
  }

  bool package(const toml::table& root, Package* pkg) {
    if (!known_keys(root, {"mode", "width", "height", "flash_vars", "base", "entry", "video"},
                    "the manifest"))
      return false;
    const toml::node* mode = root.get("mode");
    if (!mode) return fail(root.source(), "missing \"mode\" (\"page\", \"page-post\" or \"video\")");
    const auto* m = mode->as_string();
    const std::string name = m ? m->get() : "";
    pkg->mode = -1;
    for (int32_t k : {PLAYBACK_PAGE, PLAYBACK_VIDEO, PLAYBACK_PAGE_POST})
      if (name == mode_name(k)) pkg->mode = k;
    if (pkg->mode < 0)
      return fail(mode->source(), "\"mode\" must be \"page\", \"page-post\" or \"video\"");
    if (!number(root, "width", &pkg->width, &pkg->width_line) ||
        !number(root, "height", &pkg->height, &pkg->height_line))
      return false;

    if (pkg->mode == PLAYBACK_VIDEO) {
      for (const char* k : {"flash_vars", "base", "entry"})
        if (const toml::node* n = root.get(k))
          return fail(n->source(), std::string("\"") + k + "\" has no place in a video package");
      const toml::node* v = root.get("video");
      const toml::table* vt = v ? v->as_table() : nullptr;
      if (!vt) return fail(root.source(), "a video package needs a [video] table");
      if (!known_keys(*vt, {"player", "skin", "flv"}, "[video]")) return false;
      return required_file(*vt, "player", &pkg->player) && required_file(*vt, "skin", &pkg->skin) &&
             required_file(*vt, "flv", &pkg->video);
    }

    if (const toml::node* v = root.get("video"))
      return fail(v->source(), "[video] belongs to a video package");
    if (!text(root, "flash_vars", &pkg->flash_vars, false) || !text(root, "base", &pkg->base, false))
      return false;
    const toml::node* entries = root.get("entry");
    const toml::array* list = entries ? entries->as_array() : nullptr;
    if (!list || list->empty())
      return fail(root.source(), "a page package needs at least one [[entry]], the first movie first");
    for (const toml::node& n : *list) {
      const toml::table* t = n.as_table();
      if (!t) return fail(n.source(), "each entry must be an [[entry]] table");
      pkg->entries.emplace_back();
      if (!entry(*t, &pkg->entries.back())) return false;
    }
    return true;
  }

 private:
  std::string path_;
  std::string dir_;
  common::Error* error_;
};

}  // namespace

const char* mode_name(int32_t mode) {
  switch (mode) {
    case PLAYBACK_PAGE: return "page";
    case PLAYBACK_VIDEO: return "video";
    case PLAYBACK_PAGE_POST: return "page-post";
    default: return "unknown";
  }
}

bool read_manifest(const std::string& path, Package* package, common::Error* error) {
  std::string text;
  if (!read_whole_file(path, &text, error)) return false;
  // Read here rather than by the TOML library, so that the path goes
  // through the packer's own (wide on Windows) file opening.
  toml::parse_result parsed = toml::parse(text, path);
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    *error = common::Error{path, int32_t(e.source().begin.line), -1, "error: " + std::string(e.description())};
    return false;
  }
  Reader reader(path, error);
  return reader.package(parsed.table(), package);
}

}  // namespace pack
