#include "swf/swf_reader.h"

#include <gtest/gtest.h>

#include <functional>

#ifdef TESSIVO_HAVE_LZMA
#include <lzma.h>
#endif

#include "swf/swf_writer.h"

using namespace swft;

namespace {

// What zws(13, ...) writes for the header test's tags, for builds without
// liblzma to write it.
const std::string kZwsMovie(
    "\x5a\x57\x53\x0d\x29\x00\x00\x00\x2a\x00\x00\x00\x5d\x00\x00\x80"
    "\x00\x00\x3b\xff\xfc\xc4\x0f\x05\xeb\x13\x60\x19\xf0\x19\x02\xc5"
    "\x08\x96\x8b\x88\x68\x9c\x5f\x62\x56\x1c\x46\xa3\x3c\xce\x4a\x4f"
    "\x27\x0b\xdd\x2d\x5b\xff\xff\xe5\xe1\xe8\x00", 59);

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
      {"ZWS", [&] { return kZwsMovie; }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string file = c.second();
    swf::Movie m = swf::read_movie(file.data(), file.size());
    EXPECT_TRUE(m.problems.empty()) << m.problems[0].message;
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
       {"a.xml | DoAction ConstantPool", "_blank | DoAction ConstantPool", "a.xml | DoAction GetURL2 _blank"}},
      {"GetURL2 after a string push",
       do_action(push({"b.swf", "_level1"}) + get_url2()),
       {"b.swf | DoAction Push", "_level1 | DoAction Push", "b.swf | DoAction GetURL2"}},
      {"GetURL", do_action(get_url("http://h/c.swf", "_self")), {"http://h/c.swf | DoAction GetURL"}},
      {"GetURL to a new window", do_action(get_url("http://h/d.html", "_blank")),
       {"http://h/d.html | DoAction GetURL _blank"}},
      // Every value a Push may carry, each its own width: the texts after
      // them and the 16-bit pool index still read right.
      {"every push type",
       do_action(constant_pool({"_blank", "a.xml"}) +
                 action(0x96, std::string("\x01") + std::string(4, '\x41') + "\x02" + "\x03" +
                                  "\x04" + '\x01' + "\x05" + '\x01' + "\x06" + std::string(8, '\x42') +
                                  "\x07" + std::string(4, '\x43') + "\x09" + u16(1) + '\0' + cstr("_t")) +
                 get_url2()),
       {"_blank | DoAction ConstantPool", "a.xml | DoAction ConstantPool", "_t | DoAction Push",
        "a.xml | DoAction GetURL2"}},
      {"DoInitAction", tag(59, u16(4) + push({"init.xml"}) + '\0'), {"init.xml | DoInitAction Push"}},
      {"nested sprites",
       sprite(5, do_action(push({"outer.xml"})) + sprite(6, do_action(push({"deep.xml"})))),
       {"outer.xml | DoAction Push @5", "deep.xml | DoAction Push @6"}},
      {"ABC string pool", do_abc2(abc({"data/level.xml", "flash.display"})),
       {"data/level.xml | DoABC2 string pool", "flash.display | DoABC2 string pool"}},
      // Namespace and package names leave; a string the pool only holds stays.
      {"ABC namespace names",
       do_abc2(abc({"http://adobe.com/AS3/2006/builtin", "data/level.xml", "flash.display"}, -1, {1, 3})),
       {"data/level.xml | DoABC2 string pool"}},
      {"ImportAssets", tag(57, cstr("lib.swf") + u16(0)) + tag(71, cstr("lib2.swf") + u16(0) + u16(0)),
       {"lib.swf | ImportAssets url", "lib2.swf | ImportAssets2 url"}},
      {"HTML text", edit_text_html("<a HREF=\"page.html\">x</a><img src='pic.png'>"),
       {"page.html | DefineEditText href", "pic.png | DefineEditText src"}},
      {"button actions", define_button2(push({"btn.xml"})), {"btn.xml | DefineButton2 Push"}},
      {"first button kind", tag(7, u16(8) + "\x01" + u16(3) + u16(1) + std::string(2, '\0') +
                                        push({"b1.xml"}) + '\0'),
       {"b1.xml | DefineButton Push"}},
      {"clip actions", place_object2_with_clip_action(push({"clip.xml"}), true),
       {"clip.xml | PlaceObject2 Push"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = fws(8, c.tags + end_tag());
    swf::Movie m = swf::read_movie(file.data(), file.size());
    EXPECT_TRUE(m.problems.empty()) << m.problems[0].message;
    EXPECT_EQ(found_list(m), c.found);
  }
}

TEST(SwfReader, DamageIsNotedAndWhatCameBeforeIsKept) {
  std::string good = do_action(push({"first.xml"}));
  std::string long_tag = tag(12, push({"x"}) + '\0', true);
  // Where the tag after good begins: a problem of a tag names its offset.
  const int64_t after = int64_t(fws(8, good).size());
  struct Case {
    const char* name;
    std::string file;
    const char* problem;
    int64_t offset = -1;
  } cases[] = {
      {"truncated tag header", fws(8, good + "\x01"), "truncated tag header", after},
      {"tag length past the end", fws(8, good + long_tag.substr(0, long_tag.size() - 3)),
       "DoAction (code 12): length", after},
      {"file shorter than its header", fws(8, good + end_tag() + std::string(20, 'x')).substr(0, 45), "shorter than its header"},
      {"ABC pool count that lies", fws(9, good + do_abc2(abc({"a", "b"}, 100))),
       "string pool says 99 strings, the data holds 2", after},
      {"ABC string longer than its tag", fws(9, good + do_abc2(abc({"a", "bcd"}).substr(0, 21))),
       "string pool says 2 strings, the data holds 1", after},
      {"action past its tag", fws(8, good + tag(12, std::string("\x96\x40\x00", 3) + "abc")),
       "action 0x96 runs past the tag", after},
      {"bad zlib stream", "CWS\x0a" + u32(200) + "not a zlib stream at all", "zlib stream is damaged"},
      {"zlib stream cut short", cws(10, good + std::string(3000, '\0')).substr(0, 30), "zlib stream ends early"},
      {"not a SWF", "GIF89a and more", "not a SWF file"},
      {"bad LZMA stream", "ZWS\x0d" + u32(200) + u32(20) + std::string("\x5d\0\0\x10\0", 5) +
                              std::string(20, '\xff'), "LZMA stream is damaged"},
      {"LZMA stream cut short", kZwsMovie.substr(0, 40), "LZMA stream ends early"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    swf::Movie m = swf::read_movie(c.file.data(), c.file.size());
    ASSERT_FALSE(m.problems.empty());
    EXPECT_NE(m.problems[0].message.find(c.problem), std::string::npos) << m.problems[0].message;
    EXPECT_EQ(m.problems[0].offset, c.offset);
    if (m.header_complete && m.compression == swf::Compression::none) {
      EXPECT_EQ(m.found.at(0).text, "first.xml");
    }
  }
}

#ifdef TESSIVO_HAVE_LZMA
// A ZWS body gives what liblzma encoded, for every literal and match
// setting and for data from runs (the output grows many times) to noise.
TEST(SwfReader, ZwsBodyIsWhatLiblzmaEncoded) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "level" + std::to_string(i % 37) + ".swf ";
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 70000; ++i) x = x * 1103515245 + 12345, noise += char(x >> 16);
  struct Setting { uint32_t lc, lp, pb; } settings[] = {{3, 0, 2}, {0, 4, 0}, {4, 0, 4}, {1, 3, 1}};
  for (const std::string& data : {std::string(), std::string(100000, 'a'), text, noise, text + noise}) {
    for (const Setting& st : settings) {
      SCOPED_TRACE(std::to_string(data.size()) + " bytes, lc " + std::to_string(st.lc) + " lp " +
                   std::to_string(st.lp) + " pb " + std::to_string(st.pb));
      lzma_options_lzma opt;
      lzma_lzma_preset(&opt, 6);
      opt.lc = st.lc, opt.lp = st.lp, opt.pb = st.pb;
      lzma_stream z = LZMA_STREAM_INIT;
      ASSERT_EQ(lzma_alone_encoder(&z, &opt), LZMA_OK);
      std::string packed(data.size() + data.size() / 2 + 1024, '\0');
      z.next_in = reinterpret_cast<const uint8_t*>(data.data());
      z.avail_in = data.size();
      z.next_out = reinterpret_cast<uint8_t*>(&packed[0]);
      z.avail_out = packed.size();
      while (lzma_code(&z, LZMA_FINISH) == LZMA_OK) {
      }
      packed.resize(packed.size() - z.avail_out);
      lzma_end(&z);
      // The body: compressed length, properties, stream; the .lzma header's
      // size field has no place in it.
      std::string body = u32(uint32_t(packed.size() - 13)) + packed.substr(0, 5) + packed.substr(13);
      const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
      std::vector<uint8_t> out;
      common::Error error;
      // With the size known, and up to the end marker with more room.
      for (size_t want : {data.size(), data.size() + 10}) {
        EXPECT_TRUE(swf::unlzma_body(p, body.size(), want, &out, &error)) << error.message;
        EXPECT_TRUE(std::string(out.begin(), out.end()) == data);
      }
    }
  }
}
#endif

}  // namespace
