#include "fetch/cdx.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include "common/utf.h"

namespace fetch {
namespace {

#ifdef _WIN32
// The C runtime's names for them.
time_t timegm(std::tm* t) { return _mkgmtime(t); }
void gmtime_r(const time_t* t, std::tm* out) { gmtime_s(out, t); }
#endif

std::string query_escape(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/' || c == ':') {
      out += char(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string trim_slash(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string text_of(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
  return "";
}

void fill(CdxLine* c, const std::string& name, const std::string& value) {
  if (name == "urlkey") c->urlkey = value;
  else if (name == "timestamp") c->timestamp = value;
  else if (name == "url" || name == "original") c->url = value;
  else if (name == "mime" || name == "mimetype") c->mime = value;
  else if (name == "status" || name == "statuscode") c->status = value;
  else if (name == "digest") c->digest = value;
  else if (name == "method") c->method = value;
  else if (name == "requestBody") c->request_body = value;
  else if (name == "is_fuzzy") c->fuzzy = value == "1" || value == "true";
}

bool is_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

}  // namespace

const char* dialect_name(Dialect d) { return d == Dialect::ia ? "ia" : d == Dialect::pywb ? "pywb" : "unknown"; }

bool CdxLine::post() const { return common::ascii_lower(method) == "post"; }

std::string cdx_query(const std::string& archive, Dialect d, const std::string& url, bool prefix) {
  const std::string base = trim_slash(archive);
  std::string q = d == Dialect::ia ? base + "/cdx/search/cdx?url=" : base + "/cdx?url=";
  q += query_escape(url) + "&output=json";
  if (prefix) q += "&matchType=prefix";
  // pywb answers near misses unless told not to; they are dropped anyway.
  // The Internet Archive's index compresses its answer unless told not to.
  q += d == Dialect::ia ? "&gzip=false" : "&allowFuzzy=0";
  return q;
}

bool parse_cdx(const std::string& answer, std::vector<CdxLine>* out, Dialect* shape, common::Error* error) {
  out->clear();
  // Compressed all the same (an index that ignores gzip=false).
  std::string text = answer;
  if (answer.size() >= 2 && uint8_t(answer[0]) == 0x1f && uint8_t(answer[1]) == 0x8b) {
    text.clear();
    z_stream z = {};
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(answer.data()));
    z.avail_in = uInt(answer.size());
    char buf[1 << 15];
    int rc = Z_OK;
    while (rc == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      text.append(buf, sizeof buf - z.avail_out);
      if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
      *error = common::plain("the index answer is gzip that does not inflate");
      return false;
    }
  }
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    *shape = Dialect::unknown;  // nothing captured: both dialects may answer so
    return true;
  }
  try {
    if (text[first] == '[') {
      // An array of arrays; the first row names the fields.
      nlohmann::json all = nlohmann::json::parse(text);
      *shape = Dialect::ia;
      if (!all.is_array()) throw std::runtime_error("not an array");
      std::vector<std::string> names;
      for (size_t r = 0; r < all.size(); ++r) {
        if (!all[r].is_array()) throw std::runtime_error("a row is not an array");
        if (r == 0) {
          for (const auto& n : all[r]) names.push_back(text_of(n));
          continue;
        }
        CdxLine c;
        for (size_t k = 0; k < all[r].size() && k < names.size(); ++k) fill(&c, names[k], text_of(all[r][k]));
        out->push_back(c);
      }
      return true;
    }
    if (text[first] == '{') {
      *shape = Dialect::pywb;
      std::istringstream lines(text);
      std::string line;
      while (std::getline(lines, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        nlohmann::json o = nlohmann::json::parse(line);
        if (!o.is_object()) throw std::runtime_error("a line is not an object");
        CdxLine c;
        for (auto it = o.begin(); it != o.end(); ++it) fill(&c, it.key(), text_of(it.value()));
        out->push_back(c);
      }
      return true;
    }
  } catch (const std::exception& e) {
    *error = common::plain(std::string("the index answer is not JSON as either dialect writes it: ") + e.what());
    return false;
  }
  *error = common::plain("the index answer is not JSON (it begins \"" + text.substr(first, 40) + "\")");
  return false;
}

std::string replay_url(const std::string& archive, Dialect d, const std::string& timestamp, const std::string& url) {
  return trim_slash(archive) + (d == Dialect::ia ? "/web/" : "/") + timestamp + "id_/" + url;
}

bool parse_replay_url(const std::string& archive, Dialect d, const std::string& answer, std::string* timestamp,
                      std::string* url) {
  const std::string prefix = trim_slash(archive) + (d == Dialect::ia ? "/web/" : "/");
  if (answer.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t mark = answer.find('/', prefix.size());
  if (mark == std::string::npos) return false;
  std::string ts = answer.substr(prefix.size(), mark - prefix.size());
  if (ts.size() > 3 && ts.compare(ts.size() - 3, 3, "id_") == 0) ts.resize(ts.size() - 3);
  if (!is_digits(ts)) return false;
  *timestamp = ts;
  *url = answer.substr(mark + 1);
  return true;
}

std::string url_key(const std::string& url) {
  std::string u = url;
  const size_t hash = u.find('#');
  if (hash != std::string::npos) u.resize(hash);
  std::string scheme;
  const size_t colon = u.find("://");
  if (colon != std::string::npos) {
    scheme = common::ascii_lower(u.substr(0, colon));
    u = u.substr(colon + 3);
  }
  const size_t slash = u.find_first_of("/?");
  std::string authority = u.substr(0, slash);
  std::string rest = slash == std::string::npos ? "/" : u.substr(slash);
  if (rest[0] == '?') rest = "/" + rest;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  authority = common::ascii_lower(authority);
  std::string host = authority, port;
  const size_t pc = authority.rfind(':');
  if (pc != std::string::npos && authority.find(']') == std::string::npos) {
    host = authority.substr(0, pc);
    port = authority.substr(pc + 1);
  }
  if ((port == "80" && scheme == "http") || (port == "443" && scheme == "https") || port == "80" || port == "443")
    port.clear();
  while (!host.empty() && host.back() == '.') host.pop_back();
  // www., www2. ...
  if (host.compare(0, 3, "www") == 0) {
    size_t k = 3;
    while (k < host.size() && std::isdigit((unsigned char)host[k])) ++k;
    if (k < host.size() && host[k] == '.') host = host.substr(k + 1);
  }
  std::vector<std::string> labels;
  std::stringstream hs(host);
  std::string label;
  while (std::getline(hs, label, '.')) labels.push_back(label);
  std::reverse(labels.begin(), labels.end());
  std::string key;
  for (size_t i = 0; i < labels.size(); ++i) key += (i ? "," : "") + labels[i];
  if (!port.empty()) key += ":" + port;
  key += ")";
  std::string path = rest, query;
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    path = rest.substr(0, q);
    query = rest.substr(q + 1);
  }
  key += common::ascii_lower(path);
  if (!query.empty()) {
    std::vector<std::string> params;
    std::stringstream qs(query);
    std::string p;
    while (std::getline(qs, p, '&'))
      if (!p.empty()) params.push_back(common::ascii_lower(p));
    std::sort(params.begin(), params.end());
    key += "?";
    for (size_t i = 0; i < params.size(); ++i) key += (i ? "&" : "") + params[i];
  }
  return key;
}

std::string without_query(const std::string& url) {
  const size_t cut = url.find_first_of("?#");
  return cut == std::string::npos ? "" : url.substr(0, cut);
}

int64_t timestamp_seconds(const std::string& ts) {
  if (ts.size() != 14 || !is_digits(ts)) return -1;
  std::tm t = {};
  t.tm_year = std::stoi(ts.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(ts.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(ts.substr(6, 2));
  t.tm_hour = std::stoi(ts.substr(8, 2));
  t.tm_min = std::stoi(ts.substr(10, 2));
  t.tm_sec = std::stoi(ts.substr(12, 2));
  return int64_t(timegm(&t));
}

std::string full_timestamp(const std::string& given) {
  if (given.size() < 8 || given.size() > 14 || given.size() % 2 || !is_digits(given)) return "";
  std::string ts = given + std::string("00000101000000").substr(given.size());
  return timestamp_seconds(ts) < 0 ? "" : ts;
}

std::string http_date_timestamp(const std::string& date) {
  const time_t t = curl_getdate(date.c_str(), nullptr);
  if (t < 0) return "";
  std::tm tm;
  gmtime_r(&t, &tm);
  char b[16];
  std::strftime(b, sizeof b, "%Y%m%d%H%M%S", &tm);
  return b;
}

std::string warc_date(const std::string& ts) {
  if (ts.size() != 14) return "";
  return ts.substr(0, 4) + "-" + ts.substr(4, 2) + "-" + ts.substr(6, 2) + "T" + ts.substr(8, 2) + ":" +
         ts.substr(10, 2) + ":" + ts.substr(12, 2) + "Z";
}

std::string warc_date_timestamp(const std::string& date) {
  std::string ts;
  for (char c : date) {
    if (c == '.' || c == 'Z') break;
    if (std::isdigit((unsigned char)c)) ts += c;
  }
  return ts.size() == 14 ? ts : "";
}

}  // namespace fetch
