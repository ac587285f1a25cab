// Playback start and the scripting of the video player movie.
#pragma once

#include <windows.h>

// Names the first movie to the control; called once before the window shows.
void start_movie(HWND window);

// The player movie has arrived: script it (volume, skin, video, play).
void on_player_ready(HWND window);
