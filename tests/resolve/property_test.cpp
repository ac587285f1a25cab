// Random tables and requests: the lookups agree with plain reference loops
// written from the rules, with the exact-lookup index on and off.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "resolve/best_match.h"
#include "resolve/trace.h"
#include "resolve/url_text.h"
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;
using u16 = std::u16string;

struct RefEntry {
  std::optional<u16> url, alternate;
  std::optional<std::string> key;
};

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

bool eq_nocase(const u16& a, const u16& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool key_eq_nocase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int ref_exact(const std::vector<RefEntry>& t, const u16& url, const std::string* key) {
  for (bool fold : {false, true})
    for (size_t i = 0; key && i < t.size(); ++i) {
      const RefEntry& e = t[i];
      if (!e.key || !(fold ? key_eq_nocase(*e.key, *key) : *e.key == *key)) continue;
      if ((e.url && eq_nocase(*e.url, url)) || (e.alternate && eq_nocase(*e.alternate, url))) return int(i);
    }
  for (size_t i = 0; i < t.size(); ++i) {
    const RefEntry& e = t[i];
    if ((e.url && eq_nocase(*e.url, url)) || (e.alternate && eq_nocase(*e.alternate, url))) return int(i);
  }
  return -1;
}

std::vector<u16> cut(const u16& s) {
  std::vector<u16> out;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == u'&') {
      if (i > start) out.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  out.push_back(s.substr(start));
  return out;
}

bool alnum(const u16& s) {
  for (char16_t c : s)
    if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))) return false;
  return true;
}

struct Split {
  std::optional<u16> scheme, host, path;
};

Split ref_split(const u16& url) {
  Split s;
  if (url.empty()) return s;
  u16 rest;
  size_t colon = url.find(u':'), slash = url.find(u'/');
  bool win = url.size() >= 3 && ((url[1] == u':' && url[2] == u'\\') || (url[0] == u'\\' && url[1] == u'\\'));
  if (win) {
    s.scheme = u"file:";
    rest = url;
  } else if (colon != u16::npos && (slash == u16::npos || slash > colon)) {
    s.scheme = url.substr(0, colon + 1);
    size_t p = colon + 1;
    while (p < url.size() && url[p] == u'/') ++p;
    rest = url.substr(p);
  } else {
    rest = url;
  }
  if (s.scheme && *s.scheme == u"file:") {
    size_t bs = rest.rfind(u'\\');
    if (bs != u16::npos) {
      s.host = rest.substr(0, bs);
      s.path = rest.substr(bs);
    }
    return s;
  }
  size_t sl = rest.find(u'/');
  u16 host = sl == u16::npos ? rest : rest.substr(0, sl);
  s.path = sl == u16::npos ? u16(u"/") : rest.substr(sl);
  size_t at = host.find(u'@');
  if (at != u16::npos) host = host.substr(at + 1);
  size_t c = host.find(u':');
  if (c != u16::npos) host = host.substr(0, c);
  s.host = host;
  return s;
}

int ref_best(const std::vector<RefEntry>& t, const u16& r) {
  std::vector<std::pair<u16, int>> cands;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].url) cands.push_back({*t[i].url, int(i)});
    if (t[i].alternate) cands.push_back({*t[i].alternate, int(i)});
  }
  size_t sep = r.find_first_of(u"?=@#");
  if (sep != u16::npos) {
    u16 T = r.substr(sep + 1);
    std::vector<u16> pieces = cut(T);
    bool single = pieces.size() == 1 && alnum(pieces[0]);
    int64_t plen = 0, k = 0;
    int pw = -1, kw = -1, tw = -1;
    auto score = [&](const u16& c, int i) {
      u16 d = c;
      for (size_t p; (p = d.find(u"&amp;")) != u16::npos;) d.replace(p, 5, u"&");
      int64_t l = 0;
      while (size_t(l) < T.size() && size_t(l) < d.size() && T[l] == d[l]) ++l;
      if (l > plen) plen = l, pw = i;
      int64_t count = 0;
      for (const u16& p : cut(d))
        for (const u16& q : pieces)
          if (p == q) {
            ++count;
            break;
          }
      if (count > k) k = count, kw = i;
      if (single && tw < 0 && alnum(c)) tw = i;
    };
    auto pick = [&]() {
      if (pw < 0) return kw >= 0 ? kw : tw;
      if (kw < 0) return pw;
      return k * int64_t(T.size()) >= plen * int64_t(pieces.size()) ? kw : pw;
    };
    size_t p = sep + 1;
    for (auto& [c, i] : cands)
      if (c.size() >= p && c.compare(0, p, r, 0, p) == 0) score(c.substr(p), i);
    int res = pick();
    if (res >= 0) return res;
    size_t slash = r.rfind(u'/', sep);
    if (slash == u16::npos) return -1;
    size_t q = slash + 1;
    plen = k = 0;
    pw = kw = tw = -1;
    for (auto& [c, i] : cands) {
      if (c.size() < q || c.compare(0, q, r, 0, q) != 0) continue;
      size_t f = c.find(r[sep], q);
      if (f != u16::npos) score(c.substr(f + 1), i);
    }
    return pick();
  }
  size_t n = r.size();
  for (auto& [c, i] : cands)
    if (c.size() > n && c.compare(0, n, r) == 0 && u16(u"?#=@").find(c[n]) != u16::npos) return i;
  Split rs = ref_split(r);
  if (!rs.scheme || !rs.host || !rs.path) return -1;
  size_t last = rs.host->rfind(u'.');
  if (last == u16::npos || last == 0) return -1;
  size_t second = rs.host->rfind(u'.', last - 1);
  if (second == u16::npos) return -1;
  u16 suffix = rs.host->substr(second + 1);
  for (auto& [c, i] : cands) {
    Split cs = ref_split(c);
    if (!cs.scheme || !cs.host || !cs.path) continue;
    if (*cs.scheme == *rs.scheme && *cs.path == *rs.path && cs.host->size() >= suffix.size() &&
        cs.host->compare(cs.host->size() - suffix.size(), suffix.size(), suffix) == 0)
      return i;
  }
  return -1;
}

// Small vocabularies so that prefixes, pieces and ties collide often.
const char16_t* const kFragments[] = {
    u"http://", u"https://", u"HTTP://", u"file:", u"C:\\", u"www.", u"cdn.", u"ex.test", u"Ex.Test",
    u"/",       u"/v/",      u"a.swf",   u"A.swf", u"?",    u"&",    u"=",    u"#",       u"@",
    u"&amp;",   u"amp;",     u"a=1",     u"b=2",   u"1",    u"x",    u"\\",   u":",       u".",
    u"\u00e9",  u"\xd800",   u"\xffff",  u"..",
};
const char* const kKeys[] = {"QQ==", "qq==", "Qg==", "", "QUJD", "qQ=="};

u16 random_text(std::mt19937& rng, int max_parts) {
  u16 s;
  int parts = std::uniform_int_distribution<int>(0, max_parts)(rng);
  for (int i = 0; i < parts; ++i)
    s += kFragments[std::uniform_int_distribution<size_t>(0, std::size(kFragments) - 1)(rng)];
  return s;
}

class PropertyTest : public ResolveTest {
 protected:
  std::mt19937 rng{20240611};
  std::vector<RefEntry> ref;
  std::vector<u16> pool;

  void random_table() {
    pool.clear();
    int distinct = std::uniform_int_distribution<int>(1, 30)(rng);
    for (int i = 0; i < distinct; ++i) pool.push_back(random_text(rng, 6));
    int count = std::uniform_int_distribution<int>(0, 80)(rng);
    ref.assign(size_t(count), RefEntry{});
    std::vector<Row> rows(static_cast<size_t>(count), Row{nullptr});
    for (int i = 0; i < count; ++i) {
      auto pick = [&] { return pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng)]; };
      ref[i].url = pick();
      if (rng() % 3 == 0) ref[i].alternate = pick();
      if (rng() % 3 == 0) ref[i].key = kKeys[rng() % std::size(kKeys)];
    }
    for (int i = 0; i < count; ++i) {
      rows[i].url = ref[i].url->c_str();
      rows[i].alternate = ref[i].alternate ? ref[i].alternate->c_str() : nullptr;
      rows[i].key = ref[i].key ? ref[i].key->c_str() : nullptr;
    }
    load_table(rows);
  }

  u16 random_request() {
    // Sometimes another name in a table URL's directory with a token after
    // its separator: pass 2 with a lone token.
    if (!pool.empty() && rng() % 5 == 0) {
      u16 s = pool[rng() % pool.size()];
      size_t sep = s.find_first_of(u"?=@#");
      size_t slash = sep == u16::npos ? u16::npos : s.rfind(u'/', sep);
      if (slash != u16::npos) return s.substr(0, slash + 1) + u"zz" + s[sep] + (rng() % 2 ? u"1" : u"y7");
    }
    // Half the time a table URL, perhaps with its case or tail changed.
    if (!pool.empty() && rng() % 2) {
      u16 s = pool[rng() % pool.size()];
      if (rng() % 2)
        for (char16_t& c : s)
          if (rng() % 2) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
      if (rng() % 3 == 0 && !s.empty()) s.resize(rng() % s.size());
      if (rng() % 3 == 0) s += random_text(rng, 2);
      return s;
    }
    return random_text(rng, 8);
  }
};

TEST_F(PropertyTest, ExactLookupMatchesReferenceWithAndWithoutIndex) {
  for (int round = 0; round < 400; ++round) {
    random_table();
    for (int q = 0; q < 40; ++q) {
      u16 req = random_request();
      std::string key = kKeys[rng() % std::size(kKeys)];
      const std::string* k = rng() % 2 ? &key : nullptr;
      int expected = ref_exact(ref, req, k);
      set_exact_index_enabled(true);
      EXPECT_EQ(find_exact_entry(req.c_str(), k ? k->c_str() : nullptr), expected) << narrow(req);
      set_exact_index_enabled(false);
      EXPECT_EQ(find_exact_entry(req.c_str(), k ? k->c_str() : nullptr), expected) << narrow(req);
    }
  }
}

// Counts the rules and picks that decided, so that the random tables are
// known to reach every one of them.
struct RuleCounter {
  int hits[MATCH_RULE_HOST + 1][MATCH_PICK_TOKEN + 1] = {};
  ResolveTrace trace{&RuleCounter::on_event, this};
  static void on_event(void* context, const ResolveEvent* e) {
    if (e->kind == RESOLVE_EVENT_BEST_MATCH && e->result >= 0)
      ++static_cast<RuleCounter*>(context)->hits[e->match->rule][e->match->pick];
  }
};

TEST_F(PropertyTest, BestMatchMatchesReferenceWithAndWithoutIndex) {
  RuleCounter counter;
  set_resolve_trace(&counter.trace);
  for (int round = 0; round < 400; ++round) {
    random_table();
    for (int q = 0; q < 40; ++q) {
      u16 req = random_request();
      int expected = ref_best(ref, req);
      for (bool indexed : {true, false}) {
        set_exact_index_enabled(indexed);
        ASSERT_EQ(find_best_match(req.c_str()), expected) << narrow(req) << (indexed ? " indexed" : "");
      }
    }
  }
  const auto& h = counter.hits;
  for (int pick : {MATCH_PICK_PREFIX, MATCH_PICK_PARAMETER, MATCH_PICK_TOKEN}) {
    EXPECT_GT(h[MATCH_RULE_PASS1][pick], 0) << "pass 1, pick " << pick;
    EXPECT_GT(h[MATCH_RULE_PASS2][pick], 0) << "pass 2, pick " << pick;
  }
  EXPECT_GT(h[MATCH_RULE_EXTENSION][MATCH_PICK_NONE], 0);
  EXPECT_GT(h[MATCH_RULE_HOST][MATCH_PICK_NONE], 0);
}

TEST_F(PropertyTest, IndexFollowsTableChanges) {
  random_table();
  for (int round = 0; round < 200; ++round) {
    if (ref.empty()) {
      random_table();
      continue;
    }
    // Rewrite one entry through the setters; the index must notice.
    size_t i = rng() % ref.size();
    u16 url = random_text(rng, 4);
    ref[i].url = url;
    ASSERT_GE(set_entry_url(url.c_str(), int32_t(i), u16len(url.c_str())), 0);
    for (int q = 0; q < 10; ++q) {
      u16 req = rng() % 2 ? url : random_request();
      EXPECT_EQ(find_exact_entry(req.c_str(), nullptr), ref_exact(ref, req, nullptr)) << narrow(req);
    }
  }
}

TEST_F(PropertyTest, PostModeResolutionMatchesReference) {
  const char16_t* bases[] = {u"http://ex.test/v/a/", u"http://ex.test/v", u"/", u"", nullptr};
  for (int round = 0; round < 200; ++round) {
    random_table();
    const char16_t* base = bases[rng() % std::size(bases)];
    set_base(base);
    for (int q = 0; q < 20; ++q) {
      u16 req = random_request();
      auto lookup = [&](const u16& u) {
        int i = ref_exact(ref, u, nullptr);
        return i >= 0 ? i : ref_best(ref, u);
      };
      auto walk = [&](const u16& rel) {
        if (!base) return -1;
        u16 p = base;
        for (;;) {
          int i = lookup(p + rel);
          if (i >= 0) return i;
          if (p.size() <= 1) return -1;
          char16_t* q = url_directory(p.substr(0, p.size() - 1).c_str());
          u16 next = q ? u16(q) : u16();
          std::free(q);
          if (next.empty() || next == p) return -1;
          p = next;
        }
      };
      int expected;
      int32_t scheme = url_scheme_length(req.c_str());
      if (scheme < 0) {
        expected = walk(req);
      } else {
        expected = lookup(req);
        if (expected < 0 && base) {
          int32_t b = url_common_prefix(base, req.c_str());
          if (b > scheme + 2) expected = walk(req.substr(size_t(b)));
        }
      }
      for (bool indexed : {true, false}) {
        set_exact_index_enabled(indexed);
        EXPECT_EQ(resolve_in_post_mode(req.c_str(), nullptr), expected)
            << narrow(base) << " + " << narrow(req) << (indexed ? " indexed" : "");
      }
    }
  }
}

}  // namespace
