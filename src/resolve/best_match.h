// Scored search for the entry that most plausibly answers a request that no
// entry's URL or alternate URL equals.
#pragma once

#include <cstdint>

// Entry index, or -1 for none (also when memory runs out).
int32_t find_best_match(const char16_t* request);
