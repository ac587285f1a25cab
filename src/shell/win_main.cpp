#include <windows.h>
#include <ole2.h>

#include <cstring>

#include "browser/server.h"
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

// "--browser" among the arguments after the program's own name. The
// ANSI form of the command line serves both families: the flag is ASCII.
bool browser_flag_given() {
  static const char FLAG[] = "--browser";
  const char* p = GetCommandLineA();
  bool quoted = false;
  // The program's name, quoted or not.
  while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
    if (*p == '"') quoted = !quoted;
    ++p;
  }
  while (*p) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    if (size_t(p - start) == sizeof FLAG - 1 && std::memcmp(start, FLAG, sizeof FLAG - 1) == 0)
      return true;
  }
  return false;
}

}  // namespace

// The C runtime's own report of a math error writes to a console that the
// player never has; this one keeps that code and its texts out of the stub.
struct _exception;
extern "C" int __cdecl _matherr(struct _exception*) { return 0; }

// The C runtime passes the start-up show state: STARTUPINFO's when it holds
// STARTF_USESHOWWINDOW, else SW_SHOWDEFAULT.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  set_instance_handle(instance);
  if (OleInitialize(nullptr) != S_OK) return -1;

  if (!is_prog_id_registered(L"MacromediaFlashPaper.MacromediaFlashPaper") &&
      !is_prog_id_registered(L"ShockwaveFlash.ShockwaveFlash")) {
    // Without the control only a package that carries the browser runtime plays.
    if (!load_package() || runtime_file_count() == 0) {
      show_error("Adobe Flash Player is not installed");
      return fail_start();
    }
    request_browser_mode();
  } else if (!load_package()) {
    show_error("Flash file is damaged, cannot play it");
    return fail_start();
  } else if (runtime_file_count() > 0 && browser_flag_given()) {
    request_browser_mode();
  }

  register_main_window_class(instance);
  HWND window = create_main_window(instance);
  if (!window) return fail_start();
  bool browser = window_in_browser_mode();
  if (!browser && runtime_file_count() > 0 &&
      needs_newer_player(required_swf_version(), installed_flash_version())) {
    // The control is too old for the movie; the browser's runtime is not.
    browser = true;
  }
  if (browser && !enter_browser_mode(window)) {
    show_error("Adobe Flash Player is not installed");
    DestroyWindow(window);
    return fail_start();
  }
  if (!browser && needs_newer_player(required_swf_version(), installed_flash_version())) {
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
  if (!browser) start_movie(window);
  if (runtime_file_count() > 0) add_browser_menu_item(window);
  ShowWindow(window, show_command);
  UpdateWindow(window);
  if (browser) open_in_browser();
  run_message_loop();

  free_player_state();
  OleUninitialize();
  return 0;
}
