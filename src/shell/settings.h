// Per-user settings in the registry, and the main window's placement.
#pragma once

#include <windows.h>

#include <cstdint>

extern const char SETTINGS_KEY[];

// The value's four bytes as a number; the default when the key or the value
// is missing or the value is longer than four bytes.
int32_t read_setting(const char* name, int32_t default_value);
// Creates the key when missing; failures are silent.
void write_setting(const char* name, int32_t value);

// The saved position brought onto the virtual screen; false when none is saved.
bool restore_placement(int32_t* x, int32_t* y, bool* maximised);
void save_placement(HWND window);

// Gives the window a client size at (x, y), restored and inside the virtual
// screen; placement is what GetWindowPlacement just read.
void place_window(HWND window, int32_t x, int32_t y, int64_t client_width, int64_t client_height,
                  WINDOWPLACEMENT* placement);
void apply_size_preset(HWND window, int32_t preset);
void apply_initial_placement(HWND window);
