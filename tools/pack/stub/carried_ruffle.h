// Ruffle, the Flash runtime that a player's browser runs when no Flash
// control is installed, carried inside the packer: the three files a
// browser loads, brotli-compressed when the packer was built, and Ruffle's
// licences.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack {

struct CarriedFile {
  const char* name;
  const char* content_type;
  const char* coding;  // "br", or "" for a file stored as it is
  const uint8_t* data;
  size_t size;
};

constexpr size_t kCarriedRuffleFiles = 5;
// Ruffle's files, ruffle.js first.
const CarriedFile* carried_ruffle();
// "Ruffle VERSION (LICENCE)", from the package the files came from.
const char* carried_ruffle_description();
// Ruffle's licence names, as its package gives them ("(MIT OR Apache-2.0)").
const char* carried_ruffle_license();

}  // namespace pack
