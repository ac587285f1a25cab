// Win32 calls that exist in a wide and an ANSI form, and the conversions
// that the ANSI forms need on the non-NT platform.
#pragma once

#include <windows.h>

// True on the NT platform; asks the system once.
bool is_nt_platform();

// New malloc'd conversions through the ANSI code page, or null.
char* wide_to_ansi(const char16_t* text);
char16_t* ansi_to_wide(const char* text);

HANDLE platform_create_file(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags_and_attributes);

// Test support: forgets the cached platform test, or sets it.
void reset_platform_test();
void set_nt_platform_for_test(bool nt);

inline const wchar_t* as_wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
inline wchar_t* as_wide(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
