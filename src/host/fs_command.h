// The one movie command the player acts on: the video player's "volume".
#pragma once

#include <cstdint>

// The number the player keeps for a "volume" argument: the first character
// and the digits right after it, read as a signed decimal (leading white
// space, one sign); 0 without digits. Clamped to the 32-bit range.
int32_t parse_volume_text(const char16_t* text);

// "volume" (exact case) stores its number under "svol"; anything else is
// ignored. Null texts are taken as empty.
void handle_fs_command(const char16_t* command, const char16_t* argument);
