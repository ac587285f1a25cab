#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "package/player_state.h"
#include "resolve/best_match.h"
#include "resolve/exact_index.h"
#include "resolve/resolve.h"
#include "resolve/trace.h"
#include "resolve/url_text.h"

namespace {

const ResolveTrace* g_trace;

bool equal_nocase(const char16_t* a, const char16_t* b) {
  return a && text::compare_nocase(a, b) == 0;
}

bool key_equal(const char* a, const char* b, bool fold) {
  return a && (fold ? text::compare_nocase(a, b) : std::strcmp(a, b)) == 0;
}

int32_t walk_exact(const char16_t* url, const char* key, int32_t* pass) {
  const ResourceEntry* table = resource_table();
  int32_t count = table ? entry_count() : 0;
  // The key as written first, then with its letter case folded.
  for (int32_t fold = 0; key && fold < 2; ++fold) {
    for (int32_t i = 0; i < count; ++i) {
      const ResourceEntry& e = table[i];
      if (!key_equal(e.post_key, key, fold)) continue;
      if (equal_nocase(e.url, url) || equal_nocase(e.alternate_url, url)) {
        *pass = fold ? EXACT_PASS_KEYED_FOLDED : EXACT_PASS_KEYED;
        return i;
      }
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    const ResourceEntry& e = table[i];
    if (equal_nocase(e.url, url) || equal_nocase(e.alternate_url, url)) {
      *pass = EXACT_PASS_PLAIN;
      return i;
    }
  }
  *pass = EXACT_PASS_NONE;
  return -1;
}

// base followed directly by rel; null when out of memory.
char16_t* join(const char16_t* base, const char16_t* rel) {
  size_t a = text::length(base), b = text::length(rel);
  if (a > SIZE_MAX / sizeof(char16_t) - b - 1) return nullptr;
  auto* j = static_cast<char16_t*>(std::malloc((a + b + 1) * sizeof(char16_t)));
  if (!j) return nullptr;
  std::memcpy(j, base, a * sizeof(char16_t));
  std::memcpy(j + a, rel, (b + 1) * sizeof(char16_t));
  return j;
}

bool scheme_is(const char16_t* url, int32_t length, const char* scheme) {
  for (int32_t i = 0; i < length; ++i)
    if (!scheme[i] || text::fold(url[i]) != char16_t(scheme[i])) return false;
  return scheme[length] == 0;
}

}  // namespace

void set_resolve_trace(const ResolveTrace* trace) { g_trace = trace; }
const ResolveTrace* resolve_trace() { return g_trace; }


int32_t find_exact_entry(const char16_t* url, const char* key) {
  if (!url) return -1;
  int32_t index = -1, pass = 0;
  if (!exact_index_find(url, key, &index, &pass)) index = walk_exact(url, key, &pass);
  if (g_trace) {
    ResolveEvent e{};
    e.kind = RESOLVE_EVENT_EXACT;
    e.url = url;
    e.key = key;
    e.result = index;
    e.exact_pass = pass;
    report_event(e);
  }
  return index;
}

int32_t resolve_relative(const char16_t* base, const char16_t* rel, const char* key) {
  if (!base || !rel) {
    if (g_trace) {
      ResolveEvent e{};
      e.kind = RESOLVE_EVENT_NO_BASE;
      e.url = rel;
      e.result = -1;
      report_event(e);
    }
    return -1;
  }
  char16_t* p = text::dup(base);
  if (!p) return -1;
  int32_t result = -1;
  for (int32_t attempt = 1;; ++attempt) {
    char16_t* joined = join(p, rel);
    if (!joined) break;
    if (g_trace) {
      ResolveEvent e{};
      e.kind = RESOLVE_EVENT_RELATIVE;
      e.url = joined;
      e.key = key;
      e.attempt = attempt;
      report_event(e);
    }
    result = find_exact_entry(joined, key);
    if (result < 0) result = find_best_match(joined);
    std::free(joined);
    if (result >= 0) break;
    // Up one directory; the host root is its own parent.
    size_t n = text::length(p);
    if (n <= 1) break;
    char16_t last = p[n - 1];
    p[n - 1] = 0;
    char16_t* q = url_directory(p);
    p[n - 1] = last;
    if (!q || text::compare(q, p) == 0) {
      std::free(q);
      break;
    }
    std::free(p);
    p = q;
  }
  std::free(p);
  return result;
}

int32_t resolve_in_post_mode(const char16_t* url, const char* key) {
  if (!url) return -1;
  int32_t scheme_length = url_scheme_length(url);
  if (scheme_length < 0) return resolve_relative(base_url(), url, key);
  int32_t i = find_exact_entry(url, key);
  if (i >= 0) return i;
  i = find_best_match(url);
  if (i >= 0) return i;
  // Relocation: the request and the base URL share more than the scheme and "//".
  const char16_t* base = base_url();
  if (!base) return resolve_relative(nullptr, url, key);
  int32_t b = url_common_prefix(base, url);
  bool relocate = b > scheme_length + 2;
  if (g_trace) {
    ResolveEvent e{};
    e.kind = RESOLVE_EVENT_RELOCATION;
    e.url = url + b;
    e.key = key;
    e.common_prefix = b;
    e.result = relocate ? 0 : -1;
    report_event(e);
  }
  if (!relocate) return -1;
  return resolve_relative(base, url + b, key);
}

int32_t base64_encode(const void* data, uint32_t n, char** out) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  *out = nullptr;
  // floor(4n/3) + 4, kept within 32 bits so that the length fits an int32.
  if (n > uint32_t(INT32_MAX - 4) / 4 * 3) return -1;
  uint32_t size = n / 3 * 4 + n % 3 * 4 / 3 + 4;
  auto* text = static_cast<char*>(std::malloc(size));
  if (!text) return -1;
  const auto* in = static_cast<const uint8_t*>(data);
  size_t k = 0;
  uint32_t i = 0;
  for (; n - i >= 3; i += 3) {
    uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    text[k++] = kAlphabet[v >> 18];
    text[k++] = kAlphabet[(v >> 12) & 63];
    text[k++] = kAlphabet[(v >> 6) & 63];
    text[k++] = kAlphabet[v & 63];
  }
  if (n - i == 1) {
    uint32_t v = uint32_t(in[i]) << 16;
    text[k++] = kAlphabet[v >> 18];
    text[k++] = kAlphabet[(v >> 12) & 63];
    text[k++] = '=';
    text[k++] = '=';
  } else if (n - i == 2) {
    uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8;
    text[k++] = kAlphabet[v >> 18];
    text[k++] = kAlphabet[(v >> 12) & 63];
    text[k++] = kAlphabet[(v >> 6) & 63];
    text[k++] = '=';
  }
  text[k] = 0;
  *out = text;
  return int32_t(k);
}

bool url_is_served(const char16_t* url) {
  if (!url || !*url) return false;
  int32_t length = url_scheme_length(url);
  if (length < 0 || url_is_windows_path(url)) return true;
  return scheme_is(url, length, "http:") || scheme_is(url, length, "https:") ||
         scheme_is(url, length, "file:");
}

char16_t* page_base_url() {
  if (const char16_t* base = movie_base()) return text::dup(base);
  const ResourceEntry* first = resource_entry(0);
  return first && first->url ? url_directory(first->url) : nullptr;
}

bool resolve_with_key(const char16_t* url, const char* key, int32_t* index) {
  *index = -1;
  if (!url_is_served(url)) {
    if (g_trace) {
      ResolveEvent e{};
      e.kind = RESOLVE_EVENT_REFUSED;
      e.url = url;
      e.result = -1;
      report_event(e);
    }
    return false;
  }
  *index = playback_mode() == PLAYBACK_PAGE_POST ? resolve_in_post_mode(url, key)
                                                  : find_exact_entry(url, nullptr);
  return true;
}
