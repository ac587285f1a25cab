#include <windows.h>
#include <ole2.h>

#include "host/movie.h"
#include "main_window.h"
#include "message_loop.h"
#include "package/flash_version.h"
#include "package/platform.h"
#include "package/player_state.h"
#include "resolve/resolve.h"
#include "settings.h"

namespace {

const char ERROR_CAPTION[] = "Tessivo Error";

void show_error(const char* text) { MessageBoxA(nullptr, text, ERROR_CAPTION, MB_ICONERROR); }

bool is_prog_id_registered(const wchar_t* prog_id) {
  CLSID clsid;
  return SUCCEEDED(CLSIDFromProgID(prog_id, &clsid));
}

// Every failed start ends alike; a partly loaded package is freed too.
int fail_start() {
  free_player_state();
  OleUninitialize();
  return -1;
}

}  // namespace

// The C runtime passes the start-up show state: STARTUPINFO's when it holds
// STARTF_USESHOWWINDOW, else SW_SHOWDEFAULT.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  set_instance_handle(instance);
  if (OleInitialize(nullptr) != S_OK) return -1;

  if (!is_prog_id_registered(L"MacromediaFlashPaper.MacromediaFlashPaper") &&
      !is_prog_id_registered(L"ShockwaveFlash.ShockwaveFlash")) {
    show_error("Adobe Flash Player is not installed");
    return fail_start();
  }
  if (!load_package()) {
    show_error("Flash file is damaged, cannot play it");
    return fail_start();
  }

  register_main_window_class(instance);
  HWND window = create_main_window(instance);
  if (!window) return fail_start();
  if (needs_newer_player(required_swf_version(), installed_flash_version())) {
    show_error(
        "This Flash file requires a newer version of Adobe Flash Player. Please update your "
        "player on http://www.adobe.com/go/getflashplayer.");
    DestroyWindow(window);
    return fail_start();
  }

  compute_size_presets();
  init_menu_handles(window);
  apply_initial_placement(window);
  set_main_window_title(window);
  // Built before the window shows, so no request of the movie waits for it.
  prepare_resolution_index();
  start_movie(window);
  ShowWindow(window, show_command);
  UpdateWindow(window);
  run_message_loop();

  free_player_state();
  OleUninitialize();
  return 0;
}
