#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "base/win/held_ref.h"
#include "base/win/settings_store.h"
#include "delivery/delivery_support.h"
#include "host/control_site.h"
#include "host/host_support.h"
#include "host/movie.h"
#include "package/package_format.h"
#include "package/player_state.h"

namespace {

using Log = std::vector<std::string>;

Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string utf8(const char16_t* text) { return narrow(reinterpret_cast<const wchar_t*>(text)); }

TEST(InvokeRequest, TextsAreBuiltExactly) {
  const struct {
    const char16_t* name;
    const char16_t* argument;
    const char16_t* expected;
  } rows[] = {
      {u"FLVplay", nullptr, u"<invoke name=\"FLVplay\" returntype=\"xml\"/>"},
      {u"FLVSetVolume", u"100",
       u"<invoke name=\"FLVSetVolume\" returntype=\"xml\"><arguments><string>100"
       u"</string></arguments></invoke>"},
      {u"FLVSetSkin", u"http://tessivo.invalid/vyos.swf",
       u"<invoke name=\"FLVSetSkin\" returntype=\"xml\"><arguments><string>"
       u"http://tessivo.invalid/vyos.swf</string></arguments></invoke>"},
      // No escaping: the argument goes in as it is.
      {u"f", u"a<b&c\"d",
       u"<invoke name=\"f\" returntype=\"xml\"><arguments><string>a<b&c\"d"
       u"</string></arguments></invoke>"},
      {u"f", u"", u"<invoke name=\"f\" returntype=\"xml\"><arguments><string>"
                  u"</string></arguments></invoke>"},
      {u"", nullptr, u"<invoke name=\"\" returntype=\"xml\"/>"},
  };
  for (const auto& row : rows) {
    char16_t* request = build_invoke_request(row.name, row.argument);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(std::u16string(request), std::u16string(row.expected)) << utf8(row.expected);
    std::free(request);
  }
  // The fixed pieces: 14 + 18 + 2 without an argument, 14 + 18 + 20 + 30 with one.
  char16_t* bare = build_invoke_request(u"n", nullptr);
  char16_t* with = build_invoke_request(u"n", u"a");
  EXPECT_EQ(text::length(bare), 14u + 1 + 18 + 2);
  EXPECT_EQ(text::length(with), 14u + 1 + 18 + 20 + 1 + 30);
  std::free(bare);
  std::free(with);
}

class MovieStart : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_player_state();
    ASSERT_TRUE(registry_.ok());
    g_layout_log = &control_.log;
    g_layout_client_width = 800;
    g_layout_client_height = 600;
  }
  void TearDown() override {
    g_layout_log = nullptr;
    reset_player_state();
  }
  // A site over control_ in the given mode; the creation calls are dropped
  // from the log so that it holds only what playback does.
  void embed(int32_t mode) {
    set_playback_mode(mode);
    window_ = std::make_unique<SiteWindow>(&control_);
    ASSERT_EQ(window_->create(), SITE_CREATED);
    control_.log.clear();
    refs_ = control_.refs;
  }
  static void first_entry(const char16_t* url) {
    ASSERT_NE(alloc_resource_table(1), nullptr);
    ASSERT_TRUE(set_fixed_entry(0, url, SWF_CONTENT_TYPE, 10, 0));
  }
  std::string base() { return base_url() ? utf8(base_url()) : "(none)"; }

  ScratchRegistry registry_;
  FakeControl control_;
  std::unique_ptr<SiteWindow> window_;
  LONG refs_ = 0;
};

TEST_F(MovieStart, PageModesNameFlashVarsBaseThenMovie) {
  const struct {
    const char* name;
    int32_t mode;
    const char16_t* vars;
    const char16_t* movie_base;
    const char16_t* url;
    Log log;
    std::string base_url;
  } rows[] = {
      {"bare page", PLAYBACK_PAGE, nullptr, nullptr, u"http://site.test/dir/sub/movie.swf?x=1#f",
       {"put_Movie(http://site.test/dir/sub/movie.swf?x=1#f)"}, "http://site.test/dir/sub/"},
      {"FlashVars only", PLAYBACK_PAGE, u"a=1&b=2", nullptr, u"http://site.test/m.swf",
       {"put_FlashVars(a=1&b=2)", "put_Movie(http://site.test/m.swf)"}, "http://site.test/"},
      {"Base only", PLAYBACK_PAGE_POST, nullptr, u"http://cdn.test/assets", u"http://site.test/m.swf",
       {"put_Base(http://cdn.test/assets)", "put_Movie(http://site.test/m.swf)"},
       "http://cdn.test/assets"},
      {"both", PLAYBACK_PAGE_POST, u"v=1", u"http://cdn.test/", u"http://site.test/d/m.swf",
       {"put_FlashVars(v=1)", "put_Base(http://cdn.test/)", "put_Movie(http://site.test/d/m.swf)"},
       "http://cdn.test/"},
  };
  for (const auto& row : rows) {
    reset_player_state();
    control_.log.clear();
    first_entry(row.url);
    if (row.vars) set_flash_vars(text::dup(row.vars));
    if (row.movie_base) set_movie_base(text::dup(row.movie_base));
    embed(row.mode);
    start_movie(window_->window());
    EXPECT_EQ(control_.log, row.log) << row.name;
    EXPECT_EQ(base(), row.base_url) << row.name;
    // A copy: the package's Base text stays the package's.
    if (row.movie_base) {
      EXPECT_NE(base_url(), movie_base()) << row.name;
    }
    EXPECT_FALSE(video_player_loading()) << row.name;
    EXPECT_EQ(control_.refs, refs_) << row.name;
    window_.reset();
  }
}

TEST_F(MovieStart, VideoModeLaysOutOnlyWithAKnownSize) {
  const std::string player = "put_Movie(" + utf8(VIDEO_PLAYER_URL) + ")";
  const struct {
    uint32_t width, height;
    Log log;
  } rows[] = {
      {640, 480, {"put_ScaleMode(2)", "layout_video(800,600)", player}},
      {0, 480, {player}},
      {640, 0, {player}},
      {0, 0, {player}},
  };
  for (const auto& row : rows) {
    reset_player_state();
    set_nominal_width(row.width);
    set_nominal_height(row.height);
    embed(PLAYBACK_VIDEO);
    start_movie(window_->window());
    EXPECT_EQ(control_.log, row.log) << row.width << "x" << row.height;
    EXPECT_TRUE(video_player_loading());
    EXPECT_EQ(base_url(), nullptr);
    EXPECT_EQ(control_.refs, refs_);
    window_.reset();
  }
}

TEST_F(MovieStart, NothingHappensWithoutTheScriptingInterfaceOrInAnUnknownMode) {
  first_entry(u"http://site.test/m.swf");
  embed(7);
  start_movie(window_->window());
  EXPECT_TRUE(control_.log.empty());
  EXPECT_EQ(base_url(), nullptr);
  EXPECT_EQ(control_.refs, refs_);
  window_.reset();

  embed(PLAYBACK_VIDEO);
  control_.options().flash = false;
  start_movie(window_->window());
  set_video_player_loading(true);
  on_player_ready(window_->window());
  EXPECT_TRUE(control_.log.empty());
  EXPECT_TRUE(video_player_loading());  // untouched: nothing was scripted
  EXPECT_EQ(control_.refs, refs_);
  window_.reset();

  HWND bare = create_test_window();
  set_playback_mode(PLAYBACK_PAGE);
  start_movie(bare);
  on_player_ready(bare);
  EXPECT_EQ(base_url(), nullptr);
  DestroyWindow(bare);
}

class PlayerReady : public MovieStart {};

Log scripted(const std::string& volume) {
  return {"CallFunction(<invoke name=\"FLVSetVolume\" returntype=\"xml\"><arguments><string>" +
              volume + "</string></arguments></invoke>)",
          "CallFunction(<invoke name=\"FLVSetSkin\" returntype=\"xml\"><arguments><string>"
          "http://tessivo.invalid/vyos.swf</string></arguments></invoke>)",
          "CallFunction(<invoke name=\"FLVSetVideo\" returntype=\"xml\"><arguments><string>"
          "http://tessivo.invalid/vyo.flv</string></arguments></invoke>)",
          "CallFunction(<invoke name=\"FLVplay\" returntype=\"xml\"/>)"};
}

TEST_F(PlayerReady, ScriptsVolumeSkinVideoAndPlay) {
  const struct {
    bool stored;
    int32_t volume;
    std::string text;
  } rows[] = {
      {false, 0, "100"}, {true, -20, "-20"}, {true, 0, "0"}, {true, 75, "75"},
      {true, INT32_MIN, "-2147483648"}, {true, INT32_MAX, "2147483647"},
  };
  for (const auto& row : rows) {
    if (row.stored) write_setting("svol", row.volume);
    embed(PLAYBACK_VIDEO);
    set_video_player_loading(true);
    on_player_ready(window_->window());
    EXPECT_EQ(control_.log, scripted(row.text)) << row.text;
    EXPECT_FALSE(video_player_loading());
    EXPECT_EQ(control_.refs, refs_);
    window_.reset();
  }
}

TEST_F(PlayerReady, EveryMessageScriptsAgainAndRepliesAreDropped) {
  control_.options().reply = L"<string>ok</string>";
  embed(PLAYBACK_VIDEO);
  on_player_ready(window_->window());
  on_player_ready(window_->window());
  EXPECT_EQ(control_.log, scripted("100") + scripted("100"));
  EXPECT_EQ(control_.refs, refs_);
}

TEST_F(PlayerReady, StoredVolumeFromTheMovieIsSentNextTime) {
  embed(PLAYBACK_VIDEO);
  IDispatch* sink = control_.sink;
  ASSERT_NE(sink, nullptr);
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  V_VT(&args[0]) = V_VT(&args[1]) = VT_BSTR;
  V_BSTR(&args[0]) = SysAllocString(L"42.9");
  V_BSTR(&args[1]) = SysAllocString(L"volume");
  DISPPARAMS params = {args, nullptr, 2, 0};
  sink->Invoke(DISPID_FS_COMMAND, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  on_player_ready(window_->window());
  EXPECT_EQ(control_.log, scripted("42"));
}

// A control registers the movie's callbacks on its first frame, which may
// come after the message that says the movie has arrived: a refused call is
// made again, from where it was refused, and each message starts afresh.
TEST_F(PlayerReady, RefusedCallsAreMadeAgainFromWhereTheyStopped) {
  const Log all = scripted("100");
  auto refused = [](const std::string& call) { return Log{call + " refused"}; };
  const struct {
    const char* name;
    uint64_t refused_calls;
    bool again;  // a second message while a retry waits
    Log log;
  } rows[] = {
      {"first", 0x1, false, refused(all[0]) + all},
      {"video", 0x4, false, Log{all[0], all[1]} + refused(all[2]) + Log{all[2], all[3]}},
      {"twice, then later", 0x13, false,
       refused(all[0]) + refused(all[0]) + Log{all[0], all[1]} + refused(all[2]) +
           Log{all[2], all[3]}},
      {"new message", 0x4, true, Log{all[0], all[1]} + refused(all[2]) + all},
      {"never", ~uint64_t(0), false, Log(1 + PLAYER_SCRIPT_RETRIES, refused(all[0])[0])},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    control_.function_calls = 0;
    control_.options().refused_calls = row.refused_calls;
    embed(PLAYBACK_VIDEO);
    HWND window = window_->window();
    on_player_ready(window);
    if (row.again) on_player_ready(window);
    EXPECT_TRUE(pump_until([&] { return control_.log.size() >= row.log.size(); }));
    pump_pending();
    // Done or given up: no retry is left waiting.
    EXPECT_FALSE(KillTimer(window, PLAYER_SCRIPT_TIMER));
    EXPECT_EQ(control_.log, row.log);
    EXPECT_EQ(control_.refs, refs_);
    window_.reset();
  }
}

}  // namespace

namespace {

// Calls past an old control's interface: put_FlashVars came with 6,
// CallFunction with 8.
TEST_F(MovieStart, OldControlsAreNotCalledPastTheirInterface) {
  const struct {
    long version;
    bool flash_vars;
    bool scripted;
  } rows[] = {
      {0x00050000, false, false}, {0x00060000, true, false},
      {0x00070000, true, false},  {0x00080000, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    control_.options().version = row.version;
    reset_player_state();
    first_entry(u"http://site.test/m.swf");
    set_flash_vars(text::dup(u"v=1"));
    embed(PLAYBACK_PAGE);
    start_movie(window_->window());
    Log page = {"put_Movie(http://site.test/m.swf)"};
    if (row.flash_vars) page.insert(page.begin(), "put_FlashVars(v=1)");
    EXPECT_EQ(control_.log, page);
    window_.reset();

    embed(PLAYBACK_VIDEO);
    set_video_player_loading(true);
    on_player_ready(window_->window());
    EXPECT_EQ(control_.log, row.scripted ? scripted("100") : Log{});
    EXPECT_FALSE(video_player_loading());
    EXPECT_EQ(control_.refs, refs_);
    window_.reset();
  }
}

// BSTRs made minus freed by this program's own calls, through a seam over
// its imports of SysAllocString and SysFreeString.
LONG g_bstrs;
void* g_sys_alloc_string;
void* g_sys_free_string;
BSTR WINAPI counted_alloc(const OLECHAR* text) {
  BSTR made = reinterpret_cast<decltype(&SysAllocString)>(g_sys_alloc_string)(text);
  if (made) ++g_bstrs;
  return made;
}
void WINAPI counted_free(BSTR text) {
  if (text) --g_bstrs;
  reinterpret_cast<decltype(&SysFreeString)>(g_sys_free_string)(text);
}

// A control that raises inside a call abandons that message; every
// reference and string held across the call comes back all the same.
TEST_F(MovieStart, FaultInAControlCallLeavesEveryCountAsBefore) {
  ScopedImport allocs("oleaut32.dll", "SysAllocString", reinterpret_cast<void*>(counted_alloc));
  ScopedImport frees("oleaut32.dll", "SysFreeString", reinterpret_cast<void*>(counted_free));
  g_sys_alloc_string = allocs.original();
  g_sys_free_string = frees.original();
  ASSERT_TRUE(g_sys_alloc_string && g_sys_free_string);
  // The reply is written before the fault, as a control may.
  control_.options().reply = L"<string>1</string>";
  const struct {
    const char* call;
    int32_t mode;
  } rows[] = {
      {"put_FlashVars", PLAYBACK_PAGE}, {"put_Base", PLAYBACK_PAGE},
      {"put_Movie", PLAYBACK_PAGE},     {"put_ScaleMode", PLAYBACK_VIDEO},
      {"CallFunction", PLAYBACK_VIDEO}, {"SetObjectRects", PLAYBACK_VIDEO},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    reset_player_state();
    first_entry(u"http://site.test/m.swf");
    set_flash_vars(text::dup(u"v=1"));
    set_movie_base(text::dup(u"http://cdn.test/"));
    set_nominal_width(640);
    set_nominal_height(480);
    control_.faulted = false;
    control_.options().fault_in = row.call;
    embed(row.mode);
    HWND window = window_->window();
    g_bstrs = 0;
    run_in_message(
        window,
        [](void* w) {
          HWND hwnd = static_cast<HWND>(w);
          start_movie(hwnd);
          on_player_ready(hwnd);
          RECT rect = {0, 0, 320, 240};
          control_site_of(hwnd)->OnPosRectChange(&rect);
        },
        window);
    EXPECT_TRUE(control_.faulted);
    EXPECT_EQ(base::win::held_ref_depth(), 0u);
    EXPECT_EQ(control_.refs, refs_);
    EXPECT_EQ(g_bstrs, 0);
    window_.reset();
  }
  control_.options().fault_in = nullptr;
}

// The same for the creation of the site: the class factory and the
// creator's reference come back, the site's own goes with the site.
TEST_F(MovieStart, FaultWhileCreatingTheSiteGivesEveryReferenceBack) {
  const struct {
    const char* call;
    int32_t mode;
  } rows[] = {{"SetClientSite", PLAYBACK_PAGE},
              {"FlashVersion", PLAYBACK_PAGE},
              {"DoVerb", PLAYBACK_PAGE},
              // These hand a reference over before the fault.
              {"QueryInterface(events)", PLAYBACK_VIDEO},
              {"FindConnectionPoint", PLAYBACK_VIDEO}};
  for (const auto& row : rows) {
    const char* call = row.call;
    SCOPED_TRACE(call);
    control_.faulted = false;
    control_.options().fault_in = call;
    set_playback_mode(row.mode);
    auto site = std::make_unique<SiteWindow>(&control_);
    {
      ScopedClassRegistration registration(&site->factory());
      run_in_message(
          site->window(),
          [](void* w) { create_control_site(static_cast<HWND>(w), test_site_callback()); },
          site->window());
    }
    EXPECT_TRUE(control_.faulted);
    EXPECT_EQ(base::win::held_ref_depth(), 0u);
    EXPECT_EQ(site->factory().refs, 1);
    site.reset();
    EXPECT_EQ(control_.refs, 1);
  }
  control_.options().fault_in = nullptr;
}

// Blocks this program's own code gave back, through a seam over its import
// of GlobalFree.
std::vector<void*> g_freed;
void* g_global_free;
HGLOBAL WINAPI recorded_free(HGLOBAL block) {
  g_freed.push_back(block);
  return reinterpret_cast<decltype(&GlobalFree)>(g_global_free)(block);
}

// And for its teardown: a control that raises in one teardown call still
// gets the later ones and every reference back, the window lets go of the
// site, and the destroy handler runs to its end (where the shell quits). The
// site's block stays: the control may still hold it.
TEST_F(MovieStart, FaultDuringTeardownGivesEveryReferenceBack) {
  ScopedImport frees("kernel32.dll", "GlobalFree", reinterpret_cast<void*>(recorded_free));
  g_global_free = frees.original();
  ASSERT_TRUE(g_global_free);
  static bool returned;
  for (const char* call : {"Unadvise", "Close", "SetClientSite", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(call ? call : "no fault");
    embed(PLAYBACK_VIDEO);
    control_.faulted = false;
    control_.options().fault_in = call;
    HWND window = window_->window();
    void* site = control_site_of(window);
    g_freed.clear();
    returned = false;
    run_in_message(
        window,
        [](void* w) {
          destroy_control_site(static_cast<HWND>(w));
          returned = true;
        },
        window);
    EXPECT_EQ(control_.faulted, call != nullptr);
    EXPECT_TRUE(returned);
    EXPECT_EQ(control_.log, (Log{"Unadvise(" + std::to_string(FakeControl::COOKIE) + ")",
                                 "Close(1)", "SetClientSite(null)"}));
    EXPECT_EQ(control_site_of(window), nullptr);
    EXPECT_EQ(std::count(g_freed.begin(), g_freed.end(), site), call ? 0 : 1);
    EXPECT_EQ(base::win::held_ref_depth(), 0u);
    EXPECT_EQ(control_.refs, 1);
    window_.reset();
  }
  control_.options().fault_in = nullptr;
}

}  // namespace
