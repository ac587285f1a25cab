#include "import/html.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/utf.h"
#include "pack/package_writer.h"

namespace capture {

using common::ascii_lower;

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

void append_utf8(uint32_t cp, std::string* out) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    *out += char(cp);
  } else if (cp < 0x800) {
    *out += char(0xC0 | (cp >> 6));
    *out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += char(0xE0 | (cp >> 12));
    *out += char(0x80 | ((cp >> 6) & 0x3F));
    *out += char(0x80 | (cp & 0x3F));
  } else {
    *out += char(0xF0 | (cp >> 18));
    *out += char(0x80 | ((cp >> 12) & 0x3F));
    *out += char(0x80 | ((cp >> 6) & 0x3F));
    *out += char(0x80 | (cp & 0x3F));
  }
}

struct Tag {
  std::string name;  // lower case, "/name" for an end tag
  std::vector<std::pair<std::string, std::string>> attributes;  // names lower case
  std::string get(const char* name) const {
    for (const auto& a : attributes)
      if (a.first == name) return a.second;
    return "";
  }
  bool has(const char* name) const {
    for (const auto& a : attributes)
      if (a.first == name) return true;
    return false;
  }
};

// The tag starting at html[i] == '<'; i moves past it. Comments and
// declarations come back with an empty name.
Tag read_tag(const std::string& html, size_t* i) {
  Tag t;
  size_t p = *i + 1;
  if (html.compare(p, 3, "!--") == 0) {
    size_t e = html.find("-->", p + 3);
    *i = e == std::string::npos ? html.size() : e + 3;
    return t;
  }
  size_t n = html.size();
  size_t start = p;
  if (p < n && html[p] == '/') ++p;
  while (p < n && !is_space(html[p]) && html[p] != '>' && html[p] != '/') ++p;
  t.name = ascii_lower(html.substr(start, p - start));
  if (t.name.empty() || t.name[0] == '!' || t.name[0] == '?') t.name.clear();
  while (p < n && html[p] != '>') {
    if (is_space(html[p]) || html[p] == '/') {
      ++p;
      continue;
    }
    size_t a = p;
    while (p < n && !is_space(html[p]) && html[p] != '=' && html[p] != '>') ++p;
    std::string name = ascii_lower(html.substr(a, p - a));
    while (p < n && is_space(html[p])) ++p;
    std::string value;
    if (p < n && html[p] == '=') {
      ++p;
      while (p < n && is_space(html[p])) ++p;
      if (p < n && (html[p] == '"' || html[p] == '\'')) {
        char q = html[p++];
        size_t e = html.find(q, p);
        if (e == std::string::npos) e = n;
        value = html.substr(p, e - p);
        p = e < n ? e + 1 : n;
      } else {
        size_t v = p;
        while (p < n && !is_space(html[p]) && html[p] != '>') ++p;
        value = html.substr(v, p - v);
      }
    }
    if (!name.empty()) t.attributes.emplace_back(name, decode_entities(value));
  }
  *i = p < n ? p + 1 : n;
  return t;
}

uint32_t pixels(const std::string& s) {
  if (s.empty() || s.find('%') != std::string::npos) return 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (end == s.c_str() || v <= 0 || v > long(pack::kMaxNominalSize)) return 0;  // more than the window takes: no size
  while (*end == ' ') ++end;
  return (*end == 0 || ascii_lower(end) == "px") ? uint32_t(v) : 0;
}

void take_size(const Tag& t, Embedding* e) {
  if (!e->width) e->width = pixels(t.get("width"));
  if (!e->height) e->height = pixels(t.get("height"));
}

}  // namespace

std::string decode_entities(const std::string& text) {
  static const struct {
    const char* name;
    uint32_t cp;
  } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    size_t semi = text.find(';', i);
    if (semi != std::string::npos && semi - i <= 10) {
      std::string ref = text.substr(i + 1, semi - i - 1);
      if (ref.size() > 1 && ref[0] == '#') {
        bool hex = ref[1] == 'x' || ref[1] == 'X';
        std::string digits = ref.substr(hex ? 2 : 1);
        char* end = nullptr;
        unsigned long cp = digits.empty() ? 0 : std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
        if (!digits.empty() && *end == 0 && digits.find_first_of("+- ") == std::string::npos) {
          append_utf8(uint32_t(cp > 0x10FFFF ? 0xFFFD : cp), &out);
          i = semi + 1;
          continue;
        }
      } else {
        bool found = false;
        for (const auto& e : kNamed)
          if (ref == e.name) {
            append_utf8(e.cp, &out);
            found = true;
          }
        if (found) {
          i = semi + 1;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

bool find_embedding(const std::string& html, Embedding* out) {
  Embedding current;
  int object_depth = 0;
  size_t i = 0;
  while ((i = html.find('<', i)) != std::string::npos) {
    Tag t = read_tag(html, &i);
    if (t.name == "object") {
      if (object_depth++ == 0) current = Embedding();
      if (current.movie.empty()) current.movie = t.get("data");
      take_size(t, &current);
    } else if (t.name == "param" && object_depth > 0) {
      std::string name = ascii_lower(t.get("name"));
      std::string value = t.get("value");
      if ((name == "movie" || name == "src") && current.movie.empty()) current.movie = value;
      if (name == "flashvars" && current.flash_vars.empty()) current.flash_vars = value;
      if (name == "base" && current.base.empty()) current.base = value;
    } else if (t.name == "embed") {
      // An embed inside an object repeats it for other browsers: it fills gaps.
      if (object_depth == 0) current = Embedding();
      if (current.movie.empty()) current.movie = t.get("src");
      if (current.flash_vars.empty()) current.flash_vars = t.get("flashvars");
      if (current.base.empty()) current.base = t.get("base");
      take_size(t, &current);
      if (object_depth == 0 && !current.movie.empty()) break;
    } else if (t.name == "/object" && object_depth > 0) {
      if (--object_depth == 0 && !current.movie.empty()) break;
    }
  }
  if (current.movie.empty()) return false;
  *out = current;
  return true;
}

}  // namespace capture
