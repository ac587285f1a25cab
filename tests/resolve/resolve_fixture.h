// Shared helpers for the resolution tests: tables from rows, a recorder of
// resolution events, and UTF-16 text for failure messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/text.h"
#include "package/player_state.h"
#include "resolve/resolve.h"
#include "resolve/trace.h"

namespace resolve_test {

struct Row {
  const char16_t* url;
  const char16_t* alternate = nullptr;
  const char* key = nullptr;
};

inline int32_t u16len(const char16_t* s) { return int32_t(std::char_traits<char16_t>::length(s)); }

inline void load_table(const std::vector<Row>& rows) {
  reset_player_state();
  if (rows.empty()) return;
  ASSERT_NE(alloc_resource_table(int32_t(rows.size())), nullptr);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    if (r.url) {
      ASSERT_GE(set_entry_url(r.url, int32_t(i), u16len(r.url)), 0);
    }
    if (r.alternate) {
      ASSERT_GE(set_entry_alternate_url(r.alternate, int32_t(i), u16len(r.alternate)), 0);
    }
    if (r.key) {
      ASSERT_GE(set_entry_post_key(r.key, int32_t(i), int32_t(std::strlen(r.key))), 0);
    }
  }
}

// The setter takes the block over without freeing the one it replaces.
inline void set_base(const char16_t* base) {
  std::free(const_cast<char16_t*>(base_url()));
  set_base_url(base ? text::dup(base) : nullptr);
}

inline std::string narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7f) {
      out += char(c);
    } else {
      char buf[12];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
      out += buf;
    }
  }
  return out;
}
inline std::string narrow(const char16_t* s) { return s ? narrow(std::u16string(s)) : "(none)"; }

// Takes ownership of a malloc'd result and gives it back as a string; "(none)" for null.
inline std::string take(char16_t* s) {
  std::string out = narrow(s);
  std::free(s);
  return out;
}

// Records every URL looked up exactly (the order of attempts) and the
// events themselves.
struct Recorder {
  std::vector<std::u16string> exact_urls;
  std::vector<ResolveEvent> events;
  std::vector<MatchDetail> matches;
  ResolveTrace trace{&Recorder::on_event, this};

  Recorder() { set_resolve_trace(&trace); }
  ~Recorder() { set_resolve_trace(nullptr); }

  static void on_event(void* context, const ResolveEvent* e) {
    auto* self = static_cast<Recorder*>(context);
    if (e->kind == RESOLVE_EVENT_EXACT) self->exact_urls.emplace_back(e->url);
    self->events.push_back(*e);
    self->events.back().url = nullptr;  // views die with the call
    if (e->match) self->matches.push_back(*e->match);
  }
};

class ResolveTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_resolve_trace(nullptr);
    set_exact_index_enabled(true);
    reset_player_state();
    drop_exact_index();
  }
};

}  // namespace resolve_test
