#include "pack/content_type.h"

#include <cstring>

#include "common/utf.h"

namespace pack {
namespace {

const struct {
  const char* extension;
  const char* type;
} kTypes[] = {
    {"swf", "application/x-shockwave-flash"},
    {"spl", "application/futuresplash"},
    {"xml", "text/xml"},
    {"txt", "text/plain"},
    {"json", "application/json"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"css", "text/css"},
    {"js", "application/javascript"},
    {"csv", "text/csv"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"ico", "image/x-icon"},
    {"svg", "image/svg+xml"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"aac", "audio/aac"},
    {"m4a", "audio/mp4"},
    {"flv", "video/x-flv"},
    {"mp4", "video/mp4"},
    {"f4v", "video/mp4"},
    {"m4v", "video/mp4"},
    {"f4m", "application/f4m+xml"},
    {"zip", "application/zip"},
    {"pdf", "application/pdf"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
};

}  // namespace

std::string extension_of(const std::string& name) {
  std::string s = name.substr(0, name.find_first_of("?#"));
  size_t cut = s.find_last_of("/\\.");
  if (cut == std::string::npos || s[cut] != '.') return "";
  return common::ascii_lower(s.substr(cut + 1));
}

const char* content_type_for_name(const std::string& name) {
  std::string ext = extension_of(name);
  for (const auto& t : kTypes)
    if (ext == t.extension) return t.type;
  return nullptr;
}

}  // namespace pack
