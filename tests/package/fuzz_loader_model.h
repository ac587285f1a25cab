// A direct model of the package rules, for the loader's fuzz target.
#pragma once

#include <cstdint>
#include <vector>

// True when the player state that a load of file left (it returned loaded)
// is what the rules give. table_allocated tells whether the table's
// allocation succeeded, which depends on the allocator, not on the rules.
bool loader_agrees_with_model(const std::vector<uint8_t>& file, int loaded, bool table_allocated);
