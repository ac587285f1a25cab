#include <cstdio>
#include <cstring>

#include "common/json.h"
#include "common/utf.h"
#include "pack/audit.h"
#include "pack/manifest.h"

namespace pack {
namespace {

using common::json_quote;

std::string u8(const std::u16string& s) { return common::utf16_to_utf8(s); }

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
    for (const common::Error& p : src.problems) s += "  problem: " + p.text() + "\n";
    for (const AuditRequest& q : src.requests) {
      if (q.refused) s += "  REFUSED       ";
      else if (q.index < 0 && q.opens_window) s += "  NEW WINDOW    ";
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
    for (size_t k = 0; k < src.problems.size(); ++k) {
      const common::Error& p = src.problems[k];
      s += std::string(k ? "," : "") + "{\"offset\":" + (p.offset < 0 ? "null" : std::to_string(p.offset)) +
           ",\"message\":" + json_quote(p.message) + "}";
    }
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
      s += ",\"rule\":" + (q.rule.empty() ? std::string("null") : json_quote(q.rule));
      s += std::string(",\"opens_window\":") + (q.opens_window ? "true" : "false") + "}";
    }
    s += "]}";
  }
  s += "]}\n";
  return s;
}

}  // namespace pack
