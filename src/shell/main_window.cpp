#include "main_window.h"

#include <cstdlib>
#include <cstring>

#include "base/win/held_ref.h"

#include "base/win/platform.h"
#include "browser/server.h"
#include "delivery/delivery.h"
#include "host/control_site.h"
#include "host/fs_command.h"
#include "host/movie.h"
#include "package/platform.h"
#include "package/player_state.h"
#include "resolve/resolve.h"
#include "resource.h"
#include "settings.h"


const wchar_t MAIN_WINDOW_CLASS[] = L"TessivoPlayer";
const char MAIN_WINDOW_CLASS_ANSI[] = "TessivoPlayer";

namespace {

LayoutState g_layout;

// The menu-item structure as every system version knows it: without hbmpItem.
constexpr UINT MENU_ITEM_INFO_LENGTH = offsetof(MENUITEMINFOA, hbmpItem);
constexpr UINT SIZE_ITEMS[] = {IDM_SIZE_50, IDM_SIZE_100, IDM_SIZE_200};

void set_item_state(UINT id, UINT state) {
  MENUITEMINFOA info = {};
  info.cbSize = MENU_ITEM_INFO_LENGTH;
  info.fMask = MIIM_STATE;
  info.fState = state;
  SetMenuItemInfoA(g_layout.size_menu, id, FALSE, &info);
}

bool letterboxed() {
  return playback_mode() == PLAYBACK_VIDEO && nominal_width() != 0 && nominal_height() != 0;
}

LRESULT default_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return is_nt_platform() ? DefWindowProcW(window, message, wparam, lparam)
                          : DefWindowProcA(window, message, wparam, lparam);
}

// The window's side of its control site.
class WindowCallback final : public SiteCallback {
 public:
  void layout_video(HWND window) override {
    ::layout_video(window, g_layout.client_width, g_layout.client_height);
  }
};

WindowCallback g_callback;

// The window's side of the browser server.
HWND g_browser_window;

class ServerCallback final : public BrowserCallback {
 public:
  void volume_posted(const char16_t* text) override { handle_fs_command(u"volume", text); }
  void counts_changed() override { InvalidateRect(g_browser_window, nullptr, TRUE); }
};

ServerCallback g_server_callback;
bool g_browser_mode;

LRESULT on_create(HWND window) {
  if (g_browser_mode) return 0;
  if (create_control_site(window, &g_callback) == SITE_CREATED) return 0;
  // A control that is registered but cannot be made: the browser plays it.
  if (runtime_file_count() > 0) {
    g_browser_mode = true;
    return 0;
  }
  return -1;
}

LRESULT on_destroy(HWND window) {
  save_placement(window);
  stop_browser_server();
  destroy_control_site(window);
  PostQuitMessage(0);
  return 1;
}

LRESULT on_size(HWND window, WPARAM type, LPARAM size) {
  g_layout.last_size_type = int32_t(type);
  g_layout.client_width = LOWORD(size);
  g_layout.client_height = HIWORD(size);
  layout_video(window, g_layout.client_width, g_layout.client_height);
  return 0;
}

LRESULT on_erase_background(HDC dc) {
  if (!letterboxed()) return 0;
  Rect bars[2];
  int count = letterbox_bars(g_layout.video_rect, g_layout.client_width, g_layout.client_height,
                             bars);
  auto* brush = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  for (int i = 0; i < count; ++i) {
    RECT r = {bars[i].left, bars[i].top, bars[i].right, bars[i].bottom};
    FillRect(dc, &r, brush);
  }
  return 1;
}

// Where the movie plays and how it is doing, in place of the control.
void paint_browser_mode(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  SetTextColor(dc, RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  const BrowserCounts& counts = browser_counts();
  char numbers[96];
  wsprintfA(numbers, "Requests answered: %d    not in the package: %d%s", counts.answered,
            counts.missed, counts.first_frame ? "    (playing)" : "");
  const char* lines[] = {
      "This movie plays in your web browser, at",
      browser_start_url(),
      numbers,
      "To open it again: File > Open in Browser.",
      "Closing this window stops it.",
  };
  int y = 16;
  for (const char* line : lines) {
    TextOutA(dc, 16, y, line, int(std::strlen(line)));
    y += 22;
  }
  EndPaint(window, &paint);
}

void on_command(HWND window, UINT id) {
  switch (id) {
    case IDM_PLAY_IN_BROWSER:
      if (enter_browser_mode(window)) {
        add_browser_menu_item(window);
        open_in_browser();
      }
      break;
    case IDM_OPEN_IN_BROWSER:
      open_in_browser();
      break;
    case IDM_EXIT:
      PostMessageA(window, WM_CLOSE, 0, 0);
      break;
    case IDM_SIZE_50:
      apply_size_preset(window, PRESET_50);
      break;
    case IDM_SIZE_100:
      apply_size_preset(window, PRESET_100);
      break;
    case IDM_SIZE_200:
      apply_size_preset(window, PRESET_200);
      break;
  }
}

}  // namespace

const LayoutState& layout_state() { return g_layout; }

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      return on_create(window);
    case WM_DESTROY:
      return on_destroy(window);
    case WM_SIZE:
      return on_size(window, wparam, lparam);
    case WM_ERASEBKGND:
      if (g_browser_mode) break;
      return on_erase_background(reinterpret_cast<HDC>(wparam));
    case WM_PAINT:
      if (!g_browser_mode) break;
      paint_browser_mode(window);
      return 0;
    case MSG_BROWSER_SOCKET:
      on_browser_socket(wparam, lparam);
      return 0;
    case WM_COMMAND:
      on_command(window, LOWORD(wparam));
      break;
    case MSG_READ_NEXT_CHUNK:
      read_next_chunk(reinterpret_cast<ResourceMoniker*>(wparam));
      break;
    case MSG_PLAYER_READY:
      on_player_ready(window);
      break;
  }
  return default_proc(window, message, wparam, lparam);
}

void compute_size_presets() {
  ScreenMetrics desktop =
      desktop_metrics(GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN),
                      GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  g_layout.virtual_width = desktop.virtual_width;
  g_layout.virtual_height = desktop.virtual_height;
  g_layout.screen_width = desktop.screen_width;
  g_layout.video_width = nominal_width();
  g_layout.video_height = nominal_height();
  for (int32_t p = PRESET_50; p <= PRESET_200; ++p)
    g_layout.presets[p - 1] = preset_size(SizePreset(p), g_layout.video_width, g_layout.video_height);
}

void init_menu_handles(HWND window) {
  g_layout.main_menu = GetMenu(window);
  g_layout.size_menu = GetSubMenu(g_layout.main_menu, 1);
}

void layout_video(HWND window, int32_t width, int32_t height) {
  if (width == 0 || height == 0) return;
  SizePreset preset = matching_preset(width, height, g_layout.video_width, g_layout.video_height);
  if (preset) {
    mark_preset(preset);
  } else if (g_layout.preset_marked) {
    clear_preset_marks();
  }

  ControlSite* site = control_site_of(window);
  base::win::HeldRef<IOleInPlaceObject> in_place(base::win::QUERY_HOLD,
                                                 site ? site->control() : nullptr);
  if (!in_place) return;
  Rect r = letterboxed() ? fit_video(width, height, nominal_width(), nominal_height())
                         : Rect{0, 0, width, height};
  g_layout.video_rect = r;
  RECT rect = {r.left, r.top, r.right, r.bottom};
  in_place->SetObjectRects(&rect, &rect);
}

void clear_preset_marks() {
  g_layout.preset_marked = false;
  for (UINT id : SIZE_ITEMS) set_item_state(id, 0);
}

void mark_preset(int32_t preset) {
  clear_preset_marks();
  g_layout.preset_marked = true;
  set_item_state(preset == PRESET_50 ? IDM_SIZE_50 : preset == PRESET_100 ? IDM_SIZE_100
                                                                           : IDM_SIZE_200,
                 MFS_CHECKED);
}

void gray_presets() {
  clear_preset_marks();
  for (UINT id : SIZE_ITEMS) set_item_state(id, MFS_GRAYED);
}

void register_main_window_class(HINSTANCE instance) {
  if (is_nt_platform()) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN_ICON));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAIN_MENU);
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    RegisterClassExW(&wc);
  } else {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN_ICON));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
    wc.lpszClassName = MAIN_WINDOW_CLASS_ANSI;
    RegisterClassExA(&wc);
  }
}

HWND create_main_window(HINSTANCE instance) {
  if (is_nt_platform())
    return CreateWindowExW(0, MAIN_WINDOW_CLASS, nullptr, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                           CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
  return CreateWindowExA(0, MAIN_WINDOW_CLASS_ANSI, nullptr, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                         CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
}

void platform_set_window_text(HWND window, const char16_t* text) {
  if (is_nt_platform()) {
    SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return;
  }
  char* ansi = wide_to_ansi(text);
  if (!ansi) return;
  SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(ansi));
  std::free(ansi);
}

void set_main_window_title(HWND window) {
  char16_t* title = title_from_path(get_executable_path());
  if (!title) return;
  platform_set_window_text(window, title);
  std::free(title);
}

void request_browser_mode() { g_browser_mode = true; }

bool window_in_browser_mode() { return g_browser_mode; }

bool enter_browser_mode(HWND window) {
  g_browser_window = window;
  if (!browser_server_running()) {
    // Its requests are resolved against the same base as the control's.
    char16_t* old = const_cast<char16_t*>(base_url());
    set_base_url(page_base_url());
    std::free(old);
    if (!start_browser_server(window, &g_server_callback)) return false;
  }
  destroy_control_site(window);
  g_browser_mode = true;
  InvalidateRect(window, nullptr, TRUE);
  return true;
}

void add_browser_menu_item(HWND window) {
  HMENU file = GetSubMenu(GetMenu(window), 0);
  if (!file) return;
  UINT id = g_browser_mode ? IDM_OPEN_IN_BROWSER : IDM_PLAY_IN_BROWSER;
  const char* text = g_browser_mode ? "&Open in Browser" : "Play in &Browser";
  if (GetMenuState(file, IDM_PLAY_IN_BROWSER, MF_BYCOMMAND) != UINT(-1)) {
    ModifyMenuA(file, IDM_PLAY_IN_BROWSER, MF_BYCOMMAND | MF_STRING, id, text);
    return;
  }
  if (GetMenuState(file, id, MF_BYCOMMAND) != UINT(-1)) return;
  InsertMenuA(file, IDM_EXIT, MF_BYCOMMAND | MF_STRING, id, text);
  InsertMenuA(file, IDM_EXIT, MF_BYCOMMAND | MF_SEPARATOR, 0, nullptr);
}
