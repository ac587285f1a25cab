#include "resolve/best_match.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "package/player_state.h"
#include "resolve/match_index.h"
#include "resolve/trace.h"
#include "resolve/url_text.h"

namespace {

struct Piece {
  const char16_t* text;
  size_t length;
};

struct MatchState {
  // Candidate cursor.
  int32_t entry;
  bool url_next;
  // Winners.
  int32_t prefix_winner;
  int32_t prefix_length;
  int32_t param_winner;
  int32_t param_count;
  int32_t token_winner;
  // The request's parameter text and its pieces, sorted for lookup.
  const char16_t* param_text;
  size_t param_length;
  Piece* pieces;
  size_t piece_count;
  bool single_token;
  // Decoding buffer, reused across candidates.
  char16_t* scratch;
  size_t scratch_capacity;
  bool out_of_memory;
};

bool is_separator(char16_t c) { return c == u'?' || c == u'=' || c == u'@' || c == u'#'; }

void candidates_begin(MatchState* st) {
  st->entry = 0;
  st->url_next = true;
}

// Next candidate text in table order, each URL before its alternate; false at the end.
bool candidates_next(MatchState* st, const char16_t** text, int32_t* index) {
  const ResourceEntry* table = resource_table();
  int32_t count = table ? entry_count() : 0;
  while (st->entry < count) {
    const ResourceEntry& e = table[st->entry];
    *index = st->entry;
    if (st->url_next) {
      if (e.alternate_url)
        st->url_next = false;
      else
        ++st->entry;
      // A zero-filled entry that the loader never reached has no URL.
      if (!e.url) continue;
      *text = e.url;
      return true;
    }
    *text = e.alternate_url;
    ++st->entry;
    st->url_next = true;
    return true;
  }
  return false;
}

int compare_pieces(const Piece& a, const Piece& b) {
  size_t n = a.length < b.length ? a.length : b.length;
  for (size_t i = 0; i < n; ++i)
    if (a.text[i] != b.text[i]) return a.text[i] < b.text[i] ? -1 : 1;
  return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

int compare_pieces_qsort(const void* a, const void* b) {
  return compare_pieces(*static_cast<const Piece*>(a), *static_cast<const Piece*>(b));
}

// Walks the pieces of text cut at "&": every non-empty piece before an "&",
// then the text after the last "&" even when it is empty.
template <typename Visit>
void for_each_piece(const char16_t* s, size_t n, Visit visit) {
  size_t start = 0;
  for (size_t i = 0; i < n; ++i)
    if (s[i] == u'&') {
      if (i > start) visit(Piece{s + start, i - start});
      start = i + 1;
    }
  visit(Piece{s + start, n - start});
}

// Binary search over the sorted request pieces: a hostile request of many
// pieces must not make every candidate piece cost a scan.
bool pieces_contain(const MatchState* st, const Piece& piece) {
  size_t lo = 0, hi = st->piece_count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = compare_pieces(st->pieces[mid], piece);
    if (c == 0) return true;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return false;
}

bool build_pieces(MatchState* st) {
  size_t n = st->param_length;
  size_t count = 0;
  for_each_piece(st->param_text, n, [&](const Piece&) { ++count; });
  st->pieces = static_cast<Piece*>(std::malloc(count * sizeof(Piece)));
  if (!st->pieces) return false;
  size_t k = 0;
  for_each_piece(st->param_text, n, [&](const Piece& p) { st->pieces[k++] = p; });
  st->piece_count = count;
  // With one piece, that piece runs to the end of the text and is terminated.
  st->single_token = count == 1 && text_is_alnum(st->pieces[0].text);
  if (count > 1) std::qsort(st->pieces, count, sizeof(Piece), compare_pieces_qsort);
  return true;
}

// Copies text into the scratch buffer with every "&amp;" turned into "&",
// repeatedly, in one pass: the output never holds "&amp;", so only its end
// can form a new one.
const char16_t* decode_amp(MatchState* st, const char16_t* text, size_t* out_length) {
  size_t n = text::length(text);
  if (n + 1 > st->scratch_capacity) {
    std::free(st->scratch);
    st->scratch_capacity = n + 1 < 256 ? 256 : n + 1;
    st->scratch = static_cast<char16_t*>(std::malloc(st->scratch_capacity * sizeof(char16_t)));
    if (!st->scratch) {
      st->scratch_capacity = 0;
      st->out_of_memory = true;
      return nullptr;
    }
  }
  char16_t* d = st->scratch;
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    d[k++] = text[i];
    if (k >= 5 && d[k - 1] == u';' && d[k - 2] == u'p' && d[k - 3] == u'm' && d[k - 4] == u'a' &&
        d[k - 5] == u'&')
      k -= 4;
  }
  d[k] = 0;
  *out_length = k;
  return d;
}

void score_candidate(MatchState* st, const char16_t* param_text, int32_t index) {
  size_t length = 0;
  const char16_t* decoded = decode_amp(st, param_text, &length);
  if (!decoded) return;
  int32_t prefix = url_common_prefix(st->param_text, decoded);
  if (prefix > st->prefix_length) {
    st->prefix_length = prefix;
    st->prefix_winner = index;
  }
  int32_t count = 0;
  for_each_piece(decoded, length, [&](const Piece& p) {
    if (pieces_contain(st, p)) ++count;
  });
  if (count > st->param_count) {
    st->param_count = count;
    st->param_winner = index;
  }
  if (st->single_token && st->token_winner < 0 && text_is_alnum(param_text))
    st->token_winner = index;
}

int32_t pick_winner(const MatchState* st, int32_t* pick) {
  if (st->prefix_winner < 0) {
    if (st->param_winner >= 0) {
      *pick = MATCH_PICK_PARAMETER;
      return st->param_winner;
    }
    *pick = st->token_winner >= 0 ? MATCH_PICK_TOKEN : MATCH_PICK_NONE;
    return st->token_winner;
  }
  if (st->param_winner < 0) {
    *pick = MATCH_PICK_PREFIX;
    return st->prefix_winner;
  }
  // count / pieces >= prefix / length, compared exactly and without overflow.
  uint64_t param_side = uint64_t(st->param_count) * uint64_t(st->param_length);
  uint64_t prefix_side = uint64_t(st->prefix_length) * uint64_t(st->piece_count);
  if (param_side >= prefix_side) {
    *pick = MATCH_PICK_PARAMETER;
    return st->param_winner;
  }
  *pick = MATCH_PICK_PREFIX;
  return st->prefix_winner;
}

void reset_winners(MatchState* st) {
  st->prefix_winner = st->param_winner = st->token_winner = -1;
  st->prefix_length = st->param_count = 0;
}

bool same_prefix(const char16_t* candidate, const char16_t* request, size_t n) {
  // The request holds no NUL in its first n units, so a shorter candidate
  // stops at its own terminator.
  for (size_t i = 0; i < n; ++i)
    if (candidate[i] != request[i]) return false;
  return true;
}

bool ends_with(const char16_t* s, size_t n, const char16_t* suffix, size_t m) {
  return n >= m && std::memcmp(s + (n - m), suffix, m * sizeof(char16_t)) == 0;
}

bool same_text(const char16_t* a, size_t n, const char16_t* b, size_t m) {
  return n == m && std::memcmp(a, b, n * sizeof(char16_t)) == 0;
}

int32_t search_with_separator(MatchState* st, const char16_t* request, size_t sep_pos,
                              MatchDetail* detail) {
  const char16_t* text = nullptr;
  int32_t index = -1;
  int32_t pick = MATCH_PICK_NONE;
  bool indexed = match_index_ready();

  // Pass 1: same address and separator. No separator comes before the
  // request's, so a qualifying candidate's first separator is at the same place.
  size_t p = sep_pos + 1;
  if (detail) detail->rule = MATCH_RULE_PASS1;
  if (indexed) {
    CandidateCursor cursor = match_index_heads(request, p, 0);
    for (uint32_t c; (c = match_index_next(&cursor)) != NO_CANDIDATE;)
      score_candidate(st, candidate_text(c) + p, int32_t(c >> 1));
  } else {
    candidates_begin(st);
    while (candidates_next(st, &text, &index))
      if (same_prefix(text, request, p)) score_candidate(st, text + p, index);
  }
  int32_t result = st->out_of_memory ? -1 : pick_winner(st, &pick);

  // Pass 2: same directory, separator found again in the candidate.
  if (result < 0 && !st->out_of_memory) {
    size_t slash = sep_pos;
    while (slash > 0 && request[slash] != u'/') --slash;
    if (request[slash] == u'/') {
      if (detail) detail->rule = MATCH_RULE_PASS2;
      size_t q = slash + 1;
      char16_t sep = request[sep_pos];
      reset_winners(st);
      if (indexed && match_index_has_directory(q)) {
        CandidateCursor cursor = match_index_directory(request, q);
        for (uint32_t c; (c = match_index_next(&cursor)) != NO_CANDIDATE;)
          if (const char16_t* found = text::find(candidate_text(c) + q, sep))
            score_candidate(st, found + 1, int32_t(c >> 1));
      } else {
        candidates_begin(st);
        while (candidates_next(st, &text, &index)) {
          if (!same_prefix(text, request, q)) continue;
          const char16_t* found = text::find(text + q, sep);
          if (found) score_candidate(st, found + 1, index);
        }
      }
      result = st->out_of_memory ? -1 : pick_winner(st, &pick);
    }
  }
  if (detail) {
    detail->prefix_winner = st->prefix_winner;
    detail->prefix_length = st->prefix_length;
    detail->param_winner = st->param_winner;
    detail->param_count = st->param_count;
    detail->token_winner = st->token_winner;
    detail->pick = result >= 0 ? pick : MATCH_PICK_NONE;
  }
  return result;
}

int32_t search_without_separator(MatchState* st, const char16_t* request, size_t n,
                                 MatchDetail* detail) {
  const char16_t* text = nullptr;
  int32_t index = -1;

  // Extension rule: the request plus a query, fragment or parameter. The
  // request holds no separator, so the one after it is the candidate's first.
  if (detail) detail->rule = MATCH_RULE_EXTENSION;
  bool indexed = match_index_ready();
  if (indexed) {
    uint32_t first = NO_CANDIDATE;
    static const char16_t kSeparators[] = {u'?', u'#', u'=', u'@'};
    for (char16_t sep : kSeparators) {
      CandidateCursor cursor = match_index_heads(request, n, sep);
      uint32_t c = match_index_next(&cursor);
      if (c < first) first = c;
    }
    if (first != NO_CANDIDATE) return int32_t(first >> 1);
  } else {
    candidates_begin(st);
    while (candidates_next(st, &text, &index))
      if (same_prefix(text, request, n) && is_separator(text[n])) return index;
  }

  // Host rule: same scheme and path, host ending in the request's last two labels.
  UrlParts req;
  url_split_view(request, &req);
  if (!req.scheme || !req.host || !req.path) return -1;
  size_t last = req.host_len;
  while (last > 0 && req.host[last - 1] != u'.') --last;
  if (last == 0) return -1;
  size_t second = last - 1;
  while (second > 0 && req.host[second - 1] != u'.') --second;
  if (second == 0) return -1;
  const char16_t* suffix = req.host + second;
  size_t suffix_len = req.host_len - second;
  if (detail) {
    detail->rule = MATCH_RULE_HOST;
    detail->host_suffix = suffix;
    detail->host_suffix_length = int32_t(suffix_len);
  }
  if (indexed) {
    // Every candidate the cursor gives has the request's scheme and path.
    CandidateCursor cursor = match_index_paths(req.scheme, req.scheme_len, req.path, req.path_len);
    for (uint32_t c; (c = match_index_next(&cursor)) != NO_CANDIDATE;) {
      UrlParts parts;
      url_split_view(candidate_text(c), &parts);
      if (ends_with(parts.host, parts.host_len, suffix, suffix_len)) return int32_t(c >> 1);
    }
    return -1;
  }
  candidates_begin(st);
  while (candidates_next(st, &text, &index)) {
    UrlParts c;
    url_split_view(text, &c);
    if (!c.scheme || !c.host || !c.path) continue;
    if (same_text(c.scheme, c.scheme_len, req.scheme, req.scheme_len) &&
        same_text(c.path, c.path_len, req.path, req.path_len) &&
        ends_with(c.host, c.host_len, suffix, suffix_len))
      return index;
  }
  return -1;
}

}  // namespace

int32_t find_best_match(const char16_t* request) {
  if (!request) return -1;
  MatchDetail detail_storage;
  MatchDetail* detail = resolve_trace() ? &detail_storage : nullptr;
  if (detail) {
    std::memset(detail, 0, sizeof *detail);
    detail->prefix_winner = detail->param_winner = detail->token_winner = -1;
  }

  MatchState st;
  std::memset(&st, 0, sizeof st);
  reset_winners(&st);

  size_t n = 0;
  size_t sep_pos = SIZE_MAX;
  for (; request[n]; ++n)
    if (sep_pos == SIZE_MAX && is_separator(request[n])) sep_pos = n;

  int32_t result;
  if (sep_pos != SIZE_MAX) {
    st.param_text = request + sep_pos + 1;
    st.param_length = n - sep_pos - 1;
    if (detail) {
      detail->separator = request[sep_pos];
      detail->separator_pos = int32_t(sep_pos);
      detail->param_length = int32_t(st.param_length);
    }
    if (!build_pieces(&st)) {
      result = -1;
    } else {
      if (detail) detail->piece_count = int32_t(st.piece_count);
      result = search_with_separator(&st, request, sep_pos, detail);
    }
  } else {
    result = search_without_separator(&st, request, n, detail);
  }
  std::free(st.pieces);
  std::free(st.scratch);

  if (detail) {
    if (result < 0 && detail->rule == MATCH_RULE_EXTENSION) detail->rule = MATCH_RULE_NONE;
    ResolveEvent e{};
    e.kind = RESOLVE_EVENT_BEST_MATCH;
    e.url = request;
    e.result = result;
    e.match = detail;
    report_event(e);
  }
  return result;
}
