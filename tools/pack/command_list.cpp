#include <cstdio>
#include <string>

#include "commands.h"
#include "file_source.h"
#include "manifest.h"
#include "package/flash_version.h"
#include "package/player_state.h"
#include "utf.h"

namespace {

std::string show(const char16_t* s) { return s ? "\"" + utf16_to_utf8(s) + "\"" : "-"; }

}  // namespace

int command_list(int argc, char** argv) {
  if (argc != 1) {
    std::fputs("usage: pack list PLAYER.exe\n", stderr);
    return 2;
  }
  std::string error;
  if (!load_player_exe(argv[0], &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  std::printf("mode: %d (%s)\n", playback_mode(), pack::mode_name(playback_mode()));
  std::printf("nominal size: %u x %u\n", nominal_width(), nominal_height());
  char needs[64];
  describe_required_player(required_swf_version(), needs, sizeof needs);
  std::printf("first movie: %s\n", needs);
  std::printf("flash vars: %s\n", show(flash_vars()).c_str());
  std::printf("base: %s\n", show(movie_base()).c_str());
  std::printf("entries: %d\n", entry_count());
  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    std::printf("\n[%d]\n", i);
    std::printf("  url: %s\n", show(e.url).c_str());
    std::printf("  alternate url: %s\n", show(e.alternate_url).c_str());
    std::printf("  post key: %s\n", e.post_key ? e.post_key : "-");
    std::printf("  content type: %s\n", show(e.content_type).c_str());
    std::printf("  size: %d\n", e.size);
    std::printf("  data offset: %d\n", e.data_offset);
  }
  free_player_state();
  return 0;
}
