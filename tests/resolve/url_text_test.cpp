#include <gtest/gtest.h>

#include <cstdlib>

#include "resolve/url_text.h"
#include "resolve_fixture.h"

namespace {

using resolve_test::narrow;
using resolve_test::take;

TEST(UrlDirectory, Table) {
  const struct { const char16_t* in; const char16_t* out; } cases[] = {
      {u"http://example.test", u"http://example.test/"},
      {u"http://example.test/a/b.swf?x=1#y", u"http://example.test/a/"},
      {u"http://example.test/a/", u"http://example.test/a/"},
      {u"http://example.test/a/b?c/d", u"http://example.test/a/"},
      {u"http://example.test/a/b#c/d", u"http://example.test/a/"},
      {u"movie.swf", u"movie.swf/"},
      {u"/movie.swf", u"/movie.swf/"},
      {u"?a/b", u"?a/"},
      {u"#a/b", u"#a/"},
      {u"#a/b#c/d", u"#a/b#c/"},
      {u"C:\\d\\m.swf", u"C:\\d\\m.swf/"},
      {u"\\\\srv\\share\\m.swf", u"\\\\srv\\share\\m.swf/"},
      {u"http:///", u"http:///"},
      // The "/" right after "://" is no separator; one later is.
      {u"file:///movie.swf", u"file:///movie.swf/"},
      {u"file:///d/movie.swf", u"file:///d/"},
      {u"http://x/", u"http://x/"},
      {u"a/", u"a/"},
      {u"/", u"/"},
  };
  for (const auto& c : cases) EXPECT_EQ(take(url_directory(c.in)), narrow(c.out)) << narrow(c.in);
  EXPECT_EQ(url_directory(u""), nullptr);
  EXPECT_EQ(url_directory(nullptr), nullptr);
}

TEST(UrlStripQuery, Table) {
  const struct { const char16_t* in; const char16_t* out; } cases[] = {
      {u"a?b#c", u"a"}, {u"a#b?c", u"a"}, {u"?a#b", u"?a"}, {u"#a?b", u"#a"},
      {u"?#", u"?"}, {u"#a#b", u"#a#b"}, {u"#a?b#c", u"#a"}, {u"a", u"a"}, {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(take(url_strip_query(c.in)), narrow(c.out)) << narrow(c.in);
}

TEST(UrlScheme, Table) {
  const struct { const char16_t* in; const char16_t* out; int32_t length; } cases[] = {
      {u"HTTP://Example.test/A", u"http:", 5},
      {u"C:\\a.swf", u"file:", 5},
      {u"x:\\a.swf", u"file:", 5},
      {u"\\\\srv\\a.swf", u"file:", 5},
      {u"dir/a:b.swf", nullptr, -1},
      {u"mailto:someone", u"mailto:", 7},
      {u"no colon", nullptr, -1},
      {u":", u":", 1},
      {u"C:", u"c:", 2},
      {u"C:\\", u"file:", 5},
      {u"\\\\", nullptr, -1},
      {u"", nullptr, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(take(url_scheme(c.in)), narrow(c.out)) << narrow(c.in);
    EXPECT_EQ(url_scheme_length(c.in), c.length) << narrow(c.in);
  }
}

TEST(UrlSplit, Table) {
  const struct { const char16_t *in, *scheme, *host, *path; } cases[] = {
      {u"http://guest@example.test:81/a/b.swf?x", u"http:", u"example.test", u"/a/b.swf?x"},
      {u"HTTP://Example.test/A", u"HTTP:", u"Example.test", u"/A"},
      {u"http:example.test", u"http:", u"example.test", u"/"},
      {u"dir/m.swf", nullptr, u"dir", u"/m.swf"},
      {u"m.swf", nullptr, u"m.swf", u"/"},
      {u"C:\\d\\m.swf", u"file:", u"C:\\d", u"\\m.swf"},
      {u"file://C:\\d\\m.swf", u"file:", u"C:\\d", u"\\m.swf"},
      {u"file:///C:/d/m.swf", u"file:", nullptr, nullptr},
      {u"FILE:///C:/d/m.swf", u"FILE:", u"C", u"/d/m.swf"},
      {u"http://a@b@c:1:2/p", u"http:", u"b@c", u"/p"},
      {u"http:////x", u"http:", u"x", u"/"},
      {u"http://", u"http:", u"", u"/"},
  };
  for (const auto& c : cases) {
    char16_t *s, *h, *p;
    url_split(c.in, &s, &h, &p);
    EXPECT_EQ(take(s), narrow(c.scheme)) << narrow(c.in);
    EXPECT_EQ(take(h), narrow(c.host)) << narrow(c.in);
    EXPECT_EQ(take(p), narrow(c.path)) << narrow(c.in);
  }
  char16_t *s = nullptr, *h = nullptr, *p = nullptr;
  url_split(u"", &s, &h, &p);
  EXPECT_TRUE(!s && !h && !p);
}

TEST(UrlCommonPrefix, Table) {
  const struct { const char16_t *a, *b; int32_t n; } cases[] = {
      {u"abc", u"abd", 2}, {u"ab", u"abc", 2}, {u"abc", u"ab", 2}, {u"abc", u"", 0},
      {u"", u"abc", 0},    {u"A", u"a", 0},    {u"same", u"same", 4},
      {u"\xffff\xd800", u"\xffff\xdc00", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(url_common_prefix(c.a, c.b), c.n) << narrow(c.a) << " " << narrow(c.b);
  EXPECT_EQ(url_common_prefix(nullptr, u"a"), 0);
}

TEST(TextIsAlnum, Table) {
  const struct { const char16_t* s; bool alnum; } cases[] = {
      {u"abc123", true}, {u"", true}, {u"AZaz09", true}, {u"a=1", false}, {u"a b", false},
      {u"caf\u00e9", false}, {u"\uff10", false}, {u"@", false}, {u"[", false}, {u"`", false},
      {u"{", false}, {u"/", false}, {u":", false},
  };
  for (const auto& c : cases) EXPECT_EQ(text_is_alnum(c.s), c.alnum) << narrow(c.s);
}

TEST(WstrNdup, PadsShortSourceAndTerminates) {
  char16_t* d = wstr_ndup(u"ab", 5);
  ASSERT_NE(d, nullptr);
  for (int i = 2; i <= 5; ++i) EXPECT_EQ(d[i], 0) << i;
  EXPECT_EQ(take(d), "ab");
  EXPECT_EQ(take(wstr_ndup(u"abcdef", 3)), "abc");
  EXPECT_EQ(take(wstr_ndup(u"abc", 0)), "");
  // On the 32-bit player the largest count's block size does not fit a size_t.
  if (sizeof(size_t) == 4) {
    EXPECT_EQ(wstr_ndup(u"ab", INT32_MAX), nullptr);
  }
}

}  // namespace
