// Feeds arbitrary bytes as a package placed after a stub to the loader.
#include <cstdint>
#include <cstring>
#include <vector>

#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the package's alignment.
  size_t stub = size_t(PACKAGE_SEARCH_START) + (data[0] & 3);
  std::vector<uint8_t> file(stub + size - 1, 0);
  std::memcpy(file.data() + stub, data + 1, size - 1);
  MemorySource memory{file.data(), int64_t(file.size()), 0, 0};
  if (load_package_from(memory_source(&memory))) {
    // What a loaded package promises: every counted entry has a URL and its
    // data lies inside the file.
    for (int32_t i = 0; i < entry_count(); ++i) {
      const ResourceEntry& e = resource_table()[i];
      if (!e.url || e.size < 0 || e.data_offset < 0 ||
          int64_t(e.data_offset) + e.size > int64_t(file.size()))
        __builtin_trap();
    }
  }
  reset_player_state();
  return 0;
}
