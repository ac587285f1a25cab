#include "pack/audit.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/utf.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "pack/package_writer.h"
#include "swf/swf_writer.h"

namespace {

TEST(AuditKeep, KeepsLikelyRequestsAndSaysWhy) {
  struct Case {
    const char* text;
    const char* kind;  // null: dropped
    const char* detail;
  } cases[] = {
      {"http://h/a", "scheme", "http:"},
      {"HTTPS://h/x?y", "scheme", "https:"},
      {"ftp://h/a.bin", "scheme", "ftp:"},
      {"data/Level.XML", "extension", ".xml"},
      {"img/p.png?v=3#top", "extension", ".png"},
      {"score.php?id=5", "script-query", ".php"},
      {"score.php", nullptr, nullptr},
      {"javascript:go()", nullptr, nullptr},
      {"mailto:a@b", nullptr, nullptr},
      {".swf", nullptr, nullptr},
      {"flash.display.Sprite", nullptr, nullptr},
      {"Loading level 2.swf", nullptr, nullptr},
      {"_level0", nullptr, nullptr},
      {"3.5", nullptr, nullptr},
      {"  spaced.xml\n", "extension", ".xml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* kind = nullptr;
    std::string detail;
    bool kept = pack::audit_keep(c.text, &kind, &detail);
    ASSERT_EQ(kept, c.kind != nullptr);
    if (kept) {
      EXPECT_STREQ(kind, c.kind);
      EXPECT_EQ(detail, c.detail);
    }
  }
}

TEST(AuditConfig, TakesValuesOutOfEachFormat) {
  struct Case {
    const char* kind;
    const char* data;
    std::vector<std::string> texts;
  } cases[] = {
      {"xml", "<c a=\"x.swf?a=1&amp;b=2\"><n>  y.xml </n><d><![CDATA[z.png]]></d></c>",
       {"x.swf?a=1&b=2", "y.xml", "z.png"}},
      {"json", "{\"next\": \"lv\\/2.json\", \"n\": 3, \"u\": \"\\u00e9.png\", \"s\": \"\\ud83c\\udfb5.mp3\"}",
       {"next", "lv/2.json", "n", "u", "\xc3\xa9.png", "s", "\xf0\x9f\x8e\xb5.mp3"}},
      {"text", "next=data%2Fa.xml&title=Two+words\nb.swf", {"next", "data/a.xml", "title", "Two words", "b.swf"}},
      {"text", "url=q.txt?session=5&n=b.swf?v=2=3", {"url", "q.txt?session=5", "n", "b.swf?v=2=3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(pack::audit_config_texts(c.data, c.kind), c.texts);
  }
}

// A package in memory, loaded into the player state.
class AuditPackage : public ::testing::Test {
 protected:
  void TearDown() override { reset_player_state(); }

  pack::AuditResult audit(int32_t mode, const std::string& base,
                          const std::vector<std::pair<std::string, std::string>>& entries) {
    reset_player_state();
    pack::Package pkg;
    pkg.mode = mode;
    common::utf8_to_utf16(base, &pkg.base);
    for (const auto& e : entries) {
      pack::PageEntry entry;
      common::utf8_to_utf16(e.first, &entry.url);
      entry.data.bytes.assign(e.second.begin(), e.second.end());
      pkg.entries.push_back(entry);
    }
    pack::MemorySink sink;
    common::Error error;
    EXPECT_TRUE(pack::write_player(std::vector<uint8_t>(40000, 0), pkg, &sink, &error)) << error.text();
    bytes_ = sink.bytes;
    MemorySource memory{bytes_.data(), int64_t(bytes_.size()), 0, 0};
    EXPECT_EQ(load_package_from(memory_source(&memory)), 1);
    return pack::audit_package([this](int32_t i, size_t max, std::string* out) {
      const ResourceEntry* e = resource_entry(i);
      size_t n = std::min(size_t(e->size), max);
      out->assign(reinterpret_cast<const char*>(bytes_.data()) + e->data_offset, n);
      return true;
    });
  }

  std::vector<uint8_t> bytes_;
};

TEST_F(AuditPackage, ResolvesAsTheMovieAsksWithTheUnansweredFirst) {
  using namespace swft;
  std::string movie = fws(9, do_action(push({"../data/a.xml", "gone.xml", "http://h/site/b.png",
                                             "ftp://h/c.bin"}) +
                                       get_url("http://h/help.html", "_blank")) +
                            end_tag());
  std::string config = "<c next=\"more/d.swf\" lost=\"e.json\"/>";
  struct Case {
    int32_t mode;
    std::vector<std::string> lines;  // request -> index, in order
  } cases[] = {
      // Modes 0 and 1: relative texts reach the player joined to the base.
      // A page opened in a new window is no miss of the player.
      {0,
       {"http://h/site/gone.xml -1", "ftp://h/c.bin -1", "http://h/data/a.xml 1",
        "http://h/site/b.png 2", "http://h/help.html -1 new window", "http://h/site/e.json -1",
        "http://h/site/more/d.swf 3"}},
      // Mode 2: the player joins and walks up itself.
      {2,
       {"../data/a.xml -1", "gone.xml -1", "ftp://h/c.bin -1", "http://h/site/b.png 2",
        "http://h/help.html -1 new window", "e.json -1", "more/d.swf 3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    pack::AuditResult r = audit(c.mode, "http://h/site/",
                                {{"http://h/site/main.swf", movie},
                                 {"http://h/data/a.xml", config},
                                 {"http://h/site/b.png", "png"},
                                 {"http://h/site/more/d.swf", "FWS"}});
    std::vector<std::string> lines;
    for (const auto& s : r.sources)
      for (const auto& q : s.requests)
        lines.push_back(common::utf16_to_utf8(q.request) + " " + std::to_string(q.index) +
                        (q.opens_window ? " new window" : ""));
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(r.unanswered, c.mode == 0 ? 3 : 4);
  }
}

}  // namespace
