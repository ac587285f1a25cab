// Arbitrary bytes as UTF-16 units: the request, then table URLs and
// alternates, then a base URL and a POST body, separated by NUL units. The
// sanitizers judge; every answer and every traced step must be the same
// with the lookup index and without it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/player_state.h"
#include "resolve/best_match.h"
#include "resolve/resolve.h"
#include "resolve/trace.h"
#include "resolve/url_text.h"

namespace {

// Marks "no alternate URL" when it is a field's whole text.
constexpr char16_t kNone = 0xfffe;
// Past the threshold from which the lookups use an index.
constexpr int32_t kLargeTable = 40;
constexpr size_t kMaxPairs = 64;
constexpr size_t kMaxBody = 256;

// Every step that resolution reports, as numbers.
std::vector<int64_t> g_steps;

void record(void*, const ResolveEvent* e) {
  auto add = [](int64_t v) { g_steps.push_back(v); };
  add(e->kind), add(e->result), add(e->exact_pass), add(e->attempt), add(e->common_prefix);
  if (const MatchDetail* m = e->match) {
    add(m->rule), add(m->separator), add(m->separator_pos), add(m->param_length);
    add(m->piece_count), add(m->prefix_winner), add(m->prefix_length), add(m->param_winner);
    add(m->param_count), add(m->token_winner), add(m->pick), add(m->host_suffix_length);
  }
}
const ResolveTrace kTrace{record, nullptr};

void check(int32_t index) {
  if (index < -1 || index >= entry_count()) std::abort();
}

size_t units_length(const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Every lookup of one input, with its answers appended to the steps.
void resolve_all(const char16_t* request, const char* key, bool traced) {
  set_resolve_trace(traced ? &kTrace : nullptr);
  int32_t answers[6];
  answers[0] = find_best_match(request);
  answers[1] = find_exact_entry(request, key);
  answers[2] = resolve_in_post_mode(request, key);
  answers[3] = 0;
  if (resolve_with_key(request, key, &answers[3]) != url_is_served(request)) std::abort();
  answers[4] = base_url() ? resolve_relative(base_url(), request, key) : -1;
  answers[5] = find_exact_entry(request, nullptr);
  set_resolve_trace(nullptr);
  for (int32_t a : answers) {
    check(a);
    g_steps.push_back(a);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t control = data[0];
  std::vector<char16_t> units((size - 1) / 2 + 1, 0);
  std::memcpy(units.data(), data + 1, (size - 1) / 2 * 2);

  // Fields: the NUL-separated texts, each terminated in place.
  std::vector<const char16_t*> fields;
  size_t start = 0;
  for (size_t i = 0; i < units.size(); ++i)
    if (units[i] == 0) {
      fields.push_back(&units[start]);
      start = i + 1;
    }
  const char16_t* request = fields[0];
  size_t rest = fields.size() - 1;
  // The fields after the pairs: a base URL, then a POST body.
  size_t pairs = rest ? (rest - 1) / 2 : 0;
  if (pairs > kMaxPairs) pairs = kMaxPairs;
  size_t used = 1 + 2 * pairs;
  const char16_t* base = used < fields.size() ? fields[used] : nullptr;
  const char16_t* body = used + 1 < fields.size() ? fields[used + 1] : nullptr;

  // The request's key, and entry keys cut from the same body so that they
  // match it, in its letter case or another.
  std::string body_bytes;
  if (body)
    body_bytes.assign(reinterpret_cast<const char*>(body), units_length(body) * 2);
  else
    body_bytes.assign(reinterpret_cast<const char*>(data), size);
  if (body_bytes.size() > kMaxBody) body_bytes.resize(kMaxBody);
  char* key = nullptr;
  if (base64_encode(body_bytes.data(), uint32_t(body_bytes.size()), &key) < 0) key = nullptr;
  const char* use_key = control & 16 ? key : nullptr;

  // A large table repeats the pairs, so that equal texts tie.
  int32_t count = int32_t(pairs);
  if ((control & 32) && pairs > 0) count = kLargeTable;

  reset_player_state();
  if (count > 0 && alloc_resource_table(count)) {
    for (int32_t i = 0; i < count; ++i) {
      const char16_t* url = fields[1 + 2 * (size_t(i) % pairs)];
      const char16_t* alt = fields[2 + 2 * ((size_t(i) / pairs + size_t(i)) % pairs)];
      if (!(control & 1) || i > 0) set_entry_url(url, i, int32_t(units_length(url)));  // else: no URL
      if (!(alt[0] == kNone && alt[1] == 0))
        set_entry_alternate_url(alt, i, int32_t(units_length(alt)));
      if (control & 2) {
        size_t cut = size_t(i) % (body_bytes.size() + 1);
        char* k = nullptr;
        int32_t n = base64_encode(body_bytes.data() + cut, uint32_t(body_bytes.size() - cut), &k);
        if (n >= 0) {
          if (i & 1)
            for (int32_t j = 0; j < n; ++j)
              if ((k[j] >= 'a' && k[j] <= 'z') || (k[j] >= 'A' && k[j] <= 'Z')) k[j] ^= 0x20;
          set_entry_post_key(k, i, n);
        }
        std::free(k);
      }
    }
  }
  if (base && !(control & 4)) set_base_url(wstr_ndup(base, int32_t(units_length(base))));
  set_playback_mode(control >> 6);

  g_steps.clear();
  set_exact_index_enabled(true);
  resolve_all(request, use_key, control & 8);
  std::vector<int64_t> indexed;
  indexed.swap(g_steps);
  set_exact_index_enabled(false);
  resolve_all(request, use_key, control & 8);
  if (g_steps != indexed) std::abort();
  set_exact_index_enabled(true);

  std::free(url_directory(request));
  std::free(url_scheme(request));
  char16_t *s, *h, *p;
  url_split(request, &s, &h, &p);
  std::free(s);
  std::free(h);
  std::free(p);

  std::free(key);
  reset_player_state();
  drop_exact_index();
  return 0;
}
