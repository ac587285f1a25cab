// The Windows side of the player state: the cached instance handle and
// executable path, and loading the package from the executable's own file.
#pragma once

#include <windows.h>

void set_instance_handle(HINSTANCE instance);
HINSTANCE instance_handle();

// The executable's own path, computed once; callers neither change nor free it.
const char16_t* get_executable_path();

// Opens the executable's own file and loads the package from it: 1 on success.
int load_package();

// Test support: forgets the cached platform test and path.
void reset_platform_cache();
void set_executable_path_for_test(const char16_t* path);
