// The explainer answers as the player's own functions do, and names the
// rule that decided.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/commands.h"
#include "pack/explain.h"
#include "resolve/best_match.h"
#include "resolve_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace resolve_test;
using pack::ExplainResult;
using pack::explain_json;
using pack::explain_request;
using pack::explain_text;

class ExplainTest : public ResolveTest {
 protected:
  // The package's Base text, which movie start would use as the base URL.
  void set_package_base(const char16_t* base) {
    set_movie_base(base ? text::dup(base) : nullptr);
  }
  // The player's own answer, with the same base URL in place.
  bool player(const char16_t* url, const char* key, int32_t* index) {
    return resolve_with_key(url, playback_mode() == PLAYBACK_PAGE_POST ? key : nullptr, index);
  }
};

std::vector<std::string> exact_urls(const ExplainResult& r) {
  std::vector<std::string> out;
  for (const auto& l : r.lookups)
    if (!l.best_match) out.push_back(narrow(l.url));
  return out;
}

struct Case {
  int32_t mode;
  const char16_t* base;  // package Base; null: directory of entry 0
  std::vector<Row> entries;
  const char16_t* request;
  const char* body;
  std::string kind;      // deciding rule
  int32_t relative_attempt;
  std::vector<std::string> attempts;
};

#define V u"http://example.test/v/"
#define S u"http://example.test/site/swf/"

TEST_F(ExplainTest, AgreesWithThePlayerAndNamesTheRule) {
  const Case cases[] = {
      {2, S, {{V "a.swf?c=3&b=2"}, {V "a.swf?a=1&b=2&c=4"}}, V "a.swf?a=1&b=2&c=3", nullptr,
       "best-match", 0, {"http://example.test/v/a.swf?a=1&b=2&c=3"}},
      {2, S, {{u"http://example.test/data/a.xml"}}, u"data/a.xml", nullptr, "exact", 3,
       {"http://example.test/site/swf/data/a.xml", "http://example.test/site/data/a.xml",
        "http://example.test/data/a.xml"}},
      {2, S, {{u"http://example.test/data/a.xml"}}, u"../data/a.xml", nullptr, "none", 0,
       {"http://example.test/site/swf/../data/a.xml", "http://example.test/site/../data/a.xml",
        "http://example.test/../data/a.xml"}},
      {2, S, {{S "img/p.png"}}, u"http://example.test/img/p.png", nullptr, "exact", 1,
       {"http://example.test/img/p.png", "http://example.test/site/swf/img/p.png"}},
      {2, S, {{S "img/p.png"}}, u"http://other.test/img/p.png", nullptr, "none", 0,
       {"http://other.test/img/p.png"}},
      {2, u"http://example.test/site/swf", {{u"http://example.test/site/x.xml"}}, u"x.xml", nullptr,
       "exact", 2, {"http://example.test/site/swfx.xml", "http://example.test/site/x.xml"}},
      {2, S, {{u"http://example.test/gw", nullptr, "Zmlyc3Q="}, {u"http://example.test/gw", nullptr, "c2Vjb25k"}},
       u"http://example.test/gw", "second", "exact-with-key", 0, {"http://example.test/gw"}},
      {2, S, {{u"http://example.test/gw", nullptr, "Zmlyc3Q="}, {u"http://example.test/gw", nullptr, "c2Vjb25k"}},
       u"http://example.test/gw", "third", "exact", 0, {"http://example.test/gw"}},
      {0, S, {{u"http://example.test/gw", nullptr, "Zmlyc3Q="}, {u"http://example.test/gw", nullptr, "c2Vjb25k"}},
       u"http://example.test/gw", "second", "exact", 0, {"http://example.test/gw"}},
      {1, S, {{u"images/a.png"}}, u"IMAGES/a.png", nullptr, "exact", 0, {"IMAGES/a.png"}},
      {0, S, {{u"http://example.test/data.xml?r=1"}}, u"http://example.test/data.xml", nullptr, "none",
       0, {"http://example.test/data.xml"}},
      {2, S, {{u"a.swf"}}, u"ftp://example.test/a.swf", nullptr, "refused", 0, {}},
      {2, S, {{u"a.swf"}}, u"", nullptr, "refused", 0, {}},
      // No Base: the directory of entry 0's URL.
      {2, nullptr, {{u"http://example.test/site/main.swf"}, {u"http://example.test/site/d/x.xml"}},
       u"d/x.xml", nullptr, "exact", 1, {"http://example.test/site/d/x.xml"}},
      // Empty first URL: no base URL at all.
      {2, nullptr, {{u""}, {u"x.xml"}}, u"x.xml", nullptr, "none", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(narrow(c.request));
    load_table(c.entries);
    set_playback_mode(c.mode);
    set_package_base(c.base);
    std::string body = c.body ? c.body : "";
    ExplainResult r = explain_request(c.request, c.body ? &body : nullptr);

    int32_t expected = 7;
    bool served = player(c.request, r.key_used ? r.key.c_str() : nullptr, &expected);
    EXPECT_EQ(r.refused, !served);
    EXPECT_EQ(r.index, expected);
    EXPECT_EQ(std::string(explain_json(r)).find("\"kind\":\"" + c.kind + "\"") != std::string::npos, true)
        << explain_json(r);
    if (r.decisive >= 0) {
      EXPECT_EQ(r.lookups[size_t(r.decisive)].relative_attempt, c.relative_attempt);
    }
    EXPECT_EQ(exact_urls(r), c.attempts);
  }
}

TEST_F(ExplainTest, BestMatchScoresAndRelocationInJson) {
  load_table({{V "a.swf?c=3&b=2"}, {V "a.swf?a=1&b=2&c=4"}});
  set_playback_mode(PLAYBACK_PAGE_POST);
  set_package_base(S);
  std::string json = explain_json(explain_request(V "a.swf?a=1&b=2&c=3", nullptr));
  for (const char* part : {"\"index\":1", "\"pass\":\"pass1\"", "\"prefix_winner\":1", "\"prefix_length\":10",
                           "\"parameter_winner\":0", "\"parameter_count\":2", "\"pieces\":3",
                           "\"pick\":\"prefix\""})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;

  load_table({{S "img/p.png"}});
  set_playback_mode(PLAYBACK_PAGE_POST);
  set_package_base(S);
  ExplainResult r = explain_request(u"http://example.test/img/p.png", nullptr);
  json = explain_json(r);
  EXPECT_TRUE(r.relocated);
  EXPECT_EQ(r.relocation_prefix, 20);
  EXPECT_NE(json.find("\"relocation\":{\"relocated\":true,\"common_prefix\":20,\"rest\":\"img/p.png\"}"),
            std::string::npos) << json;
  EXPECT_NE(explain_text(r).find("relative attempt 1: http://example.test/site/swf/img/p.png"),
            std::string::npos) << explain_text(r);
}

// Over a table past the index's threshold, with the index and without it,
// the explainer reports the same steps: every rule, its scores and winners.
TEST_F(ExplainTest, SameTraceWithAndWithoutIndex) {
  std::vector<std::u16string> urls;
  for (const char16_t* u : {V "a.swf?c=3&b=2", V "a.swf?a=1&b=2&c=4", V "a.swf?987", V "x.php?id=5",
                            V "sub/z.php?id=5", V "list=5", u"http://example.test/data.xml?r=1",
                            u"http://cdn.example.test/v/a.swf", u"http://example.test/gw",
                            V "c.xml#top", V "c.xml?v=2", V "e.xml@2"})
    for (int copy = 0; copy < 5; ++copy) urls.push_back(copy % 2 ? u + std::u16string(copy, u'x') : u);
  std::vector<Row> rows;
  for (size_t i = 0; i < urls.size(); ++i) rows.push_back({urls[i].c_str(), nullptr, i % 3 ? nullptr : "eD1j"});
  const struct { const char16_t* url; const char* body; } requests[] = {
      {V "a.swf?a=1&b=2&c=3", nullptr}, {V "a.swf?123", nullptr},    {V "y.php?id=5", nullptr},
      {V "page=5", nullptr},            {u"http://example.test/data.xml", nullptr},
      {u"http://www.example.test/v/a.swf", nullptr}, {u"data/none.xml", nullptr},
      {u"http://example.test/gw", "x=c"}, {u"http://example.test/gw", "x=I"},
      // the extension rule: each separator, and the earliest entry across them
      {V "c.xml", nullptr},             {V "e.xml", nullptr},
  };
  for (const auto& q : requests) {
    SCOPED_TRACE(narrow(q.url));
    std::string texts[2];
    for (bool indexed : {true, false}) {
      set_exact_index_enabled(indexed);
      load_table(rows);
      set_playback_mode(PLAYBACK_PAGE_POST);
      set_package_base(S);
      std::string body = q.body ? q.body : "";
      ExplainResult r = explain_request(q.url, q.body ? &body : nullptr);
      texts[indexed] = explain_json(r) + explain_text(r);
    }
    EXPECT_EQ(texts[1], texts[0]);
  }
}

// The whole command over a player built by the packer.
TEST_F(ExplainTest, CommandOverAPlayerExecutable) {
  fs::path dir = fs::temp_directory_path() / ("tessivo-explain-test-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto write = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
  };
  write("stub.exe", std::string(40000, '\0'));
  write("movie.swf", std::string("FWS\x09") + std::string(60, 'm'));
  write("data.xml", "<data/>");
  write("body.bin", "id=5");
  write("manifest.toml",
        "mode = \"page-post\"\n"
        "[[entry]]\nurl = \"http://example.test/site/m.swf\"\nfile = \"movie.swf\"\n"
        "[[entry]]\nurl = \"http://example.test/site/d.php\"\nfile = \"data.xml\"\n"
        "[[entry]]\nurl = \"http://example.test/site/d.php\"\npost_body = \"id=5\"\nfile = \"data.xml\"\n");
  std::string stub = (dir / "stub.exe").string(), out = (dir / "out.exe").string(),
              manifest = (dir / "manifest.toml").string(), body = (dir / "body.bin").string();
  {
    std::vector<std::string> args = {"--stub", stub, "-o", out, manifest};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ASSERT_EQ(command_build(int(argv.size()), argv.data()), 0);
    reset_player_state();
  }
  auto run = [&](std::vector<std::string> args, std::string* printed) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    int rc = command_explain(int(argv.size()), argv.data());
    *printed = ::testing::internal::GetCapturedStdout();
    return rc;
  };
  std::string printed;
  ASSERT_EQ(run({out, "d.php", "--post-file", body, "--json"}, &printed), 0);
  EXPECT_NE(printed.find("\"index\":2"), std::string::npos) << printed;
  EXPECT_NE(printed.find("\"base_source\":\"first entry\""), std::string::npos) << printed;
  EXPECT_NE(printed.find("\"kind\":\"exact-with-key\",\"relative_attempt\":1"), std::string::npos) << printed;
  ASSERT_EQ(run({out, "d.php", "--post", "id=6"}, &printed), 0);
  EXPECT_NE(printed.find("answer: entry 1"), std::string::npos) << printed;
  ASSERT_EQ(run({out, "mailto:x"}, &printed), 1);
  EXPECT_NE(printed.find("answer: refused"), std::string::npos) << printed;
  EXPECT_NE(run({out}, &printed), 0);
  fs::remove_all(dir);
}

}  // namespace
