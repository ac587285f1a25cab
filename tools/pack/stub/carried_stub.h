// The player stub built together with this packer, carried inside it so
// that `pack build` needs no --stub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pack {

// Empty when the packer was built without a stub.
const uint8_t* carried_stub_data();
size_t carried_stub_size();

}  // namespace pack
