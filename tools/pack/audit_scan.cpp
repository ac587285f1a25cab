#include <algorithm>
#include <cstring>

#include "common/utf.h"
#include "package/player_state.h"
#include "pack/audit_stages.h"

namespace pack {
namespace {

using common::ascii_lower;
using common::utf16_to_utf8;

constexpr size_t kLargestConfig = size_t(16) << 20;
constexpr size_t kLargestMovie = size_t(256) << 20;

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string entity_decoded(const std::string& s) {
  static const struct { const char* name; char c; } kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool done = false;
    if (s[i] == '&')
      for (const auto& e : kEntities)
        if (s.compare(i, std::strlen(e.name), e.name) == 0) {
          out += e.c;
          i += std::strlen(e.name);
          done = true;
          break;
        }
    if (!done) out += s[i++];
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int h, l;
    if (s[i] == '%' && i + 2 < s.size() && (h = hex_value(s[i + 1])) >= 0 &&
        (l = hex_value(s[i + 2])) >= 0) {
      out += char(h * 16 + l);
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

// The UTF-16 unit of the four hex digits at d[at], if they are that.
bool hex4(const std::string& d, size_t at, char16_t* unit) {
  if (at + 4 > d.size()) return false;
  uint32_t v = 0;
  for (size_t k = at; k < at + 4; ++k) {
    int h = hex_value(d[k]);
    if (h < 0) return false;
    v = v * 16 + uint32_t(h);
  }
  *unit = char16_t(v);
  return true;
}

void xml_texts(const std::string& d, std::vector<std::string>* out) {
  for (size_t i = 0; i < d.size(); ++i) {
    if (d[i] == '=') {
      size_t q = i + 1;
      while (q < d.size() && (d[q] == ' ' || d[q] == '\t')) ++q;
      if (q < d.size() && (d[q] == '"' || d[q] == '\'')) {
        size_t end = d.find(d[q], q + 1);
        if (end == std::string::npos) return;
        out->push_back(entity_decoded(d.substr(q + 1, end - q - 1)));
        i = end;
      }
    } else if (d[i] == '>') {
      size_t end = d.find('<', i + 1);
      if (end == std::string::npos) end = d.size();
      std::string text = trimmed(d.substr(i + 1, end - i - 1));
      if (!text.empty()) out->push_back(entity_decoded(text));
      if (d.compare(end, 9, "<![CDATA[") == 0) {
        size_t close = d.find("]]>", end + 9);
        if (close == std::string::npos) close = d.size();
        out->push_back(trimmed(d.substr(end + 9, close - end - 9)));
        i = close + 1;
        continue;
      }
      i = end - 1;
    }
  }
}

void json_texts(const std::string& d, std::vector<std::string>* out) {
  for (size_t i = 0; i < d.size(); ++i) {
    if (d[i] != '"') continue;
    std::string s;
    size_t j = i + 1;
    for (; j < d.size() && d[j] != '"'; ++j) {
      if (d[j] != '\\' || j + 1 >= d.size()) {
        s += d[j];
        continue;
      }
      char e = d[++j];
      switch (e) {
        case 'n': s += '\n'; break;
        case 't': s += '\t'; break;
        case 'r': s += '\r'; break;
        case 'b': case 'f': break;
        case 'u': {
          // A character past U+FFFF comes as two escapes, its surrogates.
          std::u16string units(2, u'\0');
          if (!hex4(d, j + 1, &units[0])) break;
          j += 4;
          if (units[0] >= 0xD800 && units[0] <= 0xDBFF && d.compare(j + 1, 2, "\\u") == 0 &&
              hex4(d, j + 3, &units[1]) && units[1] >= 0xDC00 && units[1] <= 0xDFFF)
            j += 6;
          else
            units.resize(1);
          s += common::utf16_to_utf8(units);
          break;
        }
        default: s += e; break;  // \" \\ \/
      }
    }
    out->push_back(s);
    i = j;
  }
}

// A name=value file as loadVariables reads it, or free text: '&' parts
// pairs, and '=' parts a name from its value until a '?' begins a query.
void plain_texts(const std::string& d, std::vector<std::string>* out) {
  static const char kSpace[] = " \t\r\n\"'&=,;<>()";
  size_t i = 0;
  while (i < d.size()) {
    size_t start = d.find_first_not_of(kSpace, i);
    if (start == std::string::npos) break;
    size_t end = d.find_first_of(kSpace, start);
    if (end == std::string::npos) end = d.size();
    if (std::find(d.begin() + start, d.begin() + end, '?') != d.begin() + end)
      end = std::min(d.size(), d.find_first_of(" \t\r\n\"'&,;<>()", end));
    out->push_back(percent_decoded(d.substr(start, end - start)));
    i = end;
  }
}

const char* sniff(const std::string& head, const ResourceEntry& e) {
  if (head.size() >= 3 && head[1] == 'W' && head[2] == 'S' &&
      (head[0] == 'F' || head[0] == 'C' || head[0] == 'Z'))
    return "swf";
  std::string type = e.content_type ? ascii_lower(utf16_to_utf8(e.content_type)) : "";
  std::string url = ascii_lower(utf16_to_utf8(e.url ? e.url : u""));
  url = url.substr(0, url.find_first_of("?#"));
  auto ends = [&](const char* ext) {
    size_t n = std::strlen(ext);
    return url.size() >= n && url.compare(url.size() - n, n, ext) == 0;
  };
  size_t first = head.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  char c = first == std::string::npos ? 0 : head[first];
  if (type.find("json") != std::string::npos || ends(".json") || c == '{' || c == '[') return "json";
  if (type.find("xml") != std::string::npos || ends(".xml") || c == '<') return "xml";
  if (starts_with(type, "text/") || ends(".txt") || ends(".ini") || ends(".cfg") || ends(".csv") ||
      ends(".properties"))
    return "text";
  return nullptr;
}

const char* config_field(const char* kind) {
  return !std::strcmp(kind, "xml") ? "XML" : !std::strcmp(kind, "json") ? "JSON" : "text";
}

}  // namespace

std::string trimmed(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

std::vector<std::string> audit_config_texts(const std::string& data, const char* kind) {
  std::vector<std::string> out;
  if (!std::strcmp(kind, "xml")) xml_texts(data, &out);
  else if (!std::strcmp(kind, "json")) json_texts(data, &out);
  else plain_texts(data, &out);
  return out;
}

Scanned scan_entry(int32_t index, const EntryReader& read, AuditSource* s, std::vector<Candidate>* texts) {
  const ResourceEntry& e = resource_table()[index];
  s->entry = index;
  s->url = e.url ? e.url : u"";
  const std::string name = utf16_to_utf8(s->url);
  const common::Error unread{name, 0, -1, "the entry's data cannot be read"};
  std::string head;
  if (!read(index, 16, &head)) {
    s->kind = "unreadable";
    s->problems.push_back(unread);
    return Scanned::unreadable;
  }
  s->kind = sniff(head, e);
  if (!s->kind) return Scanned::not_a_source;
  const bool movie = !std::strcmp(s->kind, "swf");
  std::string data;
  if (!read(index, movie ? kLargestMovie : kLargestConfig, &data)) {
    s->problems.push_back(unread);
    return Scanned::unreadable;
  }
  if (!movie) {
    for (std::string& t : audit_config_texts(data, s->kind)) texts->push_back({std::move(t), config_field(s->kind), "value", 0});
    return Scanned::texts;
  }
  s->movie = swf::read_movie(data.data(), data.size());
  s->problems = s->movie.problems;
  for (common::Error& p : s->problems) p.file = name;
  for (swf::Found& f : s->movie.found) texts->push_back({std::move(f.text), f.tag, f.field, f.sprite});
  s->movie.found.clear();
  return Scanned::texts;
}

}  // namespace pack
