// SHA-256, for showing which stub the packer carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// Lower-case hex SHA-256 of bytes.
std::string sha256_hex(const uint8_t* data, size_t n);

}  // namespace common
