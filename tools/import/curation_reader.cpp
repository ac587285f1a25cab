// Flashpoint curations: a folder, or a ZIP (the folder at its top or one
// level down), holding meta.yaml or the older meta.txt ("Key: value"
// lines) and the site's files as content/HOST/PATH, served at
// http://HOST/PATH. The launch command's URL is the first movie.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include <yaml-cpp/yaml.h>

#include "common/file.h"
#include "common/paths.h"
#include "common/url.h"
#include "common/utf.h"
#include "import/intake.h"
#include "import/readers.h"
#include "import/zip.h"
#include "pack/content_type.h"

namespace fs = std::filesystem;

namespace capture {

using common::ascii_lower;

namespace {

const char* const kMetaNames[] = {"meta.yaml", "meta.yml", "meta.txt"};
constexpr size_t kMetaLimit = 1 << 20;

// Where a ZIP's curation sits: the member holding its meta and the prefix
// of its folder ("" or "NAME/"). False when the ZIP holds none.
bool zip_meta(const std::vector<ZipMember>& members, const ZipMember** meta, std::string* prefix) {
  for (const char* name : kMetaNames)
    for (int depth = 0; depth < 2; ++depth)
      for (const ZipMember& m : members) {
        const size_t slash = m.name.find('/');
        const std::string last = slash == std::string::npos ? m.name : m.name.substr(slash + 1);
        const bool one_down = slash != std::string::npos && m.name.find('/', slash + 1) == std::string::npos;
        const bool at_depth = depth == 0 ? slash == std::string::npos : one_down;
        if (at_depth && ascii_lower(last) == name) {
          *meta = &m;
          *prefix = depth == 0 ? "" : m.name.substr(0, slash + 1);
          return true;
        }
      }
  return false;
}

std::string folder_meta(const std::string& path) {
  for (const char* name : kMetaNames) {
    const std::string p = common::utf8_path(common::fs_path(path) / name);
    if (common::path_kind(p) == common::PathKind::file) return p;
  }
  return "";
}

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") + 1 - a);
}

// Keys in lower case, values as written: meta.txt's "Key: value" lines, or
// meta.yaml's top-level scalars (lists and maps, such as tags and
// additional applications, are not needed here).
std::map<std::string, std::string> parse_meta(const std::string& text, const std::string& name,
                                              const common::Error& where) {
  std::map<std::string, std::string> meta;
  if (ascii_lower(name) == "meta.txt") {
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      const size_t colon = line.find(':');
      if (colon != std::string::npos) meta[ascii_lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
    }
    return meta;
  }
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& e) {
    throw Fault(with_message(where, std::string("not YAML: ") + e.what()));
  }
  if (!root.IsMap()) throw Fault(with_message(where, "not a YAML mapping of keys to values"));
  for (auto it = root.begin(); it != root.end(); ++it)
    if (it->first.IsScalar() && it->second.IsScalar())
      meta[ascii_lower(trim(it->first.Scalar()))] = trim(it->second.Scalar());
  return meta;
}

struct Curation {
  common::Error meta_where;  // the meta file, for messages
  std::map<std::string, std::string> meta;
  std::string get(const char* key) const {
    auto it = meta.find(key);
    return it == meta.end() ? "" : it->second;
  }
};

// The curation's meta, from a folder or a ZIP; members and prefix are set for a ZIP.
Curation read_meta(const std::string& path, std::vector<ZipMember>* members, std::string* prefix) {
  Curation c;
  std::string text, name;
  if (common::path_kind(path) == common::PathKind::folder) {
    c.meta_where.file = folder_meta(path);
    if (c.meta_where.file.empty()) throw Fault(common::Error{path, 0, -1, "no meta.yaml or meta.txt"});
    name = common::utf8_path(common::fs_path(c.meta_where.file).filename());
    common::Error error;
    if (common::input_size(c.meta_where.file) > kMetaLimit)
      throw Fault(with_message(c.meta_where, "larger than 1 MiB"));
    if (!common::read_whole_file(c.meta_where.file, &text, &error)) throw Fault(error);
  } else {
    *members = read_zip_directory(path);
    const ZipMember* meta = nullptr;
    if (!zip_meta(*members, &meta, prefix)) throw Fault(common::Error{path, 0, -1, "no meta.yaml or meta.txt"});
    c.meta_where = common::Error{path, 0, -1, "", -1, meta->name};
    name = meta->name.substr(prefix->size());
    if (meta->size > int64_t(kMetaLimit)) throw Fault(with_message(c.meta_where, "larger than 1 MiB"));
    std::unique_ptr<Input> in = open_zip_member(path, *meta);
    std::vector<uint8_t> buf(1 << 16);
    while (size_t n = in->read(buf.data(), buf.size())) text.append(reinterpret_cast<char*>(buf.data()), n);
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  c.meta = parse_meta(text, name, c.meta_where);
  return c;
}

// The launch command's URL; refuses what a player cannot play.
std::string launch_url(const Curation& c) {
  const std::string platform = c.get("platform");
  if (!platform.empty() && ascii_lower(platform) != "flash")
    throw Fault(with_message(c.meta_where, "Platform is \"" + platform + "\"; a player plays Flash curations only"));
  const std::string app = c.get("application path");
  if (!app.empty()) {
    const std::string file = ascii_lower(app.substr(app.find_last_of("\\/") + 1));
    if (file.compare(0, 11, "flashplayer") != 0 || !ends_with(file, ".exe"))
      throw Fault(with_message(c.meta_where, "Application Path \"" + app +
                                                 "\" is not a Flash projector; a player plays Flash curations only"));
  }
  std::string url = c.get("launch command");
  if (url.size() >= 2 && url.front() == '"' && url.back() == '"') url = trim(url.substr(1, url.size() - 2));
  if (url.empty()) throw Fault(with_message(c.meta_where, "no Launch Command"));
  if (!common::is_web_url(url))
    throw Fault(with_message(c.meta_where, "Launch Command \"" + url + "\" is not an http or https URL"));
  return url;
}

// The URL a content file is served at: rel is HOST/PATH with '/'.
std::string content_url(const std::string& rel) {
  std::string out = "http://";
  for (char c : rel) {
    if (c == ' ') out += "%20";
    else out += c;
  }
  return out;
}

// Without scheme, query and fragment, in lower case: how a content file
// and the launch command are matched.
std::string place_of(const std::string& url) {
  std::string s = ascii_lower(url.substr(0, url.find_first_of("?#")));
  const size_t scheme = s.find("://");
  return scheme == std::string::npos ? s : s.substr(scheme + 3);
}

void take_file(Intake* intake, Reader* body, const std::string& rel, const common::Error& where,
               const std::string& launch) {
  if (rel.find('/') == std::string::npos) {
    intake->accepted(where.place(), "outside a host folder", "not under a content/HOST folder; left out");
    intake->skip("outside a host folder");
    return;
  }
  Captured c;
  c.url = content_url(rel);
  c.where = where;
  if (const char* type = pack::content_type_for_name(c.url)) c.content_type = type;
  c.body = body;
  c.coded = false;
  Item item;
  Intake::Payload payload;
  if (!intake->take(c, &item, &payload)) return;
  // The movie is served at the launch command's own URL, its query and all
  // (its parameters reach it), and at its plain URL.
  if (place_of(launch) == place_of(item.url) && launch != item.url) {
    item.alternate = item.url;
    item.url = launch;
  }
  intake->keep(item);
}

}  // namespace

bool is_curation(const std::string& path, bool folder, const std::vector<uint8_t>& head) {
  if (folder) return !folder_meta(path).empty();
  if (head.size() < 4 || std::memcmp(head.data(), "PK", 2) != 0) return false;
  try {
    const ZipMember* meta;
    std::string prefix;
    return zip_meta(read_zip_directory(path), &meta, &prefix);
  } catch (const Fault&) {
    return false;  // not a readable ZIP: the WACZ reader says why
  }
}

std::string curation_title(const std::string& path) {
  std::vector<ZipMember> members;
  std::string prefix;
  return read_meta(path, &members, &prefix).get("title");
}

void read_curation(Intake* intake, const std::string& path) {
  std::vector<ZipMember> members;
  std::string prefix;
  const Curation c = read_meta(path, &members, &prefix);
  const std::string launch = launch_url(c);
  intake->start_movie = launch;
  intake->start_movie_reason = "the curation's launch command";
  if (common::path_kind(path) == common::PathKind::folder) {
    const fs::path content = common::fs_path(path) / "content";
    std::vector<std::string> files;
    std::error_code ec;
    if (fs::is_directory(content, ec))
      for (auto it = fs::recursive_directory_iterator(content); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file()) files.push_back(it->path().lexically_relative(content).generic_u8string());
    std::sort(files.begin(), files.end());
    for (const std::string& rel : files) {
      const std::string where = common::utf8_path(content / fs::u8path(rel));
      FileInput in(where);
      Reader body(&in);
      take_file(intake, &body, rel, common::Error{where, 0, -1, ""}, launch);
      intake->read_whole(uint64_t(common::input_size(where)));
    }
    return;
  }
  const std::string under = prefix + "content/";
  for (const ZipMember& m : members) {
    if (m.name.compare(0, under.size(), under) != 0 || m.name.back() == '/') continue;
    const common::Error where{path, 0, -1, "", -1, m.name};
    const common::Error fault = zip_member_fault(path, m);
    if (!fault.message.empty()) {
      intake->bad(fault, "damaged record");
      continue;
    }
    std::unique_ptr<Input> in = open_zip_member(path, m);
    Reader body(in.get());
    take_file(intake, &body, m.name.substr(under.size()), where, launch);
    intake->report(uint64_t(m.header_offset + m.compressed));
  }
}

}  // namespace capture
