#include "import/formats.h"

#include <cstring>

#include "common/paths.h"
#include "common/utf.h"
#include "import/capture.h"
#include "import/intake.h"
#include "import/readers.h"

namespace capture {

namespace {

bool starts(const std::vector<uint8_t>& head, const char* magic) {
  size_t n = std::strlen(magic);
  return head.size() >= n && std::memcmp(head.data(), magic, n) == 0;
}

bool is_gzip(const std::vector<uint8_t>& head) { return starts(head, "\x1f\x8b"); }
bool is_zip(const std::vector<uint8_t>& head) { return starts(head, "PK\x03\x04") || starts(head, "PK\x05\x06"); }

// gzip holds WARC or ARC records alike; their one reader tells them apart.
bool warc(const std::string&, bool folder, const std::vector<uint8_t>& head) {
  return !folder && (starts(head, "WARC/") || is_gzip(head));
}
bool arc(const std::string&, bool folder, const std::vector<uint8_t>& head) {
  return !folder && starts(head, "filedesc://");
}
bool wacz(const std::string& path, bool folder, const std::vector<uint8_t>& head) {
  return !folder && is_zip(head) && !is_curation(path, folder, head);
}
bool har(const std::string&, bool folder, const std::vector<uint8_t>& head) {
  size_t k = starts(head, "\xEF\xBB\xBF") ? 3 : 0;
  while (k < head.size() && std::strchr(" \t\r\n", head[k])) ++k;
  return !folder && k < head.size() && head[k] == '{';
}
bool mirror(const std::string& path, bool folder, const std::vector<uint8_t>& head) {
  return folder && !is_curation(path, folder, head);
}

}  // namespace

const std::vector<Format>& formats() {
  // Checked in this order: a later row may claim what an earlier one leaves.
  static const std::vector<Format> table = {
      {"WARC", "WARC files (.warc, .warc.gz; 1.0 and 1.1, and the early 0.17 and 0.18)", {".warc.gz", ".warc"},
       warc, read_record_file},
      {"ARC", "ARC files (.arc, .arc.gz)", {".arc.gz", ".arc"}, arc, read_record_file},
      {"WACZ", "WACZ files", {".wacz"}, wacz, read_wacz},
      {"HAR", "HAR files", {".har"}, har, read_har},
      {"a mirrored folder", "mirrored folders laid out as HOST/PATH (wget -x or --mirror, httrack)", {}, mirror,
       read_folder},
      {"a Flashpoint curation",
       "Flashpoint curations of Flash games: a folder or .zip with meta.yaml (or\n"
       "    meta.txt) and content/HOST/PATH; its launch command is the first movie",
       {".zip"}, is_curation, read_curation, curation_title},
  };
  return table;
}

const Format* format_of(const std::string& path) {
  const bool folder = common::path_kind(path) == common::PathKind::folder;
  const std::vector<uint8_t> head = folder ? std::vector<uint8_t>() : read_head(path, kHeadBytes);
  for (const Format& f : formats())
    if (f.claims(path, folder, head)) return &f;
  return nullptr;
}

std::string format_names() {
  std::string out;
  const std::vector<Format>& all = formats();
  for (size_t i = 0; i < all.size(); ++i)
    out += (i == 0 ? "" : i + 1 == all.size() ? " or " : ", ") + std::string(all[i].name);
  return out;
}

std::string format_help() {
  std::string out;
  for (const Format& f : formats()) out += std::string("  - ") + f.help + "\n";
  return out;
}

std::string capture_title(const std::string& path) {
  try {
    const Format* f = format_of(path);
    return f && f->title ? f->title(path) : "";
  } catch (const std::exception&) {
    return "";  // the import says what is wrong with it
  }
}

std::string strip_capture_extension(const std::string& name) {
  const std::string lower = common::ascii_lower(name);
  size_t best = 0;
  for (const Format& f : formats())
    for (const char* ext : f.extensions) {
      const size_t n = std::strlen(ext);
      if (n > best && lower.size() > n && ends_with(lower, ext)) best = n;
    }
  return name.substr(0, name.size() - best);
}

}  // namespace capture
