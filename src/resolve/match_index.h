// Index over the best-match search's candidates (each entry's URL, then its
// alternate URL). For each rule it hands over only the candidates that can
// qualify, in candidate order, so the search scores the same candidates in
// the same order as a walk of the whole table and every tie ends the same.
#pragma once

#include <cstddef>
#include <cstdint>

// A candidate is entry * 2, plus 1 for the alternate URL: the candidate
// order is the order of these numbers.
constexpr uint32_t NO_CANDIDATE = UINT32_MAX;
const char16_t* candidate_text(uint32_t candidate);

// False when there is no index for the current table (disabled, small
// table, out of memory): the search walks.
bool match_index_ready();

struct HashPair {
  uint32_t hash;
  uint32_t candidate;
};

// The candidates of one key, walked with match_index_next.
struct CandidateCursor {
  const HashPair* at;
  const HashPair* end;
  int kind;
  const char16_t* text;  // the key: text[0..n) and last, or scheme and path
  size_t n;
  char16_t last;
  const char16_t* path;
  size_t path_len;
  uint32_t previous;
};

// Candidates whose text up to and including its first "?", "=", "@" or "#"
// is text[0..n) followed by last (nothing when last is 0).
CandidateCursor match_index_heads(const char16_t* text, size_t n, char16_t last);
// Candidates with a host whose scheme (as written) and path are these.
CandidateCursor match_index_paths(const char16_t* scheme, size_t scheme_len, const char16_t* path,
                                  size_t path_len);
// Candidates that start with prefix[0..n), a text that ends in "/" and holds
// no separator, when match_index_has_directory(n).
bool match_index_has_directory(size_t n);
CandidateCursor match_index_directory(const char16_t* prefix, size_t n);
// The next candidate in candidate order, or NO_CANDIDATE.
uint32_t match_index_next(CandidateCursor* cursor);

void drop_match_index();
size_t match_index_bytes();
