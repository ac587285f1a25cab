#include "settings.h"

#include "main_window.h"

namespace {

// The structure's size on every version of the system that the player runs on.
constexpr UINT PLACEMENT_LENGTH = 44;

ScreenMetrics screen_metrics() {
  const LayoutState& layout = layout_state();
  return {layout.virtual_width, layout.virtual_height, layout.screen_width};
}

// A placement that can't be read stays zeroed, with its length set.
void read_placement(HWND window, WINDOWPLACEMENT* placement) {
  *placement = {};
  placement->length = PLACEMENT_LENGTH;
  GetWindowPlacement(window, placement);
}

}  // namespace

bool restore_placement(int32_t* x, int32_t* y, bool* maximised) {
  int32_t saved_x = read_setting("x", -1);
  int32_t saved_y = read_setting("y", -1);
  int32_t saved_m = read_setting("m", -1);
  return placement_from_settings(saved_x, saved_y, saved_m, screen_metrics(), x, y, maximised);
}

void save_placement(HWND window) {
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  write_setting("x", placement.rcNormalPosition.left);
  write_setting("y", placement.rcNormalPosition.top);
  write_setting("m", layout_state().last_size_type == SIZE_MAXIMIZED ? 1 : 0);
}

void place_window(HWND window, int32_t x, int32_t y, int64_t client_width, int64_t client_height,
                  WINDOWPLACEMENT* placement) {
  RECT client = {}, frame = {};
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  Rect r = window_for_client(x, y, {client_width, client_height},
                             {frame.left, frame.top, frame.right, frame.bottom},
                             {client.left, client.top, client.right, client.bottom},
                             screen_metrics());
  placement->flags = 0;
  placement->showCmd = SW_SHOWNORMAL;
  placement->rcNormalPosition = {r.left, r.top, r.right, r.bottom};
  SetWindowPlacement(window, placement);
}

namespace {

Extent client_size_of(int32_t preset) {
  const LayoutState& layout = layout_state();
  return preset_size(SizePreset(preset), layout.video_width, layout.video_height);
}

// Keeps the normal rectangle's corner and gives the window a new client size.
void resize_in_place(HWND window, Extent size) {
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  place_window(window, placement.rcNormalPosition.left, placement.rcNormalPosition.top, size.width,
               size.height, &placement);
}

}  // namespace

void apply_size_preset(HWND window, int32_t preset) { resize_in_place(window, client_size_of(preset)); }

void apply_initial_placement(HWND window) {
  const LayoutState& layout = layout_state();
  int32_t x = 0, y = 0;
  bool maximised = false;
  const bool restored = restore_placement(&x, &y, &maximised);
  // Without a nominal size the 50% preset would be an empty client area, on
  // the first run too.
  StartSize start = start_client_size(restored, layout.video_width, layout.video_height,
                                      screen_metrics());
  if (start.grayed) gray_presets();
  if (!restored) {
    resize_in_place(window, start.client);
    return;
  }
  // The saved corner is the normal rectangle's, in workspace coordinates: the
  // system moves them by a taskbar at the left or top. Placed back through the
  // placement it stays where it was; moving the window there in screen
  // coordinates would shift it by the taskbar's width on every run.
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  place_window(window, x, y, start.client.width, start.client.height, &placement);
  // Queued so that it follows the start-up show state. ShowWindowAsync runs at
  // once for the calling thread's own window on some systems (Wine), where
  // the start-up ShowWindow would then undo it; a posted command always waits.
  if (maximised) PostMessageA(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
}
