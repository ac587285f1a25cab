#include <gtest/gtest.h>

#include "resolve/best_match.h"
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;

class BestMatchTest : public ResolveTest {};

struct Case {
  const char16_t* request;
  std::vector<Row> entries;
  int32_t result;
  MatchRule rule;
};

#define V u"http://example.test/v/"

TEST_F(BestMatchTest, Table) {
  const Case cases[] = {
      // Parameter winner 0 (2 of 3), prefix winner 1 (10 of 11): 2/3 < 10/11.
      {V "a.swf?a=1&b=2&c=3", {{V "a.swf?c=3&b=2"}, {V "a.swf?a=1&b=2&c=4"}}, 1, MATCH_RULE_PASS1},
      // Parameter ratio 3/3 >= prefix ratio 10/11.
      {V "a.swf?a=1&b=2&c=3", {{V "a.swf?a=1&b=2&c=4"}, {V "a.swf?c=3&b=2&a=1"}}, 1, MATCH_RULE_PASS1},
      // 1/2 >= 3/7.
      {V "a.swf?a=1&b=2", {{V "a.swf?b=2"}, {V "a.swf?a=1"}}, 0, MATCH_RULE_PASS1},
      {V "a.swf?a=1&b=2", {{V "a.swf?a=1&b=2&t=77"}}, 0, MATCH_RULE_PASS1},
      // The alternate URL is scored; "&amp;" counts as "&".
      {V "a.swf?a=1", {{V "main.swf", V "a.swf?a=1&amp;t=5"}}, 0, MATCH_RULE_PASS1},
      {V "a.swf?123", {{V "a.swf?x=1"}, {V "a.swf?987"}}, 1, MATCH_RULE_PASS1},
      {V "a.swf#top", {{V "a.swf#bottom"}}, 0, MATCH_RULE_PASS1},
      {V "a.swf?", {{V "a.swf?x=1"}, {V "a.swf?7"}}, 1, MATCH_RULE_PASS1},
      // Pass 2: equal scores, the earlier entry keeps the win.
      {V "x.php?id=5", {{V "sub/z.php?id=5"}, {V "y.php?id=5"}}, 0, MATCH_RULE_PASS2},
      {V "page=5", {{V "list=5"}}, 0, MATCH_RULE_PASS2},
      {u"http://example.test/data.xml",
       {{u"http://example.test/data.xml?r=1"}, {u"http://example.test/data.xml#x"}}, 0, MATCH_RULE_EXTENSION},
      {u"http://example.test/data", {{u"http://example.test/data.xml"}}, -1, MATCH_RULE_NONE},
      {u"http://www.example.test/v/a.swf",
       {{u"https://cdn.example.test/v/a.swf"}, {u"http://cdn.example.test/v/A.swf"},
        {u"http://cdn.example.test/v/a.swf"}},
       2, MATCH_RULE_HOST},
      {u"http://www.example.test/v/a.swf", {{u"http://notexample.test/v/a.swf"}}, 0, MATCH_RULE_HOST},
      {u"http://www.example.test/v/a.swf", {{u"http://cdn.other.test/v/a.swf"}}, -1, MATCH_RULE_HOST},
      // Equal ratios (1/2 and 2/4) go to the parameter winner.
      {V "a.swf?a&bc", {{V "a.swf?bc"}, {V "a.swf?a&x"}}, 0, MATCH_RULE_PASS1},
      // Further edges.
      // A separator in the first position has no directory before it.
      {u"?a=1", {{u"x?a=1"}}, -1, MATCH_RULE_PASS1},
      {u"?a=1", {{u"?a=2"}}, 0, MATCH_RULE_PASS1},
      // "@" in user information is the separator; pass 1 compares after it.
      {u"http://guest@example.test/a.swf", {{u"http://guest@example.test/b.swf"}}, 0, MATCH_RULE_PASS1},
      // A candidate shorter than the compared prefix never qualifies.
      {V "a.swf?x=1", {{V "a.swf"}, {V "a.sw"}}, -1, MATCH_RULE_PASS2},
      // &amp;amp; decodes to a single "&".
      {V "a.swf?x=1&b=2", {{V "a.swf?z&amp;amp;b=2"}, {V "a.swf?x=9"}}, 0, MATCH_RULE_PASS1},
      // Empty pieces before "&" are not taken; the last piece always is.
      {V "a.swf?&&x", {{V "a.swf?q&x"}, {V "a.swf?y"}}, 0, MATCH_RULE_PASS1},
      // The single piece, not the whole text, decides the single-token flag.
      {V "a.swf?&&x", {{V "a.swf?zz"}}, 0, MATCH_RULE_PASS1},
      // A duplicated piece in the candidate counts twice.
      {V "a.swf?a=1&b=2&c=3",
       {{V "a.swf?a=1&b=2&c=9"}, {V "a.swf?x&c=3&c=3&c=3"}}, 1, MATCH_RULE_PASS1},
      // Pass 2 qualifies only candidates that hold the separator after the directory.
      {V "x.php?id=5", {{V "y.php"}, {V "y.php=id=5"}, {V "z.php?id=5"}}, 2, MATCH_RULE_PASS2},
      // Extension rule: only "?#=@" may follow.
      {u"http://example.test/d", {{u"http://example.test/d.xml"}, {u"http://example.test/d@x"}}, 1,
       MATCH_RULE_EXTENSION},
      // Host rule: file URLs split at the last backslash.
      {u"C:\\a.b.c\\m.swf", {{u"file://X:\\q.b.c\\m.swf"}}, 0, MATCH_RULE_HOST},
      // Single token with no alphanumeric candidate: none.
      {V "a.swf?123", {{V "a.swf?x=1"}}, -1, MATCH_RULE_PASS2},
      // Token rule applies only to candidates that qualify for the pass.
      {V "a.swf?ab", {{V "b.swf?ab"}, {V "a.swf?zz"}}, 1, MATCH_RULE_PASS1},
  };
  for (const Case& c : cases) {
    load_table(c.entries);
    Recorder rec;
    EXPECT_EQ(find_best_match(c.request), c.result) << narrow(c.request);
    ASSERT_EQ(rec.matches.size(), 1u);
    EXPECT_EQ(rec.matches[0].rule, c.rule) << narrow(c.request);
  }
}

TEST_F(BestMatchTest, WinningScoresOfTheFirstRow) {
  load_table({{V "a.swf?c=3&b=2"}, {V "a.swf?a=1&b=2&c=4"}});
  Recorder rec;
  EXPECT_EQ(find_best_match(V "a.swf?a=1&b=2&c=3"), 1);
  const MatchDetail& d = rec.matches.at(0);
  EXPECT_EQ(d.separator, u'?');
  EXPECT_EQ(d.piece_count, 3);
  EXPECT_EQ(d.param_length, 11);
  EXPECT_EQ(d.param_winner, 0);
  EXPECT_EQ(d.param_count, 2);
  EXPECT_EQ(d.prefix_winner, 1);
  EXPECT_EQ(d.prefix_length, 10);
  EXPECT_EQ(d.pick, MATCH_PICK_PREFIX);
}

TEST_F(BestMatchTest, HostileTables) {
  // Empty URLs, null alternates, an entry the loader never reached.
  load_table({{u""}, {nullptr}, {u"?", u""}, {u"http://a.b.c/p"}});
  const char16_t* requests[] = {u"", u"?", u"=", u"http://x.b.c/p", u"\xd800?\xdc00&&", u"a&amp;"};
  for (const char16_t* r : requests) find_best_match(r);
  EXPECT_EQ(find_best_match(u"http://x.b.c/p"), 3);
  EXPECT_EQ(find_best_match(u"?"), 2);
  EXPECT_EQ(find_best_match(nullptr), -1);
}

TEST_F(BestMatchTest, NoTable) {
  reset_player_state();
  EXPECT_EQ(find_best_match(V "a.swf?x"), -1);
  EXPECT_EQ(find_best_match(u"http://www.example.test/a"), -1);
}

TEST_F(BestMatchTest, LongRequestOfManyPiecesStaysLinear) {
  // 100,000 units of "a&": a scan of every request piece per candidate
  // piece would take minutes over this table.
  std::u16string req = u"http://example.test/v/a.swf?";
  while (req.size() < 100000) req += u"a&";
  std::vector<std::u16string> urls;
  for (int i = 0; i < 200; ++i) {
    std::u16string u = u"http://example.test/v/a.swf?";
    for (int k = 0; k < 200; ++k) u += u"b" + std::u16string(1, char16_t(u'a' + k % 26)) + u"&";
    urls.push_back(u + u"a");
  }
  std::vector<Row> rows;
  for (auto& u : urls) rows.push_back({u.c_str()});
  load_table(rows);
  EXPECT_EQ(find_best_match(req.c_str()), 0);
}

}  // namespace
