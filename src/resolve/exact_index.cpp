#include "resolve/exact_index.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "package/player_state.h"
#include "resolve/match_index.h"
#include "resolve/resolve.h"
#include "resolve/trace.h"

namespace {

// Below this size a walk costs no more than hashing.
constexpr int32_t kMinIndexedEntries = 32;

struct Slot {
  uint32_t hash;
  int32_t entry;  // -1 when free
  int32_t alternate;
};

struct Map {
  Slot* slots;
  uint32_t mask;
};

struct Index {
  bool built;
  bool failed;  // out of memory for this table: walk until it changes
  const ResourceEntry* table;
  int32_t count;
  uint32_t generation;
  Map plain;
  Map keyed;        // POST keys compared with letter case folded
  Map keyed_exact;  // POST keys compared as written
};

Index g_index;
bool g_enabled = true;

uint32_t hash_text(uint32_t h, const char16_t* s) {
  for (; *s; ++s) h = (h ^ text::fold(*s)) * 16777619u;
  return h;
}

enum KeyMatch { KEY_NONE, KEY_FOLDED, KEY_EXACT };

uint32_t hash_key(uint32_t h, const char* s, KeyMatch match) {
  h = (h ^ 0xffu) * 16777619u;  // separates URL from key
  for (; *s; ++s) h = (h ^ uint8_t(match == KEY_EXACT ? *s : text::fold(*s))) * 16777619u;
  return h;
}

bool same_key(const char* a, const char* b, KeyMatch match) {
  if (match == KEY_NONE) return true;
  return match == KEY_EXACT ? std::strcmp(a, b) == 0 : text::compare_nocase(a, b) == 0;
}

const char16_t* slot_url(const Slot& s) {
  const ResourceEntry& e = g_index.table[s.entry];
  return s.alternate ? e.alternate_url : e.url;
}

bool map_alloc(Map* m, uint32_t wanted) {
  uint32_t size = 16;
  while (size < wanted * 2) {
    if (size > (UINT32_MAX / 2) / sizeof(Slot)) return false;
    size *= 2;
  }
  m->slots = static_cast<Slot*>(std::malloc(size_t(size) * sizeof(Slot)));
  if (!m->slots) return false;
  for (uint32_t i = 0; i < size; ++i) m->slots[i].entry = -1;
  m->mask = size - 1;
  return true;
}

void map_free(Map* m) {
  std::free(m->slots);
  m->slots = nullptr;
  m->mask = 0;
}

// Takes the first free slot, equal texts included: the items arrive in slot
// order and, among equal texts, in table order, so a lookup meets the
// first holder of a text before its later ones.
void map_insert(Map* m, uint32_t slot, uint32_t h, uint32_t candidate) {
  for (uint32_t i = slot;; i = (i + 1) & m->mask) {
    Slot& s = m->slots[i];
    if (s.entry < 0) {
      s.hash = h;
      s.entry = int32_t(candidate >> 1);
      s.alternate = int32_t(candidate & 1);
      return;
    }
  }
}

int32_t map_find(const Map* m, uint32_t h, const char16_t* url, const char* key, KeyMatch match) {
  for (uint32_t i = mix_hash(h) & m->mask;; i = (i + 1) & m->mask) {
    const Slot& s = m->slots[i];
    if (s.entry < 0) return -1;
    if (s.hash == h && text::compare_nocase(slot_url(s), url) == 0 &&
        same_key(g_index.table[s.entry].post_key, key, match))
      return s.entry;
  }
}

struct Pending {
  uint32_t slot;
  uint32_t hash;
  uint32_t candidate;  // entry * 2, plus 1 for the alternate URL
};

// Inserts in slot order, so that the probes walk forward through memory
// instead of jumping across it; the sort is stable, so equal texts still
// arrive in table order and the first holder wins.
void fill_map(Map* m, Pending* items, Pending* scratch, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) items[i].slot = mix_hash(items[i].hash) & m->mask;
  Pending* from = items;
  Pending* to = scratch;
  for (uint32_t shift = 0; shift < 32 && (m->mask >> shift); shift += 8) {
    uint32_t starts[257] = {};
    for (uint32_t i = 0; i < n; ++i) ++starts[((from[i].slot >> shift) & 0xff) + 1];
    for (int b = 0; b < 256; ++b) starts[b + 1] += starts[b];
    for (uint32_t i = 0; i < n; ++i) to[starts[(from[i].slot >> shift) & 0xff]++] = from[i];
    Pending* t = from;
    from = to;
    to = t;
  }
  for (uint32_t i = 0; i < n; ++i) map_insert(m, from[i].slot, from[i].hash, from[i].candidate);
}

bool build() {
  const ResourceEntry* table = g_index.table;
  int32_t count = g_index.count;
  uint32_t plain = 0, keyed = 0;
  for (int32_t i = 0; i < count; ++i) {
    const ResourceEntry& e = table[i];
    uint32_t texts = (e.url ? 1u : 0u) + (e.alternate_url ? 1u : 0u);
    plain += texts;
    if (e.post_key) keyed += texts;
  }
  if (!map_alloc(&g_index.plain, plain)) return false;
  if (keyed && (!map_alloc(&g_index.keyed, keyed) || !map_alloc(&g_index.keyed_exact, keyed)))
    return false;
  auto* items = static_cast<Pending*>(std::malloc(size_t(plain ? plain : 1) * 3 * sizeof(Pending)));
  if (!items) return false;
  Pending* keys = items + plain;
  Pending* scratch = keys + plain;
  uint32_t n = 0, k = 0;
  for (int32_t i = 0; i < count; ++i) {
    const ResourceEntry& e = table[i];
    for (uint32_t alt = 0; alt < 2; ++alt)
      if (const char16_t* url = alt ? e.alternate_url : e.url)
        items[n++] = {0, hash_text(2166136261u, url), uint32_t(i) * 2 + alt};
  }
  // Each map's items in table order; the plain ones last, as they are sorted in place.
  for (int pass = 0; pass < 2; ++pass) {
    KeyMatch match = pass ? KEY_FOLDED : KEY_EXACT;
    k = 0;
    for (uint32_t i = 0; keyed && i < n; ++i)
      if (const char* key = table[items[i].candidate >> 1].post_key)
        keys[k++] = {0, hash_key(items[i].hash, key, match), items[i].candidate};
    fill_map(match == KEY_EXACT ? &g_index.keyed_exact : &g_index.keyed, keys, scratch, k);
  }
  fill_map(&g_index.plain, items, scratch, n);
  std::free(items);
  return true;
}

bool index_current() {
  return (g_index.built || g_index.failed) && g_index.table == resource_table() &&
         g_index.count == entry_count() && g_index.generation == resource_table_generation();
}

}  // namespace

bool lookup_index_enabled() { return g_enabled; }

void drop_exact_index() {
  drop_match_index();
  map_free(&g_index.plain);
  map_free(&g_index.keyed);
  map_free(&g_index.keyed_exact);
  g_index = Index{};
}

void set_exact_index_enabled(bool enabled) {
  g_enabled = enabled;
  if (!enabled) drop_exact_index();
}

bool exact_index_find(const char16_t* url, const char* key, int32_t* index, int32_t* pass) {
  if (!g_enabled) return false;
  if (!index_current()) {
    drop_exact_index();
    if (!resource_table() || entry_count() < kMinIndexedEntries) return false;
    g_index.table = resource_table();
    g_index.count = entry_count();
    g_index.generation = resource_table_generation();
    if (build()) {
      g_index.built = true;
    } else {
      map_free(&g_index.plain);
      map_free(&g_index.keyed);
      map_free(&g_index.keyed_exact);
      g_index.failed = true;
    }
  }
  if (!g_index.built) return false;
  uint32_t h = hash_text(2166136261u, url);
  if (key && g_index.keyed.slots) {
    int32_t i = map_find(&g_index.keyed_exact, hash_key(h, key, KEY_EXACT), url, key, KEY_EXACT);
    *pass = EXACT_PASS_KEYED;
    if (i < 0) {
      i = map_find(&g_index.keyed, hash_key(h, key, KEY_FOLDED), url, key, KEY_FOLDED);
      *pass = EXACT_PASS_KEYED_FOLDED;
    }
    if (i >= 0) {
      *index = i;
      return true;
    }
  }
  *index = map_find(&g_index.plain, h, url, nullptr, KEY_NONE);
  *pass = *index >= 0 ? EXACT_PASS_PLAIN : EXACT_PASS_NONE;
  return true;
}

size_t resolution_index_bytes() {
  size_t bytes = match_index_bytes();
  const Map* maps[] = {&g_index.plain, &g_index.keyed, &g_index.keyed_exact};
  for (const Map* m : maps)
    if (m->slots) bytes += (size_t(m->mask) + 1) * sizeof(Slot);
  return bytes;
}

void prepare_resolution_index() {
  int32_t index = -1, pass = 0;
  exact_index_find(u"", nullptr, &index, &pass);
  // Only the page mode with POST keys searches for best matches.
  if (playback_mode() == PLAYBACK_PAGE_POST) match_index_ready();
}
