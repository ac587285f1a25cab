#include "pack/audit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "common/json.h"
#include "common/utf.h"
#include "package/player_state.h"
#include "pack/explain.h"
#include "pack/manifest.h"
#include "resolve/url_text.h"

namespace pack {

using common::ascii_lower;
using common::json_quote;
using common::text_to_utf16;
using common::utf16_to_utf8;

namespace {

// Files that movies load.
const char* const kExtensions[] = {
    "swf", "xml", "txt", "json", "jpg", "jpeg", "png", "gif", "bmp", "mp3", "wav", "flv",
    "f4v", "mp4", "m4a", "m4v", "aac", "css", "htm", "html", "zip", "bin", "dat", "csv",
    "ttf", "otf", "svg", "ini", "cfg", "conf", "properties", "amf", "lang", "atf", "pbj"};
// Server scripts: requests only when they carry a query.
const char* const kScripts[] = {"php", "asp", "aspx", "jsp", "cgi", "pl", "py", "cfm", "do", "ashx"};

constexpr size_t kLongestRequest = 2048;
constexpr size_t kLargestConfig = size_t(16) << 20;
constexpr size_t kLargestMovie = size_t(256) << 20;

bool in_table(const std::string& ext, const char* const* table, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (ext == table[i]) return true;
  return false;
}

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

void append_utf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += char(cp);
  } else if (cp < 0x800) {
    *out += char(0xC0 | cp >> 6);
    *out += char(0x80 | (cp & 0x3F));
  } else {
    *out += char(0xE0 | cp >> 12);
    *out += char(0x80 | ((cp >> 6) & 0x3F));
    *out += char(0x80 | (cp & 0x3F));
  }
}

std::string trimmed(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
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
          uint32_t cp = 0;
          bool ok = j + 4 < d.size();
          for (int k = 1; ok && k <= 4; ++k) {
            int v = hex_value(d[j + k]);
            ok = v >= 0;
            cp = cp * 16 + uint32_t(v < 0 ? 0 : v);
          }
          if (ok) {
            append_utf8(cp, &s);
            j += 4;
          }
          break;
        }
        default: s += e; break;  // \" \\ \/
      }
    }
    out->push_back(s);
    i = j;
  }
}

void plain_texts(const std::string& d, std::vector<std::string>* out) {
  size_t i = 0;
  while (i < d.size()) {
    size_t start = d.find_first_not_of(" \t\r\n\"'&=,;<>()", i);
    if (start == std::string::npos) break;
    size_t end = d.find_first_of(" \t\r\n\"'&=,;<>()", start);
    if (end == std::string::npos) end = d.size();
    out->push_back(percent_decoded(d.substr(start, end - start)));
    i = end;
  }
}

// The control joins a relative URL to the movie's base as a browser does.
std::u16string join_to_base(const std::u16string& base, const std::u16string& rel) {
  size_t scheme_end = base.find(u"://");
  size_t host_end = scheme_end == std::u16string::npos ? 0 : base.find(u'/', scheme_end + 3);
  if (host_end == std::u16string::npos) host_end = base.size();
  std::u16string root = base.substr(0, host_end);
  std::u16string path;
  if (rel.compare(0, 2, u"//") == 0 && scheme_end != std::u16string::npos)
    return base.substr(0, scheme_end + 1) + rel;
  if (!rel.empty() && rel[0] == u'/') {
    path = rel;
  } else {
    std::u16string dir = base.substr(host_end);
    size_t cut = dir.find_first_of(u"?#");
    if (cut != std::u16string::npos) dir.resize(cut);
    dir.resize(dir.rfind(u'/') == std::u16string::npos ? 0 : dir.rfind(u'/') + 1);
    if (dir.empty()) dir = u"/";
    path = dir + rel;
  }
  // Dot segments go, in the path only.
  size_t query = path.find_first_of(u"?#");
  std::u16string tail = query == std::u16string::npos ? u"" : path.substr(query);
  if (query != std::u16string::npos) path.resize(query);
  std::vector<std::u16string> segments;
  size_t at = 1;
  while (at <= path.size()) {
    size_t next = path.find(u'/', at);
    if (next == std::u16string::npos) next = path.size();
    std::u16string seg = path.substr(at, next - at);
    bool last = next == path.size();
    if (seg == u"..") {
      if (!segments.empty()) segments.pop_back();
      if (last) segments.emplace_back();
    } else if (seg == u".") {
      if (last) segments.emplace_back();
    } else {
      segments.push_back(seg);
    }
    at = next + 1;
  }
  std::u16string joined = root;
  for (const auto& s : segments) joined += u"/" + s;
  if (segments.empty()) joined += u"/";
  return joined + tail;
}

std::string answer_rule(const ExplainResult& r) {
  if (r.refused || r.decisive < 0) return "";
  const ExplainLookup& l = r.lookups[size_t(r.decisive)];
  std::string rule = !l.best_match ? (l.exact_pass == 1 ? "exact-with-key" : "exact") : "best-match";
  if (l.best_match) {
    switch (l.match.rule) {
      case MATCH_RULE_PASS1: rule += " pass1"; break;
      case MATCH_RULE_PASS2: rule += " pass2"; break;
      case MATCH_RULE_EXTENSION: rule += " extension"; break;
      case MATCH_RULE_HOST: rule += " host"; break;
      default: break;
    }
  }
  if (r.relocated) rule += ", relocated under the base URL";
  if (l.relative_attempt > 0) rule += ", relative attempt " + std::to_string(l.relative_attempt);
  return rule;
}

void resolve(AuditRequest* q, const std::u16string& base, bool has_base, int32_t mode) {
  q->request = text_to_utf16(q->text);
  ExplainResult r = explain_request(q->request, nullptr);
  // Modes 0 and 1 look up only what the control asks: a relative URL
  // reaches the player joined to the movie's base.
  if (!r.refused && r.index < 0 && mode != PLAYBACK_PAGE_POST && has_base &&
      url_scheme_length(q->request.c_str()) < 0) {
    std::u16string joined = join_to_base(base, q->request);
    r = explain_request(joined, nullptr);
    q->request = joined;
    q->joined = true;
  }
  q->refused = r.refused;
  q->index = r.index;
  q->rule = answer_rule(r);
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

}  // namespace

bool audit_keep(const std::string& raw, const char** kind, std::string* detail) {
  std::string text = trimmed(raw);
  if (text.empty() || text.size() > kLongestRequest) return false;
  for (unsigned char c : text)
    if (c < 0x21 || c == '<' || c == '>' || c == '"' || c == '{' || c == '}')
      return false;
  std::string l = ascii_lower(text);
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

std::vector<std::string> audit_config_texts(const std::string& data, const char* kind) {
  std::vector<std::string> out;
  if (!std::strcmp(kind, "xml")) xml_texts(data, &out);
  else if (!std::strcmp(kind, "json")) json_texts(data, &out);
  else plain_texts(data, &out);
  return out;
}

int32_t AuditSource::unanswered() const {
  int32_t n = 0;
  for (const AuditRequest& q : requests) n += q.index < 0;
  return n;
}

AuditResult audit_package(const EntryReader& read) {
  AuditResult result;
  result.mode = playback_mode();
  ExplainResult probe;
  install_player_base_url(&probe);
  result.has_base = probe.has_base;
  result.base_url = probe.base_url;
  result.base_source = probe.base_source;

  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    std::string head;
    if (!read(i, 16, &head)) {
      AuditSource s;
      s.entry = i;
      s.url = e.url ? e.url : u"";
      s.kind = "unreadable";
      s.problems.push_back("the entry's data cannot be read");
      result.sources.push_back(std::move(s));
      continue;
    }
    const char* kind = sniff(head, e);
    if (!kind) continue;
    AuditSource s;
    s.entry = i;
    s.url = e.url ? e.url : u"";
    s.kind = kind;
    std::string data;
    bool movie = !std::strcmp(kind, "swf");
    if (!read(i, movie ? kLargestMovie : kLargestConfig, &data)) {
      s.problems.push_back("the entry's data cannot be read");
      result.sources.push_back(std::move(s));
      continue;
    }
    struct Candidate {
      std::string text;
      const char* tag;
      const char* field;
      uint16_t sprite;
    };
    std::vector<Candidate> candidates;
    if (movie) {
      s.movie = swf::read_movie(data.data(), data.size());
      s.problems = s.movie.problems;
      for (swf::Found& f : s.movie.found)
        candidates.push_back({std::move(f.text), f.tag, f.field, f.sprite});
      s.movie.found.clear();
    } else {
      const char* field = !std::strcmp(kind, "xml") ? "XML" : !std::strcmp(kind, "json") ? "JSON" : "text";
      for (std::string& t : audit_config_texts(data, kind))
        candidates.push_back({std::move(t), field, "value", 0});
    }
    std::set<std::string> seen;
    for (Candidate& c : candidates) {
      AuditRequest q;
      if (!audit_keep(c.text, &q.kept_by, &q.detail)) continue;
      q.text = trimmed(c.text);
      if (!seen.insert(q.text).second) continue;
      q.tag = c.tag;
      q.field = c.field;
      q.sprite = c.sprite;
      resolve(&q, result.base_url, result.has_base, result.mode);
      s.requests.push_back(std::move(q));
    }
    std::stable_partition(s.requests.begin(), s.requests.end(),
                          [](const AuditRequest& q) { return q.index < 0; });
    if (!movie && s.requests.empty()) continue;
    result.likely += int32_t(s.requests.size());
    result.unanswered += s.unanswered();
    result.sources.push_back(std::move(s));
  }
  return result;
}

namespace {


std::string u8(const std::u16string& s) { return utf16_to_utf8(s); }

std::string fps_text(const swf::Movie& m) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", m.fps());
  return buf;
}

std::string color_text(const swf::Movie& m) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X", m.background[0], m.background[1], m.background[2]);
  return buf;
}

std::string where_text(const AuditRequest& q) {
  std::string s = std::string(q.field) + " in " + q.tag;
  if (q.sprite) s += " (sprite " + std::to_string(q.sprite) + ")";
  return s;
}

}  // namespace

std::string audit_text(const AuditResult& r) {
  std::string s = "mode: " + std::to_string(r.mode) + " (" + mode_name(r.mode) + ")\n";
  s += "base url: " + (r.has_base ? u8(r.base_url) : std::string("none")) + " (" + r.base_source + ")\n";
  for (const AuditSource& src : r.sources) {
    s += "\n[" + std::to_string(src.entry) + "] " + u8(src.url) + ": ";
    if (!std::strcmp(src.kind, "swf")) {
      const swf::Movie& m = src.movie;
      if (m.is_swf) {
        s += "SWF " + std::to_string(m.version) + " (" + swf::signature(m.compression) + ")";
        if (m.header_complete)
          s += ", " + std::to_string(m.width_px()) + "x" + std::to_string(m.height_px()) + ", " +
               fps_text(m) + " fps, " + std::to_string(m.frame_count) + " frame(s)";
        if (m.has_background) s += ", background " + color_text(m);
      } else {
        s += "SWF";
      }
    } else {
      s += src.kind;
    }
    s += "\n";
    for (const std::string& p : src.problems) s += "  problem: " + p + "\n";
    for (const AuditRequest& q : src.requests) {
      if (q.refused) s += "  REFUSED       ";
      else if (q.index < 0) s += "  NOT ANSWERED  ";
      else s += "  entry " + std::to_string(q.index) + std::string(q.index < 10 ? "       " : q.index < 100 ? "      " : "     ");
      s += q.text + "\n";
      s += "                " + where_text(q) + "; kept by " + q.kept_by + " " + q.detail;
      if (q.joined) s += "; asked as " + u8(q.request);
      if (!q.rule.empty()) s += "; " + q.rule;
      s += "\n";
    }
  }
  s += "\n" + std::to_string(r.likely) + " likely request(s), " + std::to_string(r.unanswered) +
       " not answered\n";
  return s;
}

std::string audit_json(const AuditResult& r) {
  std::string s = "{\"mode\":" + std::to_string(r.mode);
  s += std::string(",\"mode_name\":\"") + mode_name(r.mode) + "\"";
  s += ",\"base_url\":" + (r.has_base ? json_quote(u8(r.base_url)) : std::string("null"));
  s += std::string(",\"base_source\":\"") + r.base_source + "\"";
  s += ",\"likely\":" + std::to_string(r.likely);
  s += ",\"unanswered\":" + std::to_string(r.unanswered);
  s += ",\"sources\":[";
  for (size_t i = 0; i < r.sources.size(); ++i) {
    const AuditSource& src = r.sources[i];
    if (i) s += ",";
    s += "{\"entry\":" + std::to_string(src.entry) + ",\"url\":" + json_quote(u8(src.url));
    s += std::string(",\"kind\":\"") + src.kind + "\"";
    const swf::Movie& m = src.movie;
    if (!std::strcmp(src.kind, "swf") && m.is_swf) {
      s += ",\"swf\":{\"version\":" + std::to_string(m.version);
      s += std::string(",\"compression\":\"") + swf::compression_name(m.compression) + "\"";
      if (m.header_complete) {
        s += ",\"width\":" + std::to_string(m.width_px()) + ",\"height\":" + std::to_string(m.height_px());
        s += ",\"frame_rate\":" + fps_text(m) + ",\"frame_count\":" + std::to_string(m.frame_count);
      }
      s += ",\"background\":" + (m.has_background ? "\"" + color_text(m) + "\"" : std::string("null"));
      s += ",\"tags\":" + std::to_string(m.tags) + "}";
    }
    s += ",\"problems\":[";
    for (size_t k = 0; k < src.problems.size(); ++k) s += (k ? "," : "") + json_quote(src.problems[k]);
    s += "],\"requests\":[";
    for (size_t k = 0; k < src.requests.size(); ++k) {
      const AuditRequest& q = src.requests[k];
      if (k) s += ",";
      s += "{\"text\":" + json_quote(q.text) + ",\"request\":" + json_quote(u8(q.request));
      s += std::string(",\"joined\":") + (q.joined ? "true" : "false");
      s += ",\"tag\":" + json_quote(q.tag) + ",\"field\":" + json_quote(q.field);
      s += ",\"sprite\":" + std::to_string(q.sprite);
      s += ",\"kept_by\":" + json_quote(q.kept_by) + ",\"detail\":" + json_quote(q.detail);
      s += std::string(",\"hresult\":\"") + (q.refused ? "MK_E_SYNTAX" : "S_OK") + "\"";
      s += ",\"index\":" + std::to_string(q.index);
      s += ",\"rule\":" + (q.rule.empty() ? std::string("null") : json_quote(q.rule)) + "}";
    }
    s += "]}";
  }
  s += "]}\n";
  return s;
}

}  // namespace pack
