// Playback start and the scripting of the video player movie.
#pragma once

#include <windows.h>

struct IShockwaveFlash;

// Names the first movie to the control; called once before the window shows.
void start_movie(HWND window);

// The player movie has arrived: script it (volume, skin, video, play). A
// refused call is made again, with those after it, on the window's timer
// PLAYER_SCRIPT_TIMER, at most PLAYER_SCRIPT_RETRIES times in all.
void on_player_ready(HWND window);

// No heap block lies this low, so no transfer timer has this id.
constexpr UINT_PTR PLAYER_SCRIPT_TIMER = 0x8002;
constexpr UINT PLAYER_SCRIPT_RETRIES = 40;
constexpr UINT PLAYER_SCRIPT_RETRY_MS = 50;

enum MovieProperty : int {
  MOVIE_PROPERTY_MOVIE = 1,
  MOVIE_PROPERTY_FLASH_VARS = 2,
  MOVIE_PROPERTY_BASE = 3,
};

// Hands text to the control as that property; the control's answer is not
// looked at.
void set_movie_property(IShockwaveFlash* flash, const char16_t* text, MovieProperty property);

// The ExternalInterface request that calls name, with one string argument or
// none; the argument goes in unescaped. A malloc block, or null when out of
// memory.
char16_t* build_invoke_request(const char16_t* name, const char16_t* argument);

// Calls name in the movie; the reply is dropped, the control's result returned.
HRESULT call_movie_function(IShockwaveFlash* flash, const char16_t* name,
                            const char16_t* argument);
