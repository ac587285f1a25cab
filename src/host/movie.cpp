#include "host/movie.h"

// Playback comes with the request machinery; until then the control is
// embedded and shown but is given no movie.
void start_movie(HWND) {}

void on_player_ready(HWND) {}
