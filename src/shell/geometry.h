// The window's arithmetic, kept free of Windows calls so that it can be
// checked on any platform: video fitting, letterbox bars, size presets,
// placement clamps and the title.
#pragma once

#include <cstdint>

struct Rect {
  int32_t left, top, right, bottom;
};

inline bool operator==(const Rect& a, const Rect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// A client size asked for, before the screen cuts it: a nominal size may be
// anything up to 2^32 - 1, and twice that needs more than 32 bits.
struct Extent {
  int64_t width, height;
};

enum SizePreset : int32_t {
  PRESET_NONE = 0,
  PRESET_50 = 1,
  PRESET_100 = 2,
  PRESET_200 = 3,
};

// number * numerator / denominator rounded half away from zero; a signed and an
// unsigned 32-bit factor still multiply within 64 bits. -1 when the
// denominator is 0 or the result does not fit, as the system's MulDiv answers.
int32_t mul_div(int64_t number, int64_t numerator, int64_t denominator);

// Client size of a preset for a nominal video size; anything but 1 or 2 is 200%.
Extent preset_size(SizePreset preset, uint32_t video_width, uint32_t video_height);

// The preset whose client size equals (width, height), first match from 50%
// up; PRESET_NONE when none does.
SizePreset matching_preset(int32_t width, int32_t height, uint32_t video_width,
                           uint32_t video_height);

// The largest centred rectangle of the video's aspect ratio in the client area;
// the whole client area when either video dimension is 0 or the ratios match.
Rect fit_video(int32_t width, int32_t height, uint32_t video_width, uint32_t video_height);

// The two black bars beside a fitted video rectangle; returns their number:
// 0 when the rectangle touches both the left and the top edge.
int letterbox_bars(const Rect& video, int32_t width, int32_t height, Rect bars[2]);

struct ScreenMetrics {
  int32_t virtual_width, virtual_height, screen_width;
};

// The desktop the window is kept on. Systems from before multiple monitors
// answer 0 for the virtual screen: the primary screen is the whole desktop
// there, and a zero-sized desktop would shrink the window to nothing.
ScreenMetrics desktop_metrics(int32_t virtual_width, int32_t virtual_height, int32_t screen_width,
                              int32_t screen_height);

// Brings a saved left edge back onto the virtual screen: steps of one primary
// screen leftwards while it lies beyond the right edge, then 0 when negative.
int32_t clamp_left(int32_t x, const ScreenMetrics& screen);

// A saved top edge beyond the virtual screen or negative becomes 0.
int32_t clamp_top(int32_t y, const ScreenMetrics& screen);

// A window rectangle of the given size at (x, y), kept inside the virtual
// screen: cut to its size, then pushed back over its right and bottom edges.
Rect clamp_window(int32_t x, int32_t y, int64_t width, int64_t height, const ScreenMetrics& screen);

// The window rectangle that gives a client area of the asked size at (x, y),
// kept inside the virtual screen; window and client are the window's present
// rectangles, whose difference is its frame.
Rect window_for_client(int32_t x, int32_t y, Extent client_size, const Rect& window,
                       const Rect& client, const ScreenMetrics& screen);

// The saved "x", "y" and "m" values (-1 when missing) brought onto the
// virtual screen; false when none of the three was saved. A missing "m"
// beside a saved corner counts as maximised, as any non-zero one does.
bool placement_from_settings(int32_t saved_x, int32_t saved_y, int32_t saved_m,
                             const ScreenMetrics& screen, int32_t* x, int32_t* y, bool* maximised);

// The client size at start: 100% when a placement was saved, else 50%; half
// the virtual screen with the size items grayed when the 50% preset is empty.
struct StartSize {
  Extent client;
  bool grayed;
};
StartSize start_client_size(bool restored, uint32_t video_width, uint32_t video_height,
                            const ScreenMetrics& screen);

// "dir\\name.ext" -> "name - Tessivo": a new malloc block, or null.
char16_t* title_from_path(const char16_t* path);
