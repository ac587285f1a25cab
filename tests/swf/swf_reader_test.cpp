#include "swf_reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "swf/swf_writer.h"

using namespace swft;

namespace {

std::vector<std::string> found_list(const swf::Movie& m) {
  std::vector<std::string> out;
  for (const swf::Found& f : m.found)
    out.push_back(f.text + " | " + f.tag + " " + f.field + (f.sprite ? " @" + std::to_string(f.sprite) : ""));
  return out;
}

std::string place_object2_with_clip_action(const std::string& actions, bool wide) {
  // Flags: clip actions, character; depth 1, character 2.
  std::string b = std::string(1, char(0x82)) + u16(1) + u16(2);
  std::string flags = wide ? u32(0x00020001) : u16(0x0001);  // load (and key press when wide)
  b += u16(0) + flags;
  std::string record = (wide ? std::string(1, '\x41') : std::string()) + actions + '\0';
  b += flags + u32(uint32_t(record.size())) + record;
  b += wide ? u32(0) : u16(0);
  return tag(26, b, true);
}

std::string define_button2(const std::string& actions) {
  // One record (up state, character 3, depth 1, empty matrix, empty cxform).
  std::string records = std::string(1, '\x01') + u16(3) + u16(1) + std::string(1, '\0') +
                        std::string(1, '\0') + std::string(1, '\0');
  std::string cond = u16(0) + u16(0x0008) + actions + '\0';
  return tag(34, u16(7) + std::string(1, '\0') + u16(uint16_t(2 + records.size())) + records + cond);
}

std::string edit_text_html(const std::string& html) {
  // HasText, HTML; bounds all zero (5 bits), no font, empty variable name.
  return tag(37, u16(9) + std::string(1, '\0') + std::string(1, '\x80') + std::string(1, '\x02') +
                     cstr("") + cstr(html), true);
}

TEST(SwfReader, HeaderAndBackgroundInEachCompression) {
  std::string tags = background(0x20, 0x60, 0xA0) + do_action(push({"a.xml"})) + end_tag();
  std::vector<std::pair<const char*, std::function<std::string()>>> cases = {
      {"FWS", [&] { return fws(9, tags); }},
      {"CWS", [&] { return cws(10, tags); }},
#ifdef TESSIVO_HAVE_LZMA
      {"ZWS", [&] { return zws(13, tags); }},
#endif
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string file = c.second();
    swf::Movie m = swf::read_movie(file.data(), file.size());
    EXPECT_TRUE(m.problems.empty()) << m.problems[0];
    EXPECT_TRUE(m.header_complete);
    EXPECT_EQ(m.width_px(), 640);
    EXPECT_EQ(m.height_px(), 480);
    EXPECT_EQ(m.fps(), 24.0);
    EXPECT_EQ(m.frame_count, 1);
    ASSERT_TRUE(m.has_background);
    EXPECT_EQ(m.background[0], 0x20);
    EXPECT_EQ(m.background[2], 0xA0);
    EXPECT_EQ(found_list(m), std::vector<std::string>{"a.xml | DoAction Push"});
  }
}

TEST(SwfReader, FindsTheTextsThatNameFiles) {
  struct Case {
    const char* name;
    std::string tags;
    std::vector<std::string> found;
  } cases[] = {
      {"pool, constant push and GetURL2",
       do_action(constant_pool({"a.xml", "_blank"}) + push({"#0", "#1"}) + get_url2()),
       {"a.xml | DoAction ConstantPool", "_blank | DoAction ConstantPool", "a.xml | DoAction GetURL2"}},
      {"GetURL2 after a string push",
       do_action(push({"b.swf", "_level1"}) + get_url2()),
       {"b.swf | DoAction Push", "_level1 | DoAction Push", "b.swf | DoAction GetURL2"}},
      {"GetURL", do_action(get_url("http://h/c.swf", "_self")), {"http://h/c.swf | DoAction GetURL"}},
      {"DoInitAction", tag(59, u16(4) + push({"init.xml"}) + '\0'), {"init.xml | DoInitAction Push"}},
      {"nested sprites",
       sprite(5, do_action(push({"outer.xml"})) + sprite(6, do_action(push({"deep.xml"})))),
       {"outer.xml | DoAction Push @5", "deep.xml | DoAction Push @6"}},
      {"ABC string pool", do_abc2(abc({"data/level.xml", "flash.display"})),
       {"data/level.xml | DoABC2 string pool", "flash.display | DoABC2 string pool"}},
      {"ImportAssets", tag(57, cstr("lib.swf") + u16(0)) + tag(71, cstr("lib2.swf") + u16(0) + u16(0)),
       {"lib.swf | ImportAssets url", "lib2.swf | ImportAssets2 url"}},
      {"HTML text", edit_text_html("<a HREF=\"page.html\">x</a><img src='pic.png'>"),
       {"page.html | DefineEditText href", "pic.png | DefineEditText src"}},
      {"button actions", define_button2(push({"btn.xml"})), {"btn.xml | DefineButton2 Push"}},
      {"clip actions", place_object2_with_clip_action(push({"clip.xml"}), true),
       {"clip.xml | PlaceObject2 Push"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = fws(8, c.tags + end_tag());
    swf::Movie m = swf::read_movie(file.data(), file.size());
    EXPECT_TRUE(m.problems.empty()) << m.problems[0];
    EXPECT_EQ(found_list(m), c.found);
  }
}

TEST(SwfReader, DamageIsNotedAndWhatCameBeforeIsKept) {
  std::string good = do_action(push({"first.xml"}));
  std::string long_tag = tag(12, push({"x"}) + '\0', true);
  struct Case {
    const char* name;
    std::string file;
    const char* problem;
  } cases[] = {
      {"truncated tag header", fws(8, good + "\x01"), "truncated tag header at offset"},
      {"tag length past the end", fws(8, good + long_tag.substr(0, long_tag.size() - 3)),
       "DoAction (code 12) at offset"},
      {"file shorter than its header", fws(8, good + end_tag() + std::string(20, 'x')).substr(0, 45), "shorter than its header"},
      {"ABC pool count that lies", fws(9, good + do_abc2(abc({"a", "b"}, 100))),
       "string pool says 99 strings, the data holds 2"},
      {"ABC string longer than its tag", fws(9, good + do_abc2(abc({"a", "bcd"}).substr(0, 21))),
       "string pool says 2 strings, the data holds 1"},
      {"action past its tag", fws(8, good + tag(12, std::string("\x96\x40\x00", 3) + "abc")),
       "action 0x96 runs past the tag"},
      {"bad zlib stream", "CWS\x0a" + u32(200) + "not a zlib stream at all", "zlib stream is damaged"},
      {"zlib stream cut short", cws(10, good + std::string(3000, '\0')).substr(0, 30), "zlib stream ends early"},
      {"not a SWF", "GIF89a and more", "not a SWF file"},
#ifdef TESSIVO_HAVE_LZMA
      {"bad LZMA stream", "ZWS\x0d" + u32(200) + u32(20) + std::string("\x5d\0\0\x10\0", 5) +
                              std::string(20, '\xff'), "LZMA stream"},
#else
      {"ZWS without liblzma", "ZWS\x0d" + u32(200) + u32(20) + std::string(25, '\0'), "not supported"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    swf::Movie m = swf::read_movie(c.file.data(), c.file.size());
    ASSERT_FALSE(m.problems.empty());
    EXPECT_NE(m.problems[0].find(c.problem), std::string::npos) << m.problems[0];
    if (m.header_complete && m.compression == swf::Compression::none) {
      EXPECT_EQ(m.found.at(0).text, "first.xml");
    }
  }
}

}  // namespace
