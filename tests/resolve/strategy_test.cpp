#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "resolve/resolve.h"
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;

class StrategyTest : public ResolveTest {};

std::vector<std::string> narrow_all(const std::vector<std::u16string>& v) {
  std::vector<std::string> out;
  for (auto& s : v) out.push_back(narrow(s));
  return out;
}

TEST_F(StrategyTest, SchemeFilter) {
  const struct { const char16_t* url; bool served; } cases[] = {
      {u"HTTP://example.test/a.swf", true}, {u"https://example.test/a.swf", true},
      {u"HtTpS://example.test/a.swf", true}, {u"file:///C:/a.swf", true},
      {u"C:\\a.swf", true},                 {u"\\\\srv\\a.swf", true},
      {u"a.swf", true},                     {u"dir/a:b.swf", true},
      {u"ftp://example.test/a.swf", false}, {u"mailto:someone", false},
      {u"javascript:void(0)", false},       {u"http:", true},
      {u"htt:", false},                     {u"httpss:", false},
      {u"h\u0130tp:", false},               {u"", false},
      {nullptr, false},
  };
  load_table({{u"a.swf"}});
  for (int mode = 0; mode <= 2; ++mode) {
    set_playback_mode(mode);
    for (const auto& c : cases) {
      EXPECT_EQ(url_is_served(c.url), c.served) << narrow(c.url);
      int32_t index = 7;
      EXPECT_EQ(resolve_with_key(c.url, nullptr, &index), c.served) << narrow(c.url);
      if (!c.served) {
        EXPECT_EQ(index, -1);
      }
    }
  }
}

TEST_F(StrategyTest, ModesZeroAndOneLookUpExactly) {
  load_table({{u"http://example.test/A.swf", u"images/a.png"},
              {u"http://example.test/data.xml?r=1"},
              {u"http://example.test/site/swf/img/p.png"}});
  set_base(u"http://example.test/site/swf/");
  const struct { const char16_t* url; int32_t index; } cases[] = {
      {u"HTTP://EXAMPLE.TEST/a.SWF", 0},
      {u"images/a.png", 0},
      {u"IMAGES/A.PNG", 0},
      {u"img/p.png", -1},                       // no base URL walk
      {u"http://example.test/data.xml", -1},    // no best match
      {u"http://example.test/img/p.png", -1},   // no relocation
  };
  for (int mode = 0; mode <= 1; ++mode) {
    set_playback_mode(mode);
    for (const auto& c : cases) {
      int32_t index = 7;
      ASSERT_TRUE(resolve_with_key(c.url, "QQ==", &index));
      EXPECT_EQ(index, c.index) << mode << " " << narrow(c.url);
    }
  }
}

TEST_F(StrategyTest, ExactLookupFoldsOnlyAsciiLetters) {
  load_table({{u"http://x/\u00c9"}, {u"http://x/\u00e9"}, {u"http://x/[", nullptr}});
  EXPECT_EQ(find_exact_entry(u"http://x/\u00e9", nullptr), 1);
  EXPECT_EQ(find_exact_entry(u"http://x/{", nullptr), -1);  // "[" + 32
  EXPECT_EQ(find_exact_entry(u"HTTP://X/[", nullptr), 2);
}

struct WalkCase {
  const char16_t* base;
  const char16_t* request;
  std::vector<Row> entries;
  std::vector<std::u16string> attempts;
  int32_t result;
};

TEST_F(StrategyTest, PostModeWalkAndRelocation) {
  const WalkCase cases[] = {
      {u"http://example.test/site/swf/", u"data/a.xml", {{u"http://example.test/data/a.xml"}},
       {u"http://example.test/site/swf/data/a.xml", u"http://example.test/site/data/a.xml",
        u"http://example.test/data/a.xml"},
       0},
      {u"http://example.test/site/swf/", u"../data/a.xml", {{u"http://example.test/data/a.xml"}},
       {u"http://example.test/site/swf/../data/a.xml", u"http://example.test/site/../data/a.xml",
        u"http://example.test/../data/a.xml"},
       -1},
      {u"http://example.test/site/swf/", u"http://example.test/img/p.png",
       {{u"http://example.test/site/swf/img/p.png"}},
       {u"http://example.test/img/p.png", u"http://example.test/site/swf/img/p.png"},
       0},
      {u"http://example.test/site/swf/", u"http://other.test/img/p.png",
       {{u"http://example.test/site/swf/img/p.png"}},
       {u"http://other.test/img/p.png"},
       -1},
      {u"http://example.test/site/swf/", u"https://example.test/site/swf/img/p.png",
       {{u"http://example.test/site/swf/img/p.png"}},
       {u"https://example.test/site/swf/img/p.png"},
       -1},
      // Without the trailing "/", the base is used as it is once.
      {u"http://example.test/site/swf", u"x.xml", {{u"http://example.test/x.xml"}},
       {u"http://example.test/site/swfx.xml", u"http://example.test/site/x.xml",
        u"http://example.test/x.xml"},
       0},
      {u"http://example.test/site/swf", u"x.xml", {{u"http://example.test/y.xml"}},
       {u"http://example.test/site/swfx.xml", u"http://example.test/site/x.xml",
        u"http://example.test/x.xml"},
       -1},
      // Relocation cuts wherever the common prefix ends, even inside a segment.
      {u"http://example.test/site/swf/", u"http://example.test/sx/a.png",
       {{u"http://example.test/site/swf/x/a.png"}},
       {u"http://example.test/sx/a.png", u"http://example.test/site/swf/x/a.png"},
       0},
      // A base URL of one character is tried once.
      {u"/", u"a.swf", {{u"a.swf"}}, {u"/a.swf"}, -1},
      {u"/", u"a.swf", {{u"/a.swf"}}, {u"/a.swf"}, 0},
      // An empty base joins to the request itself, once.
      {u"", u"a.swf", {{u"a.swf"}}, {u"a.swf"}, 0},
      // No base: relative requests and relocation find nothing.
      {nullptr, u"a.swf", {{u"a.swf"}}, {}, -1},
      {nullptr, u"http://example.test/a.png", {{u"http://example.test/site/a.png"}},
       {u"http://example.test/a.png"}, -1},
      // The walk also tries the best match at each level.
      {u"http://example.test/site/swf/", u"data/a.xml", {{u"http://example.test/site/data/a.xml?v=2"}},
       {u"http://example.test/site/swf/data/a.xml", u"http://example.test/site/data/a.xml"},
       0},
      // A drive-letter request's scheme counts as "file:" (5 units).
      {u"C:\\d\\", u"C:\\e", {{u"C:\\d\\e"}}, {u"C:\\e"}, -1},
      {u"C:\\dir\\sub\\", u"C:\\dir\\sx", {{u"C:\\dir\\sub\\x"}},
       {u"C:\\dir\\sx", u"C:\\dir\\sub\\x"}, 0},
  };
  for (const WalkCase& c : cases) {
    load_table(c.entries);
    set_playback_mode(PLAYBACK_PAGE_POST);
    set_base(c.base);
    Recorder rec;
    int32_t index = 7;
    ASSERT_TRUE(resolve_with_key(c.request, nullptr, &index));
    EXPECT_EQ(index, c.result) << narrow(c.base) << " + " << narrow(c.request);
    EXPECT_EQ(narrow_all(rec.exact_urls), narrow_all(c.attempts)) << narrow(c.request);
  }
}

TEST_F(StrategyTest, PostKeysDecideBetweenEntriesOfOneUrl) {
  char* k1 = nullptr;
  char* k2 = nullptr;
  ASSERT_GT(base64_encode("first body", 10, &k1), 0);
  ASSERT_GT(base64_encode("second body", 11, &k2), 0);
  load_table({{u"http://example.test/gw.php", nullptr, k1}, {u"http://example.test/gw.php", nullptr, k2}});
  set_playback_mode(PLAYBACK_PAGE_POST);
  std::string k2_swapped = k2;
  for (char& ch : k2_swapped)
    if (ch >= 'a' && ch <= 'z') ch = char(ch - 32);
    else if (ch >= 'A' && ch <= 'Z') ch = char(ch + 32);
  ASSERT_NE(k2_swapped, k2);
  const struct { const char* key; int32_t index; } cases[] = {
      {k2, 1}, {k2_swapped.c_str(), 1}, {k1, 0}, {"bm9uZQ==", 0}, {nullptr, 0}, {"", 0},
  };
  for (const auto& c : cases) {
    int32_t index = 7;
    ASSERT_TRUE(resolve_with_key(u"HTTP://example.test/GW.php", c.key, &index));
    EXPECT_EQ(index, c.index) << (c.key ? c.key : "(none)");
  }
  std::free(k1);
  std::free(k2);
}

TEST_F(StrategyTest, KeyedPassLooksAtAlternateUrlsAndSkipsUnkeyedEntries) {
  load_table({{u"http://x/a"}, {u"http://x/b", u"http://x/a", "S0s="}, {u"http://x/a", nullptr, "S0s="}});
  Recorder rec;
  EXPECT_EQ(find_exact_entry(u"http://x/a", "s0S="), 1);
  EXPECT_EQ(rec.events.back().exact_pass, EXACT_PASS_KEYED_FOLDED);
  EXPECT_EQ(find_exact_entry(u"http://x/a", "other"), 0);
  EXPECT_EQ(rec.events.back().exact_pass, EXACT_PASS_PLAIN);
}

// eD1J is the body x=I and eD1j the body x=c: base64 letters of another case
// are other bytes, so a key in the same letter case wins over a folded one.
TEST_F(StrategyTest, KeysInTheSameLetterCaseComeFirst) {
  std::vector<Row> rows = {{u"http://x/gw", nullptr, "eD1J"},
                           {u"http://x/GW", nullptr, "eD1j"},
                           {u"http://x/gw", nullptr, "QQ=="}};
  std::vector<std::u16string> fillers;
  for (int i = 0; i < 40; ++i) fillers.push_back(u"http://x/f" + std::u16string(size_t(i + 1), u'f'));
  for (const auto& f : fillers) rows.push_back({f.c_str()});  // past the index's threshold
  load_table(rows);
  set_playback_mode(PLAYBACK_PAGE_POST);
  const struct { const char* key; int32_t index, pass; } cases[] = {
      {"eD1J", 0, EXACT_PASS_KEYED},        {"eD1j", 1, EXACT_PASS_KEYED},
      {"ED1J", 0, EXACT_PASS_KEYED_FOLDED}, {"qq==", 2, EXACT_PASS_KEYED_FOLDED},
      {"eD1x", 0, EXACT_PASS_PLAIN},
  };
  for (bool indexed : {false, true}) {
    set_exact_index_enabled(indexed);
    for (const auto& c : cases) {
      Recorder rec;
      int32_t index = 7;
      ASSERT_TRUE(resolve_with_key(u"http://X/gw", c.key, &index));
      EXPECT_EQ(index, c.index) << c.key << (indexed ? " indexed" : " walked");
      EXPECT_EQ(rec.events.back().exact_pass, c.pass) << c.key;
    }
  }
}

TEST_F(StrategyTest, Base64LengthsAndFill) {
  const struct { const char* in; uint32_t n; const char* out; } cases[] = {
      {"", 0, ""},        {"f", 1, "Zg=="},        {"fo", 2, "Zm8="},
      {"foo", 3, "Zm9v"}, {"foob", 4, "Zm9vYg=="}, {"fooba", 5, "Zm9vYmE="},
      {"foobar", 6, "Zm9vYmFy"}, {"\xff\xfe\xfd", 3, "//79"}, {"\0\0", 2, "AAA="},
  };
  for (const auto& c : cases) {
    char* out = nullptr;
    EXPECT_EQ(base64_encode(c.in, c.n, &out), int32_t(std::strlen(c.out)));
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, c.out);
    std::free(out);
  }
}

TEST_F(StrategyTest, Base64TooLargeGivesMinusOne) {
  char* out = reinterpret_cast<char*>(1);
  // The text would not fit in 32 bits; nothing is read from the input.
  EXPECT_EQ(base64_encode("", 0xffffffffu, &out), -1);
  EXPECT_EQ(out, nullptr);
}

TEST_F(StrategyTest, HostileRequestsOfAnyUnits) {
  std::vector<Row> rows = {{u""}, {nullptr}, {u"http://example.test/site/swf/a.swf?x=1", u""},
                           {u"?", nullptr, "QQ=="}, {u"http://a.example.test/p"}};
  load_table(rows);
  set_playback_mode(PLAYBACK_PAGE_POST);
  std::mt19937 rng(7);
  const char16_t* bases[] = {u"http://example.test/site/swf/", u"h", u"", nullptr};
  for (const char16_t* base : bases) {
    set_base(base);
    for (size_t length : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(1000), size_t(100000)}) {
      std::u16string req;
      for (size_t i = 0; i < length; ++i) {
        char16_t c = char16_t(rng());
        const char16_t specials[] = u"/?&=@#:.\\\xffff\xd800\xdfff";
        if (rng() % 2) c = specials[rng() % 12];
        req += c ? c : u'x';
      }
      // Some requests start like the base URL so that relocation runs.
      if (length > 40 && rng() % 2) req.replace(0, 20, u"http://example.test/");
      int32_t index = 7;
      resolve_with_key(req.c_str(), "QQ==", &index);
      EXPECT_GE(index, -1);
      EXPECT_LT(index, 5);
    }
  }
}

}  // namespace
