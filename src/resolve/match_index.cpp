#include "resolve/match_index.h"

#include <algorithm>
#include <cstdlib>

#include "package/player_state.h"
#include "resolve/exact_index.h"
#include "resolve/url_text.h"

namespace {

// Below this size a walk costs no more than building the index.
constexpr int32_t kMinIndexedEntries = 32;

// One group of candidates with the same key, chained in candidate order.
struct Slot {
  uint32_t hash;
  uint32_t first;  // NO_CANDIDATE when free
  uint32_t last;
};

struct Chains {
  Slot* slots;
  uint32_t size;
  uint32_t* next;  // by candidate
};

struct MatchIndex {
  bool built;
  bool failed;  // out of memory for this table: walk until it changes
  const ResourceEntry* table;
  int32_t count;
  uint32_t generation;
  Chains heads;  // by the text up to the first separator
  Chains paths;  // by scheme and path
  uint32_t* sorted;
  uint32_t sorted_count;
};

MatchIndex g_match;

bool is_separator(char16_t c) { return c == u'?' || c == u'=' || c == u'@' || c == u'#'; }

uint32_t hash_units(uint32_t h, const char16_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ s[i]) * 16777619u;
  return h;
}

constexpr uint32_t kHashSeed = 2166136261u;

// Length of the text up to and including its first separator; 0 without one.
size_t head_length(const char16_t* s) {
  for (size_t i = 0; s[i]; ++i)
    if (is_separator(s[i])) return i + 1;
  return 0;
}

// a[0..n) equals b[0..n); stops at the first difference, so a shorter a ends
// at its terminator.
bool same_units(const char16_t* a, const char16_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool same_view(const char16_t* a, size_t n, const char16_t* b, size_t m) {
  return n == m && same_units(a, b, n);
}

bool split_full(const char16_t* text, UrlParts* parts) {
  url_split_view(text, parts);
  return parts->scheme && parts->host && parts->path;
}

uint32_t path_hash(const char16_t* scheme, size_t scheme_len, const char16_t* path, size_t path_len) {
  return hash_units(hash_units(kHashSeed, scheme, scheme_len) * 31u, path, path_len);
}

bool chains_alloc(Chains* c, uint32_t keys, uint32_t candidates) {
  c->size = keys + keys / 2 + 1;
  c->slots = static_cast<Slot*>(std::malloc(size_t(c->size) * sizeof(Slot)));
  c->next = static_cast<uint32_t*>(std::malloc(size_t(candidates) * sizeof(uint32_t)));
  if (!c->slots || !c->next) return false;
  for (uint32_t i = 0; i < c->size; ++i) c->slots[i].first = NO_CANDIDATE;
  return true;
}

void chains_free(Chains* c) {
  std::free(c->slots);
  std::free(c->next);
  *c = Chains{};
}

uint32_t slot_start(const Chains& c, uint32_t h) { return uint32_t((uint64_t(h) * c.size) >> 32); }

// Finds the slot of the key that equal() recognises, or the free slot where it belongs.
template <typename Equal>
Slot* chains_slot(const Chains& c, uint32_t h, Equal equal) {
  for (uint32_t i = slot_start(c, h);; i = i + 1 == c.size ? 0 : i + 1) {
    Slot* s = &c.slots[i];
    if (s->first == NO_CANDIDATE || (s->hash == h && equal(s->first))) return s;
  }
}

// Candidates arrive in candidate order, so each chain stays in that order.
void chains_add(Chains* c, Slot* s, uint32_t h, uint32_t candidate) {
  c->next[candidate] = NO_CANDIDATE;
  if (s->first == NO_CANDIDATE) {
    s->hash = h;
    s->first = candidate;
  } else {
    c->next[s->last] = candidate;
  }
  s->last = candidate;
}

int compare_units(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (!*a) return 0;
  }
}

bool build() {
  uint32_t candidates = uint32_t(g_match.count) * 2;
  uint32_t with_text = 0, with_head = 0, with_path = 0;
  for (uint32_t c = 0; c < candidates; ++c) {
    const char16_t* t = candidate_text(c);
    if (!t) continue;
    ++with_text;
    if (head_length(t)) ++with_head;
    UrlParts parts;
    if (split_full(t, &parts)) ++with_path;
  }
  if (!chains_alloc(&g_match.heads, with_head, candidates) ||
      !chains_alloc(&g_match.paths, with_path, candidates))
    return false;
  g_match.sorted = static_cast<uint32_t*>(std::malloc(size_t(with_text) * sizeof(uint32_t)));
  if (!g_match.sorted) return false;

  uint32_t k = 0;
  for (uint32_t c = 0; c < candidates; ++c) {
    const char16_t* t = candidate_text(c);
    if (!t) continue;
    g_match.sorted[k++] = c;
    if (size_t n = head_length(t)) {
      uint32_t h = hash_units(kHashSeed, t, n);
      Slot* s = chains_slot(g_match.heads, h, [&](uint32_t other) {
        // Equal units up to a separator that ends t's head end the other's head there too.
        return same_units(candidate_text(other), t, n);
      });
      chains_add(&g_match.heads, s, h, c);
    }
    UrlParts p;
    if (split_full(t, &p)) {
      uint32_t h = path_hash(p.scheme, p.scheme_len, p.path, p.path_len);
      Slot* s = chains_slot(g_match.paths, h, [&](uint32_t other) {
        UrlParts o;
        split_full(candidate_text(other), &o);
        return same_view(o.scheme, o.scheme_len, p.scheme, p.scheme_len) &&
               same_view(o.path, o.path_len, p.path, p.path_len);
      });
      chains_add(&g_match.paths, s, h, c);
    }
  }
  g_match.sorted_count = k;
  std::sort(g_match.sorted, g_match.sorted + k, [](uint32_t a, uint32_t b) {
    int order = compare_units(candidate_text(a), candidate_text(b));
    return order < 0 || (order == 0 && a < b);
  });
  return true;
}

bool index_current() {
  return (g_match.built || g_match.failed) && g_match.table == resource_table() &&
         g_match.count == entry_count() && g_match.generation == resource_table_generation();
}

}  // namespace

const char16_t* candidate_text(uint32_t candidate) {
  const ResourceEntry& e = resource_table()[candidate >> 1];
  return candidate & 1 ? e.alternate_url : e.url;
}

void drop_match_index() {
  chains_free(&g_match.heads);
  chains_free(&g_match.paths);
  std::free(g_match.sorted);
  g_match = MatchIndex{};
}

bool match_index_ready() {
  if (!lookup_index_enabled()) return false;
  if (!index_current()) {
    drop_match_index();
    if (!resource_table() || entry_count() < kMinIndexedEntries) return false;
    g_match.table = resource_table();
    g_match.count = entry_count();
    g_match.generation = resource_table_generation();
    if (build()) {
      g_match.built = true;
    } else {
      chains_free(&g_match.heads);
      chains_free(&g_match.paths);
      std::free(g_match.sorted);
      g_match.sorted = nullptr;
      g_match.failed = true;
    }
  }
  return g_match.built;
}

uint32_t match_index_head_first(const char16_t* text, size_t n, char16_t last) {
  uint32_t h = hash_units(kHashSeed, text, n);
  if (last) h = (h ^ last) * 16777619u;
  size_t length = n + (last ? 1 : 0);
  const Slot* s = chains_slot(g_match.heads, h, [&](uint32_t other) {
    const char16_t* t = candidate_text(other);
    return same_units(t, text, n) && (!last || t[n] == last) && head_length(t) == length;
  });
  return s->first;
}

uint32_t match_index_head_next(uint32_t candidate) { return g_match.heads.next[candidate]; }

uint32_t match_index_path_first(const char16_t* scheme, size_t scheme_len, const char16_t* path,
                                size_t path_len) {
  uint32_t h = path_hash(scheme, scheme_len, path, path_len);
  const Slot* s = chains_slot(g_match.paths, h, [&](uint32_t other) {
    UrlParts o;
    split_full(candidate_text(other), &o);
    return same_view(o.scheme, o.scheme_len, scheme, scheme_len) &&
           same_view(o.path, o.path_len, path, path_len);
  });
  return s->first;
}

uint32_t match_index_path_next(uint32_t candidate) { return g_match.paths.next[candidate]; }

void match_index_prefix(const char16_t* prefix, size_t n, const uint32_t** begin,
                        const uint32_t** end) {
  // -1, 0 or 1 as the candidate's first n units sort before, equal or after the prefix.
  auto order = [&](uint32_t c) {
    const char16_t* t = candidate_text(c);
    for (size_t i = 0; i < n; ++i)
      if (t[i] != prefix[i]) return t[i] < prefix[i] ? -1 : 1;
    return 0;
  };
  const uint32_t* first = g_match.sorted;
  const uint32_t* last = g_match.sorted + g_match.sorted_count;
  *begin = std::partition_point(first, last, [&](uint32_t c) { return order(c) < 0; });
  *end = std::partition_point(*begin, last, [&](uint32_t c) { return order(c) == 0; });
}
