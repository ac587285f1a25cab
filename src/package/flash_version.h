// Which Flash Player a movie needs. A SWF file's version byte named the
// player's major version only up to 10; later bytes count on from there
// through the 10.x and 11.x minor releases, so a byte alone can't be compared
// with the control's FlashVersion (major in the high word, minor in the low).
#pragma once

#include <cstddef>
#include <cstdint>

// The FlashVersion of the first player that plays a movie with this
// (sign-extended) version byte: the byte shifted into the major position up to
// 10 and for every negative byte, so those compare as they always have.
int32_t first_flash_version(int32_t swf_version);

// Whether the installed player is older than the movie needs; equal passes.
bool needs_newer_player(int32_t swf_version, int32_t installed_version);

// "SWF 12, needs Flash Player 10.3 or later", NUL-terminated, cut to size;
// the length it would have, as snprintf answers.
int describe_required_player(int32_t swf_version, char* out, size_t size);
