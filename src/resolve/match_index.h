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

// Candidates whose text up to and including its first "?", "=", "@" or "#"
// is text[0..n) followed by last (nothing when last is 0).
uint32_t match_index_head_first(const char16_t* text, size_t n, char16_t last);
uint32_t match_index_head_next(uint32_t candidate);

// Candidates with a host whose scheme (as written) and path are these.
uint32_t match_index_path_first(const char16_t* scheme, size_t scheme_len, const char16_t* path,
                                size_t path_len);
uint32_t match_index_path_next(uint32_t candidate);

// Candidates whose text starts with prefix[0..n), sorted by text.
void match_index_prefix(const char16_t* prefix, size_t n, const uint32_t** begin,
                        const uint32_t** end);

void drop_match_index();
