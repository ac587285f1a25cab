// UTF-8 <-> UTF-16 for the packer's text: manifests and file names are
// UTF-8, packages hold UTF-16.
#pragma once

#include <string>

namespace common {

// False when the text is not valid UTF-8.
bool utf8_to_utf16(const std::string& in, std::u16string* out);
// UTF-8 when it is valid, else one byte per character: movies before
// version 6 and some captures carry text in an ANSI code page.
std::u16string text_to_utf16(const std::string& in);
// Lone surrogates become U+FFFD.
std::string utf16_to_utf8(const std::u16string& in);

// Only the ASCII letters fold, as the player compares URLs.
std::string ascii_lower(std::string text);

#ifdef _WIN32
// For the wide Windows APIs.
std::wstring widen(const std::string& utf8);
std::string narrow(const wchar_t* wide);
#endif

}  // namespace common
