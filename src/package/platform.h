// The Windows side of the player state: cached process facts, the ANSI
// conversions for the non-NT platform, and opening files on either platform.
#pragma once

#include <windows.h>

void set_instance_handle(HINSTANCE instance);
HINSTANCE instance_handle();

// True on the NT platform; asks the system once.
bool is_nt_platform();

// The executable's own path, computed once; callers neither change nor free it.
const char16_t* get_executable_path();

// New malloc'd conversions through the ANSI code page, or null.
char* wide_to_ansi(const char16_t* text);
char16_t* ansi_to_wide(const char* text);

HANDLE platform_create_file(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags_and_attributes);

// Opens the executable's own file and loads the package from it: 1 on success.
int load_package();

// Test support: forgets the cached platform test and path.
void reset_platform_cache();
void set_executable_path_for_test(const char16_t* path);
void set_nt_platform_for_test(bool nt);

inline const wchar_t* as_wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t* as_wide(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
