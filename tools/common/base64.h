// The POST key of a request body, as the player computes it.
#pragma once

#include <cstddef>
#include <string>

namespace common {
std::string base64(const void* data, size_t n);
}
