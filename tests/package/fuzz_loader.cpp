// Feeds arbitrary bytes as a package placed after a stub to the loader.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"

namespace {

// Everything a load leaves in the player state, as text.
std::u16string snapshot(int loaded) {
  std::u16string s;
  auto num = [&](int64_t v) { s += char16_t(v & 0xFFFF), s += char16_t((v >> 16) & 0xFFFF); };
  auto str = [&](const char16_t* t) { s += t ? t : u"<null>"; s += u'|'; };
  num(loaded), num(playback_mode()), num(nominal_width()), num(nominal_height());
  num(required_swf_version()), num(entry_count());
  str(flash_vars()), str(movie_base());
  if (!loaded) return s;
  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    str(e.url), str(e.alternate_url), str(e.content_type);
    for (const char* k = e.post_key; k && *k; ++k) s += char16_t(uint8_t(*k));
    num(e.size), num(e.data_offset);
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the package's alignment.
  size_t stub = size_t(PACKAGE_SEARCH_START) + (data[0] & 3);
  std::vector<uint8_t> file(stub + size - 1, 0);
  std::memcpy(file.data() + stub, data + 1, size - 1);

  // Reading whole windows every time must give exactly what the small reads give.
  set_loader_read_sizes_for_test(PACKAGE_READ_SIZE, PACKAGE_READ_SIZE);
  MemorySource whole{file.data(), int64_t(file.size()), 0, 0};
  std::u16string expected = snapshot(load_package_from(memory_source(&whole)));
  reset_player_state();
  set_loader_read_sizes_for_test(data[0] & 4 ? 8 : 512, data[0] & 8 ? 64 : 16384);

  MemorySource memory{file.data(), int64_t(file.size()), 0, 0};
  int loaded = load_package_from(memory_source(&memory));
  if (snapshot(loaded) != expected) __builtin_trap();
  if (loaded) {
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
