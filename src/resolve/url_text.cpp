#include "resolve/url_text.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace {

const char16_t kFileScheme[] = u"file:";
const char16_t kRootPath[] = u"/";

// The ":" that ends a scheme: the first ":" when no "/" comes before it.
const char16_t* scheme_colon(const char16_t* url) {
  for (const char16_t* p = url; *p; ++p) {
    if (*p == u':') return p;
    if (*p == u'/') return nullptr;
  }
  return nullptr;
}

}  // namespace

char16_t* wstr_ndup(const char16_t* src, int32_t n) {
  if (n < 0) n = 0;
  size_t count = size_t(n);
  // With 32-bit sizes, INT32_MAX units and a terminator overflow the byte count.
  if (count > SIZE_MAX / sizeof(char16_t) - 1) return nullptr;
  auto* d = static_cast<char16_t*>(std::malloc((count + 1) * sizeof(char16_t)));
  if (!d) return nullptr;
  size_t i = 0;
  if (src)
    for (; i < count && src[i]; ++i) d[i] = src[i];
  for (; i <= count; ++i) d[i] = 0;
  return d;
}

int32_t url_common_prefix(const char16_t* a, const char16_t* b) {
  if (!a || !b) return 0;
  size_t i = 0;
  // Stops at the shorter text's end: a NUL in one never equals a unit of the other.
  while (a[i] && a[i] == b[i] && i < size_t(INT32_MAX)) ++i;
  return int32_t(i);
}

bool text_is_alnum(const char16_t* s) {
  if (!s) return true;
  for (; *s; ++s) {
    char16_t c = *s;
    bool alnum = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
    if (!alnum) return false;
  }
  return true;
}

char16_t* url_strip_query(const char16_t* url) {
  if (!url) return nullptr;
  size_t n = text::length(url);
  const char16_t* q = text::find(url, u'?');
  if (q && q != url) n = size_t(q - url);
  // Only the first '#' counts: one in the first place keeps the whole text.
  for (size_t i = 0; i < n; ++i)
    if (url[i] == u'#') {
      if (i != 0) n = i;
      break;
    }
  return text::dup(url, n);
}

char16_t* url_directory(const char16_t* url) {
  if (!url || !*url) return nullptr;
  char16_t* s = url_strip_query(url);
  if (!s) return nullptr;
  size_t n = text::length(s);
  const char16_t* last = text::find_last(s, u'/');
  if (last && last != s) {
    const char16_t* sep = text::find(s, u"://");
    if (!sep || last > sep + 3) n = size_t(last - s) + 1;
  }
  if (s[n - 1] == u'/') {
    s[n] = 0;
    return s;
  }
  auto* d = static_cast<char16_t*>(std::realloc(s, (n + 2) * sizeof(char16_t)));
  if (!d) {
    std::free(s);
    return nullptr;
  }
  d[n] = u'/';
  d[n + 1] = 0;
  return d;
}

bool url_is_windows_path(const char16_t* url) {
  if (!url || !url[0] || !url[1] || !url[2]) return false;
  return (url[1] == u':' && url[2] == u'\\') || (url[0] == u'\\' && url[1] == u'\\');
}

int32_t url_scheme_length(const char16_t* url) {
  if (!url) return -1;
  if (url_is_windows_path(url)) return 5;
  const char16_t* colon = scheme_colon(url);
  if (!colon || colon - url >= INT32_MAX) return -1;
  return int32_t(colon - url) + 1;
}

char16_t* url_scheme(const char16_t* url) {
  if (!url) return nullptr;
  if (url_is_windows_path(url)) return text::dup(kFileScheme, 5);
  const char16_t* colon = scheme_colon(url);
  if (!colon) return nullptr;
  char16_t* s = text::dup(url, size_t(colon - url) + 1);
  if (s)
    for (char16_t* p = s; *p; ++p) *p = text::fold(*p);
  return s;
}

void url_split_view(const char16_t* url, UrlParts* parts) {
  *parts = UrlParts{};
  if (!url || !*url) return;
  const char16_t* rest = url;
  if (url_is_windows_path(url)) {
    parts->scheme = kFileScheme;
    parts->scheme_len = 5;
  } else if (const char16_t* colon = scheme_colon(url)) {
    parts->scheme = url;
    parts->scheme_len = size_t(colon - url) + 1;
    rest = colon + 1;
    while (*rest == u'/') ++rest;
  }
  if (parts->scheme_len == 5 && std::memcmp(parts->scheme, kFileScheme, 5 * sizeof(char16_t)) == 0) {
    const char16_t* bs = text::find_last(rest, u'\\');
    if (!bs) return;
    parts->host = rest;
    parts->host_len = size_t(bs - rest);
    parts->path = bs;
    parts->path_len = text::length(bs);
    return;
  }
  if (const char16_t* slash = text::find(rest, u'/')) {
    parts->host = rest;
    parts->host_len = size_t(slash - rest);
    parts->path = slash;
    parts->path_len = text::length(slash);
  } else {
    parts->host = rest;
    parts->host_len = text::length(rest);
    parts->path = kRootPath;
    parts->path_len = 1;
  }
  for (size_t i = 0; i < parts->host_len; ++i)
    if (parts->host[i] == u'@') {
      parts->host += i + 1;
      parts->host_len -= i + 1;
      break;
    }
  for (size_t i = 0; i < parts->host_len; ++i)
    if (parts->host[i] == u':') {
      parts->host_len = i;
      break;
    }
}

void url_split(const char16_t* url, char16_t** scheme, char16_t** host, char16_t** path) {
  *scheme = *host = *path = nullptr;
  UrlParts v;
  url_split_view(url, &v);
  if (v.scheme) *scheme = text::dup(v.scheme, v.scheme_len);
  if (v.host) *host = text::dup(v.host, v.host_len);
  if (v.path) *path = text::dup(v.path, v.path_len);
}
