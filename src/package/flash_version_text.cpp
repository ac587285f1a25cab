// Apart from the version check: the player has no use for the text, and
// formatting would link stdio into it.
#include <cstdio>

#include "flash_version.h"

int describe_required_player(int32_t swf_version, char* out, size_t size) {
  const unsigned byte = unsigned(swf_version) & 0xFF;  // as the header holds it
  const int32_t first = first_flash_version(swf_version);
  if (first <= 0) return std::snprintf(out, size, "SWF %u, plays on any Flash Player", byte);
  return std::snprintf(out, size, "SWF %u, needs Flash Player %d.%d or later", byte,
                       int(first >> 16), int(first & 0xFFFF));
}
