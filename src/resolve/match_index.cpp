#include "resolve/match_index.h"

#include <cstdlib>

#include "package/player_state.h"
#include "resolve/exact_index.h"
#include "resolve/url_text.h"

namespace {

// Below this size a walk costs no more than building the index.
constexpr int32_t kMinIndexedEntries = 32;

enum CursorKind { CURSOR_HEADS, CURSOR_PATHS, CURSOR_DIRECTORY };

// Shorter directories ("http://", "file:///") hold nearly every candidate:
// pass 2 walks for them instead of keeping a key for each.
constexpr size_t kMinDirectory = 9;


// Each key's candidates are the pairs with its hash, sorted by hash and, as
// the sort keeps the order it was given, by candidate within a hash. A pair
// whose candidate does not hold the key (a hash shared by two keys) is
// passed over by the cursor.
struct Pairs {
  HashPair* items;
  uint32_t count;
};

struct MatchIndex {
  bool built;
  bool failed;  // out of memory for this table: walk until it changes
  const ResourceEntry* table;
  int32_t count;
  uint32_t generation;
  // By CursorKind: the text up to its first separator; scheme and path;
  // every prefix that ends in "/" before the first separator.
  Pairs keys[3];
};

MatchIndex g_match;

constexpr uint32_t kHashSeed = 2166136261u;
// Pairs that one block can hold on this platform.
constexpr uint64_t kMostPairs = SIZE_MAX / sizeof(HashPair);

bool is_separator(char16_t c) { return c == u'?' || c == u'=' || c == u'@' || c == u'#'; }

uint32_t hash_unit(uint32_t h, char16_t c) { return (h ^ c) * 16777619u; }

uint32_t hash_units(uint32_t h, const char16_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) h = hash_unit(h, s[i]);
  return h;
}

uint32_t path_hash(const char16_t* scheme, size_t scheme_len, const char16_t* path, size_t path_len) {
  return hash_units(hash_unit(hash_units(kHashSeed, scheme, scheme_len), 0xffff), path, path_len);
}

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

// Stable: passes of eleven bits, least significant first; a few keys sort
// by insertion instead of clearing the buckets three times.
void sort_pairs(Pairs* p, HashPair* scratch) {
  HashPair* from = p->items;
  if (p->count <= 64) {
    for (uint32_t i = 1; i < p->count; ++i) {
      HashPair item = from[i];
      uint32_t j = i;
      for (; j > 0 && from[j - 1].hash > item.hash; --j) from[j] = from[j - 1];
      from[j] = item;
    }
    return;
  }
  HashPair* to = scratch;
  for (int shift = 0; shift < 32; shift += 11) {
    uint32_t starts[2049] = {};
    for (uint32_t i = 0; i < p->count; ++i) ++starts[((from[i].hash >> shift) & 0x7ff) + 1];
    for (int b = 0; b < 2048; ++b) starts[b + 1] += starts[b];
    for (uint32_t i = 0; i < p->count; ++i) to[starts[(from[i].hash >> shift) & 0x7ff]++] = from[i];
    HashPair* t = from;
    from = to;
    to = t;
  }
  // Three passes leave the result in the scratch block: swap the blocks.
  p->items = from;
}

bool pairs_alloc(Pairs* p, uint32_t count) {
  if (uint64_t(count) > kMostPairs) return false;
  p->items = static_cast<HashPair*>(std::malloc(size_t(count ? count : 1) * sizeof(HashPair)));
  p->count = 0;
  return p->items != nullptr;
}

void pairs_free(Pairs* p) {
  std::free(p->items);
  *p = Pairs{};
}

void pairs_add(Pairs* p, uint32_t hash, uint32_t candidate) { p->items[p->count++] = {hash, candidate}; }

// Every key of one candidate, in the order that keeps each key's candidates in order.
template <typename Add>
void candidate_keys(uint32_t c, const char16_t* t, Add add) {
  uint32_t h = kHashSeed;
  size_t i = 0;
  for (; t[i] && !is_separator(t[i]); ++i) {
    h = hash_unit(h, t[i]);
    if (t[i] == u'/' && i + 1 >= kMinDirectory) add(CURSOR_DIRECTORY, h, c);
  }
  if (t[i]) add(CURSOR_HEADS, hash_unit(h, t[i]), c);
  UrlParts p;
  if (split_full(t, &p)) add(CURSOR_PATHS, path_hash(p.scheme, p.scheme_len, p.path, p.path_len), c);
}

void free_keys() {
  for (Pairs& p : g_match.keys) pairs_free(&p);
}

bool build() {
  uint32_t candidates = uint32_t(g_match.count) * 2;
  uint32_t texts = 0;
  for (uint32_t c = 0; c < candidates; ++c)
    if (candidate_text(c)) ++texts;
  // A text has at most one head and one path; directories grow.
  uint32_t capacity[3] = {texts, texts, texts * 4};
  for (int i = 0; i < 3; ++i)
    if (!pairs_alloc(&g_match.keys[i], capacity[i])) return false;
  bool ok = true;
  for (uint32_t c = 0; c < candidates && ok; ++c)
    if (const char16_t* t = candidate_text(c))
      candidate_keys(c, t, [&](int kind, uint32_t h, uint32_t cand) {
        Pairs& p = g_match.keys[kind];
        if (p.count == capacity[kind]) {
          uint32_t more = capacity[kind] * 2;
          bool fits = more > capacity[kind] && uint64_t(more) <= kMostPairs;
          void* grown = fits ? std::realloc(p.items, size_t(more) * sizeof(HashPair)) : nullptr;
          if (!grown) {
            ok = false;
            return;
          }
          p.items = static_cast<HashPair*>(grown);
          capacity[kind] = more;
        }
        pairs_add(&p, h, cand);
      });
  if (!ok) return false;
  for (Pairs& p : g_match.keys) {
    auto* scratch = static_cast<HashPair*>(std::malloc(size_t(p.count ? p.count : 1) * sizeof(HashPair)));
    if (!scratch) return false;
    HashPair* old = p.items;
    sort_pairs(&p, scratch);
    std::free(p.items == old ? scratch : old);
  }
  return true;
}

bool index_current() {
  return (g_match.built || g_match.failed) && g_match.table == resource_table() &&
         g_match.count == entry_count() && g_match.generation == resource_table_generation();
}

CandidateCursor cursor_for(const Pairs& p, uint32_t hash, int kind) {
  uint32_t lo = 0, hi = p.count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (p.items[mid].hash < hash)
      lo = mid + 1;
    else
      hi = mid;
  }
  uint32_t end = lo;
  while (end < p.count && p.items[end].hash == hash) ++end;
  CandidateCursor c{};
  c.at = p.items + lo;
  c.end = p.items + end;
  c.kind = kind;
  c.previous = NO_CANDIDATE;
  return c;
}

bool holds_key(const CandidateCursor& k, const char16_t* t) {
  switch (k.kind) {
    case CURSOR_HEADS:
      return same_units(t, k.text, k.n) && (!k.last || t[k.n] == k.last) &&
             head_length(t) == k.n + (k.last ? 1 : 0);
    case CURSOR_PATHS: {
      UrlParts p;
      return split_full(t, &p) && same_view(p.scheme, p.scheme_len, k.text, k.n) &&
             same_view(p.path, p.path_len, k.path, k.path_len);
    }
    default:
      return same_units(t, k.text, k.n);
  }
}

}  // namespace

const char16_t* candidate_text(uint32_t candidate) {
  const ResourceEntry& e = resource_table()[candidate >> 1];
  return candidate & 1 ? e.alternate_url : e.url;
}

size_t match_index_bytes() {
  size_t bytes = 0;
  for (const Pairs& p : g_match.keys) bytes += size_t(p.count) * sizeof(HashPair);
  return bytes;
}

void drop_match_index() {
  free_keys();
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
      free_keys();
      g_match.failed = true;
    }
  }
  return g_match.built;
}

CandidateCursor match_index_heads(const char16_t* text, size_t n, char16_t last) {
  uint32_t h = hash_units(kHashSeed, text, n);
  if (last) h = hash_unit(h, last);
  CandidateCursor c = cursor_for(g_match.keys[CURSOR_HEADS], h, CURSOR_HEADS);
  c.text = text;
  c.n = n;
  c.last = last;
  return c;
}

CandidateCursor match_index_paths(const char16_t* scheme, size_t scheme_len, const char16_t* path,
                                  size_t path_len) {
  CandidateCursor c =
      cursor_for(g_match.keys[CURSOR_PATHS], path_hash(scheme, scheme_len, path, path_len), CURSOR_PATHS);
  c.text = scheme;
  c.n = scheme_len;
  c.path = path;
  c.path_len = path_len;
  return c;
}

bool match_index_has_directory(size_t n) { return n >= kMinDirectory; }

CandidateCursor match_index_directory(const char16_t* prefix, size_t n) {
  CandidateCursor c = cursor_for(g_match.keys[CURSOR_DIRECTORY], hash_units(kHashSeed, prefix, n), CURSOR_DIRECTORY);
  c.text = prefix;
  c.n = n;
  return c;
}

uint32_t match_index_next(CandidateCursor* cursor) {
  while (cursor->at != cursor->end) {
    uint32_t c = (cursor->at++)->candidate;
    // Two prefixes of one candidate may share a hash.
    if (c == cursor->previous || !holds_key(*cursor, candidate_text(c))) continue;
    cursor->previous = c;
    return c;
  }
  return NO_CANDIDATE;
}
