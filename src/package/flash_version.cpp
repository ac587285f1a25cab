#include "flash_version.h"

namespace {

// SWF 11 to 22: 10.2, 10.3, then 11.0 to 11.9, as major << 8 | minor.
const uint16_t MIDDLE_VERSIONS[] = {
    0x0A02, 0x0A03, 0x0B00, 0x0B01, 0x0B02, 0x0B03,
    0x0B04, 0x0B05, 0x0B06, 0x0B07, 0x0B08, 0x0B09,
};

}  // namespace

int32_t first_flash_version(int32_t swf_version) {
  if (swf_version <= 10) return int32_t(uint32_t(swf_version) << 16);
  if (swf_version <= 22) {
    uint32_t v = MIDDLE_VERSIONS[swf_version - 11];
    return int32_t((v >> 8) << 16 | (v & 0xFF));
  }
  // From SWF 23 (Flash Player 12) on the byte runs 11 ahead of the major.
  return int32_t(uint32_t(swf_version - 11) << 16);
}

bool needs_newer_player(int32_t swf_version, int32_t installed_version) {
  return first_flash_version(swf_version) > installed_version;
}
