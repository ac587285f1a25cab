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
  if (saved_x == -1 && saved_y == -1 && saved_m == -1) return false;
  ScreenMetrics screen = screen_metrics();
  *x = clamp_left(saved_x, screen);
  *y = clamp_top(saved_y, screen);
  *maximised = saved_m != 0;
  return true;
}

void save_placement(HWND window) {
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  write_setting("x", placement.rcNormalPosition.left);
  write_setting("y", placement.rcNormalPosition.top);
  write_setting("m", layout_state().last_size_type == SIZE_MAXIMIZED ? 1 : 0);
}

void place_window(HWND window, int32_t x, int32_t y, int32_t client_width, int32_t client_height,
                  WINDOWPLACEMENT* placement) {
  RECT client = {}, frame = {};
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  int32_t width = client_width + ((frame.right - frame.left) - (client.right - client.left));
  int32_t height = client_height + ((frame.bottom - frame.top) - (client.bottom - client.top));
  Rect r = clamp_window(x, y, width, height, screen_metrics());
  placement->flags = 0;
  placement->showCmd = SW_SHOWNORMAL;
  placement->rcNormalPosition = {r.left, r.top, r.right, r.bottom};
  SetWindowPlacement(window, placement);
}

namespace {

Size client_size_of(int32_t preset) {
  const LayoutState& layout = layout_state();
  return preset_size(SizePreset(preset), layout.video_width, layout.video_height);
}

Size half_screen() {
  const LayoutState& layout = layout_state();
  return {layout.virtual_width / 2, layout.virtual_height / 2};
}

// Keeps the normal rectangle's corner and gives the window a new client size.
void resize_in_place(HWND window, Size size) {
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  place_window(window, placement.rcNormalPosition.left, placement.rcNormalPosition.top, size.width,
               size.height, &placement);
}

}  // namespace

void apply_size_preset(HWND window, int32_t preset) { resize_in_place(window, client_size_of(preset)); }

void apply_half_screen(HWND window) { resize_in_place(window, half_screen()); }

void apply_initial_placement(HWND window) {
  const LayoutState& layout = layout_state();
  const bool has_half_size = layout.presets[0].width != 0 && layout.presets[0].height != 0;
  int32_t x = 0, y = 0;
  bool maximised = false;
  if (!restore_placement(&x, &y, &maximised)) {
    // Without a nominal size the 50% preset would be an empty client area.
    if (has_half_size) {
      apply_size_preset(window, PRESET_50);
    } else {
      gray_presets();
      apply_half_screen(window);
    }
    return;
  }
  // The saved corner is the normal rectangle's, in workspace coordinates: the
  // system moves them by a taskbar at the left or top. Placed back through the
  // placement it stays where it was; moving the window there in screen
  // coordinates would shift it by the taskbar's width on every run.
  if (!has_half_size) gray_presets();
  WINDOWPLACEMENT placement;
  read_placement(window, &placement);
  Size size = has_half_size ? client_size_of(PRESET_100) : half_screen();
  place_window(window, x, y, size.width, size.height, &placement);
  // Queued so that it follows the start-up show state. ShowWindowAsync runs at
  // once for the calling thread's own window on some systems (Wine), where
  // the start-up ShowWindow would then undo it; a posted command always waits.
  if (maximised) PostMessageA(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
}
