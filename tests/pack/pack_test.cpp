#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "package_writer.h"
#include "file_source.h"

namespace fs = std::filesystem;

namespace {

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tessivo-pack-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write("stub.exe", std::string(40000, '\0'));
    write("movie.swf", std::string("FWS\x09") + std::string(60, 'm'));
    write("data.xml", "<data/>");
  }
  void TearDown() override {
    fs::remove_all(dir_);
    reset_player_state();
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }

  // Runs "pack build" and captures what it printed on stderr.
  int build(const std::string& manifest, const std::string& stub = "stub.exe") {
    write("manifest.toml", manifest);
    std::string s = path(stub), o = path("out.exe"), m = path("manifest.toml");
    std::vector<std::string> args = {"--stub", s, "-o", o, m};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::fflush(stderr);
    ::testing::internal::CaptureStderr();
    int rc = command_pack(int(argv.size()), argv.data());
    errors_ = ::testing::internal::GetCapturedStderr();
    return rc;
  }

  fs::path dir_;
  std::string errors_;
};

const char kGood[] =
    "mode = \"page-post\"\nwidth = 320\nheight = 240\nflash_vars = \"a=1\"\n"
    "[[entry]]\nurl = \"http://example.test/m.swf\"\nfile = \"movie.swf\"\n"
    "content_type = \"application/x-shockwave-flash\"\n"
    "[[entry]]\nurl = \"http://example.test/d.php\"\npost_body = \"id=5\"\nfile = \"data.xml\"\n";

TEST_F(PackTest, BuildThenLoadGivesTheManifestsEntries) {
  ASSERT_EQ(build(kGood), 0) << errors_;
  std::string error;
  ASSERT_TRUE(load_player_exe(path("out.exe"), &error)) << error;
  EXPECT_EQ(playback_mode(), 2);
  EXPECT_EQ(nominal_width(), 320u);
  EXPECT_EQ(std::u16string(flash_vars()), u"a=1");
  ASSERT_EQ(entry_count(), 2);
  EXPECT_EQ(std::u16string(resource_table()[0].url), u"http://example.test/m.swf");
  EXPECT_STREQ(resource_table()[1].post_key, "aWQ9NQ==");
  EXPECT_EQ(resource_table()[1].size, 7);
  EXPECT_EQ(required_swf_version(), 9);
  EXPECT_FALSE(fs::exists(path("out.exe.part")));
}

TEST_F(PackTest, VideoManifest) {
  write("skin.swf", "FWS\x08skin");
  write("movie.flv", std::string(5000, 'v'));
  ASSERT_EQ(build("mode = \"video\"\nwidth = 640\nheight = 480\n[video]\nplayer = \"movie.swf\"\n"
                  "skin = \"skin.swf\"\nflv = \"movie.flv\"\n"),
            0)
      << errors_;
  std::string error;
  ASSERT_TRUE(load_player_exe(path("out.exe"), &error)) << error;
  EXPECT_EQ(playback_mode(), 1);
  ASSERT_EQ(entry_count(), 3);
  EXPECT_EQ(resource_table()[2].size, 5000);
}

TEST_F(PackTest, ErrorsLeaveNoOutput) {
  write("big-stub.exe", std::string(PACKAGE_LAST_START + 1, '\0'));
  write("short-stub.exe", std::string(PACKAGE_SEARCH_START - 1, '\0'));
  write("magic-stub.exe", std::string(33000, '\0') + "QZRB" + std::string(100, '\0'));
  const struct {
    const char* what;
    std::string manifest;
    std::string stub;
    const char* message;
  } cases[] = {
      {"stub too long", kGood, "big-stub.exe", "stub is 163820 bytes"},
      {"stub too short", kGood, "short-stub.exe", "stub is 32767 bytes"},
      {"magic in the stub", kGood, "magic-stub.exe", "magic at offset 33000"},
      {"missing stub", kGood, "none.exe", "none.exe"},
      {"missing data file", "mode = \"page\"\n[[entry]]\nurl = \"a\"\nfile = \"nope.swf\"\n",
       "stub.exe", "manifest.toml:4: "},
      {"syntax error", "mode = \"page\"\n\n[[entry]\n", "stub.exe", "manifest.toml:3: "},
      {"unknown key", "mode = \"page\"\n[[entry]]\nurl = \"a\"\nfile = \"movie.swf\"\nurll = 1\n",
       "stub.exe", "manifest.toml:5: unknown key \"urll\""},
      {"bad mode", "mode = \"web\"\n", "stub.exe", "manifest.toml:1: "},
      {"no entries", "mode = \"page\"\n", "stub.exe", "at least one [[entry]]"},
      {"first movie too short", "mode = \"page\"\n[[entry]]\nurl = \"a\"\nfile = \"data.xml\"\n"
       "content_type = \"x\"\n", "stub.exe", ""},
      {"two bodies", "mode = \"page-post\"\n[[entry]]\nurl = \"a\"\nfile = \"movie.swf\"\n"
       "post_body = \"x\"\npost_key = \"eA==\"\n", "stub.exe", "only one of"},
      {"URL longer than the player reads",
       "mode = \"page\"\n[[entry]]\nurl = \"" + std::string(70000, 'u') + "\"\nfile = \"movie.swf\"\n",
       "stub.exe", "reads at most 131072"},
  };
  write("data.xml", "<a>");  // shorter than a SWF header
  for (const auto& c : cases) {
    EXPECT_NE(build(c.manifest, c.stub), 0) << c.what;
    EXPECT_NE(errors_.find(c.message), std::string::npos) << c.what << ": " << errors_;
    EXPECT_FALSE(fs::exists(path("out.exe"))) << c.what;
    EXPECT_FALSE(fs::exists(path("out.exe.part"))) << c.what;
  }
}

TEST(PackageChecks, VideoPackageWithEmptyFlvIsRefused) {
  // The loader rejects a video package whose FLV is empty, so the packer must not write one.
  pack::Package pkg;
  pkg.mode = 1;
  pkg.player.bytes = {'F', 'W', 'S', 9, 0, 0};
  pkg.skin.bytes = {1, 2, 3};
  std::vector<uint8_t> stub(PACKAGE_SEARCH_START, 0);
  pack::MemorySink sink;
  EXPECT_NE(pack::write_player(stub, pkg, &sink).find("FLV"), std::string::npos);
  pkg.video.bytes = {7};
  pack::MemorySink one;
  ASSERT_EQ(pack::write_player(stub, pkg, &one), "");
  MemorySource memory{one.bytes.data(), int64_t(one.bytes.size()), 0, 0};
  EXPECT_EQ(load_package_from(memory_source(&memory)), 1);
  reset_player_state();
}

TEST(PackageChecks, TextsHoldingNulAreRefused) {
  // The player would keep only what comes before the NUL.
  const std::u16string nul(u"http://example.test/a\0b", 22);
  for (int field = 0; field < 6; ++field) {
    pack::Package pkg;
    pack::PageEntry e;
    e.url = u"http://example.test/m.swf";
    e.data.bytes = {'F', 'W', 'S', 9};
    if (field == 0) e.url = nul;
    if (field == 1) e.alternate_url = nul;
    if (field == 2) e.post_key = std::string("YQ==\0Yg==", 9);
    if (field == 3) e.content_type = nul;
    if (field == 4) pkg.flash_vars = nul;
    if (field == 5) pkg.base = nul;
    pkg.entries.push_back(e);
    EXPECT_NE(pack::check_package(pkg, 40000).find("NUL"), std::string::npos) << field;
  }
}

TEST(PackageChecks, PackagePastTwoGigabytesIsRefused) {
  pack::Package pkg;
  pack::PageEntry e;
  e.url = u"a";
  e.data.path = "unused";
  e.data.size = 4;
  pkg.entries.push_back(e);
  EXPECT_EQ(pack::check_package(pkg, 40000), "");
  e.data.size = (int64_t(1) << 31) - 40000;
  pkg.entries.push_back(e);
  EXPECT_NE(pack::check_package(pkg, 40000).find("past 2 GiB"), std::string::npos);
  pkg.mode = 1;
  pkg.player.bytes = {'F', 'W', 'S', 9};
  pkg.video.path = "unused";
  pkg.video.size = int64_t(1) << 31;
  EXPECT_NE(pack::check_package(pkg, 40000).find("past 2 GiB"), std::string::npos);
}

}  // namespace
