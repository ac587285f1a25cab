#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/sha.h"
#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "pack/loaded_player.h"
#include "pack/package_writer.h"
#include "pack/stub/carried_stub.h"

namespace fs = std::filesystem;

namespace {

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process in the name: other checkouts on the machine run these too.
    dir_ = fs::temp_directory_path() /
           ("tessivo-pack-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
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

  std::string path(const std::string& name) const { return (dir_ / fs::u8path(name)).u8string(); }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / fs::u8path(name), std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) {
    std::ifstream f(dir_ / fs::u8path(name), std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  // Runs a subcommand, keeping what it printed.
  int run(int (*command)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::fflush(stdout);
    std::fflush(stderr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int rc = command(int(argv.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    output_ = ::testing::internal::GetCapturedStdout();
    errors_ = ::testing::internal::GetCapturedStderr();
    return rc;
  }

  // Runs "pack build" on manifest text, with --stub unless stub is empty.
  int build(const std::string& manifest, const std::string& stub = "stub.exe",
            std::vector<std::string> extra = {}) {
    write("manifest.toml", manifest);
    std::vector<std::string> args = {"-o", path("out.exe"), path("manifest.toml")};
    if (!stub.empty()) args.insert(args.end(), {"--stub", path(stub)});
    args.insert(args.end(), extra.begin(), extra.end());
    return run(command_build, args);
  }

  // No output and no temporary file beside it.
  void expect_nothing_written(const std::string& what) {
    EXPECT_FALSE(fs::exists(path("out.exe"))) << what;
    for (const auto& f : fs::directory_iterator(dir_))
      EXPECT_EQ(f.path().extension().string().find(".part"), std::string::npos) << what << ": " << f.path();
  }

  fs::path dir_;
  std::string output_, errors_;
};

const char kGood[] =
    "mode = \"page-post\"\nwidth = 320\nheight = 240\nflash_vars = \"a=1\"\n"
    "[[entry]]\nurl = \"http://example.test/m.swf\"\nfile = \"movie.swf\"\n"
    "content_type = \"application/x-shockwave-flash\"\n"
    "[[entry]]\nurl = \"http://example.test/d.php\"\npost_body = \"id=5\"\nfile = \"data.xml\"\n"
    "content_type = \"text/xml\"\n";

const std::string kMovie = "[[entry]]\nurl = \"http://example.test/m.swf\"\nfile = \"movie.swf\"\ncontent_type = \"\"\n";

TEST_F(PackTest, BuildThenLoadGivesTheManifestsEntries) {
  ASSERT_EQ(build(kGood), 0) << errors_;
  EXPECT_EQ(errors_, "");
  pack::LoadedPlayer loaded;
  common::Error error;
  ASSERT_TRUE(loaded.load_exe(path("out.exe"), &error)) << error.text();
  EXPECT_EQ(playback_mode(), 2);
  EXPECT_EQ(nominal_width(), 320u);
  EXPECT_EQ(std::u16string(flash_vars()), u"a=1");
  ASSERT_EQ(entry_count(), 2);
  EXPECT_EQ(std::u16string(resource_table()[0].url), u"http://example.test/m.swf");
  EXPECT_STREQ(resource_table()[1].post_key, "aWQ9NQ==");
  EXPECT_EQ(resource_table()[1].size, 7);
  EXPECT_EQ(required_swf_version(), 9);
}

// Players carry the browser runtime unless built with --no-browser; list
// names it, and a player cut inside it plays on with every entry.
TEST_F(PackTest, BrowserRuntimeIsCarriedUnlessLeftOut) {
  ASSERT_EQ(build(kGood), 0) << errors_;
  const std::string with = read("out.exe");
  ASSERT_EQ(run(command_list, {path("out.exe")}), 0);
  EXPECT_NE(output_.find("browser runtime: \"Ruffle 0."), std::string::npos) << output_;
  EXPECT_NE(output_.find(" (MIT OR Apache-2.0)\", 7 files, "), std::string::npos) << output_;
  EXPECT_NE(output_.find("licences: LICENSE_MIT, LICENSE_APACHE\n"), std::string::npos) << output_;
  EXPECT_NE(output_.find("  index.html: "), std::string::npos) << output_;
  ASSERT_EQ(run(command_list, {path("out.exe"), "--json"}), 0);
  EXPECT_NE(output_.find(",\"licences\":[\"LICENSE_MIT\",\"LICENSE_APACHE\"],\"files\":[{\"name\":\"index.html\""),
            std::string::npos) << output_;

  write("cut.exe", with.substr(0, with.size() - 1));
  ASSERT_EQ(run(command_list, {path("cut.exe")}), 0) << errors_;
  EXPECT_NE(output_.find("browser runtime: none\nentries: 2\n"), std::string::npos) << output_;

  ASSERT_EQ(build(kGood, "stub.exe", {"--no-browser"}), 0) << errors_;
  EXPECT_LT(read("out.exe").size() + 1000000, with.size());
  ASSERT_EQ(run(command_list, {path("out.exe"), "--json"}), 0);
  EXPECT_NE(output_.find("\"browser_runtime\":null"), std::string::npos) << output_;
}

TEST_F(PackTest, VideoManifest) {
  write("skin.swf", "CWS\x08skin");
  write("movie.flv", "FLV" + std::string(5000, 'v'));
  ASSERT_EQ(build("mode = \"video\"\nwidth = 640\nheight = 480\n[video]\nplayer = \"movie.swf\"\n"
                  "skin = \"skin.swf\"\nflv = \"movie.flv\"\n"),
            0)
      << errors_;
  pack::LoadedPlayer loaded;
  common::Error error;
  ASSERT_TRUE(loaded.load_exe(path("out.exe"), &error)) << error.text();
  EXPECT_EQ(playback_mode(), 1);
  ASSERT_EQ(entry_count(), 3);
  EXPECT_EQ(resource_table()[2].size, 5003);
}

// Every refusal and warning: the exit code, the message with its manifest
// line, and no output unless the build succeeds.
TEST_F(PackTest, RefusalsAndWarnings) {
  write("big-stub.exe", std::string(PACKAGE_LAST_START + 1, '\0'));
  write("short-stub.exe", std::string(PACKAGE_SEARCH_START - 1, '\0'));
  write("magic-stub.exe", std::string(33000, '\0') + "QZRB" + std::string(100, '\0'));
  write("low-stub.exe", std::string(PACKAGE_SEARCH_START, '\0'));
  write("top-stub.exe", std::string(PACKAGE_LAST_START, '\0'));
  write("first-magic-stub.exe", std::string(PACKAGE_SEARCH_START, '\0') + "QZRB" + std::string(100, '\0'));
  write("last-magic-stub.exe", std::string(40000, '\0') + "QZRB");
  write("early-magic-stub.exe", std::string(PACKAGE_SEARCH_START - 4, '\0') + "QZRB" + std::string(100, '\0'));
  write("page.html", "<html>");
  write("skin.swf", "FWS\x08skin");
  write("movie.flv", "FLV\x01");
  const std::string video = "mode = \"video\"\n[video]\nplayer = \"movie.swf\"\n";
  const std::string pp = "mode = \"page-post\"\n" + kMovie;
  const struct {
    std::string manifest;
    int rc;
    const char* message;
    std::string stub = "stub.exe";
    std::vector<std::string> extra = {};
  } cases[] = {
      {kGood, 1, "stub is 163820 bytes", "big-stub.exe"},
      {kGood, 1, "stub is 32767 bytes", "short-stub.exe"},
      {kGood, 1, "magic-stub.exe: at byte 33000: the stub holds the package magic", "magic-stub.exe"},
      // both ends of the stub's range, and the magic at both ends of the searched part
      {kGood, 0, "", "low-stub.exe"},
      {kGood, 0, "", "top-stub.exe"},
      {kGood, 1, "at byte 32768: the stub holds the package magic", "first-magic-stub.exe"},
      {kGood, 1, "at byte 40000: the stub holds the package magic", "last-magic-stub.exe"},
      {kGood, 0, "", "early-magic-stub.exe"},
      {kGood, 1, "none.exe", "none.exe"},
      {"mode = \"page\"\n[[entry]]\nurl = \"a\"\nfile = \"nope.swf\"\n", 1, "manifest.toml:4: error: "},
      {"mode = \"page\"\n\n[[entry]\n", 1, "manifest.toml:3: error: "},
      {"mode = \"page\"\n[[entry]]\nurl = \"a\"\nfile = \"movie.swf\"\nurll = 1\n", 1,
       "manifest.toml:5: error: unknown key \"urll\""},
      {"mode = \"web\"\n", 1, "manifest.toml:1: "},
      {"mode = \"page\"\n", 1, "at least one [[entry]]"},
      {pp + "post_body = \"x\"\npost_key = \"eA==\"\n", 1, "only one of"},
      {"mode = \"page\"\n[[entry]]\nurl = \"" + std::string(70000, 'u') + "\"\nfile = \"movie.swf\"\n", 1,
       "reads at most 131072"},
      {"mode = \"page\"\n[[entry]]\nurl = \"\"\nfile = \"movie.swf\"\n", 1,
       "manifest.toml:3: error: entry 0: the URL is empty"},
      {"mode = \"page\"\n[[entry]]\nurl = \"http://x.test/p.html\"\nfile = \"page.html\"\n", 1,
       "manifest.toml:4: error: entry 0: the first movie is not a SWF"},
      {"mode = \"page\"\n" + kMovie + "[[entry]]\nurl = \"HTTP://EXAMPLE.test/M.swf\"\nfile = \"data.xml\"\n", 1,
       "manifest.toml:7: error: entry 1: the URL \"HTTP://EXAMPLE.test/M.swf\" is already served by entry 0 (line 3)"},
      {"mode = \"page\"\n" + kMovie + "[[entry]]\nurl = \"http://example.test/d\"\n"
       "alternate_url = \"http://example.test/m.SWF\"\nfile = \"data.xml\"\n", 1, ":8: error: entry 1: the alternate URL"},
      // page-post's best match tells letter case apart; the same text it does not.
      {pp + "[[entry]]\nurl = \"http://example.test/M.swf\"\nfile = \"data.xml\"\n", 0,
       ":7: warning: entry 1: the URL \"http://example.test/M.swf\" is already served by entry 0 (line 3); "
       "the player compares URLs ignoring letter case, so this entry is found only by a best match"},
      {pp + "[[entry]]\nurl = \"http://example.test/d\"\nalternate_url = \"http://example.test/m.swf\"\n"
       "file = \"data.xml\"\n", 1, ":8: error: entry 1: the alternate URL"},
      {pp + "post_body = \"a\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\npost_body = \"a\"\nfile = \"data.xml\"\n",
       1, "entry 1: the URL"},
      // A request without a body finds the earlier entry first.
      {pp + "post_body = \"a\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\nfile = \"data.xml\"\n", 1,
       "entry 1: the URL"},
      // page-post tells bodies apart, page does not.
      {pp + "post_body = \"a\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\npost_body = \"b\"\nfile = \"data.xml\"\n",
       0, ""},
      {"mode = \"page\"\n" + kMovie + "post_body = \"a\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\n"
       "post_body = \"b\"\nfile = \"data.xml\"\n", 1, "entry 1: the URL"},
      // Keys that differ in letter case alone (eD1J, eD1j): the player tells them apart.
      {pp + "post_body = \"x=I\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\npost_body = \"x=c\"\n"
       "file = \"data.xml\"\ncontent_type = \"\"\n", 0, "", "stub.exe", {"--strict"}},
      {pp + "post_key = \"not base64!\"\n", 1, "manifest.toml:6: error: entry 0: post_key \"not base64!\" is not base64"},
      {pp + "post_key = \"eA=x\"\n", 1, "is not base64"},
      {"mode = \"page\"\nwidth = 40000\n" + kMovie, 1, "manifest.toml:2: error: \"width\" is 40000"},
      {"mode = \"page\"\nheight = 32768\n" + kMovie, 1, "\"height\" is 32768"},
      {"mode = \"page\"\nheight = 32767\n" + kMovie, 0, ""},
      {video + "skin = \"movie.swf\"\nflv = \"movie.swf\"\n", 1, "manifest.toml:5: error: the video is not an FLV"},
      {video + "skin = \"page.html\"\nflv = \"movie.flv\"\n", 1, "manifest.toml:4: error: the skin movie is not a SWF"},
      {"mode = \"video\"\n[video]\nplayer = \"movie.flv\"\nskin = \"skin.swf\"\nflv = \"movie.flv\"\n", 1,
       "error: the video player movie is not a SWF"},
      {pp + "[[entry]]\nurl = \"data.xml\"\nfile = \"data.xml\"\ncontent_type = \"\"\n", 0,
       "manifest.toml:7: warning: entry 1: the URL \"data.xml\" has no scheme"},
      {pp + "[[entry]]\nurl = \"data.xml\"\nfile = \"data.xml\"\ncontent_type = \"\"\n", 1, "(--strict)", "stub.exe",
       {"--strict"}},
      {"mode = \"page\"\n" + kMovie + "post_body = \"a\"\n", 0, "warning: entry 0: a POST body in mode \"page\""},
      {pp + "[[entry]]\nurl = \"http://example.test/d.xml\"\nfile = \"data.xml\"\n", 0,
       "manifest.toml:8: warning: entry 1: no content type given; using text/xml"},
      {pp + "[[entry]]\nurl = \"http://example.test/d.xml\"\nfile = \"data.xml\"\n", 1, "1 warning(s) (--strict)",
       "stub.exe", {"--strict"}},
  };
  for (const auto& c : cases) {
    fs::remove(path("out.exe"));
    int rc = build(c.manifest, c.stub, c.extra);
    std::string what = c.manifest.substr(0, 200) + " " + c.stub;
    EXPECT_EQ(rc, c.rc) << what << "\n" << errors_;
    EXPECT_NE(errors_.find(c.message), std::string::npos) << what << "\n" << errors_;
    if (c.rc != 0) {
      expect_nothing_written(what);
    } else {
      EXPECT_TRUE(fs::exists(path("out.exe"))) << what;
    }
  }
}

TEST_F(PackTest, UsageErrorsNameTheOption) {
  const struct {
    int (*command)(int, char**);
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {command_build, {"manifest.toml"}, "missing -o"},
      {command_build, {"-o", "x.exe"}, "missing MANIFEST"},
      {command_build, {"-o"}, "-o needs a file name"},
      {command_build, {"--sub", "s.exe"}, "unknown option --sub"},
      {command_build, {"-o", "x.exe", "a.toml", "b.toml"}, "one manifest only; \"b.toml\" is a second"},
      {command_build, {"--output", "x.exe"}, "missing MANIFEST"},
      {command_build, {"-o", "x.exe", "a.toml", "--stub"}, "--stub needs a file name"},
      {command_list, {}, "missing PLAYER.exe"},
      {command_list, {"--jsn", "a.exe"}, "unknown option --jsn"},
      {command_explain, {"a.exe"}, "missing URL"},
      {command_explain, {"a.exe", "u", "--post"}, "--post needs a value"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.command, c.args), 2) << c.message;
    EXPECT_NE(errors_.find(c.message), std::string::npos) << errors_;
  }
  // Each usage is written once: --help and a usage error show the same one.
  const struct {
    int (*command)(int, char**);
    const cli::Help& (*help)();
  } commands[] = {
      {command_build, build_help}, {command_list, list_help},   {command_explain, explain_help},
      {command_audit, audit_help}, {command_import, import_help}, {command_video, video_help},
  };
  for (const auto& c : commands) {
    const std::string usage = c.help().usage;
    SCOPED_TRACE(usage);
    EXPECT_EQ(run(c.command, {"--help"}), 0);
    EXPECT_EQ(output_.compare(0, usage.size(), usage), 0) << output_;
    EXPECT_NE(output_.find("Exit codes"), std::string::npos);
    EXPECT_EQ(run(c.command, {"--no-such-option"}), 2);
    EXPECT_NE(errors_.find(usage), std::string::npos) << errors_;
  }
}

// -o may not name an input, by any path to it; nothing is touched.
TEST_F(PackTest, OutputNamingAnInputIsRefused) {
  write("manifest.toml", kGood);
  fs::create_directories(dir_ / "sub");
  std::error_code no_symlink, no_hard_link;  // links may be missing under Wine
  fs::create_symlink(dir_ / "movie.swf", dir_ / "link.swf", no_symlink);
  fs::create_hard_link(dir_ / "data.xml", dir_ / "hard.xml", no_hard_link);
  const struct {
    std::string out;
    const char* message;
  } cases[] = {
      {path("manifest.toml"), "it is the manifest"},
      {path("stub.exe"), "it is the stub"},
      {path("movie.swf"), "it is the file of entry 0"},
      {path("sub/../movie.swf"), "it is the file of entry 0"},
      {path("link.swf"), "it is the file of entry 0"},
      {path("hard.xml"), "it is the file of entry 1"},
#ifdef _WIN32
      // The system's own reason, not whatever errno held before.
      {path("a|b.exe"), ": Invalid name"},
#endif
      {path("missing/out.exe"), "folder " },  // last: its whole message is checked below
  };
  for (const auto& c : cases) {
    if ((no_symlink && c.out == path("link.swf")) || (no_hard_link && c.out == path("hard.xml"))) continue;
    std::string before = fs::exists(c.out) ? read(fs::path(c.out).lexically_relative(dir_).string()) : "";
    EXPECT_EQ(run(command_build, {"--stub", path("stub.exe"), "-o", c.out, path("manifest.toml")}), 1) << c.out;
    EXPECT_NE(errors_.find(c.message), std::string::npos) << errors_;
    if (!before.empty()) {
      EXPECT_EQ(read(fs::path(c.out).lexically_relative(dir_).string()), before);
    }
  }
  EXPECT_NE(errors_.find("cannot write " + path("missing/out.exe") + ": folder " + path("missing") +
                         " does not exist"),
            std::string::npos)
      << errors_;
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(PackTest, PackedPlayerIsNoStub) {
  ASSERT_EQ(build(kGood), 0) << errors_;
  fs::rename(path("out.exe"), path("player.exe"));
  EXPECT_EQ(build(kGood, "player.exe"), 1);
  EXPECT_NE(errors_.find("player.exe is already a packed player; give the bare stub"), std::string::npos) << errors_;
}

TEST_F(PackTest, ContentTypeFromTheExtensionAndListJson) {
  write("pic.PNG", "png");
  ASSERT_EQ(build("mode = \"page-post\"\n[[entry]]\nurl = \"http://example.test/m.swf\"\nfile = \"movie.swf\"\n"
                  "[[entry]]\nurl = \"http://example.test/p\"\nfile = \"pic.PNG\"\n"
                  "[[entry]]\nurl = \"http://example.test/d\"\nfile = \"data.xml\"\ncontent_type = \"\"\n"),
            0);
  EXPECT_EQ(run(command_list, {"--json", path("out.exe")}), 0) << errors_;
  EXPECT_NE(output_.find("\"index\":0,\"url\":\"http://example.test/m.swf\",\"alternate_url\":null,"
                         "\"post_key\":null,\"content_type\":\"application/x-shockwave-flash\""),
            std::string::npos)
      << output_;
  EXPECT_NE(output_.find("\"content_type\":\"image/png\""), std::string::npos) << output_;
  EXPECT_NE(output_.find("\"url\":\"http://example.test/d\",\"alternate_url\":null,\"post_key\":null,"
                         "\"content_type\":null"),
            std::string::npos)
      << output_;
  EXPECT_EQ(run(command_list, {path("out.exe")}), 0);
  EXPECT_NE(output_.find("content type: \"image/png\""), std::string::npos) << output_;
}

// A capture without types names the first ten and counts the rest.
TEST_F(PackTest, ContentTypeWarningsAreCapped) {
  std::string manifest = "mode = \"page-post\"\n";
  for (int i = 0; i < 13; ++i)
    manifest += "[[entry]]\nurl = \"http://example.test/" + std::to_string(i) + ".swf\"\nfile = \"movie.swf\"\n";
  ASSERT_EQ(build(manifest), 0) << errors_;
  size_t named = 0;
  for (size_t at = errors_.find("no content type given"); at != std::string::npos;
       at = errors_.find("no content type given", at + 1))
    ++named;
  EXPECT_EQ(named, 10u) << errors_;
  EXPECT_NE(errors_.find("3 more entries without a content type"), std::string::npos) << errors_;
}

// list tells what the player does with a damaged or cut player.
TEST_F(PackTest, ListOnDamagedPlayers) {
  ASSERT_EQ(build(kGood, "stub.exe", {"--no-browser"}), 0) << errors_;
  const std::string whole = read("out.exe");
  const struct {
    std::string bytes;
    int rc;
    const char* message;
  } cases[] = {
      {whole.substr(0, whole.size() - 1), 0, "the package declares 2 entries, 1 are present; the player serves the 1"},
      {whole.substr(0, 40100), 1, "the player refuses this package: the first entry"},
      {whole.substr(0, 40000), 1, "the player refuses this package: no package follows the stub"},
      {whole.substr(0, 30000), 1, "the player refuses this package: the file is 30000 bytes"},
  };
  for (const auto& c : cases) {
    write("cut.exe", c.bytes);
    EXPECT_EQ(run(command_list, {path("cut.exe")}), c.rc) << c.message;
    EXPECT_NE(errors_.find(c.message), std::string::npos) << errors_;
    if (c.rc == 0) {
      EXPECT_NE(output_.find("entries: 1 (the package declares 2)"), std::string::npos) << output_;
    }
  }
}

TEST_F(PackTest, ExplainExitsOneWhenThePlayerAnswersNothing) {
  ASSERT_EQ(build(kGood), 0) << errors_;
  EXPECT_EQ(run(command_explain, {path("out.exe"), "http://example.test/m.swf"}), 0);
  EXPECT_NE(output_.find("why: exact match"), std::string::npos) << output_;
  EXPECT_EQ(run(command_explain, {path("out.exe"), "http://other.test/x.swf"}), 1);
  EXPECT_NE(output_.find("answer: nothing"), std::string::npos) << output_;
  EXPECT_EQ(run(command_explain, {path("out.exe"), "ftp://example.test/m.swf", "--json"}), 1);
  EXPECT_EQ(run(command_explain, {path("none.exe"), "http://example.test/m.swf"}), 1);
}

TEST_F(PackTest, NonAsciiPathsWork) {
  fs::create_directories(dir_ / fs::u8path(u8"захват é"));
  write(u8"захват é/фильм.swf", std::string("FWS\x0a") + std::string(20, 'x'));
  write(u8"захват é/manifest.toml",
        u8"mode = \"page\"\n[[entry]]\nurl = \"http://example.test/фильм.swf\"\nfile = \"фильм.swf\"\n");
  ASSERT_EQ(run(command_build, {"--stub", path("stub.exe"), "-o", path(u8"игра ü.exe"),
                               path(u8"захват é/manifest.toml")}),
            0)
      << errors_;
  EXPECT_EQ(run(command_list, {path(u8"игра ü.exe")}), 0) << errors_;
  EXPECT_NE(output_.find(u8"http://example.test/фильм.swf"), std::string::npos) << output_;
  EXPECT_NE(output_.find("first movie: SWF 10, needs Flash Player 10.0 or later"), std::string::npos) << output_;
}

// The packer carries its stub: no --stub needed, and --version names it.
TEST_F(PackTest, CarriedStub) {
  EXPECT_EQ(common::sha256_hex(reinterpret_cast<const uint8_t*>("abc"), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(common::sha256_hex(reinterpret_cast<const uint8_t*>(std::string(56, 'a').data()), 56),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  if (pack::carried_stub_size() == 0) GTEST_SKIP() << "built without a stub to carry";
  EXPECT_EQ(build(kGood, ""), 0) << errors_;
  std::string player = read("out.exe");
  ASSERT_GT(player.size(), pack::carried_stub_size());
  EXPECT_EQ(player.compare(0, pack::carried_stub_size(),
                           reinterpret_cast<const char*>(pack::carried_stub_data()), pack::carried_stub_size()),
            0);
}

TEST(PackageChecks, VideoPackageWithEmptyFlvIsRefused) {
  // The loader rejects a video package whose FLV is empty, so the packer must not write one.
  pack::Package pkg;
  pkg.mode = 1;
  pkg.player.bytes = {'F', 'W', 'S', 9, 0, 0};
  pkg.skin.bytes = {1, 2, 3};
  std::vector<uint8_t> stub(PACKAGE_SEARCH_START, 0);
  pack::MemorySink sink;
  common::Error error;
  EXPECT_FALSE(pack::write_player(stub, pkg, &sink, &error));
  EXPECT_NE(error.message.find("FLV"), std::string::npos);
  pkg.video.bytes = {7};
  pack::MemorySink one;
  ASSERT_TRUE(pack::write_player(stub, pkg, &one, &error)) << error.text();
  MemorySource memory{one.bytes.data(), int64_t(one.bytes.size()), 0, 0};
  EXPECT_EQ(load_package_from(memory_source(&memory)), 1);
  reset_player_state();
}

// Why check_package refuses pkg after a 40,000-byte stub; empty when it doesn't.
std::string refusal(const pack::Package& pkg) {
  common::Error why;
  return pack::check_package(pkg, 40000, &why) ? std::string() : why.message;
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
    EXPECT_NE(refusal(pkg).find("NUL"), std::string::npos) << field;
  }
}

TEST(PackageChecks, PackagePastTwoGigabytesIsRefused) {
  pack::Package pkg;
  pack::PageEntry e;
  e.url = u"a";
  e.data.path = "unused";
  e.data.size = 4;
  pkg.entries.push_back(e);
  EXPECT_EQ(refusal(pkg), "");
  e.data.size = (int64_t(1) << 31) - 40000;
  pkg.entries.push_back(e);
  EXPECT_NE(refusal(pkg).find("past 2 GiB"), std::string::npos);
  pkg.mode = 1;
  pkg.player.bytes = {'F', 'W', 'S', 9};
  pkg.video.path = "unused";
  pkg.video.size = int64_t(1) << 31;
  EXPECT_NE(refusal(pkg).find("past 2 GiB"), std::string::npos);
}

}  // namespace
