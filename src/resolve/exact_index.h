// Hash index over the table for the exact lookup. It gives the same
// first-found entry as the table walk: each distinct folded text keeps the
// lowest entry that holds it.
#pragma once

#include <cstdint>

// True with *index (or -1) when the index answers; false when it is not
// available (disabled, small table, or out of memory), and the caller walks.
bool exact_index_find(const char16_t* url, const char* key, int32_t* index, int32_t* pass);

// False while tests make every lookup walk the table.
bool lookup_index_enabled();

// Spreads a multiplicative hash over all its bits: URLs that differ only near
// their end would otherwise crowd into neighbouring slots.
inline uint32_t mix_hash(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}
