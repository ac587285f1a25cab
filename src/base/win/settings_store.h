// The player's per-user values in the registry.
#pragma once

#include <cstdint>

extern const char SETTINGS_KEY[];

// The value's four bytes as a number; the default when the key or the value
// is missing or the value is longer than four bytes.
int32_t read_setting(const char* name, int32_t default_value);
// Creates the key when missing; failures are silent.
void write_setting(const char* name, int32_t value);
