#include "host/movie.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "base/win/held_ref.h"
#include "base/win/platform.h"
#include "base/win/settings_store.h"
#include "host/control_site.h"
#include "host/shockwave_flash.h"
#include "package/package_format.h"
#include "package/player_state.h"
#include "resolve/resolve.h"

using base::win::HeldBstr;
using base::win::HeldRef;
using base::win::QUERY_HOLD;

namespace {

constexpr long SCALE_EXACT_FIT = 2;
constexpr int32_t DEFAULT_VOLUME = 100;
// The first majors whose interface has these slots: an older control's table
// ends before them, so calling them would jump past it.
constexpr int32_t FLASH_VARS_MAJOR = 6;
constexpr int32_t CALL_FUNCTION_MAJOR = 8;

bool control_has(int32_t major) { return (installed_flash_version() >> 16) >= major; }

// The control's scripting interface, or null when the window has no control.
HeldRef<IShockwaveFlash> flash_of(HWND window) {
  ControlSite* site = control_site_of(window);
  return HeldRef<IShockwaveFlash>(QUERY_HOLD, site ? site->control() : nullptr);
}

using text::append;

void start_page_movie(IShockwaveFlash* flash) {
  const ResourceEntry* first = resource_entry(0);
  const char16_t* base = movie_base();
  // The base URL is ours: a replaced one is freed, never left behind.
  char16_t* old = const_cast<char16_t*>(base_url());
  set_base_url(page_base_url());
  std::free(old);

  if (flash_vars()) set_movie_property(flash, flash_vars(), MOVIE_PROPERTY_FLASH_VARS);
  if (base) set_movie_property(flash, base, MOVIE_PROPERTY_BASE);
  // The movie is named last: naming it starts the first request.
  if (first) set_movie_property(flash, first->url, MOVIE_PROPERTY_MOVIE);
}

void start_video_player(HWND window, IShockwaveFlash* flash) {
  if (nominal_width() != 0 && nominal_height() != 0) {
    flash->put_ScaleMode(SCALE_EXACT_FIT);
    ControlSite* site = control_site_of(window);
    SiteCallback* callback = site ? site->callback() : nullptr;
    if (callback) callback->layout_video(window);
  }
  set_video_player_loading(true);
  set_movie_property(flash, VIDEO_PLAYER_URL, MOVIE_PROPERTY_MOVIE);
}

}  // namespace

void set_movie_property(IShockwaveFlash* flash, const char16_t* text, MovieProperty property) {
  if (property == MOVIE_PROPERTY_FLASH_VARS && !control_has(FLASH_VARS_MAJOR)) return;
  HeldBstr value(as_wide(text));
  if (!value.get()) return;
  switch (property) {
    case MOVIE_PROPERTY_MOVIE:
      flash->put_Movie(value.get());
      break;
    case MOVIE_PROPERTY_FLASH_VARS:
      flash->put_FlashVars(value.get());
      break;
    case MOVIE_PROPERTY_BASE:
      flash->put_Base(value.get());
      break;
  }
}

char16_t* build_invoke_request(const char16_t* name, const char16_t* argument) {
  size_t name_length = text::length(name);
  size_t argument_length = argument ? text::length(argument) : 0;
  // The fixed text and the terminator fit in 100 units.
  size_t units = name_length + argument_length + 100;
  if (units < name_length || units > SIZE_MAX / sizeof(char16_t)) return nullptr;
  auto* request = static_cast<char16_t*>(std::malloc(units * sizeof(char16_t)));
  if (!request) return nullptr;
  char16_t* out = append(request, u"<invoke name=\"");
  out = append(out, name);
  out = append(out, u"\" returntype=\"xml\"");
  if (argument) {
    out = append(out, u"><arguments><string>");
    out = append(out, argument);
    out = append(out, u"</string></arguments></invoke>");
  } else {
    out = append(out, u"/>");
  }
  *out = 0;
  return request;
}

HRESULT call_movie_function(IShockwaveFlash* flash, const char16_t* name,
                            const char16_t* argument) {
  char16_t* text = build_invoke_request(name, argument);
  if (!text) return E_OUTOFMEMORY;
  HeldBstr request(as_wide(text));
  std::free(text);
  if (!request.get()) return E_OUTOFMEMORY;
  HeldBstr reply;
  return flash->CallFunction(request.get(), reply.put());
}

void start_movie(HWND window) {
  HeldRef<IShockwaveFlash> flash = flash_of(window);
  if (!flash) return;
  switch (playback_mode()) {
    case PLAYBACK_PAGE:
    case PLAYBACK_PAGE_POST:
      start_page_movie(flash.get());
      break;
    case PLAYBACK_VIDEO:
      start_video_player(window, flash.get());
      break;
  }
}

namespace {

// The scripting call to make next, and how many times one was refused since
// the player movie arrived.
struct PlayerScript {
  uint8_t next;
  uint8_t refused;
} g_script;

void CALLBACK retry_player_script(HWND window, UINT, UINT_PTR, DWORD);

void script_player(HWND window) {
  KillTimer(window, PLAYER_SCRIPT_TIMER);
  HeldRef<IShockwaveFlash> flash = flash_of(window);
  if (!flash) return;
  char16_t volume[12];
  *text::append_decimal(volume, read_setting("svol", DEFAULT_VOLUME)) = 0;
  static const char16_t* const names[] = {u"FLVSetVolume", u"FLVSetSkin", u"FLVSetVideo",
                                          u"FLVplay"};
  const char16_t* const arguments[] = {volume, VIDEO_SKIN_URL, VIDEO_FLV_URL, nullptr};
  for (; g_script.next < 4; ++g_script.next) {
    if (SUCCEEDED(call_movie_function(flash.get(), names[g_script.next],
                                      arguments[g_script.next])))
      continue;
    // A control registers the movie's callbacks on its first frame, which
    // its own timer runs after the posted message that brought us here: try
    // again once that timer has had its turn.
    if (++g_script.refused <= PLAYER_SCRIPT_RETRIES)
      SetTimer(window, PLAYER_SCRIPT_TIMER, PLAYER_SCRIPT_RETRY_MS, retry_player_script);
    return;
  }
}

void CALLBACK retry_player_script(HWND window, UINT, UINT_PTR, DWORD) { script_player(window); }

}  // namespace

void on_player_ready(HWND window) {
  HeldRef<IShockwaveFlash> flash = flash_of(window);
  if (!flash) return;
  set_video_player_loading(false);
  if (!control_has(CALL_FUNCTION_MAJOR)) return;
  g_script = {};
  script_player(window);
}
