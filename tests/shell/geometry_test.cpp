#include "shell/geometry.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

struct FitCase {
  int32_t width, height;
  uint32_t video_width, video_height;
  Rect expected;
};

TEST(FitVideo, LargestCentredRectangleOfTheVideoRatio) {
  const FitCase cases[] = {
      {800, 480, 640, 480, {80, 0, 720, 480}},   // wider client: bars left and right
      {640, 600, 640, 480, {0, 60, 640, 540}},   // taller client: bars top and bottom
      {641, 480, 640, 480, {0, 0, 640, 480}},    // fitted width leaves left = 0
      {640, 480, 640, 480, {0, 0, 640, 480}},    // equal ratios: whole client
      {1280, 960, 640, 480, {0, 0, 1280, 960}},
      {100, 101, 640, 480, {0, 13, 100, 88}},    // 75 rounded from 75.0, top (101-75)/2
      {333, 100, 640, 480, {100, 0, 233, 100}},  // fitted 133.33 rounds to 133
      {800, 480, 0, 480, {0, 0, 800, 480}},      // no nominal size: whole client
      {800, 480, 640, 0, {0, 0, 800, 480}},
      // nominal sizes beyond 31 bits keep their ratio (about 1:2 here)
      {800, 600, 0x7FFFFFFF, 0xFFFFFFFF, {250, 0, 550, 600}},
      {600, 800, 0xFFFFFFFF, 0x7FFFFFFF, {0, 250, 600, 550}},
  };
  for (const FitCase& c : cases) {
    Rect r = fit_video(c.width, c.height, c.video_width, c.video_height);
    EXPECT_EQ(r, c.expected) << c.width << "x" << c.height << " video " << c.video_width << "x"
                             << c.video_height << " got " << r.left << "," << r.top << ","
                             << r.right << "," << r.bottom;
  }
}

TEST(LetterboxBars, BesideTheVideoOrNone) {
  struct Case {
    Rect video;
    int32_t width, height;
    int count;
    Rect first, second;
  } cases[] = {
      {{80, 0, 720, 480}, 800, 480, 2, {0, 0, 80, 480}, {720, 0, 800, 480}},
      {{0, 60, 640, 540}, 640, 600, 2, {0, 0, 640, 60}, {0, 540, 640, 600}},
      {{0, 0, 640, 480}, 641, 480, 0, {}, {}},
  };
  for (const Case& c : cases) {
    Rect bars[2] = {};
    ASSERT_EQ(letterbox_bars(c.video, c.width, c.height, bars), c.count);
    if (c.count) {
      EXPECT_EQ(bars[0], c.first);
      EXPECT_EQ(bars[1], c.second);
    }
  }
}

TEST(Presets, SizesAndMatches) {
  EXPECT_EQ(preset_size(PRESET_50, 641, 481).width, 320);
  EXPECT_EQ(preset_size(PRESET_50, 641, 481).height, 240);
  EXPECT_EQ(preset_size(PRESET_200, 640, 480).width, 1280);
  EXPECT_EQ(preset_size(SizePreset(7), 640, 480).height, 960);  // anything else is 200%
  EXPECT_EQ(preset_size(PRESET_200, 0xFFFFFFFF, 0x80000000).width, 0x1FFFFFFFEll);
  EXPECT_EQ(preset_size(PRESET_200, 0xFFFFFFFF, 0x80000000).height, 0x100000000ll);
  EXPECT_EQ(preset_size(PRESET_100, 0xFFFFFFFF, 1).width, 0xFFFFFFFFll);
  const struct {
    int32_t width, height;
    uint32_t vw, vh;
    SizePreset expected;
  } cases[] = {
      {320, 240, 640, 480, PRESET_50},   {640, 480, 640, 480, PRESET_100},
      {1280, 960, 640, 480, PRESET_200}, {640, 479, 640, 480, PRESET_NONE},
      {0, 240, 1, 480, PRESET_50},       // a nominal width of 1 halves to 0
      {0, 0, 0, 0, PRESET_50},           // first match wins
      // twice these would be 640 x 480 in 32 bits
      {640, 480, 0x80000140, 0x800000F0, PRESET_NONE},
  };
  for (const auto& c : cases)
    EXPECT_EQ(matching_preset(c.width, c.height, c.vw, c.vh), c.expected)
        << c.width << "x" << c.height;
}

TEST(MulDiv, RoundsHalfAwayFromZero) {
  const struct {
    int32_t a, b, c, expected;
  } cases[] = {
      {10, 1, 4, 3},       // 2.5 -> 3
      {-10, 1, 4, -3},     // -2.5 -> -3
      {7, 1, 2, 4},        {5, 1, 3, 2},
      {1, 1, 0, -1},       // division by zero
      {0x7FFFFFFF, 2, 1, -1},  // overflow
      {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},  // 64-bit product
  };
  for (const auto& c : cases) EXPECT_EQ(mul_div(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
}

TEST(ClampWindow, EveryClampInOrder) {
  const ScreenMetrics two_screens = {3840, 1080, 1920};
  const ScreenMetrics one_screen = {1280, 1024, 1280};
  const struct {
    const char* name;
    int32_t x, y, width, height;
    ScreenMetrics screen;
    Rect expected;
  } cases[] = {
      {"inside", 100, 50, 400, 300, one_screen, {100, 50, 500, 350}},
      {"x beyond: one primary width back", 5000, 0, 700, 300, two_screens, {3080, 0, 3780, 300}},
      {"then pushed left to the edge", 5000, 0, 800, 300, two_screens, {3040, 0, 3840, 300}},
      {"far beyond: several steps", 9000, 0, 100, 100, two_screens, {3240, 0, 3340, 100}},
      {"negative x", -30, 10, 100, 100, one_screen, {0, 10, 100, 110}},
      {"negative y", 10, -5, 100, 100, one_screen, {10, 0, 110, 100}},
      {"y beyond the screen", 10, 2000, 100, 100, one_screen, {10, 0, 110, 100}},
      {"bottom pushed up", 10, 1000, 100, 100, one_screen, {10, 924, 110, 1024}},
      {"larger than the screen", 300, 200, 3000, 2000, one_screen, {0, 0, 1280, 1024}},
      {"no primary width: no endless loop", 5000, 0, 100, 100, {3840, 1080, 0}, {0, 0, 100, 100}},
  };
  for (const auto& c : cases) {
    Rect r = clamp_window(c.x, c.y, c.width, c.height, c.screen);
    EXPECT_EQ(r, c.expected) << c.name << ": " << r.left << "," << r.top << "," << r.right << ","
                             << r.bottom;
  }
}

TEST(WindowForClient, FrameAddedThenCutToTheScreen) {
  const ScreenMetrics screen = {1280, 1024, 1280};
  const Rect window = {0, 0, 1288, 1053}, client = {0, 0, 1280, 1000};  // an 8 x 53 frame
  const struct {
    const char* name;
    int32_t x, y;
    Extent client;
    Rect expected;
  } cases[] = {
      {"fits", 100, 50, {640, 480}, {100, 50, 748, 583}},
      {"pushed back inside", 1000, 900, {640, 480}, {632, 491, 1280, 1024}},
      {"largest nominal size", 100, 50, {0x7FFFFFFF, 0x7FFFFFFF}, {0, 0, 1280, 1024}},
      {"damaged header's 200%", 100, 50, {0xFFFFFFFEll, 0x1FFFFFFFEll}, {0, 0, 1280, 1024}},
      {"a 50% preset of 2^31 - 1", 0, 0, {0x3FFFFFFF, 0x7FFFFFFF}, {0, 0, 1280, 1024}},
  };
  for (const auto& c : cases) {
    Rect r = window_for_client(c.x, c.y, c.client, window, client, screen);
    EXPECT_EQ(r, c.expected) << c.name << ": " << r.left << "," << r.top << "," << r.right << ","
                             << r.bottom;
  }
}

TEST(PlacementFromSettings, SavedCornerAndMaximised) {
  const ScreenMetrics screen = {3840, 1080, 1920};
  const struct {
    int32_t x, y, m;
    bool restored;
    int32_t expected_x, expected_y;
    bool maximised;
  } cases[] = {
      {-1, -1, -1, false, 0, 0, false},  // nothing saved
      {100, 50, 0, true, 100, 50, false},
      {100, 50, 1, true, 100, 50, true},
      {100, 50, -1, true, 100, 50, true},  // "m" missing beside a corner: maximised
      {100, 50, 7, true, 100, 50, true},
      {-1, -1, 0, true, 0, 0, false},      // only "m" saved: top-left corner
      {5000, 1081, 0, true, 3080, 0, false},
  };
  for (const auto& c : cases) {
    int32_t x = -99, y = -99;
    bool maximised = false;
    ASSERT_EQ(placement_from_settings(c.x, c.y, c.m, screen, &x, &y, &maximised), c.restored)
        << c.x << "," << c.y << "," << c.m;
    if (!c.restored) continue;
    EXPECT_EQ(x, c.expected_x) << c.x;
    EXPECT_EQ(y, c.expected_y) << c.y;
    EXPECT_EQ(maximised, c.maximised) << c.m;
  }
}

TEST(StartClientSize, PresetByRunHalfScreenWithoutNominalSize) {
  const ScreenMetrics screen = {1281, 1024, 1281};
  const struct {
    bool restored;
    uint32_t vw, vh;
    int64_t width, height;
    bool grayed;
  } cases[] = {
      {false, 640, 480, 320, 240, false},  // first run: 50%
      {true, 640, 480, 640, 480, false},   // later runs: 100%
      {false, 0, 0, 640, 512, true},       // no nominal size: half the screen, grayed
      {true, 0, 0, 640, 512, true},
      {true, 1, 480, 640, 512, true},      // a 50% width of 0 is no size either
      {false, 640, 1, 640, 512, true},
  };
  for (const auto& c : cases) {
    StartSize s = start_client_size(c.restored, c.vw, c.vh, screen);
    EXPECT_EQ(s.client.width, c.width) << c.vw << "x" << c.vh << " restored " << c.restored;
    EXPECT_EQ(s.client.height, c.height) << c.vw << "x" << c.vh << " restored " << c.restored;
    EXPECT_EQ(s.grayed, c.grayed) << c.vw << "x" << c.vh;
  }
}

TEST(ClampSaved, LeftAndTop) {
  const ScreenMetrics screen = {3840, 1080, 1920};
  EXPECT_EQ(clamp_left(5000, screen), 3080);
  EXPECT_EQ(clamp_left(3840, screen), 3840);  // on the edge stays
  EXPECT_EQ(clamp_left(-1, screen), 0);
  EXPECT_EQ(clamp_top(-1, screen), 0);
  EXPECT_EQ(clamp_top(1081, screen), 0);
  EXPECT_EQ(clamp_top(1080, screen), 1080);
}

TEST(DesktopMetrics, WithoutVirtualScreenThePrimaryScreenKeepsTheWindow) {
  const struct {
    int32_t vw, vh, sw, sh;
    Rect window;  // a 328x274 window saved at (200, 100)
  } cases[] = {
      {0, 0, 1024, 768, {200, 100, 528, 374}},       // no virtual-screen metrics
      {0, 1080, 1024, 768, {200, 100, 528, 374}},    // half of them
      {3840, 1080, 1920, 1080, {200, 100, 528, 374}},
      {1024, 768, 1024, 768, {200, 100, 528, 374}},
      {300, 200, 300, 200, {0, 0, 300, 200}},        // cut to a small desktop
  };
  for (const auto& c : cases) {
    ScreenMetrics desktop = desktop_metrics(c.vw, c.vh, c.sw, c.sh);
    EXPECT_EQ(clamp_window(200, 100, 328, 274, desktop), c.window) << c.vw << "x" << c.vh;
  }
}

TEST(Title, FileNameWithoutItsLastExtension) {
  const struct {
    const char16_t* path;
    const char16_t* title;
  } cases[] = {
      {u"C:\\games\\intro.exe", u"intro - Tessivo"},
      {u"C:\\games\\a.b.exe", u"a.b - Tessivo"},
      {u"C:\\dir.d\\noext", u"noext - Tessivo"},
      {u"plain.exe", u"plain - Tessivo"},
      {u"C:\\x\\.exe", u" - Tessivo"},
  };
  for (const auto& c : cases) {
    char16_t* title = title_from_path(c.path);
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(std::u16string(title), std::u16string(c.title));
    std::free(title);
  }
}

}  // namespace
