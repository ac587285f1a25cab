// What `pack list` prints: the loaded package's header fields and entries.
#pragma once

#include <string>

#include "pack/loaded_player.h"

namespace pack {

std::string list_text(const LoadedPlayer& player);
std::string list_json(const LoadedPlayer& player);

}  // namespace pack
