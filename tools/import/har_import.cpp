// HAR files (a browser's saved requests and responses, as JSON).
#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "common/base64.h"
#include "common/file.h"
#include "common/utf.h"
#include "import/accept.h"
#include "import/capture.h"

namespace capture {

namespace {

bool is_web_url(const std::string& url) {
  std::string l = common::ascii_lower(url.substr(0, 8));
  return l.compare(0, 7, "http://") == 0 || l.compare(0, 8, "https://") == 0;
}

std::string read_text(const std::string& path) {
  std::string text;
  common::Error error;
  if (!common::read_whole_file(path, &text, &error)) throw ImportError(error);
  return text;
}

}  // namespace

namespace {

bool base64_decode(const std::string& in, std::string* out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
  };
  out->clear();
  uint32_t acc = 0;
  int bits = 0;
  size_t fill = 0;
  for (char c : in) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      ++fill;
      continue;
    }
    int v = value(c);
    if (v < 0 || fill) return false;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out += char((acc >> bits) & 0xFF);
    }
  }
  return fill <= 2 && bits < 6;
}

// A JSON number that is a whole number in [low, high]; the rest is refused
// (1e300 or 200.7 as a status).
bool whole_number(const nlohmann::json& j, int64_t low, int64_t high, int64_t* out) {
  if (j.is_number_unsigned()) {
    uint64_t v = j.get<uint64_t>();
    if (v > uint64_t(high)) return false;
    *out = int64_t(v);
  } else if (j.is_number_integer()) {
    *out = j.get<int64_t>();
  } else {
    return false;
  }
  return *out >= low && *out <= high;
}

// A HAR request's body: its text, else (as some writers give a form) its
// params joined again in form encoding.
std::string har_post_body(const nlohmann::json& post) {
  if (post.contains("text") && post["text"].is_string()) return post["text"].get<std::string>();
  std::string body;
  if (!post.contains("params") || !post["params"].is_array()) return body;
  auto encode = [](const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
      if (std::isalnum(c) || std::strchr("-._*", c)) out += char(c);
      else if (c == ' ') out += '+';
      else {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", c);
        out += buf;
      }
    }
    return out;
  };
  for (const auto& p : post["params"]) {
    if (!body.empty()) body += '&';
    body += encode(p.value("name", std::string())) + '=' + encode(p.value("value", std::string()));
  }
  return body;
}

}  // namespace

void Importer::add_har(const std::string& path) { add_har_text(read_text(path), path); }

void Importer::add_har_text(const std::string& text, const std::string& path) {
  nlohmann::json har;
  try {
    har = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    size_t at = std::min(e.byte > 0 ? e.byte - 1 : 0, text.size());
    int line = 1 + int(std::count(text.begin(), text.begin() + long(at), '\n'));
    throw ImportError(path + ":" + std::to_string(line) + ": not valid JSON (byte " + std::to_string(at) + ")");
  } catch (const nlohmann::json::exception& e) {
    // A number too large for any type (1e400) and the like.
    throw ImportError(path + ": not valid JSON (" + e.what() + ")");
  }
  if (!har.is_object() || !har.contains("log") || !har["log"].is_object() ||
      !har["log"].contains("entries") || !har["log"]["entries"].is_array())
    throw ImportError(path + ": at byte 0: not a HAR file (no log.entries list)");
  const nlohmann::json& entries = har["log"]["entries"];
  for (size_t k = 0; k < entries.size(); ++k) {
    report(uint64_t(text.size()) * k / entries.size());  // as far into the file as into the list
    const std::string where = path + ": entries[" + std::to_string(k) + "]";
    current_ = where;
    try {
      har_entry(entries[k], where);
    } catch (const nlohmann::json::exception& e) {
      bad(where, std::string("not a HAR entry (") + e.what() + ")");
    }
  }
}

void Importer::har_entry(const nlohmann::json& e, const std::string& where) {
  const nlohmann::json& req = e.at("request");
  const nlohmann::json& res = e.at("response");
  Item item;
  item.url = req.at("url").get<std::string>();
  item.where = where;
  if (!is_web_url(item.url)) return skip("not an http or https URL");
  int64_t status;
  if (!whole_number(res.at("status"), 0, 999, &status))
    return bad(where, "response.status is not a whole number from 0 to 999");
  Headers headers;
  if (res.contains("headers"))
    for (const auto& h : res["headers"]) headers.emplace_back(h.at("name").get<std::string>(), h.at("value").get<std::string>());
  Decision d = decide(item.url, int(status), headers, res.value("redirectURL", std::string()));
  if (d.verdict == Verdict::redirect) redirects_.push_back({item.url, d.target, where});
  if (d.verdict != Verdict::keep) return skip(d.reason);
  if (filtered(item.url)) return;
  const nlohmann::json& content = res.at("content");
  if (!content.contains("text") || !content["text"].is_string()) return skip("no content saved");
  std::string body = content["text"].get<std::string>();
  if (content.value("encoding", std::string()) == "base64") {
    std::string decoded;
    if (!base64_decode(body, &decoded)) return bad(where, "content.text is not valid base64", "undecodable");
    body.swap(decoded);
  }
  if (!keeps_body(int(status), headers, body.size())) return skip("incomplete");
  // Browsers save the decoded entity, so Content-Encoding no longer applies.
  item.content_type = header(headers, "Content-Type");
  if (item.content_type.empty()) item.content_type = content.value("mimeType", std::string());
  if (req.value("method", std::string("GET")) == "POST" && req.contains("postData")) {
    std::string post = har_post_body(req["postData"]);
    if (!post.empty()) item.post_key = common::base64(post.data(), post.size());
  }
  Payload p = store(item.url, reinterpret_cast<const uint8_t*>(body.data()), body.size());
  item.file = p.file;
  item.size = p.size;
  keep(item);
}

}  // namespace capture
