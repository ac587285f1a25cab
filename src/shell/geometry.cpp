#include "geometry.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

int32_t mul_div(int64_t number, int64_t numerator, int64_t denominator) {
  if (denominator == 0) return -1;
  int64_t product = number * numerator;
  const uint64_t divisor = uint64_t(denominator < 0 ? -denominator : denominator);
  bool negative = (product < 0) != (denominator < 0);
  uint64_t magnitude = uint64_t(product < 0 ? -product : product) + divisor / 2;
  // A quotient of 2^32 or more overflows anyway; below it, long division
  // by shifts, so that the stub carries no 64-bit division routine.
  if (magnitude >> 32 >= divisor) return -1;
  uint32_t quotient = 0;
  for (int bit = 31; bit >= 0; --bit) {
    if (magnitude >= divisor << bit) {
      magnitude -= divisor << bit;
      quotient |= uint32_t(1) << bit;
    }
  }
  if (quotient > (negative ? uint32_t(INT32_MAX) + 1 : uint32_t(INT32_MAX))) return -1;
  return negative ? int32_t(-int64_t(quotient)) : int32_t(quotient);
}

Extent preset_size(SizePreset preset, uint32_t video_width, uint32_t video_height) {
  const int64_t w = video_width, h = video_height;
  switch (preset) {
    case PRESET_50:
      return {w >> 1, h >> 1};
    case PRESET_100:
      return {w, h};
    default:
      return {w + w, h + h};
  }
}

SizePreset matching_preset(int32_t width, int32_t height, uint32_t video_width,
                           uint32_t video_height) {
  for (int32_t p = PRESET_50; p <= PRESET_200; ++p) {
    Extent s = preset_size(SizePreset(p), video_width, video_height);
    if (s.width == width && s.height == height) return SizePreset(p);
  }
  return PRESET_NONE;
}

Rect fit_video(int32_t width, int32_t height, uint32_t video_width, uint32_t video_height) {
  Rect r = {0, 0, width, height};
  if (video_width == 0 || video_height == 0 || width <= 0 || height <= 0) return r;
  double video_ratio = double(video_width) / double(video_height);
  double client_ratio = double(width) / double(height);
  if (video_ratio > client_ratio) {
    int32_t fitted = mul_div(width, video_height, video_width);
    if (height > fitted && fitted >= 0) {
      int32_t top = (height - fitted) / 2;
      r = {0, top, width, top + fitted};
    }
  } else if (video_ratio < client_ratio) {
    int32_t fitted = mul_div(height, video_width, video_height);
    if (width > fitted && fitted >= 0) {
      int32_t left = (width - fitted) / 2;
      r = {left, 0, left + fitted, height};
    }
  }
  return r;
}

int letterbox_bars(const Rect& video, int32_t width, int32_t height, Rect bars[2]) {
  if (video.left == 0 && video.top == 0) return 0;
  if (video.left != 0) {
    bars[0] = {0, 0, video.left, height};
    bars[1] = {video.right, 0, width, height};
  } else {
    bars[0] = {0, 0, width, video.top};
    bars[1] = {0, video.bottom, width, height};
  }
  return 2;
}

ScreenMetrics desktop_metrics(int32_t virtual_width, int32_t virtual_height, int32_t screen_width,
                              int32_t screen_height) {
  if (virtual_width <= 0 || virtual_height <= 0) return {screen_width, screen_height, screen_width};
  return {virtual_width, virtual_height, screen_width};
}

int32_t clamp_left(int32_t x, const ScreenMetrics& screen) {
  if (x > screen.virtual_width) {
    // Whole steps of one primary screen, taken at once; without a usable
    // screen width the edge goes to 0 rather than looping forever.
    if (screen.screen_width > 0) {
      // In 32 bits: x is above the edge, so the gap fits unsigned.
      const uint32_t over = uint32_t(x) - uint32_t(screen.virtual_width);
      const uint32_t step = uint32_t(screen.screen_width);
      const uint32_t steps = over / step + (over % step != 0);
      x = int32_t(int64_t(x) - int64_t(steps) * step);
    } else {
      x = 0;
    }
  }
  return x < 0 ? 0 : x;
}

int32_t clamp_top(int32_t y, const ScreenMetrics& screen) {
  return (y > screen.virtual_height || y < 0) ? 0 : y;
}

Rect clamp_window(int32_t x, int32_t y, int64_t width, int64_t height, const ScreenMetrics& screen) {
  const int32_t vw = screen.virtual_width, vh = screen.virtual_height;
  x = clamp_left(x, screen);
  if (width > vw) width = vw;
  y = clamp_top(y, screen);
  if (height > vh) height = vh;
  if (x + width > vw) x = int32_t(vw - width);
  if (x < 0) x = 0;
  if (y + height > vh) y = int32_t(vh - height);
  if (y < 0) y = 0;
  return {x, y, int32_t(x + width), int32_t(y + height)};
}

Rect window_for_client(int32_t x, int32_t y, Extent client_size, const Rect& window,
                       const Rect& client, const ScreenMetrics& screen) {
  const int64_t frame_width =
      int64_t(window.right) - window.left - (int64_t(client.right) - client.left);
  const int64_t frame_height =
      int64_t(window.bottom) - window.top - (int64_t(client.bottom) - client.top);
  return clamp_window(x, y, client_size.width + frame_width, client_size.height + frame_height,
                      screen);
}

bool placement_from_settings(int32_t saved_x, int32_t saved_y, int32_t saved_m,
                             const ScreenMetrics& screen, int32_t* x, int32_t* y, bool* maximised) {
  if (saved_x == -1 && saved_y == -1 && saved_m == -1) return false;
  *x = clamp_left(saved_x, screen);
  *y = clamp_top(saved_y, screen);
  *maximised = saved_m != 0;
  return true;
}

StartSize start_client_size(bool restored, uint32_t video_width, uint32_t video_height,
                            const ScreenMetrics& screen) {
  const Extent half = preset_size(PRESET_50, video_width, video_height);
  if (half.width == 0 || half.height == 0)
    return {{screen.virtual_width / 2, screen.virtual_height / 2}, true};
  return {preset_size(restored ? PRESET_100 : PRESET_50, video_width, video_height), false};
}

char16_t* title_from_path(const char16_t* path) {
  static const char16_t suffix[] = u" - Tessivo";
  const char16_t* slash = text::find_last(path, u'\\');
  const char16_t* name = slash ? slash + 1 : path;
  const char16_t* dot = text::find_last(name, u'.');
  const size_t n = dot ? size_t(dot - name) : text::length(name);
  const size_t suffix_units = sizeof(suffix) / sizeof(suffix[0]);
  auto* title = static_cast<char16_t*>(std::malloc((n + suffix_units) * sizeof(char16_t)));
  if (!title) return nullptr;
  std::memcpy(title, name, n * sizeof(char16_t));
  std::memcpy(title + n, suffix, sizeof(suffix));
  return title;
}
