// Which texts are requests: the audit's policy, apart from the readers that
// find the texts.
#include <cctype>
#include <cstring>

#include "common/utf.h"
#include "pack/audit_stages.h"

namespace pack {
namespace {

// Files that movies load.
const char* const kExtensions[] = {
    "swf", "xml", "txt", "json", "jpg", "jpeg", "png", "gif", "bmp", "mp3", "wav", "flv",
    "f4v", "mp4", "m4a", "m4v", "aac", "css", "htm", "html", "zip", "bin", "dat", "csv",
    "ttf", "otf", "svg", "ini", "cfg", "conf", "properties", "amf", "lang", "atf", "pbj"};
// Server scripts: requests only when they carry a query.
const char* const kScripts[] = {"php", "asp", "aspx", "jsp", "cgi", "pl", "py", "cfm", "do", "ashx"};

constexpr size_t kLongestRequest = 2048;

bool in_table(const std::string& ext, const char* const* table, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (ext == table[i]) return true;
  return false;
}

}  // namespace

bool audit_keep(const std::string& raw, const char** kind, std::string* detail) {
  std::string text = trimmed(raw);
  if (text.empty() || text.size() > kLongestRequest) return false;
  for (unsigned char c : text)
    if (c < 0x21 || c == '<' || c == '>' || c == '"' || c == '{' || c == '}')
      return false;
  std::string l = common::ascii_lower(text);
  // A scheme: the three the player serves, or any "name://" address.
  size_t colon = l.find(':');
  if (colon != std::string::npos && colon > 0) {
    std::string scheme = l.substr(0, colon);
    bool name = std::isalpha(static_cast<unsigned char>(scheme[0])) &&
                scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+.-") == std::string::npos;
    if (name && (scheme == "http" || scheme == "https" || scheme == "file" ||
                 l.compare(colon, 3, "://") == 0) && l.size() > colon + 3) {
      *kind = "scheme";
      *detail = scheme + ":";
      return true;
    }
  }
  std::string path = l.substr(0, l.find_first_of("?#"));
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string ext = name.substr(dot + 1);
  if (in_table(ext, kExtensions, sizeof kExtensions / sizeof *kExtensions)) {
    *kind = "extension";
    *detail = "." + ext;
    return true;
  }
  if (l.find('?') != std::string::npos && l.find('?') > dot &&
      in_table(ext, kScripts, sizeof kScripts / sizeof *kScripts)) {
    *kind = "script-query";
    *detail = "." + ext;
    return true;
  }
  return false;
}

}  // namespace pack
