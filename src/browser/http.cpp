#include "browser/http.h"

#include <cstdlib>
#include <cstring>

namespace browser {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

bool same_nocase(Text t, const char* s) {
  int32_t i = 0;
  for (; i < t.n; ++i)
    if (!s[i] || lower(t.p[i]) != lower(s[i])) return false;
  return !s[i];
}

Text trim(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
  return Text{p, int32_t(end - p)};
}

// A plain decimal; -1 when it is none or too large to matter.
int64_t decimal(Text t) {
  if (t.n == 0 || t.n > 12) return -1;
  int64_t v = 0;
  for (int32_t i = 0; i < t.n; ++i) {
    if (t.p[i] < '0' || t.p[i] > '9') return -1;
    v = v * 10 + (t.p[i] - '0');
  }
  return v;
}

bool has_token(Text value, const char* token) {
  const char* p = value.p;
  const char* end = value.p + value.n;
  while (p < end) {
    const char* comma = static_cast<const char*>(std::memchr(p, ',', size_t(end - p)));
    const char* stop = comma ? comma : end;
    if (same_nocase(trim(p, stop), token)) return true;
    p = stop + 1;
  }
  return false;
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool text_is(Text t, const char* s) {
  int32_t n = int32_t(std::strlen(s));
  return t.n == n && std::memcmp(t.p, s, size_t(n)) == 0;
}

int32_t head_length(const char* data, int32_t n) {
  for (int32_t i = 0; i + 1 < n; ++i) {
    if (data[i] != '\n') continue;
    if (data[i + 1] == '\n') return i + 2;
    if (data[i + 1] == '\r' && i + 2 < n && data[i + 2] == '\n') return i + 3;
  }
  return 0;
}

bool parse_head(const char* data, int32_t n, RequestHead* out) {
  *out = RequestHead{};
  out->content_length = -1;
  const char* end = data + n;
  const char* line_end = static_cast<const char*>(std::memchr(data, '\n', size_t(n)));
  if (!line_end) return false;
  // METHOD SP TARGET SP VERSION
  const char* sp1 = static_cast<const char*>(std::memchr(data, ' ', size_t(line_end - data)));
  if (!sp1 || sp1 == data) return false;
  const char* sp2 = static_cast<const char*>(std::memchr(sp1 + 1, ' ', size_t(line_end - sp1 - 1)));
  if (!sp2 || sp2 == sp1 + 1) return false;
  out->method = Text{data, int32_t(sp1 - data)};
  out->target = Text{sp1 + 1, int32_t(sp2 - sp1 - 1)};
  Text version = trim(sp2 + 1, line_end);
  if (text_is(version, "HTTP/1.0")) {
    out->http10 = true;
  } else if (!text_is(version, "HTTP/1.1")) {
    return false;
  }
  for (const char* p = line_end + 1; p < end;) {
    const char* e = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    if (!e) e = end;
    const char* colon = static_cast<const char*>(std::memchr(p, ':', size_t(e - p)));
    if (colon) {
      Text name = Text{p, int32_t(colon - p)};
      Text value = trim(colon + 1, e);
      if (same_nocase(name, "host")) {
        // Two Host fields name no one host.
        if (out->has_host) out->host = Text{"", 0};
        else out->host = value;
        out->has_host = true;
      } else if (same_nocase(name, "sec-fetch-site")) {
        out->fetch_site = value;
        out->has_fetch_site = true;
      } else if (same_nocase(name, "accept-encoding")) {
        out->accept_encoding = value;
      } else if (same_nocase(name, "connection")) {
        if (has_token(value, "close")) out->close = true;
        if (has_token(value, "keep-alive")) out->keep_alive = true;
      } else if (same_nocase(name, "transfer-encoding")) {
        out->chunked = true;
      } else if (same_nocase(name, "content-length")) {
        int64_t v = decimal(value);
        if (v < 0 || (out->content_length >= 0 && out->content_length != v)) out->bad_length = true;
        out->content_length = v;
      }
    } else if (trim(p, e).n != 0) {
      return false;
    }
    p = e + 1;
  }
  return true;
}

Decision route_request(const RequestHead& head, const char* origin, const char* token) {
  Decision d{};
  if (!head.has_host || !text_is(head.host, origin)) {
    d.status = 421;
    return d;
  }
  // Other sites' pages can make a browser send here but cannot read the
  // answers; their requests are not served at all.
  if (head.has_fetch_site && !text_is(head.fetch_site, "none") &&
      !text_is(head.fetch_site, "same-origin")) {
    d.status = 403;
    return d;
  }
  bool post = text_is(head.method, "POST");
  if (!post && !text_is(head.method, "GET") && !text_is(head.method, "HEAD")) {
    d.status = 405;
    return d;
  }
  int32_t tn = int32_t(std::strlen(token));
  const Text& t = head.target;
  if (t.n < tn + 2 || t.p[0] != '/' || std::memcmp(t.p + 1, token, size_t(tn)) != 0 ||
      t.p[tn + 1] != '/') {
    d.status = 404;
    return d;
  }
  const char* rest = t.p + tn + 2;
  int32_t n = t.n - tn - 2;
  const char* q = static_cast<const char*>(std::memchr(rest, '?', size_t(n)));
  Text path{rest, q ? int32_t(q - rest) : n};
  if (q && text_is(path, "req")) {
    d.route = ROUTE_REQUEST;
    d.query = Text{q + 1, int32_t(rest + n - q - 1)};
    return d;
  }
  if (text_is(path, "volume")) {
    d.route = ROUTE_VOLUME;
    return d;
  }
  if (post) {
    d.status = 405;
    return d;
  }
  if (text_is(path, "first-frame")) {
    d.route = ROUTE_FIRST_FRAME;
    return d;
  }
  if (path.n == 0) path = Text{"index.html", 10};
  if (path.p[0] == '.' || std::memchr(path.p, '/', size_t(path.n))) {
    d.status = 404;
    return d;
  }
  d.route = ROUTE_RUNTIME;
  d.name = path;
  return d;
}

bool accepts_coding(Text accept_encoding, const char16_t* coding) {
  if (!coding || !*coding) return true;
  const char* p = accept_encoding.p;
  const char* end = p + accept_encoding.n;
  while (p < end) {
    const char* comma = static_cast<const char*>(std::memchr(p, ',', size_t(end - p)));
    const char* stop = comma ? comma : end;
    const char* semi = static_cast<const char*>(std::memchr(p, ';', size_t(stop - p)));
    Text name = trim(p, semi ? semi : stop);
    bool match = name.n == 1 && name.p[0] == '*';
    if (!match) {
      int32_t i = 0;
      for (; i < name.n && coding[i]; ++i)
        if (lower(name.p[i]) != char(coding[i] < 128 ? lower(char(coding[i])) : 0)) break;
      match = i == name.n && !coding[i];
    }
    if (match) {
      // "q=0", "q=0.0", ...: named, but refused.
      bool refused = false;
      if (semi) {
        Text params = trim(semi + 1, stop);
        if (params.n >= 3 && lower(params.p[0]) == 'q' && params.p[1] == '=') {
          refused = true;
          for (int32_t i = 2; i < params.n; ++i)
            if (params.p[i] != '0' && params.p[i] != '.') refused = false;
        }
      }
      if (!refused) return true;
    }
    p = stop + 1;
  }
  return false;
}

char16_t* decode_query(Text query) {
  auto* bytes = static_cast<unsigned char*>(std::malloc(size_t(query.n) + 1));
  auto* out = static_cast<char16_t*>(std::malloc((size_t(query.n) + 1) * sizeof(char16_t)));
  if (!bytes || !out) {
    std::free(bytes);
    std::free(out);
    return nullptr;
  }
  int32_t n = 0;
  for (int32_t i = 0; i < query.n; ++i) {
    int h, l;
    if (query.p[i] == '%' && i + 2 < query.n &&
        (h = hex(query.p[i + 1])) >= 0 && (l = hex(query.p[i + 2])) >= 0) {
      bytes[n++] = static_cast<unsigned char>(h * 16 + l);
      i += 2;
    } else {
      bytes[n++] = static_cast<unsigned char>(query.p[i]);
    }
  }
  // UTF-8 to UTF-16; anything malformed becomes U+FFFD. Never longer than the bytes.
  int32_t o = 0;
  for (int32_t i = 0; i < n;) {
    uint32_t c = bytes[i];
    int32_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t cp = extra == 0 ? c : extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
    bool ok = extra >= 0 && i + extra < n;
    for (int32_t k = 1; ok && k <= extra; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) ok = false;
      else cp = cp << 6 | (bytes[i + k] & 0x3F);
    }
    static const uint32_t MIN[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < MIN[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out[o++] = 0xFFFD;
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out[o++] = char16_t(0xD800 + (cp >> 10));
      out[o++] = char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out[o++] = char16_t(cp);
    }
  }
  out[o] = 0;
  std::free(bytes);
  return out;
}

}  // namespace browser
