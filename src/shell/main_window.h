// The main window: class, window procedure, size presets, check marks and the
// letterbox layout of the control.
#pragma once

#include <windows.h>

#include <cstdint>

#include "geometry.h"

extern const wchar_t MAIN_WINDOW_CLASS[];

struct LayoutState {
  int32_t screen_width, virtual_width, virtual_height;
  int32_t client_width, client_height;
  int32_t last_size_type;
  HMENU main_menu, size_menu;
  bool preset_marked;
  uint32_t video_width, video_height;  // the nominal size the presets come from
  Extent presets[3];                   // 50%, 100%, 200%
  Rect video_rect;
};

const LayoutState& layout_state();

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

void compute_size_presets();
void init_menu_handles(HWND window);
void layout_video(HWND window, int32_t width, int32_t height);

void clear_preset_marks();
void mark_preset(int32_t preset);
void gray_presets();

void register_main_window_class(HINSTANCE instance);
HWND create_main_window(HINSTANCE instance);
void platform_set_window_text(HWND window, const char16_t* text);
void set_main_window_title(HWND window);

// Browser mode: the window holds no control and the package plays in the
// user's browser, served by the player itself.
// Before the window is created: create it without a control.
void request_browser_mode();
// The window has no control and plays (or is to play) in the browser.
bool window_in_browser_mode();
// Tears down any control and starts the server; false, with the control
// left as it was, when the server cannot start.
bool enter_browser_mode(HWND window);
// The File menu's item for the mode the window is in: "Play in Browser"
// beside a control, "Open in Browser" in browser mode.
void add_browser_menu_item(HWND window);
