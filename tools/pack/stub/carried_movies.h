// The video player movie and its skin, compiled with this packer and carried
// inside it so that `pack video` needs nothing but an FLV.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack {

struct CarriedMovie {
  const uint8_t* data;
  size_t size;
};

CarriedMovie carried_player_movie();
CarriedMovie carried_skin_movie();

}  // namespace pack
