#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "pack/package_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

pack::Data bytes_of(size_t n, uint8_t seed = 1) {
  pack::Data d;
  d.bytes.resize(n);
  for (size_t i = 0; i < n; ++i) d.bytes[i] = uint8_t(seed + i * 7);
  return d;
}

pack::Data swf(uint8_t version, size_t n = 64) {
  pack::Data d = bytes_of(n);
  const uint8_t head[] = {'F', 'W', 'S', version};
  std::memcpy(d.bytes.data(), head, 4);
  return d;
}

Bytes build(const pack::Package& pkg, size_t stub_size = PACKAGE_SEARCH_START) {
  Bytes stub(stub_size, 0);
  pack::MemorySink sink;
  common::Error error;
  EXPECT_TRUE(pack::write_player(stub, pkg, &sink, &error)) << error.text();
  return sink.bytes;
}

void put32(Bytes* b, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + size_t(i)] = uint8_t(uint32_t(v) >> (8 * i));
}

class LoaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reset_player_state();
    set_loader_read_sizes_for_test(512, PACKAGE_READ_SIZE);  // the player's own
  }

  int load(const Bytes& file) {
    reset_player_state();
    memory_ = MemorySource{file.data(), int64_t(file.size()), 0, 0};
    return load_package_from(memory_source(&memory_));
  }

  static pack::Package page(std::initializer_list<std::u16string> urls) {
    pack::Package pkg;
    for (const auto& u : urls) {
      pack::PageEntry e;
      e.url = u;
      e.data = pkg.entries.empty() ? swf(9) : bytes_of(100);
      pkg.entries.push_back(e);
    }
    return pkg;
  }

  MemorySource memory_{};
};

TEST_F(LoaderTest, FortySevenUnitEntryHasDataAtOffset208) {
  pack::Package pkg;
  pack::PageEntry e;
  e.url = std::u16string(47, u'u');
  e.content_type = SWF_CONTENT_TYPE;
  e.data = swf(7, 50);
  pkg.entries.push_back(e);
  Bytes file = build(pkg);
  ASSERT_EQ(file.size(), size_t(PACKAGE_SEARCH_START + 208 + 50));  // data runs to the end
  ASSERT_EQ(load(file), 1);
  ASSERT_EQ(entry_count(), 1);
  const ResourceEntry& r = resource_table()[0];
  EXPECT_EQ(r.data_offset, PACKAGE_SEARCH_START + 208);
  EXPECT_EQ(r.size, 50);
  EXPECT_EQ(std::u16string(r.url), e.url);
  EXPECT_EQ(std::u16string(r.content_type), std::u16string(SWF_CONTENT_TYPE));
  EXPECT_EQ(r.alternate_url, nullptr);
  EXPECT_EQ(r.post_key, nullptr);
  EXPECT_EQ(flash_vars(), nullptr);
  EXPECT_EQ(movie_base(), nullptr);
  EXPECT_EQ(required_swf_version(), 7);
  EXPECT_EQ(playback_mode(), 0);
}

TEST_F(LoaderTest, MagicAtOddOffsetAlignsFirstEntry) {
  for (size_t stub : {32769u, 32770u, 32771u, 40001u}) {
    pack::Package pkg = page({u"http://example.test/a.swf"});
    Bytes file = build(pkg, stub);
    ASSERT_EQ(load(file), 1) << stub;
    // entry at align(M + 24): size, URL length, URL (25 units) padded, and four empty fields
    int64_t entry = (int64_t(stub) + 24 + 3) & ~int64_t(3);
    EXPECT_EQ(resource_table()[0].data_offset, entry + 4 + 4 + 52 + 4 + 4 + 4 + 4 + 4) << stub;
  }
}

TEST_F(LoaderTest, SearchWindowEdges) {
  // Only the magic and an unknown mode: the stored mode shows whether it was found.
  const struct { int n; int p; bool found; } cases[] = {
      {100, 100 - 21, true}, {100, 100 - 20, false}, {21, 0, true}, {20, 0, false},
      {131072, 131072 - 21, true}, {131072, 131072 - 20, false},
  };
  for (const auto& c : cases) {
    Bytes file(size_t(PACKAGE_SEARCH_START + c.n), 0);
    if (c.n == 131072) file.resize(file.size() + 64, 0);  // more file past the window
    std::memcpy(&file[size_t(PACKAGE_SEARCH_START + c.p)], "QZRB", 4);
    if (size_t(PACKAGE_SEARCH_START + c.p + 12) <= file.size())
      put32(&file, size_t(PACKAGE_SEARCH_START + c.p + 8), 5);
    EXPECT_EQ(load(file), 0);
    EXPECT_EQ(playback_mode() == 5, c.found) << "n=" << c.n << " p=" << c.p;
  }
}

TEST_F(LoaderTest, PackageAtTheLastPossibleOffsetLoads) {
  // Its entry count and first entry lie past the 131072 bytes searched.
  for (int32_t mode : {0, 1}) {
    pack::Package pkg = page({u"http://example.test/a.swf", u"http://example.test/b.xml"});
    pkg.mode = mode;
    if (mode == 1) {
      pkg.entries.clear();
      pkg.player = swf(10);
      pkg.skin = bytes_of(10);
      pkg.video = bytes_of(1000);
    }
    Bytes file = build(pkg, size_t(PACKAGE_LAST_START));
    ASSERT_EQ(load(file), 1) << mode;
    EXPECT_EQ(entry_count(), mode == 1 ? 3 : 2);
    EXPECT_EQ(required_swf_version(), mode == 1 ? 10 : 9);
  }
}

TEST_F(LoaderTest, DamagedPackages) {
  pack::Package good = page({u"http://example.test/a.swf", u"b.xml"});
  Bytes base = build(good);
  constexpr size_t M = PACKAGE_SEARCH_START;
  const struct {
    const char* what;
    std::function<void(Bytes*)> damage;
  } cases[] = {
      {"exactly 32768 bytes", [](Bytes* b) { b->resize(PACKAGE_SEARCH_START); }},
      {"no magic", [](Bytes* b) { (*b)[M] = 'X'; }},
      {"first read of 20 bytes", [](Bytes* b) { b->resize(PACKAGE_SEARCH_START + 20); }},
      {"mode 3", [](Bytes* b) { put32(b, M + 8, 3); }},
      {"mode -1", [](Bytes* b) { put32(b, M + 8, -1); }},
      {"no entries", [](Bytes* b) { put32(b, M + 20, 0); }},
      {"negative count", [](Bytes* b) { put32(b, M + 20, -5); }},
      {"header only", [](Bytes* b) { b->resize(PACKAGE_SEARCH_START + 24); }},
      {"first entry cut", [](Bytes* b) { b->resize(PACKAGE_SEARCH_START + 30); }},
      // the second entry takes 132 bytes; the first movie's 64 bytes end right before it
      {"first data one byte short", [](Bytes* b) { b->resize(b->size() - 132 - 1); }},
      {"URL longer than the read", [](Bytes* b) { put32(b, M + 28, 70000); }},
      {"URL past the file", [](Bytes* b) { put32(b, M + 28, 40000); }},
      {"negative URL length", [](Bytes* b) { put32(b, M + 28, -1); }},
      {"huge URL length", [](Bytes* b) { put32(b, M + 28, INT32_MAX); }},
      {"negative first size", [](Bytes* b) { put32(b, M + 24, -8); }},
      {"first size past 2 GiB", [](Bytes* b) { put32(b, M + 24, INT32_MAX); }},
  };
  for (const auto& c : cases) {
    Bytes file = base;
    c.damage(&file);
    EXPECT_EQ(load(file), 0) << c.what;
  }
}

TEST_F(LoaderTest, ExactFileOf32768BytesIsNotRead) {
  Bytes file(PACKAGE_SEARCH_START, 0);
  EXPECT_EQ(load(file), 0);
  EXPECT_EQ(memory_.reads, 0);
}

TEST_F(LoaderTest, EntryListEndingEarlyKeepsCountedEntries) {
  pack::Package pkg = page({u"a.swf", u"b", u"c"});
  Bytes full = build(pkg);
  const struct { const char* what; size_t cut; int32_t declared; int32_t count; } cases[] = {
      {"third data one byte short", 1, 3, 2},
      {"third entry missing", 124, 3, 2},
      {"third entry cut in its URL", 124 - 10, 3, 2},
      {"more declared than held", 0, 7, 3},
      {"all held", 0, 3, 3},
  };
  for (const auto& c : cases) {
    Bytes file(full.begin(), full.end() - long(c.cut));
    put32(&file, PACKAGE_SEARCH_START + 20, c.declared);
    ASSERT_EQ(load(file), 1) << c.what;
    EXPECT_EQ(entry_count(), c.count) << c.what;
    for (int32_t i = 0; i < entry_count(); ++i) {
      const ResourceEntry& e = resource_table()[i];
      EXPECT_NE(e.url, nullptr);
      EXPECT_LE(int64_t(e.data_offset) + e.size, int64_t(file.size())) << c.what;
    }
  }
}

TEST_F(LoaderTest, VersionByteIsSignExtended) {
  const struct { uint8_t byte; int32_t version; } cases[] = {
      {0, 0}, {9, 9}, {127, 127}, {128, -128}, {200, -56}, {255, -1}};
  for (const auto& c : cases) {
    pack::Package pkg = page({u"a.swf"});
    pkg.entries[0].data = swf(c.byte);
    ASSERT_EQ(load(build(pkg)), 1);
    EXPECT_EQ(required_swf_version(), c.version);
    pkg.mode = 1;
    pkg.player = swf(c.byte);
    pkg.skin = bytes_of(3);
    pkg.video = bytes_of(5);
    ASSERT_EQ(load(build(pkg)), 1);
    EXPECT_EQ(required_swf_version(), c.version);
  }
}

TEST_F(LoaderTest, FirstMovieFields) {
  pack::Package pkg = page({u"http://example.test/site/m.swf", u"x"});
  pkg.mode = 2;
  pkg.flash_vars = u"a=1&b=\u00e9";
  pkg.base = u"http://example.test/base/";
  pkg.entries[0].alternate_url = u"http://alt.test/m.swf";
  pkg.entries[1].post_key = "aWQ9NQ==";
  pkg.entries[1].content_type = u"text/xml";
  Bytes file = build(pkg, 33333);
  ASSERT_EQ(load(file), 1);
  EXPECT_EQ(playback_mode(), 2);
  EXPECT_EQ(std::u16string(flash_vars()), pkg.flash_vars);
  EXPECT_EQ(std::u16string(movie_base()), pkg.base);
  EXPECT_EQ(std::u16string(resource_table()[0].alternate_url), u"http://alt.test/m.swf");
  EXPECT_STREQ(resource_table()[1].post_key, "aWQ9NQ==");
  EXPECT_EQ(std::u16string(resource_table()[1].content_type), u"text/xml");
  EXPECT_EQ(required_swf_version(), 9);
  // The entry data is where the table says.
  const ResourceEntry& e = resource_table()[1];
  EXPECT_EQ(0, std::memcmp(&file[size_t(e.data_offset)], pkg.entries[1].data.bytes.data(), 100));
}

// Where text's UTF-16 units start in file; its length field is 4 bytes before.
size_t text_at(const Bytes& file, const std::u16string& text) {
  Bytes units;
  for (char16_t u : text) units.insert(units.end(), {uint8_t(u), uint8_t(u >> 8)});
  auto found = std::search(file.begin(), file.end(), units.begin(), units.end());
  EXPECT_NE(found, file.end());
  return size_t(found - file.begin());
}

// A damaged first movie's FlashVars, Base or version byte makes the package
// unusable instead of reading past what was read.
TEST_F(LoaderTest, DamagedFirstMovieFields) {
  pack::Package pkg = page({u"a.swf", u"b"});
  pkg.flash_vars = u"fv=1";
  pkg.base = u"http://b.test/";
  const Bytes good = build(pkg);
  const size_t vars = text_at(good, pkg.flash_vars) - 4;
  const size_t base = text_at(good, pkg.base) - 4;
  const struct {
    const char* what;
    std::function<void(Bytes*)> damage;
  } cases[] = {
      {"FlashVars read ends in its length", [&](Bytes* b) { b->resize(vars + 3); }},
      {"FlashVars read ends in its text", [&](Bytes* b) { b->resize(vars + 8); }},
      {"Base read ends in its length", [&](Bytes* b) { b->resize(base + 2); }},
      {"Base read ends in its text", [&](Bytes* b) { b->resize(base + 10); }},
      {"negative FlashVars length", [&](Bytes* b) { put32(b, vars, -1); }},
      {"FlashVars longer than a read", [&](Bytes* b) { put32(b, vars, PACKAGE_READ_SIZE / 2); }},
      {"FlashVars past the file", [&](Bytes* b) { put32(b, vars, 1000); }},
      {"negative Base length", [&](Bytes* b) { put32(b, base, INT32_MIN); }},
  };
  ASSERT_EQ(load(good), 1);
  for (const auto& c : cases) {
    Bytes file = good;
    c.damage(&file);
    EXPECT_EQ(load(file), 0) << c.what;
  }
  // The version byte is read with the Base: a Base that fills the read
  // leaves the byte outside it.
  pkg.base = std::u16string(65531, u'b');
  Bytes longest = build(pkg);
  ASSERT_EQ(load(longest), 1);
  EXPECT_EQ(required_swf_version(), 9);
  put32(&longest, text_at(longest, u"bbbb") - 4, 65532);
  EXPECT_EQ(load(longest), 0);
}

TEST_F(LoaderTest, NonZeroTerminatorIsNotTrusted) {
  pack::Package pkg = page({u"ab"});
  Bytes file = build(pkg);
  // URL text at M+32, terminator at M+36
  file[PACKAGE_SEARCH_START + 36] = 'Z';
  file[PACKAGE_SEARCH_START + 37] = 'Z';
  ASSERT_EQ(load(file), 1);
  EXPECT_EQ(std::u16string(resource_table()[0].url), u"ab");
}

TEST_F(LoaderTest, VideoPackages) {
  pack::Package pkg;
  pkg.mode = 1;
  pkg.width = 640;
  pkg.height = 480;
  pkg.player = swf(8, 101);
  pkg.skin = bytes_of(55);
  pkg.video = bytes_of(1234);
  for (size_t stub : {32768u, 32771u}) {
    Bytes file = build(pkg, stub);
    ASSERT_EQ(load(file), 1);
    EXPECT_EQ(nominal_width(), 640u);
    EXPECT_EQ(nominal_height(), 480u);
    ASSERT_EQ(entry_count(), 3);
    int64_t t1 = (int64_t(stub) + 20 + 3) & ~3;
    int64_t t2 = t1 + 4 + 104;
    int64_t t3 = t2 + 4 + 56;
    const struct { const char16_t* url; const char16_t* type; int32_t size; int64_t at; } want[] = {
        {VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, 101, t1 + 4},
        {VIDEO_SKIN_URL, SWF_CONTENT_TYPE, 55, t2 + 4},
        {VIDEO_FLV_URL, FLV_CONTENT_TYPE, 1234, t3 + 4},
    };
    for (int i = 0; i < 3; ++i) {
      const ResourceEntry& e = resource_table()[i];
      EXPECT_EQ(std::u16string(e.url), want[i].url);
      EXPECT_EQ(std::u16string(e.content_type), want[i].type);
      EXPECT_EQ(e.size, want[i].size);
      EXPECT_EQ(e.data_offset, want[i].at);
      EXPECT_EQ(e.alternate_url, nullptr);
      EXPECT_EQ(e.post_key, nullptr);
    }
    EXPECT_EQ(flash_vars(), nullptr);
    EXPECT_EQ(required_swf_version(), 8);

    Bytes cut(file.begin(), file.end() - 1);
    EXPECT_EQ(load(cut), 0) << "FLV cut short";
    Bytes no_flv(file.begin(), file.begin() + t3);
    EXPECT_EQ(load(no_flv), 0) << "no FLV size field";
    Bytes negative = file;
    put32(&negative, size_t(t2), -4);
    EXPECT_EQ(load(negative), 0) << "negative skin size";
  }
}

TEST_F(LoaderTest, RoundTripOfRandomPackages) {
  std::mt19937 rng(1234);
  auto text = [&](size_t max) {
    std::u16string s(rng() % (max + 1), u'a');
    for (auto& c : s) c = char16_t(1 + rng() % 0xFFFE);
    return s;
  };
  // Read sizes change the reads, never the result: down to one byte a read.
  const int32_t first_reads[] = {512, 1, 4, 5, 8};
  for (int round = 0; round < 40; ++round) {
    set_loader_read_sizes_for_test(first_reads[round % 5], round % 2 ? 3 : PACKAGE_READ_SIZE);
    pack::Package pkg;
    pkg.mode = int32_t(rng() % 2) * 2;
    pkg.width = rng() % 2000;
    pkg.height = rng() % 2000;
    pkg.flash_vars = text(40);
    pkg.base = text(40);
    size_t n = 1 + rng() % 12;
    for (size_t i = 0; i < n; ++i) {
      pack::PageEntry e;
      e.url = text(300);
      e.alternate_url = text(3) .empty() ? u"" : text(100);
      e.post_key = std::string(rng() % 20, 'K');
      e.content_type = text(30);
      size_t size = i == 0 ? 4 + rng() % 100 : rng() % 5000;
      if (i == 1 && round % 2) size += 140000;  // the later entries lie past the search window
      e.data = bytes_of(size, uint8_t(i));
      pkg.entries.push_back(e);
    }
    Bytes file = build(pkg, PACKAGE_SEARCH_START + rng() % 1000);
    ASSERT_EQ(load(file), 1);
    ASSERT_EQ(entry_count(), int32_t(n));
    EXPECT_EQ(playback_mode(), pkg.mode);
    EXPECT_EQ(nominal_width(), pkg.width);
    auto same = [](const char16_t* got, const std::u16string& want) {
      // texts are cut at an embedded zero; the random texts have none
      return want.empty() ? got == nullptr : got && std::u16string(got) == want;
    };
    EXPECT_TRUE(same(flash_vars(), pkg.flash_vars));
    EXPECT_TRUE(same(movie_base(), pkg.base));
    for (size_t i = 0; i < n; ++i) {
      const ResourceEntry& e = resource_table()[i];
      const pack::PageEntry& w = pkg.entries[i];
      EXPECT_EQ(std::u16string(e.url), w.url);
      EXPECT_TRUE(same(e.alternate_url, w.alternate_url));
      EXPECT_TRUE(same(e.content_type, w.content_type));
      EXPECT_EQ(e.post_key ? std::string(e.post_key) : std::string(), w.post_key);
      ASSERT_EQ(e.size, int32_t(w.data.bytes.size()));
      EXPECT_EQ(0, std::memcmp(&file[size_t(e.data_offset)], w.data.bytes.data(), size_t(e.size)));
    }
  }
}

pack::BrowserRuntime runtime_of(size_t files) {
  pack::BrowserRuntime rt;
  rt.description = u"Runtime 1.0 (MIT)";
  const char16_t* names[] = {u"index.html", u"sw.js", u"core.wasm"};
  const char16_t* codings[] = {u"", u"", u"br"};
  for (size_t i = 0; i < files; ++i) {
    std::u16string name = i < 3 ? names[i] : u"f" + std::u16string(1, char16_t(u'0' + i));
    rt.files.push_back({name, u"text/plain", codings[i % 3], bytes_of(7 + 5 * i, uint8_t(i))});
  }
  return rt;
}

// The runtime section after either kind of package: read whole, or when
// anything is wrong with it, none, while the package plays all the same.
TEST_F(LoaderTest, RuntimeSection) {
  pack::Package pages = page({u"a.swf", u"b", u"c"});
  pack::Package video;
  video.mode = 1;
  video.player = swf(10, 33);
  video.skin = bytes_of(5);
  video.video = bytes_of(1001);
  for (pack::Package* pkg : {&pages, &video}) {
    pkg->runtime = runtime_of(3);
    const Bytes good = build(*pkg, 32771);
    const Bytes plain = [&] {
      pack::Package bare = *pkg;
      bare.runtime = {};
      return build(bare, 32771);
    }();
    const size_t r = (plain.size() + 3) & ~size_t(3);
    const struct {
      const char* what;
      std::function<void(Bytes*)> change;
      bool carried;
    } cases[] = {
        {"whole", [](Bytes*) {}, true},
        {"absent", [&](Bytes* b) { *b = plain; }, false},
        {"cut by one byte", [](Bytes* b) { b->pop_back(); }, false},
        {"cut in the header", [&](Bytes* b) { b->resize(r + 6); }, false},
        {"other magic", [&](Bytes* b) { (*b)[r + 3] = 'B'; }, false},
        {"no files", [&](Bytes* b) { put32(b, r + 4, 0); }, false},
        {"65 files", [&](Bytes* b) { put32(b, r + 4, 65); }, false},
        {"more files than held", [&](Bytes* b) { put32(b, r + 4, 4); }, false},
        {"negative count", [&](Bytes* b) { put32(b, r + 4, -1); }, false},
        {"description past the end", [&](Bytes* b) { put32(b, r + 8, 1 << 20); }, false},
        {"last size past the end", [&](Bytes* b) { put32(b, text_at(*b, u"core.wasm") - 8, 18); }, false},
        {"negative size", [&](Bytes* b) { put32(b, text_at(*b, u"core.wasm") - 8, -1); }, false},
        {"dot name", [&](Bytes* b) { (*b)[text_at(*b, u"sw.js")] = '.'; }, false},
        {"slash in a name", [&](Bytes* b) { (*b)[text_at(*b, u"sw.js") + 2] = '/'; }, false},
        {"empty name", [&](Bytes* b) { (*b)[text_at(*b, u"sw.js")] = 0; }, false},
    };
    for (const auto& c : cases) {
      Bytes file = good;
      c.change(&file);
      ASSERT_EQ(load(file), 1) << c.what;
      EXPECT_EQ(entry_count(), 3) << c.what;
      if (!c.carried) {
        EXPECT_EQ(runtime_file_count(), 0) << c.what;
        EXPECT_EQ(runtime_description(), nullptr) << c.what;
        EXPECT_EQ(runtime_file(0), nullptr) << c.what;
        continue;
      }
      ASSERT_EQ(runtime_file_count(), 3) << c.what;
      EXPECT_EQ(std::u16string(runtime_description()), pkg->runtime.description);
      for (int32_t i = 0; i < 3; ++i) {
        const RuntimeFile* f = runtime_file(i);
        const pack::BrowserFile& w = pkg->runtime.files[size_t(i)];
        EXPECT_EQ(std::u16string(f->name), w.name);
        EXPECT_EQ(std::u16string(f->content_type), w.content_type);
        EXPECT_EQ(std::u16string(f->coding), w.coding);  // "" is an empty text, not null
        ASSERT_EQ(f->size, int32_t(w.data.bytes.size()));
        EXPECT_EQ(0, std::memcmp(&good[size_t(f->data_offset)], w.data.bytes.data(), w.data.bytes.size()));
        EXPECT_EQ(find_runtime_file(w.name.c_str()), i);
      }
      EXPECT_EQ(runtime_file(3), nullptr);
      EXPECT_EQ(find_runtime_file(u"SW.JS"), -1);
      EXPECT_EQ(find_runtime_file(u"sw"), -1);
    }
  }
  // A truncated page package carries none, though its section is whole.
  pages.runtime = runtime_of(1);
  Bytes file = build(pages);
  put32(&file, PACKAGE_SEARCH_START + 20, 4);
  ASSERT_EQ(load(file), 1);
  EXPECT_EQ(entry_count(), 3);
  EXPECT_EQ(runtime_file_count(), 0);
  // The longest section: 64 files.
  pages.runtime = runtime_of(64);
  ASSERT_EQ(load(build(pages)), 1);
  EXPECT_EQ(runtime_file_count(), 64);
  EXPECT_EQ(find_runtime_file(u"core.wasm"), 2);
}

TEST_F(LoaderTest, BytesReadDoNotGrowWithEntryData) {
  int64_t read_small = 0, read_large = 0;
  // Past the search window, each entry costs the same whatever its size.
  for (size_t data : {size_t(300000), size_t(900000)}) {
    pack::Package pkg;
    for (int i = 0; i < 10; ++i) {
      pack::PageEntry e;
      e.url = u"http://example.test/files/" + std::u16string(1, char16_t(u'a' + i % 26)) + u".bin";
      e.data = i == 0 ? swf(9) : bytes_of(data);
      pkg.entries.push_back(e);
    }
    ASSERT_EQ(load(build(pkg)), 1);
    (data == 300000 ? read_small : read_large) = memory_.bytes_read;
  }
  EXPECT_EQ(read_small, read_large);
  EXPECT_LT(read_large, 10 * 64 * 1024);
}

}  // namespace
