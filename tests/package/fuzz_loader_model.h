// A direct model of the package rules, for the loader's fuzz target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Text = std::optional<std::u16string>;

struct ModelEntry {
  Text url, alternate, post_key, content_type;
  int32_t size = 0, data_offset = 0;
};

// Everything a load leaves in the player state.
struct LoadState {
  int loaded = 0;
  int32_t mode = 0;
  uint32_t width = 0, height = 0;
  int32_t version = 0, count = 0;
  Text flash_vars, base;
  std::vector<ModelEntry> entries;  // the counted ones, when loaded

  bool operator==(const LoadState& o) const {
    auto same = [](const ModelEntry& a, const ModelEntry& b) {
      return a.url == b.url && a.alternate == b.alternate && a.post_key == b.post_key &&
             a.content_type == b.content_type && a.size == b.size && a.data_offset == b.data_offset;
    };
    if (loaded != o.loaded || mode != o.mode || width != o.width || height != o.height ||
        version != o.version || count != o.count || flash_vars != o.flash_vars || base != o.base ||
        entries.size() != o.entries.size())
      return false;
    for (size_t i = 0; i < entries.size(); ++i)
      if (!same(entries[i], o.entries[i])) return false;
    return true;
  }
};

// What the loader left in the player state after returning loaded.
LoadState observed(int loaded);
// What the rules give for file; table_allocated tells whether the table's
// allocation succeeded, which depends on the allocator, not on the rules.
LoadState model_load(const std::vector<uint8_t>& file, bool table_allocated);
