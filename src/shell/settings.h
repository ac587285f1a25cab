// The main window's placement, kept in the per-user settings.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/win/settings_store.h"

// The saved position brought onto the virtual screen; false when none is saved.
bool restore_placement(int32_t* x, int32_t* y, bool* maximised);
void save_placement(HWND window);

// Gives the window a client size at (x, y), restored and inside the virtual
// screen; placement is what GetWindowPlacement just read.
void place_window(HWND window, int32_t x, int32_t y, int64_t client_width, int64_t client_height,
                  WINDOWPLACEMENT* placement);
void apply_size_preset(HWND window, int32_t preset);
void apply_initial_placement(HWND window);
