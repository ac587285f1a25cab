// Arbitrary bytes as UTF-16 units: the request, then table URLs and
// alternates, then a base URL and a POST body, separated by NUL units. The
// sanitizers judge; the only checks here are on index ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/player_state.h"
#include "resolve/best_match.h"
#include "resolve/resolve.h"
#include "resolve/trace.h"
#include "resolve/url_text.h"

namespace {

void ignore_event(void*, const ResolveEvent*) {}
const ResolveTrace kTrace{ignore_event, nullptr};

// Marks "no alternate URL" when it is a field's whole text.
constexpr char16_t kNone = 0xfffe;

void check(int32_t index) {
  if (index < -1 || index >= entry_count()) std::abort();
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
  int32_t count = int32_t(rest / 2 > 8 ? 8 : rest / 2);

  reset_player_state();
  if (count > 0 && alloc_resource_table(count)) {
    for (int32_t i = 0; i < count; ++i) {
      const char16_t* url = fields[1 + 2 * i];
      const char16_t* alt = fields[2 + 2 * i];
      size_t n = 0;
      while (url[n]) ++n;
      if (!(control & 1) || i > 0) set_entry_url(url, i, int32_t(n));  // else: an entry with no URL
      if (!(alt[0] == kNone && alt[1] == 0)) {
        size_t m = 0;
        while (alt[m]) ++m;
        set_entry_alternate_url(alt, i, int32_t(m));
      }
      if (control & 2) set_entry_post_key("QQ==", i, 4);
    }
  }
  size_t used = 1 + 2 * size_t(count);
  if (used < fields.size() && !(control & 4)) {
    size_t n = 0;
    while (fields[used][n]) ++n;
    set_base_url(wstr_ndup(fields[used], int32_t(n)));
  }
  set_playback_mode(control >> 6);
  set_resolve_trace(control & 8 ? &kTrace : nullptr);

  char* key = nullptr;
  if (base64_encode(data, uint32_t(size), &key) < 0) key = nullptr;
  const char* use_key = control & 16 ? key : nullptr;

  check(find_best_match(request));
  check(find_exact_entry(request, use_key));
  check(resolve_in_post_mode(request, use_key));
  int32_t index = 0;
  if (resolve_with_key(request, use_key, &index) != url_is_served(request)) std::abort();
  check(index);
  if (base_url()) check(resolve_relative(base_url(), request, use_key));

  std::free(url_directory(request));
  std::free(url_scheme(request));
  char16_t *s, *h, *p;
  url_split(request, &s, &h, &p);
  std::free(s);
  std::free(h);
  std::free(p);

  std::free(key);
  set_resolve_trace(nullptr);
  reset_player_state();
  drop_exact_index();
  return 0;
}
